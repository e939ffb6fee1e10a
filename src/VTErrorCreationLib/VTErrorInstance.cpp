// Construction and the folder life cycle of an error: the temporary folder,
// save, finalize and remove.
#include "VTErrorCreationLib/VTErrorInstance.h"

#include <sys/stat.h>
#include <syslog.h>

#include "Platform/System/Paths.h"
#include "VTErrorCreationLib/Utilities/VTErrorUtilities.h"
#include "VTErrorCreationLib/Utilities/VTFileManagerUtilities.h"
#include "VTErrorCreationLib/Utilities/VTLog.h"
#include "VTErrorCreationLib/Utilities/VTTrace.h"
#include "VTErrorCreationLib/Utilities/VTVersionUtilities.h"
#include "VTErrorCreationLib/VTErrorFolder.h"

namespace {

constexpr std::string_view kSummaryFileName = "summary.vterr";
constexpr std::string_view kDataFileName = "data.vterr";

std::atomic<std::int32_t> gInhibitCount{0};

platform::Error vantrelError(long code) { return VTErrorUtilities::errorWithVantrelError(code); }

// Makes the bucket folder of an error folder when it is missing. The error
// roots and their buckets are shared by every user of the machine: a root
// run first makes sure that no other user can redirect or replace what it
// moves there (from the folder holding the root down to the bucket).
bool prepareBucket(const std::string& errorFolder, platform::Error* error) {
    const std::string bucket = vtfolder::parentOf(errorFolder);
    const std::string root = vtfolder::parentOf(bucket);
    const std::string top = vtfolder::parentOf(root);
    // The walk stops, content, at the first folder that is not there yet.
    if (!vtfolder::checkTrustedFolders(top, bucket, error)) return false;
    if (vtfolder::exists(bucket)) return true;
    VT_TRACE(VTError_BucketCreated, bucket.c_str());
    if (!vtfolder::makeFolder(bucket, vtfolder::kSharedFolderMode, false, error)) return false;
    return vtfolder::checkTrustedFolders(top, bucket, error);
}

}  // namespace

const std::vector<std::string_view>& VTErrorInstance::uncodableProperties() {
    static const std::vector<std::string_view> names = {"fileURL", "final", "client", "firstSave"};
    return names;
}

void VTErrorInstance::inhibitErrorCreationForCurrentProcess() { gInhibitCount.fetch_add(1); }
void VTErrorInstance::uninhibitErrorCreationForCurrentProcess() { gInhibitCount.fetch_sub(1); }
bool VTErrorInstance::isErrorCreationInhibited() { return gInhibitCount.load() != 0; }

std::optional<std::string> VTErrorInstance::folderURLForErrorWithBucketID(
    std::uint64_t bucketID, const VTUUID& uuid, const VTErrorClient* client, bool detailed) {
    if (!client) return std::nullopt;
    auto configuration = client->scdConfiguration();
    if (!configuration) return std::nullopt;
    const auto& root =
        detailed ? configuration->errorsPath() : configuration->undetailedLogicalErrorsPath();
    if (!root || root->empty()) return std::nullopt;
    return vtfolder::join(vtfolder::join(*root, VTStringUtilities::stringWithBucketID(bucketID)),
                          uuid.UUIDString());
}

VTErrorInstance::VTErrorInstance(std::uint64_t failureType, std::int32_t severity,
                                 std::shared_ptr<VTErrorClient> client,
                                 std::optional<std::uint64_t> address)
    : client_(std::move(client)) {
    properties_.setFailureType(failureType);
    properties_.setFailureSeverity(severity);
    properties_.setCreationTime(platform::Date::now());
    if (address) properties_.setFailureAddress(address);
}

VTErrorInstance::VTErrorInstance(std::string folder, std::shared_ptr<VTErrorClient> client,
                                 std::uint64_t openMode)
    : fileURL_(std::move(folder)), firstSave_(false), client_(std::move(client)) {
    (void)openMode;
}

VTErrorInstance::VTErrorInstance(VTErrorProperties properties, VTErrorData data, std::string folder,
                                 std::shared_ptr<VTErrorClient> client, std::uint64_t openMode)
    : properties_(std::move(properties)),
      data_(std::move(data)),
      fileURL_(std::move(folder)),
      final_(openMode == 0),
      firstSave_(false),
      client_(std::move(client)) {}

