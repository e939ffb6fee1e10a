#include "Controllers/InstallerAppDelegate.h"

#include <QApplication>
#include <QCoreApplication>
#include <QPushButton>
#include <QSessionManager>
#include <csignal>

#include "Controllers/AgreeInstallViewController.h"
#include "Controllers/Core/FSDFacade.h"
#include "Controllers/FSDViewController.h"
#include "Controllers/IFPluginProtocol.h"
#include "Controllers/InstallerAboutWindowController.h"
#include "Controllers/MainWindowController.h"
#include "Controllers/MainWindowForm.h"
#include "Controllers/ShellSupport.h"
#include "Foundation/PelGenericUtils.h"
#include "Foundation/PelLogging.h"
#include "OstrelUI/Controls/OstrelUIGuard.h"
#include "OstrelUI/Controls/OstrelUITintedButton.h"
#include "OstrelUI/Controls/OstrelUIWindowUtilities.h"
#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Dispatch/SignalSource.h"

namespace {

constexpr const char* kInstallCompletedNotification = "PelInstallCompleted";

}  // namespace

InstallerAppDelegate::InstallerAppDelegate() = default;

InstallerAppDelegate::~InstallerAppDelegate() {
    delete logoutSheet_.data();
    if (completedObserver_)
        platform::NotificationCenter::defaultCenter().removeObserver(completedObserver_);
    if (sigtermSource_) sigtermSource_->cancel();
    if (mainWindowController_ && MainWindowController::hasSharedInstance())
        mainWindowController_->setTerminateHandler(nullptr);
}

void InstallerAppDelegate::applicationDidFinishLaunching() {
    // The quit decision is ours, never the last window's.
    QApplication::setQuitOnLastWindowClosed(false);
    mainWindowController_ = MainWindowController::sharedMainMenuController();
    mainWindowController_->setTerminateHandler(
        [this](QuitOrigin origin) { return requestTerminate(origin); });
    MainWindowForm& form = mainWindowController_->form();
    if (!systemMenu_) systemMenu_ = form.applicationMenu;
    connect(form.quitAction, &QAction::triggered, this,
            ostrelui::guarded([this] { requestTerminate(QuitOrigin::Menu); }));
    connect(form.aboutAction, &QAction::triggered, this,
            ostrelui::guarded([this] { showAbout(); }));
#ifndef QT_NO_SESSIONMANAGER
    // The session never starts the installer again at the next log-in.
    connect(qApp, &QGuiApplication::saveStateRequest, this, [](QSessionManager& manager) {
        manager.setRestartHint(QSessionManager::RestartNever);
    });
    connect(qApp, &QGuiApplication::commitDataRequest, this, [this](QSessionManager& manager) {
        ostrelui::guarded([&] {
            manager.setRestartHint(QSessionManager::RestartNever);
            if (!requestTerminate(QuitOrigin::SessionEnd)) manager.cancel();
        })();
    });
#endif

    // The first copy takes the installer's lock now and keeps it, so that a
    // copy started later finds it held when its Install is pressed.
    if (AgreeInstallViewController::anotherCopyRuns())
        PelLogging::logNoticeMessage("Another copy of the installer is running");
    try {
        mainWindowController_->showWindow();
    } catch (...) {
        // Launching goes on, so the menu and the signal sources exist.
        ostrelui::reportCurrentException();
    }
    addRestartMenuItem();

    platform::Error error;
    sigtermSource_ = platform::SignalSource::create(
        SIGTERM, platform::MainQueue::shared(),
        ostrelui::guarded([this] { requestTerminate(QuitOrigin::Signal); }), &error);
    if (!sigtermSource_)
        PelLogging::logErrorMessageWithFormat("%s: no SIGTERM source: %@", __func__,
                                              error.description());
    // SIGSTOP cannot be caught; there is nothing to listen to.
    sigstopsource_ = platform::SignalSource::create(
        SIGSTOP, platform::MainQueue::shared(), [] {}, &error);
    if (!sigstopsource_)
        PelLogging::logNoticeMessageWithFormat("%s: SIGSTOP cannot be caught; no source for it",
                                               __func__);
}

void InstallerAppDelegate::addRestartMenuItem() {
    restartMenuItem_ = new QAction(shell::sharedText("Restart"), this);
    restartMenuItem_->setObjectName(QStringLiteral("restartMenuItem"));
    restartMenuItem_->setEnabled(false);
    connect(restartMenuItem_, &QAction::triggered, this,
            ostrelui::guarded([this] { restartMachine(); }));
    if (!systemMenu_) return;
    QList<QAction*> items = systemMenu_->actions();
    QAction* before = items.value(1, nullptr);
    QAction* separator = new QAction(systemMenu_);
    separator->setSeparator(true);
    systemMenu_->insertAction(before, separator);
    systemMenu_->insertAction(before, restartMenuItem_);
    QPointer<InstallerAppDelegate> self(this);
    completedObserver_ = platform::NotificationCenter::defaultCenter().addObserver(
        this, kInstallCompletedNotification, [self](const platform::Notification&) {
            if (self) ostrelui::guarded([&] { self->enableRestartMenuItem(); })();
        });
}

