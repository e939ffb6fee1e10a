// The attached data of an error: parameters, detail files and the
// enumeration of every section.
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "Platform/System/FileAttributes.h"
#include "Platform/System/PathNames.h"
#include "Platform/System/UniformTypes.h"
#include "VTErrorCreationLib/Utilities/VTErrorUtilities.h"
#include "VTErrorCreationLib/Utilities/VTFileManagerUtilities.h"
#include "VTErrorCreationLib/Utilities/VTLog.h"
#include "VTErrorCreationLib/VTErrorFolder.h"
#include "VTErrorCreationLib/VTErrorInstance.h"

namespace {

platform::Error vantrelError(long code) { return VTErrorUtilities::errorWithVantrelError(code); }

platform::Error detailError(long code, const std::string& identifier) {
    platform::Error e = vantrelError(code);
    e.setUserInfoValue("identifier", platform::Value(identifier));
    return e;
}

// The info an enumeration delivers for one detail, as the options ask.
std::optional<platform::Dictionary> enumeratedInfo(const platform::Value& stored,
                                                   const std::string& path, std::uint64_t options) {
    platform::Dictionary info =
        stored.asDictionary() ? *stored.asDictionary() : platform::Dictionary{};
    if (options & kVTErrorDataOptionFileAttributes) {
        auto attributes = platform::fileAttributesOfItemAtPath(path, nullptr);
        if (!attributes) attributes.emplace();
        const platform::Value* mime = stored.get(VTErrorDataInfoMIMETypeKey);
        if (mime && mime->stringValue() == VTErrorDataOctetStreamMIMEType) {
            platform::Dictionary sizeOnly;
            if (auto it = attributes->find(platform::kFileSize); it != attributes->end())
                sizeOnly.emplace(it->first, it->second);
            attributes = std::move(sizeOnly);
        }
        info.insert_or_assign(std::string(VTErrorDataInfoAttributesKey),
                              platform::Value(std::move(*attributes)));
        return info;
    }
    if (options & kVTErrorDataOptionStoredInfo) return info;
    return std::nullopt;
}

}  // namespace

bool VTErrorInstance::addParameterDataWithKey(const std::string& key, const std::string& value,
                                              platform::Error*) {
    data_.setParameter(key, value);
    return true;
}

std::int64_t VTErrorInstance::parameterDataCount() const {
    auto lock = data_.lockData();
    return static_cast<std::int64_t>(data_.parameterDataLocked().size());
}

std::optional<std::string> VTErrorInstance::parameterWithKey(std::string_view key) const {
    return data_.parameter(key);
}

std::optional<platform::SharedFolder> VTErrorInstance::prepareDetail(const std::string& identifier,
                                                                     platform::Error* error) {
    // The identifier names a file inside the folder: nothing may escape it
    // or overwrite the error's own files.
    if (!vtfolder::isValidDetailIdentifier(identifier)) {
        platform::setError(error, platform::Error::posix(EINVAL, identifier));
        return std::nullopt;
    }
    if (!ensureFolder(error)) return std::nullopt;
    auto folder = openFolder(error);
    if (!folder) return std::nullopt;
    if (folder->hasEntry(identifier)) {
        if (int code = folder->removeTree(identifier, true); code != 0 && code != ENOENT) {
            platform::setError(error, VTErrorUtilities::errorWithPOSIXErrorForPath(
                                          code, folder->pathOf(identifier)));
            return std::nullopt;
        }
    }
    data_.removeDetailInfo(identifier);
    return folder;
}

bool VTErrorInstance::addDetailData(const platform::Data& data, const std::string& identifier,
                                    const std::optional<std::string>& description,
                                    platform::Error* error) {
    std::optional<platform::Dictionary> info;
    if (description) {
        info.emplace();
        info->emplace(VTErrorDataInfoDescriptionKey, platform::Value(*description));
    }
    return addDetailDataWithAttributes(data, identifier, info, error);
}

bool VTErrorInstance::addDetailDataWithAttributes(const platform::Data& data,
                                                  const std::string& identifier,
                                                  const std::optional<platform::Dictionary>& info,
                                                  platform::Error* error) {
    return addDetailDataWithMode(data, identifier, info, 0754, error);
}

