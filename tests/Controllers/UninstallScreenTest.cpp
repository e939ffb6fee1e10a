// The removal of older versions: the product plug-in's requirement hands
// over to the removal screen, which asks, authorises, blesses the helper,
// collects its report and ends on the restart or error screen. The engine
// is a fake (rules and helper client) over the real authorisation and
// launch-agent code; the last test removes a product for real.
#include <unistd.h>

// clang-format off
// Before Qt, whose "slots" macro the registry's arrays would meet.
#include "Foundation/PelRegistry.h"
// clang-format on

#include <QTest>
#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include "Controllers/Core/UninstallEngine.h"
#include "Controllers/HVKProductPlugin.h"
#include "Controllers/LeftNavigationViewController.h"
#include "Controllers/UninstallViewController.h"
#include "Downloader/PelInstallPingUtils.h"
#include "Downloader/PingTestSupport.h"
#include "Downloader/StatPing.h"
#include "Engine/HVKUpgradeHelper.h"
#include "Engine/HelperToolUtils.h"
#include "Engine/PelInstallerFramework.h"
#include "Engine/PelLaunchdUtils.h"
#include "Engine/PelProductCheckUtils.h"
#include "Engine/PelRequirement.h"
#include "Engine/PelUninstallXPCClient.h"
#include "OstrelUI/Controls/OstrelUIProgressIndicator.h"
#include "OstrelUI/Controls/OstrelUITintedButton.h"
#include "OstrelUI/Controls/XTextFieldWithLinks.h"
#include "Platform/Dispatch/OperationQueue.h"
#include "Platform/Http/HttpCurlClient.h"
#include "Platform/System/ServiceManagement.h"
#include "ShellFixture.h"
#include "support/FakeAuthoriser.h"
#include "support/FakeClock.h"
#include "support/LoopbackHttpServer.h"

using testsupport::LoopbackHttpServer;

namespace shelltest {
namespace {

namespace fs = std::filesystem;
using platform::Dictionary;
using platform::Value;

constexpr const char* kBundleId = "com.pelgrave.installer.test";
constexpr const char* kBrenmoor = "com.pelgrave.brenmoor";

/// The main product's plug-in with the test's ping sender; records the
/// progress codes and whether each came on the main thread.
class RemovalPlugin : public HVKProductPlugin {
  public:
    RemovalPlugin(std::shared_ptr<platform::Clock> clock, std::shared_ptr<PelInstallPingUtils> p)
        : HVKProductPlugin(std::move(clock)), pings_(std::move(p)) {}
    void setProgressStatus(unsigned status) override {
        {
            std::lock_guard lock(mutex_);
            statuses_.push_back(status);
            offMain_ += !platform::isMainThread();
        }
        HVKProductPlugin::setProgressStatus(status);
    }
    bool performInstallPing(std::shared_ptr<StatPing>* pinger) override {
        *pinger = pings_;
        return true;
    }
    std::vector<unsigned> statuses() const {
        std::lock_guard lock(mutex_);
        return statuses_;
    }
    int offMain() const {
        std::lock_guard lock(mutex_);
        return offMain_;
    }

  private:
    std::shared_ptr<PelInstallPingUtils> pings_;
    mutable std::mutex mutex_;
    std::vector<unsigned> statuses_;
    int offMain_ = 0;
};

/// The upgrade rules' answer and the uninstall helper's client, over the
/// real authorisation, blessing and launch agent. The helper's callbacks are
/// played on a thread of their own.
class FakeUninstall : public PelUninstallEngine {
  public:
    using Script = std::function<void(PelUninstallXPCProtocol&)>;

    // The rules' answer.
    bool answer = false;
    Products products = std::vector<std::string>{kBrenmoor};
    bool newer = false;
    bool qrb = false;
    std::shared_ptr<PelRequirement> failed;
    // The helper.
    Script helper;
    bool connects = true;
    bool sends = true;
    int requests = 0;
    std::vector<std::string> services;
    Products sentProducts;
    std::optional<Dictionary> sentPre, sentPost;
    PelUninstallXPCProtocol* product = nullptr;

