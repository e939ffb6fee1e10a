// The layout check over the three roads of the installer (download, bundled
// package, removal of an older version) at both window heights: every screen,
// overlay, sheet and dialog a user meets, checked from the live widget tree
// (LayoutCheck.h). With PEL_LAYOUT_PICTURE_DIR set (ctest -L screens: the
// build's screens/layout), the pictures of each height go to <dir>/<height>/
// with an overview sheet per height.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "Controllers/AgreeInstallViewController.h"
#include "Controllers/Core/UninstallEngine.h"
#include "Controllers/FellowguardUI.h"
#include "Controllers/HVKProductPlugin.h"
#include "Controllers/InstallProgressViewController.h"
#include "Controllers/LeftNavigationViewController.h"
#include "Controllers/UninstallViewController.h"
#include "Downloader/StatPing.h"
#include "Engine/HelperToolUtils.h"
#include "Engine/PelRequirement.h"
#include "Engine/PelUninstallXPCClient.h"
#include "LayoutCheck.h"
#include "OstrelUI/Controls/OstrelUIEULAController.h"
#include "OstrelUI/Controls/OstrelUITintedButton.h"
#include "ShellFixture.h"
#include "support/FakeAuthoriser.h"
#include "support/FakeClock.h"
#include "support/LoopbackHttpServer.h"

namespace shelltest {
namespace {

namespace fs = std::filesystem;

/// The product's plug-in without statistics pings.
class QuietPlugin : public HVKProductPlugin {
  public:
    using HVKProductPlugin::HVKProductPlugin;
    bool performInstallPing(std::shared_ptr<StatPing>*) override { return false; }
    bool performFSDPing(std::shared_ptr<StatPing>*) override { return false; }
};

/// The upgrade rules find one older product; the helper reports its start,
/// waits for the test, then its end.
class OlderProduct : public PelUninstallEngine {
  public:
    std::shared_ptr<std::atomic<bool>> release = std::make_shared<std::atomic<bool>>(false);
    PelUninstallXPCProtocol* product = nullptr;
    ~OlderProduct() override { join(); }
    bool productsToUninstall(const Requirements&, Products* out, bool*, bool*,
                             std::shared_ptr<PelRequirement>*) override {
        if (out) *out = std::vector<std::string>{"com.pelgrave.brenmoor"};
        return false;
    }
    bool isInstallerQRB() override { return false; }
    void setProduct(PelUninstallXPCProtocol* p) override { product = p; }
    bool PelXPC_CreateMachService(const std::string&) override { return true; }
    bool uninstallProducts(const Products&, const std::optional<platform::Dictionary>&,
                           const std::optional<platform::Dictionary>&) override {
        join();
        thread_ = std::thread([p = product, release = release] {
            p->uninstallStarted();
            for (int i = 0; i < 6000 && !*release; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            p->uninstallEnded();
        });
        return true;
    }
    void join() {
        if (thread_.joinable()) thread_.join();
    }

  private:
    std::thread thread_;
};

class LayoutCheck : public ShellTest, public ::testing::WithParamInterface<int> {
  protected:
    void SetUp() override {
        ShellTest::SetUp();
        ReviewPictures::setFolder(QString());
        StatPing::setEndpointHosts(
            "127.0.0.1:" + std::to_string(testsupport::LoopbackHttpServer::unusedPort()),
            "127.0.0.1:" + std::to_string(testsupport::LoopbackHttpServer::unusedPort()));
        ostrelui::OstrelUIEULAController::setAgreementURLOverride(
            "http://127.0.0.1:" + std::to_string(testsupport::LoopbackHttpServer::unusedPort()) +
            "/licence.pdf");
        PluginRegistry::registerPlugin("HVKProductPlugin", [this] {
            auto plugin = std::make_shared<QuietPlugin>(clock_);
            hvk_ = plugin;
            return plugin;
        });
        if (const char* dir = std::getenv("PEL_LAYOUT_PICTURE_DIR"))
            pictureDir_ =
                QDir(QString::fromLocal8Bit(dir)).filePath(QString::number(windowHeight()));
        if (!pictureDir_.isEmpty()) QDir(pictureDir_).removeRecursively();
    }
    void TearDown() override {
        AgreeInstallViewController::setOptInDialog(nullptr);
        FellowguardUI::setDialogShownHook(nullptr);
        ostrelui::OstrelUIEULAController::setAgreementURLOverride(std::nullopt);
        if (older_) older_->join();
        hvk_.reset();
        ShellTest::TearDown();
    }

