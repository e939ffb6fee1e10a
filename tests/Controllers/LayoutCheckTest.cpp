// The layout check over every road of the installer, as a table of roads x
// window heights: each road walks its screens, overlays, sheets and dialogs
// through their states (arriving, settled, after Try Again, after a dialog,
// focus from the mouse, the keyboard or the program) and checks each from
// the live widget tree (LayoutCheck.h); the slides are watched all along.
// With PEL_LAYOUT_PICTURE_DIR set (ctest -L screens: the build's
// screens/layout), the pictures of each height go to <dir>/<height>/ as
// <road>-<nn>-<state>.png, with an overview sheet per height.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

#include "Controllers/AgreeInstallViewController.h"
#include "Controllers/Core/UninstallEngine.h"
#include "Controllers/FellowguardUI.h"
#include "Controllers/HVKProductPlugin.h"
#include "Controllers/InstallProgressViewController.h"
#include "Controllers/KextAssistantInstallerViewController.h"
#include "Controllers/LeftNavigationViewController.h"
#include "Controllers/UninstallViewController.h"
#include "Downloader/StatPing.h"
#include "Engine/HelperToolUtils.h"
#include "Engine/PelRequirement.h"
#include "Engine/PelUninstallXPCClient.h"
#include "LayoutCheck.h"
#include "OstrelUI/Controls/OstrelUIEULAController.h"
#include "OstrelUI/Controls/OstrelUITintedButton.h"
#include "Platform/Http/HttpError.h"
#include "ShellFixture.h"
#include "support/FakeAuthoriser.h"
#include "support/FakeClock.h"
#include "support/LoopbackHttpServer.h"

namespace shelltest {
namespace {

namespace fs = std::filesystem;

/// The product's plug-in without statistics pings; it keeps the step
/// list's codes.
class QuietPlugin : public HVKProductPlugin {
  public:
    using HVKProductPlugin::HVKProductPlugin;
    std::vector<unsigned> statuses;
    bool performInstallPing(std::shared_ptr<StatPing>*) override { return false; }
    bool performFSDPing(std::shared_ptr<StatPing>*) override { return false; }
    void setProgressStatus(unsigned status) override {
        statuses.push_back(status);
        HVKProductPlugin::setProgressStatus(status);
    }
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

/// The roads of the table.
const std::string kRoads[] = {"download", "failures", "already-running", "bundled",
                              "older",    "kext",     "motion"};

/// What each height's roads saw: the looks compared across screens and the
/// pictures of the overview sheet.
struct HeightRecord {
    layoutcheck::Survey survey;
    QList<QPair<QString, QImage>> sheet;
    QString pictureDir;
};
std::map<int, HeightRecord>& records() {
    static std::map<int, HeightRecord> map;
    return map;
}

class LayoutCheck : public ShellTest,
                    public ::testing::WithParamInterface<std::tuple<int, std::string>> {
  protected:
    static void SetUpTestSuite() {
        // The pictures of this run only.
        if (const char* dir = std::getenv("PEL_LAYOUT_PICTURE_DIR"))
            for (int height : {MainWindowForm::kHeight, MainWindowForm::kMaxHeight})
                QDir(QDir(QString::fromLocal8Bit(dir)).filePath(QString::number(height)))
                    .removeRecursively();
    }
    static void TearDownTestSuite() {
        for (auto& [height, record] : records()) {
            const layoutcheck::Findings across = record.survey.findings();
            EXPECT_TRUE(across.isEmpty()) << "across the screens at " << height << ":\n"
                                          << across.join(QLatin1Char('\n')).toStdString();
            if (!record.pictureDir.isEmpty())
                layoutcheck::overviewSheet(record.sheet)
                    .save(QDir(record.pictureDir)
                              .filePath(QStringLiteral("overview-%1.png").arg(height)));
        }
        records().clear();
    }

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
        road_ = QString::fromStdString(std::get<1>(GetParam()));
        HeightRecord& record = records()[windowHeight()];
        if (const char* dir = std::getenv("PEL_LAYOUT_PICTURE_DIR")) {
            pictureDir_ =
                QDir(QString::fromLocal8Bit(dir)).filePath(QString::number(windowHeight()));
            record.pictureDir = pictureDir_;
        }
    }
    void TearDown() override {
        AgreeInstallViewController::setOptInDialog(nullptr);
        AgreeInstallViewController::setInstanceCheck(nullptr);
        FellowguardUI::setDialogShownHook(nullptr);
        ostrelui::OstrelUIEULAController::setAgreementURLOverride(std::nullopt);
        ostrelui::setAnimationScale(0);
        if (older_) older_->join();
        hvk_.reset();
        ShellTest::TearDown();
    }