    ~FakeUninstall() override { waitForHelper(); }

    bool productsToUninstall(const Requirements&, Products* out, bool* isNewerVersion, bool*,
                             std::shared_ptr<PelRequirement>* failedReq) override {
        if (products && out) *out = products;
        if (newer && isNewerVersion) *isNewerVersion = true;
        if (failed && failedReq) *failedReq = failed;
        return answer;
    }
    bool isInstallerQRB() override { return qrb; }
    void setProduct(PelUninstallXPCProtocol* p) override { product = p; }
    bool PelXPC_CreateMachService(const std::string& name) override {
        services.push_back(name);
        return connects;
    }
    bool uninstallProducts(const Products& list, const std::optional<Dictionary>& pre,
                           const std::optional<Dictionary>& post) override {
        ++requests;
        sentProducts = list;
        sentPre = pre;
        sentPost = post;
        waitForHelper();
        if (!sends) return false;
        if (helper) thread_ = std::thread([script = helper, p = product] { script(*p); });
        return true;
    }
    void waitForHelper() {
        if (thread_.joinable()) thread_.join();
    }

  private:
    std::thread thread_;
};

class UninstallScreen : public ShellTest {
  protected:
    void SetUp() override {
        ShellTest::SetUp();
        StatPing::setEndpointHosts(server_.hostAndPort(),
                                   "127.0.0.1:" + std::to_string(LoopbackHttpServer::unusedPort()));
        pings_ = PelInstallPingUtils::createInstallPingUtilsWithQueueName(
            std::string("com.pelgrave.installPing"), std::string("Ostrel Test"), std::string("2.0"),
            std::string("200"), std::nullopt, std::string("MID"));
        pings_->setHttpClient(http_);
        PluginRegistry::registerPlugin("HVKProductPlugin", [this] {
            auto plugin = std::make_shared<RemovalPlugin>(clock_, pings_);
            hvk_ = plugin;
            return plugin;
        });
        info_["PEL_PRODUCT_PLUGIN_CLASS"] = "HVKProductPlugin";
        info_["CFBundleIdentifier"] = kBundleId;
        info_["CFBundleExecutable"] = "Test";
        check_ = std::make_shared<PluginCheckEngine>();
        engine_ = check_;
        InstallEngine::setShared(check_);
        UninstallEngine::setShared(uninstall_);
        HelperToolUtils::sharedHelperUtils().setAuthoriser(authoriser_);
    }
    void TearDown() override {
        uninstall_->waitForHelper();
        pump();
        if (!http_->requests().empty()) http_->waitUntilSettled();
        hvk_.reset();
        ShellTest::TearDown();
    }

    void launchAndCheck() {
        launch();
        dir_.write("Apps/Test.app/Contents/MacOS/Test", "");
        main().window()->show();
        pump();
        QTest::mouseClick(agreeInstallButton(), Qt::LeftButton);
        pump();
        // The window wrote the relaunch agent when it loaded; the removal's
        // end writes it anew.
        fs::remove(agentPath());
    }
    QPushButton* agreeInstallButton() {
        return main().window()->findChild<QPushButton*>(QStringLiteral("installButton"));
    }
    UninstallViewController& screen() { return *hvk_->uninstallViewController(); }
    /// Lets the screen switches run (the helper is asked once the progress
    /// view is in), then the helper's callbacks and what they post.
    void settle() {
        for (int i = 0; i < 3; ++i) {
            pump(30);
            uninstall_->waitForHelper();
        }
        pump(30);
    }
    QString errorText() {
        return centerContent() == form().errorView ? form().errorText->stringValue() : QString();
    }
    /// The "error" field of each ping after the launch ping, sorted (pings
    /// are sent in parallel).
    std::vector<std::string> pingErrors() {
        auto errors = pingFields("error");
        std::sort(errors.begin(), errors.end());
        return errors;
    }
    std::vector<std::string> pingFields(const std::string& name) {
        if (pings_->operationQueue()) pings_->operationQueue()->waitUntilAllOperationsAreFinished();
        if (!http_->requests().empty()) http_->waitUntilSettled();
        std::vector<std::string> out;
        for (const auto& request : server_.requests()) {
            std::map<std::string, std::string> fields;
            for (auto& [k, v] : pingtest::queryFields(request.target)) fields[k] = v;
            if (fields["error"] != "2") out.push_back(fields[name]);
        }
        return out;
    }
    std::string agentPath() {
        auto& launchd = PelLaunchdUtils::sharedLaunchdUtils();
        return launchd.plistDestName(launchd.plistName(kBundleId));
    }

