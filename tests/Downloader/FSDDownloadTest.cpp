#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <thread>

#include "Downloader/DriverTestSupport.h"
#include "Downloader/FSDError.h"
#include "Downloader/FSDResumeData.h"
#include "Platform/Http/HttpError.h"

using dltest::DriverTest;
using dltest::ZipEntry;
using testsupport::ScriptedReply;

namespace {

using Strings = std::vector<std::string>;

using dltest::exists;

class FSDDownloadTest : public DriverTest {};

TEST_F(FSDDownloadTest, CreationRefusesMissingOrEmptyJobListsAndCountsTheFiles) {
    platform::Error error;
    EXPECT_FALSE(FSDDownload::createWithPelJobsArray(nullptr, folder_, delegate_, pings_, &error));
    EXPECT_EQ(error.code(), kFSDErrorNoValidJobs);
    EXPECT_EQ(fsdErrorMessage(error), "No Valid PelJobArray Provided");
    std::vector<PelFSDJobPtr> none;
    EXPECT_FALSE(FSDDownload::createWithPelJobsArray(&none, folder_, delegate_, pings_, &error));
    EXPECT_EQ(fsdErrorMessage(error), "PelJobArray had no valid download jobs");
    dltest::writeFile(dir_.file("plainfile"), "x");
    auto jobs = std::vector{job({fileJSON("/a.zip", "A.pkg", 1)})};
    EXPECT_FALSE(FSDDownload::createWithPelJobsArray(&jobs, dir_.file("plainfile/sub"), delegate_,
                                                     pings_, &error));
    EXPECT_EQ(error.code(), kFSDErrorDownloadFolder);

    auto withSetup = job({fileJSON("/s.zip", "S", 0, R"(,"type":"layout_requirement")"),
                          fileJSON("/a.zip", "A.pkg", 1), fileJSON("/b.zip", "B.pkg", 2),
                          fileJSON("/c.zip", "C.pkg", 3)});
    auto d = driver({withSetup});
    ASSERT_TRUE(runUntil([&] { return !delegate_->calls().empty(); }));
    EXPECT_EQ(delegate_->calls(), Strings{"jobs 1 3"});
}

TEST_F(FSDDownloadTest, FilesComeHighestPriorityFirstAndTheJobEndsWithItsRequestsInOrder) {
    serveZip("/p10.zip", {{"P10.pkg", "ten"}, {"extra.txt", "not taken"}});
    serveZip("/p5.zip", {{"P5.pkg", "five"}});
    serveZip("/pm1.zip", {{"PM1.pkg", "minus one"}});
    auto j = job({fileJSON("/p5.zip", "P5.pkg", 5), fileJSON("/pm1.zip", "PM1.pkg", -1),
                  fileJSON("/p10.zip", "P10.pkg", 10, R"(,"ping_module":77)")},
                 R"(,"olp_start_url":")" + server_.url("/olp/start") + R"(","olp_end_url":")" +
                     server_.url("/olp/end") + "\"");
    auto d = driver({j});
    d->startDownload();
    ASSERT_TRUE(runUntil([&] { return delegate_->finished == 3; }));
    ASSERT_TRUE(runUntil([&] { return traffic().size() == 8; }));
    EXPECT_EQ(traffic(), (Strings{"/p10.zip", "/olp/start", "ping:started", "/p5.zip", "/pm1.zip",
                                  "/olp/end", "ping:finished", "ping:success"}));
    EXPECT_EQ(dltest::readFile(folder_ + "/P10.pkg"), "ten");
    EXPECT_EQ(dltest::readFile(folder_ + "/PM1.pkg"), "minus one");
    EXPECT_FALSE(exists(folder_ + "/extra.txt"));
    EXPECT_FALSE(exists(folder_ + "/p10.zip"));
    EXPECT_FALSE(exists(folder_ + "/p10.zip.fsd"));
    auto packages = d->packagePaths();
    ASSERT_EQ(packages.size(), 3u);
    EXPECT_EQ(packages[0].at("pkgName").stringValue(), "P10.pkg");
    EXPECT_EQ(packages[0].at("pkgPriority").int64Value(), 10);
    EXPECT_EQ(packages[0].at("pingModuleID").int64Value(), 77);
    EXPECT_EQ(packages[2].at("pkgPriority").int64Value(), -1);
    EXPECT_EQ(delegate_->failed.load(), 0);
}

