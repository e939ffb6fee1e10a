// The reporting client's part in making and finding errors: the creation
// gate, logical errors, saved errors, the client fields of a summary and the
// clean-up of stored data.
#include <sys/stat.h>

#include <map>

#include "Platform/System/Paths.h"
#include "Platform/System/SharedFolder.h"
#include "VTErrorCreationLib/Utilities/VTCoding.h"
#include "VTErrorCreationLib/Utilities/VTErrorUtilities.h"
#include "VTErrorCreationLib/Utilities/VTFileManagerUtilities.h"
#include "VTErrorCreationLib/VTClient.h"
#include "VTErrorCreationLib/VTErrorData.h"
#include "VTErrorCreationLib/VTErrorFolder.h"
#include "VTErrorCreationLib/VTErrorInstance.h"
#include "VTErrorCreationLib/VTErrorReport.h"
#include "VTErrorCreationLib/VTLogicalError.h"
#include "VTErrorCreationLib/VTSettingsClient.h"

namespace {

std::mutex gLoadersMutex;
std::map<std::uint64_t, VTClient::ErrorKindLoader>& loaders() {
    static std::map<std::uint64_t, VTClient::ErrorKindLoader> table;
    return table;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// Reads a saved error's file below its folder, held open: nothing on the way
// is followed that another user could have put there.
template <class T>
std::optional<T> objectInFolder(const platform::SharedFolder& folder, std::string_view name,
                                platform::Error* error) {
    platform::Data data;
    if (!folder.readFile(name, data)) {
        platform::setError(error, platform::Error::posix(errno, folder.pathOf(name)));
        return std::nullopt;
    }
    return VTCodingUtilities::objectWithData<T>(data, error);
}

}  // namespace

bool VTClient::mayCreateErrors() {
    auto configuration = scdConfiguration();
    std::shared_ptr<VTSettingsClient> settings = settingsClient();
    if (!settings && configuration) {
        // Kept only once there are settings: without a settings file the
        // next error tries again.
        auto made = VTSettingsClient::clientWithSettingsFromConfig(configuration, nullptr);
        if (made && made->settings()) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!settingsClient_) settingsClient_ = made;
            settings = settingsClient_;
        }
    }
    // The opt-out marker: the user declined error reporting for the product.
    const bool optedOut = configuration && configuration->basePath() &&
                          exists(platform::Paths::join(*configuration->basePath(), "ofgDisabled"));
    if (VTErrorInstance::isErrorCreationInhibited()) return false;
    if (configuration && !configuration->enabled()) return false;
    if (settings) {
        auto current = settings->settings();
        return current && current->enabled() && !optedOut;
    }
    return !optedOut;
}

std::shared_ptr<VTLogicalError> VTClient::createLogicalErrorInComponent(
    const char* component, const void* address, std::int32_t failureIdentifierCode,
    std::int32_t severity, bool addDump, platform::Error* error) {
    if (!mayCreateErrors() || !shouldCreateError()) return nullptr;
    auto made = VTLogicalError::errorInComponent(component, address, failureIdentifierCode,
                                                 severity, shared_from_this(), addDump, error);
    if (made) addClientInformationToErrorSummary(made->summaryData());
    return made;
}

std::shared_ptr<VTLogicalError> VTClient::createLogicalErrorInComponent(
    const char* component, const std::vector<std::uintptr_t>& backtrace,
    std::int32_t failureIdentifierCode, std::int32_t severity, bool addDump,
    platform::Error* error) {
    if (!mayCreateErrors() || !shouldCreateError()) return nullptr;
    auto made = VTLogicalError::errorInComponent(component, backtrace, failureIdentifierCode,
                                                 severity, shared_from_this(), addDump, error);
    if (made) addClientInformationToErrorSummary(made->summaryData());
    return made;
}

void VTClient::setErrorKindLoader(std::uint64_t failureType, ErrorKindLoader loader) {
    std::lock_guard<std::mutex> lock(gLoadersMutex);
    if (loader) {
        loaders()[failureType] = std::move(loader);
    } else {
        loaders().erase(failureType);
    }
}

