// The product plug-ins and the welcome agreement screen, on the launched
// shell with the fake engine.
#include <unistd.h>

#include <QApplication>
#include <QPushButton>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "Controllers/AgreeInstallViewController.h"
#include "Controllers/Core/InstallerInstanceLock.h"
#include "Controllers/Core/PelFSDPaths.h"
#include "Controllers/HVKProductPlugin.h"
#include "Controllers/LeftNavigationViewController.h"
#include "Controllers/ProgressAnimationViewController.h"
#include "OstrelUI/Controls/AttributedText.h"
#include "OstrelUI/Controls/OstrelUIEULAController.h"
#include "OstrelUI/Controls/OstrelUITintedButton.h"
#include "ShellFixture.h"
#include "support/FakeClock.h"

namespace shelltest {
namespace fs = std::filesystem;
namespace {

/// Records the status codes instead of driving the left list.
class RecordingPlugin : public HVKProductPlugin {
  public:
    using HVKProductPlugin::HVKProductPlugin;
    std::vector<unsigned> statuses;
    void setProgressStatus(unsigned status) override { statuses.push_back(status); }
};

class RecordingDelegate : public IFPluginDelegate {
  public:
    std::vector<bool> finished;
    void pluginFinished(bool success) override { finished.push_back(success); }
};

class ProductPlugins : public ShellTest {
  protected:
    void SetUp() override {
        ShellTest::SetUp();
        registerProductPlugins();
        // The plug-in's timed steps run on the test's clock.
        PluginRegistry::registerPlugin(
            "HVKProductPlugin", [this] { return std::make_shared<HVKProductPlugin>(clock_); });
        info_["PEL_PRODUCT_PLUGIN_CLASS"] = "HVKProductPlugin";
        info_["CFBundleIdentifier"] = "com.pelgrave.installer.test";
    }
    void TearDown() override {
        AgreeInstallViewController::setInstanceCheck(nullptr);
        AgreeInstallViewController::setOptInDialog(nullptr);
        ShellTest::TearDown();
        PluginRegistry::unregisterPlugin("JHWProductPlugin");
    }
    /// Lets the plug-in's timed steps and the engine's script run.
    void settle() {
        for (int i = 0; i < 20; ++i) {
            pump();
            clock_->advance(std::chrono::milliseconds(500));
            engine_->waitIdle();
        }
        pump();
    }
    std::shared_ptr<testsupport::FakeClock> clock_ = std::make_shared<testsupport::FakeClock>();
    template <class T>
    T* find(const char* name) {
        return main().window()->findChild<T*>(QString::fromLatin1(name));
    }
    void launchWithOptIn() {
        info_["PEL_KEENWATCH_OPTIN_ALLOWED"] = true;
        launch();
        main().window()->show();
        pump();
    }
};

TEST_F(ProductPlugins, RespondToExactlyTheirOperations) {
    controllerstest::application();
    HVKProductPlugin hvk;
    JHWProductPlugin jhw;
    const std::set<IFPluginOperation> hvkSkips = {
        IFPluginOperation::shouldEnableWelcomeText, IFPluginOperation::closingScreenText,
        IFPluginOperation::installComplete, IFPluginOperation::downloadFSDComplete,
        IFPluginOperation::downloadFSDFailedWithError};
    for (int i = 0; i < kIFPluginOperationCount; ++i) {
        auto op = static_cast<IFPluginOperation>(i);
        EXPECT_EQ(hvk.respondsTo(op), hvkSkips.count(op) == 0) << i;
        EXPECT_EQ(jhw.respondsTo(op),
                  hvkSkips.count(op) == 0 || op == IFPluginOperation::shouldEnableWelcomeText)
            << i;
    }
    EXPECT_TRUE(hvk.shouldShowSupportForInstallFailures());
    EXPECT_FALSE(jhw.shouldShowSupportForInstallFailures());
    EXPECT_EQ(jhw.backgroundImageName(), "");
    EXPECT_EQ(hvk.backgroundImageName(), "img-bg-full");
    // The second family's own controllers replace the inherited ones.
    EXPECT_NE(jhw.animationViewController(), nullptr);
    EXPECT_NE(static_cast<HVKProductPlugin&>(jhw).leftNavigationViewController(),
              jhw.HVKProductPlugin::leftNavigationViewController());
    EXPECT_EQ(jhw.getAttributedProductTitle()->text, QStringLiteral("My Ostrel"));
    jhw.leftNavigationView();
    EXPECT_EQ(jhw.getAttributedProductTitle()->text, QStringLiteral("Pelgrave"));
    EXPECT_EQ(jhw.leftNavigationViewController()->centerBarNeutralImageName(),
              QStringLiteral("bg-status-neutral-grey"));
    IFPluginSize size{1, 2};
    EXPECT_EQ(hvk.getProductFooterLogoImageAndSize(&size, "no-such-image"), nullptr);
    EXPECT_EQ(size.width, 1);
}

TEST_F(ProductPlugins, FormsNameTheirOutlets) {
    controllerstest::application();
    HVKProductPlugin hvk;
    JHWProductPlugin jhw;
    ostrelui::OstrelUIEULAController eula;
    const std::pair<const QObject*, const char*> outlets[] = {
        {hvk.agreeAndInstallViewController(), "agreeAndInstallViewController"},
        {hvk.animationViewController(), "animationViewController"},
        {hvk.leftNavigationViewController(), "leftNavigationViewController"},
        {hvk.backgroundImageView(), "backgroundImageView"},
        {jhw.jhwInstallViewController(), "jhwInstallViewController"},
        {jhw.animationViewController(), "animationViewController"},
        {jhw.leftNavigationViewController(), "leftNavigationViewController"},
        {jhw.productNameLabel(), "productNameLabel"},
        {&eula, "EULA"},
    };
    for (const auto& [object, name] : outlets) {
        ASSERT_TRUE(object) << name;
        EXPECT_EQ(object->objectName(), QLatin1String(name));
    }
    // Outlets inside a view are found by their names.
    const std::pair<const QWidget*, std::vector<const char*>> children[] = {
        {hvk.agreeAndInstallViewController(),
         {"optIn", "productNameText", "agreeAndInstallText", "agreeAndInstallKeenwatchOptInText",
          "prodTypeText", "installEulaText", "installPrivacyNoticesText", "installOfgOptInText"}},
        {&eula, {"progressBar", "downloadingView", "auxillaryView", "PDFView", "button"}},
    };
    for (const auto& [view, names] : children)
        for (const char* name : names)
            EXPECT_TRUE(view->findChild<QWidget*>(QLatin1String(name))) << name;
}

TEST_F(ProductPlugins, CompletionSequenceOnTheClock) {
    controllerstest::application();
    auto clock = std::make_shared<testsupport::FakeClock>();
    RecordingPlugin plugin(clock);
    RecordingDelegate delegate;
    plugin.installCompleteWithDelegate(true, &delegate);
    EXPECT_EQ(plugin.statuses, std::vector<unsigned>{14});
    EXPECT_EQ(delegate.finished, std::vector<bool>{true});
    clock->advance(std::chrono::milliseconds(2900));
    pump();
    EXPECT_EQ(plugin.statuses, std::vector<unsigned>{14});
    clock->advance(std::chrono::milliseconds(200));
    pump();
    EXPECT_EQ(plugin.statuses, (std::vector<unsigned>{14, 9}));
    EXPECT_EQ(delegate.finished.size(), 1u);

    // A failure finishes at once with no status change.
    RecordingPlugin failed(clock);
    RecordingDelegate failedDelegate;
    failed.installCompleteWithDelegate(false, &failedDelegate);
    clock->advance(std::chrono::seconds(5));
    pump();
    EXPECT_TRUE(failed.statuses.empty());
    EXPECT_EQ(failedDelegate.finished, std::vector<bool>{false});
}

TEST_F(ProductPlugins, WelcomeWithoutOptInInstallsWithoutAsking) {
    int asked = 0;
    AgreeInstallViewController::setOptInDialog([&](QWidget*, bool*) { return ++asked, 1; });
    launch();
    auto* optIn = find<QPushButton>("optIn");
    ASSERT_NE(optIn, nullptr);
    EXPECT_TRUE(optIn->isHidden());
    QTest::mouseClick(find<QPushButton>("installButton"), Qt::LeftButton);
    pump();
    EXPECT_EQ(asked, 0);
    EXPECT_EQ(engine_->requirementChecks, 1);
    EXPECT_EQ(main().uiOptionsClicked() & kUIOptionOptInAccepted, 0u);
}

TEST_F(ProductPlugins, OptInBoxTogglesWithSpaceAndKeepsOtherBits) {
    launchWithOptIn();
    auto* optIn = find<QPushButton>("optIn");
    ASSERT_NE(optIn, nullptr);
    ASSERT_FALSE(optIn->isHidden());
    // The opt-in is worded once, next to its box.
    EXPECT_FALSE(find<QWidget>("agreeAndInstallKeenwatchOptInText")->isHidden());
    EXPECT_TRUE(find<QWidget>("installOfgOptInText")->isHidden());
    auto* agree =
        static_cast<AgreeInstallViewController*>(find<QWidget>("agreeAndInstallViewController"));
    agree->showPrivacyPolicy();
    EXPECT_EQ(opened_.size(), 1u);
    optIn->setFocus();
    QTest::keyClick(optIn, Qt::Key_Space);
    EXPECT_TRUE(optIn->isChecked());
    EXPECT_EQ(main().uiOptionsClicked(), 0x81u);
    QTest::keyClick(optIn, Qt::Key_Space);
    EXPECT_FALSE(optIn->isChecked());
    EXPECT_EQ(main().uiOptionsClicked(), 0x80u);
}

TEST_F(ProductPlugins, UntickedBoxAsksOnceMore) {
    struct Case {
        int answer;
        bool learnMore;
        std::uint64_t mask;
        bool ticked;
    };
    const Case cases[] = {{1, false, 0x1, true}, {0, true, 0x4000, false}, {1, true, 0x4001, true}};
    for (const Case& c : cases) {
        launchWithOptIn();
        AgreeInstallViewController::setOptInDialog([&](QWidget* base, bool* learnMore) {
            EXPECT_EQ(base, main().window());
            *learnMore = c.learnMore;
            return c.answer;
        });
        QTest::mouseClick(find<QPushButton>("installButton"), Qt::LeftButton);
        pump();
        EXPECT_EQ(main().uiOptionsClicked() & 0x4001, c.mask);
        EXPECT_EQ(find<QPushButton>("optIn")->isChecked(), c.ticked);
        EXPECT_EQ(engine_->requirementChecks, 1);
        delegate_.reset();
        MainWindowController::resetSharedInstance();
        pump();
        engine_->requirementChecks = 0;
    }
}

TEST_F(ProductPlugins, QuitGrantedDuringTheDialogStartsNoInstall) {
    launchWithOptIn();
    AgreeInstallViewController::setOptInDialog([&](QWidget*, bool*) {
        main().setTerminating();
        return 1;
    });
    QTest::mouseClick(find<QPushButton>("installButton"), Qt::LeftButton);
    settle();
    EXPECT_EQ(engine_->requirementChecks, 0);
    EXPECT_EQ(engine_->installs, 0);
}

TEST_F(ProductPlugins, InstallPressedTwiceRunsOneRoad) {
    launch();
    auto* install = find<QPushButton>("installButton");
    int nested = 0;
    engine_->beforeCheckReturns = [&] {
        // A second click and a Return while the first road is in flight.
        ++nested;
        EXPECT_FALSE(install->isEnabled());
        static_cast<AgreeInstallViewController*>(find<QWidget>("agreeAndInstallViewController"))
            ->install();
        QTest::keyClick(install, Qt::Key_Return);
    };
    QTest::mouseClick(install, Qt::LeftButton);
    QTest::mouseClick(install, Qt::LeftButton);
    settle();
    EXPECT_EQ(nested, 1);
    EXPECT_EQ(engine_->requirementChecks, 1);
    EXPECT_EQ(engine_->installs, 1);
}

TEST_F(ProductPlugins, SecondRunningCopyShowsTheOKScreenWithAWayBack) {
    bool otherCopy = true;
    AgreeInstallViewController::setInstanceCheck([&otherCopy] { return otherCopy; });
    launch();
    main().window()->show();
    main().window()->activateWindow();
    pump();
    auto* install = find<QPushButton>("installButton");
    // The welcome's default button has the focus; Return presses it.
    ASSERT_EQ(main().window()->focusWidget(), install);
    QTest::keyClick(install, Qt::Key_Return);
    pump();
    EXPECT_EQ(engine_->requirementChecks, 0);
    EXPECT_EQ(main().installStatus(), kInstallStatusLaunched);
    ASSERT_EQ(centerContent(), form().okView);
    // The whole title shows (it wraps rather than being cut).
    EXPECT_TRUE(form().okTitleText->wordWrap());
    EXPECT_TRUE(form().okQuitButton->isVisible());
    // Try Again, the default, checks again: while the other copy runs the
    // screen stays.
    ASSERT_EQ(main().window()->focusWidget(), form().okTryAgainButton);
    QTest::keyClick(form().okTryAgainButton, Qt::Key_Return);
    pump();
    EXPECT_EQ(centerContent(), form().okView);
    EXPECT_FALSE(form().centerBox->isHidden());
    // Once it is gone, the welcome screen is back with Install focused,
    // and Install works again.
    otherCopy = false;
    QTest::keyClick(main().window()->focusWidget(), Qt::Key_Return);
    pump();
    EXPECT_TRUE(form().centerBox->isHidden());
    EXPECT_TRUE(form().leftBox->isHidden());
    EXPECT_TRUE(install->isVisible());
    EXPECT_EQ(main().window()->focusWidget(), install);
    QTest::keyClick(install, Qt::Key_Return);
    pump();
    EXPECT_EQ(engine_->requirementChecks, 1);
}

// Tab goes through the welcome as it reads, from the box to Install.
TEST_F(ProductPlugins, TabFollowsTheWelcomePage) {
    launchWithOptIn();
    main().window()->activateWindow();
    QApplication::setActiveWindow(main().window());
    auto* box = find<QPushButton>("optIn");
    box->setFocus(Qt::TabFocusReason);
    pump();
    QStringList order;
    for (int i = 0; i < 6; ++i) {
        QWidget* focus = QApplication::focusWidget();
        order << (focus ? focus->objectName() : QString());
        QTest::keyClick(focus ? focus : main().window(), Qt::Key_Tab);
        pump();
    }
    // The links of a field are stepped through inside it, one Tab each.
    order.removeDuplicates();
    EXPECT_EQ(order, (QStringList{"optIn", "agreeAndInstallKeenwatchOptInText", "installEulaText",
                                  "installPrivacyNoticesText", "installButton"}))
        << order.join(",").toStdString();
}

TEST_F(ProductPlugins, TheAlreadyRunningScreenQuits) {
    AgreeInstallViewController::setInstanceCheck([] { return true; });
    launch();
    main().window()->show();
    pump();
    QTest::mouseClick(find<QPushButton>("installButton"), Qt::LeftButton);
    pump();
    ASSERT_EQ(centerContent(), form().okView);
    QTest::mouseClick(form().okQuitButton, Qt::LeftButton);
    pump();
    EXPECT_EQ(exits_, 1);
}

// At exit the plug-in removes what the download left: the packages, the
// set-up file's requirement list and branding logo (named by the download's
// manifest), then the empty folder. Names that lead out of it are ignored.
TEST_F(ProductPlugins, CleanUpRemovesTheDownloadsSetUpFilesAndItsFolder) {
    struct Case {
        const char* name;
        std::optional<std::string> reqs, logo;
        bool folderGone;
    } cases[] = {
        {"both named", "Requirements.plist", "Brand.png", true},
        {"logo not named", "Requirements.plist", std::nullopt, false},
        {"a name leading out", "../keep.txt", "Brand.png", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        launch(true);
        fsd_->finishSetup(true, std::nullopt, std::nullopt, std::nullopt);
        pump();
        const std::string folder = fsdDownloadFolder();
        const std::string outside = fs::path(folder).parent_path().string() + "/keep.txt";
        for (const std::string& file : {folder + "/Ostrel.pkg", folder + "/Requirements.plist",
                                        folder + "/Brand.png", outside}) {
            fs::create_directories(fs::path(file).parent_path());
            std::ofstream(file) << "x";
        }
        fsd_->setupNames = {c.reqs, c.logo};
        main().productPlugin()->installerWillTerminate();
        EXPECT_FALSE(fs::exists(folder + "/Ostrel.pkg"));
        EXPECT_FALSE(fs::exists(folder + "/Requirements.plist") && c.reqs == "Requirements.plist");
        EXPECT_EQ(fs::exists(folder), !c.folderGone);
        EXPECT_TRUE(fs::exists(outside));
        fs::remove_all(folder);
        TearDown();
        SetUp();
    }
}

TEST_F(ProductPlugins, TheFirstCopyTakesTheInstallersLockAtLaunch) {
    // Programs elsewhere that share the bundle's identifier do not count:
    // only the lock under this path root does, and the launch took it.
    launch();
    const std::string lock = InstallerInstanceLock::lockPath("com.pelgrave.installer.test");
    EXPECT_EQ(lock.rfind(platform::Paths::root(), 0), 0u) << lock;
    std::string holder;
    std::ifstream(lock) >> holder;
    EXPECT_EQ(holder, std::to_string(::getpid()));
    EXPECT_FALSE(AgreeInstallViewController::anotherCopyRuns());
}

TEST_F(ProductPlugins, ReviewPictures) {
    if (!std::getenv("PEL_UI_GRAB_DIR")) GTEST_SKIP() << "PEL_UI_GRAB_DIR is not set";
    launch();
    main().window()->show();
    pump();
    ReviewPictures::capture(main().window(), main().installStatus(), QStringLiteral("welcome"));
    delegate_.reset();
    MainWindowController::resetSharedInstance();
    pump();
    launchWithOptIn();
    ReviewPictures::capture(main().window(), main().installStatus(),
                            QStringLiteral("welcome-opt-in"));
}

}  // namespace
}  // namespace shelltest