bool VTErrorInstance::addDetailDataWithMode(const platform::Data& data,
                                            const std::string& identifier,
                                            const std::optional<platform::Dictionary>& info,
                                            mode_t mode, platform::Error* error) {
    auto folder = prepareDetail(identifier, error);
    if (!folder) return false;
    auto config = configuration();
    std::uint64_t limit = config ? config->maxFileAttachmentSizeBytes() : 0;
    if (limit != 0 && data.size() > limit) {
        platform::setError(error, vantrelError(kVTErrorAttachmentTooLarge));
        return false;
    }
    // A write that fails (a full disk) leaves no empty or cut file behind.
    if (!folder->writeFile(identifier, data, mode, false)) {
        platform::setError(error, platform::Error::fileWrite(errno, folder->pathOf(identifier)));
        return false;
    }
    data_.setDetailInfo(identifier, info ? *info : platform::Dictionary{});
    return true;
}

bool VTErrorInstance::addDetailFileAtURL(const std::string& path, const std::string& identifier,
                                         const std::optional<std::string>& description,
                                         platform::Error* error) {
    auto folder = prepareDetail(identifier, error);
    if (!folder) return false;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        platform::setError(error, platform::Error::fileRead(errno, path));
        return false;
    }
    // As for data, a limit of 0 means no limit.
    auto config = configuration();
    std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    std::uint64_t maximum = config ? config->maxFileAttachmentSizeBytes() : 0;
    std::uint64_t limit = maximum == 0 ? size : std::min(size, maximum);
    platform::Dictionary attributes = {
        {std::string(VTFilePosixPermissionsAttribute), platform::Value(0644)},
        {std::string(VTFileSizeAttribute), platform::Value(limit)},
        {std::string(VTFileCopyAttributePack), platform::Value(true)},
        {std::string(VTFileCopyAttributeNoFollowDst), platform::Value(true)},
    };
    // Root reads no file through a link another user may have put in its
    // place: what it attaches is read by users and sent away.
    if (platform::SharedFolder::checksTrust())
        attributes.emplace(VTFileCopyAttributeNoFollowSrc, platform::Value(true));
    if (!VTFileManagerUtilities::copyItemIntoFolder(path, *folder, identifier, attributes, error))
        return false;

    platform::Dictionary info;
    if (description) info.emplace(VTErrorDataInfoDescriptionKey, platform::Value(*description));
    info.emplace(VTErrorDataInfoOriginalPathKey, platform::Value(path));
    if (auto mime = platform::preferredMIMETypeForExtension(platform::pathExtension(path)))
        info.emplace(VTErrorDataInfoMIMETypeKey, platform::Value(*mime));
    data_.setDetailInfo(identifier, std::move(info));
    return true;
}

bool VTErrorInstance::removeDetailDataWithIdentifier(const std::string& identifier,
                                                     platform::Error* error) {
    if (!fileURL_) {
        platform::setError(error, vantrelError(kVTErrorNoFolder));
        return false;
    }
    if (!data_.detailInfo(identifier)) {
        platform::setError(error, vantrelError(kVTErrorNoSuchDetail));
        return false;
    }
    if (vtfolder::isValidDetailIdentifier(identifier)) {
        auto folder = vtfolder::openFolder(*fileURL_, platform::SharedFolder::Trust::Any, error);
        if (!folder) return false;
        if (int code = folder->removeTree(identifier, true); code != 0) {
            platform::setError(
                error, code == ENOENT ? platform::Error(std::string(platform::kCocoaErrorDomain),
                                                        platform::kFileNoSuchFileError)
                                      : VTErrorUtilities::errorWithPOSIXErrorForPath(
                                            code, folder->pathOf(identifier)));
            return false;
        }
    }
    data_.removeDetailInfo(identifier);
    return true;
}

std::int64_t VTErrorInstance::detailCount() const {
    auto lock = data_.lockData();
    return static_cast<std::int64_t>(data_.detailDataLocked().size());
}

std::optional<platform::Dictionary> VTErrorInstance::infoForDetailDataWithIdentifier(
    std::string_view identifier) const {
    return data_.detailInfo(identifier);
}

