#include "Engine/PelLaunchdUtils.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>

#include "Engine/PelHardwareUtilities.h"
#include "Engine/PelInstallAppUtilities.h"
#include "Engine/PelInstallError.h"
#include "Engine/PelProductCheckUtils.h"
#include "Engine/PelRequirementsContainer.h"
#include "Foundation/PelLogging.h"
#include "Foundation/PelPathUtils.h"
#include "Platform/System/PathNames.h"
#include "Platform/System/Paths.h"
#include "Platform/System/UserFileAccess.h"
#include "Platform/Text/Format.h"
#include "Platform/Values/DataFile.h"
#include "Platform/Values/PropertyList.h"

namespace {

constexpr const char* kWriteMethod =
    "-[PelLaunchdUtils writeLaunchAgentWithBundle:withDomainName:withError:]";
constexpr const char* kDeleteMethod =
    "-[PelLaunchdUtils deleteLaunchAgentWithDomainName:withError:]";

// A desktop entry's string value: a backslash is written "\\"; line breaks
// are refused before.
std::string stringValue(const std::string& text) {
    std::string value;
    for (char c : text) {
        if (c == '\\') value += '\\';
        value += c;
    }
    return value;
}

// One argument of a desktop entry's Exec key: quoted, with the characters
// the key reserves inside quotes escaped, and '%' written as "%%"; then
// escaped again as a string value, so that a backslash of the path becomes
// four.
std::string execArgument(const std::string& argument) {
    std::string quoted = "\"";
    for (char c : argument) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        if (c == '%') quoted += '%';
        quoted += c;
    }
    quoted += '"';
    return stringValue(quoted);
}

// The user's configuration folder: $XDG_CONFIG_HOME when it is an absolute
// path (a relative one is to be ignored), else "~/.config"; through the
// path root, as the home folder is.
std::string userConfigFolder() {
    const char* configured = std::getenv("XDG_CONFIG_HOME");
    if (configured && *configured == '/') return platform::Paths::resolve(configured);
    return platform::Paths::join(platform::Paths::homeDirectory(), ".config");
}

// What stat says of `path`, or of the nearest folder above it that exists.
std::optional<struct stat> nearestExisting(std::filesystem::path path) {
    for (;; path = path.parent_path()) {
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0) return info;
        if (!path.has_relative_path()) return std::nullopt;
    }
}

// Runs `work` on the autostart entry `entry` with the rights of the user
// whose folder it goes in. A root run that kept a user's $HOME or
// $XDG_CONFIG_HOME (sudo -E) must not leave folders of root's there, where
// the user's own programs could then add no entry: it writes as that user.
// Root writes as root only into a folder of root's, and only when the home
// folder is root's too; otherwise (a home that is missing, say) it leaves
// the entry alone. False, and logged, when the entry is left alone.
bool asOwnerOfFolder(const char* method, const std::string& entry,
                     const std::function<void()>& work) {
    if (geteuid() != 0) {
        work();
        return true;
    }
    const auto folder = nearestExisting(std::filesystem::path(entry).parent_path());
    struct stat home {};
    const bool homeIsRoots = ::stat(platform::Paths::homeDirectory().c_str(), &home) == 0 &&
                             S_ISDIR(home.st_mode) && home.st_uid == 0;
    if (!folder || (folder->st_uid == 0 && !homeIsRoots)) {
        PelLogging::logErrorMessageWithFormat(
            "%s: Autostart entry %@ left alone: running as root for a home folder that is not "
            "root's",
            method, entry);
        return false;
    }
    platform::Error failure;
    if (!platform::withUserFileAccess(platform::userIdentity(folder->st_uid, folder->st_gid), work,
                                      &failure)) {
        PelLogging::logErrorMessageWithFormat(
            "%s: Autostart entry %@ left alone: cannot act as its folder's owner (%@)", method,
            entry, failure);
        return false;
    }
    return true;
}

}  // namespace

PelLaunchdUtils& PelLaunchdUtils::sharedLaunchdUtils() {
    static PelLaunchdUtils instance;
    return instance;
}

