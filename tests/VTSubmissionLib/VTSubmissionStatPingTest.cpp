#include <gtest/gtest.h>

#include "Platform/System/Paths.h"
#include "SubmissionTestSupport.h"
#include "VTErrorCreationLib/VTLocalSettingsClient.h"
#include "VTSubmissionLib/VTSubmissionSession.h"
#include "VTSubmissionLib/VTSubmissionStatPingOperation.h"
#include "support/FakeClock.h"

using namespace std::chrono_literals;
using testsupport::LoopbackHttpServer;
using testsupport::ScriptedReply;

namespace {

struct StatFixture {
    explicit StatFixture(LoopbackHttpServer& server) {
        VTSubmissionStatPingOperation::setHost(server.hostAndPort());
        client = VTClient::embeddedClientWithConfig(*fx.configuration, nullptr);
        session = VTSubmissionSession::initWithClient(client, nullptr);
    }
    ~StatFixture() { VTSubmissionStatPingOperation::setHost(""); }

    std::shared_ptr<VTSubmissionStatPingOperation> runPing() {
        auto op = std::make_shared<VTSubmissionStatPingOperation>(session);
        op->start();
        EXPECT_TRUE(platform::RunLoop::runUntil([&] { return op->isFinished(); }, 15s));
        return op;
    }

    subtest::Fixture fx;
    std::shared_ptr<VTClient> client;
    std::shared_ptr<VTSubmissionSession> session;
};

}  // namespace

TEST(VTSubmissionStatPingTest, DurationCountersAndProduct) {
    testsupport::ScopedFakeClock clock;
    LoopbackHttpServer server;
    StatFixture sf(server);
    sf.client->setProductName(std::string("Ostrel"));
    sf.client->setProductVersion(std::string("8.4"));
    ASSERT_TRUE(sf.session->start(nullptr));
    sf.session->statistics().numberNewActionsFromGateway = (std::int64_t{1} << 32) + 3;
    (*clock).advance(2500ms);
    auto op = sf.runPing();
    EXPECT_EQ(op->attempts(), 1);
    ASSERT_EQ(server.requestCount(), 1u);
    const auto request = server.requests()[0];
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.path(), "/n/p");
    EXPECT_EQ(request.header("User-Agent"), "Ostrel QMError Mac/2.0");
    auto q = subtest::parseForm(request.query());
    EXPECT_EQ(q["k"], "2500");
    EXPECT_EQ(q["e"], "3");  // low 32 bits
    EXPECT_EQ(q["module"], "5023");
    EXPECT_EQ(q["error"], "2");
    EXPECT_EQ(q["j"], "0");
    EXPECT_EQ(q["build"], "Retail");
    EXPECT_EQ(q["product"], "Ostrel");
    EXPECT_EQ(q["version"], "8.4");
    EXPECT_FALSE(q["os"].empty());
    EXPECT_FALSE(q["language"].empty());
}

TEST(VTSubmissionStatPingTest, RetriedOnceAndOverriddenByTheAutomationFile) {
    LoopbackHttpServer server;
    server.setDefaultReply(ScriptedReply::withStatus(503));
    StatFixture sf(server);
    sf.fx.temp().write(platform::Paths::resolve(
                           "/Library/Application Support/com.pelgrave.automation/StatPing.json")
                           .substr(sf.fx.temp().path().string().size() + 1),
                       R"({"module": 7000, "extra": "x y"})");
    auto op = sf.runPing();
    EXPECT_EQ(op->attempts(), 2);
    ASSERT_EQ(server.requestCount(), 2u);
    auto q = subtest::parseForm(server.requests()[1].query());
    EXPECT_EQ(q["module"], "7000");
    EXPECT_EQ(q["extra"], "x y");
    EXPECT_EQ(q["a"], "5023");
}

TEST(VTSubmissionStatPingTest, CancelEndsAtOnceWithoutTheMainQueue) {
    LoopbackHttpServer server;
    ScriptedReply stall;
    stall.stallBeforeReply = true;
    server.setDefaultReply(stall);
    StatFixture sf(server);
    auto op = std::make_shared<VTSubmissionStatPingOperation>(sf.session);
    op->start();
    ASSERT_TRUE(server.waitForRequests(1));
    op->cancel();
    EXPECT_TRUE(op->isFinished());
    server.releaseStalls();
    platform::RunLoop::runUntil([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_EQ(op->attempts(), 1);
}

TEST(VTSubmissionStatPingTest, ProductFields) {
    LoopbackHttpServer server;
    StatFixture sf(server);
    auto fields = [](const std::shared_ptr<VTClient>& client) {
        VTSubmissionStatPingOperation::Fields f;
        VTSubmissionStatPingOperation::addProductInformation(f, client);
        return std::map<std::string, std::string>(f.begin(), f.end());
    };
    // No product name or version: the defaults, not an abort.
    auto plain = fields(sf.client);
    EXPECT_EQ(plain["build"], "Retail");
    EXPECT_EQ(plain["product"], "Unknown");
    EXPECT_EQ(plain["version"], "Unknown");
    // A registry identifier the registry does not know: no product fields.
    sf.client->setProductRegistryID(std::string("{no-such-product}"));
    EXPECT_TRUE(fields(sf.client).empty());
}

TEST(VTSubmissionStatPingTest, LanguageNames) {
    const std::pair<const char*, const char*> cases[] = {
        {"zh-Hant-TW", "TraditionalChinese"},
        {"zh_TW.UTF-8", "TraditionalChinese"},
        {"zh_CN", "Chinese"},
        {"pt_BR.UTF-8", "Brazilian"},
        {"pt_PT", "Portuguese"},
        {"pt", "English"},
        {"de_DE@euro", "German"},
        {"sk_SK", "Slovak"},
        {"xx_YY", "English"},
        {"", "English"},
    };
    for (const auto& [locale, name] : cases)
        EXPECT_EQ(VTSubmissionStatPingOperation::languageNameForLocale(locale), name) << locale;
}