    testsupport::LoopbackHttpServer server_;
    std::shared_ptr<pingtest::ObservingHttpClient> http_ =
        std::make_shared<pingtest::ObservingHttpClient>(
            std::make_shared<platform::CurlHttpClient>());
    std::shared_ptr<PelInstallPingUtils> pings_;
    std::shared_ptr<testsupport::FakeClock> clock_ = std::make_shared<testsupport::FakeClock>();
    std::shared_ptr<RemovalPlugin> hvk_;
    std::shared_ptr<PluginCheckEngine> check_;
    std::shared_ptr<FakeUninstall> uninstall_ = std::make_shared<FakeUninstall>();
    std::shared_ptr<testsupport::FakeAuthoriser> authoriser_ =
        std::make_shared<testsupport::FakeAuthoriser>();
};

TEST_F(UninstallScreen, BlockingRulesShowAnErrorAndNoPrompt) {
    auto requirement = check_->requirements.front();
    struct Case {
        const char* name;
        bool newer, qrb, withFailed;
        UninstallEngine::Products products;
        QString text;
        bool keepsRequirement;
    } cases[] = {
        {"newer version", true, false, true, std::nullopt,
         "A newer version of this product is already installed on this computer.", false},
        {"newer version, QRB installer", true, true, true, std::nullopt,
         "A version of this product is already installed on this computer. Contact Support.", true},
        {"newer version, QRB installer, no requirement", true, true, false, std::nullopt,
         "A version of this product is already installed on this computer. Contact Support.",
         false},
        // The rules block without naming a product: the generic error, not a
        // welcome screen that leads nowhere.
        {"empty list", false, false, false, std::vector<std::string>{},
         "Your installer is not working properly. Please contact Support.", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uninstall_->newer = c.newer;
        uninstall_->qrb = c.qrb;
        uninstall_->failed = c.withFailed ? requirement : nullptr;
        uninstall_->products = c.products;
        launchAndCheck();
        EXPECT_EQ(errorText(), c.text);
        EXPECT_EQ(main().failiedRequirement() == requirement, c.keepsRequirement);
        EXPECT_EQ(screen().uninstallPromptView->parent(), nullptr);  // never shown
        EXPECT_EQ(check_->installs, 0);
        EXPECT_EQ(uninstall_->requests, 0);
        EXPECT_TRUE(pingErrors().empty());
        delegate_.reset();
        MainWindowController::resetSharedInstance();
        pump();
    }
}

TEST_F(UninstallScreen, NothingToRemoveGoesOnToInstall) {
    uninstall_->answer = true;
    launchAndCheck();
    EXPECT_EQ(check_->requirementChecks, 1);
    EXPECT_EQ(main().installStatus(), kInstallStatusInstalling);
    EXPECT_EQ(screen().uninstallPromptView->parent(), nullptr);
}

TEST_F(UninstallScreen, PromptThenDeniedAuthorisation) {
    authoriser_->status = platform::errAuthorizationDenied;
    launchAndCheck();
    // The prompt stays: the shell's fall-back for a failure without its
    // requirement does not replace it.
    ASSERT_EQ(centerContent(), screen().uninstallPromptView.data());
    EXPECT_EQ(screen().uninstallPromptTitle->text(), "Different version installed");
    EXPECT_EQ(screen().uninstallPromptText->textInteractionFlags(), Qt::NoTextInteraction);
    EXPECT_EQ(hvk_->statuses().back(), 1u);
    QTest::mouseClick(screen().uninstallBeginButton, Qt::LeftButton);
    settle();
    EXPECT_EQ(authoriser_->requests.size(), 1u);
    EXPECT_EQ(errorText(),
              "We were unable to complete the uninstall due to insufficient privileges. Please try "
              "again later or contact Support.");
    EXPECT_EQ(form().errorTitle->text(), "Uninstall Failed");
    EXPECT_EQ(pingErrors(), std::vector<std::string>{"1"});
    EXPECT_EQ(pingFields("upgrade"), std::vector<std::string>{"3"});
    EXPECT_EQ(pingFields("a"), std::vector<std::string>{"-399"});
    EXPECT_EQ(pingFields("b"), std::vector<std::string>{"Insufficient privileges"});
    const auto statuses = hvk_->statuses();
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), 3u), statuses.end());
    EXPECT_EQ(uninstall_->requests, 0);
    EXPECT_EQ(check_->installs, 0);
}

