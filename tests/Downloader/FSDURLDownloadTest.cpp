#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <thread>

#include "Downloader/DownloadTestSupport.h"
#include "Downloader/FSDError.h"
#include "Downloader/FSDFileNames.h"
#include "Downloader/FSDResumeData.h"
#include "Downloader/FSDURLDownload.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Http/HttpError.h"
#include "support/LoopbackHttpServer.h"
#include "support/TempDir.h"
#include "support/WaitFlag.h"

using testsupport::LoopbackHttpServer;
using testsupport::RecordedRequest;
using testsupport::ScriptedReply;

namespace {

TEST(FSDFileNamesTest, NamesComeFromTheLastComponentAndNeverLeaveTheFolder) {
    struct Case {
        const char* url;
        std::optional<std::string> name;
    } cases[] = {
        {"http://h/d/My%20Pkg.zip", "My Pkg.zip"},
        {"http://h/d/p.zip?x=1#frag", "p.zip"},
        {"http://h/d/%C3%A9t%C3%A9.zip", "\xC3\xA9t\xC3\xA9.zip"},
        {"http://h/d/folder/", "folder"},
        {"http://h/d/%2E%2E", std::nullopt},
        {"http://h/d/..", std::nullopt},
        {"http://h/d/.", std::nullopt},
        {"http://h/d/a%2Fb.zip", std::nullopt},
        {"http://h/d/a%00.zip", std::nullopt},
        {"http://h/", std::nullopt},
        {"http://h", std::nullopt},
        {"http://h/d/%zz", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(fsdFileNameForURL(c.url), c.name) << c.url;

    EXPECT_EQ(FSDURLDownload::downloadFileNameWithURL("http://h/My%20Pkg.zip", "/tmp/d"),
              "/tmp/d/My Pkg.zip.fsd");
    EXPECT_EQ(
        FSDURLDownload::resumeDataFileNameWithFSDDownloadURL("http://h/My%20Pkg.zip", "/tmp/d"),
        "/tmp/d/.My Pkg.zip.fsd_resumedata");
    EXPECT_EQ(FSDURLDownload::downloadFileNameWithURL("http://h/%2E%2E", "/tmp/d"), std::nullopt);
}

// Removing a finished archive: the name goes at once; a link goes, never
// what it points at; nothing there counts as removed.
TEST(FSDFileNamesTest, LargeFileRemovalTakesTheNameOnly) {
    testsupport::TempDir dir;
    const std::string file = dir.write("a.zip", std::string(1 << 20, 'z'));
    const std::string kept = dir.write("kept.zip", "kept");
    const std::string link = dir.file("link.zip");
    ASSERT_EQ(::symlink(kept.c_str(), link.c_str()), 0);
    struct stat st {};
    for (const std::string& path : {file, link, dir.file("missing.zip")}) {
        SCOPED_TRACE(path);
        EXPECT_TRUE(fsdUnlinkLargeFile(path));
        EXPECT_NE(::lstat(path.c_str(), &st), 0);
    }
    EXPECT_EQ(::lstat(kept.c_str(), &st), 0);
}

TEST(FSDURLDownloadRulesTest, OnlyTransientErrorsAreRetried) {
    auto urlError = [](long code) { return platform::makeURLError(code, ""); };
    auto unknownOver = [](long cfCode) {
        platform::Error e(std::string(platform::kURLErrorDomain), platform::kURLErrorUnknown);
        e.setUnderlyingError(platform::Error("kCFErrorDomainCFNetwork", cfCode));
        return e;
    };
    struct Case {
        platform::Error error;
        bool retried;
    } cases[] = {
        {urlError(platform::kURLErrorTimedOut), true},
        {urlError(platform::kURLErrorCannotConnectToHost), true},
        {urlError(platform::kURLErrorNetworkConnectionLost), true},
        {urlError(platform::kURLErrorBadServerResponse), true},
        {urlError(platform::kURLErrorNotConnectedToInternet), false},
        {urlError(platform::kURLErrorCancelled), false},
        {unknownOver(-998), true},
        {unknownOver(-999), false},
        {urlError(platform::kURLErrorUnknown), false},
        {platform::Error("FSDErrorDomain", platform::kURLErrorTimedOut), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FSDURLDownload::canRetryForError(&c.error), c.retried) << c.error.description();
    EXPECT_FALSE(FSDURLDownload::canRetryForError(nullptr));
}

TEST(FSDURLDownloadRulesTest, ResumeDataIsStrictJSONAndOnlyStrongValidatorsCount) {
    FSDResumeData data{"http://h/a.zip", "\"v1\"", 1234};
    auto back = FSDResumeData::fromJSON(data.json());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->url, data.url);
    EXPECT_EQ(back->validator, data.validator);
    EXPECT_EQ(back->offset, 1234u);
    for (const char* bad :
         {R"({"version":2,"url":"u","validator":"v","offset":1})",
          R"({"version":1,"url":"u","validator":"v","offset":-1})",
          R"({"version":1,"url":"u","validator":"v","offset":1.5})",
          R"({"version":1,"url":1,"validator":"v","offset":1})", "[]", "not json"})
        EXPECT_FALSE(FSDResumeData::fromJSON(bad)) << bad;

    EXPECT_TRUE(fsdIsStrongValidator("\"abc\""));
    EXPECT_TRUE(fsdIsStrongValidator("Sun, 06 Nov 1994 08:49:37 GMT"));
    EXPECT_FALSE(fsdIsStrongValidator("W/\"abc\""));
    EXPECT_FALSE(fsdIsStrongValidator(""));
}

// Transfers against the loopback server, each into a fresh folder.
class FSDURLDownloadTest : public ::testing::Test {
  protected:
    void TearDown() override {
        FSDURLDownload::setFoundationVersionNumber(FSDURLDownload::kFoundationVersionNumber);
    }

    PelFSDFilePtr file(const std::string& path, std::uint64_t retries = 0,
                       std::int64_t priority = 0) {
        auto f = std::make_shared<PelFSDFile>();
        f->setDownloadURL(server_.url(path));
        f->setDownloadLocalPath(dir_.path().string());
        f->setRetries(retries);
        f->setFilePriority(priority);
        return f;
    }

    struct Outcome {
        testsupport::WaitFlag done;
        bool success = false;
        std::optional<std::string> path;
        std::uint64_t bytes = 0;
        std::optional<platform::Error> error;
        std::atomic<int> calls{0};
    };
    static FSDURLDownload::CompletionHandler recorder(const std::shared_ptr<Outcome>& o) {
        return [o](bool success, const std::string* path, std::uint64_t bytes,
                   const platform::Error* error) {
            o->success = success;
            if (path) o->path = *path;
            o->bytes = bytes;
            if (error) o->error = *error;
            ++o->calls;
            o->done.set();
        };
    }
    static void waitFinished(const FSDURLDownloadPtr& t) {
        for (int i = 0; i < 1000 && !t->isFinished(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_TRUE(t->isFinished());
    }
    std::uint64_t sizeOf(const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    }

    testsupport::TempDir dir_;
    LoopbackHttpServer server_;
};

TEST_F(FSDURLDownloadTest, TheFoundationVersionPicksTheTransport) {
    server_.setDefaultReply(ScriptedReply::ok("x"));
    for (auto [version, session] : {std::pair{1056.99, false}, std::pair{1057.0, true}}) {
        FSDURLDownload::setFoundationVersionNumber(version);
        auto o = std::make_shared<Outcome>();
        auto t =
            FSDURLDownload::downloadWithURL(server_.url("/v.zip"), file("/v.zip"), {}, recorder(o));
        ASSERT_TRUE(t);
        EXPECT_EQ(t->isSessionTransport(), session) << version;
        ASSERT_TRUE(o->done.wait());
    }
}

TEST_F(FSDURLDownloadTest, CutsAtRandomBytesResumeFromThePartialAndEndByteIdentical) {
    const std::string body = LoopbackHttpServer::generatedBody(0, 300000);
    std::mt19937 random(12345);
    std::mutex mutex;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> served;  // (start, bytes sent)
    server_.setHandler([&](const RecordedRequest& r) {
        ScriptedReply reply = ScriptedReply::ok(body);
        reply.supportRanges = true;
        reply.etag = "\"v1\"";
        std::uint64_t start = 0;
        std::string range = r.header("Range");
        if (range.rfind("bytes=", 0) == 0) start = std::stoull(range.substr(6));
        std::lock_guard lock(mutex);
        std::uint64_t sent = body.size() - start;
        if (served.size() < 5) {
            sent = random() % (body.size() - start);
            reply.closeAfterBodyBytes = sent;
        }
        served.emplace_back(start, sent);
        return reply;
    });

    for (bool session : {true, false}) {
        FSDURLDownload::setFoundationVersionNumber(session ? 1575.0 : 1000.0);
        served.clear();
        auto o = std::make_shared<Outcome>();
        auto t = FSDURLDownload::downloadWithURL(server_.url("/big.zip"), file("/big.zip", 10), {},
                                                 recorder(o));
        ASSERT_TRUE(o->done.wait());
        ASSERT_TRUE(o->success) << (o->error ? o->error->description() : "");
        EXPECT_EQ(o->path, dir_.file("big.zip.fsd"));
        EXPECT_EQ(o->bytes, body.size());
        EXPECT_TRUE(dltest::readFile(dir_.file("big.zip.fsd")) == body);
        std::lock_guard lock(mutex);
        ASSERT_EQ(served.size(), 6u);
        for (std::size_t i = 1; i < served.size(); ++i)
            EXPECT_EQ(served[i].first, served[i - 1].first + served[i - 1].second) << i;
        EXPECT_EQ(o->calls.load(), 1);
    }
}

TEST_F(FSDURLDownloadTest, CancelKeepsResumeDataAndAFreshTransportContinuesAfterIt) {
    const std::string body = LoopbackHttpServer::generatedBody(0, 200000);
    ScriptedReply stalled = ScriptedReply::ok(body);
    stalled.etag = "\"v1\"";
    stalled.supportRanges = true;
    stalled.stallAfterBodyBytes = 70000;
    server_.enqueue(stalled);
    ScriptedReply rest = ScriptedReply::ok(body);
    rest.etag = "\"v1\"";
    rest.supportRanges = true;
    server_.enqueue(rest);

    auto f = file("/c.zip", 0);
    auto first = std::make_shared<Outcome>();
    auto t = FSDURLDownload::downloadWithURL(f->downloadURL(), f, {}, recorder(first));
    for (int i = 0; i < 1000 && sizeOf(dir_.file("c.zip.fsd")) < 70000; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    t->cancelDownload();
    waitFinished(t);
    server_.releaseStalls();
    EXPECT_EQ(first->calls.load(), 0);

    const std::string resumePath = dir_.file(".c.zip.fsd_resumedata");
    struct stat st {};
    ASSERT_EQ(::stat(resumePath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    auto data = readFSDResumeData(resumePath);
    ASSERT_TRUE(data);
    EXPECT_EQ(data->url, *f->downloadURL());
    EXPECT_EQ(data->validator, "\"v1\"");
    EXPECT_EQ(data->offset, 70000u);

    auto second = std::make_shared<Outcome>();
    auto resumed = FSDURLDownload::downloadWithResumeData(*data, f, {}, recorder(second));
    ASSERT_TRUE(resumed);
    ASSERT_TRUE(second->done.wait());
    EXPECT_TRUE(second->success);
    EXPECT_TRUE(dltest::readFile(dir_.file("c.zip.fsd")) == body);
    auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].header("Range"), "bytes=70000-");
    EXPECT_EQ(requests[1].header("If-Range"), "\"v1\"");
    EXPECT_EQ(::access(resumePath.c_str(), F_OK), -1);
}

TEST_F(FSDURLDownloadTest, AChangedEntityTagRewritesTheFileFromTheStart) {
    const std::string body = LoopbackHttpServer::generatedBody(5, 50000);
    ScriptedReply reply = ScriptedReply::ok(body);
    reply.etag = "\"new\"";
    reply.supportRanges = true;
    server_.enqueue(reply);
    dltest::writeFile(dir_.file("e.zip.fsd"), std::string(30000, 'Z'));
    auto f = file("/e.zip");
    auto o = std::make_shared<Outcome>();
    FSDURLDownload::downloadWithResumeData({*f->downloadURL(), "\"old\"", 30000}, f, {},
                                           recorder(o));
    ASSERT_TRUE(o->done.wait());
    EXPECT_TRUE(o->success);
    EXPECT_TRUE(dltest::readFile(dir_.file("e.zip.fsd")) == body);
    EXPECT_EQ(server_.requests().at(0).header("Range"), "bytes=30000-");
}

TEST_F(FSDURLDownloadTest, ABadStatusCompletesWithoutAnErrorAndRetriesRunOut) {
    server_.enqueue(ScriptedReply::withStatus(404, "missing"));
    auto o = std::make_shared<Outcome>();
    FSDURLDownload::downloadWithURL(server_.url("/n.zip"), file("/n.zip", 3), {}, recorder(o));
    ASSERT_TRUE(o->done.wait());
    EXPECT_FALSE(o->success);
    EXPECT_FALSE(o->path);
    EXPECT_FALSE(o->error);
    EXPECT_EQ(server_.requestCount(), 1u);

    // Connections refused: one attempt plus two retries, then the error itself.
    auto refused = std::make_shared<Outcome>();
    auto f = file("/r.zip", 2);
    f->setDownloadURL("http://127.0.0.1:" + std::to_string(LoopbackHttpServer::unusedPort()) +
                      "/r.zip");
    auto t = FSDURLDownload::downloadWithURL(f->downloadURL(), f, {}, recorder(refused));
    ASSERT_TRUE(refused->done.wait());
    ASSERT_TRUE(refused->error);
    EXPECT_EQ(refused->error->code(), platform::kURLErrorCannotConnectToHost);
    EXPECT_EQ(t->retries(), 0u);
    EXPECT_EQ(refused->calls.load(), 1);
}

TEST_F(FSDURLDownloadTest, AnAddressWithoutAUsableNameMakesNoTransport) {
    auto f = file("/x");
    for (const char* url : {"http://h/%2E%2E", "http://h/a%2Fb", "http://h/"})
        EXPECT_FALSE(FSDURLDownload::downloadWithURL(std::string(url), f, {}, nullptr)) << url;
    EXPECT_FALSE(FSDURLDownload::downloadWithURL(std::nullopt, f, {}, nullptr));
    // Resume data for another address is not used.
    EXPECT_FALSE(
        FSDURLDownload::downloadWithResumeData({"http://other/x", "\"v\"", 1}, f, {}, nullptr));
}

}  // namespace

namespace {

TEST_F(FSDURLDownloadTest, DelegateCallsCountFromTheStartOfTheFileOnBothTransports) {
    const std::string body = LoopbackHttpServer::generatedBody(0, 40000);
    for (bool session : {true, false}) {
        SCOPED_TRACE(session ? "session" : "connection");
        FSDURLDownload::setFoundationVersionNumber(session ? 1575.0 : 1000.0);
        ScriptedReply reply = ScriptedReply::ok(body);
        reply.etag = "\"d\"";
        reply.supportRanges = true;
        server_.enqueue(reply);
        dltest::writeFile(dir_.file("d.zip.fsd"), body.substr(0, 10000));
        auto delegate = std::make_shared<dltest::RecordingDelegate>(true);
        auto f = file("/d.zip");
        auto o = std::make_shared<Outcome>();
        FSDURLDownload::downloadWithResumeData({*f->downloadURL(), "\"d\"", 10000}, f, delegate,
                                               recorder(o));
        ASSERT_TRUE(o->done.wait());
        platform::RunLoop::drainPending();
        auto calls = delegate->calls();
        ASSERT_GE(calls.size(), 3u);
        EXPECT_EQ(calls[0], "begin");
        std::vector<std::string> expected = {"begin"};
        if (!session) expected.push_back("dest " + dir_.file("d.zip.fsd"));
        expected.push_back("size 40000");
        EXPECT_EQ(std::vector<std::string>(calls.begin(),
                                           calls.begin() + static_cast<long>(expected.size())),
                  expected);
        EXPECT_EQ(delegate->lastLength.load(), 40000u);
        EXPECT_TRUE(dltest::readFile(dir_.file("d.zip.fsd")) == body);
    }
}

}  // namespace
