#include "Engine/PelLaunchdUtils.h"

#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "Engine/PelHardwareUtilities.h"
#include "Engine/PelInstallAppUtilities.h"
#include "Engine/PelInstallError.h"
#include "Engine/PelProductCheckUtils.h"
#include "Engine/PelRequirementsContainer.h"
#include "Foundation/PelLogging.h"
#include "Foundation/PelPathUtils.h"
#include "Platform/System/Paths.h"
#include "Platform/Text/Format.h"
#include "Platform/Values/DataFile.h"
#include "Platform/Values/PropertyList.h"

namespace {

constexpr const char* kWriteMethod =
    "-[PelLaunchdUtils writeLaunchAgentWithBundle:withDomainName:withError:]";
constexpr const char* kDeleteMethod =
    "-[PelLaunchdUtils deleteLaunchAgentWithDomainName:withError:]";

// A label becomes a file name; one that would lead out of the folder is
// refused.
bool isPlainLabel(const std::string& label) {
    return !label.empty() && label != "." && label != ".." &&
           label.find('/') == std::string::npos && label.find('\0') == std::string::npos;
}

// One argument of a desktop entry's Exec key: quoted, with the characters
// the key reserves inside quotes escaped, then escaped again as a string
// value (backslashes doubled); '%' is written as "%%".
std::string execArgument(const std::string& argument) {
    std::string quoted = "\"";
    for (char c : argument) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        if (c == '%') quoted += '%';
        quoted += c;
    }
    quoted += '"';
    std::string value;
    for (char c : quoted) {
        if (c == '\\') value += '\\';
        value += c;
    }
    return value;
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
    return platform::format("%@/.config/autostart/%@.desktop", platform::Paths::homeDirectory(),
                            label);
}

PelLaunchdUtils::OptionalText PelLaunchdUtils::autostartEntryText(const std::string& label,
                                                                  const std::string& program) {
    for (const std::string* text : {&label, &program})
        if (text->find_first_of(std::string("\n\r\0", 3)) != std::string::npos) return std::nullopt;
    return "[Desktop Entry]\nType=Application\nName=" + label + "\nExec=" + execArgument(program) +
           "\nNoDisplay=true\nX-GNOME-Autostart-enabled=true\n";
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
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    // Written whole or not at all: a temporary file renamed over the entry.
    if (!platform::writeDataToFile(platform::Data(text->begin(), text->end()), path, true,
                                   nullptr)) {
        PelLogging::logErrorMessageWithFormat("%s: Error in writing the autostart entry %@",
                                              kWriteMethod, path);
        return false;
    }
    return true;
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
    if (!isPlainLabel(*domainName)) {
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
    if (!isPlainLabel(*domainName)) {
        PelLogging::logErrorMessageWithFormat(
            "%s: domainName %@ is no file name. Hence cannot delete", kDeleteMethod, *domainName);
        return false;
    }
    std::string path = plistDestName(plistName(*domainName));
    // The autostart entry goes with the agent (none there is fine).
    std::error_code ignored;
    std::filesystem::remove(autostartEntryPath(*domainName), ignored);
    if (auto failure = PelPathUtils::sharedPathUtils().deleteFileAtPath(path)) {
        PelLogging::logErrorMessageWithFormat("%s: Error in deleting the file: %@. error = %@",
                                              kDeleteMethod, path, *failure);
        platform::setError(error, *failure);
        return false;
    }
    return true;
}
