// Errors of the URL-loading layer: the codes of kURLErrorDomain that callers
// test for, and the one table that turns a transfer failure of libcurl into
// them. The libcurl failure is kept as the underlying error (domain
// kCurlErrorDomain, code = the libcurl result), and a system error behind it
// as that error's own underlying error (kPOSIXErrorDomain).
#pragma once

#include <string_view>

#include "Platform/Values/Error.h"

namespace platform {

/// Domain of the underlying libcurl errors; the code is the CURLcode.
inline constexpr std::string_view kCurlErrorDomain = "CurlErrorDomain";
/// User-information key holding the URL of the failed request as text.
inline constexpr std::string_view kURLErrorFailingURLStringErrorKey = "NSErrorFailingURLStringKey";

inline constexpr long kURLErrorUnknown = -1;
inline constexpr long kURLErrorCancelled = -999;
inline constexpr long kURLErrorBadURL = -1000;
inline constexpr long kURLErrorTimedOut = -1001;
inline constexpr long kURLErrorUnsupportedURL = -1002;
inline constexpr long kURLErrorCannotFindHost = -1003;
inline constexpr long kURLErrorCannotConnectToHost = -1004;
inline constexpr long kURLErrorNetworkConnectionLost = -1005;
inline constexpr long kURLErrorDNSLookupFailed = -1006;
inline constexpr long kURLErrorHTTPTooManyRedirects = -1007;
inline constexpr long kURLErrorNotConnectedToInternet = -1009;
inline constexpr long kURLErrorBadServerResponse = -1011;
inline constexpr long kURLErrorCannotDecodeRawData = -1015;
inline constexpr long kURLErrorRequestBodyStreamExhausted = -1021;
inline constexpr long kURLErrorDataLengthExceedsMaximum = -1103;
inline constexpr long kURLErrorSecureConnectionFailed = -1200;
inline constexpr long kURLErrorServerCertificateUntrusted = -1202;
inline constexpr long kURLErrorCannotCreateFile = -3000;
inline constexpr long kURLErrorCannotWriteToFile = -3003;

/// The kURLErrorDomain code for a libcurl result `curlCode` (a CURLcode),
/// given the system error number libcurl saw (`osErrno`, 0 when none).
/// Unknown results give kURLErrorUnknown; success (0) gives 0.
long urlErrorCodeForCurlResult(int curlCode, int osErrno);

/// A kURLErrorDomain error with its usual description, the failing URL
/// (when not empty) and, when `underlying` is not empty, that error beneath.
Error makeURLError(long code, std::string_view url, Error underlying = {});

/// The full error for a failed libcurl transfer: the mapped kURLErrorDomain
/// error over a kCurlErrorDomain error (description: libcurl's message, or
/// `detail` when not empty) over the POSIX error `osErrno` when not 0.
Error urlErrorForCurlResult(int curlCode, int osErrno, std::string_view detail,
                            std::string_view url);

}  // namespace platform
