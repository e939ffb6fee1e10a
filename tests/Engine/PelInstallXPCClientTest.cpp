#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "Engine/PelInstallXPCClient.h"
#include "EngineTestSupport.h"
#include "InstallRecorders.h"
#include "support/FakeClock.h"
#include "support/FakeHelperProcess.h"

using platform::Array;
using platform::Dictionary;
using platform::Value;

namespace {

class PelInstallXPCClientTest : public enginetest::EngineFixture {
  protected:
    PelInstallXPCClientTest() {
        client_->setProduct(&progress_);
        client_->setPlugin(&plugin_);
    }
    ~PelInstallXPCClientTest() override { client_->abandonSession(); }

    bool startHelper(std::vector<std::string> steps, std::optional<uid_t> uid = std::nullopt) {
        return helper_.start(
            {kPelInstallHelperLabel, platform::XpcServiceScope::System, std::move(steps), uid});
    }
    // Lets the watchdog's hour pass and waits until the client has handled it.
    void anHourPasses() {
        clock_->advance(kPelInstallWatchdog + std::chrono::seconds(2));
        client_->serialQueue()->sync([] {});
    }

    static Array packages() {
        return {Value(Dictionary{{"pkgName", Value("/a.pkg")},
                                 {"pkgPriority", Value(-1)},
                                 {"pingModuleID", Value(5)}}),
                Value(Dictionary{{"pkgName", Value("/b.pkg")},
                                 {"pkgPriority", Value(0)},
                                 {"pingModuleID", Value(6)}})};
    }

    testsupport::ScopedFakeClock clock_;
    std::shared_ptr<PelInstallXPCClient> client_ = std::make_shared<PelInstallXPCClient>();
    enginetest::RecordingProgress progress_;
    enginetest::RecordingPlugin plugin_;
    testsupport::FakeHelperProcess helper_;
};

TEST_F(PelInstallXPCClientTest, RequestsAreTypedAndStatusesCountPackagesToOneCompletion) {
    ASSERT_TRUE(startHelper(
        {R"(expect {"PelInstallType": "102", "PelInstallPartnerPath": "/p/partner.plist"})",
         R"(expect {"PelInstallType": "101", "PelInstallTarget": "/",
                   "PelInstallPackages": [{"pkgName": "/a.pkg", "pkgPriority": -1, "pingModuleID": 5},
                                          {"pkgName": "/b.pkg", "pkgPriority": 0, "pingModuleID": 6}],
                   "PelInstallPostInstallTools": ["/usr/libexec/tool"]})",
         R"(send {"PelServerMessageType": "201", "PelInstallPhase": "Writing files"})",
         R"(send {"PelServerMessageType": "200", "PelInstallPercent": "50"})",
         R"(send {"PelServerMessageType": "204", "pingModuleID": 5, "termStatus": 1, "md5Hash": "00ff"})",
         R"(send {"PelServerMessageType": "203", "PelInstallStatus": "303"})",
         R"(send {"PelServerMessageType": "203", "PelInstallStatus": "306"})",
         R"(send {"PelServerMessageType": "203", "PelInstallStatus": "307"})",
         R"(send {"PelServerMessageType": "203", "PelInstallStatus": "305"})",
         R"(send {"PelServerMessageType": "203", "PelInstallStatus": "many"})",
         R"(send {"PelServerMessageType": "200", "PelInstallPercent": "50"})",
         R"(send {"PelServerMessageType": "200"})",
         R"(send {"PelServerMessageType": "203", "PelInstallStatus": "304"})", "wait-close"}));
    ASSERT_TRUE(client_->PelXPC_CreateMachService(kPelInstallHelperLabel));
    ASSERT_TRUE(client_->PelXPC_CreateMachService(kPelInstallHelperLabel));  // no second session
    ASSERT_TRUE(client_->sendInstallCopyPartnerFile("/p/partner.plist"));
    ASSERT_TRUE(
        client_->sendInstallSetupPackages(packages(), {Value("/usr/libexec/tool"), Value(3)}));
    ASSERT_TRUE(progress_.completed.waitFor(1));
    const auto status = helper_.wait();
    ASSERT_TRUE(status) << helper_.errorOutput();
    EXPECT_EQ(*status, 0) << helper_.errorOutput();

    anHourPasses();
    EXPECT_EQ(progress_.get(progress_.completions), std::vector<int>{304});
    EXPECT_EQ(progress_.get(progress_.packageCounts), std::vector<std::uint64_t>{1});
    EXPECT_EQ(progress_.get(progress_.percents), (std::vector<double>{25.0, 100.0}));
    EXPECT_EQ(progress_.eventsNamed("phase"), std::vector<std::string>{"Writing files"});
    const auto failures = progress_.get(progress_.optionalFailures);
    ASSERT_EQ(failures.size(), 1u);
    // A record cannot hold a missing text: the reason is left out.
    EXPECT_EQ(failures[0], (Dictionary{{"pingModuleID", Value(5)},
                                       {"termStatus", Value(1)},
                                       {"md5Hash", Value("00ff")}}));
    EXPECT_EQ(plugin_.calls(), std::vector<std::string>{"completeWithDelegate:1"});
    EXPECT_EQ(client_->pelInstallStatus(), 304);
}

