// The product plug-ins' web links: the Help menu's support landing page and
// the failure help page, both in the user's language and country, and the
// install agent's machine identifier.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

class PelRequirement;

/// The user's locale as language and country codes ("nb", "NO"); the country
/// is "" when the locale names none.
struct PluginLocale {
    std::string language;
    std::string country;

    /// The process locale: LC_ALL, LC_MESSAGES, then LANG ("nb_NO.UTF-8");
    /// "en"/"" when none is set or it is "C"/"POSIX".
    static PluginLocale current();
    /// Parses "ll_CC.charset@modifier".
    static PluginLocale parse(const std::string& text);
    /// Replaces current() (tests); null returns to the environment.
    static void setOverride(std::optional<PluginLocale> locale);
};

class SharedProductPluginUtilities {
  public:
    /// The one instance (main thread only).
    static SharedProductPluginUtilities& sharedPluginUtilities();

    /// The support landing page for this product in the user's language and
    /// country, percent-escaped.
    std::string installerMenuHelpURL() const;

    /// The version named on the landing page: PRODUCT_VERSION of the bundled
    /// requirement list, else up to the first 3 characters of the bundle's
    /// short version ("" when there is none).
    static std::string landingVersion();
};

/// The failure help links and the machine identifier of the pings.
namespace pluginlinks {

/// The help identifier of a failed requirement; nullopt when it has none.
std::optional<std::string> getHelpID(const PelRequirement& requirement);
/// The help identifier of a failed download.
inline std::string getFSDHelpID() { return "download_failure"; }
/// The display-language code of the user's locale ("eng" when unknown).
std::string languageCode(const PluginLocale& locale);
/// The failure help page for `helpID` ("" sends an empty helpid).
std::string localizedSupportURLString(const std::string& helpID);
/// The help page for a failed requirement, or a failed download when null.
/// "&ispid=5555" is added when the requirement list names layout
/// "GenericQRB" at `requirementsPath`.
std::string getSupportURL(const PelRequirement* requirement,
                          const std::optional<std::string>& requirementsPath);
/// MID of "~/Library/Preferences/com.pelgrave.obrk.plist".
std::optional<std::string> getMID();
/// "~/Library/Preferences/com.pelgrave.obrk.plist".
std::string agentPreferencesPath();

}  // namespace pluginlinks
