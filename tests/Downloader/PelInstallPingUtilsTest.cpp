#include <gtest/gtest.h>

#include <functional>

#include "Downloader/PelInstallPingUtils.h"
#include "Downloader/PingTestSupport.h"
#include "Platform/System/Paths.h"
#include "support/TempDir.h"

using pingtest::ObservingHttpClient;
using pingtest::ScriptedHttpClient;
using Fields = std::vector<std::pair<std::string, std::string>>;
using platform::Dictionary;
using platform::Value;

namespace {

constexpr const char* kHome = "/home/tester";

class PelInstallPingUtilsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sender_ = PelInstallPingUtils::createInstallPingUtilsWithQueueName(
            std::string("com.pelgrave.installPing"), std::string("Ostrel Antivirus"),
            std::string("8.4.2f12"), std::string("1234"), std::nullopt, std::string("CALLER-MID"));
        ASSERT_NE(sender_, nullptr);
        sender_->setHttpClient(client_);
        sender_->setUParamValue(0xabcUL);
        sender_->setOfgParamValue(0x100000000ULL);
    }
    void TearDown() override {
        ASSERT_TRUE(client_->requests().empty() || client_->waitUntilSettled());
    }

    // The fields of the last ping sent.
    Fields lastPing() const {
        auto requests = client_->requests();
        if (requests.empty()) return {};
        return pingtest::queryFields(requests.back().url());
    }

    static Fields installBase(std::string module = "9000", std::string os = "12") {
        return {{"OS", os},
                {"U", "abc"},
                {"build", "1234"},
                {"g", "MACHINE-1"},
                {"language", "German"},
                {"mid", "MACHINE-1"},
                {"module", module},
                {"ofg", "100000000"},
                {"platform", "mac"},
                {"product", "Ostrel Antivirus"},
                {"version", "8.4.2.12"}};
    }
    static Fields packageBase(std::string module = "9000") {
        return {{"OS", "12"},           {"build", "1234"},
                {"g", "MACHINE-1"},     {"language", "German"},
                {"mid", "MACHINE-1"},   {"module", module},
                {"platform", "mac"},    {"product", "Ostrel Antivirus"},
                {"version", "8.4.2.12"}};
    }
    static Fields with(Fields base, const Fields& event) {
        base.insert(base.end(), event.begin(), event.end());
        base.emplace_back("useragent", "PelOstrelInstaller-Ping");
        return base;
    }

    testsupport::TempDir dir_;
    platform::Paths::ScopedRoot root_{dir_.path().string(), std::string(kHome)};
    pingtest::PingEnvironment environment_{dir_, "de_DE.UTF-8"};
    std::shared_ptr<ObservingHttpClient> client_ =
        std::make_shared<ObservingHttpClient>(std::make_shared<ScriptedHttpClient>());
    std::shared_ptr<PelInstallPingUtils> sender_;
};

