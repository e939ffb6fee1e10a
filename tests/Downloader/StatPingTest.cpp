#include <gtest/gtest.h>

#include <optional>

#include "Downloader/PingSupport.h"
#include "Downloader/PingTestSupport.h"
#include "Downloader/StatPing.h"
#include "Platform/Http/HttpCurlClient.h"
#include "Platform/System/Bundle.h"
#include "Platform/System/Paths.h"
#include "Platform/Values/PropertyList.h"
#include "support/LoopbackHttpServer.h"
#include "support/TempDir.h"

using pingtest::ObservingHttpClient;
using pingtest::ScriptedHttpClient;
using testsupport::LoopbackHttpServer;
using testsupport::ScriptedReply;

namespace {

class StatPingFallbackTest : public ::testing::Test {
  protected:
    void TearDown() override { StatPing::setEndpointHosts("", ""); }

    LoopbackHttpServer primary_, backup_;
    std::shared_ptr<platform::CurlHttpClient> curl_ = std::make_shared<platform::CurlHttpClient>();
};

// Which primary outcomes lead to the one backup attempt.
TEST_F(StatPingFallbackTest, BackupIsTriedOnceUnlessThePrimaryAccepted) {
    ScriptedReply stall;
    stall.stallBeforeReply = true;
    struct Case {
        const char* name;
        std::optional<ScriptedReply> primaryReply;  // none: nothing listens there
        bool backupExpected;
    } cases[] = {
        {"200", ScriptedReply::withStatus(200), false},
        {"203", ScriptedReply::withStatus(203), false},
        {"204", ScriptedReply::withStatus(204), true},
        {"301", ScriptedReply::redirect(301, primary_.url("/moved")), true},
        {"500", ScriptedReply::withStatus(500), true},
        {"refused connection", std::nullopt, true},
        {"stall past the time-out", stall, true},
    };
    backup_.setDefaultReply(ScriptedReply::withStatus(500));  // never leads further
    const std::string refusedHost = "127.0.0.1:" + std::to_string(LoopbackHttpServer::unusedPort());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::size_t primaryBefore = primary_.requestCount(), backupBefore = backup_.requestCount();
        if (c.primaryReply) primary_.enqueue(*c.primaryReply);
        StatPing::setEndpointHosts(c.primaryReply ? primary_.hostAndPort() : refusedHost,
                                   backup_.hostAndPort());
        auto client = std::make_shared<ObservingHttpClient>(curl_);
        StatPing ping("com.pelgrave.test.ping", std::string("Agent/1"), 0.5);
        ping.setHttpClient(client);
        ping.submitWithDataString("a=1&b=two words");
        ASSERT_TRUE(client->waitUntilSettled());
        primary_.releaseStalls();

        const std::string target = "/n/p?a=1&b=two%20words&useragent=Agent/1";
        if (c.primaryReply) {
            ASSERT_EQ(primary_.requestCount(), primaryBefore + 1);  // a redirect is not followed
            auto sent = primary_.requests().back();
            EXPECT_EQ(sent.target, target);
            EXPECT_EQ(sent.header("useragent"), "Agent/1");
        }
        ASSERT_EQ(backup_.requestCount(), backupBefore + (c.backupExpected ? 1 : 0));
        if (c.backupExpected) {
            EXPECT_EQ(backup_.requests().back().target, target);
            EXPECT_EQ(backup_.requests().back().header("useragent"), "Agent/1");
        }
    }
}

TEST_F(StatPingFallbackTest, SenderWithoutAgentSendsNoAgent) {
    StatPing::setEndpointHosts(primary_.hostAndPort(), backup_.hostAndPort());
    auto client = std::make_shared<ObservingHttpClient>(curl_);
    StatPing ping("com.pelgrave.test.ping", std::nullopt);
    EXPECT_EQ(ping.timeOutInterval(), 5.0);
    ping.setHttpClient(client);
    ping.submitWithDataString("x=1");
    ASSERT_TRUE(client->waitUntilSettled());
    auto sent = primary_.requests().at(0);
    EXPECT_EQ(sent.target, "/n/p?x=1");
    EXPECT_FALSE(sent.hasHeader("useragent"));
    EXPECT_EQ(backup_.requestCount(), 0u);
}

