// Error domains of the error-reporting library and the constructors its
// parts use to make errors.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Platform/Values/Error.h"

/// The library's error domain ("com.pelgrave.vantrel"); codes 5000 to 5011.
inline constexpr std::string_view VTErrorDomain = "com.pelgrave.vantrel";
/// The utilities' error domain: 0 several extended attributes failed,
/// 2 not a valid executable.
inline constexpr std::string_view VTUtilitiesErrorDomain = "com.pelgrave.vantrel.utils";

/// Codes of VTErrorDomain.
enum VTErrorCode : long {
    kVTErrorNotConfigured = 5000,
    kVTErrorNoSuchDetail = 5001,
    kVTErrorMissingIdentity = 5002,
    kVTErrorAttachmentTooLarge = 5003,
    kVTErrorLogicalErrorsDisabled = 5004,
    kVTErrorNoFolder = 5005,
    kVTErrorDestinationExists = 5006,
    kVTErrorDestinationExistsOnLaterSave = 5007,
    kVTErrorEncodingFailed = 5008,
    kVTErrorDecodingFailed = 5009,
    kVTErrorCannotCreate = 5010,
    kVTErrorMoveFailed = 5011,
};

/// User-information key of the "FailureUUID" of errorWithVantrelError.
inline constexpr std::string_view VTFailureUUIDKey = "FailureUUID";

struct VTErrorUtilities {
    /// NSPOSIXErrorDomain error with `code`, strerror(code) as description and
    /// the URL under NSURLErrorKey when one is given.
    static platform::Error errorWithPOSIXErrorForURL(int code, std::string_view url);
    /// The same with the path under NSFilePathErrorKey.
    static platform::Error errorWithPOSIXErrorForPath(int code, std::string_view path);
    /// The same for the calling thread's current errno.
    static platform::Error errorWithPOSIXErrnoForURL(std::string_view url);
    static platform::Error errorWithPOSIXErrnoForPath(std::string_view path);
    /// VTErrorDomain error with `code` and no user information.
    static platform::Error errorWithVantrelError(long code);
    /// VTErrorDomain error with {"FailureUUID": uuidText} when a UUID text is
    /// given (the error report's failure UUID), the plain form otherwise.
    static platform::Error errorWithVantrelError(long code, const std::string* failureUUIDText);
};
