// The last centre screens: restart, log out, or the plug-in's closing text;
// each ends the installer with its one button.
#pragma once

#include <QLabel>
#include <QWidget>

namespace ostrelui {
class OstrelUITintedButton;
}

class RebootViewController : public QWidget {
  public:
    explicit RebootViewController(QWidget* parent = nullptr);
    QLabel* restartTitle = nullptr;
    QLabel* restartText = nullptr;
    ostrelui::OstrelUITintedButton* restartButton = nullptr;

    /// The button's action: restart().
    void rebootNow();
    /// Sends the restart request, then quits the installer, whatever the
    /// request's result.
    void restart();
};

class LogoutViewController : public QWidget {
  public:
    explicit LogoutViewController(QWidget* parent = nullptr);
    QLabel* logoutTitle = nullptr;
    QLabel* logoutText = nullptr;
    ostrelui::OstrelUITintedButton* logoutButton = nullptr;

    /// Sends the log-out request, then quits the installer, whatever the
    /// request's result.
    void logoutNow();
};

class ClosingViewController : public QWidget {
  public:
    explicit ClosingViewController(QWidget* parent = nullptr);
    QLabel* closingText = nullptr;
    ostrelui::OstrelUITintedButton* quitButton = nullptr;

    /// Shows `text` and switches the main window's centre box here, animated.
    void showClosingScreen(const QString& text);
    /// Quits the installer.
    void quitInstaller();
};
