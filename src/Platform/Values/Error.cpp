#include "Platform/Values/Error.h"

#include <cerrno>
#include <cstring>

namespace platform {

Error Error::posix(int code, std::string_view path) {
    Dictionary info{{std::string(kLocalizedDescriptionKey), Value(std::strerror(code))}};
    if (!path.empty()) info.emplace(std::string(kFilePathErrorKey), Value(path));
    return Error(std::string(kPOSIXErrorDomain), code, std::move(info));
}

Error Error::posixForURL(int code, std::string_view url) {
    Dictionary info{{std::string(kLocalizedDescriptionKey), Value(std::strerror(code))}};
    if (!url.empty()) info.emplace(std::string(kURLErrorKey), Value(url));
    return Error(std::string(kPOSIXErrorDomain), code, std::move(info));
}

namespace {

Error cocoaFileError(long code, const char* description, int posixCode, std::string_view path) {
    Dictionary info{{std::string(kLocalizedDescriptionKey), Value(description)}};
    if (!path.empty()) info.emplace(std::string(kFilePathErrorKey), Value(path));
    Error e(std::string(kCocoaErrorDomain), code, std::move(info));
    e.setUnderlyingError(Error::posix(posixCode, path));
    return e;
}

}  // namespace

Error Error::fileRead(int posixCode, std::string_view path) {
    switch (posixCode) {
        case ENOENT:
        case ENOTDIR:
            return cocoaFileError(kFileReadNoSuchFileError,
                                  "The file couldn\u2019t be opened because there is no such file.",
                                  posixCode, path);
        case EACCES:
        case EPERM:
            return cocoaFileError(kFileReadNoPermissionError,
                                  "The file couldn\u2019t be opened because you don\u2019t have "
                                  "permission to view it.",
                                  posixCode, path);
        case EFBIG:
        case ENOMEM:
            return cocoaFileError(kFileReadTooLargeError,
                                  "The file couldn\u2019t be opened because it is too large.",
                                  posixCode, path);
        default:
            return cocoaFileError(kFileReadUnknownError, "The file couldn\u2019t be opened.",
                                  posixCode, path);
    }
}

Error Error::fileWrite(int posixCode, std::string_view path) {
    switch (posixCode) {
        case ENOENT:
        case ENOTDIR:
            return cocoaFileError(kFileNoSuchFileError,
                                  "The file couldn\u2019t be saved because the folder doesn\u2019t "
                                  "exist.",
                                  posixCode, path);
        case EACCES:
        case EPERM:
            return cocoaFileError(kFileWriteNoPermissionError,
                                  "The file couldn\u2019t be saved because you don\u2019t have "
                                  "permission.",
                                  posixCode, path);
        case ENOSPC:
        case EDQUOT:
            return cocoaFileError(kFileWriteOutOfSpaceError,
                                  "The file couldn\u2019t be saved because there isn\u2019t enough "
                                  "space.",
                                  posixCode, path);
        case EROFS:
            return cocoaFileError(
                kFileWriteVolumeReadOnlyError,
                "The file couldn\u2019t be saved because the volume is read only.", posixCode,
                path);
        default:
            return cocoaFileError(kFileWriteUnknownError, "The file couldn\u2019t be saved.",
                                  posixCode, path);
    }
}

Error Error::readCorrupt(std::string why) {
    return Error(std::string(kCocoaErrorDomain), kPropertyListReadCorruptError,
                 Dictionary{{std::string(kLocalizedDescriptionKey),
                             Value("The data couldn\u2019t be read because it isn\u2019t in the "
                                   "correct format.")},
                            {std::string(kDebugDescriptionErrorKey), Value(std::move(why))}});
}

Error Error::writeInvalid(std::string why) {
    return Error(std::string(kCocoaErrorDomain), kPropertyListWriteInvalidError,
                 Dictionary{{std::string(kLocalizedDescriptionKey),
                             Value("The data couldn\u2019t be written because it isn\u2019t in the "
                                   "correct format.")},
                            {std::string(kDebugDescriptionErrorKey), Value(std::move(why))}});
}

const Value* Error::userInfoValue(std::string_view key) const {
    auto it = userInfo_.find(key);
    return it == userInfo_.end() ? nullptr : &it->second;
}

const std::vector<Error>* Error::errorsForKey(std::string_view key) const {
    for (const auto& [k, list] : errorLists_)
        if (k == key) return &list;
    return nullptr;
}

void Error::setErrorsForKey(std::string key, std::vector<Error> errors) {
    for (auto& [k, list] : errorLists_) {
        if (k == key) {
            list = std::move(errors);
            return;
        }
    }
    errorLists_.emplace_back(std::move(key), std::move(errors));
}

std::string Error::localizedDescription() const {
    if (auto v = userInfoValue(kLocalizedDescriptionKey); v && v->isString()) return *v->asString();
    return "The operation couldn\u2019t be completed. (" + domain_ + " error " +
           std::to_string(code_) + ".)";
}

std::string Error::localizedFailureReason() const {
    if (auto v = userInfoValue(kLocalizedFailureReasonErrorKey); v && v->isString())
        return *v->asString();
    return {};
}

std::string Error::description() const {
    return "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" +
           localizedDescription() + "\"";
}

}  // namespace platform
