// The kernel-module approval screens on the launched shell, with a fake
// helper client (and once with the real helper) on a fake clock.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QPushButton>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "Controllers/AgreeInstallViewController.h"
#include "Controllers/Core/SecurityPreferencesOpener.h"
#include "Controllers/HVKProductPlugin.h"
#include "Controllers/KextAssistantInstallerViewController.h"
#include "Controllers/ProgressAnimationViewController.h"
#include "OstrelUI/Controls/OstrelUISpinners.h"
#include "OstrelUI/Controls/OstrelUITintedButton.h"
#include "OstrelUI/Controls/PelgraveUIColors.h"
#include "OstrelUI/Controls/XTextFieldWithLinks.h"
#include "ShellFixture.h"
#include "support/FakeClock.h"

namespace shelltest {
namespace {

namespace fs = std::filesystem;
using Screen = KextAssistantInstallerViewController::Screen;

class RecordingOpener : public SecurityPreferencesOpener {
  public:
    void open() override { ++opens; }
    std::atomic<int> opens{0};
};

class RecordingDelegate : public IFPluginDelegate {
  public:
    std::vector<bool> finished;
    void pluginFinished(bool success) override { finished.push_back(success); }
};

/// The main product plug-in, recording its status codes.
class RecordingPlugin : public HVKProductPlugin {
  public:
    using HVKProductPlugin::HVKProductPlugin;
    std::vector<unsigned> statuses;
    void setProgressStatus(unsigned status) override { statuses.push_back(status); }
};

class KextScreen : public ShellTest {
  protected:
    void SetUp() override {
        ShellTest::SetUp();
        opener_ = std::make_shared<RecordingOpener>();
        KextAssistantInstallerViewController::setSecurityPreferencesOpener(opener_);
    }
    void TearDown() override {
        screen_.reset();
        ShellTest::TearDown();
        KextAssistantInstallerViewController::setSecurityPreferencesOpener(nullptr);
    }

    /// A fresh shell and client (set up by `prepare`), then the approval
    /// screens' entry.
    void enter(const std::function<void(FakeKextClient&)>& prepare = {}) {
        screen_.reset();
        delegate_.reset();
        MainWindowController::resetSharedInstance();
        pump();
        kext_ = std::make_shared<FakeKextClient>();
        kext_->showMessage = true;
        if (prepare) prepare(*kext_);
        finished_.finished.clear();
        launch();
        main().window()->show();
        pump();
        welcome_ = centerContent();
        screen_ = std::make_unique<KextAssistantInstallerViewController>(kext_, clock_);
        screen_->showAuthConsentWithDelegate(&finished_, plugin_.get());
        pump();
    }
    /// Lets `seconds` pass on the clock, running what comes due.
    void wait(double seconds) {
        const int steps = static_cast<int>(seconds * 4 + 0.5);
        for (int i = 0; i < steps; ++i) {
            clock_->advance(std::chrono::milliseconds(250));
            pump(3);
        }
        pump();
    }
    /// Open Now, then Continue, each once its screen is revealed.
    void openAndContinue() {
        wait(1.5);
        screen_->openNowButtonPressed();
        pump();
        wait(1.5);
        screen_->continuePressed();
        pump();
    }
    void replyToLoad(KextLoadStatus status) {
        kext_->reply(status);
        pump();
    }
    int count(unsigned status) const {
        return static_cast<int>(
            std::count(plugin_->statuses.begin(), plugin_->statuses.end(), status));
    }
    QWidget* focused() { return main().window()->focusWidget(); }