std::string PelLaunchdUtils::agentFolder() const {
    uid_t uid = uid_ ? *uid_ : getuid();
    if (uid != 0)
        return platform::format("%@/%@", platform::Paths::homeDirectory(), "Library/LaunchAgents");
    // For root the machine's folder, wherever the process was started from.
    return platform::Paths::resolve("/Library/LaunchAgents");
}

std::string PelLaunchdUtils::plistDestName(const std::string& fileName) const {
    return platform::format("%@/%@", agentFolder(), fileName);
}

std::string PelLaunchdUtils::autostartEntryPath(const std::string& label) const {
    return platform::format("%@/autostart/%@.desktop", userConfigFolder(), label);
}

PelLaunchdUtils::OptionalText PelLaunchdUtils::autostartEntryText(const std::string& label,
                                                                  const std::string& program) {
    for (const std::string* text : {&label, &program})
        if (text->find_first_of(std::string("\n\r\0", 3)) != std::string::npos) return std::nullopt;
    return "[Desktop Entry]\nType=Application\nName=" + stringValue(label) +
           "\nExec=" + execArgument(program) + "\nNoDisplay=true\nX-GNOME-Autostart-enabled=true\n";
}

bool PelLaunchdUtils::writeAutostartEntry(const std::string& label,
                                          const std::string& program) const {
    OptionalText text = autostartEntryText(label, program);
    const std::string path = autostartEntryPath(label);
    if (!text) {
        PelLogging::logErrorMessageWithFormat("%s: No autostart entry for program %@", kWriteMethod,
                                              program);
        return false;
    }
    bool written = false;
    const bool asOwner = asOwnerOfFolder(kWriteMethod, path, [&] {
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
        // Written whole or not at all: a temporary file renamed over the entry.
        written = platform::writeDataToFile(platform::Data(text->begin(), text->end()), path, true,
                                            nullptr);
    });
    if (asOwner && !written)
        PelLogging::logErrorMessageWithFormat("%s: Error in writing the autostart entry %@",
                                              kWriteMethod, path);
    return written;
}

void PelLaunchdUtils::createLaunchAgentFolder() const {
    std::string folder = agentFolder();
    auto& files = PelPathUtils::sharedPathUtils();
    if (files.fileExistsAtPath(folder)) return;
    if (files.createDirAtPath(folder))
        PelLogging::logErrorMessageWithFormat(
            "Failed to create a launch agent folder at location:%@", folder);
}

PelLaunchdUtils::OptionalText PelLaunchdUtils::getProgramPath(
    const platform::Bundle& bundle) const {
    std::string program = bundle.executablePath();
    if (program.empty()) return std::nullopt;
    return program;
}

bool PelLaunchdUtils::writeLaunchAgent(platform::Error* error) {
    auto utilities = PelInstallAppUtilities::sharedUtilities();
    OptionalText path = utilities ? utilities->pathToRequirementsPlist() : std::nullopt;
    return writeLaunchAgent(path, *platform::Bundle::mainBundle(), error);
}

bool PelLaunchdUtils::writeLaunchAgent(const OptionalText& requirementsPath,
                                       const platform::Bundle& bundle, platform::Error* error) {
    if (requirementsPath && PelPathUtils::sharedPathUtils().fileExistsAtPath(requirementsPath)) {
        auto container =
            PelRequirementsContainer::createContainerWithRequirements(requirementsPath, error);
        if (!container) return false;
        auto& products = PelProductCheckUtils::sharedProductCheck();
        OptionalText installed = products.getVersionForProductID(container->productID());
        bool exists = products.doesProductExistWith(container->productID());
        int comparison = -1;
        if (installed)
            comparison = PelHardwareUtilities::checkVersion(container->productVersion(), installed);
        if (exists && comparison != -1) {
            platform::setError(
                error, PelMakeInstallError(kPelErrLaunchAgentNewerInstalled,
                                           "Error in writing the launch agent file. A higher "
                                           "version of the product is already installed."));
            return false;
        }
    }
    std::string identifier = bundle.bundleIdentifier();
    if (identifier.empty()) return false;
    return writeLaunchAgentWithBundle(&bundle, identifier, error);
}