    int windowHeight() const { return GetParam(); }

    /// A fresh shell of the product as shipped: its Info.plist keys and its
    /// bundle's images and texts.
    void start(const QString& road, bool withManifest) {
        if (delegate_) stop();
        road_ = road;
        info_ = {{"PEL_PRODUCT_NAME", "Ostrel"},
                 {"PEL_BRAND", "Ostrel"},
                 {"CFBundleName", "Ostrel Installer"},
                 {"CFBundleIdentifier", "com.pelgrave.installer.test"},
                 {"CFBundleExecutable", "Test"},
                 {"CFBundleShortVersionString", "2.0"},
                 {"CFBundleVersion", "200"},
                 {"BuildVersion", "200"},
                 {"NSHumanReadableCopyright", "Copyright 2026 Pelgrave. All rights reserved."},
                 {"PEL_PRODUCT_LOGO", "logo-ostrel-by-pelgrave-logo-large-color.png"},
                 {"PEL_PRODUCT_FOOTER_LOGO", "logo-ostrel-by-pelgrave-logo-large-color.png"},
                 {"PEL_QRB_LOGO", "logo-ostrel-by-pelgrave-logo-large-color.png"},
                 {"PEL_QRB_BACKGROUND_IMAGE", "img-bg-full"},
                 {"PEL_PRODUCT_PLUGIN_CLASS", "HVKProductPlugin"},
                 {"PEL_KEENWATCH_OPTIN_ALLOWED", true},
                 {"PEL_ON_COMPLETE_ACTION", logout_ ? "LOGOUT" : "RESTART"},
                 {"PEL_BASE_PACKAGES",
                  platform::Array{platform::Dictionary{{"pkgName", "Ostrel.pkg"}}}}};
        fs::create_directories(dir_.file("Apps/Test.app/Contents/Resources"));
        fs::copy(PEL_APP_SOURCE_RESOURCES, dir_.file("Apps/Test.app/Contents/Resources"),
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        ScreenInfo::setMainScreenHeight(windowHeight() == MainWindowForm::kHeight ? 700 : 900);
        launch(withManifest);
        dir_.write("Apps/Test.app/Contents/MacOS/Test", "");
        main().window()->show();
        pump();
        ASSERT_EQ(main().window()->centralWidget()->height(), windowHeight());
    }
    void stop() {
        if (older_) older_->join();
        closeShell();
        std::error_code ignored;
        fs::remove_all(dir_.file("Apps/.fsd"), ignored);
    }
    /// Lets the plug-in's timed steps and the engine's script run.
    void settle() {
        for (int i = 0; i < 12; ++i) {
            pump();
            clock_->advance(std::chrono::milliseconds(500));
            if (engine_) engine_->waitIdle();
        }
        pump();
    }

    /// Checks `window` (the main window when null) as screen `name`.
    void look(const QString& name, QWidget* window = nullptr) {
        pump();
        if (!window) window = main().window();
        const QString screen = QStringLiteral("%1/%2 at %3").arg(road_, name).arg(windowHeight());
        findings_ << layoutcheck::check(window, screen);
        if (pictureDir_.isEmpty()) return;
        QDir().mkpath(pictureDir_);
        QImage picture = window->grab().toImage();
        const QString file = QStringLiteral("%1-%2-%3.png")
                                 .arg(++sequence_, 2, 10, QLatin1Char('0'))
                                 .arg(road_, name);
        picture.save(QDir(pictureDir_).filePath(file));
        sheet_ << qMakePair(QStringLiteral("%1 / %2").arg(road_, name), picture);
    }
    QPushButton* button(const char* name) {
        return main().window()->findChild<QPushButton*>(QString::fromLatin1(name));
    }
    /// Runs `show`, which opens a modal window; checks it as `name` once it
    /// shows, then closes it.
    void lookAtModal(const QString& name, const std::function<void()>& show) {
        bool seen = false;
        QTimer poll;
        poll.setInterval(20);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal || seen) return;
            seen = true;
            look(name, modal);
            modal->close();
        });
        poll.start();
        show();
        for (int i = 0; i < 100 && !seen; ++i) pump();
        EXPECT_TRUE(seen) << name.toStdString() << " did not show";
    }

