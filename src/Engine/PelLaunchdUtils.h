// The launch agent that starts the installer again after the restart that
// removing an older product may need: "<identifier>.plist" in the user's
// "Library/LaunchAgents" folder (for root "/Library/LaunchAgents", through
// the path root), with the keys Label, RunAtLoad and Program.
//
// Beside it, with the same life, goes a desktop autostart entry
// "$XDG_CONFIG_HOME/autostart/<identifier>.desktop" ("~/.config" without
// that variable; the XDG autostart convention), which is what really starts
// the installer at the next log-in here. A root run writes and removes the
// entry with the rights of the user whose folder it lies in (a root run
// that kept a user's $HOME), and leaves it alone, logged, when the home
// folder is missing.
//
// Failures are logged; callers log them and carry on. Holds no state but the
// user-id override for tests; not meant for concurrent use.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

#include "Platform/System/Bundle.h"
#include "Platform/Values/Error.h"

class PelLaunchdUtils {
  public:
    using OptionalText = std::optional<std::string>;

    static PelLaunchdUtils& sharedLaunchdUtils();

    /// Writes the agent for the main bundle unless the product that the
    /// requirement list describes is installed in the same or a newer
    /// version. False with error -394 ("InstallErrorDomain") in that case,
    /// with the container's error when the list cannot be read, or false
    /// when the agent cannot be written.
    bool writeLaunchAgent(platform::Error* error);
    /// The same with the requirement list and bundle given.
    bool writeLaunchAgent(const OptionalText& requirementsPath, const platform::Bundle& bundle,
                          platform::Error* error);
    /// Deletes the agent named after the main bundle's identifier.
    bool deleteLaunchAgent(platform::Error* error);

    /// Writes (replacing) the agent labelled `domainName` that runs
    /// `bundle`'s executable. False for no bundle, a label that is no plain
    /// file name, or when the file cannot be deleted, created or written
    /// (the error filled); a file that could not be completed is removed.
    bool writeLaunchAgentWithBundle(const platform::Bundle* bundle, const OptionalText& domainName,
                                    platform::Error* error);
    /// Deletes the agent labelled `domainName`; false (and the error) when
    /// it cannot be deleted, also when there is none.
    bool deleteLaunchAgentWithDomainName(const OptionalText& domainName, platform::Error* error);

    /// "<label>.plist".
    std::string plistName(const std::string& label) const { return label + ".plist"; }
    /// The agent folder joined with `fileName`.
    std::string plistDestName(const std::string& fileName) const;
    /// "<configuration folder>/autostart/<label>.desktop": $XDG_CONFIG_HOME
    /// when it is an absolute path, else "~/.config"; through the path root.
    std::string autostartEntryPath(const std::string& label) const;
    /// The autostart entry's text for `program`, escaped for the Exec key
    /// (quoted; `"`, `` ` ``, `$` and `\` escaped, `%` doubled, then every
    /// `\` doubled as in any string value), or nullopt when the label or path
    /// cannot be written as one (a line break in it).
    static OptionalText autostartEntryText(const std::string& label, const std::string& program);
    /// Makes the agent folder when it is missing; failures are logged.
    void createLaunchAgentFolder() const;
    /// The executable the agent runs: the bundle's own.
    OptionalText getProgramPath(const platform::Bundle& bundle) const;

    /// Overrides the real user id that picks the folder (tests); nothing
    /// returns to getuid().
    void setRealUserId(std::optional<uid_t> uid) { uid_ = uid; }

  private:
    std::string agentFolder() const;
    bool writeAutostartEntry(const std::string& label, const std::string& program) const;

    std::optional<uid_t> uid_;
};
