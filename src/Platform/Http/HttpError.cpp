#include "Platform/Http/HttpError.h"

#include <curl/curl.h>

#include <cerrno>

namespace platform {
namespace {

struct Mapping {
    CURLcode curl;
    long url;
};

// How each libcurl failure reads to callers that know the URL-loading codes.
// Results not listed map to kURLErrorUnknown.
constexpr Mapping kMappings[] = {
    {CURLE_UNSUPPORTED_PROTOCOL, kURLErrorUnsupportedURL},
    {CURLE_URL_MALFORMAT, kURLErrorBadURL},
    {CURLE_COULDNT_RESOLVE_PROXY, kURLErrorCannotFindHost},
    {CURLE_COULDNT_RESOLVE_HOST, kURLErrorCannotFindHost},
    {CURLE_COULDNT_CONNECT, kURLErrorCannotConnectToHost},
    {CURLE_WEIRD_SERVER_REPLY, kURLErrorBadServerResponse},
    {CURLE_HTTP2, kURLErrorBadServerResponse},
    {CURLE_HTTP2_STREAM, kURLErrorBadServerResponse},
    {CURLE_PARTIAL_FILE, kURLErrorNetworkConnectionLost},
    {CURLE_WRITE_ERROR, kURLErrorCannotWriteToFile},
    {CURLE_OPERATION_TIMEDOUT, kURLErrorTimedOut},
    {CURLE_RANGE_ERROR, kURLErrorBadServerResponse},
    {CURLE_BAD_DOWNLOAD_RESUME, kURLErrorBadServerResponse},
    {CURLE_SSL_CONNECT_ERROR, kURLErrorSecureConnectionFailed},
    {CURLE_ABORTED_BY_CALLBACK, kURLErrorCancelled},
    {CURLE_TOO_MANY_REDIRECTS, kURLErrorHTTPTooManyRedirects},
    {CURLE_GOT_NOTHING, kURLErrorNetworkConnectionLost},
    {CURLE_SEND_ERROR, kURLErrorNetworkConnectionLost},
    {CURLE_RECV_ERROR, kURLErrorNetworkConnectionLost},
    {CURLE_SSL_CERTPROBLEM, kURLErrorSecureConnectionFailed},
    {CURLE_SSL_CIPHER, kURLErrorSecureConnectionFailed},
    {CURLE_PEER_FAILED_VERIFICATION, kURLErrorServerCertificateUntrusted},
    {CURLE_BAD_CONTENT_ENCODING, kURLErrorCannotDecodeRawData},
    {CURLE_FILESIZE_EXCEEDED, kURLErrorDataLengthExceedsMaximum},
    {CURLE_USE_SSL_FAILED, kURLErrorSecureConnectionFailed},
    {CURLE_SEND_FAIL_REWIND, kURLErrorRequestBodyStreamExhausted},
    {CURLE_SSL_CACERT_BADFILE, kURLErrorSecureConnectionFailed},
    {CURLE_SSL_ISSUER_ERROR, kURLErrorServerCertificateUntrusted},
    {CURLE_SSL_CLIENTCERT, kURLErrorSecureConnectionFailed},
};

const char* descriptionFor(long code) {
    switch (code) {
        case kURLErrorCancelled:
            return "cancelled";
        case kURLErrorBadURL:
            return "bad URL";
        case kURLErrorTimedOut:
            return "The request timed out.";
        case kURLErrorUnsupportedURL:
            return "unsupported URL";
        case kURLErrorCannotFindHost:
            return "A server with the specified hostname could not be found.";
        case kURLErrorCannotConnectToHost:
            return "Could not connect to the server.";
        case kURLErrorNetworkConnectionLost:
            return "The network connection was lost.";
        case kURLErrorDNSLookupFailed:
            return "The DNS lookup failed.";
        case kURLErrorHTTPTooManyRedirects:
            return "too many HTTP redirects";
        case kURLErrorNotConnectedToInternet:
            return "The Internet connection appears to be offline.";
        case kURLErrorBadServerResponse:
            return "bad server response";
        case kURLErrorCannotDecodeRawData:
            return "cannot decode raw data";
        case kURLErrorRequestBodyStreamExhausted:
            return "request body stream exhausted";
        case kURLErrorDataLengthExceedsMaximum:
            return "resource exceeds maximum size";
        case kURLErrorSecureConnectionFailed:
            return "An SSL error has occurred and a secure connection to the server cannot be "
                   "made.";
        case kURLErrorServerCertificateUntrusted:
            return "The certificate for this server is invalid.";
        case kURLErrorCannotCreateFile:
            return "cannot create file";
        case kURLErrorCannotWriteToFile:
            return "cannot write to file";
        default:
            return "An unknown error occurred.";
    }
}

}  // namespace

long urlErrorCodeForCurlResult(int curlCode, int osErrno) {
    if (curlCode == CURLE_OK) return 0;
    // A refused or failed connect says more through the system error: with no
    // route to any network the machine is offline, not the server down.
    if (curlCode == CURLE_COULDNT_CONNECT || curlCode == CURLE_SEND_ERROR ||
        curlCode == CURLE_RECV_ERROR) {
        if (osErrno == ENETUNREACH || osErrno == ENETDOWN) return kURLErrorNotConnectedToInternet;
        if (osErrno == ETIMEDOUT) return kURLErrorTimedOut;
    }
    for (const Mapping& m : kMappings)
        if (m.curl == curlCode) return m.url;
    return kURLErrorUnknown;
}

Error makeURLError(long code, std::string_view url, Error underlying) {
    Error e(std::string(kURLErrorDomain), code);
    e.setUserInfoValue(std::string(kLocalizedDescriptionKey), Value(descriptionFor(code)));
    if (!url.empty()) {
        e.setUserInfoValue(std::string(kURLErrorFailingURLStringErrorKey), Value(url));
        e.setUserInfoValue(std::string(kURLErrorKey), Value(url));
    }
    if (!underlying.empty()) e.setUnderlyingError(std::move(underlying));
    return e;
}

Error urlErrorForCurlResult(int curlCode, int osErrno, std::string_view detail,
                            std::string_view url) {
    Error curlError(std::string(kCurlErrorDomain), curlCode);
    std::string text =
        detail.empty() ? curl_easy_strerror(static_cast<CURLcode>(curlCode)) : std::string(detail);
    curlError.setUserInfoValue(std::string(kLocalizedDescriptionKey), Value(text));
    if (osErrno != 0) curlError.setUnderlyingError(Error::posix(osErrno));
    return makeURLError(urlErrorCodeForCurlResult(curlCode, osErrno), url, std::move(curlError));
}

}  // namespace platform