bool PelLaunchdUtils::deleteLaunchAgent(platform::Error* error) {
    std::string identifier = platform::Bundle::mainBundle()->bundleIdentifier();
    return deleteLaunchAgentWithDomainName(
        identifier.empty() ? std::nullopt : OptionalText(identifier), error);
}

bool PelLaunchdUtils::writeLaunchAgentWithBundle(const platform::Bundle* bundle,
                                                 const OptionalText& domainName,
                                                 platform::Error* error) {
    if (!bundle) {
        PelLogging::logErrorMessageWithFormat("%s: bundle is nil. Hence cannot copy", kWriteMethod);
        return false;
    }
    if (!domainName) {
        PelLogging::logErrorMessageWithFormat("%s: domainName is a nil value. Hence cannot copy",
                                              kWriteMethod);
        return false;
    }
    // A label becomes a file name; one that would lead out of the folder is
    // refused.
    if (!platform::isPlainFileName(*domainName)) {
        PelLogging::logErrorMessageWithFormat(
            "%s: domainName %@ is no file name. Hence cannot copy", kWriteMethod, *domainName);
        return false;
    }
    auto& files = PelPathUtils::sharedPathUtils();
    std::string path = plistDestName(plistName(*domainName));
    createLaunchAgentFolder();
    if (files.fileExistsAtPath(path)) {
        PelLogging::logDebugMessageWithFormat("%s: File already exists. Deleting", kWriteMethod);
        if (auto failure = files.deleteFileAtPath(path)) {
            PelLogging::logErrorMessageWithFormat(
                "%s: Error in deleting file:%@. error description = %@", kWriteMethod, path,
                *failure);
            platform::setError(error, *failure);
            return false;
        }
    }
    if (!files.createFileAtPath(path)) {
        platform::Error failure = platform::Error::fileWrite(errno, path);
        PelLogging::logErrorMessageWithFormat("%s: Error in creation of file %@", kWriteMethod,
                                              failure);
        platform::setError(error, failure);
        return false;
    }
    OptionalText program = getProgramPath(*bundle);
    platform::Error failure;
    bool written =
        program && platform::PropertyList::toFile(
                       platform::Value(platform::Dictionary{
                           {"Label", *domainName}, {"RunAtLoad", true}, {"Program", *program}}),
                       path, platform::PropertyListFormat::XML, true, &failure);
    if (!written) {
        PelLogging::logErrorMessageWithFormat("%s: Write to file failed.", kWriteMethod);
        // An empty agent file would only make launchd complain at every log-in.
        files.deleteFileAtPath(path);
        if (!program)
            failure = platform::Error(std::string(platform::kCocoaErrorDomain),
                                      platform::kFileNoSuchFileError);
        platform::setError(error, failure);
        return false;
    }
    // The agent itself is not read at log-in here; the autostart entry is.
    // Its failure is logged and the agent stays, as specified.
    writeAutostartEntry(*domainName, *program);
    return true;
}

bool PelLaunchdUtils::deleteLaunchAgentWithDomainName(const OptionalText& domainName,
                                                      platform::Error* error) {
    if (!domainName) {
        PelLogging::logErrorMessageWithFormat("%s: domainName is a nil value. Hence cannot copy",
                                              kDeleteMethod);
        return false;
    }
    if (!platform::isPlainFileName(*domainName)) {
        PelLogging::logErrorMessageWithFormat(
            "%s: domainName %@ is no file name. Hence cannot delete", kDeleteMethod, *domainName);
        return false;
    }
    std::string path = plistDestName(plistName(*domainName));
    // The autostart entry goes with the agent (none there is fine).
    const std::string entry = autostartEntryPath(*domainName);
    asOwnerOfFolder(kDeleteMethod, entry, [&entry] {
        std::error_code ignored;
        std::filesystem::remove(entry, ignored);
    });
    if (auto failure = PelPathUtils::sharedPathUtils().deleteFileAtPath(path)) {
        PelLogging::logErrorMessageWithFormat("%s: Error in deleting the file: %@. error = %@",
                                              kDeleteMethod, path, *failure);
        platform::setError(error, *failure);
        return false;
    }
    return true;
}