bool VTErrorInstance::loadedPartsPresent(bool properties, bool data) {
    if (!properties) {
        VTLog(LOG_ERR, "Vantrel could not load error properties (%s)", "(null)");
        return false;
    }
    if (!data) {
        VTLog(LOG_ERR, "VantRel could not load error properties (%s)", "(null)");
        return false;
    }
    return true;
}

std::shared_ptr<const VTSCDConfiguration> VTErrorInstance::configuration() const {
    return client_ ? client_->scdConfiguration() : nullptr;
}

std::string VTErrorInstance::uuidText() const {
    const auto& uuid = properties_.failureUUID();
    return uuid ? uuid->UUIDString() : "(null)";
}

std::int64_t VTErrorInstance::collect(platform::Error*) { return 0; }

bool VTErrorInstance::createErrorDirectory(platform::Error* error) {
    if (!properties_.failureUUID()) {
        platform::setError(error, vantrelError(kVTErrorCannotCreate));
        return false;
    }
    auto folder = VTFileManagerUtilities::createTemporaryDirectoryAtPath(
        platform::Paths::temporaryDirectory(), error);
    if (!folder) return false;
    if (::chmod(folder->c_str(), 0755) != 0) {
        platform::setError(error, platform::Error::posix(errno, *folder));
        VTFileManagerUtilities::removeDirectoryHierarchyAtPath(*folder, true, nullptr);
        return false;
    }
    VT_TRACE(VTError_ErrorDirectoryCreated, folder->c_str());
    fileURL_ = std::move(folder);
    firstSave_ = true;
    return true;
}

bool VTErrorInstance::ensureFolder(platform::Error* error) {
    return fileURL_ || createErrorDirectory(error);
}

bool VTErrorInstance::save(platform::Error* error) {
    const auto& uuid = properties_.failureUUID();
    if (!uuid || properties_.bucketId() == 0) {
        platform::setError(error, vantrelError(kVTErrorMissingIdentity));
        return false;
    }
    auto destination =
        folderURLForErrorWithBucketID(properties_.bucketId(), *uuid, client_.get(), final_);
    const char* currentPath = fileURL_ ? fileURL_->c_str() : "";
    VT_TRACE(VTError_Save, currentPath, currentPath);
    if (!destination) {
        platform::setError(error, vantrelError(kVTErrorNotConfigured));
        return false;
    }
    bool same = fileURL_ && *fileURL_ == *destination;
    if (same && !firstSave_) {
        if (!vtfolder::exists(*fileURL_)) {
            platform::setError(error, vantrelError(kVTErrorNoFolder));
            return false;
        }
    } else {
        if (fileURL_ && !firstSave_ && vtfolder::exists(*destination)) {
            platform::setError(error, vantrelError(kVTErrorDestinationExistsOnLaterSave));
            return false;
        }
        if (vtfolder::exists(*destination)) {
            platform::setError(error, vantrelError(kVTErrorDestinationExists));
            return false;
        }
        if (!prepareBucket(*destination, error)) return false;
        if (vtfolder::exists(*destination)) {
            platform::setError(error, vantrelError(kVTErrorDestinationExists));
            return false;
        }
        if (fileURL_) {
            platform::Error moveError;
            if (!vtfolder::moveItem(*fileURL_, *destination, &moveError)) {
                platform::Error e = vantrelError(kVTErrorMoveFailed);
                e.setUnderlyingError(std::move(moveError));
                platform::setError(error, std::move(e));
                return false;
            }
        } else if (!vtfolder::makeFolder(*destination, 0755, true, error)) {
            // An error that never got a detail has no folder yet; it gets
            // its saved one directly.
            return false;
        }
        // The bucket folder the error left stays, even when now empty.
        fileURL_ = std::move(destination);
        firstSave_ = false;
    }
    return writeDataFiles(error);
}

