// Construction and the folder life cycle of an error: the temporary folder,
// save, finalize and remove.
#include "VTErrorCreationLib/VTErrorInstance.h"

#include <sys/stat.h>
#include <syslog.h>

#include <cerrno>

#include "Platform/System/PathNames.h"
#include "Platform/System/Paths.h"
#include "VTErrorCreationLib/Utilities/VTErrorUtilities.h"
#include "VTErrorCreationLib/Utilities/VTFileManagerUtilities.h"
#include "VTErrorCreationLib/Utilities/VTKeyedArchive.h"
#include "VTErrorCreationLib/Utilities/VTLog.h"
#include "VTErrorCreationLib/Utilities/VTTrace.h"
#include "VTErrorCreationLib/Utilities/VTVersionUtilities.h"
#include "VTErrorCreationLib/VTErrorFolder.h"

namespace {

using platform::SharedFolder;
using vtfolder::kDataFileName;
using vtfolder::kSummaryFileName;

std::atomic<std::int32_t> gInhibitCount{0};

platform::Error vantrelError(long code) { return VTErrorUtilities::errorWithVantrelError(code); }

// The error root of a destination (root/bucket/uuid), opened by descriptor,
// and the bucket this process saves into, made when missing.
struct Destination {
    SharedFolder bucket;
    std::string path;  // of the error folder in that bucket
};

std::optional<Destination> prepareDestination(const std::string& destination, bool traceCreation,
                                              platform::Error* error) {
    const std::string bucketPath = vtfolder::parentOf(destination);
    auto root =
        SharedFolder::open(vtfolder::parentOf(bucketPath), SharedFolder::Trust::Required, error);
    if (!root) return std::nullopt;
    const std::string bucketName = vtfolder::nameOf(bucketPath);
    if (traceCreation && !root->hasEntry(bucketName))
        VT_TRACE(VTError_BucketCreated, bucketPath.c_str());
    std::string used;
    auto bucket = vtfolder::bucketForSaving(*root, bucketName, &used, nullptr, error);
    if (!bucket) return std::nullopt;
    std::string path = platform::pathInFolder(root->pathOf(used), vtfolder::nameOf(destination));
    return Destination{std::move(*bucket), std::move(path)};
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
    return platform::pathInFolder(
        platform::pathInFolder(*root, VTStringUtilities::stringWithBucketID(bucketID)),
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
    auto temporary = SharedFolder::open(platform::Paths::temporaryDirectory(),
                                        SharedFolder::Trust::Required, error);
    std::string name;
    if (!temporary || !temporary->makeUniqueChild("vantrel.", 0755, &name, error)) return false;
    std::string folder = temporary->pathOf(name);
    VT_TRACE(VTError_ErrorDirectoryCreated, folder.c_str());
    fileURL_ = std::move(folder);
    firstSave_ = true;
    return true;
}

VTErrorInstance::~VTErrorInstance() {
    // A temporary folder that was never saved is no report anyone will find:
    // it goes with the error that made it, whatever road ended the error.
    if (fileURL_ && firstSave_) {
        std::string name;
        if (auto temporary =
                SharedFolder::openHolder(*fileURL_, SharedFolder::Trust::Any, &name, nullptr))
            temporary->removeTree(name, true);
    }
}

std::optional<SharedFolder> VTErrorInstance::openFolder(platform::Error* error) const {
    if (!fileURL_) {
        platform::setError(error, vantrelError(kVTErrorNoFolder));
        return std::nullopt;
    }
    return vtfolder::openFolder(*fileURL_, SharedFolder::Trust::Required, error);
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
    if (fileURL_ && !firstSave_ && vtfolder::isPlaceOf(*fileURL_, *destination)) {
        platform::Error openError;
        auto folder = openFolder(&openError);
        if (!folder) {
            const platform::Error* cause = openError.underlyingError();
            if (cause && cause->code() == ENOENT)
                platform::setError(error, vantrelError(kVTErrorNoFolder));
            else
                platform::setError(error, std::move(openError));
            return false;
        }
        return writeDataFiles(*folder, error);
    }
    if (vtfolder::findErrorFolder(*destination)) {
        platform::setError(
            error, vantrelError(fileURL_ && !firstSave_ ? kVTErrorDestinationExistsOnLaterSave
                                                        : kVTErrorDestinationExists));
        return false;
    }
    // An error that never got a detail has no folder yet: it gets one now,
    // so that it too moves into place whole.
    if (!fileURL_ && !createErrorDirectory(error)) return false;
    std::string name;
    auto parent = SharedFolder::openHolder(*fileURL_, SharedFolder::Trust::Any, &name, error);
    if (!parent) return false;
    auto folder = parent->child(name, SharedFolder::Trust::Required, error);
    if (!folder) return false;
    // The summary and data are written before the move: the folder appears
    // in its bucket complete or not at all, so an interrupted save leaves no
    // folder that nothing lists.
    if (!writeDataFiles(*folder, error)) return false;
    auto target = prepareDestination(*destination, true, error);
    if (!target) return false;
    if (target->bucket.hasEntry(vtfolder::nameOf(target->path))) {
        platform::setError(error, vantrelError(kVTErrorDestinationExists));
        return false;
    }
    platform::Error moveError;
    if (!vtfolder::moveItem(*parent, name, target->bucket, vtfolder::nameOf(target->path),
                            &moveError)) {
        platform::Error e = vantrelError(kVTErrorMoveFailed);
        e.setUnderlyingError(std::move(moveError));
        platform::setError(error, std::move(e));
        return false;
    }
    // The bucket folder the error left stays, even when now empty.
    fileURL_ = std::move(target->path);
    firstSave_ = false;
    return true;
}

bool VTErrorInstance::writeDataFiles(const SharedFolder& folder, platform::Error* error) {
    // Each file is written beside its final name and renamed over it, so a
    // crash leaves the old file or the new one, never a torn one.
    auto lock = data_.lockData();
    auto write = [&](const VTCodable& object, std::string_view name, platform::Error* failure) {
        if (folder.writeFile(name, VTKeyedArchiver::archivedDataWithRootObject(object), 0644, true))
            return true;
        *failure = platform::Error::posix(errno, folder.pathOf(name));
        return false;
    };
    platform::Error writeError;
    if (!write(properties_, kSummaryFileName, &writeError)) {
        VTLog(LOG_ERR, "Vantrel could not write error %s (%s)", uuidText().c_str(),
              writeError.description().c_str());
        // A folder that never got its summary is never listed, submitted or
        // cleaned up: it goes, as for a failed data file. One saved before
        // keeps its earlier summary and stays.
        if (!folder.hasEntry(kSummaryFileName)) remove(nullptr);
        platform::setError(error, std::move(writeError));
        return false;
    }
    if (!write(data_, kDataFileName, &writeError)) {
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
    if (vtfolder::isPlaceOf(*fileURL_, *destination)) return true;
    auto target = prepareDestination(*destination, false, error);
    if (!target) return false;
    if (target->bucket.hasEntry(vtfolder::nameOf(target->path))) {
        platform::setError(error, vantrelError(kVTErrorDestinationExists));
        return false;
    }
    auto oldBucket =
        vtfolder::openFolder(vtfolder::parentOf(*fileURL_), SharedFolder::Trust::Any, error);
    if (!oldBucket) return false;
    if (!vtfolder::moveItem(*oldBucket, vtfolder::nameOf(*fileURL_), target->bucket,
                            vtfolder::nameOf(target->path), error))
        return false;
    fileURL_ = std::move(target->path);
    final_ = true;

    oldBucket->removeFile(".DS_Store");
    vtfolder::removeEmptyBucket(*oldBucket);
    return true;
}

bool VTErrorInstance::remove(platform::Error* error) {
    if (!fileURL_) {
        platform::setError(error, vantrelError(kVTErrorNoFolder));
        return false;
    }
    // Whoever's the folder is, it is removed through descriptors of the real
    // folders above it, and nothing below it is followed.
    auto parent =
        vtfolder::openFolder(vtfolder::parentOf(*fileURL_), SharedFolder::Trust::Any, error);
    if (!parent) return false;
    const std::string name = vtfolder::nameOf(*fileURL_);
    if (!parent->hasEntry(name)) {
        platform::setError(error, platform::Error::fileRead(errno, *fileURL_));
        return false;
    }
    VT_TRACE(VTError_Remove, fileURL_->c_str());
    // The folder goes first: an error whose folder could not be deleted
    // keeps its data and bucket, so that it can be saved or removed again.
    if (int code = parent->removeTree(name, true); code != 0) {
        platform::setError(error, VTErrorUtilities::errorWithPOSIXErrorForPath(code, *fileURL_));
        return false;
    }
    data_.removeAll();
    properties_.setBucketId(0);
    // Only a saved error lies in a bucket folder; the temporary folder's
    // parent is the system's temporary directory. The bucket goes only while
    // it is empty and still the folder that held the error.
    if (!firstSave_ && vtfolder::removeEmptyBucket(*parent))
        VT_TRACE(VTError_BucketDeleted, parent->path().c_str());
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