    int windowHeight() const { return std::get<0>(GetParam()); }
    QString screenName(const QString& state) const {
        return QStringLiteral("%1/%2 at %3").arg(road_, state).arg(windowHeight());
    }

    /// A fresh shell of the product as shipped: its Info.plist keys and its
    /// bundle's images and texts.
    void start(bool withManifest) {
        if (delegate_) stop();
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
        where_ = QStringLiteral("after launch");
        watch_.watch(main().window());
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
    void settle(int halfSeconds = 12) {
        for (int i = 0; i < halfSeconds; ++i) {
            pump();
            clock_->advance(std::chrono::milliseconds(500));
            if (engine_) engine_->waitIdle();
        }
        pump();
    }
    /// Settles in quarter seconds until `done` (at most a minute).
    bool settleUntil(const std::function<bool()>& done) {
        for (int i = 0; i < 240 && !done(); ++i) {
            clock_->advance(std::chrono::milliseconds(250));
            if (engine_) engine_->waitIdle();
            pump(3);
        }
        pump();
        return done();
    }
    /// Runs in real time for `seconds`, the plug-in's clock keeping pace.
    void realTime(double seconds) {
        using Clock = std::chrono::steady_clock;
        const auto begin = Clock::now();
        auto last = begin;
        while (Clock::now() - begin < std::chrono::duration<double>(seconds)) {
            pump(2);
            const auto now = Clock::now();
            clock_->advance(std::chrono::duration_cast<std::chrono::milliseconds>(now - last));
            last = now;
            if (engine_) engine_->waitIdle();
            std::this_thread::sleep_for(std::chrono::milliseconds(4));
        }
        pump();
    }

    /// Checks `window` (the main window when null) in state `state`.
    void look(const QString& state, QWidget* window = nullptr) {
        pump();
        if (!window) window = main().window();
        where_ = QStringLiteral("after ") + state;
        HeightRecord& record = records()[windowHeight()];
        findings_ << layoutcheck::check(window, screenName(state), &record.survey);
        if (pictureDir_.isEmpty()) return;
        QDir().mkpath(pictureDir_);
        QImage picture = window->grab().toImage();
        QString file = QStringLiteral("%1-%2-%3.png")
                           .arg(road_)
                           .arg(++sequence_, 2, 10, QLatin1Char('0'))
                           .arg(state);
        file.replace(QLatin1Char(' '), QLatin1Char('-'));
        picture.save(QDir(pictureDir_).filePath(file));
        record.sheet << qMakePair(QStringLiteral("%1 / %2").arg(road_, state), picture);
    }
    /// A finding of this road's own (a wording, a state).
    void expect(bool ok, const QString& state, const QString& what) {
        if (!ok) findings_ << QStringLiteral("[%1] %2").arg(screenName(state), what);
    }
    QPushButton* button(const char* name) {
        return main().window()->findChild<QPushButton*>(QString::fromLatin1(name));
    }
    /// Runs `show`, which opens a modal window; checks it as `state` once it
    /// shows, then closes it.
    void lookAtModal(const QString& state, const std::function<void()>& show) {
        bool seen = false;
        QTimer poll;
        poll.setInterval(20);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal || seen) return;
            seen = true;
            look(state, modal);
            modal->close();
        });
        poll.start();
        show();
        for (int i = 0; i < 100 && !seen; ++i) pump();
        EXPECT_TRUE(seen) << state.toStdString() << " did not show";
    }
    /// Ticks the opt-in box and presses Install, both with the mouse.
    void installWithBoxTicked() {
        auto* agree = hvk_->agreeAndInstallViewController();
        if (!agree->optIn->isChecked()) QTest::mouseClick(agree->optIn, Qt::LeftButton);
        QTest::mouseClick(button("installButton"), Qt::LeftButton);
    }
    /// The step list's rows as shown.
    QList<MiddleRowView*> steps() {
        QList<MiddleRowView*> shown;
        for (auto* row :
             layoutcheck::descendants<MiddleRowView>(hvk_->leftNavigationViewController()))
            if (row->isVisible()) shown << row;
        return shown;
    }
    /// A closing screen after a successful road: the step list has settled
    /// on "all complete" (every step ticked, none turning).
    void expectSettledList(const QString& state) {
        const QList<MiddleRowView*> rows = steps();
        bool settled = !rows.isEmpty();
        QStringList seen;
        for (MiddleRowView* row : rows) {
            seen << QStringLiteral("%1 %2").arg(row->titleMessage->text(), row->statusImageName());
            settled = settled &&
                      row->statusImageName() == QLatin1String("ic-onboarding-complete") &&
                      !row->statusImage->isRunning() && row->isTitleBold();
        }
        expect(settled, state,
               QStringLiteral("the step list has not settled on \"all complete\": %1 (codes %2)")
                   .arg(seen.join(QStringLiteral(", ")), codes()));
    }
    QString codes() const {
        QStringList list;
        for (unsigned code : hvk_->statuses) list << QString::number(code);
        return list.join(QLatin1Char(' '));
    }
    /// Presses the restart screen's quit (Ctrl+Q) and checks the overlay:
    /// it repeats why a restart is needed, as the screen says it.
    void lookAtRestartOverlay(const QString& state) {
        const QString reason = main().rebootViewController()->restartText->text();
        delegate_->requestTerminate(QuitOrigin::Menu);
        look(state);
        const QString said = form().closingScreenMessageText->text();
        expect(said == reason, state,
               QStringLiteral("the overlay says \"%1\" where the screen under it says \"%2\"")
                   .arg(said, reason));
    }