    std::shared_ptr<testsupport::FakeClock> clock_ = std::make_shared<testsupport::FakeClock>();
    std::shared_ptr<RecordingOpener> opener_;
    std::unique_ptr<KextAssistantInstallerViewController> screen_;
    RecordingDelegate finished_;
    QWidget* welcome_ = nullptr;  // the centre before the entry
};

// The whole road from Install: the plug-in hands the end to the screens,
// the keyboard drives them, and the module appearing ends the install on
// the restart screen, which the 60 s check then leaves alone.
TEST_F(KextScreen, InstallEndsThroughTheApprovalScreensByKeyboard) {
    std::shared_ptr<RecordingPlugin> plugin;
    PluginRegistry::registerPlugin("HVKProductPlugin", [&] {
        plugin = std::make_shared<RecordingPlugin>(clock_);
        return plugin;
    });
    info_["PEL_PRODUCT_PLUGIN_CLASS"] = "HVKProductPlugin";
    kext_->showMessage = true;
    launch();
    main().window()->show();
    pump();
    QTest::mouseClick(main().window()->findChild<QPushButton*>("installButton"), Qt::LeftButton);
    // The install road's own timed steps run until the plug-in hands over.
    auto handedOver = [&] {
        engine_->waitIdle();
        return std::find(plugin->statuses.begin(), plugin->statuses.end(), 10u) !=
               plugin->statuses.end();
    };
    for (int i = 0; i < 200 && !handedOver(); ++i) wait(0.25);
    ASSERT_TRUE(handedOver());
    pump();
    auto* kext = plugin->kextAssistantViewController();
    ASSERT_NE(kext, nullptr);
    EXPECT_TRUE(plugin->animationViewController()->isUpdatingPreference());
    wait(2.5);
    EXPECT_NE(centerContent(), kext->kextAssistantSetupView);
    wait(0.75);
    ASSERT_EQ(centerContent(), kext->kextAssistantSetupView);
    // The screens ask for an action: the slideshow's box has made way.
    EXPECT_TRUE(form().progressBarAnimationBox->isHidden());
    EXPECT_EQ(kext->productPlugIn(), plugin.get());
    EXPECT_EQ(main().installStatus(), kInstallStatusInstalling);  // until pluginFinished
    QApplication::setActiveWindow(main().window());

    std::vector<std::uint64_t> masks;
    auto mask = [&] { masks.push_back(main().uiOptionsClicked()); };
    wait(1.5);
    mask();
    ASSERT_EQ(focused(), kext->openNowButton);
    QTest::keyClick(focused(), Qt::Key_Space);
    pump();
    mask();
    EXPECT_EQ(centerContent(), kext->kextAssistantUpdatePrefView);
    EXPECT_EQ(opener_->opens, 1);

    // Shift+Tab from Continue reaches the retry link; Return presses it.
    wait(1.5);
    ASSERT_EQ(focused(), kext->continueButton);
    QTest::keyClick(focused(), Qt::Key_Tab, Qt::ShiftModifier);
    ASSERT_EQ(focused(), kext->loadPelKextText);
    EXPECT_EQ(kext->loadPelKextText->focusedLink(), 0);
    QTest::keyClick(focused(), Qt::Key_Return);
    pump();
    mask();
    EXPECT_EQ(kext_->loadsWithReply, std::vector<bool>{false});
    EXPECT_EQ(opener_->opens, 2);
    QTest::keyClick(focused(), Qt::Key_Tab);
    ASSERT_EQ(focused(), kext->continueButton);
    QTest::keyClick(focused(), Qt::Key_Return);
    pump();
    mask();
    EXPECT_EQ(kext->screen(), Screen::Validating);
    EXPECT_TRUE(kext->validatingImage->isRunning());
    EXPECT_EQ(kext_->loadsWithReply, (std::vector<bool>{false, true}));

    // Held back: the retry screen; Space on Retry goes back to Continue.
    replyToLoad(kKextLoadStatusNeedsApproval);
    EXPECT_EQ(centerContent(), kext->kextAssistantErrorView);
    wait(1.5);
    ASSERT_EQ(focused(), kext->retryButton);
    QTest::keyClick(focused(), Qt::Key_Space);
    pump();
    mask();
    EXPECT_EQ(centerContent(), kext->kextAssistantUpdatePrefView);
    EXPECT_EQ(opener_->opens, 3);
    wait(1.5);
    QTest::keyClick(focused(), Qt::Key_Return);
    pump();
    EXPECT_EQ(kext->screen(), Screen::Validating);

    // Allowed 20 s into the pass: finished, and the check at 60 s keeps the
    // restart screen.
    wait(20);
    kext_->moduleAppears();
    for (int i = 0; i < 5; ++i) {
        engine_->waitIdle();
        pump();
    }
    ASSERT_EQ(centerContent(), main().rebootViewController());
    EXPECT_EQ(main().rebootViewController()->restartTitle->text(),
              QStringLiteral("Preferences Updated"));
    wait(61);
    EXPECT_EQ(centerContent(), main().rebootViewController());
    EXPECT_EQ(masks, (std::vector<std::uint64_t>{0x100, 0x300, 0x1300, 0x1700, 0x1F00}));
    const auto from = std::find(plugin->statuses.begin(), plugin->statuses.end(), 10u);
    EXPECT_EQ(std::vector<unsigned>(from, plugin->statuses.end()),
              (std::vector<unsigned>{10, 11, 12, 12, 13, 12, 12, 14, 9}));
    EXPECT_EQ(kext_->shutdowns, 1);
}

// Without a held-back module the plug-in shuts the helper down and finishes
// at once; the screens never show.
TEST_F(KextScreen, WithoutTheMessageThePluginFinishesAfterStoppingTheHelper) {
    launch();
    RecordingPlugin plugin(clock_);
    struct ShutdownFirst : IFPluginDelegate {
        FakeKextClient* kext;
        std::vector<int> shutdownsAtFinish;
        void pluginFinished(bool) override { shutdownsAtFinish.push_back(kext->shutdowns); }
    } delegate;
    delegate.kext = kext_.get();
    plugin.installCompleteWithDelegate(true, &delegate);
    wait(4);
    EXPECT_EQ(delegate.shutdownsAtFinish, std::vector<int>{1});
    EXPECT_EQ(plugin.statuses, (std::vector<unsigned>{14, 9}));
    EXPECT_EQ(kext_->observations, 0);
}

// Every way the screens can end sends pluginFinished exactly once, and
// nothing changes the screen after it.
TEST_F(KextScreen, EveryRoadFinishesOnce) {
    // The step list's last code: "all complete" once the module is there,
    // the preferences warning when it could not be loaded.
    struct Case {
        const char* name;
        std::function<void(FakeKextClient&)> prepare;
        std::function<void()> road;
        bool success;
        std::optional<unsigned> settlesOn;
    };
    const Case cases[] = {
        {"the watch cannot start", [](FakeKextClient& k) { k.observeSucceeds = false; }, [] {},
         false, std::nullopt},
        {"the module is loaded already", [](FakeKextClient& k) { k.loadedAlready = true; }, [] {},
         true, 9},
        {"the load fails", nullptr,
         [&] {
             openAndContinue();
             replyToLoad(kKextLoadStatusFailed);
         },
         true, 11},
        {"the module appears while validating", nullptr,
         [&] {
             openAndContinue();
             replyToLoad(kKextLoadStatusLoaded);
             wait(30);
             kext_->moduleAppears();
         },
         true, 9},
        {"the module appears on the retry screen", nullptr,
         [&] {
             openAndContinue();
             replyToLoad(kKextLoadStatusNeedsApproval);
             wait(5);
             kext_->moduleAppears();
         },
         true, 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        enter(c.prepare);
        if (c.prepare) {
            EXPECT_EQ(centerContent(), welcome_);  // never reaches the setup view
        }
        c.road();
        QWidget* atEnd = centerContent();
        EXPECT_EQ(finished_.finished, std::vector<bool>{c.success});
        EXPECT_EQ(count(14), c.success && c.settlesOn == 9u ? 1 : 0);
        // Only a failed load turns the closing screen into "not protected".
        EXPECT_EQ(main().moduleNotLoaded(), c.settlesOn == 11u);

        // Late news changes nothing: a second appearance, a press, the
        // 60 s check.
        kext_->moduleAppears();
        screen_->retryButtonPressed();
        screen_->continuePressed();
        screen_->showRetryScreen();
        wait(61);
        EXPECT_EQ(finished_.finished.size(), 1u);
        EXPECT_EQ(centerContent(), atEnd);
        EXPECT_EQ(count(13),
                  std::string(c.name) == "the module appears on the retry screen" ? 1 : 0);
        if (c.settlesOn) {
            ASSERT_FALSE(plugin_->statuses.empty());
            EXPECT_EQ(plugin_->statuses.back(), *c.settlesOn);
        }
    }
}

// Each validating pass has its own 60 s check: an earlier pass's check does
// not put the retry screen over a later pass.
TEST_F(KextScreen, TheRetryScreenComesSixtySecondsIntoAPass) {
    enter();
    openAndContinue();  // pass 1 starts
    replyToLoad(kKextLoadStatusNeedsApproval);
    EXPECT_EQ(screen_->screen(), Screen::Retry);
    wait(20);
    screen_->retryButtonPressed();
    pump();
    wait(20);
    screen_->continuePressed();  // pass 2 starts, 41.5 s after pass 1
    pump();
    replyToLoad(kKextLoadStatusLoaded);
    wait(25);  // pass 1 is 66.5 s old
    EXPECT_EQ(screen_->screen(), Screen::Validating);
    EXPECT_EQ(count(13), 1);
    wait(36);  // pass 2 is 61 s old, the module still held back
    EXPECT_EQ(screen_->screen(), Screen::Retry);
    EXPECT_EQ(centerContent(), screen_->kextAssistantErrorView);
    EXPECT_EQ(count(13), 2);
    EXPECT_TRUE(finished_.finished.empty());
}

// Open Now, Continue and Retry act once until their screen changes.
TEST_F(KextScreen, EachActionActsOncePerScreen) {
    enter();
    wait(1.5);
    QTest::mouseClick(screen_->openNowButton, Qt::LeftButton);
    screen_->openNowButtonPressed();
    pump();
    EXPECT_EQ(count(12), 1);
    wait(1.5);
    EXPECT_EQ(opener_->opens, 1);
    QTest::mouseClick(screen_->continueButton, Qt::LeftButton);
    screen_->continuePressed();
    pump();
    EXPECT_EQ(kext_->loadsWithReply.size(), 1u);
    EXPECT_EQ(count(12), 2);
    replyToLoad(kKextLoadStatusNeedsApproval);
    wait(1.5);
    QTest::mouseClick(screen_->retryButton, Qt::LeftButton);
    screen_->retryButtonPressed();
    pump();
    wait(1.5);
    EXPECT_EQ(opener_->opens, 2);
    EXPECT_EQ(count(12), 3);
    EXPECT_EQ(main().uiOptionsClicked(), 0xF00u);
    // The continue screen is back: Continue works again, once.
    screen_->continuePressed();
    screen_->continuePressed();
    EXPECT_EQ(kext_->loadsWithReply.size(), 2u);
}

TEST_F(KextScreen, TheSentenceAndItsLink) {
    enter();
    // What allows the module on this system, the module's name in bold.
    const ostrelui::AttributedText sentence = screen_->getFormattedString();
    const QString allow = QStringLiteral("com.pelgrave.PelKorvex");
    ASSERT_TRUE(sentence.text.startsWith(
        QStringLiteral("As an administrator, add com.pelgrave.PelKorvex to the Approved list")));
    bool boldAllow = false;
    for (const auto& range : sentence.formats) {
        SCOPED_TRACE(sentence.text.mid(range.start, range.length).toStdString());
        EXPECT_EQ(range.format.fontPointSize(), 16);
        EXPECT_EQ(range.format.foreground().color(), ostrelui::colorWithDeviceHex(0x333333));
        EXPECT_EQ(range.format.doubleProperty(ostrelui::kMaximumLineHeightProperty), 30);
        const bool isAllow = sentence.text.mid(range.start, range.length) == allow;
        EXPECT_EQ(range.format.font().bold(), isAllow);
        boldAllow |= isAllow;
    }
    EXPECT_TRUE(boldAllow);

    auto* text = screen_->loadPelKextText;
    ASSERT_EQ(text->linkObjects().size(), 1u);
    EXPECT_EQ(*text->stringForLink(text->linkObjects()[0]), QStringLiteral("click here to retry"));
    EXPECT_TRUE(text->stringValue().contains(QStringLiteral("then click Continue")));

    openAndContinue();
    EXPECT_EQ(text->linkUnderline(), 0);
    EXPECT_EQ(text->linkColor(), ostrelui::colorWithDeviceHex(0x0077AA));
    const auto& link =
        std::get<std::shared_ptr<ostrelui::XTextFieldSelectorLink>>(text->linkObjects()[0]);
    EXPECT_EQ(link->action(), "loadKextPressed:");
    EXPECT_TRUE(text->clickedOnLink(text->linkObjects()[0], 0));
    EXPECT_EQ(text->linkUnderline(), 1);
    EXPECT_EQ(text->linkColor(), ostrelui::colorWithDeviceHex(0x09557B));
    EXPECT_EQ(kext_->loadsWithReply, (std::vector<bool>{true, false}));
    EXPECT_EQ(main().uiOptionsClicked() & 0x1000, 0x1000u);
    EXPECT_EQ(opener_->opens, 2);
}

TEST_F(KextScreen, ReviewPictures) {
    if (!std::getenv("PEL_UI_GRAB_DIR")) GTEST_SKIP() << "PEL_UI_GRAB_DIR is not set";
    enter();
    wait(1.5);
    ReviewPictures::capture(main().window(), main().installStatus(), QStringLiteral("kext-setup"));
    screen_->openNowButtonPressed();
    pump();
    wait(1.5);
    ReviewPictures::capture(main().window(), main().installStatus(),
                            QStringLiteral("kext-continue"));
    screen_->continuePressed();
    pump();
    ReviewPictures::capture(main().window(), main().installStatus(),
                            QStringLiteral("kext-validating"));
    replyToLoad(kKextLoadStatusNeedsApproval);
    wait(1.5);
    ReviewPictures::capture(main().window(), main().installStatus(), QStringLiteral("kext-retry"));
}

// The real kernel-module helper, started in the test's root: held back
// first, then allowed and loaded after Retry.
class KextScreenRealHelper : public KextScreen {
  protected:
    void SetUp() override {
        KextScreen::SetUp();
        if (geteuid() != 0) GTEST_SKIP() << "the helper runs as root";
        KextAssistantClient::setFactory(nullptr);
        root_ = dir_.file("root");
        const std::string contents = rooted("/Library/Extensions/PelKorvex.kext/Contents");
        fs::create_directories(contents);
        std::ofstream(contents + "/Info.plist") << "";
        fs::create_directories(rooted("/sys/module"));
        approvals(false);
        pid_ = fork();
        if (pid_ == 0) {
            setenv("PEL_PATH_ROOT", root_.c_str(), 1);
            execl(PEL_KEXT_HELPER_PATH, PEL_KEXT_HELPER_PATH, static_cast<char*>(nullptr));
            _exit(127);
        }
        ASSERT_GT(pid_, 0);
    }
    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        KextScreen::TearDown();
    }
    std::string rooted(const std::string& path) const { return root_ + path; }
    void approvals(bool allowed) {
        std::string plist = rooted("/var/db/pelgrave/kext-approvals.plist");
        fs::create_directories(fs::path(plist).parent_path());
        platform::Array approved{"com.pelgrave.Other"};
        if (allowed) approved.push_back("com.pelgrave.PelKorvex");
        ASSERT_TRUE(platform::PropertyList::toFile(
            platform::Value(platform::Dictionary{{"Approved", platform::Value(approved)}}), plist,
            platform::PropertyListFormat::XML, false, nullptr));
    }
    /// Runs the main queue in real time until `done` or 15 s.
    bool runUntil(const std::function<bool()>& done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            pump(2);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
    std::string root_;
    pid_t pid_ = -1;
};

TEST_F(KextScreenRealHelper, HeldBackThenRetriedAndLoaded) {
    // The settings "open" through a real command (under the path root).
    const std::string opener = rooted("/usr/bin/open-security-settings");
    const std::string opened = rooted("/opened");
    fs::create_directories(fs::path(opener).parent_path());
    std::ofstream(opener) << "#!/bin/sh\necho \"$1\" >> \"$PEL_PATH_ROOT/opened\"\n";
    chmod(opener.c_str(), 0755);
    KextAssistantInstallerViewController::setSecurityPreferencesOpener(
        std::make_shared<CommandSecurityPreferencesOpener>(
            platform::Task{"/usr/bin/open-security-settings", {"Security"}}));
    launch();
    main().window()->show();
    pump();
    screen_ = std::make_unique<KextAssistantInstallerViewController>(nullptr, clock_);
    screen_->showAuthConsentWithDelegate(&finished_, plugin_.get());
    pump();
    ASSERT_EQ(centerContent(), screen_->kextAssistantSetupView);
    openAndContinue();
    ASSERT_TRUE(runUntil([&] { return screen_->screen() == Screen::Retry; }));

    approvals(true);
    const std::string modprobe = rooted("/usr/sbin/modprobe");
    fs::create_directories(fs::path(modprobe).parent_path());
    std::ofstream(modprobe) << "#!/bin/sh\nmkdir -p \"$PEL_PATH_ROOT/sys/module/$1\"\n";
    chmod(modprobe.c_str(), 0755);
    wait(1.5);
    screen_->retryButtonPressed();
    pump();
    wait(1.5);
    screen_->continuePressed();
    ASSERT_TRUE(runUntil([&] { return !finished_.finished.empty(); }));
    EXPECT_EQ(finished_.finished, std::vector<bool>{true});
    EXPECT_TRUE(fs::exists(rooted("/sys/module/com_pelgrave_PelKorvex")));
    EXPECT_EQ(count(13), 1);
    EXPECT_EQ(count(14), 1);
    // Each continue screen opened the settings.
    ASSERT_TRUE(runUntil([&] {
        std::ifstream in(opened);
        return std::count(std::istreambuf_iterator<char>(in), {}, '\n') == 2;
    }));
    // The module's appearance shut the helper down.
    int status = 0;
    ASSERT_TRUE(runUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    pid_ = -1;
}

}  // namespace
}  // namespace shelltest