std::shared_ptr<VTErrorInstance> VTClient::createErrorFromPersistentData(const std::string& folder,
                                                                         std::uint64_t openMode,
                                                                         platform::Error* error) {
    if (!mayCreateErrors()) return nullptr;
    auto opened = vtfolder::openFolder(folder, platform::SharedFolder::Trust::Any, error);
    if (!opened) return nullptr;
    auto properties = objectInFolder<VTErrorProperties>(*opened, vtfolder::kSummaryFileName, error);
    if (!properties) return nullptr;
    auto data = objectInFolder<VTErrorData>(*opened, vtfolder::kDataFileName, error);
    if (!data) return nullptr;
    const std::uint64_t type = properties->failureType();
    if (type == kVTFailureTypeLogicalError) {
        return VTErrorInstance::loadWithProperties<VTLogicalError>(
            std::move(properties), std::move(data), folder, shared_from_this(), openMode);
    }
    ErrorKindLoader loader;
    if (type == kVTFailureTypeCrash || type == kVTFailureTypeKernelPanic) {
        std::lock_guard<std::mutex> lock(gLoadersMutex);
        auto found = loaders().find(type);
        if (found != loaders().end()) loader = found->second;
    }
    if (loader) return loader(*this, std::move(*properties), std::move(*data), folder, openMode);
    platform::setError(error, VTErrorUtilities::errorWithVantrelError(kVTErrorCannotCreate));
    return nullptr;
}

std::shared_ptr<VTErrorInstance> VTClient::errorWithFailureUUID(const VTUUID& uuid,
                                                                std::uint64_t bucketId,
                                                                platform::Error* error) {
    // A finalized error is opened final (mode 0), so that saving it again
    // keeps it where it is; one under "Errors" is opened as not yet final.
    struct Place {
        bool detailed;
        std::uint64_t openMode;
    };
    for (Place place : {Place{true, 0}, Place{false, 1}}) {
        auto primary =
            VTErrorInstance::folderURLForErrorWithBucketID(bucketId, uuid, this, place.detailed);
        // Also in a bucket of root's beside the bucket (see bucketForSaving).
        auto folder = primary ? vtfolder::findErrorFolder(*primary) : std::nullopt;
        if (folder) return createErrorFromPersistentData(*folder, place.openMode, error);
    }
    platform::setError(error, VTErrorUtilities::errorWithVantrelError(kVTErrorNoFolder));
    return nullptr;
}

void VTClient::addClientInformationToErrorSummary(VTErrorProperties& summary) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!summary.productName() && productName_) summary.setProductName(productName_);
    if (!summary.productVersion() && productVersion_) summary.setProductVersion(productVersion_);
    if (!summary.machineId() && machineID_ && !machineID_->empty())
        if (auto uuid = VTUUID::initWithUUIDString(*machineID_)) summary.setMachineId(*uuid);
    if (!summary.mid() && mid_ && !mid_->empty())
        if (auto uuid = VTUUID::initWithUUIDString(*mid_)) summary.setMid(*uuid);
}

void VTClient::cleanup(std::uint64_t flags, const std::function<bool()>& abortCallback) {
    auto configuration = scdConfiguration();
    if (!configuration) return;
    auto aborted = [&] { return abortCallback && abortCallback(); };
    if (flags & kVTCleanupErrorFolders) {
        for (const auto& path :
             {configuration->undetailedCrashDumpsPath(),
              configuration->undetailedLogicalErrorsPath(), configuration->errorsPath()}) {
            if (path) VTFileManagerUtilities::removeDirectoryHierarchyAtPath(*path, true, nullptr);
            if (aborted()) return;
        }
    }
    if (flags & kVTCleanupSettings) {
        if (const auto& settings = configuration->settingsPath()) {
            std::string name;
            if (auto folder = platform::SharedFolder::openHolder(
                    *settings, platform::SharedFolder::Trust::Any, &name, nullptr))
                folder->removeFile(name);
        }
        if (aborted()) return;
    }
    if (flags & kVTCleanupBasePath) {
        if (aborted()) return;
        if (configuration->basePath())
            VTFileManagerUtilities::removeDirectoryHierarchyAtPath(*configuration->basePath(), true,
                                                                   nullptr);
        // Asked once more; its answer changes nothing now.
        aborted();
    }
}
