#include "VTErrorCreationLib/VTErrorPayload.h"

#include <syslog.h>
#include <unistd.h>

#include <mutex>
#include <thread>

#include "Platform/System/FileAttributes.h"
#include "Platform/System/Paths.h"
#include "Platform/Values/Value.h"
#include "VTErrorCreationLib/Utilities/VTFileManagerUtilities.h"
#include "VTErrorCreationLib/Utilities/VTLog.h"
#include "VTErrorCreationLib/VTClient.h"
#include "VTErrorCreationLib/VTErrorData.h"
#include "VTErrorCreationLib/VTErrorInstance.h"
#include "VTSubmissionLib/Archive/VTArchive.h"

namespace {

constexpr std::chrono::milliseconds kLoadDelay{1500};

std::mutex gSleeperMutex;
VTErrorPayload::Sleeper gSleeper;

void sleepBeforeLoading() {
    VTErrorPayload::Sleeper sleeper;
    {
        std::lock_guard<std::mutex> lock(gSleeperMutex);
        sleeper = gSleeper;
    }
    if (sleeper)
        sleeper(kLoadDelay);
    else
        std::this_thread::sleep_for(kLoadDelay);
}

std::uint64_t payloadFlags(const VTSCDConfiguration& configuration) {
    return configuration.compressPayload() ? kVTArchiveFlagPayload
                                           : kVTArchiveFlagPayload | kVTArchiveFlagStore;
}

std::string lastComponent(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

void VTErrorPayload::setSleeper(Sleeper sleeper) {
    std::lock_guard<std::mutex> lock(gSleeperMutex);
    gSleeper = std::move(sleeper);
}

bool VTErrorPayload::archiveError(std::shared_ptr<VTError> error, VTArchiveCreation& archive,
                                  platform::Error* outError) {
    error_ = error;
    if (!error) return false;
    if (auto path = error->fileURL()) {
        // Both files from the folder opened once, by descriptor: the error
        // folder may be another user's, in folders other users can write.
        platform::Error openError;
        auto folder = platform::SharedFolder::open(VTArchiveFilePath(*path).value_or(*path),
                                                   platform::SharedFolder::Trust::Any, &openError);
        if (!folder) {
            platform::Error failure(std::string(VTArchiveErrorDomain), kVTArchiveErrorAttributes);
            failure.setUserInfoValue(std::string(platform::kURLErrorKey), *path);
            failure.setUnderlyingError(
                platform::Error::posixForURL(platform::SharedFolder::errorCode(openError), *path));
            platform::setError(outError, std::move(failure));
            return false;
        }
        for (const char* name : {"summary.vterr", "data.vterr"})
            if (!archive.addItemInFolder(*folder, name, outError)) return false;
        numberOfFiles_ += 2;
    }

    bool added = true;
    const std::int64_t sections[] = {kVTErrorDataKindDetail};
    error->enumerateData(sections, kVTErrorDataOptionFileAttributes,
                         [&](const std::string& identifier, const VTErrorDataValue& value,
                             const platform::Dictionary* info, bool& stop) {
                             if (!info || !value.stream) return;
                             auto attrs = info->find(VTErrorDataInfoAttributesKey);
                             if (attrs == info->end() || !attrs->second.asDictionary()) return;
                             const platform::Dictionary& attributes = *attrs->second.asDictionary();
                             auto size = attributes.find(platform::kFileSize);
                             if (size == attributes.end()) return;
                             uncompressedSize_ += size->second.uint64Value();
                             std::optional<std::string> originalPath;
                             if (auto original = info->find(VTErrorDataInfoOriginalPathKey);
                                 original != info->end() && original->second.isString())
                                 originalPath = original->second.stringValue();
                             platform::Error failure;
                             const bool ok =
                                 archive.addStream(*value.stream, identifier, std::nullopt,
                                                   originalPath, attributes, &failure);
                             ++numberOfFiles_;
                             if (!ok) {
                                 VTLog(LOG_ERR, "Could not add %s to the payload (%s)",
                                       identifier.c_str(), failure.description().c_str());
                                 platform::setError(outError, std::move(failure));
                                 added = false;
                                 stop = true;
                             }
                         });
    if (!added || numberOfFiles_ == 0) return false;
    return archive.save(outError);
}

std::optional<platform::DispatchData> VTErrorPayload::archiveError(
    std::shared_ptr<VTError> error, const VTSCDConfiguration& configuration,
    platform::Error* outError) {
    auto archive = VTMemoryArchive::archiveWithFlags(payloadFlags(configuration), nullptr);
    if (!archive) {
        platform::setError(
            outError, platform::Error(std::string(VTArchiveErrorDomain), kVTArchiveErrorSetup));
        return std::nullopt;
    }
    if (!archiveError(std::move(error), *archive, outError)) return std::nullopt;
    return archive->archiveData();
}

bool VTErrorPayload::archiveError(std::shared_ptr<VTError> error,
                                  const VTSCDConfiguration& configuration, const std::string& url,
                                  platform::Error* outError) {
    auto archive =
        VTFileArchive::archiveWithDestination(url, payloadFlags(configuration), outError);
    if (!archive) return false;
    if (archiveError(std::move(error), *archive, outError)) return true;
    // What was written is no payload: the writer is closed first (closing
    // may write more), then the file goes from the folder it was made in.
    archive->discard();
    archive.reset();
    return false;
}

std::shared_ptr<VTErrorPayload> VTErrorPayload::payloadDataWithError(
    std::shared_ptr<VTError> error, const VTSCDConfiguration& configuration,
    std::optional<platform::DispatchData>* data, platform::Error* outError) {
    auto payload = std::make_shared<VTErrorPayload>();
    payload->setError(error);
    auto bytes = payload->archiveError(std::move(error), configuration, outError);
    if (data) *data = std::move(bytes);
    return payload;
}

std::shared_ptr<VTErrorPayload> VTErrorPayload::payloadFileWithError(
    std::shared_ptr<VTError> error, const std::string& url, const VTSCDConfiguration& configuration,
    platform::Error* outError) {
    auto payload = std::make_shared<VTErrorPayload>();
    payload->setError(error);
    if (!payload->archiveError(std::move(error), configuration, url, outError)) return nullptr;
    return payload;
}

bool VTErrorPayload::unarchivePayloadInArchive(VTArchiveReading& archive,
                                               const std::string& folderURL,
                                               platform::Error* outError,
                                               std::string* unpackedFolder) {
    auto destination = VTArchiveFilePath(folderURL);
    if (!destination) {
        platform::setError(outError, platform::Error(std::string(VTArchiveErrorDomain),
                                                     kVTArchiveErrorDestination));
        return false;
    }
    // A private folder of our own: a failure removes it and nothing else of
    // the caller's folder.
    auto folder = VTFileManagerUtilities::createTemporaryDirectoryAtPath(*destination, outError);
    if (!folder) return false;
    const std::int64_t extracted = archive.extractToDirectory(
        *folder, 4,
        [this](const char* path, const platform::Dictionary& attributes) {
            if (lastComponent(path) == ".DS_Store") return false;
            ++numberOfFiles_;
            if (auto size = attributes.find(platform::kFileSize); size != attributes.end())
                uncompressedSize_ += size->second.uint64Value();
            return true;
        },
        outError);
    if (extracted <= 0) {
        VTFileManagerUtilities::removeDirectoryHierarchyAtPath(*folder, true, nullptr);
        return false;
    }
    if (unpackedFolder) *unpackedFolder = *folder;
    return true;
}

bool VTErrorPayload::unarchivePayload(const std::string& payloadURL, const std::string& folderURL,
                                      platform::Error* outError, std::string* unpackedFolder) {
    auto archive = VTImmutableFileArchive::archiveWithSource(payloadURL, 0, outError);
    if (!archive) return false;
    return unarchivePayloadInArchive(*archive, folderURL, outError, unpackedFolder);
}

std::shared_ptr<VTErrorPayload> VTErrorPayload::payloadWithPayloadURL(const std::string& payloadURL,
                                                                      const std::string& folderURL,
                                                                      VTClient& client,
                                                                      platform::Error* outError) {
    auto payload = std::make_shared<VTErrorPayload>();
    std::string folder;
    if (!payload->unarchivePayload(payloadURL, folderURL, outError, &folder)) return nullptr;
    sleepBeforeLoading();
    auto error = client.createErrorFromPersistentData(folder, 0, outError);
    if (!error) {
        VTLog(LOG_ERR, "Could not create error with data at %s", folder.c_str());
        VTFileManagerUtilities::removeDirectoryHierarchyAtPath(folder, true, nullptr);
        return nullptr;
    }
    payload->setError(std::move(error));
    return payload;
}
