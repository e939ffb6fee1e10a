// The installer end to end on the demo bundle: the real window driven only by
// clicks and keys on its outlets, the real downloader against a loopback
// server, the real install engine and the install and uninstall helpers
// blessed into the test's path root as second processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "Controllers/AgreeInstallViewController.h"
#include "Controllers/ClosingScreens.h"
#include "Controllers/Core/FSDFacade.h"
#include "Controllers/Core/InstallEngine.h"
#include "Controllers/Core/InstallerInstanceLock.h"
#include "Controllers/Core/OptInRegions.h"
#include "Controllers/HVKProductPlugin.h"
#include "Controllers/InstallerAppDelegate.h"
#include "Controllers/InstallerUIMiddlePanelRowViewItem.h"
#include "Controllers/LeftNavigationViewController.h"
#include "Controllers/MainWindowController.h"
#include "Controllers/ShellSupport.h"
#include "Controllers/UninstallViewController.h"
#include "Controllers/VTClientApplication.h"
#include "Downloader/StatPing.h"
#include "Engine/HelperToolUtils.h"
#include "Engine/PelInstallAppUtilities.h"
#include "Engine/PelInstallXPCClient.h"
#include "Engine/PelInstallerFramework.h"
#include "Engine/PelLaunchdUtils.h"
#include "Engine/PelUninstallXPCClient.h"
#include "Foundation/PelGenericUtils.h"
#include "Foundation/PelLogging.h"
#include "Foundation/PelSignatureSettings.h"
#include "OstrelUI/Controls/OstrelUIAnimation.h"
#include "OstrelUI/Controls/OstrelUIAppearance.h"
#include "OstrelUI/Controls/PelgraveUIColors.h"
#include "OstrelUI/Controls/XTextFieldWithLinks.h"
#include "Platform/Dispatch/MainQueue.h"
#include "Platform/System/Bundle.h"
#include "Platform/System/Paths.h"
#include "Platform/System/ServiceManagement.h"
#include "Platform/System/SystemEvents.h"
#include "pelsign/DevSigning.h"
#include "support/FakeAuthoriser.h"
#include "support/FakeHelperProcess.h"
#include "support/LoopbackHttpServer.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using testsupport::LoopbackHttpServer;
using testsupport::RecordedRequest;
using testsupport::ScriptedReply;

constexpr const char* kHelperLabel = "com.pelgrave.PelInstallHelper";
constexpr const char* kPackageName = "Ostrel for Mac.mpkg";
constexpr const char* kReceipt = "/var/db/receipts/com.pelgrave.ostrel.demo.plist";
constexpr const char* kDemoFile = "/Applications/Ostrel Demo/Read Me.txt";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

VTClientApplication& application() {
    static VTClientApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        static int argc = 1;
        static char name[] = "controllers_e2e_tests";
        static char* argv[] = {name, nullptr};
        return new VTClientApplication(argc, argv);
    }();
    return *app;
}

class EndToEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "blessing the install helper needs root";
        if (!PelSignatureTrustsDevelopmentKeys())
            GTEST_SKIP() << "the demo bundle is signed with the development keys";
        application();
        ostrelui::setAnimationScale(0);
        started_ = std::chrono::steady_clock::now();

        PelLogChannel::Config config = PelLogging::installChannelConfig();
        config.copyToStderr = false;
        config.sendToSystemLog = false;
        PelLogging::setSharedChannel(std::make_shared<PelLogChannel>(config));

        // The root as the engine's own end-to-end tests prepare it.
        fs::create_directories(root_ + "/Library/Application Support/Pelgrave/Registry");
        fs::create_directories(root_ + "/home");
        // A system that knows its version, on which no kernel module of the
        // product is loaded.
        fs::create_directories(root_ + "/etc");
        std::ofstream(root_ + "/etc/os-release") << "ID=debian\nVERSION_ID=\"12\"\n";
        copyDemoBundle();

        server_.setHandler([this](const RecordedRequest& request) { return answer(request); });
        StatPing::setEndpointHosts(server_.hostAndPort(), server_.hostAndPort());
        events_ = std::make_shared<platform::RecordingEventSender>();
        PelGenericUtils::sharedGenUtils().setSystemEventSender(events_);
        UrlOpener::setOpener([](const std::string&) { return true; });
        ScreenInfo::setMainScreenHeight(900);

        // The production engine and downloader; as root the effective-user
        // seam sends the packages through the blessed install helper.
        InstallEngine::setShared(nullptr);
        FSDFacade::setFactory(nullptr);
        PelInstallerFramework& framework = PelInstallerFramework::sharedInstallerFramework();
        framework.setPelReqContainer(nullptr);
        framework.setEffectiveUserIdSource([] { return uid_t(501); });
        auto authoriser = std::make_shared<testsupport::FakeAuthoriser>();
        authoriser->granted = std::make_shared<platform::RootAuthorization>(bundle_, 501);
        HelperToolUtils::sharedHelperUtils().setAuthoriser(authoriser);
        PelInstallXPCClient::setSharedXPCClient(std::make_shared<PelInstallXPCClient>());
        PelUninstallXPCClient::setSharedXPCClient(std::make_shared<PelUninstallXPCClient>());
        registerProductPlugins();
    }

    void TearDown() override {
        if (IsSkipped()) return;
        stopOtherCopy();
        delegate_.reset();
        MainWindowController::resetSharedInstance();
        pump();
        platform::SMRemoveJobAsRoot(kHelperLabel, nullptr);
        auto uninstallClient = PelUninstallXPCClient::sharedXPCClient();
        uninstallClient->cancelInstallTimer();
        uninstallClient->closeConnection();
        platform::SMRemoveJobAsRoot(kUninstallHelperLabel, nullptr);
        PelUninstallXPCClient::setSharedXPCClient(nullptr);
        PelInstallXPCClient::setSharedXPCClient(nullptr);
        HelperToolUtils::sharedHelperUtils().setAuthoriser(nullptr);
        PelInstallerFramework::sharedInstallerFramework().setEffectiveUserIdSource(nullptr);
        PelInstallerFramework::sharedInstallerFramework().setPelReqContainer(nullptr);
        PelInstallAppUtilities::replaceInstance(nullptr);
        platform::Bundle::setMainBundle(nullptr);
        PelGenericUtils::sharedGenUtils().setSystemEventSender(nullptr);
        UrlOpener::setOpener(nullptr);
        ScreenInfo::setMainScreenHeight(std::nullopt);
        StatPing::setEndpointHosts("", "");
        ostrelui::clearImageCache();
        server_.stop();
        PelLogging::setSharedChannel(nullptr);
        InstallerInstanceLock::releaseShared();
        RecordProperty("e2e_ms",
                       std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - started_)
                                          .count()));
    }

    // The bundle's resources (the signed removal tools among them),
    // Info.plist and helpers; the program's executables are not needed to
    // run its screens in this process.
    void copyDemoBundle() {
        const fs::path from = PEL_DEMO_BUNDLE;
        fs::create_directories(bundle_ + "/Contents/Library/LaunchServices");
        fs::copy_file(from / "Contents/Info.plist", bundle_ + "/Contents/Info.plist");
        fs::copy(from / "Contents/Resources", bundle_ + "/Contents/Resources",
                 fs::copy_options::recursive);
        for (const char* label : {kHelperLabel, kUninstallHelperLabel})
            fs::copy_file(from / "Contents/Library/LaunchServices" / label,
                          bundle_ + "/Contents/Library/LaunchServices/" + label);
    }

    // The demo manifest for this server, signed here with the development
    // manifest key, beside the bundle.
    void writeManifest() {
        std::string text = readFile(PEL_DEMO_MANIFEST_TEMPLATE);
        const std::string placeholder = "@PEL_DEMO_BASE_URL@";
        for (auto at = text.find(placeholder); at != std::string::npos;
             at = text.find(placeholder, at))
            text.replace(at, placeholder.size(), server_.url(""));
        const auto key = devsign::PrivateKey::loadPEM(std::string(PEL_DEV_KEYS_DIR) +
                                                      "/manifest-signing.DEVELOPMENT-ONLY.key.pem");
        dir_.write("Installer/.fsd/fsdmanifest.js", text);
        dir_.write("Installer/.fsd/fsdmanifest-sig.txt",
                   devsign::base64Lines(key.signMessage(platform::DigestAlgorithm::kSHA512,
                                                        text.data(), text.size())));
    }

    ScriptedReply answer(const RecordedRequest& request) {
        const std::string path = request.path();
        if (path == "/OstrelDemoPackage.zip" && packageFailures_ > 0) {
            --packageFailures_;
            return ScriptedReply::withStatus(404);
        }
        if (path == "/OstrelDemoSetup.zip" || path == "/OstrelDemoPackage.zip")
            return ScriptedReply::ok(readFile(std::string(PEL_DEMO_SERVER_DIR) + path));
        return ScriptedReply::ok();  // statistics pings
    }

    void launch() {
        platform::Bundle::setMainBundle(std::make_shared<platform::Bundle>(bundle_));
        ostrelui::clearImageCache();
        PelInstallAppUtilities::replaceInstance(
            std::make_shared<PelInstallAppUtilities>(platform::Bundle::mainBundle()));
        delegate_ = std::make_unique<InstallerAppDelegate>();
        delegate_->setExitHandler([this] { ++exits_; });
        delegate_->applicationDidFinishLaunching();
        window()->activateWindow();
        pump();
    }

    static void pump() {
        for (int i = 0; i < 4; ++i) {
            QCoreApplication::processEvents();
            platform::MainQueue::shared()->drain();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
    }
    static bool runUntil(const std::function<bool()>& done,
                         std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            pump();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    QWidget* window() { return MainWindowController::sharedMainMenuController()->window(); }
    template <class T = QPushButton>
    T* outlet(const char* name) {
        return window()->findChild<T*>(QString::fromLatin1(name));
    }
    bool visible(const char* name) {
        QWidget* widget = outlet<QWidget>(name);
        return widget && widget->isVisible() && widget->isEnabled();
    }
    std::string rooted(const std::string& path) const { return root_ + path; }
    std::string errorText() {
        auto* message = outlet<ostrelui::XTextFieldWithLinks>("errorText");
        return message && message->isVisible() ? message->stringValue().toStdString() : "";
    }
    std::string helperLog(const char* label = kHelperLabel) const {
        return readFile(rooted("/var/log/" + std::string(label) + ".log"));
    }

    /// Presses `button` of the opt-in dialog once it is open, or sends it
    /// `key` when `button` is null; records which dialog was answered.
    void answerOptInDialog(const char* button, Qt::Key key = Qt::Key_unknown) {
        auto timer = new QTimer(qApp);
        timer->setInterval(5);
        QObject::connect(timer, &QTimer::timeout, [this, timer, button, key] {
            QWidget* dialog = QApplication::activeModalWidget();
            if (!dialog || dialog->objectName() != QStringLiteral("FellowguardWindow")) return;
            timer->stop();
            timer->deleteLater();
            ++dialogs_;
            if (button)
                QTest::mouseClick(dialog->findChild<QPushButton*>(QString::fromLatin1(button)),
                                  Qt::LeftButton);
            else
                QTest::keyClick(dialog, key);
        });
        timer->start();
    }

    /// Sends Tab to the focused widget until `name` has the focus.
    bool tabTo(const char* name) {
        for (int i = 0; i < 40; ++i) {
            QWidget* focus = QApplication::focusWidget();
            if (focus && focus->objectName() == QLatin1String(name)) return true;
            QTest::keyClick(focus ? focus : window(), Qt::Key_Tab);
            pump();
        }
        return false;
    }

    void expectInstalledUnderTheRoot() {
        EXPECT_TRUE(fs::exists(rooted(kDemoFile))) << helperLog();
        EXPECT_TRUE(fs::exists(rooted(kReceipt)));
        EXPECT_TRUE(fs::exists(rooted("/Applications/Ostrel Demo/ostrel-demo")));
        // The helper took the bundle's partner file along.
        EXPECT_NE(
            readFile(rooted("/Library/Application Support/Pelgrave/com.pelgrave.partner.plist"))
                .find("<string>DEMO</string>"),
            std::string::npos);
    }
    void expectManifestCopy() {
        // The product plug-in's folder for the copy, under the root.
        const std::string folder = rooted("/Library/Application Support/Pelgrave/Silo/TLW/FSD");
        EXPECT_EQ(readFile(folder + "/fsdmanifest.js"),
                  readFile(dir_.file("Installer/.fsd/fsdmanifest.js")));
        EXPECT_TRUE(fs::exists(folder + "/fsdmanifest-sig.txt"));
    }
    HVKProductPlugin& plugin() {
        return dynamic_cast<HVKProductPlugin&>(
            *MainWindowController::sharedMainMenuController()->productPlugin());
    }
    /// The step list settles on "all complete" (both rows complete, neither
    /// working) once the closing screen is in.
    bool stepListComplete() {
        const auto& rows = plugin().leftNavigationViewController()->rowObjectsArray();
        using Row = InstallerUIMiddlePanelRowViewItem;
        return rows && *rows == LeftNavigationViewController::Rows{
                                    Row::itemForInstallCompletion(),
                                    Row::itemForUpdatePreferencesCompletion()};
    }
    std::uint64_t uiOptions() {
        return MainWindowController::sharedMainMenuController()->uiOptionsClicked();
    }
    std::size_t requestsFor(const std::string& path) const {
        std::size_t n = 0;
        for (const auto& request : server_.requests()) n += request.path() == path;
        return n;
    }

    /// Starts the installer program itself from this test's copy of the
    /// bundle, on this test's path root, as a second copy.
    pid_t startOtherCopy() {
        const std::string program = bundle_ + "/Contents/MacOS/PelInstaller";
        fs::create_directories(bundle_ + "/Contents/MacOS");
        fs::copy_file(std::string(PEL_DEMO_BUNDLE) + "/Contents/MacOS/PelInstaller", program,
                      fs::copy_options::overwrite_existing);
        std::vector<std::string> args = {program};
        std::vector<std::string> env;
        for (std::string& entry : testsupport::environmentUnderRoot())
            if (entry.rfind("PEL_UI_GRAB_DIR=", 0) != 0 && entry.rfind("QT_QPA_PLATFORM=", 0) != 0)
                env.push_back(std::move(entry));
        env.push_back("QT_QPA_PLATFORM=offscreen");
        std::vector<char*> argv = testsupport::execArray(args);
        std::vector<char*> envp = testsupport::execArray(env);
        const std::string log = dir_.file("other-copy.log");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        if (posix_spawn(&otherCopy_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
            otherCopy_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        return otherCopy_;
    }
    /// Asks the other copy to quit (SIGTERM, as the session does) and waits
    /// for it; true when it has ended.
    bool stopOtherCopy() {
        if (otherCopy_ <= 0) return true;
        ::kill(otherCopy_, SIGTERM);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        int status = 0;
        while (::waitpid(otherCopy_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) {
                ::kill(otherCopy_, SIGKILL);
                ::waitpid(otherCopy_, &status, 0);
                otherCopy_ = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        otherCopy_ = -1;
        return true;
    }
    /// The process id written into the installer's lock file ("" when none).
    std::string lockHolder() {
        std::string holder;
        std::ifstream(InstallerInstanceLock::lockPath("com.pelgrave.installer")) >> holder;
        return holder;
    }
    /// The WCAG contrast of the strongest pixel of `label`'s text on the
    /// window's picture against the colour behind it (taken at the label's
    /// right end, where the short titles leave it clear).
    double textContrast(const char* name) {
        auto* label = outlet<QLabel>(name);
        if (!label || !label->isVisible()) return 0;
        const QImage picture = window()->grab().toImage();
        const QRect rect(label->mapTo(window(), QPoint(0, 0)), label->size());
        const QColor behind(picture.pixel(rect.right() - 1, rect.top() + 1));
        double best = 1;
        for (int y = rect.top(); y <= rect.bottom(); ++y)
            for (int x = rect.left(); x <= rect.right(); ++x)
                best = std::max(best, ostrelui::contrastRatio(QColor(picture.pixel(x, y)), behind));
        return best;
    }

    testsupport::TempDir dir_;
    std::string root_ = dir_.file("root");
    platform::Paths::ScopedRoot pathRoot_{root_, root_ + "/home"};
    std::string bundle_ = dir_.file("Installer/PelInstaller.app");
    LoopbackHttpServer server_;
    std::atomic<int> packageFailures_{0};
    std::shared_ptr<platform::RecordingEventSender> events_;
    std::unique_ptr<InstallerAppDelegate> delegate_;
    int exits_ = 0;
    int dialogs_ = 0;
    pid_t otherCopy_ = -1;
    std::chrono::steady_clock::time_point started_;
};

TEST_F(EndToEndTest, WelcomeOptInDownloadInstallAndRestart) {
    writeManifest();
    launch();
    // The set-up download gives the welcome screen its requirement list.
    ASSERT_TRUE(runUntil([&] { return visible("installButton"); }));
    EXPECT_EQ(requestsFor("/OstrelDemoSetup.zip"), 1u);
    ASSERT_TRUE(visible("optIn"));
    EXPECT_FALSE(outlet("optIn")->isChecked());

    answerOptInDialog("okButton");
    QTest::mouseClick(outlet("installButton"), Qt::LeftButton);
    EXPECT_EQ(dialogs_, 1);
    EXPECT_TRUE(outlet("optIn")->isChecked());
    ASSERT_TRUE(runUntil([&] { return visible("restartButton"); })) << helperLog();
    EXPECT_EQ(requestsFor("/OstrelDemoPackage.zip"), 1u);
    expectInstalledUnderTheRoot();
    expectManifestCopy();
    // The demo ships no kernel module: no approval screens.
    EXPECT_EQ(uiOptions() & kUIOptionKextSetupShown, 0u);
    EXPECT_NE(
        outlet<QLabel>("restartText")->text().indexOf(QStringLiteral("Restart your computer")), -1);
    EXPECT_TRUE(runUntil([&] { return stepListComplete(); }, std::chrono::seconds(10)));

    EXPECT_TRUE(events_->events().empty());
    QTest::mouseClick(outlet("restartButton"), Qt::LeftButton);
    pump();
    EXPECT_EQ(events_->events(), std::vector<std::uint32_t>{platform::kSystemEventRestart});
    EXPECT_EQ(exits_, 1);
    // Every request stayed on the loopback server: the archives and the pings.
    for (const auto& request : server_.requests())
        EXPECT_TRUE(request.path() == "/OstrelDemoSetup.zip" ||
                    request.path() == "/OstrelDemoPackage.zip" || request.path() == "/n/p")
            << request.target;
}

// The in-process road as root: the system installer inside the root, the
// plug-in's own end (flag files with the user's choice, the kernel-module
// check), the step list and the closing screen as through the helper.
TEST_F(EndToEndTest, AsRootTheInstallEndsWithTheUsersChoiceAndACompleteStepList) {
    fs::create_directories(rooted("/usr/sbin"));
    fs::copy_file(PEL_SYSTEM_INSTALLER_TOOL, rooted("/usr/sbin/installer"));
    PelInstallerFramework::sharedInstallerFramework().setEffectiveUserIdSource(
        [] { return uid_t(0); });
    writeManifest();
    launch();
    ASSERT_TRUE(runUntil([&] { return visible("installButton"); }));
    answerOptInDialog("okButton");
    QTest::mouseClick(outlet("installButton"), Qt::LeftButton);
    ASSERT_TRUE(runUntil([&] { return visible("restartButton") || visible("closeButtonError"); }));
    ASSERT_TRUE(visible("restartButton")) << errorText();
    EXPECT_TRUE(fs::exists(rooted(kDemoFile)));
    EXPECT_TRUE(fs::exists(rooted(kReceipt)));
    // No helper was blessed on this road.
    EXPECT_FALSE(fs::exists(rooted("/Library/PrivilegedHelperTools/") + kHelperLabel));
    // The user's choice (join) is kept; the region flag is written too.
    EXPECT_EQ(readFile(rooted(kOptInFlagFilePath)), std::string(1, '\1'));
    EXPECT_TRUE(fs::exists(rooted(kRegionFlagFilePath)));
    EXPECT_EQ(uiOptions() & kUIOptionKextSetupShown, 0u);
    EXPECT_EQ(outlet<QLabel>("restartText")->text(),
              QStringLiteral("Restart your computer now to activate your protection. You are not "
                             "protected until you do so."));
    EXPECT_TRUE(runUntil([&] { return stepListComplete(); }, std::chrono::seconds(10)));
    QTest::mouseClick(outlet("restartButton"), Qt::LeftButton);
    pump();
    EXPECT_EQ(events_->events(), std::vector<std::uint32_t>{platform::kSystemEventRestart});
}

// A product whose package put a kernel module and its loading helper in
// place asks for the module's approval after the install; the demo (above)
// does not.
TEST_F(EndToEndTest, AProductThatShipsAKernelModuleAsksForItsApproval) {
    fs::create_directories(rooted("/Library/Extensions/PelKorvex.kext/Contents"));
    std::ofstream(rooted("/Library/Extensions/PelKorvex.kext/Contents/Info.plist")) << "";
    fs::create_directories(rooted("/Library/PrivilegedHelperTools"));
    std::ofstream(rooted("/Library/PrivilegedHelperTools/com.pelgrave.kexthelper.TLW")) << "";
    fs::create_directories(rooted("/sys/module"));
    writeManifest();
    launch();
    ASSERT_TRUE(runUntil([&] { return visible("installButton"); }));
    answerOptInDialog("laterButton");
    QTest::mouseClick(outlet("installButton"), Qt::LeftButton);
    ASSERT_TRUE(runUntil([&] {
        return visible("kextAssistantSetupView") || visible("restartButton");
    })) << helperLog();
    EXPECT_TRUE(visible("kextAssistantSetupView"));
    EXPECT_FALSE(visible("restartButton"));
    expectInstalledUnderTheRoot();
    // The screens ask for an action: the slideshow has made way for them.
    EXPECT_FALSE(visible("progressBarAnimationBox"));

    // No helper answers here, so the load fails: the install ends, but its
    // closing screen says the protection is not active, and the step list
    // settles on the preferences warning.
    ASSERT_TRUE(runUntil([&] { return visible("openNowButton"); }));
    QTest::mouseClick(outlet("openNowButton"), Qt::LeftButton);
    ASSERT_TRUE(runUntil([&] { return visible("continueButton"); }));
    QTest::mouseClick(outlet("continueButton"), Qt::LeftButton);
    ASSERT_TRUE(runUntil([&] { return visible("restartButton"); }));
    EXPECT_EQ(outlet<QLabel>("restartTitle")->text(), QStringLiteral("Protection Not Active Yet"));
    EXPECT_NE(outlet<QLabel>("restartText")->text().indexOf(QStringLiteral("not protected yet")),
              -1)
        << outlet<QLabel>("restartText")->text().toStdString();
    using Row = InstallerUIMiddlePanelRowViewItem;
    const LeftNavigationViewController::Rows warned{Row::itemForInstallCompletion(),
                                                    Row::itemForUpdatePreferencesWarning()};
    auto* left = plugin().leftNavigationViewController();
    EXPECT_TRUE(runUntil([&] { return left->rowObjectsArray() == warned; }));
    runUntil([] { return false; }, std::chrono::milliseconds(3500));
    EXPECT_EQ(left->rowObjectsArray(), warned);
    EXPECT_EQ(left->centerBarImageName(), QStringLiteral("bg-status-orange"));
}

// Without the manifest beside the bundle the bundle's own package installs:
// no download, the same closing screen and step list.
TEST_F(EndToEndTest, TheBundledPackageInstallsWithoutADownload) {
    launch();
    ASSERT_TRUE(runUntil([&] { return visible("installButton"); }));
    answerOptInDialog("laterButton");
    QTest::mouseClick(outlet("installButton"), Qt::LeftButton);
    ASSERT_TRUE(runUntil([&] { return visible("restartButton") || visible("closeButtonError"); }))
        << helperLog();
    ASSERT_TRUE(visible("restartButton")) << errorText();
    EXPECT_TRUE(fs::exists(rooted(kDemoFile)));
    EXPECT_EQ(requestsFor("/OstrelDemoPackage.zip"), 0u);
    EXPECT_FALSE(outlet<QLabel>("restartText")->text().isEmpty());
    EXPECT_TRUE(runUntil([&] { return stepListComplete(); }, std::chrono::seconds(10)));
}

TEST_F(EndToEndTest, AFailedMandatoryDownloadIsTriedAgainAndSucceeds) {
    packageFailures_ = 1;
    writeManifest();
    launch();
    ASSERT_TRUE(runUntil([&] { return visible("installButton"); }));
    answerOptInDialog("laterButton");
    QTest::mouseClick(outlet("installButton"), Qt::LeftButton);
    EXPECT_FALSE(outlet("optIn")->isChecked());

    ASSERT_TRUE(runUntil([&] { return visible("tryAgainButton"); }));
    EXPECT_FALSE(fs::exists(rooted(kReceipt)));
    QTest::mouseClick(outlet("tryAgainButton"), Qt::LeftButton);
    ASSERT_TRUE(runUntil([&] { return visible("restartButton"); })) << helperLog();
    EXPECT_EQ(requestsFor("/OstrelDemoPackage.zip"), 2u);
    expectInstalledUnderTheRoot();
    expectManifestCopy();
    EXPECT_EQ(exits_, 0);
}

TEST_F(EndToEndTest, AFailedRequirementEndsOnTheErrorScreenWithNothingInstalled) {
    // Without a manifest the bundle's own list and package apply; this list
    // asks for more memory than any machine has.
    const std::string list = bundle_ + "/Contents/Resources/PelSupportFolder/Requirements.plist";
    std::string text = readFile(list);
    const auto at = text.find("256MB");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, 5, "99999999GB");
    std::ofstream(list, std::ios::trunc) << text;
    launch();
    ASSERT_TRUE(runUntil([&] { return visible("installButton"); }));
    answerOptInDialog("okButton");
    QTest::mouseClick(outlet("installButton"), Qt::LeftButton);

    ASSERT_TRUE(runUntil([&] { return visible("closeButtonError"); }));
    auto* message = outlet<ostrelui::XTextFieldWithLinks>("errorText");
    ASSERT_TRUE(message);
    EXPECT_NE(message->stringValue().indexOf(QStringLiteral("of memory is needed")), -1)
        << message->stringValue().toStdString();
    EXPECT_FALSE(fs::exists(rooted(kReceipt)));
    EXPECT_FALSE(fs::exists(rooted(kDemoFile)));
    EXPECT_EQ(server_.requestCount(), requestsFor("/n/p"));
    QTest::mouseClick(outlet("closeButtonError"), Qt::LeftButton);
    pump();
    EXPECT_EQ(exits_, 1);
    EXPECT_TRUE(events_->events().empty());
}

TEST_F(EndToEndTest, TheWholeRunByKeyboardAlone) {
    writeManifest();
    launch();
    ASSERT_TRUE(runUntil([&] { return visible("installButton"); }));
    // Space toggles the opt-in box both ways.
    ASSERT_TRUE(tabTo("optIn"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    EXPECT_TRUE(outlet("optIn")->isChecked());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    EXPECT_FALSE(outlet("optIn")->isChecked());

    // Return installs; Escape answers the opt-in dialog with Later.
    ASSERT_TRUE(tabTo("installButton"));
    answerOptInDialog(nullptr, Qt::Key_Escape);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_EQ(dialogs_, 1);
    EXPECT_FALSE(outlet("optIn")->isChecked());

    ASSERT_TRUE(runUntil([&] { return visible("restartButton"); })) << helperLog();
    expectInstalledUnderTheRoot();
    ASSERT_TRUE(tabTo("restartButton"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    pump();
    EXPECT_EQ(events_->events(), std::vector<std::uint32_t>{platform::kSystemEventRestart});
    EXPECT_EQ(exits_, 1);
}

TEST_F(EndToEndTest, AnOlderInstallIsRemovedThenTheRestartScreenShows) {
    // The older demo, as scripts/run.sh --older plants it: files, their
    // receipt and the registry module of version 0.9.0.
    const std::string olderFolder = "/Applications/Ostrel Demo 0.9";
    const std::string olderReceipt = "/var/db/receipts/com.pelgrave.brenmoor.demo.plist";
    const std::string olderModule =
        "/Library/Application Support/Pelgrave/Registry/com.pelgrave.brenmoor.plist";
    fs::copy(PEL_DEMO_OLDER_INSTALL, root_, fs::copy_options::recursive);
    ASSERT_TRUE(fs::exists(rooted(olderFolder + "/Resources/version.txt")));
    ASSERT_TRUE(fs::exists(rooted(olderReceipt)));
    ASSERT_TRUE(fs::exists(rooted(olderModule)));
    launch();
    ASSERT_TRUE(runUntil([&] { return visible("installButton"); }));
    answerOptInDialog("laterButton");
    QTest::mouseClick(outlet("installButton"), Qt::LeftButton);

    // The plug-in's requirement finds the older version: the prompt asks.
    ASSERT_TRUE(
        runUntil([&] { return visible("uninstallBeginButton") || visible("closeButtonError"); }));
    ASSERT_TRUE(visible("uninstallPromptView")) << errorText();
    QTest::mouseClick(outlet("uninstallBeginButton"), Qt::LeftButton);
    ASSERT_TRUE(runUntil([&] { return visible("restartButton") || visible("closeButtonError"); }))
        << helperLog(kUninstallHelperLabel);
    ASSERT_TRUE(visible("restartButton")) << errorText() << helperLog(kUninstallHelperLabel);
    EXPECT_EQ(outlet<QLabel>("restartTitle")->text(), QStringLiteral("Restart Required"));
    EXPECT_NE(outlet<QLabel>("restartText")
                  ->text()
                  .indexOf(QStringLiteral(
                      "previous version of your Ostrel product has been uninstalled")),
              -1)
        << outlet<QLabel>("restartText")->text().toStdString();

    // The older version is gone; the shared top folder stays; nothing of the
    // new version is installed before the restart.
    EXPECT_FALSE(fs::exists(rooted(olderFolder)));
    EXPECT_TRUE(fs::exists(rooted("/Applications")));
    EXPECT_FALSE(fs::exists(rooted(olderReceipt)));
    EXPECT_FALSE(fs::exists(rooted(olderModule)));
    EXPECT_FALSE(fs::exists(rooted(kReceipt)));
    EXPECT_EQ(PelUninstallXPCClient::sharedXPCClient()->pelUninstallStatus(), 703);
    // The installer comes back after the restart.
    auto& launchd = PelLaunchdUtils::sharedLaunchdUtils();
    EXPECT_TRUE(fs::exists(launchd.plistDestName(launchd.plistName("com.pelgrave.installer"))));

    // The signed removal tools ran around the removal, from their verified copies.
    const std::string log = helperLog(kUninstallHelperLabel);
    const auto before =
        log.find("Contents/Resources/preuninstall: removal of the older product begins");
    const auto after =
        log.find("Contents/Resources/PelgraveRemovalTool: removal of the older product has ended");
    EXPECT_NE(before, std::string::npos) << log;
    EXPECT_NE(after, std::string::npos) << log;
    EXPECT_LT(before, after) << log;
}

// Two copies on one path root: the program started first holds the
// installer's lock, so this copy's Install shows "The Installer Is Already
// Running" until that copy has quit; then Try Again takes the lock and the
// welcome comes back with its own look (dark titles on the light page).
TEST_F(EndToEndTest, ASecondCopyWaitsForTheFirstAndTryAgainReturnsToTheWelcome) {
    const pid_t other = startOtherCopy();
    ASSERT_GT(other, 0);
    ASSERT_TRUE(runUntil([&] { return lockHolder() == std::to_string(other); }))
        << readFile(dir_.file("other-copy.log"));
    launch();
    ASSERT_TRUE(runUntil([&] { return visible("installButton"); }));
    const double titleBefore = textContrast("productTitleText");
    EXPECT_GE(titleBefore, 4.5);

    QTest::mouseClick(outlet("installButton"), Qt::LeftButton);
    ASSERT_TRUE(runUntil([&] { return visible("okTryAgainButton"); }));
    EXPECT_EQ(outlet<QLabel>("okTitleText")->text(),
              QStringLiteral("The Installer Is Already Running"));
    QTest::mouseClick(outlet("okTryAgainButton"), Qt::LeftButton);
    pump();
    EXPECT_TRUE(visible("okTryAgainButton")) << "the other copy still runs";

    ASSERT_TRUE(stopOtherCopy());
    QTest::mouseClick(outlet("okTryAgainButton"), Qt::LeftButton);
    ASSERT_TRUE(runUntil([&] { return visible("installButton"); }));
    EXPECT_EQ(lockHolder(), std::to_string(::getpid()));
    EXPECT_EQ(QApplication::focusWidget(), outlet("installButton"));
    // The welcome's own title and logos, not the navy panel's light ones.
    EXPECT_GE(textContrast("productTitleText"), 4.5);
    EXPECT_GE(textContrast("productSecondaryTitleText"), 4.5);
    auto* main = MainWindowController::sharedMainMenuController();
    EXPECT_EQ(outlet<QLabel>("productLogoView")->pixmap().cacheKey(),
              ostrelui::imageNamed(main->productLogo()).cacheKey());
    EXPECT_FALSE(fs::exists(rooted(kReceipt)));
}

}  // namespace
