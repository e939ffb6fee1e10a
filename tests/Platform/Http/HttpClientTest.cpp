#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Http/HttpCurlClient.h"
#include "Platform/Http/HttpError.h"
#include "support/HttpTransferRecorder.h"
#include "support/LoopbackHttpServer.h"

using platform::HttpRequest;
using testsupport::HttpTransferRecorder;
using testsupport::LoopbackHttpServer;
using testsupport::ScriptedReply;

namespace {

class HttpClientTest : public ::testing::Test {
  protected:
    platform::DispatchQueuePtr queue_ = platform::SerialQueue::create("http-client-test");
    std::shared_ptr<platform::CurlHttpClient> client_ =
        std::make_shared<platform::CurlHttpClient>();
    LoopbackHttpServer server_;

    void run(HttpRequest request, HttpTransferRecorder& recorder) {
        client_->startDataTask(std::move(request), queue_, recorder.handlers(queue_));
        ASSERT_TRUE(recorder.waitForCompletion());
    }
};

// A streamed body of `total` bytes handed out in small slices.
class CountingSource : public platform::HttpBodySource {
  public:
    CountingSource(std::size_t total, bool announceLength)
        : total_(total), announce_(announceLength) {}
    std::int64_t length() const override {
        return announce_ ? static_cast<std::int64_t>(total_) : -1;
    }
    long read(char* buffer, std::size_t capacity, platform::Error*) override {
        std::size_t n = std::min({capacity, total_ - offset_, std::size_t{1000}});
        for (std::size_t i = 0; i < n; ++i)
            buffer[i] = LoopbackHttpServer::generatedBodyByte(offset_ + i);
        offset_ += n;
        return static_cast<long>(n);
    }

  private:
    std::size_t total_, offset_ = 0;
    bool announce_;
};

TEST_F(HttpClientTest, GetSendsExactlyTheRequestHeadersAndDeliversTheResponseOnTheQueue) {
    ScriptedReply reply = ScriptedReply::ok("hello");
    reply.headers = {{"X-Answer", "42"}, {"Set-Cookie", "a=b"}};
    server_.enqueue(reply);
    server_.enqueue(ScriptedReply::ok());

    HttpTransferRecorder first;
    HttpRequest request(server_.url("/n/p?a=1&b=2"));
    request.setHeader("useragent", "Agent/1");
    run(request, first);

    EXPECT_TRUE(first.result().succeeded()) << first.result().error.description();
    ASSERT_TRUE(first.result().response);
    EXPECT_EQ(first.result().response->statusCode(), 200);
    EXPECT_EQ(first.result().response->headerValue("x-answer"), "42");
    EXPECT_EQ(first.bodyText(), "hello");
    EXPECT_EQ(first.events().front(), "response");
    EXPECT_EQ(first.events().back(), "complete");
    EXPECT_FALSE(first.ranOffQueue());

    // A second request to the same server sends no cookie back.
    HttpTransferRecorder second;
    run(HttpRequest(server_.url("/again")), second);

    auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target, "/n/p?a=1&b=2");
    EXPECT_EQ(requests[0].header("useragent"), "Agent/1");
    for (const auto& r : requests) {
        EXPECT_FALSE(r.hasHeader("Cookie"));
        EXPECT_FALSE(r.hasHeader("Accept"));
        EXPECT_FALSE(r.hasHeader("User-Agent"));
        EXPECT_FALSE(r.hasHeader("Expect"));
    }
}

