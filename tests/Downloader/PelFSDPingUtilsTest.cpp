#include <gtest/gtest.h>

#include <functional>

#include "Downloader/PelFSDPingUtils.h"
#include "Downloader/PingTestSupport.h"
#include "Platform/Http/HttpCurlClient.h"
#include "Platform/System/Paths.h"
#include "support/LoopbackHttpServer.h"
#include "support/TempDir.h"

using Fields = std::vector<std::pair<std::string, std::string>>;
using testsupport::LoopbackHttpServer;

namespace {

constexpr const char* kManifestId = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";
constexpr const char* kJobId = "11111111-2222-3333-4444-555555555555";
constexpr const char* kTransactionId = "AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE";

// Pings go to a loopback server; each test reads the exact query it got.
class PelFSDPingUtilsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        StatPing::setEndpointHosts(server_.hostAndPort(), server_.hostAndPort());
        PelFSDPingUtils::setInstallerDirWithManifestTimeStampSource(
            [] { return std::string("Installer_1700000000.000000_X"); });

        sender_ = PelFSDPingUtils::createFSDPingUtilsWithQueueName(
            std::string("com.pelgrave.fsdPing"), std::string("Ostrel"), std::string("8.4.2d1f3"),
            std::string("77"), std::nullopt);
        ASSERT_NE(sender_, nullptr);
        sender_->setHttpClient(client_);
    }
    void TearDown() override {
        ASSERT_TRUE(client_->requests().empty() || client_->waitUntilSettled());
        PelFSDPingUtils::setInstallerDirWithManifestTimeStampSource(nullptr);
        StatPing::setEndpointHosts("", "");
    }

    // The fields of the ping the server received last.
    Fields lastPing() {
        EXPECT_TRUE(client_->waitUntilSettled());
        auto requests = server_.requests();
        if (requests.empty()) return {};
        return pingtest::queryFields(requests.back().target);
    }

    static Fields base(std::string b = "", std::string c = "", std::string d = "") {
        return {{"module", "9090"},
                {"platform", "mac"},
                {"product", "Ostrel"},
                {"version", "8.4.2.1f3"},
                {"language", "French"},
                {"build", "77"},
                {"os", "12"},
                {"mid", "MACHINE-1"},
                {"B", b},
                {"C", c},
                {"D", d},
                {"g", "Installer_1700000000.000000_X"}};
    }
    static Fields with(Fields fields, const Fields& event) {
        fields.insert(fields.end(), event.begin(), event.end());
        fields.emplace_back("useragent", "PelOstrelInstaller-Ping");
        return fields;
    }

    testsupport::TempDir dir_;
    platform::Paths::ScopedRoot root_{dir_.path().string(), std::string("/home/tester")};
    pingtest::PingEnvironment environment_{dir_, "fr_FR.UTF-8"};
    LoopbackHttpServer server_;
    std::shared_ptr<pingtest::ObservingHttpClient> client_ =
        std::make_shared<pingtest::ObservingHttpClient>(
            std::make_shared<platform::CurlHttpClient>());
    std::shared_ptr<PelFSDPingUtils> sender_;
};