void InstallerAppDelegate::enableRestartMenuItem() {
    if (completedObserver_) {
        platform::NotificationCenter::defaultCenter().removeObserver(completedObserver_);
        completedObserver_.reset();
    }
    if (restartMenuItem_) restartMenuItem_->setEnabled(true);
}

void InstallerAppDelegate::restartMachine() {
    int result = PelGenericUtils::sharedGenUtils().performRestart();
    if (result != 0)
        PelLogging::logErrorMessageWithFormat("%s: the restart request failed with %d", __func__,
                                              result);
    MainWindowController::sharedMainMenuController()->quitInstaller();
}

void InstallerAppDelegate::showAbout() {
    if (terminating_) return;
    InstallerAboutWindowController about;
    about.runModal();
}

void InstallerAppDelegate::cancelDownload() {
    if (!MainWindowController::hasSharedInstance()) return;
    auto* main = MainWindowController::sharedMainMenuController();
    if (auto* screen = main->fsdViewController())
        if (const auto& fsd = screen->fsd()) fsd->cancelFSDDownload();
}

InstallerAppDelegate::TerminateReply InstallerAppDelegate::applicationShouldTerminate(
    QuitOrigin origin) {
    if (!MainWindowController::hasSharedInstance()) return TerminateNow;
    auto* main = MainWindowController::sharedMainMenuController();
    std::optional<int> status = main->installStatus();
    if (!status || *status < kInstallStatusLaunched || *status > kInstallStatusQuitting)
        return TerminateNow;
    switch (*status) {
        case kInstallStatusDownloading:
        case kInstallStatusInstalling:
        case kInstallStatusUninstalling:
            main->showAppClosingErrorScreen(false);
            return TerminateCancel;
        case kInstallStatusFinished:
            // The installer asks for a restart or log-out; one the system
            // asks for must not be blocked.
            if (!isUserQuit(origin) && origin != QuitOrigin::Installer) return TerminateNow;
            if (main->endsWithRestart())
                main->showAppClosingErrorScreen(true);
            else
                showLogoutSheet();
            return TerminateCancel;
        default:
            cancelDownload();
            return TerminateNow;
    }
}

bool InstallerAppDelegate::requestTerminate(QuitOrigin origin) {
    if (terminating_) return true;
    if (applicationShouldTerminate(origin) == TerminateCancel) return false;
    terminating_ = true;
    if (MainWindowController::hasSharedInstance())
        MainWindowController::sharedMainMenuController()->setTerminating();
    applicationWillTerminate();
    if (exitHandler_)
        exitHandler_();
    else
        QCoreApplication::exit(0);
    return true;
}

void InstallerAppDelegate::applicationWillTerminate() {
    if (MainWindowController::hasSharedInstance()) {
        auto* main = MainWindowController::sharedMainMenuController();
        const auto& plugin = main->productPlugin();
        if (plugin && plugin->respondsTo(IFPluginOperation::installerWillTerminate))
            plugin->installerWillTerminate();
    }
    if (sigstopsource_) {
        sigstopsource_->cancel();
        sigstopsource_.reset();
    }
    if (sigtermSource_) {
        sigtermSource_->cancel();
        sigtermSource_.reset();
    }
    cancelDownload();
}

void InstallerAppDelegate::showLogoutSheet() {
    auto* main = MainWindowController::sharedMainMenuController();
    if (!logoutSheet_) {
        logoutSheet_ = new QMessageBox(main->window());
        logoutSheet_->setObjectName(QStringLiteral("logoutSheet"));
        logoutSheet_->setIcon(QMessageBox::Critical);
        logoutSheet_->setTextFormat(Qt::PlainText);
        logoutSheet_->setText(shell::sharedText("Log Out Required!"));
        // Shown as it is: the text is no format.
        logoutSheet_->setInformativeText(shell::sharedText(
            "Please log out from your computer. Installation of your Ostrel product is not "
            "complete until you do so!"));
        QPushButton* ok = ostrelui::OstrelUITintedButton::dialogButton(shell::sharedText("OK"));
        logoutSheet_->addButton(ok, QMessageBox::AcceptRole);
        logoutSheet_->setDefaultButton(ok);
        logoutSheet_->setEscapeButton(ok);
        ostrelui::setDialogMargins(*logoutSheet_);
    }
    if (logoutSheet_->isVisible()) return;
    ostrelui::runModalForWindow(*logoutSheet_, main->window(), nullptr);
    ReviewPictures::capture(logoutSheet_, main->installStatus(), QStringLiteral("logoutSheet"));
}