    /// Walks the road of this test.
    void walk() {
        static const std::map<std::string, void (LayoutCheck::*)()> walks = {
            {"download", &LayoutCheck::downloadRoad},
            {"failures", &LayoutCheck::failuresRoad},
            {"already-running", &LayoutCheck::alreadyRunningRoad},
            {"bundled", &LayoutCheck::bundledRoad},
            {"older", &LayoutCheck::olderRoad},
            {"kext", &LayoutCheck::kextRoad},
            {"motion", &LayoutCheck::motionRoad}};
        (this->*walks.at(road_.toStdString()))();
    }
    void downloadRoad();
    void failuresRoad();
    void alreadyRunningRoad();
    void bundledRoad();
    void olderRoad();
    void kextRoad();
    void motionRoad();

    std::shared_ptr<testsupport::FakeClock> clock_ = std::make_shared<testsupport::FakeClock>();
    std::shared_ptr<QuietPlugin> hvk_;
    std::shared_ptr<OlderProduct> older_;
    bool logout_ = false;
    QString road_;
    QString where_;
    QString pictureDir_;
    int sequence_ = 0;
    layoutcheck::Findings findings_;
    layoutcheck::SlideWatch watch_{[this] { return screenName(where_); }};
};

void LayoutCheck::downloadRoad() {
    start(true);
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

    // Install with the box unticked: the opt-in dialog asks; the user joins.
    bool dialogSeen = false;
    FellowguardUI::setDialogShownHook([&](FellowguardWindowController& dialog) {
        dialogSeen = true;
        look(QStringLiteral("opt-in-dialog"), &dialog);
        dialog.ok();
    });
    fsd_->packages = {platform::Dictionary{{"pkgName", dir_.write("root/pkgs/Ostrel.pkg", "x")}}};
    QTest::mouseClick(button("installButton"), Qt::LeftButton);
    pump();
    EXPECT_TRUE(dialogSeen);
    // The screen as it arrives, before the step list's timed steps.
    look(QStringLiteral("download arriving"));
    ASSERT_NE(fsd_->delegate, nullptr);
    fsd_->delegate->numberOfJobs(1, 1);
    fsd_->delegate->downloadDidBegin();
    fsd_->delegate->downloadSize(2000000);
    fsd_->delegate->downloadWithDataOfLength(500000);
    settle();
    look(QStringLiteral("download"));
    delegate_->requestTerminate(QuitOrigin::Menu);
    look(QStringLiteral("quit-overlay"));
    main().continueInstalling();
    // The packages are in: the install runs to its end through the plug-in.
    fsd_->delegate->downloadDidFinish();
    pump();
    look(QStringLiteral("installing"));
    settleUntil([&] { return centerContent() == main().rebootViewController(); });
    settle(8);
    look(QStringLiteral("restart"));
    expectSettledList(QStringLiteral("restart"));
    lookAtRestartOverlay(QStringLiteral("restart-overlay"));
}