TEST_F(PelFSDPingUtilsTest, EveryEventSendsItsExactQuery) {
    using P = PelFSDPingUtils;
    platform::Error error("X", 1);
    struct Case {
        const char* name;
        std::function<void(P&)> send;
        Fields event;
    } cases[] = {
        {"job started", [](P& p) { p.sendFSDJobStartedPing(); }, {{"E", "0"}}},
        {"job finished", [](P& p) { p.sendFSDJobFinishedPing(); }, {{"E", "1"}}},
        {"retry, corrupt installer",
         [](P& p) { p.sendRetryDownloadPingWhenCorruptInstaller(2, 3, "/tmp/a"); },
         {{"E", "18"}, {"error", "1"}, {"I", "2"}, {"J", "3"}, {"N", "/tmp/a"}}},
        {"retry, install failed",
         [](P& p) { p.sendRetryDownloadPingWhenInstallFailed(1, 0, "p"); },
         {{"E", "-4"}, {"error", "1"}, {"I", "1"}, {"J", "0"}, {"N", "p"}}},
        {"retry, validation failed",
         [](P& p) { p.sendRetryDownloadPingWhenDownloadFilesValidationFailed(4, 5, std::nullopt); },
         {{"E", "20"}, {"error", "1"}, {"I", "4"}, {"J", "5"}, {"N", "(null)"}}},
        {"resume, no space",
         [](P& p) { p.sendResumeDownloadPingWhenNoSpaceError(1, 2, "q"); },
         {{"E", "21"}, {"error", "1"}, {"I", "1"}, {"J", "2"}, {"Y", "1"}, {"N", "q"}}},
        {"manifest verification failed",
         [&](P& p) { p.sendFSDManifestVerificationFailedPing(1, 1, -98, std::nullopt, &error); },
         {{"E", "22"},
          {"error", "1"},
          {"I", "1"},
          {"J", "1"},
          {"Y", "1"},
          {"L", "-98"},
          {"N", "(null)"}}},
        {"manifest parsing failed",
         [](P& p) { p.sendFSDManifestParsingFailedPing(1, 1, -97, "http://fail/over", nullptr); },
         {{"E", "23"},
          {"error", "1"},
          {"I", "1"},
          {"J", "1"},
          {"Y", "1"},
          {"L", "-97"},
          {"N", "http://fail/over"}}},
        {"download success",
         [](P& p) { p.sendDownloadSuccessPing(1048576, 0); },
         {{"error", "0"}, {"Y", "0"}, {"M", "1048576"}}},
        {"download failed",
         [&](P& p) { p.sendDownloadFailPing(12, "http://h/a b", &error, 1); },
         {{"error", "1"}, {"Y", "1"}, {"M", "12"}, {"N", "http://h/a b"}}},
        {"optional package failed",
         [&](P& p) { p.sendOptionalPkgDownloadFailPing(5, "u", -3, &error); },
         {{"error", "1"}, {"M", "5"}, {"N", "u"}, {"f", "-3"}}},
        {"setup installer failed",
         [&](P& p) { p.sendDownloadSetupInstallerFailPing("s", &error); },
         {{"error", "1"}, {"Y", "1"}, {"N", "s"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::size_t before = server_.requestCount();
        c.send(*sender_);
        ASSERT_TRUE(server_.waitForRequests(before + 1));
        EXPECT_EQ(lastPing(), with(base(), c.event));
    }
}

TEST_F(PelFSDPingUtilsTest, IdentifiersFillTheirFieldsOnceSet) {
    sender_->sendFSDJobStartedPing();
    ASSERT_TRUE(server_.waitForRequests(1));
    EXPECT_EQ(lastPing(), with(base(), {{"E", "0"}}));

    sender_->setManifest_id(platform::parseUuidText(kManifestId));
    sender_->setJob_id(platform::parseUuidText(kJobId));
    sender_->setTransaction_id(platform::parseUuidText(kTransactionId));
    // The folder list always comes from the application utilities.
    sender_->setInstallerDirWithManifestTimeStamp("ignored");
    sender_->sendFSDJobFinishedPing();
    ASSERT_TRUE(server_.waitForRequests(2));
    EXPECT_EQ(lastPing(), with(base(kManifestId, kJobId, kTransactionId), {{"E", "1"}}));

    sender_->setJob_id(std::nullopt);
    EXPECT_EQ(PelFSDPingUtils::UUIDToString(sender_->job_id()), "");
}

TEST_F(PelFSDPingUtilsTest, GenericPingTakesOnlyKnownKeys) {
    platform::Dictionary fields{{"E", platform::Value(1)},
                                {"Z", platform::Value(7)},
                                {"M", platform::Value(std::int64_t(0x100000005))},
                                {"N", platform::Value("n")},
                                {"error", platform::Value("-2")}};
    sender_->sendFSDPing(fields);
    ASSERT_TRUE(server_.waitForRequests(1));
    // Keys in the dictionary's order; "M" keeps its low 32 bits.
    EXPECT_EQ(lastPing(), with(base(), {{"E", "1"}, {"M", "5"}, {"N", "n"}, {"error", "-2"}}));
}

TEST(PelFSDPingUtilsFactoryTest, NeedsOneOfItsNames) {
    EXPECT_EQ(PelFSDPingUtils::createFSDPingUtilsWithQueueName(
                  std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::string("A")),
              nullptr);
    auto sender = PelFSDPingUtils::createFSDPingUtilsWithQueueName(
        std::nullopt, std::nullopt, std::nullopt, std::string("1"), std::nullopt);
    ASSERT_NE(sender, nullptr);
    EXPECT_EQ(sender->agentString(), PelFSDPingUtils::kDefaultUserAgent);
    EXPECT_EQ(sender->timeOutInterval(), 5.0);
    EXPECT_EQ(PelFSDPingUtils::versionStringWithBuildCharReplacedByDot("8.4.2f12"), "8.4.2.12");
}

}  // namespace