    void downloadRoad();
    void bundledRoad();
    void olderRoad();

    std::shared_ptr<testsupport::FakeClock> clock_ = std::make_shared<testsupport::FakeClock>();
    std::shared_ptr<QuietPlugin> hvk_;
    std::shared_ptr<OlderProduct> older_;
    bool logout_ = false;
    QString road_;
    QString pictureDir_;
    int sequence_ = 0;
    layoutcheck::Findings findings_;
    QList<QPair<QString, QImage>> sheet_;
};

void LayoutCheck::downloadRoad() {
    start(QStringLiteral("download"), true);
    look(QStringLiteral("setup"));
    fsd_->finishSetup(true, std::nullopt, std::nullopt, std::nullopt);
    pump();
    look(QStringLiteral("welcome"));

    // The licence: its window while it loads, then the alert of a failed load.
    auto* agree = hvk_->agreeAndInstallViewController();
    ASSERT_NE(agree, nullptr);
    auto visibleTop = [](const char* name) -> QWidget* {
        for (QWidget* top : QApplication::topLevelWidgets())
            if (top->objectName() == QLatin1String(name) && top->isVisible()) return top;
        return nullptr;
    };
    auto waitFor = [&](const char* name) -> QWidget* {
        for (int i = 0; i < 400; ++i) {
            pump(1);
            if (QWidget* top = visibleTop(name)) return top;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return nullptr;
    };
    {
        // A server that takes the connection and never answers: the window
        // stays loading.
        int silent = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(::listen(silent, 4), 0);
        ::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);
        ostrelui::OstrelUIEULAController::setAgreementURLOverride(
            "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/licence.pdf");
        agree->performAction("showEULA:");
        QWidget* loading = waitFor("EULA");
        EXPECT_NE(loading, nullptr) << "the licence window";
        if (loading) {
            look(QStringLiteral("licence-loading"), loading);
            static_cast<QDialog*>(loading)->reject();
        }
        pump();
        ::close(silent);
    }
    ostrelui::OstrelUIEULAController::setAgreementURLOverride(
        "http://127.0.0.1:" + std::to_string(testsupport::LoopbackHttpServer::unusedPort()) +
        "/licence.pdf");
    agree->performAction("showEULA:");
    QWidget* alert = waitFor("EULAErrorAlert");
    EXPECT_NE(alert, nullptr) << "the licence alert";
    if (alert) {
        look(QStringLiteral("licence-alert"), alert);
        alert->close();
    }
    pump();

    // Install with the box unticked: the opt-in dialog asks.
    bool dialogSeen = false;
    FellowguardUI::setDialogShownHook([&](FellowguardWindowController& dialog) {
        dialogSeen = true;
        look(QStringLiteral("opt-in-dialog"), &dialog);
        dialog.later();
    });
    engine_->completes = false;
    QTest::mouseClick(button("installButton"), Qt::LeftButton);
    pump();
    EXPECT_TRUE(dialogSeen);
    settle();
    look(QStringLiteral("download"));
    main().setInstallStatus(501);
    delegate_->requestTerminate(QuitOrigin::Menu);
    look(QStringLiteral("quit-overlay"));
    main().continueInstalling();
    main().performInstallOnly();
    settle();
    look(QStringLiteral("installing"));
    main().closingScreen(true);
    settle();
    look(QStringLiteral("restart"));
    delegate_->requestTerminate(QuitOrigin::Menu);
    look(QStringLiteral("restart-overlay"));

    // The screens of a failed road, on a fresh shell.
    start(QStringLiteral("download"), true);
    fsd_->finishSetup(true, std::nullopt, std::nullopt, std::nullopt);
    pump();
    main().showWarningScreen(
        shell::sharedText("We were unable to download the support packages. Please check your "
                          "internet connection and try again."),
        nullptr);
    settle();
    look(QStringLiteral("warning"));
    main().showErrorScreen(
        shell::sharedText("Your installer is either corrupted or missing important resources. "
                          "Please try again later or <A action=\"openSupport:\">contact "
                          "Support</A>."));
    settle();
    look(QStringLiteral("error"));
    main().showCompetitiveErrorScreen(QStringLiteral(
        "Another security product is installed on this computer. Remove it, then try again."));
    settle();
    look(QStringLiteral("competitive"));
    // The product's own texts (the test bundle has no strings table).
    main().showOKScreen(QStringLiteral("The Installer Is Already Running"),
                        QStringLiteral("Another copy of the installer is open. Finish or quit it, "
                                       "then press Install again."),
                        [] {});
    settle();
    look(QStringLiteral("already-running"));
    lookAtModal(QStringLiteral("about"), [this] { delegate_->showAbout(); });
}

void LayoutCheck::bundledRoad() {
    logout_ = true;
    start(QStringLiteral("bundled"), false);
    look(QStringLiteral("welcome"));
    AgreeInstallViewController::setOptInDialog([](QWidget*, bool*) { return 1; });
    engine_->completes = false;
    QTest::mouseClick(button("installButton"), Qt::LeftButton);
    settle();
    look(QStringLiteral("installing"));
    // The left panel's status bar shows on this road too.
    QLabel* bar = hvk_->leftNavigationViewController()->centerBarImage;
    EXPECT_TRUE(bar->isVisible() && !bar->pixmap().isNull()) << "no status bar on the bundled road";
    main().closingScreen(true);
    settle();
    look(QStringLiteral("logout"));
    delegate_->requestTerminate(QuitOrigin::Menu);
    pump();
    if (QMessageBox* sheet = delegate_->logoutSheet(); sheet && sheet->isVisible()) {
        look(QStringLiteral("logout-sheet"), sheet);
        sheet->reject();
    }
    logout_ = false;
}

void LayoutCheck::olderRoad() {
    auto check = std::make_shared<PluginCheckEngine>();
    engine_ = check;
    InstallEngine::setShared(check);
    older_ = std::make_shared<OlderProduct>();
    UninstallEngine::setShared(older_);
    HelperToolUtils::sharedHelperUtils().setAuthoriser(
        std::make_shared<testsupport::FakeAuthoriser>());
    start(QStringLiteral("older"), false);
    AgreeInstallViewController::setOptInDialog([](QWidget*, bool*) { return 1; });
    QTest::mouseClick(button("installButton"), Qt::LeftButton);
    settle();
    look(QStringLiteral("removal-prompt"));
    UninstallViewController& removal = *hvk_->uninstallViewController();
    QTest::mouseClick(removal.uninstallBeginButton.data(), Qt::LeftButton);
    settle();
    look(QStringLiteral("removal-progress"));
    delegate_->requestTerminate(QuitOrigin::Menu);
    look(QStringLiteral("quit-overlay"));
    main().continueInstalling();
    *older_->release = true;
    older_->join();
    settle();
    look(QStringLiteral("restart"));
}

TEST_P(LayoutCheck, EveryScreenOfTheThreeRoads) {
    downloadRoad();
    bundledRoad();
    olderRoad();
    if (!pictureDir_.isEmpty())
        layoutcheck::overviewSheet(sheet_).save(
            QDir(pictureDir_).filePath(QStringLiteral("overview-%1.png").arg(windowHeight())));
    EXPECT_TRUE(findings_.isEmpty()) << findings_.join(QLatin1Char('\n')).toStdString();
}

INSTANTIATE_TEST_SUITE_P(Heights, LayoutCheck,
                         ::testing::Values(MainWindowForm::kHeight, MainWindowForm::kMaxHeight),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "Window1024x" + std::to_string(info.param);
                         });

}  // namespace
}  // namespace shelltest