void LayoutCheck::failuresRoad() {
    start(true);
    fsd_->finishSetup(true, std::nullopt, std::nullopt, std::nullopt);
    pump();
    engine_->completes = false;
    installWithBoxTicked();
    settle();
    ASSERT_NE(fsd_->delegate, nullptr);
    // A package cannot be fetched: the warning screen offers to try again.
    fsd_->delegate->downloadDidFailWithError(platform::Error(
        std::string(platform::kURLErrorDomain), platform::kURLErrorNotConnectedToInternet));
    settle();
    look(QStringLiteral("download failed"));
    QTest::mouseClick(form().tryAgainButton, Qt::LeftButton);
    settle();
    look(QStringLiteral("download again"));
    fsd_->delegate->downloadDidFailWithError(platform::Error(
        std::string(platform::kURLErrorDomain), platform::kURLErrorNotConnectedToInternet));
    settle();
    look(QStringLiteral("download failed again"));

    // The install itself fails.
    start(true);
    fsd_->finishSetup(true, std::nullopt, std::nullopt, std::nullopt);
    pump();
    installWithBoxTicked();
    settle();
    main().closingScreen(false);
    settle();
    look(QStringLiteral("install failed"));
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
}

void LayoutCheck::alreadyRunningRoad() {
    bool anotherCopy = true;
    AgreeInstallViewController::setInstanceCheck([&anotherCopy] { return anotherCopy; });
    start(false);
    installWithBoxTicked();
    settle();
    look(QStringLiteral("already-running"));
    // Still running: the screen stays.
    QTest::mouseClick(form().okTryAgainButton, Qt::LeftButton);
    settle();
    look(QStringLiteral("already-running again"));
    // The other copy has gone: back to the welcome, Install focused.
    anotherCopy = false;
    QTest::keyClick(main().window()->focusWidget(), Qt::Key_Return);
    settle();
    look(QStringLiteral("welcome after Try Again"));
    lookAtModal(QStringLiteral("about"), [this] { delegate_->showAbout(); });
}

void LayoutCheck::bundledRoad() {
    logout_ = true;
    start(false);
    look(QStringLiteral("welcome"));
    // The box by the keyboard: Tab to it, Space ticks it.
    auto* agree = hvk_->agreeAndInstallViewController();
    agree->optIn->setFocus(Qt::TabFocusReason);
    QTest::keyClick(agree->optIn, Qt::Key_Space);
    look(QStringLiteral("welcome box ticked by keyboard"));
    engine_->completes = false;
    // Return from the box presses Install, the welcome's default button.
    QTest::keyClick(agree->optIn, Qt::Key_Return);
    expect(main().installStatus() != kInstallStatusLaunched,
           QStringLiteral("welcome box ticked by keyboard"),
           QStringLiteral("Return with the box focused does not press Install"));
    // Quit at once, while the welcome still slides away.
    delegate_->requestTerminate(QuitOrigin::Menu);
    look(QStringLiteral("quit right after Install"));
    main().continueInstalling();
    settle();
    look(QStringLiteral("installing"));
    // The left panel's status bar shows on this road too.
    QLabel* bar = hvk_->leftNavigationViewController()->centerBarImage;
    expect(bar->isVisible() && !bar->pixmap().isNull(), QStringLiteral("installing"),
           QStringLiteral("no status bar on the bundled road"));
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
    start(false);
    installWithBoxTicked();
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
    expect(
        !steps().isEmpty(), QStringLiteral("restart"),
        QStringLiteral("the step list beside the restart screen is empty (codes %1)").arg(codes()));
    lookAtRestartOverlay(QStringLiteral("restart-overlay"));
}

