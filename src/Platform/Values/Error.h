// Errors as the system reports them: a domain, an integer code and a
// user-information dictionary, with an optional underlying error.
//
// Operations that can fail return bool or a pointer/optional and fill an
// `Error*` out-parameter that may be null; use setError() to fill it.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Values/Value.h"

namespace platform {

// Standard domains.
inline constexpr std::string_view kPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr std::string_view kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr std::string_view kURLErrorDomain = "NSURLErrorDomain";
inline constexpr std::string_view kMachErrorDomain = "NSMachErrorDomain";
inline constexpr std::string_view kOSStatusErrorDomain = "NSOSStatusErrorDomain";

// Standard user-information keys.
inline constexpr std::string_view kLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr std::string_view kLocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";
inline constexpr std::string_view kUnderlyingErrorKey = "NSUnderlyingError";
inline constexpr std::string_view kFilePathErrorKey = "NSFilePath";
inline constexpr std::string_view kURLErrorKey = "NSURL";
inline constexpr std::string_view kDebugDescriptionErrorKey = "NSDebugDescription";

// File-system codes of the Cocoa domain.
inline constexpr long kFileNoSuchFileError = 4;
inline constexpr long kFileReadUnknownError = 256;
inline constexpr long kFileReadNoPermissionError = 257;
inline constexpr long kFileReadCorruptFileError = 259;
inline constexpr long kFileReadNoSuchFileError = 260;
inline constexpr long kFileReadTooLargeError = 263;
inline constexpr long kFileWriteUnknownError = 512;
inline constexpr long kFileWriteNoPermissionError = 513;
inline constexpr long kFileWriteFileExistsError = 516;
inline constexpr long kFileWriteOutOfSpaceError = 640;
inline constexpr long kFileWriteVolumeReadOnlyError = 642;
inline constexpr long kPropertyListReadCorruptError = 3840;
inline constexpr long kPropertyListWriteInvalidError = 3852;

class Error {
  public:
    Error() = default;
    Error(std::string domain, long code, Dictionary userInfo = {})
        : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}

    /// NSPOSIXErrorDomain error with strerror(code) as description, and the
    /// path under kFilePathErrorKey when one is given.
    static Error posix(int code, std::string_view path = {});
    /// The same with the URL under kURLErrorKey.
    static Error posixForURL(int code, std::string_view url);
    /// NSCocoaErrorDomain 3840: data that is not in the format expected of
    /// it (property lists, JSON), with `why` as the debug description.
    static Error readCorrupt(std::string why);
    /// NSCocoaErrorDomain 3852: a value that cannot be written in the format
    /// asked for, with `why` as the debug description.
    static Error writeInvalid(std::string why);
    /// NSCocoaErrorDomain error for a file that could not be read (260 no such
    /// file, 257 no permission, 263 too large, else 256), with the path under
    /// kFilePathErrorKey and the POSIX error as underlying error.
    static Error fileRead(int posixCode, std::string_view path);
    /// The same for a file that could not be written (4 missing folder, 513 no
    /// permission, 640 out of space, 642 read-only volume, else 512).
    static Error fileWrite(int posixCode, std::string_view path);

    const std::string& domain() const { return domain_; }
    long code() const { return code_; }
    /// True for a default-constructed Error (no domain).
    bool empty() const { return domain_.empty(); }

    const Dictionary& userInfo() const { return userInfo_; }
    Dictionary& mutableUserInfo() { return userInfo_; }
    const Value* userInfoValue(std::string_view key) const;
    void setUserInfoValue(std::string key, Value v) {
        userInfo_.insert_or_assign(std::move(key), std::move(v));
    }

    /// The error stored under kUnderlyingErrorKey, or null.
    const Error* underlyingError() const { return underlying_.get(); }
    void setUnderlyingError(Error e) { underlying_ = std::make_shared<const Error>(std::move(e)); }

    /// Other keys whose values are lists of errors (for example a key that
    /// collects the errors of several failed steps).
    const std::vector<Error>* errorsForKey(std::string_view key) const;
    void setErrorsForKey(std::string key, std::vector<Error> errors);

    /// kLocalizedDescriptionKey when present, otherwise
    /// "The operation couldn’t be completed. (<domain> error <code>.)".
    std::string localizedDescription() const;
    /// kLocalizedFailureReasonErrorKey, or "" when absent.
    std::string localizedFailureReason() const;
    /// "Error Domain=<domain> Code=<code> "<description>"" for logs and "%@".
    std::string description() const;

  private:
    std::string domain_;
    long code_ = 0;
    Dictionary userInfo_;
    std::shared_ptr<const Error> underlying_;
    std::vector<std::pair<std::string, std::vector<Error>>> errorLists_;
};

/// Stores `e` into `out` when `out` is not null.
inline void setError(Error* out, Error e) {
    if (out) *out = std::move(e);
}

}  // namespace platform