// Not being connected cannot be made on loopback: a scripted client gives it.
TEST(StatPingTest, OnlyTheNotConnectedErrorEndsThePingWithoutBackup) {
    struct Case {
        long primaryError;
        std::size_t requests;
    } cases[] = {
        {platform::kURLErrorNotConnectedToInternet, 1},
        {platform::kURLErrorTimedOut, 2},
        {platform::kURLErrorCannotFindHost, 2},
        {platform::kURLErrorCannotConnectToHost, 2},
    };
    for (const auto& c : cases) {
        auto scripted =
            std::make_shared<ScriptedHttpClient>([&](const platform::HttpRequest&, int n) {
                return n == 0 ? ScriptedHttpClient::failure(c.primaryError)
                              : ScriptedHttpClient::status(200);
            });
        auto client = std::make_shared<ObservingHttpClient>(scripted);
        StatPing ping("q", std::string("A"));
        ping.setHttpClient(client);
        ping.submitWithDataString("k=v");
        ASSERT_TRUE(client->waitUntilSettled());
        auto requests = client->requests();
        ASSERT_EQ(requests.size(), c.requests) << c.primaryError;
        EXPECT_EQ(requests[0].url(), "http://stats.pelgrave.com/n/p?k=v&useragent=A");
        EXPECT_FALSE(requests[0].followsRedirects());
        EXPECT_EQ(requests[0].timeoutInterval(), 5.0);
        if (c.requests == 2) {
            EXPECT_EQ(requests[1].url(), "http://stats2.pelgrave.com/n/p?k=v&useragent=A");
        }
    }
}

TEST(StatPingTest, WholeURLEscapingKeepsURLCharactersAndEscapesTheRest) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"http://h:80/n/p?a=1&b=2", "http://h:80/n/p?a=1&b=2"},
        {"-_.!~*'();/?:@&=+$,", "-_.!~*'();/?:@&=+$,"},
        {"two words", "two%20words"},
        {"100%", "100%25"},
        {"a#b", "a%23b"},  // would otherwise cut the query off as a fragment
        {"\"<>\\^`{|}[]", "%22%3C%3E%5C%5E%60%7B%7C%7D%5B%5D"},
        {"Zürich", "Z%C3%BCrich"},
        {"line\nbreak", "line%0Abreak"},
    };
    for (const auto& c : cases) EXPECT_EQ(StatPing::escapeURLString(c.in), c.out) << c.in;
}

TEST_F(StatPingFallbackTest, HashInAValueKeepsTheRestOfTheQuery) {
    StatPing::setEndpointHosts(primary_.hostAndPort(), backup_.hostAndPort());
    auto client = std::make_shared<ObservingHttpClient>(curl_);
    StatPing ping("q", std::string("A"));
    ping.setHttpClient(client);
    ping.submitWithDataString("b=error #5 in step&h=3");
    ASSERT_TRUE(client->waitUntilSettled());
    auto fields = pingtest::queryFields(primary_.requests().at(0).target);
    std::vector<std::pair<std::string, std::string>> expected = {
        {"b", "error #5 in step"}, {"h", "3"}, {"useragent", "A"}};
    EXPECT_EQ(fields, expected);
}

