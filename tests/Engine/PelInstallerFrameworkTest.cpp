#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Engine/HelperToolUtils.h"
#include "Engine/PelInstallXPCClient.h"
#include "Engine/PelInstallerFramework.h"
#include "EngineTestSupport.h"
#include "InstallRecorders.h"
#include "PackageFixtures.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/System/Bundle.h"
#include "support/FakeAuthoriser.h"
#include "support/FakeClock.h"
#include "support/FakeTaskLauncher.h"
#include "support/FakeXpcService.h"
#include "support/QueueHelpers.h"

namespace enginetest {
namespace {

using platform::RunLoop;

class FailingPluginStep : public RecordingPlugin {
  public:
    FailingPluginStep()
        : RecordingPlugin({IFPluginOperation::installBegin,
                           IFPluginOperation::installFailedWithError,
                           IFPluginOperation::runRequirementsWithPlugin}) {}
    bool runRequirementsWithPlugin(const Requirements&) override { return false; }
};

class PelInstallerFrameworkTest : public EngineFixture {
  protected:
    PelInstallerFrameworkTest() {
        PelInstallXPCClient::setSharedXPCClient(std::make_shared<PelInstallXPCClient>());
        HelperToolUtils::sharedHelperUtils().setAuthoriser(authoriser_);
        framework_.setEffectiveUserIdSource([this] { return euid_; });
    }
    ~PelInstallerFrameworkTest() override {
        PelInstallXPCClient::sharedXPCClient()->abandonSession();
        PelInstallXPCClient::setSharedXPCClient(nullptr);
        HelperToolUtils::sharedHelperUtils().setAuthoriser(nullptr);
        platform::setDefaultTaskLauncher(nullptr);
    }

    std::string requirements(const Array& list) {
        return writePlist(dir_.file("Requirements.plist"),
                          Value(Dictionary{{"PRODUCT_NAME", "Ostrel"},
                                           {"PRODUCT_VERSION", "5.2"},
                                           {"PRODUCT_ID", "com.pelgrave.brenmoor"},
                                           {"Requirements", list}}));
    }