TEST_F(HttpClientTest, BodiesInMemoryAndStreamedArriveWhole) {
    struct Case {
        const char* name;
        std::function<void(HttpRequest&)> setBody;
        std::string expectedBody;
        bool chunked;
    } cases[] = {
        {"in memory", [](HttpRequest& r) { r.setBody(std::string("a=1&b=2")); }, "a=1&b=2", false},
        {"empty", [](HttpRequest& r) { r.setBody(std::string()); }, "", false},
        {"streamed, known length",
         [](HttpRequest& r) { r.setBodySource(std::make_shared<CountingSource>(300000, true)); },
         LoopbackHttpServer::generatedBody(0, 300000), false},
        {"streamed, unknown length",
         [](HttpRequest& r) { r.setBodySource(std::make_shared<CountingSource>(70000, false)); },
         LoopbackHttpServer::generatedBody(0, 70000), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::size_t before = server_.requestCount();
        HttpRequest request(server_.url("/upload"));
        request.setMethod("POST");
        c.setBody(request);
        HttpTransferRecorder recorder;
        run(request, recorder);
        EXPECT_TRUE(recorder.result().succeeded()) << recorder.result().error.description();
        auto received = server_.requests().at(before);
        EXPECT_EQ(received.method, "POST");
        EXPECT_EQ(received.body, c.expectedBody);
        EXPECT_EQ(received.bodyWasChunked, c.chunked);
        EXPECT_FALSE(received.hasHeader("Content-Type"));  // no form type made up
        if (!c.chunked) {
            EXPECT_EQ(received.header("Content-Length"), std::to_string(c.expectedBody.size()));
        }
        auto progress = recorder.progress();
        if (!c.expectedBody.empty()) {
            ASSERT_FALSE(progress.empty());
            EXPECT_EQ(progress.back().bytesSent, c.expectedBody.size());
        }
    }
}

TEST_F(HttpClientTest, MultipartStyleUploadWithExpectContinueAndDeclaredLength) {
    const std::size_t size = 200000;
    HttpRequest request(server_.url("/upload"));
    request.setMethod("POST");
    request.setHeader("Expect", "100-Continue");
    request.setHeader("Content-Type", "multipart/form-data; boundary=\"B\"");
    request.setHeader("Content-Length", std::to_string(size));
    request.setBodySource(std::make_shared<CountingSource>(size, false));
    server_.enqueue(ScriptedReply::withStatus(404));
    HttpTransferRecorder recorder;
    run(request, recorder);

    EXPECT_TRUE(recorder.result().succeeded());
    EXPECT_EQ(recorder.result().response->statusCode(), 404);  // a status is no failure
    auto received = server_.requests().at(0);
    EXPECT_FALSE(received.bodyWasChunked);
    EXPECT_EQ(received.body.size(), size);
    EXPECT_EQ(received.header("Content-Type"), "multipart/form-data; boundary=\"B\"");
}

TEST_F(HttpClientTest, ChunkedBodiesAndScriptedFailuresArriveInOrder) {
    ScriptedReply chunked = ScriptedReply::ok(LoopbackHttpServer::generatedBody(0, 10000));
    chunked.chunked = true;
    chunked.chunkSize = 777;
    server_.enqueue(chunked);
    server_.failFirst(2, ScriptedReply::withStatus(503, "busy"));
    std::vector<int> statuses;
    for (int i = 0; i < 3; ++i) {
        HttpTransferRecorder recorder;
        run(HttpRequest(server_.url("/n")), recorder);
        ASSERT_TRUE(recorder.result().succeeded());
        statuses.push_back(recorder.result().response->statusCode());
        if (i == 2) {
            EXPECT_EQ(recorder.bodyText(), LoopbackHttpServer::generatedBody(0, 10000));
            EXPECT_EQ(recorder.result().response->expectedContentLength(), -1);
        }
    }
    EXPECT_EQ(statuses, (std::vector<int>{503, 503, 200}));
}

TEST_F(HttpClientTest, RedirectsFollowOnlyWhenAllowed) {
    server_.setHandler([&](const testsupport::RecordedRequest& r) {
        if (r.path() == "/moved") return ScriptedReply::redirect(301, server_.url("/target"));
        if (r.path() == "/loop") return ScriptedReply::redirect(302, server_.url("/loop"));
        if (r.path() == "/elsewhere") return ScriptedReply::redirect(302, "ftp://127.0.0.1/x");
        return ScriptedReply::ok("arrived");
    });

    HttpTransferRecorder followed;
    run(HttpRequest(server_.url("/moved")), followed);
    ASSERT_TRUE(followed.result().response);
    EXPECT_EQ(followed.result().response->statusCode(), 200);
    EXPECT_EQ(followed.result().response->url(), server_.url("/target"));
    EXPECT_EQ(followed.bodyText(), "arrived");
    EXPECT_EQ(followed.events().front(), "response");  // only the final head is reported

    HttpTransferRecorder kept;
    HttpRequest notFollowing(server_.url("/moved"));
    notFollowing.setFollowsRedirects(false);
    run(notFollowing, kept);
    EXPECT_TRUE(kept.result().succeeded());
    EXPECT_EQ(kept.result().response->statusCode(), 301);
    EXPECT_EQ(kept.result().response->headerValue("Location"), server_.url("/target"));

    HttpTransferRecorder looping;
    run(HttpRequest(server_.url("/loop")), looping);
    EXPECT_EQ(looping.errorCode(), platform::kURLErrorHTTPTooManyRedirects);

    HttpTransferRecorder leaving;
    run(HttpRequest(server_.url("/elsewhere")), leaving);
    EXPECT_EQ(leaving.errorCode(), platform::kURLErrorUnsupportedURL);
}

TEST_F(HttpClientTest, CancelCompletesOnceWithCancelled) {
    ScriptedReply stall;
    stall.stallBeforeReply = true;
    server_.enqueue(stall);
    HttpTransferRecorder recorder;
    auto task = client_->startDataTask(HttpRequest(server_.url("/slow")), queue_,
                                       recorder.handlers(queue_));
    ASSERT_TRUE(server_.waitForRequests(1));
    task->cancel();
    task->cancel();
    ASSERT_TRUE(recorder.waitForCompletion());
    EXPECT_EQ(recorder.errorCode(), platform::kURLErrorCancelled);
    EXPECT_EQ(recorder.result().error.domain(), platform::kURLErrorDomain);

    // Cancelling a finished task changes nothing.
    HttpTransferRecorder done;
    auto finished = client_->startDataTask(HttpRequest(server_.url("/")), queue_, done.handlers());
    ASSERT_TRUE(done.waitForCompletion());
    finished->cancel();
    queue_->sync([] {});
    EXPECT_EQ(done.completions(), 1);
    EXPECT_TRUE(done.result().succeeded());
}

TEST_F(HttpClientTest, TransfersRunSideBySideAndEndWithTheClient) {
    constexpr int kCount = 8;
    ScriptedReply stall;
    stall.stallBeforeReply = true;
    server_.setDefaultReply(stall);
    std::vector<HttpTransferRecorder> recorders(kCount);
    auto client = std::make_unique<platform::CurlHttpClient>();
    for (auto& r : recorders)
        client->startDataTask(HttpRequest(server_.url("/wait")), queue_, r.handlers());
    // Every request reaches the server while none is answered.
    ASSERT_TRUE(server_.waitForRequests(kCount));
    client.reset();
    for (auto& r : recorders) {
        ASSERT_TRUE(r.waitForCompletion());
        EXPECT_EQ(r.errorCode(), platform::kURLErrorCancelled);
    }
}

// A queue that runs every block at once on the thread that hands it over, so
// that callbacks run, and are released, on the transfer thread itself.
class InlineQueue : public platform::DispatchQueue {
  public:
    const std::string& label() const override { return label_; }
    void async(platform::Block block) override { block(); }
    bool isCurrent() const override { return false; }

  private:
    std::string label_ = "inline";
};

// Starts transfers whose completion handler holds the only reference to
// their client, delivered on `queue`; each client must end by itself.
void runClientsKeptOnlyByTheirCallbacks(const LoopbackHttpServer& server,
                                        const platform::DispatchQueuePtr& queue) {
    for (int i = 0; i < 20; ++i) {
        auto client = std::make_shared<platform::CurlHttpClient>();
        HttpTransferRecorder recorder;
        platform::HttpTaskHandlers handlers = recorder.handlers();
        auto record = handlers.onComplete;
        handlers.onComplete = [client, record](platform::HttpResult r) { record(std::move(r)); };
        client->startDataTask(HttpRequest(server.url("/")), queue, std::move(handlers));
        client.reset();
        ASSERT_TRUE(recorder.waitForCompletion());
        queue->sync([] {});
    }
}

// The callbacks are released on the delivery queue, never on the transfer
// thread, so a client kept alive only by them can end there.
TEST_F(HttpClientTest, ClientKeptOnlyByItsCallbacksEnds) {
    runClientsKeptOnlyByTheirCallbacks(server_, queue_);
}

// Even when the last reference to a client goes on its own transfer thread,
// the client ends without waiting for itself.
TEST_F(HttpClientTest, ClientReleasedOnItsOwnTransferThreadEnds) {
    runClientsKeptOnlyByTheirCallbacks(server_, std::make_shared<InlineQueue>());
}

TEST_F(HttpClientTest, IdleTimeOutCountsSilenceNotTheWholeTransfer) {
    // 25 slices 80 ms apart take two seconds in all, with no silence near the
    // time-out of 1.5 seconds.
    ScriptedReply trickle = ScriptedReply::ok(std::string(25, 'x'));
    trickle.trickleBytes = 1;
    trickle.trickleDelay = std::chrono::milliseconds(80);
    server_.enqueue(trickle);
    HttpRequest request(server_.url("/trickle"));
    request.setTimeoutInterval(1.5);
    HttpTransferRecorder recorder;
    run(request, recorder);
    EXPECT_TRUE(recorder.result().succeeded()) << recorder.result().error.description();
    EXPECT_EQ(recorder.bodyText(), std::string(25, 'x'));
}

TEST_F(HttpClientTest, TotalTimeOutEndsASteadyTrickleAndTheSizeCapStopsALongBody) {
    ScriptedReply trickle = ScriptedReply::ok(std::string(100, 'x'));
    trickle.trickleBytes = 1;
    trickle.trickleDelay = std::chrono::milliseconds(50);
    server_.enqueue(trickle);
    HttpRequest slow(server_.url("/trickle"));
    slow.setTimeoutInterval(1);
    slow.setTotalTimeout(0.6);
    HttpTransferRecorder timedOut;
    run(slow, timedOut);
    EXPECT_EQ(timedOut.result().error.code(), platform::kURLErrorTimedOut);

    ScriptedReply large = ScriptedReply::ok();
    large.generatedBodySize = 4 * 1024 * 1024;
    server_.enqueue(large);
    server_.enqueue(ScriptedReply::ok("0123456789"));
    HttpRequest capped(server_.url("/large"));
    capped.setMaximumResponseLength(1024 * 1024);
    HttpTransferRecorder tooLong;
    run(capped, tooLong);
    EXPECT_EQ(tooLong.result().error.code(), platform::kURLErrorDataLengthExceedsMaximum);
    EXPECT_LE(tooLong.result().bytesReceived, 1024u * 1024u);

    // A body of exactly the cap is fine.
    HttpRequest exact(server_.url("/exact"));
    exact.setMaximumResponseLength(10);
    HttpTransferRecorder fits;
    run(exact, fits);
    EXPECT_TRUE(fits.result().succeeded()) << fits.result().error.description();
    EXPECT_EQ(fits.bodyText(), "0123456789");
}

// A body source that fails with a URL error ends the transfer with that error.
TEST_F(HttpClientTest, BodySourceURLErrorsPassThrough) {
    class Failing : public platform::HttpBodySource {
      public:
        std::int64_t length() const override { return 10; }
        long read(char*, std::size_t, platform::Error* error) override {
            platform::setError(error, platform::makeURLError(platform::kURLErrorCancelled, ""));
            return -1;
        }
    };
    HttpRequest request(server_.url("/upload"));
    request.setMethod("POST");
    request.setBodySource(std::make_shared<Failing>());
    HttpTransferRecorder recorder;
    run(request, recorder);
    EXPECT_EQ(recorder.result().error.code(), platform::kURLErrorCancelled);
}

}  // namespace

namespace {

TEST_F(HttpClientTest, DataTransferLongerThanItsLimitFailsAndAtTheLimitSucceeds) {
    for (auto [size, fails] : {std::pair{4096u, false}, std::pair{4097u, true}}) {
        ScriptedReply reply;
        reply.generatedBodySize = size;
        server_.enqueue(reply);
        HttpRequest request(server_.url("/capped"));
        request.setMaximumResponseLength(4096);
        HttpTransferRecorder recorder;
        run(request, recorder);
        if (fails) {
            EXPECT_EQ(recorder.result().error.code(), platform::kURLErrorDataLengthExceedsMaximum);
            EXPECT_LE(recorder.result().body.size(), 4096u);
        } else {
            EXPECT_TRUE(recorder.result().succeeded());
            EXPECT_EQ(recorder.result().body.size(), 4096u);
        }
    }
}

}  // namespace