TEST_F(UninstallScreen, ReturnOnThePromptPressesUninstall) {
    authoriser_->status = platform::errAuthorizationDenied;
    main().window()->activateWindow();
    launchAndCheck();
    ASSERT_EQ(centerContent(), screen().uninstallPromptView.data());
    // The prompt's default button has the focus, whatever had it before.
    ASSERT_EQ(main().window()->focusWidget(), screen().uninstallBeginButton.data());
    QTest::keyClick(main().window()->focusWidget(), Qt::Key_Return);
    settle();
    EXPECT_EQ(authoriser_->requests.size(), 1u);
    EXPECT_EQ(exits_, 0);
}

TEST_F(UninstallScreen, QuitFromThePromptRemovesNothing) {
    launchAndCheck();
    screen().uninstallQuitButton->setFocus();
    QTest::keyClick(screen().uninstallQuitButton, Qt::Key_Space);
    pump();
    EXPECT_EQ(exits_, 1);
    EXPECT_TRUE(authoriser_->requests.empty());
    EXPECT_EQ(uninstall_->requests, 0);
}

TEST_F(UninstallScreen, HelperThatCannotBeBlessed) {
    auto authorization = std::make_shared<testsupport::RecordingAuthorization>();
    authorization->blessResult = false;
    authoriser_->granted = authorization;
    launchAndCheck();
    QTest::mouseClick(screen().uninstallBeginButton, Qt::LeftButton);
    settle();
    EXPECT_EQ(authorization->blessed, std::vector<std::string>{kUninstallHelperLabel});
    EXPECT_EQ(errorText(),
              "The uninstall could not be started due to an error. Please contact Support.");
    // Started, then the launch failure.
    EXPECT_EQ(pingErrors(), (std::vector<std::string>{"1", "8"}));
    const auto a = pingFields("a"), b = pingFields("b");
    EXPECT_NE(std::find(a.begin(), a.end(), "-396"), a.end());
    EXPECT_NE(std::find(b.begin(), b.end(), "FAILED TO LAUNCH HELPER TOOL"), b.end());
    // The authorisation is let go once the blessing is done.
    EXPECT_EQ(authoriser_->frees.size(), 1u);
    EXPECT_EQ(uninstall_->requests, 0);
    EXPECT_EQ(check_->installs, 0);
}