    testsupport::MainQueueGuard mainGuard_;
    testsupport::ScopedFakeClock clock_;
    std::shared_ptr<testsupport::FakeAuthoriser> authoriser_ =
        std::make_shared<testsupport::FakeAuthoriser>();
    PelInstallerFramework framework_;
    uid_t euid_ = 501;
    RecordingProgress progress_;
    RecordingPlugin plugin_;
};

const Value kFailPath = Dictionary{{"Path", "/"}};
const Value kPassPath = Dictionary{{"Path", "/nowhere/App.app"}};

TEST_F(PelInstallerFrameworkTest, RequirementCheckOutcomes) {
    struct Case {
        const char* what;
        std::optional<Array> list;  // nullopt: no requirement list at all
        bool withProgress;
        bool pluginFails;
        bool expected;
        std::vector<std::string> pluginCalls, progressEvents;
    } cases[] = {
        {"no progress object", Array{}, false, false, false, {}, {}},
        {"no list", std::nullopt, true, false, true, {"installBegin"}, {}},
        {"passing",
         Array{entry(1, "PathCheck", kPassPath, {{"PelIE", record("p")}})},
         true,
         false,
         true,
         {"installBegin"},
         {"requirementsCompleted"}},
        {"warning",
         Array{entry(1, "PathCheck", kFailPath, {{"PelIE", record("w", "WARNING")}})},
         true,
         false,
         false,
         {"installBegin", "failed:-400:requirement"},
         {"warning", "requirementsCompleted"}},
        {"error",
         Array{entry(1, "PathCheck", kFailPath, {{"PelIE", record("e")}})},
         true,
         false,
         false,
         {"installBegin", "failed:-400:requirement"},
         {"failedRequirement", "requirementsCompleted"}},
        {"plug-in step without a requirement",
         Array{entry(1, "PathCheck", kPassPath, {{"Handler", "plugin"}})},
         true,
         true,
         false,
         {"installBegin", "failed:-400:null"},
         {"failedRequirement", "requirementsCompleted"}},
    };
    for (const auto& c : cases) {
        PelInstallerFramework framework;
        RecordingProgress progress;
        std::unique_ptr<RecordingPlugin> plugin = c.pluginFails
                                                      ? std::make_unique<FailingPluginStep>()
                                                      : std::make_unique<RecordingPlugin>();
        const std::optional<std::string> path =
            c.list ? std::optional(requirements(*c.list)) : std::nullopt;
        std::shared_ptr<PelRequirement> failed;
        platform::Error error;
        EXPECT_EQ(framework.performRequirementsCheck(
                      path, plugin.get(), c.withProgress ? &progress : nullptr, &failed, &error),
                  c.expected)
            << c.what;
        EXPECT_EQ(plugin->calls(), c.pluginCalls) << c.what;
        EXPECT_EQ(progress.eventNames(), c.progressEvents) << c.what;
        EXPECT_EQ(framework.pelReqContainer() != nullptr, c.list && c.withProgress) << c.what;
    }
}

TEST_F(PelInstallerFrameworkTest, AMissingMpkgIsReplacedByTheFirstMatchInBytewiseOrder) {
    const std::string folder = dir_.file("pkgs");
    for (const char* name : {"b SKU.2.mpkg", "A.mpkg", "B SKU.1.mpkg", "a.mpkg", "C.pkg"})
        touch(folder + "/" + name);
    struct Case {
        std::optional<std::string> path;
        std::optional<std::string> expected;
    } cases[] = {
        {folder + "/Old SKU.9.mpkg", folder + "/B SKU.1.mpkg"},
        {folder + "/Old.mpkg", folder + "/A.mpkg"},
        {folder + "/Old.pkg", std::nullopt},
        {dir_.file("none") + "/Old.mpkg", std::nullopt},
        {std::nullopt, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PelInstallerFramework::substituteMpkgToUse(c.path), c.expected)
            << c.path.value_or("(null)");
    EXPECT_EQ(
        PelInstallerFramework::contentsOfDirectoryAtPath(folder),
        (std::vector<std::string>{"A.mpkg", "B SKU.1.mpkg", "C.pkg", "a.mpkg", "b SKU.2.mpkg"}));
}

TEST_F(PelInstallerFrameworkTest, AsRootPackagesInstallOffTheMainQueueAndCompleteOnIt) {
    ScopedPackageTrust trust;
    const std::string good = writePackage(
        dir_.file("pkgs/Good.pkg"),
        mkpkg::buildComponentPackage(sampleComponent("com.x.good", "f", "x"), trust.signing()));
    touch(dir_.file("pkgs/Product SKU.7.mpkg"));
    auto launcher = std::make_shared<testsupport::FakeTaskLauncher>();
    launcher->addScript(
        {{"installer:%50", "installer:The software was successfully installed"}, 0});
    platform::setDefaultTaskLauncher(launcher);
    euid_ = 0;

    // A missing package that nothing replaces stops everything.
    framework_.performInstallWithMultiplePackages(
        Array{Value(Dictionary{{"pkgName", good}}),
              Value(Dictionary{{"pkgName", dir_.file("pkgs/Gone.pkg")}})},
        &plugin_, &progress_, {});
    RunLoop::drainPending();
    EXPECT_EQ(progress_.eventNames(), std::vector<std::string>{"missingBasePackage"});
    framework_.performInstallWithMultiplePackages(Array{}, &plugin_, &progress_, {});
    framework_.performInstallWithMultiplePackages(std::nullopt, &plugin_, nullptr, {});
    RunLoop::drainPending();
    EXPECT_EQ(progress_.eventsNamed("missingBasePackage").size(), 2u);
    EXPECT_TRUE(launcher->tasks().empty());

    framework_.performInstallWithMultiplePackages(
        Array{Value(Dictionary{{"pkgName", good}, {"pkgPriority", 0}})}, &plugin_, &progress_, {},
        "Prompt", std::nullopt);
    ASSERT_TRUE(RunLoop::runUntil([&] { return !progress_.get(progress_.completions).empty(); }));
    EXPECT_EQ(progress_.get(progress_.completions), std::vector<int>{304});
    EXPECT_EQ(progress_.get(progress_.percents), std::vector<double>{50.0});
    EXPECT_EQ(plugin_.calls(), std::vector<std::string>{"completeWithDelegate:1"});
    EXPECT_TRUE(authoriser_->requests.empty());
    EXPECT_EQ(framework_.promptString(), "Prompt");
}

// As root the plug-in ends the install as it does on the helper road: one
// that finishes with a delegate decides when (and whether) it is complete;
// one without that step hears installComplete after the progress object.
TEST_F(PelInstallerFrameworkTest, AsRootThePluginsOwnEndFinishesTheInstall) {
    ScopedPackageTrust trust;
    const std::string good = writePackage(
        dir_.file("pkgs/Good.pkg"),
        mkpkg::buildComponentPackage(sampleComponent("com.x.good", "f", "x"), trust.signing()));
    euid_ = 0;
    struct Case {
        const char* name;
        std::set<IFPluginOperation> offered;
        int installerExit;
        bool pluginSuccess;
        std::vector<std::string> calls;
        int status;
    };
    const std::vector<Case> cases = {
        {"delegate, success",
         {IFPluginOperation::installComplete, IFPluginOperation::installCompleteWithDelegate},
         0,
         true,
         {"completeWithDelegate:1"},
         304},
        {"delegate, its own end fails",
         {IFPluginOperation::installCompleteWithDelegate},
         0,
         false,
         {"completeWithDelegate:1"},
         302},
        {"delegate, install failed",
         {IFPluginOperation::installCompleteWithDelegate},
         1,
         true,
         {"completeWithDelegate:0"},
         302},
        {"no delegate step", {IFPluginOperation::installComplete}, 0, true, {"complete:1"}, 304},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto launcher = std::make_shared<testsupport::FakeTaskLauncher>();
        launcher->addScript({{"installer:%100"}, c.installerExit});
        platform::setDefaultTaskLauncher(launcher);
        RecordingPlugin plugin(c.offered);
        plugin.finishAtOnce = false;
        RecordingProgress progress;
        framework_.performInstallWithMultiplePackages(Array{Value(Dictionary{{"pkgName", good}})},
                                                      &plugin, &progress, {});
        ASSERT_TRUE(RunLoop::runUntil([&] { return !plugin.calls().empty(); }));
        RunLoop::drainPending();
        EXPECT_EQ(plugin.calls(), c.calls);
        if (c.offered.count(IFPluginOperation::installCompleteWithDelegate)) {
            // Nothing is complete before the plug-in says so; a second word
            // from it changes nothing.
            EXPECT_TRUE(progress.get(progress.completions).empty());
            ASSERT_TRUE(plugin.lastDelegate);
            plugin.lastDelegate->pluginFinished(c.pluginSuccess);
            plugin.lastDelegate->pluginFinished(true);
            RunLoop::drainPending();
        }
        EXPECT_EQ(progress.get(progress.completions), std::vector<int>{c.status});
    }
}

TEST_F(PelInstallerFrameworkTest, OnePackageGoesThroughTheHelperEvenAsRoot) {
    euid_ = 0;
    authoriser_->status = platform::errAuthorizationDenied;
    touch(dir_.file("pkgs/a.pkg"));
    framework_.performInstall(dir_.file("pkgs/a.pkg"), &plugin_, &progress_, {});
    framework_.performInstall(dir_.file("pkgs/missing.pkg"), &plugin_, &progress_, {});
    framework_.performInstall(std::nullopt, &plugin_, nullptr, {});
    RunLoop::drainPending();
    EXPECT_EQ(authoriser_->requests.size(), 1u);
    EXPECT_EQ(progress_.eventNames(),
              (std::vector<std::string>{"failedAuthorization", "missingBasePackage"}));
}

TEST_F(PelInstallerFrameworkTest, AuthorisationAndBlessingFailuresTellBothParties) {
    authoriser_->status = platform::errAuthorizationCanceled;
    EXPECT_FALSE(framework_.authorizeAndLaunchHelper(&progress_, &plugin_));
    EXPECT_EQ(progress_.eventNames(), std::vector<std::string>{"failedAuthorization"});
    EXPECT_EQ(plugin_.calls(), std::vector<std::string>{"failed:-399:null"});
    EXPECT_TRUE(authoriser_->frees.empty());

    RecordingProgress progress;
    RecordingPlugin plugin;
    auto authorization = std::make_shared<testsupport::RecordingAuthorization>();
    authorization->blessResult = false;
    authoriser_->status = platform::errAuthorizationSuccess;
    authoriser_->granted = authorization;
    EXPECT_FALSE(framework_.authorizeAndLaunchHelper(&progress, &plugin));
    EXPECT_EQ(progress.eventsNamed("failedHelperTool"), std::vector<std::string>{"5"});
    EXPECT_EQ(plugin.calls(), std::vector<std::string>{"failed:-398:null"});
    EXPECT_EQ(authorization->blessed, std::vector<std::string>{"com.pelgrave.PelInstallHelper"});
    EXPECT_EQ(authoriser_->frees,
              std::vector<std::uint32_t>{platform::kAuthorizationFlagDestroyRights});
}

TEST_F(PelInstallerFrameworkTest, AHelperThatNeverAnswersEndsTheInstallOnceWithFailure) {
    touch(dir_.file("pkgs/a.pkg"));
    platform::Bundle::setMainBundle(std::make_shared<platform::Bundle>(dir_.file("Test.app")));
    framework_.performInstallWithMultiplePackages(
        Array{Value(Dictionary{{"pkgName", dir_.file("pkgs/a.pkg")}})}, &plugin_, &progress_, {});
    ASSERT_TRUE(RunLoop::runUntil([&] { return !progress_.get(progress_.completions).empty(); }));
    clock_->advance(kPelInstallWatchdog + std::chrono::seconds(2));
    PelInstallXPCClient::sharedXPCClient()->serialQueue()->sync([] {});
    RunLoop::drainPending();
    EXPECT_EQ(progress_.get(progress_.completions), std::vector<int>{302});
    EXPECT_TRUE(plugin_.calls().empty());
    platform::Bundle::setMainBundle(nullptr);
}

TEST_F(PelInstallerFrameworkTest, ARequestThatCannotBeSentEndsTheSessionAtOnce) {
    // A helper that listens and says nothing, and a bundle path that cannot
    // travel in a message: the partner request is not sent.
    testsupport::FakeXpcService helper(kPelInstallHelperLabel);
    const std::string bundle = dir_.file("Bad\xFF.app");
    std::filesystem::create_directories(bundle);
    platform::Bundle::setMainBundle(std::make_shared<platform::Bundle>(bundle));
    touch(dir_.file("pkgs/a.pkg"));
    framework_.performInstall(dir_.file("pkgs/a.pkg"), &plugin_, &progress_, {});
    ASSERT_TRUE(RunLoop::runUntil([&] { return !progress_.get(progress_.completions).empty(); }));
    clock_->advance(kPelInstallWatchdog + std::chrono::seconds(2));
    PelInstallXPCClient::sharedXPCClient()->serialQueue()->sync([] {});
    RunLoop::drainPending();
    EXPECT_EQ(progress_.get(progress_.completions), std::vector<int>{302});
    EXPECT_EQ(plugin_.calls(), std::vector<std::string>{"complete:0"});
    platform::Bundle::setMainBundle(nullptr);
}

TEST(HelperToolUtilsTest, AuthorisationRequests) {
    using Items = std::vector<platform::AuthorizationItem>;
    struct Case {
        std::optional<std::string> prompt, icon;
        std::optional<Items> environment;
    } cases[] = {
        {"Install it", std::nullopt, Items{{"prompt", "Install it\n", 0}}},
        {"Install it\n", std::nullopt, Items{{"prompt", "Install it\n", 0}}},
        {std::nullopt, std::nullopt, std::nullopt},
        {std::nullopt, "/icon.png", Items{{"icon", "/icon.png", 0}}},
        {"\xC3\xA9", "/i", Items{{"prompt", "\xC3\xA9\n", 0}, {"icon", "/i", 0}}},
    };
    for (const auto& c : cases) {
        const auto request =
            HelperToolUtils::authorizationRequest(kPelBlessHelperRight, c.prompt, c.icon);
        const Items rights{{"com.apple.ServiceManagement.blesshelper", "", 0}};
        EXPECT_EQ(request.rights, rights);
        EXPECT_EQ(request.environment, c.environment) << c.prompt.value_or("(none)");
        EXPECT_EQ(request.flags, 0x13u);
    }
    auto authoriser = std::make_shared<testsupport::FakeAuthoriser>();
    HelperToolUtils utils;
    utils.setAuthoriser(authoriser);
    platform::AuthorizationRef none;
    utils.freeAuth(&none);
    utils.freeAuth(nullptr);
    EXPECT_TRUE(authoriser->frees.empty());
    platform::AuthorizationRef granted;
    EXPECT_EQ(utils.getAuthRefToModifyDaemon(&granted), 0);
    EXPECT_EQ(authoriser->requests.at(0).rights.at(0).name, kPelModifyDaemonsRight);
    utils.freeAuth(&granted);
    EXPECT_EQ(granted, nullptr);
    EXPECT_EQ(authoriser->frees.size(), 1u);
}

}  // namespace
}  // namespace enginetest
