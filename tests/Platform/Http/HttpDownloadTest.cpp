#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Http/HttpCurlClient.h"
#include "Platform/Http/HttpError.h"
#include "support/HttpTransferRecorder.h"
#include "support/LoopbackHttpServer.h"
#include "support/TempDir.h"

using namespace platform;
using testsupport::HttpTransferRecorder;
using testsupport::LoopbackHttpServer;
using testsupport::ScriptedReply;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class HttpDownloadTest : public ::testing::Test {
  protected:
    DispatchQueuePtr queue_ = SerialQueue::create("http-download-test");
    CurlHttpClient client_;
    LoopbackHttpServer server_;
    testsupport::TempDir dir_;

    HttpResult download(HttpDownloadTarget target, HttpTransferRecorder& recorder,
                        std::string path = "/file") {
        client_.startDownloadTask(HttpRequest(server_.url(path)), std::move(target), queue_,
                                  recorder.handlers(queue_));
        EXPECT_TRUE(recorder.waitForCompletion());
        return recorder.result();
    }
};

TEST_F(HttpDownloadTest, BodyGoesToTheFileWithProgress) {
    const std::uint64_t size = 3 * 1024 * 1024 + 17;
    ScriptedReply reply;
    reply.generatedBodySize = size;
    server_.enqueue(reply);
    HttpTransferRecorder recorder;
    HttpResult result = download({dir_.file("out.bin")}, recorder);

    ASSERT_TRUE(result.succeeded()) << result.error.description();
    EXPECT_EQ(result.filePath, dir_.file("out.bin"));
    EXPECT_EQ(result.bytesReceived, size);
    EXPECT_TRUE(result.body.empty());
    EXPECT_EQ(readFile(result.filePath), LoopbackHttpServer::generatedBody(0, size));
    auto progress = recorder.progress();
    ASSERT_FALSE(progress.empty());
    for (std::size_t i = 1; i < progress.size(); ++i)
        EXPECT_GE(progress[i].bytesReceived, progress[i - 1].bytesReceived);
    EXPECT_EQ(progress.back().bytesReceived, size);
    EXPECT_EQ(progress.back().expectedBytesToReceive, static_cast<std::int64_t>(size));
    EXPECT_EQ(recorder.events().back(), "complete");
}

// A fresh transfer replaces whatever the target held, longer or empty.
TEST_F(HttpDownloadTest, FreshTransferReplacesTheTarget) {
    const std::string body = LoopbackHttpServer::generatedBody(0, 5000);
    for (std::string before : {std::string(), std::string(9000, 'x')}) {
        SCOPED_TRACE(before.size());
        server_.enqueue(ScriptedReply::ok(body));
        std::string path = dir_.write("out.bin", before);
        HttpTransferRecorder recorder;
        HttpResult result = download({path}, recorder);
        ASSERT_TRUE(result.succeeded()) << result.error.description();
        EXPECT_EQ(readFile(path), body);
    }
}

// Progress goes out at most once per 256 KiB and per 20 ms (whichever comes
// later), and the progress up to the end always arrives before completion.
TEST_F(HttpDownloadTest, ProgressIsSparseAndEndsWithTheWholeBody) {
    struct Case {
        const char* what;
        std::uint64_t size;
        std::size_t trickleBytes;
        int trickleMs;
    };
    const Case cases[] = {
        {"small body", 1000, 0, 0},
        {"large body at once", 4u << 20, 0, 0},
        {"large body trickled", 2u << 20, 64 * 1024, 2},
    };
    constexpr std::uint64_t kStep = 256 * 1024;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedReply reply;
        reply.generatedBodySize = c.size;
        reply.trickleBytes = c.trickleBytes;
        reply.trickleDelay = std::chrono::milliseconds(c.trickleMs);
        server_.enqueue(reply);
        HttpTransferRecorder recorder;
        const auto start = std::chrono::steady_clock::now();
        HttpResult result = download({dir_.file("out.bin")}, recorder);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        ASSERT_TRUE(result.succeeded()) << result.error.description();

        auto progress = recorder.progress();
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(progress.back().bytesReceived, c.size);
        EXPECT_EQ(progress.back().expectedBytesToReceive, static_cast<std::int64_t>(c.size));
        for (std::size_t i = 1; i + 1 < progress.size(); ++i)
            EXPECT_GE(progress[i].bytesReceived - progress[i - 1].bytesReceived, kStep);
        EXPECT_LE(progress.size(), c.size / kStep + 1);
        EXPECT_LE(progress.size(),
                  static_cast<std::size_t>(elapsed / std::chrono::milliseconds(20)) + 2);
        auto events = recorder.events();
        ASSERT_GE(events.size(), 2u);
        EXPECT_EQ(events[events.size() - 2], "progress");
        EXPECT_EQ(events.back(), "complete");
    }
}