bool VTErrorInstance::writeDetailDataWithIdentifier(const std::string& identifier,
                                                    const std::string& destination,
                                                    platform::Error* error) {
    if (!fileURL_) {
        platform::setError(error, vantrelError(kVTErrorNoFolder));
        return false;
    }
    if (!vtfolder::isValidDetailIdentifier(identifier)) {
        platform::setError(error, platform::Error::posix(EINVAL, identifier));
        return false;
    }
    std::string source = platform::pathInFolder(*fileURL_, identifier);
    struct stat st {};
    if (::lstat(destination.c_str(), &st) == 0) {
        platform::setError(error, platform::Error::fileWrite(EEXIST, destination));
        return false;
    }
    // The detail is read without following a link in its place.
    platform::Dictionary attributes = {
        {std::string(VTFileCopyAttributeNoFollowSrc), platform::Value(true)}};
    auto folder = vtfolder::openFolder(*fileURL_, platform::SharedFolder::Trust::Any, nullptr);
    if (folder && folder->statEntry(identifier, &st))
        attributes.emplace(VTFilePosixPermissionsAttribute,
                           platform::Value(static_cast<std::uint64_t>(st.st_mode & 07777)));
    return VTFileManagerUtilities::copyItemAtURL(source, destination, attributes, error);
}

bool VTErrorInstance::streamDetailDataWithIdentifier(const std::string& identifier,
                                                     std::shared_ptr<VTInputStream>* out,
                                                     platform::Error* error) {
    auto lock = data_.lockData();
    if (!data_.detailInfo(identifier)) {
        platform::setError(error, detailError(kVTErrorNoSuchDetail, identifier));
        return false;
    }
    if (!fileURL_ || !vtfolder::isValidDetailIdentifier(identifier)) {
        platform::setError(error, detailError(kVTErrorMissingIdentity, identifier));
        return false;
    }
    if (out) *out = std::make_shared<VTInputStream>(platform::pathInFolder(*fileURL_, identifier));
    return true;
}

bool VTErrorInstance::hasPropertiesMatching(const platform::Dictionary& pattern) const {
    return properties_.matchPropertyValues(pattern, false, false);
}

std::int64_t VTErrorInstance::enumerateData(std::span<const std::int64_t> sections,
                                            std::uint64_t options,
                                            const VTErrorDataIterator& iterator) {
    std::int64_t calls = 0;
    bool stop = false;
    auto deliverValues = [&](const platform::Dictionary& values) {
        for (const auto& [key, value] : values) {
            VTErrorDataValue item;
            item.value = value;
            iterator(key, item, nullptr, stop);
            ++calls;
            if (stop) return;
        }
    };
    for (std::int64_t section : sections) {
        if (stop) break;
        switch (section) {
            case kVTErrorDataKindSummary:
                deliverValues(properties_.valueDictionary());
                break;
            case kVTErrorDataKindParameter: {
                auto lock = data_.lockData();
                deliverValues(platform::Dictionary(data_.parameterDataLocked()));
                break;
            }
            case kVTErrorDataKindUser: {
                auto lock = data_.lockData();
                deliverValues(platform::Dictionary(data_.userDataLocked()));
                break;
            }
            case kVTErrorDataKindDetail: {
                auto lock = data_.lockData();
                if (!fileURL_) break;
                auto folder =
                    vtfolder::openFolder(*fileURL_, platform::SharedFolder::Trust::Any, nullptr);
                if (!folder) break;
                // A copy, so that the iterator may change the details.
                platform::Dictionary details = data_.detailDataLocked();
                for (const auto& [identifier, stored] : details) {
                    if (!vtfolder::isValidDetailIdentifier(identifier)) continue;
                    std::string path = platform::pathInFolder(*fileURL_, identifier);
                    if (!folder->hasEntry(identifier)) continue;
                    VTErrorDataValue item;
                    if (options & kVTErrorDataOptionFileURL) {
                        item.kind = VTErrorDataValue::Kind::FileURL;
                        item.fileURL = path;
                    } else {
                        item.kind = VTErrorDataValue::Kind::Stream;
                        item.stream = std::make_shared<VTInputStream>(path);
                        if (!item.stream->open(nullptr)) {
                            VTLog(LOG_ERR, "Could not create stream for %s", path.c_str());
                            continue;
                        }
                    }
                    auto info = enumeratedInfo(stored, path, options);
                    iterator(identifier, item, info ? &*info : nullptr, stop);
                    ++calls;
                    if (stop) break;
                }
                break;
            }
            default:
                break;
        }
    }
    return calls;
}