bool VTErrorInstance::writeDataFiles(platform::Error* error) {
    // Each file is written beside its final name and renamed over it, so a
    // crash leaves the old file or the new one, never a torn one.
    auto lock = data_.lockData();
    platform::Error writeError;
    if (!VTCodingUtilities::writeToFile(properties_, vtfolder::join(*fileURL_, kSummaryFileName),
                                        true, &writeError)) {
        VTLog(LOG_ERR, "Vantrel could not write error %s (%s)", uuidText().c_str(),
              writeError.description().c_str());
        // A folder that never got its summary is never listed, submitted or
        // cleaned up: it goes, as for a failed data file. One saved before
        // keeps its earlier summary and stays.
        if (!vtfolder::exists(vtfolder::join(*fileURL_, kSummaryFileName))) remove(nullptr);
        platform::setError(error, std::move(writeError));
        return false;
    }
    if (!VTCodingUtilities::writeToFile(data_, vtfolder::join(*fileURL_, kDataFileName), true,
                                        &writeError)) {
        VTLog(LOG_ERR, "Vantrel could not write error %s (%s)", uuidText().c_str(),
              writeError.description().c_str());
        remove(nullptr);
        platform::setError(error, std::move(writeError));
        return false;
    }
    return true;
}

bool VTErrorInstance::finalize(platform::Error* error) {
    const auto& uuid = properties_.failureUUID();
    if (!uuid || properties_.bucketId() == 0) {
        platform::setError(error, vantrelError(kVTErrorMissingIdentity));
        return false;
    }
    if (!fileURL_) {
        platform::setError(error, vantrelError(kVTErrorNoFolder));
        return false;
    }
    if (!save(error)) return false;
    auto destination =
        folderURLForErrorWithBucketID(properties_.bucketId(), *uuid, client_.get(), true);
    if (!destination) {
        platform::setError(error, vantrelError(kVTErrorNotConfigured));
        return false;
    }
    std::string current = *fileURL_;
    if (vtfolder::exists(*destination)) {
        platform::setError(error, vantrelError(kVTErrorDestinationExists));
        return false;
    }
    if (!prepareBucket(*destination, error)) return false;
    if (!vtfolder::exists(current) && !vtfolder::makeFolder(current, 0755, true, error))
        return false;
    if (!vtfolder::moveItem(current, *destination, error)) return false;
    fileURL_ = std::move(destination);
    final_ = true;

    std::string oldBucket = vtfolder::parentOf(current);
    ::unlink(vtfolder::join(oldBucket, ".DS_Store").c_str());
    if (VTFileManagerUtilities::countFilesInDirectory(oldBucket, nullptr) == 0)
        ::rmdir(oldBucket.c_str());
    return true;
}

bool VTErrorInstance::remove(platform::Error* error) {
    if (!fileURL_) {
        platform::setError(error, vantrelError(kVTErrorNoFolder));
        return false;
    }
    if (!vtfolder::checkReachable(*fileURL_, error)) return false;
    VT_TRACE(VTError_Remove, fileURL_->c_str());
    // The folder goes first: an error whose folder could not be deleted
    // keeps its data and bucket, so that it can be saved or removed again.
    if (!VTFileManagerUtilities::removeDirectoryHierarchyAtPath(*fileURL_, true, error))
        return false;
    data_.removeAll();
    properties_.setBucketId(0);
    // Only a saved error lies in a bucket folder; the temporary folder's
    // parent is the system's temporary directory.
    if (!firstSave_) {
        std::string bucket = vtfolder::parentOf(*fileURL_);
        if (VTFileManagerUtilities::countFilesInDirectory(bucket, nullptr) == 0 &&
            VTFileManagerUtilities::removeDirectoryHierarchyAtPath(bucket, true, nullptr)) {
            VT_TRACE(VTError_BucketDeleted, bucket.c_str());
        }
    }
    fileURL_.reset();
    return true;
}

void VTErrorInstance::encodeWithCoder(VTKeyedArchiver& coder) const {
    coder.encodeObject("properties", properties_);
    coder.encodeObject("data", data_);
}

bool VTErrorInstance::initWithCoder(VTKeyedUnarchiver& coder, platform::Error* error) {
    std::optional<VTErrorProperties> properties;
    std::optional<VTErrorData> data;
    if (!coder.decodeObjectOfClass<VTErrorProperties>("properties", properties, error) ||
        !coder.decodeObjectOfClass<VTErrorData>("data", data, error))
        return false;
    if (properties) properties_ = std::move(*properties);
    if (data) data_ = std::move(*data);
    return true;
}