TEST_F(UninstallScreen, ReportThenRestartScreen) {
    dir_.write("Apps/Test.app/Contents/Resources/en.lproj/Report.strings",
               "\"Removed %@\" = \"Removed: %@;\";\n");
    // Every callback comes off the main thread.
    uninstall_->helper = [](PelUninstallXPCProtocol& p) {
        p.uninstallStarted();
        p.startedUninstallingPackage(std::string(kBrenmoor));
        p.appendToReport(std::string("Removed %@"), std::string("com.pelgrave.brenmoor.core"));
        p.appendError(std::string("Could not remove %@."), std::string("/opt/b/locked"));
        // A line that is no safe format, one without its argument, none at all.
        p.appendToReport(std::string(" %n%s%2$@ "), std::nullopt);
        p.appendToReport(std::nullopt, std::string("x"));
        p.appendError(std::string(" %@ and %@"), std::string("y"));
        p.uninstallEnded();
    };
    launchAndCheck();
    QTest::mouseClick(screen().uninstallBeginButton, Qt::LeftButton);
    settle();

    EXPECT_EQ(uninstall_->services, std::vector<std::string>{kUninstallHelperLabel});
    EXPECT_EQ(uninstall_->sentProducts, (std::vector<std::string>{kBrenmoor}));
    const std::string bundle = dir_.file("Apps/Test.app");
    EXPECT_EQ(uninstall_->sentPre,
              (Dictionary{{bundle, Value("Contents/Resources/preuninstall")}}));
    EXPECT_EQ(uninstall_->sentPost,
              (Dictionary{{bundle, Value("Contents/Resources/PelgraveRemovalTool")}}));
    EXPECT_EQ(screen().report(),
              "Removed: com.pelgrave.brenmoor.core;Could not remove /opt/b/locked. %n(null)%2$@  y "
              "and %@");

    // The restart screen, with the relaunch agent in place.
    ASSERT_EQ(centerContent(), main().rebootViewController());
    QLabel* title = main().rebootViewController()->restartTitle;
    EXPECT_EQ(title->text(), "Restart Required");
    EXPECT_EQ(title->font().pointSizeF(), 32);
    // The titles' own dark colour, not a grey that reads as disabled.
    EXPECT_EQ(title->palette().color(QPalette::WindowText),
              main().logoutViewController()->logoutTitle->palette().color(QPalette::WindowText));
    EXPECT_EQ(title->alignment(), Qt::AlignCenter);
    EXPECT_EQ(main().rebootViewController()->restartText->text(),
              "The previous version of your Ostrel product has been uninstalled. Restart your "
              "computer now to install the new version. You are not protected until you do so.");
    EXPECT_TRUE(fs::exists(agentPath()));
    EXPECT_EQ(screen().uninstallProgressBar->animatorTimer(), nullptr);  // stopped
    // Started, one ping per error line, success.
    EXPECT_EQ(pingErrors(), (std::vector<std::string>{"4", "4", "6", "8"}));
    EXPECT_EQ(hvk_->statuses(), (std::vector<unsigned>{1, 2, 2, 2, 4}));
    EXPECT_EQ(hvk_->offMain(), 0);
    // The removal is over; the restart it needs is pending.
    EXPECT_EQ(main().installStatus(), kInstallStatusFinished);
    EXPECT_EQ(check_->installs, 0);
}

// After a removal a restart is pending, whatever the bundle's completion
// action: a quit there asks for it in the removal's own words, and its
// button restarts.
TEST_F(UninstallScreen, QuitAfterTheRemovalAsksForTheRestartItNeeds) {
    info_["PEL_ON_COMPLETE_ACTION"] = "LOGOUT";
    uninstall_->helper = [](PelUninstallXPCProtocol& p) {
        p.uninstallStarted();
        p.uninstallEnded();
    };
    launchAndCheck();
    QTest::mouseClick(screen().uninstallBeginButton, Qt::LeftButton);
    settle();
    ASSERT_EQ(centerContent(), main().rebootViewController());
    EXPECT_TRUE(main().endsWithRestart());
    // The step list shows the removal as a step done.
    using Item = InstallerUIMiddlePanelRowViewItem;
    EXPECT_EQ(hvk_->leftNavigationViewController()->rowObjectsArray(),
              LeftNavigationViewController::Rows{Item::itemForUninstallCompletion()});

    EXPECT_FALSE(delegate_->requestTerminate(QuitOrigin::Menu));
    pump();
    EXPECT_EQ(overlayTitle(), QStringLiteral("Restart Required"));
    EXPECT_EQ(form().closingScreenMessageText->text(),
              main().rebootViewController()->restartText->text());
    EXPECT_EQ(exits_, 0);
    QTest::mouseClick(form().closingScreenButton, Qt::LeftButton);
    pump();
    EXPECT_EQ(events_->events(), std::vector<std::uint32_t>{platform::kSystemEventRestart});
    EXPECT_EQ(exits_, 1);
}

