#include "Engine/PelRequirementsContainer.h"
#include "EngineTestSupport.h"

namespace enginetest {
namespace {

class KindsTest : public EngineFixture {
  protected:
    bool run(const std::string& kind, const Value& check) const {
        auto requirement = PelRequirement::createRequirement(
            "APP", std::make_shared<PelIE>("t", "m", "ERROR"), Value(), kind, 1, check, nullptr);
        EXPECT_TRUE(requirement);
        return requirement && requirement->runRequirement();
    }
};

TEST(VersionTest, CheckVersionComparesPartByPart) {
    struct Case {
        std::optional<std::string> required, current;
        int expected;
    } cases[] = {
        {"10.10", "10.10.0", 0},     {"10.15", "10.14.6", -1},
        {"10.15", "10.15", 0},       {"10.9", "10.10", 1},
        {"5.2", "5.10", 1},          {"1.0b3", "1.0", 0},
        {"1.x.2", "1.0.2", 0},       {std::nullopt, "0.0", 0},
        {"10.10", std::nullopt, -1}, {"99999999999999999999999", "1", -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PelHardwareUtilities::checkVersion(c.required, c.current), c.expected)
            << c.required.value_or("nil") << " vs " << c.current.value_or("nil");
    }
}

TEST(SizeTest, SizeInBytes) {
    struct Case {
        const char* text;
        std::optional<std::int64_t> bytes;
    } cases[] = {
        {"2GB", 2LL << 30},     {"512MB", 512LL << 20},
        {" 4 gb", 4LL << 30},   {"1gbmb", 1LL << 30},
        {"abcMB", 0},           {"512", std::nullopt},
        {"", std::nullopt},     {"99999999999999GB", INT64_MAX},
        {"-1GB", -(1LL << 30)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PelHardwareUtilities::sizeInBytes(c.text), c.bytes) << c.text;
}

TEST_F(KindsTest, Hardware) {
    struct Case {
        const char* name;
        Dictionary check;
        std::function<void(FakeSystemInfo&)> machine;
        bool passes;
    } cases[] = {
        {"max equal fails", {{"MAX_OS", "10.15"}}, [](auto& s) { s.os = "10.15"; }, false},
        {"max lower passes", {{"MAX_OS", "10.15"}}, [](auto& s) { s.os = "10.14.6"; }, true},
        {"min padded passes", {{"MIN_OS", "10.10"}}, [](auto& s) { s.os = "10.10.0"; }, true},
        {"min unknown os fails", {{"MIN_OS", "10.10"}}, [](auto& s) { s.os.reset(); }, false},
        {"first key decides",
         {{"MIN_MEMORY", "1TB"}, {"MIN_OS", "1"}},
         [](auto& s) { s.os = "99"; },
         true},
        {"memory exact passes",
         {{"MIN_MEMORY", "2GB"}},
         [](auto& s) { s.memory = 2147483648ULL; },
         true},
        {"memory short fails",
         {{"MIN_MEMORY", "2GB"}},
         [](auto& s) { s.memory = 2147483647ULL; },
         false},
        {"memory without unit passes",
         {{"MIN_MEMORY", "4096"}},
         [](auto& s) { s.memory = 1; },
         true},
        {"negative memory passes", {{"MIN_MEMORY", "-2GB"}}, [](auto& s) { s.memory = 1; }, true},
        {"disk enough",
         {{"MIN_DISK_SPACE", "200MB"}},
         [](auto& s) { s.free = 200.0 * (1 << 20); },
         true},
        {"disk short",
         {{"MIN_DISK_SPACE", "200MB"}},
         [](auto& s) { s.free = 199.0 * (1 << 20); },
         false},
        {"disk unreadable", {{"MIN_DISK_SPACE", "1MB"}}, [](auto& s) { s.free.reset(); }, false},
        {"32-bit kernel fails",
         {{"BlockOnK32Bit", true}},
         [](auto& s) { s.machine = "i386"; },
         false},
        {"64-bit passes", {{"BlockOnK32Bit", true}}, [](auto& s) { s.machine = "x86_64"; }, true},
        {"empty name passes", {{"BlockOnK32Bit", true}}, [](auto& s) { s.machine = ""; }, true},
        {"unreadable name passes",
         {{"BlockOnK32Bit", true}},
         [](auto& s) { s.machine.reset(); },
         true},
        {"block off passes", {{"BlockOnK32Bit", false}}, [](auto& s) { s.machine = "i386"; }, true},
        {"no known key passes", {{"Other", 1}}, [](auto&) {}, true},
    };
    for (const auto& c : cases) {
        *system_ = FakeSystemInfo();
        c.machine(*system_);
        EXPECT_EQ(run("Hardware", Value(c.check)), c.passes) << c.name;
    }
}

TEST_F(KindsTest, Misc) {
    struct Case {
        const char* name;
        Dictionary check;
        bool canCheck;
        std::optional<std::uint32_t> flags;
        bool passes;
    } cases[] = {
        {"reachable", {{"IsInternetRequired", true}}, true, platform::kReachabilityReachable, true},
        {"needs connection",
         {{"IsInternetRequired", true}},
         true,
         platform::kReachabilityReachable | platform::kReachabilityConnectionRequired,
         false},
        {"unreachable", {{"IsInternetRequired", true}}, true, 0u, false},
        {"flags unreadable", {{"IsInternetRequired", true}}, true, std::nullopt, false},
        {"no reference", {{"IsInternetRequired", true}}, false, std::nullopt, true},
        {"internet decides alone",
         {{"IsInternetRequired", true}, {"BlockOnAnotherInstance", true}},
         true,
         0u,
         false},
        {"internet off, block on",
         {{"IsInternetRequired", false}, {"BlockOnAnotherInstance", true}},
         true,
         0u,
         true},
        {"empty", {}, true, 0u, true},
    };
    for (const auto& c : cases) {
        reachability_->canCheck = c.canCheck;
        reachability_->flags = c.flags;
        EXPECT_EQ(run("Misc", Value(c.check)), c.passes) << c.name;
    }
}

TEST_F(KindsTest, PathCheck) {
    writePlist(rooted("/Applications/Old.app/Contents/Info.plist"),
               Value(Dictionary{{"CFBundleShortVersionString", "4.1.2"}}));
    touch(rooted("/Applications/NoInfo.app/Contents/MacOS/x"));
    struct Case {
        Dictionary check;
        bool passes;
    } cases[] = {
        {{{"Path", "/Applications/Old.app"}}, false},
        {{{"Path", "/Applications/Missing.app"}}, true},
        {{{"Path", "/Applications/Old.app"}, {"VersionPrefix", "4."}}, false},
        {{{"Path", "/Applications/Old.app"}, {"VersionPrefix", "5."}}, true},
        {{{"Path", "/Applications/Missing.app"}, {"VersionPrefix", "4."}}, true},
        {{{"Path", "/Applications/NoInfo.app"}, {"VersionPrefix", "4."}}, true},
        {{{"VersionPrefix", "4."}}, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(run("PathCheck", Value(c.check)), c.passes) << Value(c.check).description();
}

TEST_F(KindsTest, PartialInstall) {
    touch(rooted("/Library/Pelgrave/kext"));
    touch(rooted("/Library/Pelgrave/agent"));
    receipts_->receipts = {"com.pelgrave.kext"};
    Dictionary kext{{"Path", "/Library/Pelgrave/kext"}, {"id", "com.pelgrave.kext"}};
    Dictionary agent{{"Path", "/Library/Pelgrave/agent"}, {"id", "com.pelgrave.agent"}};
    Dictionary gone{{"Path", "/Library/Pelgrave/gone"}, {"id", "com.pelgrave.gone"}};
    EXPECT_TRUE(run("PartialInstall", Value(Array{kext, gone})));
    EXPECT_FALSE(run("PartialInstall", Value(Array{kext, agent})));
    EXPECT_TRUE(run("PartialInstall", Value(Array{})));
    EXPECT_FALSE(run("PartialInstall", Value(kext)));  // a dictionary is not a list
    EXPECT_FALSE(
        run("PartialInstall", Value(Array{Dictionary{{"Path", "/Library/Pelgrave/agent"}}})));
}

TEST_F(KindsTest, Competitive) {
    touch(rooted("/Applications/Rival.app"));
    auto competitive = [](Array paths) {
        return Value(Dictionary{{"IMType", "INSTALL_COMPETITIVE"}, {"Path", std::move(paths)}});
    };
    EXPECT_TRUE(
        run("InstallMatrix", competitive({"/Applications/Rival.app", "/Applications/Gone.app"})));
    EXPECT_FALSE(run("InstallMatrix", competitive({"/Applications/Rival.app"})));
    EXPECT_TRUE(run("InstallMatrix", competitive({})));
    EXPECT_TRUE(run("InstallMatrix", Value(Dictionary{{"IMType", "INSTALL_COMPETITIVE"}})));
    EXPECT_TRUE(run("InstallMatrix", Value(Dictionary{{"IMType", "SOMETHING_ELSE"}})));
}

TEST(ReceiptsTest, LinuxReceiptsRefusePathsOutsideTheReceiptFolder) {
    testsupport::TempDir dir;
    platform::Paths::ScopedRoot root(dir.file("root"));
    dir.write("root/var/db/receipts/com.pelgrave.agent.plist", "x");
    dir.write("root/var/db/escape.plist", "x");
    auto receipts = platform::packageReceipts();
    EXPECT_TRUE(receipts->receiptExists("com.pelgrave.agent"));
    EXPECT_FALSE(receipts->receiptExists("com.pelgrave.other"));
    for (const char* bad : {"../escape", "", "..", "a/b"})
        EXPECT_FALSE(receipts->receiptExists(bad)) << bad;
}

}  // namespace
}  // namespace enginetest

namespace enginetest {
namespace {

TEST(LinuxSystemInfoTest, ReadsTheSystemVersionFileThroughThePathRootAndNamesX86KernelsAsI386) {
    testsupport::TempDir dir;
    platform::Paths::ScopedRoot root(dir.file("root"));
    auto info = platform::systemInfo();
    dir.write("root/System/Library/CoreServices/SystemVersion.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>ProductVersion</key><string>10.15.7</string></dict></plist>\n");
    EXPECT_EQ(info->osVersion(), "10.15.7");
    EXPECT_GT(info->physicalMemory(), 0u);
    EXPECT_TRUE(info->freeSpace(dir.path().string()));
    EXPECT_FALSE(info->freeSpace(dir.file("missing")));
    std::string machine;
    int result = 0, errorNumber = 0;
    ASSERT_TRUE(info->machineName(&machine, &result, &errorNumber));
    EXPECT_FALSE(machine.empty());
    EXPECT_NE(machine, "i686");
}

}  // namespace
}  // namespace enginetest
