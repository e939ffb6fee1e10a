// The layout of the "MainWindow" interface file, built in code. Every
// outlet's objectName is its outlet name.
#pragma once

#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QStackedWidget>
#include <QWidget>

namespace ostrelui {
class OstrelUITintedButton;
class OstrelUISpinnerView;
class OstrelUISpinningImageView;
class XTextFieldWithLinks;
}  // namespace ostrelui
class FSDViewController;
class InstallProgressViewController;
class RebootViewController;
class LogoutViewController;
class ClosingViewController;

struct MainWindowForm {
    /// Window width and its two heights.
    static constexpr int kWidth = 1024;
    static constexpr int kHeight = 640;
    static constexpr int kMaxHeight = 768;
    /// The left box's width (the centre box starts there).
    static constexpr int kLeftWidth = 392;

    QWidget* contentView = nullptr;

    // Frame.
    QStackedWidget* centerBox = nullptr;
    QStackedWidget* homeBox = nullptr;
    QStackedWidget* leftBox = nullptr;
    QStackedWidget* progressBarAnimationBox = nullptr;
    // Title row.
    QLabel* productTitleText = nullptr;
    QLabel* productSecondaryTitleText = nullptr;
    QLabel* productLogoView = nullptr;
    QLabel* productFooterLogo = nullptr;
    QLabel* leftBackgroundImage = nullptr;
    QLabel* qrbLogoView = nullptr;
    // Welcome and set-up.
    QWidget* welcomeView = nullptr;
    QLabel* prepareToInstallImageView = nullptr;
    QLabel* welcomeTo = nullptr;
    QLabel* secondaryTitlePrepareToinstall = nullptr;
    QLabel* prepareToinstall = nullptr;
    ostrelui::OstrelUISpinningImageView* prepareToInstallStatusImage = nullptr;
    QWidget* progressView = nullptr;
    ostrelui::OstrelUISpinnerView* circularProgIndicator = nullptr;
    // Error screen.
    QWidget* errorView = nullptr;
    QLabel* errorTitle = nullptr;
    ostrelui::XTextFieldWithLinks* errorText = nullptr;
    QLabel* errorImageViewErrorScreen = nullptr;
    ostrelui::OstrelUITintedButton* closeButtonError = nullptr;
    // Warning screen.
    QWidget* warningView = nullptr;
    QLabel* warningTitle = nullptr;
    ostrelui::XTextFieldWithLinks* warningText = nullptr;
    QLabel* errorImageView = nullptr;
    ostrelui::OstrelUITintedButton* tryAgainButton = nullptr;
    ostrelui::OstrelUITintedButton* closeButton = nullptr;
    // OK screen.
    QWidget* okView = nullptr;
    QLabel* okTitleText = nullptr;
    QLabel* okText = nullptr;
    QLabel* errorImageViewOkScreen = nullptr;
    ostrelui::OstrelUITintedButton* okQuitButton = nullptr;
    ostrelui::OstrelUITintedButton* okTryAgainButton = nullptr;
    // Competitive-product screen.
    QWidget* competitiveErrorView = nullptr;
    ostrelui::XTextFieldWithLinks* competitiveErrorText = nullptr;
    QLabel* competitiveErrorImageView = nullptr;
    /// "Installation Failed": the message names the other product.
    QLabel* competitiveErrorTitle = nullptr;
    ostrelui::OstrelUITintedButton* competitiveCloseButton = nullptr;
    // Closing overlay.
    QWidget* closingErrorView = nullptr;
    QLabel* errorImageViewClosingScreen = nullptr;
    QLabel* closingScreenTitleText = nullptr;
    QLabel* closingScreenMessageText = nullptr;
    ostrelui::OstrelUITintedButton* closingScreenButton = nullptr;
    ostrelui::OstrelUITintedButton* closingScreenQuitButton = nullptr;
    // Child screens.
    FSDViewController* fsdViewController = nullptr;
    InstallProgressViewController* installProgressViewController = nullptr;
    RebootViewController* rebootViewController = nullptr;
    LogoutViewController* logoutViewController = nullptr;
    ClosingViewController* closingViewController = nullptr;
    // Menu.
    QMenuBar* menuBar = nullptr;
    QMenu* applicationMenu = nullptr;
    QAction* aboutAction = nullptr;
    QAction* quitAction = nullptr;

    /// Builds the content into `contentView` (sized 1024 x 640). The
    /// screens that are not shown are parked hidden inside it.
    void setupUi(QWidget* contentView);
    /// Builds the application menu (About…, Quit) into `bar`.
    void setupMenu(QMenuBar* bar);
    /// Lays the frame out for a content height.
    void layoutForHeight(int height);
};