void LayoutCheck::kextRoad() {
    using Screen = KextAssistantInstallerViewController::Screen;
    // The module needs the user's approval: the install ends through the
    // approval screens.
    auto toApproval = [this] {
        kext_ = std::make_shared<FakeKextClient>();
        kext_->showMessage = true;
        start(false);
        installWithBoxTicked();
        const bool handedOver = settleUntil([&] {
            return std::find(hvk_->statuses.begin(), hvk_->statuses.end(), 10u) !=
                   hvk_->statuses.end();
        });
        EXPECT_TRUE(handedOver) << "the install never handed over to the approval screens";
        return hvk_->kextAssistantViewController();
    };
    KextAssistantInstallerViewController* kext = toApproval();
    ASSERT_NE(kext, nullptr);
    pump();
    look(QStringLiteral("continuing setup"));
    settleUntil([&] { return kext->screen() == Screen::Setup; });
    settle(4);
    look(QStringLiteral("finish setting up"));
    QTest::mouseClick(kext->openNowButton, Qt::LeftButton);
    settle(4);
    look(QStringLiteral("allow in settings"));
    // The retry link, pressed with the mouse.
    auto* text = kext->loadPelKextText;
    ASSERT_FALSE(text->linkRects().empty());
    QTest::mouseClick(text, Qt::LeftButton, {}, text->linkRects().front().rect.center().toPoint());
    pump();
    look(QStringLiteral("retry link pressed"));
    QTest::keyClick(kext->continueButton, Qt::Key_Return);
    pump();
    look(QStringLiteral("validating"));
    kext_->reply(kKextLoadStatusNeedsApproval);
    settle(4);
    look(QStringLiteral("still blocked"));
    QTest::mouseClick(kext->retryButton, Qt::LeftButton);
    settle(4);
    look(QStringLiteral("allow in settings again"));
    QTest::mouseClick(kext->continueButton, Qt::LeftButton);
    pump();
    // The module cannot be loaded at all.
    kext_->reply(kKextLoadStatusFailed);
    settleUntil([&] { return main().installStatus() != kInstallStatusInstalling; });
    settle(8);
    look(QStringLiteral("after a failed load"));
    {
        const QString state = QStringLiteral("after a failed load");
        QStringList said;
        for (QLabel* label : centerContent()->findChildren<QLabel*>())
            if (label->isVisible() && !label->text().isEmpty()) said << label->text();
        expect(!said.contains(QStringLiteral("Installation Complete")) &&
                   !said.contains(QStringLiteral("Preferences Updated")),
               state,
               QStringLiteral("a load that failed ends on a screen that says it worked: %1")
                   .arg(said.join(QStringLiteral(" / "))));
        for (MiddleRowView* row : steps())
            expect(!(row->titleMessage->text() == QStringLiteral("Update Preferences") &&
                     row->statusImageName() == QLatin1String("ic-onboarding-complete")),
                   state,
                   QStringLiteral("the step list ticks \"Update Preferences\" although the "
                                  "module did not load (codes %1)")
                       .arg(codes()));
        for (MiddleRowView* row : steps())
            expect(!row->statusImage->isRunning(), state,
                   QStringLiteral("the step \"%1\" still turns on the closing screen")
                       .arg(row->titleMessage->text()));
    }

    // Again, and this time the user allows the module.
    kext = toApproval();
    ASSERT_NE(kext, nullptr);
    settleUntil([&] { return kext->screen() == Screen::Setup; });
    settle(4);
    QTest::keyClick(kext->openNowButton, Qt::Key_Space);
    settle(4);
    QTest::keyClick(kext->continueButton, Qt::Key_Space);
    pump();
    kext_->reply(kKextLoadStatusLoaded);
    kext_->moduleAppears();
    settleUntil([&] { return centerContent() == main().rebootViewController(); });
    settle(8);
    look(QStringLiteral("preferences updated"));
    expectSettledList(QStringLiteral("preferences updated"));
}

void LayoutCheck::motionRoad() {
    // The real timing, at a user's pace: the slides and fades run as a user
    // sees them, and the review pictures are taken as they would be.
    ostrelui::setAnimationScale(1);
    ReviewPictures::setFolder(QString::fromStdString(dir_.file("review")));
    start(false);
    realTime(0.3);
    engine_->completes = false;
    installWithBoxTicked();
    realTime(2.8);
    look(QStringLiteral("installing"));
    main().closingScreen(true);
    realTime(1.5);
    look(QStringLiteral("restart"));
}

TEST_P(LayoutCheck, Road) {
    walk();
    findings_ << watch_.takeFindings();
    EXPECT_TRUE(findings_.isEmpty()) << findings_.join(QLatin1Char('\n')).toStdString();
}

INSTANTIATE_TEST_SUITE_P(Heights, LayoutCheck,
                         ::testing::Combine(::testing::Values(MainWindowForm::kHeight,
                                                              MainWindowForm::kMaxHeight),
                                            ::testing::ValuesIn(kRoads)),
                         [](const ::testing::TestParamInfo<std::tuple<int, std::string>>& info) {
                             std::string road = std::get<1>(info.param);
                             std::replace(road.begin(), road.end(), '-', '_');
                             return "Window1024x" + std::to_string(std::get<0>(info.param)) + "_" +
                                    road;
                         });

}  // namespace
}  // namespace shelltest
