#include <QEventLoop>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include "OstrelUI/Controls/OstrelUITintedButton.h"
#include "ShellFixture.h"

namespace shelltest {
namespace {

using QuitDecisionTest = ShellTest;

const char* originName(QuitOrigin origin) {
    switch (origin) {
        case QuitOrigin::Menu:
            return "menu";
        case QuitOrigin::Close:
            return "close";
        case QuitOrigin::Signal:
            return "SIGTERM";
        case QuitOrigin::SessionEnd:
            return "session end";
        case QuitOrigin::Installer:
            return "installer";
    }
    return "?";
}

struct Expectation {
    bool quits;
    QString overlay;  // title of the closing overlay, "" when none
};

Expectation expected(std::optional<int> status, QuitOrigin origin) {
    if (!status || *status < 500 || *status > 506) return {true, ""};
    switch (*status) {
        case 501:
        case 502:
            return {false, "Installation in progress"};
        case 503:
            return {false, "Uninstalling Previous Version"};
        case 505:
            if (!isUserQuit(origin)) return {true, ""};
            return {false, "Restart Required"};
        default:
            return {true, ""};
    }
}

TEST_F(QuitDecisionTest, StatusByOriginTable) {
    const std::optional<int> statuses[] = {std::nullopt, 499, 500, 501, 502,
                                           503,          504, 505, 506, 507};
    const QuitOrigin origins[] = {QuitOrigin::Menu, QuitOrigin::Close, QuitOrigin::Signal,
                                  QuitOrigin::SessionEnd};
    for (std::optional<int> status : statuses) {
        for (QuitOrigin origin : origins) {
            SCOPED_TRACE(std::string(originName(origin)) + " at " +
                         (status ? std::to_string(*status) : std::string("no status")));
            launch();
            auto download = std::make_shared<FakeFSD>();
            main().fsdViewController()->setFsd(download);
            if (status == 503 || status == 501 || status == 502 || status == 505)
                main().switchCenterBoxView(form().okView, false, nullptr);
            main().setInstallStatus(status);

            bool terminated = false;
            switch (origin) {
                case QuitOrigin::Menu:
                    form().quitAction->trigger();
                    terminated = delegate_->isTerminating();
                    break;
                case QuitOrigin::Close:
                    terminated = main().window()->close();
                    break;
                default:
                    terminated = delegate_->requestTerminate(origin);
            }
            pump();
            Expectation want = expected(status, origin);
            EXPECT_EQ(terminated, want.quits);
            EXPECT_EQ(exits_, want.quits ? 1 : 0);
            EXPECT_EQ(overlayTitle(), want.overlay);
            if (!want.quits) {
                EXPECT_TRUE(main().window()->isVisible());
                EXPECT_EQ(download->cancels, 0);
                EXPECT_EQ(plugin_->pillarStatuses, std::vector<unsigned>{1});
            } else {
                EXPECT_EQ(plugin_->willTerminate, 1);
                // A running download is cancelled; with statuses outside the
                // table it is cancelled only by the will-terminate step.
                EXPECT_GE(download->cancels, 1);
            }
            if (want.overlay == "Installation in progress") {
                EXPECT_EQ(form().closingScreenButton->text(), "Continue Installing");
                EXPECT_EQ(form().closingScreenMessageText->text(),
                          "Your Ostrel product is installing. Quitting the installation will "
                          "leave your computer unprotected.");
                EXPECT_FLOAT_EQ(main().grayedOutView()->backgroundColorAlpha(), 1.0f);
                EXPECT_EQ(
                    main().grayedOutView()->geometry(),
                    QRect(392, 20, form().centerBox->width(), form().centerBox->height() - 20));
            }
            if (want.overlay == "Restart Required") {
                EXPECT_FLOAT_EQ(main().grayedOutView()->backgroundColorAlpha(), 0.1f);
            }
            TearDown();
            SetUp();
        }
    }
}

TEST_F(QuitDecisionTest, LogoutPendingShowsTheSheetToTheUserOnly) {
    info_["PEL_ON_COMPLETE_ACTION"] = "LOGOUT";
    info_["PEL_BRAND"] = "Br%and";
    launch();
    main().closingScreen(true);
    pump();
    EXPECT_EQ(main().installStatus(), 505);
    EXPECT_EQ(centerContent(), main().logoutViewController());

    form().quitAction->trigger();
    pump();
    EXPECT_EQ(exits_, 0);
    QMessageBox* sheet = delegate_->logoutSheet();
    ASSERT_TRUE(sheet);
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_EQ(sheet->windowModality(), Qt::WindowModal);
    EXPECT_EQ(sheet->icon(), QMessageBox::Critical);
    EXPECT_EQ(sheet->text(), "Log Out Required!");
    EXPECT_EQ(sheet->informativeText(),
              "Please log out from your computer. Installation of your Ostrel product is not "
              "complete until you do so!");
    // Return ends the sheet; the application stays.
    QTest::keyClick(sheet, Qt::Key_Return);
    pump();
    EXPECT_FALSE(sheet->isVisible());
    EXPECT_EQ(exits_, 0);

    // The session ending is not blocked by the pending log-out.
    EXPECT_TRUE(delegate_->requestTerminate(QuitOrigin::SessionEnd));
    EXPECT_EQ(exits_, 1);

    // The program ends as main() does: the window (which the sheet ran on)
    // first, then the delegate, which must not delete the sheet again.
    QPointer<QMessageBox> watched(sheet);
    MainWindowController::resetSharedInstance();
    pump();
    EXPECT_TRUE(watched.isNull());
    delegate_.reset();
}

TEST_F(QuitDecisionTest, ClosingScreensEndTheInstallerWhateverTheEventGives) {
    for (int result : {0, -600}) {
        SCOPED_TRACE(result);
        events_ = std::make_shared<platform::RecordingEventSender>(result);
        PelGenericUtils::sharedGenUtils().setSystemEventSender(events_);
        launch();
        main().closingScreen(true);
        pump();
        EXPECT_TRUE(delegate_->restartMenuItem()->isEnabled());
        // The notification enables the item once: later ones are not heard.
        delegate_->restartMenuItem()->setEnabled(false);
        platform::NotificationCenter::defaultCenter().post("PelInstallCompleted");
        EXPECT_FALSE(delegate_->restartMenuItem()->isEnabled());

        main().rebootViewController()->restartButton->click();
        EXPECT_EQ(events_->events(), std::vector<std::uint32_t>{platform::kSystemEventRestart});
        EXPECT_EQ(main().installStatus(), 506);
        EXPECT_EQ(exits_, 1);
        TearDown();
        SetUp();
    }
    events_ = std::make_shared<platform::RecordingEventSender>(-1708);
    PelGenericUtils::sharedGenUtils().setSystemEventSender(events_);
    launch();
    main().logoutViewController()->logoutNow();
    EXPECT_EQ(events_->events(), std::vector<std::uint32_t>{platform::kSystemEventLogOut});
    EXPECT_EQ(exits_, 1);
}

TEST_F(QuitDecisionTest, RestartOverlayRestartsAndContinueHidesTheQuitOverlay) {
    launch();
    main().switchCenterBoxView(form().okView, false, nullptr);
    main().setInstallStatus(502);
    EXPECT_FALSE(main().window()->close());
    EXPECT_TRUE(main().isOverlayShown());
    form().closingScreenButton->click();
    EXPECT_FALSE(main().isOverlayShown());
    EXPECT_EQ(plugin_->pillarStatuses, (std::vector<unsigned>{1, 0}));

    main().setInstallStatus(505);
    form().quitAction->trigger();
    EXPECT_EQ(overlayTitle(), "Restart Required");
    EXPECT_TRUE(form().centerBox->isHidden());
    form().closingScreenButton->click();
    EXPECT_EQ(events_->events(), std::vector<std::uint32_t>{platform::kSystemEventRestart});
    EXPECT_EQ(exits_, 1);
}

// An open quit overlay follows the install's status: its question changes
// with the step, and once the step it asks about has ended it closes (the
// status bar back to neutral on success) and the next quit asks what fits.
TEST_F(QuitDecisionTest, TheQuitOverlayFollowsTheStatus) {
    struct Case {
        const char* name;
        int from;
        std::function<void(MainWindowController&)> change;
        QString overlayAfter;  // "" when the overlay has closed
        std::vector<unsigned> pillars;
        QString nextQuit;  // the overlay a quit request then shows
    };
    const std::vector<Case> cases = {
        {"download done, installing",
         501,
         [](MainWindowController& m) { m.setInstallStatus(502); },
         "Installation in progress",
         {1},
         "Installation in progress"},
        {"removal starts",
         502,
         [](MainWindowController& m) { m.setInstallStatus(503); },
         "Uninstalling Previous Version",
         {1},
         "Uninstalling Previous Version"},
        {"removal ended, restart screen",
         503,
         [](MainWindowController& m) { m.showRestartView(QStringLiteral("Restart now.")); },
         "",
         {1, 0},
         "Restart Required"},
        {"install finished under the overlay",
         502,
         [](MainWindowController& m) { m.closingScreen(true); },
         "",
         {1, 0},
         "Restart Required"},
        {"install failed under the overlay",
         502,
         [](MainWindowController& m) { m.closingScreen(false); },
         "",
         {1},
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        launch();
        main().switchCenterBoxView(form().okView, false, nullptr);
        main().setInstallStatus(c.from);
        EXPECT_FALSE(main().window()->close());
        ASSERT_TRUE(main().isOverlayShown());
        c.change(main());
        pump();
        EXPECT_EQ(overlayTitle(), c.overlayAfter);
        EXPECT_EQ(main().isOverlayShown(), !c.overlayAfter.isEmpty());
        EXPECT_EQ(plugin_->pillarStatuses, c.pillars);
        const bool quits = main().window()->close();
        pump();
        EXPECT_EQ(quits, c.nextQuit.isEmpty());
        EXPECT_EQ(overlayTitle(), c.nextQuit);
        TearDown();
        SetUp();
    }
}

TEST_F(QuitDecisionTest, TheQuitOverlayStaysOnTopWhileTheCentreSlides) {
    launch();
    main().switchCenterBoxView(form().okView, false, nullptr);
    main().setInstallStatus(502);
    ASSERT_FALSE(main().window()->close());
    ASSERT_TRUE(main().isOverlayShown());
    auto topmost = [&] {
        QWidget* top = nullptr;
        for (QObject* child : form().contentView->children())
            if (auto* widget = qobject_cast<QWidget*>(child); widget && widget->isVisible())
                top = widget;
        return top;
    };
    // The sliding snapshot of the centre box is painted above the boxes,
    // never above the overlay; at each step of the switch.
    main().switchCenterBoxView(form().warningView, true, nullptr);
    EXPECT_EQ(topmost(), main().grayedOutView());
    for (int i = 0; i < 4; ++i) {
        QCoreApplication::processEvents();
        platform::MainQueue::shared()->drain();
        EXPECT_EQ(topmost(), main().grayedOutView()) << i;
    }
    pump();
    EXPECT_EQ(form().centerBox->currentWidget(), form().warningView);
    EXPECT_EQ(topmost(), main().grayedOutView());
    EXPECT_EQ(overlayTitle(), "Installation in progress");
    // Escape keeps the install going, as the overlay's own button does.
    main().window()->activateWindow();
    form().closingScreenButton->setFocus();
    QTest::keyClick(form().closingScreenButton, Qt::Key_Escape);
    pump();
    EXPECT_FALSE(main().isOverlayShown());
    EXPECT_EQ(exits_, 0);
}

TEST_F(QuitDecisionTest, KeyboardOnly) {
    engine_->completes = false;
    launch();
    main().window()->activateWindow();
    // Warning screen: Tab reaches Close and Try Again; Space presses.
    main().showWarningScreen(QStringLiteral("Check this."), nullptr);
    pump();
    auto reaches = [&](QWidget* target) {
        for (int i = 0; i < 12; ++i) {
            if (QApplication::focusWidget() == target) return true;
            QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget()
                                                        : static_cast<QWidget*>(main().window()),
                            Qt::Key_Tab);
        }
        return QApplication::focusWidget() == target;
    };
    EXPECT_TRUE(reaches(form().closeButton));
    EXPECT_TRUE(reaches(form().tryAgainButton));
    QTest::keyClick(form().tryAgainButton, Qt::Key_Space);
    EXPECT_EQ(main().installStatus(), 502);
    pump();

    // Ctrl+Q asks the decision: the overlay, whose button has the focus.
    QTest::keyClick(main().window(), Qt::Key_Q, Qt::ControlModifier);
    pump();
    EXPECT_EQ(overlayTitle(), "Installation in progress");
    EXPECT_EQ(QApplication::focusWidget(), form().closingScreenButton);
    QTest::keyClick(form().closingScreenButton, Qt::Key_Return);
    EXPECT_FALSE(main().isOverlayShown());
    EXPECT_EQ(exits_, 0);

    // Error screen: Return on Close quits.
    main().showErrorScreen(QStringLiteral("Broken."));
    pump();
    EXPECT_TRUE(reaches(form().closeButtonError));
    QTest::keyClick(form().closeButtonError, Qt::Key_Return);
    EXPECT_EQ(exits_, 1);
}

TEST_F(QuitDecisionTest, NothingStartsAfterAGrantedQuit) {
    launch();
    // The plug-in's Install runs a dialog loop inside the requirement check;
    // SIGTERM arrives meanwhile and, at 500, ends the application.
    delegate_->setExitHandler([this] {
        ++exits_;
        QCoreApplication::exit(0);
    });
    engine_->beforeCheckReturns = [this] {
        QEventLoop loop;
        QTimer::singleShot(0, [this] { delegate_->requestTerminate(QuitOrigin::Signal); });
        QTimer::singleShot(5000, &loop, &QEventLoop::quit);
        loop.exec();
    };
    main().performFSDAndInstall();
    pump();
    EXPECT_EQ(exits_, 1);
    EXPECT_EQ(main().installStatus(), 500);
    EXPECT_EQ(engine_->installs, 0);
    main().continueWithWarning();
    main().startFSD();
    EXPECT_EQ(main().installStatus(), 500);
}

TEST_F(QuitDecisionTest, NoSystemMenuMeansNoRestartItem) {
    launch();
    // A delegate without a menu builds the item but never shows it.
    InstallerAppDelegate bare;
    bare.addRestartMenuItem();
    ASSERT_TRUE(bare.restartMenuItem());
    EXPECT_FALSE(bare.restartMenuItem()->isEnabled());
    platform::NotificationCenter::defaultCenter().post("PelInstallCompleted");
    EXPECT_FALSE(bare.restartMenuItem()->isEnabled());
}

}  // namespace
}  // namespace shelltest