TEST_F(HttpDownloadTest, ResumeAppendsOnlyWhenTheServerSendsTheRange) {
    const std::uint64_t size = 100000, offset = 40000;
    const std::string full = LoopbackHttpServer::generatedBody(0, size);
    ScriptedReply reply;
    reply.generatedBodySize = size;
    reply.supportRanges = true;
    reply.etag = "\"v2\"";
    server_.setDefaultReply(reply);

    struct Case {
        const char* name;
        std::string ifRange;
        int status;
        std::uint64_t resumeOffset;
        std::uint64_t received;
    } cases[] = {
        {"validator matches", "\"v2\"", 206, offset, size - offset},
        {"no validator", "", 206, offset, size - offset},
        {"validator changed", "\"v1\"", 200, 0, size},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // The partial file holds the first bytes and some stale tail beyond them.
        std::string path = dir_.write("partial.bin", full.substr(0, offset) + "stale tail");
        std::size_t before = server_.requestCount();
        HttpTransferRecorder recorder;
        HttpResult result = download({path, offset, c.ifRange}, recorder);
        ASSERT_TRUE(result.succeeded()) << result.error.description();
        EXPECT_EQ(result.response->statusCode(), c.status);
        EXPECT_EQ(result.resumeOffset, c.resumeOffset);
        EXPECT_EQ(result.bytesReceived, c.received);
        EXPECT_EQ(readFile(path), full);
        auto sent = server_.requests().at(before);
        EXPECT_EQ(sent.header("Range"), "bytes=40000-");
        EXPECT_EQ(sent.header("If-Range"), c.ifRange);
        EXPECT_EQ(recorder.progress().back().resumeOffset, c.resumeOffset);
    }
}

TEST_F(HttpDownloadTest, ResumeFailuresKeepThePartialFile) {
    const std::string partial = "0123456789";
    ScriptedReply wrongRange = ScriptedReply::withStatus(206, "abc");
    wrongRange.headers = {{"Content-Range", "bytes 0-2/3"}};
    struct Case {
        const char* name;
        ScriptedReply reply;
        long error;  // 0: completes with the status, file untouched
    } cases[] = {
        {"unavailable", ScriptedReply::withStatus(503, "busy"), 0},
        {"range from elsewhere", wrongRange, kURLErrorBadServerResponse},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir_.write("partial.bin", partial);
        server_.enqueue(c.reply);
        HttpTransferRecorder recorder;
        HttpResult result = download({path, partial.size(), "\"v\""}, recorder);
        EXPECT_EQ(result.error.code(), c.error);
        EXPECT_EQ(readFile(path), partial);
    }

    // A file shorter than the offset cannot be continued.
    std::string shortFile = dir_.write("short.bin", "01");
    ScriptedReply ranged;
    ranged.body = std::string(100, 'z');
    ranged.supportRanges = true;
    server_.enqueue(ranged);
    HttpTransferRecorder recorder;
    HttpResult result = download({shortFile, 10, ""}, recorder);
    EXPECT_EQ(result.error.code(), kURLErrorCannotCreateFile);
}

TEST_F(HttpDownloadTest, UnwritableTargetFailsWithAFileError) {
    server_.enqueue(ScriptedReply::ok("data"));
    HttpTransferRecorder recorder;
    HttpResult result = download({dir_.file("missing-folder/out.bin")}, recorder);
    EXPECT_EQ(result.error.code(), kURLErrorCannotCreateFile);
    ASSERT_NE(result.error.underlyingError(), nullptr);
    EXPECT_EQ(result.error.underlyingError()->domain(), kPOSIXErrorDomain);
    EXPECT_TRUE(result.filePath.empty());
}

// A link put at the target's name is not written through: the file it leads
// to keeps its bytes.
TEST_F(HttpDownloadTest, ALinkAtTheTargetIsNotFollowed) {
    server_.enqueue(ScriptedReply::ok("data"));
    const std::string elsewhere = dir_.write("elsewhere", "kept");
    std::filesystem::create_symlink(elsewhere, dir_.file("out.bin"));
    HttpTransferRecorder recorder;
    HttpResult result = download({dir_.file("out.bin")}, recorder);
    EXPECT_EQ(result.error.code(), kURLErrorCannotCreateFile);
    EXPECT_EQ(readFile(elsewhere), "kept");
}

TEST_F(HttpDownloadTest, CancelledDownloadLeavesWhatArrived) {
    ScriptedReply reply;
    // Progress comes once per 256 KiB: the first one reports the stall.
    reply.generatedBodySize = 400000;
    reply.stallAfterBodyBytes = 256 * 1024;
    server_.enqueue(reply);
    HttpTransferRecorder recorder;
    bool cancelled = false;
    auto handlers = recorder.handlers(queue_);
    std::shared_ptr<HttpTask> task;
    std::mutex taskMutex;
    auto record = handlers.onProgress;
    handlers.onProgress = [&, record](const HttpProgress& p) {
        record(p);
        std::lock_guard lock(taskMutex);
        if (p.bytesReceived >= 256 * 1024 && task && !cancelled) {
            cancelled = true;
            task->cancel();
        }
    };
    {
        std::lock_guard lock(taskMutex);
        task = client_.startDownloadTask(HttpRequest(server_.url("/big")), {dir_.file("big.bin")},
                                         queue_, handlers);
    }
    ASSERT_TRUE(recorder.waitForCompletion());
    HttpResult result = recorder.result();
    EXPECT_EQ(result.error.code(), kURLErrorCancelled);
    EXPECT_EQ(result.filePath, dir_.file("big.bin"));
    EXPECT_EQ(result.bytesReceived, 256u * 1024);
    EXPECT_EQ(readFile(dir_.file("big.bin")), LoopbackHttpServer::generatedBody(0, 256 * 1024));
}

}  // namespace