TEST_F(FSDDownloadTest, AnOptionalFailureIsSkippedAndAMandatoryOneStopsWithAnError) {
    serveZip("/ok.zip", {{"Ok.pkg", "ok"}});
    serve("/gone.zip", ScriptedReply::withStatus(404, "no"));
    auto j = job({fileJSON("/ok.zip", "Ok.pkg", -2), fileJSON("/gone.zip", "Gone.pkg", -1)});
    auto d = driver({j});
    d->startDownload();
    ASSERT_TRUE(runUntil([&] { return delegate_->finished == 2; }));
    ASSERT_TRUE(runUntil([&] { return traffic().size() == 6; }));
    EXPECT_EQ(traffic(), (Strings{"/gone.zip", "ping:started", "ping:optional-failed", "/ok.zip",
                                  "ping:finished", "ping:success"}));
    EXPECT_EQ(dltest::readFile(folder_ + "/Ok.pkg"), "ok");

    delegate_ = std::make_shared<dltest::RecordingDelegate>();
    auto before = traffic().size();
    auto m = job({fileJSON("/ok.zip", "Ok.pkg", 1), fileJSON("/gone.zip", "Gone.pkg", 2)});
    auto d2 = driver({m});
    d2->startDownload();
    ASSERT_TRUE(runUntil([&] { return delegate_->failed == 1; }));
    platform::RunLoop::runUntil([] { return false; }, std::chrono::milliseconds(150));
    auto all = traffic();
    auto after = Strings(all.begin() + static_cast<long>(before), all.end());
    EXPECT_EQ(after, (Strings{"/gone.zip", "ping:failed"}));
    EXPECT_EQ(delegate_->calls(), (Strings{"jobs 1 2", "fail -85"}));
    const platform::Error& error = delegate_->lastError;
    EXPECT_EQ(error.domain(), kFSDErrorDomain);
    ASSERT_TRUE(error.underlyingError());
    EXPECT_EQ(error.underlyingError()->code(), platform::kURLErrorBadServerResponse);
    const platform::Value* status = error.underlyingError()->userInfoValue("StatusCode");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->int64Value(), 404);
}