TEST(StatPingValuesTest, LanguageTableLookups) {
    struct Case {
        const char* locale;
        const char* name;
    } cases[] = {
        {"en_US.UTF-8", "English"},
        {"de_DE", "German"},
        {"fr", "French"},
        {"no_NO", "Norwegian"},
        {"pt_BR.UTF-8", "Brazilian"},
        {"pt_PT", "Portuguese"},
        {"pt", "English"},
        {"zh-Hant", "TraditionalChinese"},
        {"zh-Hans-CN", "Chinese"},
        {"zh_TW.UTF-8", "TraditionalChinese"},
        {"zh_CN", "Chinese"},
        {"zh_HK", "English"},
        {"th_TH", "English"},
        {"sv_SE@euro", "Swedish"},
        {"", "English"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(StatPing::languageNameForLocale(c.locale), c.name) << c.locale;
    // The language alone wins over script and country forms.
    EXPECT_EQ(StatPing::languageNameFor("ja", "Hant", "TW"), "Japanese");
    EXPECT_EQ(StatPing::languageNameFor("zh", "Hant", "CN"), "TraditionalChinese");
    EXPECT_EQ(StatPing::languageNameFor("zh", "", "CN"), "Chinese");
}

class StatPingCachedValuesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        StatPing::resetCachedValuesForTesting();
        pings::setProcessLogSink(log_);
    }
    void TearDown() override {
        StatPing::resetCachedValuesForTesting();
        StatPing::setMachineIdSource(nullptr);
        pings::setProcessLogSink(nullptr);
        platform::Bundle::setMainBundle(nullptr);
    }
    testsupport::TempDir dir_;
    std::shared_ptr<platform::RecordingLogSink> log_ =
        std::make_shared<platform::RecordingLogSink>();
};

TEST_F(StatPingCachedValuesTest, OSVersionComesFromTheReleaseFileOnceAndStays) {
    platform::Paths::ScopedRoot root(dir_.path().string());
    dir_.write("etc/os-release", "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\nID=debian\n");
    EXPECT_EQ(StatPing::osVersion(), "12");
    dir_.write("etc/os-release", "VERSION_ID=13\n");
    EXPECT_EQ(StatPing::osVersion(), "12");

    StatPing::resetCachedValuesForTesting();
    EXPECT_EQ(StatPing::osVersion(), "13");

    std::filesystem::remove(dir_.file("etc/os-release"));
    dir_.write("usr/lib/os-release", "VERSION_ID='11'\n");
    StatPing::resetCachedValuesForTesting();
    EXPECT_EQ(StatPing::osVersion(), "11");

    std::filesystem::remove(dir_.file("usr/lib/os-release"));
    StatPing::resetCachedValuesForTesting();
    EXPECT_EQ(StatPing::osVersion(), "Unknown");
}

TEST_F(StatPingCachedValuesTest, MachineIdentifierFallsBackToZero) {
    struct Case {
        const char* id;
        const char* expected;
        bool logged;
    } cases[] = {
        {"4B1D2C3E-0000-4000-8000-00000000ABCD", "4B1D2C3E-0000-4000-8000-00000000ABCD", false},
        {"", "", false},
        {nullptr, "0", true},
        {"\xff\xfe", "0", true},
    };
    for (const auto& c : cases) {
        StatPing::resetCachedValuesForTesting();
        log_->clear();
        StatPing::setMachineIdSource([&] { return c.id; });
        EXPECT_EQ(StatPing::machineIdString(), c.expected);
        StatPing::setMachineIdSource([] { return "changed"; });
        EXPECT_EQ(StatPing::machineIdString(), c.expected);
        std::vector<std::string> expectedLog;
        if (c.logged)
            expectedLog.push_back("Failed to generate machine ID. Using default value (zero).");
        EXPECT_EQ(log_->messages(), expectedLog);
    }
}

TEST_F(StatPingCachedValuesTest, BundleValuesOrEmptyWithAMessage) {
    platform::Dictionary info{{"CFBundleShortVersionString", platform::Value("8.4.2")},
                              {"CFBundleVersion", platform::Value("8.4.2f21")}};
    ASSERT_TRUE(platform::PropertyList::toFile(platform::Value(info), dir_.file("Info.plist"),
                                               platform::PropertyListFormat::XML, false, nullptr));
    platform::Bundle::setMainBundle(std::make_shared<platform::Bundle>(dir_.path().string()));
    EXPECT_EQ(StatPing::bundleVersionString(), "8.4.2");
    EXPECT_EQ(StatPing::buildNumberString(), "8.4.2f21");
    EXPECT_EQ(StatPing::subProductName(), "");
    EXPECT_EQ(log_->messages(),
              std::vector<std::string>{"StatPing: SubproductName is NULL, returning empty string"});
}

}  // namespace