TEST_F(UninstallScreen, HelperFailureFromAnotherThreadEndsOnTheMainThread) {
    uninstall_->helper = [](PelUninstallXPCProtocol& p) {
        p.uninstallStarted();
        p.appendError(std::string("Failed %@"), std::string("pkg"));
        p.uninstallEndedWithError();
        p.uninstallEnded();  // a second end changes nothing
    };
    launchAndCheck();
    QTest::mouseClick(screen().uninstallBeginButton, Qt::LeftButton);
    settle();
    EXPECT_EQ(errorText(),
              "We were unable to complete the uninstall. Please try again later or contact "
              "Support.");
    EXPECT_EQ(form().errorTitle->text(), "Uninstall Failed");
    EXPECT_EQ(pingErrors(), (std::vector<std::string>{"4", "7", "8"}));
    EXPECT_EQ(hvk_->statuses().back(), 8u);  // the error screen's own code follows 3
    const auto statuses = hvk_->statuses();
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), 3u), statuses.end());
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 4u), 0);
    EXPECT_EQ(hvk_->offMain(), 0);
    EXPECT_FALSE(fs::exists(agentPath()));
    EXPECT_EQ(check_->installs, 0);
}

// A helper that cannot be reached or asked ends the removal at once instead
// of leaving the progress screen spinning.
TEST_F(UninstallScreen, NoConversationWithTheHelperEndsInTheError) {
    struct Case {
        const char* name;
        bool connects, sends;
    } cases[] = {{"no connection", false, true}, {"request not sent", true, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uninstall_->connects = c.connects;
        uninstall_->sends = c.sends;
        launchAndCheck();
        QTest::mouseClick(screen().uninstallBeginButton, Qt::LeftButton);
        settle();
        EXPECT_EQ(errorText(),
                  "We were unable to complete the uninstall. Please try again later or contact "
                  "Support.");
        const auto errors = pingErrors();  // the cases' pings add up
        EXPECT_EQ(std::count(errors.begin(), errors.end(), "7"), &c - cases + 1);
        delegate_.reset();
        MainWindowController::resetSharedInstance();
        pump();
    }
}

TEST_F(UninstallScreen, BeginActsOnceUntilThePromptShowsAgain) {
    auto authorization = std::make_shared<testsupport::RecordingAuthorization>();
    authoriser_->granted = authorization;
    launchAndCheck();
    auto* begin = screen().uninstallBeginButton.data();
    // A second press, a Return and a direct call while the first is busy.
    begin->setFocus();
    QTest::mouseClick(begin, Qt::LeftButton);
    QTest::keyClick(begin, Qt::Key_Return);
    screen().uninstallBegin();
    QTest::mouseClick(begin, Qt::LeftButton);
    settle();
    EXPECT_EQ(authoriser_->requests.size(), 1u);
    EXPECT_EQ(authorization->blessed.size(), 1u);
    EXPECT_EQ(uninstall_->requests, 1);

    // The prompt shown anew takes Begin again (Space on the focused button).
    uninstall_->helper = nullptr;
    EXPECT_FALSE(screen().startUpgradeForAllProducts(check_->requirements, hvk_.get()));
    pump();
    ASSERT_EQ(centerContent(), screen().uninstallPromptView.data());
    screen().uninstallBeginButton->setFocus();
    QTest::keyClick(screen().uninstallBeginButton, Qt::Key_Space);
    settle();
    EXPECT_EQ(authoriser_->requests.size(), 2u);
}

TEST_F(UninstallScreen, ReviewPictures) {
    if (!std::getenv("PEL_UI_GRAB_DIR")) GTEST_SKIP() << "PEL_UI_GRAB_DIR is not set";
    std::shared_ptr<std::atomic<bool>> release = std::make_shared<std::atomic<bool>>(false);
    uninstall_->helper = [release](PelUninstallXPCProtocol& p) {
        p.uninstallStarted();
        // Held until the progress picture is taken (bounded, so a failed
        // test still ends).
        for (int i = 0; i < 2000 && !*release; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        p.uninstallEnded();
    };
    launchAndCheck();
    ReviewPictures::capture(main().window(), main().installStatus(),
                            QStringLiteral("uninstall-prompt"));
    QTest::mouseClick(screen().uninstallBeginButton, Qt::LeftButton);
    pump(30);
    ASSERT_EQ(centerContent(), screen().uninstallProgressView.data());
    ReviewPictures::capture(main().window(), main().installStatus(),
                            QStringLiteral("uninstall-progress"));
    *release = true;
    settle();
    ASSERT_EQ(centerContent(), main().rebootViewController());
    ReviewPictures::capture(main().window(), main().installStatus(),
                            QStringLiteral("restart-after-removal"));
}

#ifdef PEL_UNINSTALL_HELPER_PATH
/// The production engine all through: the requirement list's plug-in
/// requirement meets an older product in the registry, and the uninstall
/// helper, blessed as root into the test's root, removes it with the
/// bundle's signed removal tools.
class UninstallRealRemoval : public UninstallScreen {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "blessing needs root";
        UninstallScreen::SetUp();
        UninstallEngine::setShared(nullptr);
        HelperToolUtils::sharedHelperUtils().setAuthoriser(nullptr);
        InstallEngine::setShared(makeProductionInstallEngine());
        PelUninstallXPCClient::setSharedXPCClient(std::make_shared<PelUninstallXPCClient>());
        HVKUpgradeHelper::resetInstallerQRB();
        fs::create_directories(rooted("/Library/Application Support/Pelgrave/Registry"));
        registry_ = std::make_unique<PelRegistry::Registry>("/");
        PelProductCheckUtils::sharedProductCheck().setRegistry(registry_.get());
    }
    void TearDown() override {
        if (geteuid() != 0) return;
        auto client = PelUninstallXPCClient::sharedXPCClient();
        client->cancelInstallTimer();
        client->closeConnection();
        platform::SMRemoveJobAsRoot(kUninstallHelperLabel, nullptr);
        PelUninstallXPCClient::setSharedXPCClient(nullptr);
        PelInstallerFramework::sharedInstallerFramework().setPelReqContainer(nullptr);
        HVKUpgradeHelper::resetInstallerQRB();
        PelProductCheckUtils::sharedProductCheck().setRegistry(nullptr);
        UninstallScreen::TearDown();
    }
    static std::string rooted(const std::string& path) { return platform::Paths::resolve(path); }
    static void writePlist(const std::string& path, const Value& value) {
        fs::create_directories(fs::path(path).parent_path());
        ASSERT_TRUE(platform::PropertyList::toFile(value, path, platform::PropertyListFormat::XML,
                                                   false, nullptr));
    }
    /// The bundle's parts: the helper, the signed tools, the report's table,
    /// the requirement list offering version 8.0.0.
    void writeBundleParts() {
        const std::string contents = dir_.file("Apps/Test.app/Contents");
        fs::create_directories(contents + "/Library/LaunchServices");
        fs::copy_file(PEL_UNINSTALL_HELPER_PATH,
                      contents + "/Library/LaunchServices/" + kUninstallHelperLabel);
        for (const char* tool : {"preuninstall", "PelgraveRemovalTool"})
            for (const std::string suffix : {"", ".sig"})
                fs::copy_file(std::string(PEL_APP_RESOURCES_DIR) + "/" + tool + suffix,
                              contents + "/Resources/" + tool + suffix);
        fs::create_directories(contents + "/Resources/en.lproj");
        fs::copy_file(std::string(PEL_APP_RESOURCES_DIR) + "/en.lproj/Report.strings",
                      contents + "/Resources/en.lproj/Report.strings");
        writePlist(
            contents + "/Resources/PelSupportFolder/Requirements.plist",
            Value(Dictionary{
                {"PRODUCT_NAME", "Brenmoor"},
                {"PRODUCT_VERSION", "8.0.0"},
                {"PRODUCT_ID", kBrenmoor},
                {"SKU_ID", kBrenmoor},
                {"Requirements", platform::Array{Dictionary{
                                     {"Handler", "PLUGIN"},
                                     {"ReqID", 1},
                                     {"InstallMatrix", Dictionary{{"IMType", "INSTALL_UPGRADE"},
                                                                  {"PRODUCT_ID", kBrenmoor}}}}}}}));
    }
    /// Version 7.2.0 installed: one file, its receipt, its registry module.
    void installOlderProduct() {
        fs::create_directories(rooted("/opt/brenmoor/bin"));
        dir_.write("root/opt/brenmoor/bin/tool", "old");
        writePlist(rooted("/var/db/receipts/com.pelgrave.brenmoor.core.plist"),
                   Value(Dictionary{{"PackageIdentifier", "com.pelgrave.brenmoor.core"},
                                    {"InstallPrefixPath", "/"},
                                    {"Files", platform::Array{"opt/brenmoor/bin/tool"}}}));
        writePlist(rooted("/Library/Application Support/Pelgrave/Registry/brenmoor.plist"),
                   Value(Dictionary{{"Type", "Product"},
                                    {"Identifier", kBrenmoor},
                                    {"Version", "7.2.0"},
                                    {"SKU", kBrenmoor},
                                    {"Name", Dictionary{{"en", "Brenmoor"}}}}));
    }
    /// Runs the window until `done`, at most 30 s.
    template <class Done>
    bool runUntil(Done done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!done() && std::chrono::steady_clock::now() < end) {
            pump(2);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return done();
    }

    std::unique_ptr<PelRegistry::Registry> registry_;
};

TEST_F(UninstallRealRemoval, PromptToRestartScreen) {
    writeBundle(dir_, info_, false);
    writeBundleParts();
    installOlderProduct();
    launchAndCheck();
    ASSERT_EQ(centerContent(), screen().uninstallPromptView.data()) << errorText().toStdString();
    EXPECT_EQ(screen().productsToUninstall(), (std::vector<std::string>{kBrenmoor}));

    QTest::mouseClick(screen().uninstallBeginButton, Qt::LeftButton);
    ASSERT_TRUE(runUntil([&] {
        return centerContent() == main().rebootViewController() ||
               centerContent() == form().errorView;
    }));
    ASSERT_EQ(centerContent(), main().rebootViewController())
        << errorText().toStdString() << " / report: " << screen().report();
    EXPECT_EQ(screen().report(),
              "Removed com.pelgrave.brenmoor.core\nRemoved com.pelgrave.brenmoor\n");
    EXPECT_FALSE(fs::exists(rooted("/opt/brenmoor")));
    EXPECT_FALSE(fs::exists(rooted("/var/db/receipts/com.pelgrave.brenmoor.core.plist")));
    EXPECT_FALSE(
        fs::exists(rooted("/Library/Application Support/Pelgrave/Registry/brenmoor.plist")));
    EXPECT_TRUE(fs::exists(agentPath()));
    EXPECT_EQ(pingErrors(), (std::vector<std::string>{"6", "8"}));
    EXPECT_EQ(PelUninstallXPCClient::sharedXPCClient()->pelUninstallStatus(), 703);
}
#endif

}  // namespace
}  // namespace shelltest
