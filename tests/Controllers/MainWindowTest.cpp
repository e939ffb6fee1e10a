#include <QDir>
#include <QImage>
#include <QWindow>
#include <algorithm>
#include <filesystem>

#include "Controllers/InstallProgressViewController.h"
#include "Downloader/FSDError.h"
#include "OstrelUI/Controls/OstrelUIGuard.h"
#include "OstrelUI/Controls/OstrelUITintedButton.h"
#include "OstrelUI/Controls/XTextFieldWithLinks.h"
#include "ShellFixture.h"

namespace shelltest {
namespace {

const QString kSorry = QStringLiteral(
    "We are sorry. We are unable to download the support packages that are required to complete "
    "this installation of your product. Please contact Support.");
const QString kConnection = QStringLiteral(
    "We were unable to download the support packages. Please check your internet connection and "
    "try again.");

using MainWindowTest = ShellTest;

TEST_F(MainWindowTest, WindowHeightFollowsTheScreen) {
    for (auto [screen, height, atMax] : {std::tuple{800.0, 640, false}, {801.0, 768, true}}) {
        ScreenInfo::setMainScreenHeight(screen);
        launch();
        EXPECT_EQ(form().contentView->size(), QSize(1024, height)) << screen;
        EXPECT_EQ(main().isWindowAtMaxHeight(), atMax) << screen;
        EXPECT_EQ(main().installStatus(), 500);
        // The welcome screen is the plug-in's centre view; the centre box waits.
        EXPECT_EQ(form().homeBox->currentWidget(), plugin_->centerView());
        EXPECT_TRUE(form().centerBox->isHidden());
        // The partner's logo starts bottom right of the welcome page.
        EXPECT_EQ(main().partnerLogoConstraint().constant(),
                  MainWindowForm::kWidth - 30 - form().qrbLogoView->width());
        TearDown();
        SetUp();
    }
}

TEST_F(MainWindowTest, InfoPlistKeys) {
    info_["PEL_BASE_PACKAGES"] =
        platform::Array{platform::Dictionary{{"pkgName", "Ostrel.pkg"}, {"pkgPriority", 1}},
                        platform::Dictionary{{"pkgName", "Extra.pkg"}, {"pingModuleID", 77}}};
    info_["PEL_ON_COMPLETE_ACTION"] = "LOGOUT";
    launch();
    ASSERT_TRUE(main().basePkgs());
    const platform::Array& packages = *main().basePkgs();
    ASSERT_EQ(packages.size(), 2u);
    const std::string base = PelInstallAppUtilities::sharedUtilities()->basePkgDir();
    EXPECT_EQ(packages[0].get("pkgName")->stringValue(), platform::Paths::join(base, "Ostrel.pkg"));
    EXPECT_EQ(packages[0].get("pingModuleID")->int64Value(), 9000);
    EXPECT_EQ(packages[0].get("pkgPriority")->int64Value(), 1);
    EXPECT_EQ(packages[1].get("pingModuleID")->int64Value(), 77);
    EXPECT_FALSE(main().shouldReboot());

    for (auto [value, reboot] : {std::pair<std::optional<std::string>, bool>{"LOGOUT", false},
                                 {"logout", true},
                                 {"LOGOUT ", true},
                                 {std::nullopt, true}})
        EXPECT_EQ(MainWindowController::shouldReboot(value), reboot) << value.value_or("(none)");
}

TEST_F(MainWindowTest, MissingPluginShowsTheCorruptedScreenAndLaunchingGoesOn) {
    info_["PEL_PRODUCT_PLUGIN_CLASS"] = "NoSuchPlugin";
    launch();
    EXPECT_EQ(centerContent(), form().errorView);
    EXPECT_TRUE(form().errorText->stringValue().startsWith(
        "Your installer is either corrupted or missing important resources."));
    ASSERT_TRUE(delegate_->restartMenuItem());
    EXPECT_EQ(form().applicationMenu->actions().value(2), delegate_->restartMenuItem());
    EXPECT_FALSE(delegate_->restartMenuItem()->isEnabled());
    EXPECT_TRUE(delegate_->hasSigtermSource());
    form().closeButtonError->click();
    EXPECT_EQ(main().installStatus(), 506);
    EXPECT_EQ(exits_, 1);
}

struct SetupCase {
    const char* name;
    bool createSucceeds;
    std::optional<platform::Error> createError;
    bool setupStarts;
    std::optional<platform::Error> failure;  // of the set-up download; nullopt: success
    bool failureHasError;
    QString expected;  // "" means the welcome screen stays
};

platform::Error withUnderlying(platform::Error top, platform::Error underlying) {
    top.setUnderlyingError(std::move(underlying));
    return top;
}

TEST_F(MainWindowTest, DownloadBasedSetupOutcomes) {
    const platform::Error url = makeFSDError(kFSDErrorSetupInstallerDownload, "download failed");
    auto urlError = [&](long code) {
        return withUnderlying(url, platform::Error(std::string(platform::kURLErrorDomain), code));
    };
    const SetupCase cases[] = {
        {"success", true, {}, true, std::nullopt, false, ""},
        {"not connected", true, {}, true, urlError(-1009), true, kConnection},
        {"timed out", true, {}, true, urlError(-1001), true, kConnection},
        {"unsupported URL", true, {}, true, urlError(-1002), true, kSorry},
        {"downloader domain",
         true,
         {},
         true,
         withUnderlying(url, makeFSDError(kFSDErrorUnzip, "unzip")),
         true,
         kSorry},
        {"no error", true, {}, true, platform::Error(), false, kSorry},
        {"no set-up file", true, {}, false, std::nullopt, false, ""},
        {"no downloader, no error", false, std::nullopt, true, std::nullopt, false, kSorry},
        {"no downloader", false, makeFSDError(kFSDErrorManifestVerify, "bad"), true, std::nullopt,
         false, kSorry},
    };
    for (const SetupCase& c : cases) {
        SCOPED_TRACE(c.name);
        createSucceeds_ = c.createSucceeds;
        createError_ = c.createError;
        fsd_->setupStarts = c.setupStarts;
        fsd_->setupError = makeFSDError(kFSDErrorNoSetupInstaller, "no set-up file");
        launch(true);
        if (c.createSucceeds && c.setupStarts) {
            // The set-up overlay covers the window while the file comes.
            EXPECT_TRUE(main().isOverlayShown());
            EXPECT_EQ(main().grayedOutView()->geometry(),
                      QRect(QPoint(), form().contentView->size()));
            EXPECT_TRUE(form().progressView->isVisible());
            std::string requirements = dir_.write("root/home/reqs.plist", "");
            if (!c.failure)
                fsd_->finishSetup(true, requirements, std::nullopt, std::nullopt);
            else
                fsd_->finishSetup(false, std::nullopt, std::nullopt,
                                  c.failureHasError ? c.failure : std::nullopt);
            pump();
            EXPECT_FALSE(main().isOverlayShown());
            if (!c.failure) {
                EXPECT_EQ(PelInstallAppUtilities::sharedUtilities()->pathToRequirementsPlist(),
                          requirements);
            }
        }
        if (c.expected.isEmpty()) {
            EXPECT_EQ(form().homeBox->currentWidget(), plugin_->centerView());
            EXPECT_TRUE(form().centerBox->isHidden());
            EXPECT_EQ(main().installStatus(), 500);
        } else {
            EXPECT_EQ(centerContent(), form().errorView);
            EXPECT_EQ(form().errorText->stringValue(), c.expected);
            EXPECT_EQ(main().installStatus(), 506);
            EXPECT_TRUE(main().isFSDFailure());
        }
        TearDown();
        SetUp();
    }
}

TEST_F(MainWindowTest, SwitchToTheCurrentViewCompletesWithoutAnimation) {
    ostrelui::setAnimationScale(1);
    launch();
    main().switchCenterBoxView(form().okView, false, nullptr);
    int completions = 0;
    main().switchCenterBoxView(form().okView, true, [&] { ++completions; });
    EXPECT_FALSE(ostrelui::Transition::isAnimating(form().centerBox));
    EXPECT_EQ(completions, 1);
    ostrelui::setAnimationScale(0);
}

TEST_F(MainWindowTest, OverlappingSwitchesLandOnTheLatestAndCompleteAll) {
    launch();
    main().switchCenterBoxView(form().okView, false, nullptr);
    std::vector<std::string> done;
    main().switchCenterBoxView(form().errorView, true, [&] { done.push_back("error"); });
    main().switchCenterBoxView(form().warningView, true, [&] { done.push_back("warning"); });
    pump();
    EXPECT_EQ(centerContent(), form().warningView);
    EXPECT_EQ(done, (std::vector<std::string>{"error", "warning"}));
    EXPECT_FALSE(ostrelui::Transition::isAnimating(form().centerBox));
    EXPECT_TRUE(form().warningView->isVisible());
}

TEST_F(MainWindowTest, FirstSwitchBringsTheBoxesInAndAMissingViewIsReported) {
    launch();
    int completions = 0;
    main().switchCenterBoxView(form().okView, true, [&] { ++completions; });
    pump();
    EXPECT_EQ(completions, 1);
    EXPECT_TRUE(form().homeBox->isHidden());
    EXPECT_EQ(form().leftBox->currentWidget(), plugin_->leftNavigationView());
    // ... and ends under the middle of the centre panel.
    const int centred =
        MainWindowForm::kLeftWidth +
        (MainWindowForm::kWidth - MainWindowForm::kLeftWidth - form().qrbLogoView->width()) / 2;
    EXPECT_EQ(main().partnerLogoConstraint().constant(), centred);
    EXPECT_EQ(form().qrbLogoView->x(), centred);

    std::vector<std::string> reported;
    ostrelui::setExceptionReporter([&](const std::exception& e) { reported.push_back(e.what()); });
    main().switchCenterBoxView(nullptr, true, [&] { ++completions; });
    ostrelui::setExceptionReporter(
        [](const std::exception& e) { controllerstest::application().reportException(e); });
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_NE(reported[0].find("Invalid view is passed as an argument"), std::string::npos);
    EXPECT_EQ(centerContent(), form().okView);
}

TEST_F(MainWindowTest, ReviewPicturesFollowTheScreens) {
    ReviewPictures::setFolder(QString::fromStdString(dir_.file("grab")));
    launch();
    main().showErrorScreen(QStringLiteral("Something failed."));
    pump();
    main().showWarningScreen(QStringLiteral("Something to check."), nullptr);
    pump();
    QStringList files = QDir(QString::fromStdString(dir_.file("grab")))
                            .entryList({"*.png"}, QDir::Files, QDir::Name);
    // The welcome at launch, then each screen once it has settled.
    ASSERT_EQ(files.size(), 3) << files.join(",").toStdString();
    EXPECT_TRUE(files[0].endsWith("-500-welcome.png"));
    EXPECT_TRUE(files[1].endsWith("-506-errorView.png"));
    EXPECT_TRUE(files[2].endsWith("-506-warningView.png"));
    QImage first(QString::fromStdString(dir_.file("grab/")) + files[1]);
    QImage second(QString::fromStdString(dir_.file("grab/")) + files[2]);
    ASSERT_FALSE(first.isNull());
    auto inked = [](const QImage& image) {
        int count = 0;
        for (int y = 0; y < image.height(); y += 4)
            for (int x = 0; x < image.width(); x += 4)
                if (QColor(image.pixel(x, y)).lightness() < 128) ++count;
        return count;
    };
    EXPECT_GT(inked(first), 50);
    EXPECT_NE(first, second);
}

TEST_F(MainWindowTest, InstallRoadEndsOnTheRestartScreen) {
    launch();
    // Taking the close button away never hides the window: one shown again
    // is not reactivated, and its focused button would lose its ring.
    struct HideCounter : QObject {
        int hides = 0;
        bool eventFilter(QObject*, QEvent* event) override {
            hides += event->type() == QEvent::Hide;
            return false;
        }
    } counter;
    main().window()->installEventFilter(&counter);
    main().performFSDAndInstall();
    EXPECT_EQ(engine_->requirementChecks, 1);
    EXPECT_EQ(main().installStatus(), 502);
    pump();
    engine_->waitIdle();
    pump();
    engine_->waitIdle();
    pump();
    EXPECT_EQ(engine_->installs, 1);
    EXPECT_EQ(engine_->lastPackages.size(), 1u);
    EXPECT_EQ(main().installStatus(), 505);
    EXPECT_EQ(centerContent(), main().rebootViewController());
    EXPECT_TRUE(delegate_->restartMenuItem()->isEnabled());
    // The close button is gone; the menu's item 2 was disabled before the
    // notification enabled the Restart item.
    EXPECT_FALSE(main().window()->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(main().window()->windowHandle()->flags() & Qt::WindowCloseButtonHint);
    EXPECT_EQ(counter.hides, 0);
    EXPECT_TRUE(main().window()->isVisible());
    main().window()->removeEventFilter(&counter);
}

TEST_F(MainWindowTest, FailedRequirementShowsTheErrorScreen) {
    engine_->checkPasses = false;
    launch();
    main().performFSDAndInstall();
    pump();
    EXPECT_EQ(engine_->installs, 0);
    EXPECT_EQ(centerContent(), form().errorView);
    EXPECT_EQ(form().errorTitle->text(), "Installation Failed");
    EXPECT_EQ(main().installStatus(), 506);
    EXPECT_EQ(plugin_->statuses.back(), 8u);
}

TEST_F(MainWindowTest, ErrorTitleAndFailedInstall) {
    launch();
    main().setInstallStatus(503);
    main().showErrorScreen(QStringLiteral("x"));
    EXPECT_EQ(form().errorTitle->text(), "Uninstall Failed");
    main().setInstallStatus(502);
    main().closingScreen(false);
    pump();
    EXPECT_EQ(form().errorTitle->text(), "Installation Failed");
    EXPECT_EQ(main().installStatus(), 506);
    EXPECT_TRUE(
        form().errorText->stringValue().startsWith("Your installer is not working properly."));
}

TEST_F(MainWindowTest, PluginClosingScreenKeepsTheStatus) {
    launch();
    plugin_->implemented.insert(IFPluginOperation::closingScreenText);
    plugin_->closingText = "All done, thanks.";
    main().setInstallStatus(502);
    main().closingScreen(false);
    pump();
    EXPECT_EQ(centerContent(), main().closingViewController());
    EXPECT_EQ(main().closingViewController()->closingText->text(), "All done, thanks.");
    EXPECT_EQ(main().installStatus(), 502);
}

TEST_F(MainWindowTest, ContinueAfterAWarning) {
    // A download-based install whose packages have not arrived fetches them
    // instead of installing nothing.
    launch(true);
    fsd_->finishSetup(true, std::nullopt, std::nullopt, std::nullopt);
    pump();
    main().showWarningScreen(QStringLiteral("Low disk space."), nullptr);
    main().continueWithWarning();
    pump();
    EXPECT_EQ(main().installStatus(), 501);
    EXPECT_EQ(engine_->installs, 0);
    EXPECT_EQ(fsd_->starts, 1);
    EXPECT_EQ(centerContent(), main().fsdViewController());

    // The download delivers; a later warning goes on with the install.
    // The download screen checks that the packages are there.
    std::string package = dir_.write("root/downloads/Downloaded.pkg", "package");
    fsd_->packages = {platform::Dictionary{{"pkgName", package}}};
    main().fsdViewController()->numberOfJobs(1, 1);
    main().fsdViewController()->downloadDidFinish();
    pump();
    engine_->waitIdle();
    pump();
    EXPECT_EQ(engine_->installs, 1);
    main().showWarningScreen(QStringLiteral("Again."), nullptr);
    main().continueWithWarning();
    EXPECT_EQ(main().installStatus(), 502);
    pump();
    EXPECT_EQ(engine_->installs, 2);
}

TEST_F(MainWindowTest, DownloadWarningRetriesTheDownload) {
    launch();
    main().showFSDWarningScreen(kConnection);
    EXPECT_TRUE(main().isFSDFailure());
    main().continueWithWarning();
    EXPECT_FALSE(main().isFSDFailure());
    EXPECT_EQ(main().installStatus(), 501);
    EXPECT_EQ(engine_->installs, 0);
}

TEST_F(MainWindowTest, SupportAndApplicationsLinks) {
    launch();
    main().showFSDErrorScreen(kSorry);
    main().openSupport();
    ASSERT_EQ(opened_.size(), 1u);
    EXPECT_EQ(opened_[0], "https://support.example/download");
    EXPECT_EQ(main().installStatus(), 506);
    EXPECT_EQ(exits_, 1);
}

TEST_F(MainWindowTest, ApplicationsLinkOpensTheUsersApplicationsFolder) {
    launch();
    main().openApplications();
    ASSERT_EQ(opened_.size(), 1u);
    EXPECT_EQ(opened_[0].rfind("file:///", 0), 0u) << opened_[0];
    EXPECT_NE(opened_[0].find("applications"), std::string::npos) << opened_[0];
    EXPECT_EQ(exits_, 1);
}

}  // namespace
}  // namespace shelltest

namespace shelltest {
namespace {

TEST_F(MainWindowTest, PluginSuppliesFooterLogoBackgroundAndTitle) {
    info_["PEL_PRODUCT_FOOTER_LOGO"] = "footer";
    PluginRegistry::registerPlugin("TestPlugin", [this] {
        plugin_ = std::make_shared<FakePlugin>();
        plugin_->implemented.insert({IFPluginOperation::getProductFooterLogoImageAndSize,
                                     IFPluginOperation::backgroundImageName,
                                     IFPluginOperation::getAttributedProductTitle});
        plugin_->background = "img-bg-left";
        plugin_->title = "Ostrel Total Security";
        return plugin_;
    });
    launch();
    EXPECT_EQ(form().productFooterLogo->size(), QSize(134, 48));
    EXPECT_FALSE(form().productFooterLogo->pixmap().isNull());
    EXPECT_TRUE(main().showBackgroundImage());
    EXPECT_EQ(form().productTitleText->text(), "Ostrel Total Security");
    EXPECT_FALSE(form().productTitleText->isHidden());
    // The welcome's picture lies behind all of the welcome's texts.
    QWidget* bottom = nullptr;
    for (QObject* child : form().welcomeView->children())
        if ((bottom = qobject_cast<QWidget*>(child))) break;
    EXPECT_EQ(bottom, form().prepareToInstallImageView);
    main().switchCenterBoxView(form().okView, false, nullptr);
    EXPECT_FALSE(form().leftBackgroundImage->isHidden());
}

// Every screen's default button takes the focus when the screen shows, so
// that Return presses it.
TEST_F(MainWindowTest, EachScreensDefaultButtonHasTheFocus) {
    struct Case {
        const char* name;
        std::function<void()> show;
        std::function<QWidget*()> button;
    };
    const std::vector<Case> cases = {
        {"error", [&] { main().showErrorScreen(QStringLiteral("Broken.")); },
         [&] { return form().closeButtonError; }},
        {"warning", [&] { main().showWarningScreen(QStringLiteral("Check."), nullptr); },
         [&] { return form().tryAgainButton; }},
        {"ok", [&] { main().showOKScreen(QStringLiteral("T"), QStringLiteral("M")); },
         [&] { return form().okTryAgainButton; }},
        {"competitive", [&] { main().showCompetitiveErrorScreen(QStringLiteral("Other.")); },
         [&] { return form().competitiveCloseButton; }},
        {"restart", [&] { main().showRestartView(QStringLiteral("Restart.")); },
         [&] { return main().rebootViewController()->restartButton; }},
        {"log-out", [&] { main().showLogoutView(QStringLiteral("Log out.")); },
         [&] { return main().logoutViewController()->logoutButton; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        launch();
        main().window()->show();
        main().window()->activateWindow();
        pump();
        c.show();
        pump();
        EXPECT_EQ(main().window()->focusWidget(), c.button());
        auto* button = qobject_cast<QPushButton*>(c.button());
        ASSERT_TRUE(button);
        EXPECT_TRUE(button->isDefault() || button->autoDefault());  // Return presses it
        TearDown();
        SetUp();
    }
}

// The closing screens say what to do on every road that reaches them.
TEST_F(MainWindowTest, AnInstallThatSucceedsFillsTheClosingScreensText) {
    for (const char* action : {"RESTART", "LOGOUT"}) {
        SCOPED_TRACE(action);
        info_["PEL_ON_COMPLETE_ACTION"] = action;
        launch();
        main().closingScreen(true);
        pump();
        if (std::string(action) == "RESTART") {
            EXPECT_EQ(centerContent(), main().rebootViewController());
            EXPECT_EQ(main().rebootViewController()->restartText->text(),
                      "Restart your computer now to activate your protection. You are not "
                      "protected until you do so.");
        } else {
            EXPECT_EQ(centerContent(), main().logoutViewController());
            EXPECT_EQ(main().logoutViewController()->logoutText->text(),
                      "Please log out from your computer. Installation of your Ostrel product "
                      "is not complete until you do so!");
        }
        TearDown();
        SetUp();
    }
}

// The informal start-up calls: the window's height goes to a plug-in that
// takes it, on a launch with or without a set-up download, and the left
// panel's image is the plug-in's own when it names one.
TEST_F(MainWindowTest, ThePluginHearsTheWindowHeightAndNamesTheLeftImage) {
    for (double screen : {800.0, 801.0}) {
        SCOPED_TRACE(screen);
        ScreenInfo::setMainScreenHeight(screen);
        launch();
        EXPECT_TRUE(plugin_->windowHeights.empty());  // not offered: not told
        TearDown();
        SetUp();
        for (bool download : {false, true}) {
            SCOPED_TRACE(download ? "set-up download" : "no download");
            ScreenInfo::setMainScreenHeight(screen);
            PluginRegistry::registerPlugin("TestPlugin", [this] {
                plugin_ = std::make_shared<FakePlugin>();
                plugin_->implemented.insert(IFPluginOperation::isWindowAtMaxHeight);
                plugin_->implemented.insert(IFPluginOperation::leftBackgroundImage);
                plugin_->implemented.insert(IFPluginOperation::backgroundImageName);
                plugin_->background = "img-bg-full";
                plugin_->leftImage = "img-bg-left";
                return plugin_;
            });
            launch(download);
            if (download) {
                // Told while the set-up file still comes, and still so after.
                ASSERT_FALSE(plugin_->windowHeights.empty());
                EXPECT_EQ(plugin_->windowHeights.back(), screen > 800);
                fsd_->finishSetup(true, std::nullopt, std::nullopt, std::nullopt);
                pump();
                ASSERT_FALSE(main().isOverlayShown());
            }
            ASSERT_FALSE(plugin_->windowHeights.empty());
            EXPECT_EQ(plugin_->windowHeights.back(), screen > 800);
            // Never a height before the window's is worked out.
            EXPECT_EQ(std::count(plugin_->windowHeights.begin(), plugin_->windowHeights.end(),
                                 screen <= 800),
                      0);
            EXPECT_EQ(main().isWindowAtMaxHeight(), screen > 800);
            main().switchCenterBoxView(form().okView, false, nullptr);
            pump();
            EXPECT_GE(plugin_->leftImageAsked, 1);
            TearDown();
            SetUp();
            // The next launch is one without a download again.
            std::filesystem::remove_all(dir_.file("Apps/.fsd"));
        }
    }
}

TEST_F(MainWindowTest, RestartAndLogoutViewsTakeTheirTexts) {
    launch();
    main().showLogoutView(QStringLiteral("Log out to finish."));
    EXPECT_EQ(centerContent(), main().logoutViewController());
    EXPECT_EQ(main().logoutViewController()->logoutText->text(), "Log out to finish.");
    EXPECT_FALSE(delegate_->restartMenuItem()->isEnabled());  // item 2, disabled
    main().showRestartView(QStringLiteral("Restart to finish."));
    pump();
    EXPECT_EQ(centerContent(), main().rebootViewController());
    EXPECT_EQ(main().rebootViewController()->restartText->text(), "Restart to finish.");
    EXPECT_TRUE(delegate_->restartMenuItem()->isEnabled());
    // Both leave a restart or log-out pending: a quit shows that, not the
    // step before.
    EXPECT_EQ(main().installStatus(), kInstallStatusFinished);
}

}  // namespace
}  // namespace shelltest
