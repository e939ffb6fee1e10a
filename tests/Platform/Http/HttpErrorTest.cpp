#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>

#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Http/HttpCurlClient.h"
#include "Platform/Http/HttpError.h"
#include "support/HttpTransferRecorder.h"
#include "support/LoopbackHttpServer.h"

using namespace platform;
using testsupport::HttpTransferRecorder;
using testsupport::LoopbackHttpServer;
using testsupport::ScriptedReply;

namespace {

// Failures that loopback cannot produce (name lookup, an offline machine)
// are checked on the table itself.
TEST(HttpErrorTest, CurlResultsMapToURLErrorCodes) {
    struct Case {
        CURLcode curl;
        int osErrno;
        long expected;
    } cases[] = {
        {CURLE_OK, 0, 0},
        {CURLE_COULDNT_RESOLVE_HOST, 0, kURLErrorCannotFindHost},
        {CURLE_COULDNT_CONNECT, ECONNREFUSED, kURLErrorCannotConnectToHost},
        {CURLE_COULDNT_CONNECT, ENETUNREACH, kURLErrorNotConnectedToInternet},
        {CURLE_COULDNT_CONNECT, ENETDOWN, kURLErrorNotConnectedToInternet},
        {CURLE_COULDNT_CONNECT, ETIMEDOUT, kURLErrorTimedOut},
        {CURLE_OPERATION_TIMEDOUT, 0, kURLErrorTimedOut},
        {CURLE_RECV_ERROR, ECONNRESET, kURLErrorNetworkConnectionLost},
        {CURLE_SEND_ERROR, EPIPE, kURLErrorNetworkConnectionLost},
        {CURLE_PARTIAL_FILE, 0, kURLErrorNetworkConnectionLost},
        {CURLE_GOT_NOTHING, 0, kURLErrorNetworkConnectionLost},
        {CURLE_WEIRD_SERVER_REPLY, 0, kURLErrorBadServerResponse},
        {CURLE_TOO_MANY_REDIRECTS, 0, kURLErrorHTTPTooManyRedirects},
        {CURLE_UNSUPPORTED_PROTOCOL, 0, kURLErrorUnsupportedURL},
        {CURLE_URL_MALFORMAT, 0, kURLErrorBadURL},
        {CURLE_ABORTED_BY_CALLBACK, 0, kURLErrorCancelled},
        {CURLE_PEER_FAILED_VERIFICATION, 0, kURLErrorServerCertificateUntrusted},
        {CURLE_SSL_CONNECT_ERROR, 0, kURLErrorSecureConnectionFailed},
        {CURLE_WRITE_ERROR, 0, kURLErrorCannotWriteToFile},
        {CURLE_OUT_OF_MEMORY, 0, kURLErrorUnknown},
    };
    for (const auto& c : cases)
        EXPECT_EQ(urlErrorCodeForCurlResult(c.curl, c.osErrno), c.expected)
            << curl_easy_strerror(c.curl) << " errno " << c.osErrno;
}

TEST(HttpErrorTest, TheLowerLevelFailureStaysBeneath) {
    Error e = urlErrorForCurlResult(CURLE_COULDNT_CONNECT, ENETUNREACH, "", "http://h/x");
    EXPECT_EQ(e.domain(), kURLErrorDomain);
    EXPECT_EQ(e.code(), kURLErrorNotConnectedToInternet);
    ASSERT_NE(e.userInfoValue(kURLErrorFailingURLStringErrorKey), nullptr);
    EXPECT_EQ(e.userInfoValue(kURLErrorFailingURLStringErrorKey)->stringValue(), "http://h/x");
    ASSERT_NE(e.underlyingError(), nullptr);
    EXPECT_EQ(e.underlyingError()->domain(), kCurlErrorDomain);
    EXPECT_EQ(e.underlyingError()->code(), CURLE_COULDNT_CONNECT);
    ASSERT_NE(e.underlyingError()->underlyingError(), nullptr);
    EXPECT_EQ(e.underlyingError()->underlyingError()->domain(), kPOSIXErrorDomain);
    EXPECT_EQ(e.underlyingError()->underlyingError()->code(), ENETUNREACH);
}

// Each misbehaviour of a server, and each unusable URL, as the caller sees it.
TEST(HttpErrorTest, ServerMisbehavioursGiveTheirURLErrors) {
    LoopbackHttpServer server;
    auto queue = SerialQueue::create("http-error-test");
    CurlHttpClient client;

    ScriptedReply drop;
    drop.dropWithoutReply = true;
    ScriptedReply shortBody = ScriptedReply::ok(std::string(1000, 'x'));
    shortBody.closeAfterBodyBytes = 100;
    ScriptedReply shortChunked = ScriptedReply::ok(std::string(1000, 'x'));
    shortChunked.chunked = true;
    shortChunked.chunkSize = 100;
    shortChunked.closeAfterBodyBytes = 1000;  // every chunk but the last, empty one
    ScriptedReply silent;
    silent.stallBeforeReply = true;
    ScriptedReply silentMidBody = ScriptedReply::ok(std::string(1000, 'x'));
    silentMidBody.stallAfterBodyBytes = 10;
    ScriptedReply garbage;
    garbage.raw = "this is not HTTP\r\n\r\n";
    ScriptedReply badStatusLine;
    badStatusLine.raw = "HTTP/1.1 abc\r\n\r\n";

    const std::string refused =
        "http://127.0.0.1:" + std::to_string(LoopbackHttpServer::unusedPort()) + "/";
    struct Case {
        const char* name;
        std::optional<ScriptedReply> reply;
        std::string url;
        long expected;
        bool curlBeneath;
    } cases[] = {
        {"refused connection", std::nullopt, refused, kURLErrorCannotConnectToHost, true},
        {"closed without answer", drop, "", kURLErrorNetworkConnectionLost, true},
        {"closed inside the body", shortBody, "", kURLErrorNetworkConnectionLost, true},
        {"closed before the last chunk", shortChunked, "", kURLErrorNetworkConnectionLost, true},
        {"silent server", silent, "", kURLErrorTimedOut, false},
        {"silent inside the body", silentMidBody, "", kURLErrorTimedOut, false},
        {"not HTTP", garbage, "", kURLErrorBadServerResponse, true},
        {"broken status line", badStatusLine, "", kURLErrorBadServerResponse, true},
        {"no host", std::nullopt, "http://", kURLErrorBadURL, false},
        {"space in URL", std::nullopt, "http://127.0.0.1/a b", kURLErrorBadURL, false},
        {"ftp", std::nullopt, "ftp://127.0.0.1/file", kURLErrorUnsupportedURL, false},
        {"file", std::nullopt, "file:///etc/hostname", kURLErrorUnsupportedURL, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.reply) server.enqueue(*c.reply);
        HttpRequest request(c.url.empty() ? server.url("/case") : c.url);
        request.setTimeoutInterval(0.4);
        HttpTransferRecorder recorder;
        client.startDataTask(request, queue, recorder.handlers(queue));
        ASSERT_TRUE(recorder.waitForCompletion());
        Error error = recorder.result().error;
        EXPECT_EQ(error.domain(), kURLErrorDomain);
        EXPECT_EQ(error.code(), c.expected) << error.description();
        if (c.curlBeneath) {
            ASSERT_NE(error.underlyingError(), nullptr);
            EXPECT_EQ(error.underlyingError()->domain(), kCurlErrorDomain);
        }
        EXPECT_EQ(recorder.completions(), 1);
        server.releaseStalls();
    }
}

}  // namespace
