#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "Downloader/DownloadTestSupport.h"
#include "pelsign/DevSigning.h"
#include "support/LoopbackHttpServer.h"
#include "support/TempDir.h"

#ifdef FSDTOOL_PATH

extern char** environ;

using testsupport::LoopbackHttpServer;
using testsupport::ScriptedReply;

namespace {

using dltest::exists;

std::uint64_t sizeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

class FsdToolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string text =
            std::string(
                R"({"fsd":{"global":{"manifest_version":2,"manifest_id":"0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0","failover":"http://f/o"},"job_array":[{"job_id":"11111111-2222-3333-4444-555555555555","distribution":{"transaction_id":"AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE"},"file_array":[{"source_file":")") +
            server_.url("/big.zip") + R"(","destination_file":"Big.pkg","file_priority":1}]}]}})";
        auto key = devsign::PrivateKey::loadPEM(PEL_DEV_MANIFEST_KEY);
        manifest_ = dir_.write("m/fsdmanifest.js", text);
        sig_ = dir_.write("m/fsdmanifest-sig.txt",
                          devsign::base64Lines(key.signMessage(platform::DigestAlgorithm::kSHA512,
                                                               text.data(), text.size())));
        folder_ = dir_.file("downloads");
    }

    pid_t start(const std::string& outputPath) {
        std::vector<std::string> args = {FSDTOOL_PATH,
                                         "fetch",
                                         "--manifest",
                                         manifest_,
                                         "--sig",
                                         sig_,
                                         "--dir",
                                         folder_,
                                         "--json",
                                         "--ping-host",
                                         server_.hostAndPort()};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> envStrings = {"PEL_PATH_ROOT=" + dir_.path().string()};
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "PEL_PATH_ROOT=", 14) != 0) envStrings.emplace_back(*e);
        std::vector<char*> envp;
        for (auto& e : envStrings) envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        EXPECT_EQ(::posix_spawn(&pid, FSDTOOL_PATH, &actions, nullptr, argv.data(), envp.data()),
                  0);
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }
    static int exitStatus(pid_t pid) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    testsupport::TempDir dir_;
    LoopbackHttpServer server_;
    std::string manifest_, sig_, folder_;
};

TEST_F(FsdToolTest, SigtermMidFileKeepsTheResumeFileAndASecondRunFinishesTheSamePackage) {
    const std::string package = LoopbackHttpServer::generatedBody(3, 1500000);
    const std::string zip = dltest::makeZip({{"Big.pkg", package}});
    ScriptedReply first = ScriptedReply::ok(zip);
    first.etag = "\"t1\"";
    first.supportRanges = true;
    first.stallAfterBodyBytes = 400000;
    ScriptedReply rest = first;
    rest.stallAfterBodyBytes.reset();
    int served = 0;
    server_.setHandler([&](const testsupport::RecordedRequest& r) {
        if (r.path() != "/big.zip") return ScriptedReply::ok();
        return served++ == 0 ? first : rest;
    });

    pid_t pid = start(dir_.file("run1.json"));
    for (int i = 0; i < 2000 && sizeOf(folder_ + "/big.zip.fsd") < 400000; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(sizeOf(folder_ + "/big.zip.fsd"), 400000u);
    ::kill(pid, SIGTERM);
    EXPECT_EQ(exitStatus(pid), 2);
    server_.releaseStalls();
    EXPECT_TRUE(exists(folder_ + "/.big.zip.fsd_resumedata"));
    EXPECT_FALSE(exists(folder_ + "/Big.pkg"));

    pid = start(dir_.file("run2.json"));
    EXPECT_EQ(exitStatus(pid), 0);
    EXPECT_TRUE(dltest::readFile(folder_ + "/Big.pkg") == package);
    for (const char* left : {"/big.zip.fsd", "/.big.zip.fsd_resumedata", "/big.zip"})
        EXPECT_FALSE(exists(folder_ + left)) << left;
    std::vector<std::string> ranges;
    for (const auto& r : server_.requests())
        if (r.path() == "/big.zip") ranges.push_back(r.header("Range"));
    EXPECT_EQ(ranges, (std::vector<std::string>{"", "bytes=400000-"}));
    std::string json = dltest::readFile(dir_.file("run2.json"));
    EXPECT_EQ(json.find(R"({"call":"numberOfJobs","files":1,"jobs":1})"), 0u) << json;
    EXPECT_NE(json.find(R"({"call":"downloadDidFinish"})"), std::string::npos);
}

TEST_F(FsdToolTest, APackageCutShortFailsTheRunAndTheNextRunFetchesItWhole) {
    const std::string zip =
        dltest::makeZip({{"Big.pkg", LoopbackHttpServer::generatedBody(0, 9000)}});
    // No length, and the connection closed halfway: the body looks whole.
    ScriptedReply cut = ScriptedReply::ok(zip);
    cut.omitContentLength = true;
    cut.closeConnection = true;
    cut.closeAfterBodyBytes = zip.size() / 2;
    // The handler owns what it answers with: the server's connection threads
    // may still run it after this test's locals are gone.
    auto healthy = std::make_shared<std::atomic<bool>>(false);
    server_.setHandler([zip, cut, healthy](const testsupport::RecordedRequest& r) {
        if (r.path() != "/big.zip") return ScriptedReply::ok();
        return *healthy ? ScriptedReply::ok(zip) : cut;
    });

    EXPECT_EQ(exitStatus(start(dir_.file("run1.json"))), 1);
    EXPECT_FALSE(exists(folder_ + "/Big.pkg"));
    std::string json = dltest::readFile(dir_.file("run1.json"));
    EXPECT_NE(json.find(R"("call":"downloadDidFailWithError")"), std::string::npos) << json;
    EXPECT_EQ(json.find(R"({"call":"downloadDidFinish"})"), std::string::npos) << json;

    *healthy = true;
    EXPECT_EQ(exitStatus(start(dir_.file("run2.json"))), 0);
    EXPECT_EQ(dltest::readFile(folder_ + "/Big.pkg"), LoopbackHttpServer::generatedBody(0, 9000));
}

}  // namespace

#endif