TEST_F(PelInstallPingUtilsTest, EveryEventSendsItsExactQuery) {
    using P = PelInstallPingUtils;
    const std::vector<std::string> codes{"ABCDEF", "XY", "QRS"}, shortCode{"AB"};
    const std::string home = kHome;
    struct Case {
        const char* name;
        std::function<void(P&)> send;
        Fields event;
    } cases[] = {
        {"launched",
         [](P& p) { p.sendInstallLaunched(); },
         {{"error", "2"}, {"upgrade", "0"}, {"mid", "CALLER-MID"}}},
        {"begin",
         [](P& p) { p.sendInstallBegin(); },
         {{"error", "100"}, {"upgrade", "0"}, {"mid", "CALLER-MID"}}},
        {"success",
         [](P& p) { p.sendInstallSuccessWithTime(1500); },
         {{"error", "0"}, {"upgrade", "0"}, {"h", "1500"}, {"mid", "CALLER-MID"}}},
        {"success, removed, no reboot",
         [](P& p) { p.sendInstallSuccessProductRemovedNoRebootWithTime(7); },
         {{"error", "0"}, {"upgrade", "2"}, {"h", "7"}}},
        {"success, seamless upgrade",
         [](P& p) { p.sendInstallSuccessSeamlessUpgradeWithTime(8); },
         {{"error", "0"}, {"upgrade", "4"}, {"h", "8"}}},
        {"failed, home folder hidden",
         [&](P& p) { p.sendInstallFailed(-5, home + "/Library/x failed; see " + home); },
         {{"error", "1"}, {"upgrade", "0"}, {"a", "-5"}, {"b", "~/Library/x failed; see ~"}}},
        {"failed without reason",
         [](P& p) { p.sendInstallFailed(2, std::nullopt); },
         {{"error", "1"}, {"upgrade", "0"}, {"a", "2"}, {"b", "(null)"}}},
        {"failed to remove product",
         [&](P& p) { p.sendInstallFailedToRemoveProduct(3, home + "/x"); },
         {{"error", "1"}, {"upgrade", "3"}, {"a", "3"}, {"b", "/home/tester/x"}}},
        {"failed seamless upgrade",
         [](P& p) { p.sendInstallFailedSeamlessUpgrade(4, "r"); },
         {{"error", "1"}, {"upgrade", "5"}, {"a", "4"}, {"b", "r"}}},
        {"hard block",
         [&](P& p) { p.sendInstallFailedHardBlock(9, "blocked", &codes); },
         {{"error", "1"}, {"upgrade", "0"}, {"a", "9"}, {"b", "blocked"}, {"M", "ABC|QRS"}}},
        {"hard block, no usable code",
         [&](P& p) { p.sendInstallFailedHardBlock(9, home + " blocked", &shortCode); },
         {{"error", "1"}, {"upgrade", "0"}, {"a", "9"}, {"b", "~ blocked"}}},
        {"hard block, no codes",
         [](P& p) { p.sendInstallFailedHardBlock(9, "b", nullptr); },
         {{"error", "1"}, {"upgrade", "0"}, {"a", "9"}, {"b", "b"}}},
        {"upgrade success",
         [](P& p) { p.sendInstallUpgradeSucessWithProductRemoveAndReboot(11); },
         {{"error", "250"}, {"upgrade", "1"}, {"h", "11"}}},
        {"upgrade failed",
         [](P& p) { p.sendInstallUpgradeFailedWithProductRemoveAndReboot(12, "why"); },
         {{"error", "251"}, {"upgrade", "1"}, {"a", "12"}, {"b", "why"}}},
        {"uninstall success",
         [](P& p) { p.sendUninstallSucess(); },
         {{"error", "3"}, {"upgrade", "0"}}},
        {"uninstall failure",
         [](P& p) { p.sendUninstallFailure(); },
         {{"error", "4"}, {"upgrade", "0"}}},
        {"uninstall launch",
         [](P& p) { p.sendUninstallLaunch(); },
         {{"error", "5"}, {"upgrade", "0"}}},
        {"uninstall during install success",
         [](P& p) { p.sendUninstallDuringInstallSucess(); },
         {{"error", "6"}, {"upgrade", "0"}}},
        {"uninstall during install failure",
         [](P& p) { p.sendUninstallDuringInstallFailure(); },
         {{"error", "7"}, {"upgrade", "0"}}},
        {"uninstall during install started",
         [](P& p) { p.sendUninstallDuringInstallStarted(); },
         {{"error", "8"}, {"upgrade", "0"}}},
        {"generic ping, zero a skipped",
         [](P& p) {
             p.sendInstallPing(42, 7, {{"a", Value(0)}, {"h", Value(5)}});
         },
         {{"error", "42"}, {"upgrade", "7"}, {"h", "5"}}},
        {"generic ping, fields in order",
         [](P& p) {
             p.sendInstallPing(
                 1, 0, {{"M", Value("ABC")}, {"h", Value(0)}, {"b", Value("x")}, {"a", Value(3)}});
         },
         {{"error", "1"}, {"upgrade", "0"}, {"a", "3"}, {"b", "x"}, {"M", "ABC"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.send(*sender_);
        EXPECT_EQ(lastPing(), with(installBase(), c.event));
    }
    EXPECT_EQ(client_->requests().size(), std::size(cases));
}

TEST_F(PelInstallPingUtilsTest, PackageFailuresUseThePackageModuleWithoutMasks) {
    sender_->sendInstallMandatoryFailed(17, {});
    EXPECT_EQ(lastPing(), with(packageBase(), {{"error", "1"}, {"a", "17"}}));

    sender_->sendInstallMandatoryFailed(17, {{"pingModuleID", Value(4567)},
                                             {"termStatus", Value(2)},
                                             {"failureReason", Value("bad pkg")},
                                             {"md5Hash", Value("abc")}});
    EXPECT_EQ(lastPing(),
              with(packageBase("4567"),
                   {{"error", "1"}, {"a", "17"}, {"E", "2"}, {"b", "bad pkg"}, {"s", "abc"}}));

    sender_->sendInstallOptionalFailed({{"pingModuleID", Value(4568)}, {"md5Hash", Value("d41d")}});
    EXPECT_EQ(lastPing(), with(packageBase("4568"), {{"error", "1"}, {"s", "d41d"}}));
}

TEST_F(PelInstallPingUtilsTest, AutomationFileOverridesBaseFieldsWhenItHoldsAnObject) {
    struct Case {
        const char* name;
        std::optional<std::string> file;
        std::string module, os;
    } cases[] = {
        {"absent", std::nullopt, "9000", "12"},
        {"object", R"({"module": 1234, "OS": "test"})", "1234", "test"},
        {"not JSON", "{module: 1234", "9000", "12"},
        {"array", "[1, 2]", "9000", "12"},
    };
    const std::string path = "Library/Application Support/com.pelgrave.automation/StatPing.json";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(dir_.file(path));
        if (c.file) dir_.write(path, *c.file);
        sender_->sendInstallBegin();
        EXPECT_EQ(lastPing(), with(installBase(c.module, c.os),
                                   {{"error", "100"}, {"upgrade", "0"}, {"mid", "CALLER-MID"}}));
        sender_->sendInstallOptionalFailed({{"pingModuleID", Value(4568)}});
        auto fields = lastPing();
        auto module = std::find_if(fields.begin(), fields.end(),
                                   [](const auto& f) { return f.first == "module"; });
        ASSERT_NE(module, fields.end());
        EXPECT_EQ(module->second, c.module == "9000" ? "4568" : c.module);
    }
}

TEST_F(PelInstallPingUtilsTest, MasksAreReadWhenEachPingIsBuilt) {
    sender_->setUParamValue(0);
    sender_->setOfgParamValue(0xFFFFFFFFFFFFFFFFULL);
    sender_->sendUninstallLaunch();
    auto fields = lastPing();
    EXPECT_NE(
        std::find(fields.begin(), fields.end(), std::pair<std::string, std::string>("U", "0")),
        fields.end());
    EXPECT_NE(std::find(fields.begin(), fields.end(),
                        std::pair<std::string, std::string>("ofg", "ffffffffffffffff")),
              fields.end());
}

TEST_F(PelInstallPingUtilsTest, FactoryRulesAndDefaults) {
    using P = PelInstallPingUtils;
    const std::optional<std::string> none;
    EXPECT_EQ(P::createInstallPingUtilsWithQueueName(none, none, none, none, std::string("A"),
                                                     std::string("M")),
              nullptr);

    auto onlyQueue =
        P::createInstallPingUtilsWithQueueName(std::string("q"), none, none, none, none, none);
    ASSERT_NE(onlyQueue, nullptr);
    EXPECT_EQ(onlyQueue->agentString(), std::optional<std::string>("PelOstrelInstaller-Ping"));
    EXPECT_EQ(onlyQueue->timeOutInterval(), 5.0);
    EXPECT_EQ(onlyQueue->operationQueue()->name(), "q");
    EXPECT_FALSE(onlyQueue->version());
    // Fields without a value are left out of the base.
    auto fields = pingtest::queryFields("?" + onlyQueue->baseDataFormat());
    for (const char* absent : {"product", "version", "build"})
        EXPECT_EQ(
            std::count_if(fields.begin(), fields.end(), [&](auto& f) { return f.first == absent; }),
            0);

    auto onlyBuild = P::createInstallPingUtilsWithQueueName(none, none, none, std::string("7"),
                                                            std::string("Agent"), none);
    ASSERT_NE(onlyBuild, nullptr);
    EXPECT_EQ(onlyBuild->agentString(), std::optional<std::string>("Agent"));
    EXPECT_EQ(onlyBuild->build(), std::optional<std::string>("7"));
}

TEST(PelInstallPingUtilsFactoryTest, VersionBuildCharacterAndAppCodes) {
    struct VersionCase {
        const char* in;
        const char* out;
    } versions[] = {
        {"8.4.2f12", "8.4.2.12"},
        {"8.4.2d1f3", "8.4.2.1f3"},
        {"8.4.2", "8.4.2"},
        {"1.0F2", "1.0.2"},
        {"2D", "2."},
        {"", ""},
    };
    for (const auto& c : versions)
        EXPECT_EQ(PelInstallPingUtils::versionWithDotForBuildChar(c.in), c.out) << c.in;

    struct CodesCase {
        std::optional<std::vector<std::string>> codes;
        std::optional<std::string> out;
    } codes[] = {
        {std::vector<std::string>{"ABCDEF", "XY", "QRS"}, "ABC|QRS"},
        {std::vector<std::string>{"AB"}, std::nullopt},
        {std::vector<std::string>{}, std::nullopt},
        {std::nullopt, std::nullopt},
        {std::vector<std::string>{"\xC3\xA4\xC3\xB6\xC3\xBCx"}, "\xC3\xA4\xC3\xB6\xC3\xBC"},
    };
    for (const auto& c : codes)
        EXPECT_EQ(PelInstallPingUtils::appCodesToString(c.codes ? &*c.codes : nullptr), c.out);
}

}  // namespace