TEST_F(PelInstallXPCClientTest, AHelperThatDiesEndsTheSessionWithFailureAndThePluginUntold) {
    ASSERT_TRUE(startHelper({"expect-any", "crash"}));
    ASSERT_TRUE(client_->PelXPC_CreateMachService(kPelInstallHelperLabel));
    ASSERT_TRUE(client_->sendInstallCopyPartnerFile("/p"));
    ASSERT_TRUE(progress_.completed.waitFor(1));
    anHourPasses();
    EXPECT_EQ(progress_.get(progress_.completions), std::vector<int>{302});
    EXPECT_TRUE(plugin_.calls().empty());
}

TEST_F(PelInstallXPCClientTest, NobodyOrANonRootListenerFailsInSecondsAndOnlyOnce) {
    for (bool nonRoot : {false, true}) {
        SCOPED_TRACE(nonRoot ? "non-root listener" : "nobody listening");
        auto client = std::make_shared<PelInstallXPCClient>();
        enginetest::RecordingProgress progress;
        client->setProduct(&progress);
        testsupport::FakeHelperProcess helper;
        if (nonRoot) {
            if (geteuid() != 0) GTEST_SKIP() << "needs root";
            // Let an ordinary user make its socket inside the test's root.
            const std::string folder = rooted("/var/run/pelgrave");
            std::filesystem::create_directories(folder);
            for (std::filesystem::path p = folder; p != dir_.path().parent_path();
                 p = p.parent_path())
                ::chmod(p.c_str(), 0755);
            ::chmod(folder.c_str(), 0777);
            ASSERT_TRUE(helper.start({kPelInstallHelperLabel,
                                      platform::XpcServiceScope::System,
                                      {"sleep 20000"},
                                      uid_t(65534)}));
        }
        ASSERT_TRUE(client->PelXPC_CreateMachService(kPelInstallHelperLabel));
        client->sendInstallCopyPartnerFile("/p");
        ASSERT_TRUE(progress.completed.waitFor(1, std::chrono::seconds(10)));
        clock_->advance(kPelInstallWatchdog + std::chrono::seconds(2));
        client->serialQueue()->sync([] {});
        EXPECT_EQ(progress.get(progress.completions), std::vector<int>{302});
    }
}

TEST_F(PelInstallXPCClientTest, ASilentHelperTimesOutOnceAfterAnHour) {
    ASSERT_TRUE(startHelper({"expect-any",
                             R"(send {"PelServerMessageType": "203", "PelInstallStatus": "301"})",
                             "hang"}));
    ASSERT_TRUE(client_->PelXPC_CreateMachService(kPelInstallHelperLabel));
    ASSERT_TRUE(client_->sendInstallSetupPackage("/a.pkg", {}));
    // The keep-alive comes in before the hour starts to count.
    for (int i = 0; i < 200 && client_->pelInstallStatus() != 301; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(client_->pelInstallStatus(), 301);
    clock_->advance(kPelInstallWatchdog - std::chrono::seconds(5));
    client_->serialQueue()->sync([] {});
    EXPECT_TRUE(progress_.get(progress_.completions).empty());
    anHourPasses();
    anHourPasses();
    EXPECT_EQ(progress_.get(progress_.completions), std::vector<int>{305});
    EXPECT_TRUE(plugin_.calls().empty());
}

TEST_F(PelInstallXPCClientTest, PluginFinishedCountsOnceFromAnyThreadAndAFailureWins) {
    enginetest::RecordingProgress progress;
    client_->setProduct(&progress);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) threads.emplace_back([&] { client_->pluginFinished(false); });
    for (auto& t : threads) t.join();
    client_->pluginFinished(true);
    EXPECT_EQ(progress.get(progress.completions), std::vector<int>{302});
}

TEST_F(PelInstallXPCClientTest, OverallPercentTable) {
    struct Case {
        std::size_t total, finished;
        const char* percent;
        std::optional<double> expected;
    } cases[] = {
        {3, 1, "50", 33 + 50.0 / 3}, {2, 1, "100", 100.0},        {2, 2, "50", 100.0},
        {1, 0, "-20", 0.0},          {1, 0, "nan", std::nullopt}, {1, 0, "", std::nullopt},
    };
    for (const auto& c : cases) {
        auto client = std::make_shared<PelInstallXPCClient>();
        Array list(c.total, Value(Dictionary{{"pkgName", Value("/x.pkg")}}));
        client->sendInstallSetupPackages(list, {});  // not connected: only counts
        for (std::size_t i = 0; i < c.finished; ++i)
            client->handleServerResponse(platform::xpcDictionary(
                {{"PelServerMessageType", platform::XpcObject::makeString("203")},
                 {"PelInstallStatus", platform::XpcObject::makeString("303")}}));
        const auto got = client->percentString(c.percent);
        ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.total << "/" << c.percent;
        if (got) {
            EXPECT_NEAR(*got, *c.expected, 1e-9) << c.total << "/" << c.percent;
        }
    }
    // Before any request: no total to divide by.
    EXPECT_EQ(std::make_shared<PelInstallXPCClient>()->percentString("42"), 42.0);
}

}  // namespace