TEST_F(FSDDownloadTest, AnAddressThatNamesNoFileFailsThatFile) {
    auto j = job({R"("source_file":"http://127.0.0.1:1/%2E%2E","destination_file":"X.pkg")"});
    auto d = driver({j});
    d->startDownload();
    ASSERT_TRUE(runUntil([&] { return delegate_->failed == 1; }));
    const platform::Error& error = delegate_->lastError;
    EXPECT_EQ(error.code(), kFSDErrorTransfer);
    ASSERT_TRUE(error.underlyingError());
    EXPECT_EQ(error.underlyingError()->code(), platform::kURLErrorBadURL);
    EXPECT_FALSE(exists(dir_.file("X.pkg")));
    EXPECT_TRUE(exists(folder_));
}

TEST_F(FSDDownloadTest, CancelStopsEverythingAndTheNextDriverResumesFromThePartial) {
    const std::string package = testsupport::LoopbackHttpServer::generatedBody(0, 400000);
    const std::string zip = dltest::makeZip({{"Big.pkg", package}});
    ScriptedReply stalled = ScriptedReply::ok(zip);
    stalled.etag = "\"z1\"";
    stalled.supportRanges = true;
    stalled.stallAfterBodyBytes = 100000;
    serve("/big.zip", stalled);
    auto j = job({fileJSON("/big.zip", "Big.pkg", -1)});
    auto d = driver({j});
    d->startDownload();
    ASSERT_TRUE(runUntil([&] {
        struct stat st {};
        return ::stat((folder_ + "/big.zip.fsd").c_str(), &st) == 0 && st.st_size >= 100000;
    }));
    d->cancelDownloads();
    ASSERT_TRUE(runUntil([&] { return d->isIdle(); }));
    server_.releaseStalls();
    platform::RunLoop::runUntil([] { return false; }, std::chrono::milliseconds(150));
    EXPECT_EQ(delegate_->calls(), Strings{"jobs 1 1"});
    EXPECT_EQ(traffic(), (Strings{"/big.zip", "ping:started"}));
    ASSERT_TRUE(readFSDResumeData(folder_ + "/.big.zip.fsd_resumedata"));

    // A stray resume file for another address is dropped on the way.
    dltest::writeFile(folder_ + "/.other.zip.fsd_resumedata",
                      FSDResumeData{server_.url("/elsewhere/other.zip"), "\"q\"", 3}.json());
    dltest::writeFile(folder_ + "/other.zip.fsd", "abcd");
    serveZip("/other.zip", {{"Other.pkg", "other"}});
    ScriptedReply rest = ScriptedReply::ok(zip);
    rest.etag = "\"z1\"";
    rest.supportRanges = true;
    serve("/big.zip", rest);
    delegate_ = std::make_shared<dltest::RecordingDelegate>();
    auto j2 = job({fileJSON("/big.zip", "Big.pkg", -1), fileJSON("/other.zip", "Other.pkg", 1)});
    auto d2 = driver({j2});
    d2->startDownload();
    ASSERT_TRUE(runUntil([&] { return delegate_->finished == 2; }));
    EXPECT_TRUE(dltest::readFile(folder_ + "/Big.pkg") == package);
    EXPECT_EQ(dltest::readFile(folder_ + "/Other.pkg"), "other");
    auto requests = server_.requests();
    std::vector<std::string> ranges;
    for (const auto& r : requests)
        if (r.path() == "/big.zip" || r.path() == "/other.zip")
            ranges.push_back(r.path() + " " + r.header("Range"));
    EXPECT_EQ(ranges, (Strings{"/big.zip ", "/other.zip ", "/big.zip bytes=100000-"}));
    for (const char* left : {"/.big.zip.fsd_resumedata", "/big.zip.fsd", "/big.zip",
                             "/.other.zip.fsd_resumedata", "/other.zip.fsd"})
        EXPECT_FALSE(exists(folder_ + left)) << left;
}

}  // namespace

namespace {

TEST_F(FSDDownloadTest, ResumeDataOlderThanItsPartialIsDroppedAndTheFileFetchedAfresh) {
    std::filesystem::create_directories(folder_);
    serveZip("/old.zip", {{"Old.pkg", "fresh"}});
    const std::string resume = folder_ + "/.old.zip.fsd_resumedata";
    dltest::writeFile(resume, FSDResumeData{server_.url("/old.zip"), "\"/old.zip\"", 4}.json());
    dltest::writeFile(folder_ + "/old.zip.fsd", "stale bytes");
    struct timespec times[2] = {{1000, 0}, {1000, 0}};
    ::utimensat(AT_FDCWD, resume.c_str(), times, 0);  // written long before the partial
    auto d = driver({job({fileJSON("/old.zip", "Old.pkg", 1)})});
    d->startDownload();
    ASSERT_TRUE(runUntil([&] { return delegate_->finished == 1; }));
    EXPECT_EQ(dltest::readFile(folder_ + "/Old.pkg"), "fresh");
    EXPECT_EQ(server_.requests().at(0).header("Range"), "");
    EXPECT_FALSE(exists(resume));
}

// The requests for `path` the server has read.
std::size_t requestsFor(const testsupport::LoopbackHttpServer& server, const std::string& path) {
    auto all = server.requests();
    return static_cast<std::size_t>(
        std::count_if(all.begin(), all.end(), [&](const auto& r) { return r.path() == path; }));
}

// The Range header of the last request for `path`.
std::string lastRangeFor(const testsupport::LoopbackHttpServer& server, const std::string& path) {
    std::string range = "(none)";
    for (const auto& r : server.requests())
        if (r.path() == path) range = r.header("Range");
    return range;
}

TEST_F(FSDDownloadTest, ABodyCutShortFailsTheFileAndTryAgainFetchesItWhole) {
    const std::string zip = dltest::makeZip({{"Cut.pkg", std::string(20000, 'c')}});
    const std::string cut = zip.substr(0, zip.size() / 2);
    // Both look whole to the client: a Content-Length that matches the short
    // body, and no length with the connection closed early.
    ScriptedReply shortLength = ScriptedReply::ok(cut);
    ScriptedReply earlyClose = ScriptedReply::ok(zip);
    earlyClose.omitContentLength = true;
    earlyClose.closeConnection = true;
    earlyClose.closeAfterBodyBytes = cut.size();
    for (const auto& [what, reply] :
         {std::pair{"short length", shortLength}, std::pair{"early close", earlyClose}}) {
        SCOPED_TRACE(what);
        delegate_ = std::make_shared<dltest::RecordingDelegate>();
        FSDDownload::resetStartNotificationsForTesting();
        auto before = traffic().size();
        serve("/cut.zip", reply);
        auto d = driver({job({fileJSON("/cut.zip", "Cut.pkg", 1)})});
        d->startDownload();
        ASSERT_TRUE(runUntil([&] { return delegate_->failed == 1; }));
        ASSERT_TRUE(runUntil([&] { return traffic().size() == before + 3; }));
        platform::RunLoop::runUntil([] { return false; }, std::chrono::milliseconds(150));
        auto all = traffic();
        EXPECT_EQ(Strings(all.begin() + static_cast<long>(before), all.end()),
                  (Strings{"/cut.zip", "ping:started", "ping:failed"}));
        EXPECT_EQ(delegate_->calls(), (Strings{"jobs 1 1", "fail -100"}));
        EXPECT_EQ(fsdErrorMessage(delegate_->lastError), "Failed to open the Download zip file");
        EXPECT_FALSE(exists(folder_ + "/Cut.pkg"));
        EXPECT_FALSE(exists(folder_ + "/cut.zip"));
        EXPECT_FALSE(exists(folder_ + "/.cut.zip.fsd_resumedata"));

        // Try Again, with the server healthy again.
        delegate_ = std::make_shared<dltest::RecordingDelegate>();
        serveZip("/cut.zip", {{"Cut.pkg", std::string(20000, 'c')}});
        auto again = driver({job({fileJSON("/cut.zip", "Cut.pkg", 1)})});
        again->startDownload();
        ASSERT_TRUE(runUntil([&] { return delegate_->finished == 1; }));
        ASSERT_TRUE(runUntil([&] { return traffic().back() == "ping:success"; }));
        EXPECT_EQ(dltest::readFile(folder_ + "/Cut.pkg"), std::string(20000, 'c'));
        EXPECT_EQ(delegate_->failed.load(), 0);
        std::filesystem::remove(folder_ + "/Cut.pkg");
    }
}

TEST_F(FSDDownloadTest, AServerErrorOnResumeKeepsThePartialUnlessItsValidatorChanged) {
    const std::string package = testsupport::LoopbackHttpServer::generatedBody(0, 300000);
    const std::string zip = dltest::makeZip({{"Big.pkg", package}});
    const std::string partial = folder_ + "/big.zip.fsd";
    const std::string resume = folder_ + "/.big.zip.fsd_resumedata";
    struct Case {
        const char* what;
        std::string etag;  // of the error answer
        const char* rangeOfTheNextTry;
    } cases[] = {
        {"no validator", "", "bytes=100000-"},
        {"same tag", "\"z1\"", "bytes=100000-"},
        {"another tag", "\"z2\"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::create_directories(folder_);
        dltest::writeFile(partial, zip.substr(0, 100000));
        dltest::writeFile(resume, FSDResumeData{server_.url("/big.zip"), "\"z1\"", 100000}.json());
        delegate_ = std::make_shared<dltest::RecordingDelegate>();
        ScriptedReply failing = ScriptedReply::withStatus(503, "busy");
        failing.etag = c.etag;
        serve("/big.zip", failing);
        auto d = driver({job({fileJSON("/big.zip", "Big.pkg", 1)})});
        d->startDownload();
        ASSERT_TRUE(runUntil([&] { return delegate_->failed == 1; }));
        ASSERT_TRUE(runUntil([&] { return d->isIdle(); }));
        EXPECT_EQ(lastRangeFor(server_, "/big.zip"), "bytes=100000-");
        const bool kept = *c.rangeOfTheNextTry != '\0';
        EXPECT_EQ(exists(partial), kept);
        EXPECT_EQ(exists(resume), kept);

        delegate_ = std::make_shared<dltest::RecordingDelegate>();
        ScriptedReply healthy = ScriptedReply::ok(zip);
        healthy.etag = "\"z1\"";
        healthy.supportRanges = true;
        serve("/big.zip", healthy);
        auto again = driver({job({fileJSON("/big.zip", "Big.pkg", 1)})});
        again->startDownload();
        ASSERT_TRUE(runUntil([&] { return delegate_->finished == 1; }));
        EXPECT_EQ(lastRangeFor(server_, "/big.zip"), c.rangeOfTheNextTry);
        EXPECT_TRUE(dltest::readFile(folder_ + "/Big.pkg") == package);
        std::filesystem::remove(folder_ + "/Big.pkg");
    }
}

TEST_F(FSDDownloadTest, AServerErrorOnAResumeWithinTheRunLeavesResumeDataForTheNextRun) {
    const std::string package = testsupport::LoopbackHttpServer::generatedBody(0, 300000);
    const std::string zip = dltest::makeZip({{"Big.pkg", package}});
    std::atomic<bool> healthy{false};
    // A cut after 100000 bytes, then a server error on the resume that
    // follows it at once; once healthy, the whole file with ranges.
    server_.setHandler([&](const testsupport::RecordedRequest& r) {
        if (r.path() != "/big.zip") return ScriptedReply::ok();
        if (!healthy && !r.header("Range").empty()) return ScriptedReply::withStatus(500, "oops");
        ScriptedReply reply = ScriptedReply::ok(zip);
        reply.etag = "\"z1\"";
        reply.supportRanges = true;
        if (!healthy) reply.closeAfterBodyBytes = 100000;
        return reply;
    });
    const auto file = fileJSON("/big.zip", "Big.pkg", 1, R"(,"TRANSIENT_ERROR_RETRY_COUNT":2)");
    auto d = driver({job({file})});
    d->startDownload();
    ASSERT_TRUE(runUntil([&] { return delegate_->failed == 1; }));
    ASSERT_TRUE(runUntil([&] { return d->isIdle(); }));
    EXPECT_EQ(lastRangeFor(server_, "/big.zip"), "bytes=100000-");
    EXPECT_EQ(dltest::readFile(folder_ + "/big.zip.fsd"), zip.substr(0, 100000));
    auto kept = readFSDResumeData(folder_ + "/.big.zip.fsd_resumedata");
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->offset, 100000u);
    EXPECT_EQ(kept->validator, "\"z1\"");

    healthy = true;
    const std::size_t before = requestsFor(server_, "/big.zip");
    delegate_ = std::make_shared<dltest::RecordingDelegate>();
    auto again = driver({job({file})});
    again->startDownload();
    ASSERT_TRUE(runUntil([&] { return delegate_->finished == 1; }));
    EXPECT_EQ(requestsFor(server_, "/big.zip"), before + 1);
    EXPECT_EQ(lastRangeFor(server_, "/big.zip"), "bytes=100000-");
    EXPECT_TRUE(dltest::readFile(folder_ + "/Big.pkg") == package);
}

TEST_F(FSDDownloadTest, AnArchiveLeftWholeByARunStoppedWhileUnpackingIsNotFetchedAgain) {
    const std::string zip = dltest::makeZip(
        {{"App.app/", "", ZipEntry::Folder}, {"App.app/Info.plist", std::string(5000, 'i')}});
    serveZip("/app.zip",
             {{"App.app/", "", ZipEntry::Folder}, {"App.app/Info.plist", std::string(5000, 'i')}});
    auto appJob = [&] {
        auto j = job({R"("source_file":")" + server_.url("/app.zip") + "\""});
        j->fileArray().back()->setAppName("App.app");
        return j;
    };
    // The first run stops inside the unzip tool; what it leaves on disk then
    // is what a run killed at that point leaves.
    const std::string marker = dir_.file("unzip-started");
    const std::string tool = dir_.file("hanging-unzip.sh");
    dltest::writeFile(tool, "#!/bin/sh\necho $$ > " + marker + ".tmp\nmv " + marker + ".tmp " +
                                marker + "\nexec sleep 60\n");
    ::chmod(tool.c_str(), 0755);
    FSDDownload::setUnzipToolPath(tool);
    auto first = driver({appJob()});
    first->startDownload();
    ASSERT_TRUE(runUntil([&] { return exists(marker); }));
    const std::string left = dir_.file("left");
    std::filesystem::copy(folder_, left);
    ::kill(std::stoi(dltest::readFile(marker)), SIGKILL);
    ASSERT_TRUE(runUntil([&] { return delegate_->failed == 1; }));
    FSDDownload::setUnzipToolPath("");
    ASSERT_EQ(requestsFor(server_, "/app.zip"), 1u);
    ASSERT_TRUE(exists(left + "/app.zip"));

    struct Case {
        const char* what;
        std::function<void(const std::string& archive)> change;
        std::size_t fetches;
    } cases[] = {
        {"whole", [](const std::string&) {}, 0},
        {"damaged",
         [&](const std::string& a) { dltest::writeFile(a, dltest::corrupted(zip, "iiii")); }, 1},
        {"longer", [&](const std::string& a) { dltest::writeFile(a, zip + "x"); }, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        folder_ = dir_.file(std::string("again-") + c.what);
        std::filesystem::copy(left, folder_);
        c.change(folder_ + "/app.zip");
        delegate_ = std::make_shared<dltest::RecordingDelegate>();
        auto before = requestsFor(server_, "/app.zip");
        auto d = driver({appJob()});
        d->startDownload();
        ASSERT_TRUE(runUntil([&] { return delegate_->finished == 1; }));
        EXPECT_EQ(requestsFor(server_, "/app.zip") - before, c.fetches);
        EXPECT_EQ(dltest::readFile(folder_ + "/App.app/Info.plist"), std::string(5000, 'i'));
        EXPECT_FALSE(exists(folder_ + "/app.zip"));
        EXPECT_FALSE(exists(folder_ + "/.app.zip.fsd_resumedata"));
    }
}

}  // namespace
