#include "VTErrorCreationLib/VTSCDConfiguration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "Foundation/PelCFUtilities.h"
#include "Foundation/PelSignature.h"
#include "Platform/System/Paths.h"
#include "Platform/System/SharedFolder.h"
#include "VTErrorCreationLib/Utilities/VTLog.h"
#include "VTErrorCreationLib/VTErrorFolder.h"
#include "VTErrorCreationLib/VTScrambledArchive.h"

namespace {

constexpr const char* kConfigurationFileName = "vtscd.dat";
constexpr const char* kSignatureFileName = "vtscd.sig";
constexpr const char* kSettingsFileName = "vtsettings.dat";
constexpr const char* kErrorsFolderName = "Submissions";
constexpr const char* kUndetailedErrorsFolderName = "Errors";
constexpr const char* kCrashDumpsFolderName = "CrashDumps";
constexpr const char* kPelgraveSupportPath = "/Library/Application Support/Pelgrave";

std::string join(const std::string& base, const char* name) {
    return platform::Paths::join(base, name);
}

std::string folderOf(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string lastComponent(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    std::size_t slash = trimmed.find_last_of('/');
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

platform::Error cocoaError(long code, std::string_view key, const std::string& path) {
    return platform::Error(std::string(platform::kCocoaErrorDomain), code,
                           {{std::string(key), platform::Value(path)}});
}

platform::Error signatureError(int status) {
    return platform::Error(std::string(kPelErrDomainPelgraveTrustedComponents), status);
}

}  // namespace

std::span<const VTField<VTSCDConfiguration>> VTSCDConfiguration::codingFields() {
    using C = VTSCDConfiguration;
    static const VTField<C> fields[] = {
        VTMakeField<&C::basePath_>("basePath", false),
        VTMakeField<&C::scdPath_>("scdPath", false),
        VTMakeField<&C::enabled_>("enabled"),
        VTMakeField<&C::settingsPath_>("settingsPath"),
        VTMakeField<&C::errorsPath_>("errorsPath"),
        VTMakeField<&C::maxPingSubmissionsPerDay_>("maxPingSubmissionsPerDay"),
        VTMakeField<&C::pingProbability_>("pingProbability"),
        VTMakeField<&C::maxAgeDays_>("maxAgeDays"),
        VTMakeField<&C::maxLogicalErrorCountPerBucket_>("maxLogicalErrorCountPerBucket"),
        VTMakeField<&C::maxUploadSizeBytes_>("maxUploadSizeBytes"),
        VTMakeField<&C::maxUploadSubmissionsPerDay_>("maxUploadSubmissionsPerDay"),
        VTMakeField<&C::uploadSubmissionProbability_>("uploadSubmissionProbability"),
        VTMakeField<&C::gateways_>("gateways"),
        VTMakeField<&C::networkConnectTimeoutSeconds_>("networkConnectTimeoutSeconds"),
        VTMakeField<&C::networkUploadTimeoutSeconds_>("networkUploadTimeoutSeconds"),
        VTMakeField<&C::retryPingFailures_>("retryPingFailures"),
        VTMakeField<&C::compressPayload_>("compressPayload"),
        VTMakeField<&C::enableLogicalErrors_>("enableLogicalErrors"),
        VTMakeField<&C::undetailedLogicalErrorsPath_>("undetailedLogicalErrorsPath"),
        VTMakeField<&C::maxFileAttachmentSizeBytes_>("maxFileAttachmentSizeBytes"),
        VTMakeField<&C::undetailedCrashDumpsPath_>("undetailedCrashDumpsPath"),
        VTMakeField<&C::logicalActionManifest_>("logicalActionManifest"),
        VTMakeField<&C::enableCrashDumps_>("enableCrashDumps"),
        VTMakeField<&C::crashActionManifest_>("crashActionManifest"),
        VTMakeField<&C::throttledBuckets_>("throttledBuckets"),
        VTMakeField<&C::logicalActionManifests_>("logicalActionManifests"),
        VTMakeField<&C::crashActionManifests_>("crashActionManifests"),
        VTMakeField<&C::panicActionManifests_>("panicActionManifests"),
        VTMakeField<&C::gatherPelgraveInfoScript_>("gatherPelgraveInfoScript"),
    };
    return fields;
}

VTSCDConfiguration::VTSCDConfiguration()
    : enabled_(true),
      maxPingSubmissionsPerDay_(256),
      pingProbability_(1),
      maxAgeDays_(14),
      maxLogicalErrorCountPerBucket_(20),
      maxUploadSizeBytes_(100000000),
      maxUploadSubmissionsPerDay_(128),
      uploadSubmissionProbability_(1),
      networkConnectTimeoutSeconds_(30),
      networkUploadTimeoutSeconds_(1200),
      retryPingFailures_(false),
      compressPayload_(true),
      enableLogicalErrors_(true),
      maxFileAttachmentSizeBytes_(10000000),
      enableCrashDumps_(false) {}

VTSCDConfiguration::VTSCDConfiguration(const std::string& basePath) : VTSCDConfiguration() {
    setPathsUnder(basePath);
    scdPath_ = join(basePath, kConfigurationFileName);
}

void VTSCDConfiguration::setPathsUnder(const std::string& basePath) {
    basePath_ = basePath;
    settingsPath_ = join(basePath, kSettingsFileName);
    errorsPath_ = join(basePath, kErrorsFolderName);
    undetailedLogicalErrorsPath_ = join(basePath, kUndetailedErrorsFolderName);
    undetailedCrashDumpsPath_ = join(basePath, kCrashDumpsFolderName);
}

VTSCDConfiguration VTSCDConfiguration::hardcodedConfigurationUsingPath(
    const std::string& basePath) {
    VTSCDConfiguration configuration(basePath);
    configuration.initializeDirectories();
    return configuration;
}

std::optional<std::string> VTSCDConfiguration::currentSiloPath() {
    char* silo = PelCreateSiloedPath(kPelgraveSupportPath, "Vantrel", nullptr);
    if (!silo) return std::nullopt;
    std::string path = platform::Paths::resolve(silo);
    std::free(silo);
    return path;
}

std::optional<VTSCDConfiguration> VTSCDConfiguration::installedConfiguration(
    platform::Error* error) {
    auto silo = currentSiloPath();
    if (!silo) {
        platform::setError(error,
                           cocoaError(platform::kFileNoSuchFileError, platform::kFilePathErrorKey,
                                      platform::Paths::resolve(kPelgraveSupportPath)));
        return std::nullopt;
    }
    std::string path = join(*silo, kConfigurationFileName);
    if (::access(path.c_str(), R_OK) != 0) {
        platform::setError(
            error, cocoaError(platform::kFileNoSuchFileError, platform::kFilePathErrorKey, path));
        return std::nullopt;
    }
    return configurationWithContentsOfPath(path, folderOf(path), error);
}

std::optional<platform::Data> VTSCDConfiguration::dataForConfigurationAtURL(
    const std::string& path, platform::Error* error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        platform::setError(
            error, cocoaError(platform::kFileNoSuchFileError, platform::kURLErrorKey, path));
        return std::nullopt;
    }
    if (::access(path.c_str(), R_OK) != 0) {
        platform::setError(
            error, cocoaError(platform::kFileWriteNoPermissionError, platform::kURLErrorKey, path));
        return std::nullopt;
    }
    platform::Data data;
    if (!VTCodingUtilities::readFile(path, data, error)) return std::nullopt;

    std::string signaturePath = join(folderOf(path), kSignatureFileName);
    int status = PelVerifyDetachedSignatureFile(path.c_str(), signaturePath.c_str());
    if (status == kPelSignatureValid) {
        // The check above read the files again; make sure the bytes handed
        // on are the ones that were signed, even if the file changed meanwhile.
        platform::Data signature;
        if (!VTCodingUtilities::readFile(signaturePath, signature, nullptr) ||
            signature.size() > kPelSignatureMaxDetachedSize ||
            data.size() > kPelSignatureMaxDataSize) {
            status = kPelSignatureNoCertificateOrSignature;
        } else {
            status = PelVerifySignatureWithKey(reinterpret_cast<const char*>(data.data()),
                                               static_cast<unsigned>(data.size()), signature.data(),
                                               static_cast<unsigned>(signature.size()));
        }
    }
    if (status != kPelSignatureValid) {
        platform::setError(error, signatureError(status));
        return std::nullopt;
    }
    return data;
}

bool VTSCDConfiguration::isValidConfigurationAtURL(const std::string& path,
                                                   platform::Error* error) {
    return dataForConfigurationAtURL(path, error).has_value();
}

std::optional<VTSCDConfiguration> VTSCDConfiguration::configurationWithContentsOfPath(
    const std::string& path, const std::optional<std::string>& baseDirectory,
    platform::Error* error) {
    auto data = dataForConfigurationAtURL(path, error);
    if (!data) return std::nullopt;
    std::optional<VTSCDConfiguration> configuration;
    if (!VTDecodeScrambledArchive(&configuration, *data, kVTConfigurationKeyTable, error)) {
        VTLog(LOG_ERR, "The Vantrel configuration file is corrupted.");
        return std::nullopt;
    }
    configuration->scdPath_ = path;
    if (baseDirectory)
        configuration->setPathsUnder(*baseDirectory);
    else
        configuration->basePath_ = folderOf(path);
    configuration->initializeDirectories();
    return configuration;
}

void VTSCDConfiguration::initializeDirectories() const {
    using platform::SharedFolder;
    for (const auto* folder :
         {&undetailedLogicalErrorsPath_, &undetailedCrashDumpsPath_, &errorsPath_}) {
        if (!*folder || folder->value().empty()) continue;
        const std::string& path = **folder;
        auto failed = [&](const platform::Error& e) {
            VTLog(LOG_ERR, "Could not create %s (%s)", lastComponent(path).c_str(),
                  e.localizedDescription().c_str());
        };
        // The base and the folders above it are walked and made by
        // descriptor; a root run refuses any of them that another user owns
        // or could swap. The root folder is made private and given its mode
        // on the descriptor, so that no link put in its place meanwhile can
        // turn the mode onto another folder.
        platform::Error refused;
        auto top = SharedFolder::make(folderOf(path), SharedFolder::kDefaultMode, &refused);
        if (!top) {
            failed(refused);
            continue;
        }
        const std::string name = lastComponent(path);
        bool made = false;
        auto root = top->makeChild(name, vtfolder::kSharedFolderMode, &refused, &made);
        if (!root) root = top->child(name, SharedFolder::Trust::Any, nullptr);
        if (!root) {
            failed(refused);
            continue;
        }
        // A shared folder of ours that an earlier version made without the
        // sticky bit gets it now, on the folder opened.
        struct stat st {};
        if (!made && root->status(&st) && st.st_uid == ::geteuid() && (st.st_mode & 07777) == 0777)
            ::fchmod(root->fd(), vtfolder::kSharedFolderMode);
        if (int why = SharedFolder::untrustedReason(root->fd()))
            failed(platform::Error::fileWrite(why, path));
    }
}
