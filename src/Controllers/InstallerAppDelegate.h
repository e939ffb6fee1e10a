// The application's delegate: opens the main window, adds the Restart item,
// turns SIGTERM and the end of the session into quit requests, and takes
// the one quit decision from the install status.
#pragma once

#include <QAction>
#include <QMenu>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>

#include "Controllers/QuitOrigin.h"
#include "Platform/Dispatch/NotificationCenter.h"

class MainWindowController;
namespace platform {
class SignalSource;
}

class InstallerAppDelegate : public QObject {
  public:
    /// The replies of applicationShouldTerminate().
    enum TerminateReply { TerminateCancel = 0, TerminateNow = 1 };

    InstallerAppDelegate();
    ~InstallerAppDelegate() override;

    void applicationDidFinishLaunching();
    /// Closing the main window quits (through the quit decision).
    bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }
    void applicationWillTerminate();
    /// The decision table: quit now, or cancel with the overlay or the
    /// log-out sheet. Quits that the user did not make go through while a
    /// restart or log-out is pending (505).
    TerminateReply applicationShouldTerminate(QuitOrigin origin);

    /// The one entry of every quit request: applies the decision and, when
    /// it allows the quit, the will-terminate steps and the exit. True when
    /// the application is terminating.
    bool requestTerminate(QuitOrigin origin);
    bool isTerminating() const { return terminating_; }

    void showAbout();
    void restartMachine();
    void enableRestartMenuItem();
    void addRestartMenuItem();

    MainWindowController* mainWindowController() const { return mainWindowController_; }
    QMenu* systemMenu() const { return systemMenu_; }
    void setSystemMenu(QMenu* menu) { systemMenu_ = menu; }
    QAction* restartMenuItem() const { return restartMenuItem_; }
    bool hasSigtermSource() const { return sigtermSource_ != nullptr; }
    /// The log-out sheet, once shown.
    QMessageBox* logoutSheet() const { return logoutSheet_.data(); }

    /// What ends the event loop once a quit is allowed (tests record it);
    /// by default QCoreApplication::exit(0).
    void setExitHandler(std::function<void()> handler) { exitHandler_ = std::move(handler); }

  private:
    void showLogoutSheet();
    void cancelDownload();

    MainWindowController* mainWindowController_ = nullptr;
    QPointer<QMenu> systemMenu_;
    QPointer<QAction> restartMenuItem_;
    std::shared_ptr<platform::SignalSource> sigtermSource_;
    std::shared_ptr<platform::SignalSource> sigstopsource_;
    platform::ObserverToken completedObserver_;
    /// The sheet belongs to the window it runs on, which may go first.
    QPointer<QMessageBox> logoutSheet_;
    std::function<void()> exitHandler_;
    bool terminating_ = false;
};
