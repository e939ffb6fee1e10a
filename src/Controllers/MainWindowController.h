// The installer's one window and the screen flow inside it: start-up from
// the Info.plist keys and the product plug-in, the install status, the
// centre-box switches and every error, warning and closing screen.
#pragma once

#include <QMainWindow>
#include <QObject>
#include <QPixmap>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Controllers/QuitOrigin.h"
#include "OstrelUI/Controls/OstrelUIAnimation.h"
#include "OstrelUI/Controls/OstrelUIViews.h"
#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

class IFPluginProtocol;
class PelRequirement;
class PelInstallPingUtils;
class PelFSDPingUtils;
class FSDFacade;
class StatPing;
class QLabel;
struct MainWindowForm;
class FSDViewController;
class InstallProgressViewController;
class RebootViewController;
class LogoutViewController;
class ClosingViewController;

/// The install status codes (InstallerUIStatus).
enum InstallerUIStatus : int {
    kInstallStatusLaunched = 500,
    kInstallStatusDownloading = 501,
    kInstallStatusInstalling = 502,
    kInstallStatusUninstalling = 503,
    kInstallStatusFailed = 504,
    kInstallStatusFinished = 505,
    kInstallStatusQuitting = 506,
};

/// The main window: its close button asks the quit decision first.
class InstallerMainWindow : public QMainWindow {
  public:
    /// Answers whether a close may go on; unset lets every close through.
    using CloseHandler = std::function<bool()>;
    explicit InstallerMainWindow(QWidget* parent = nullptr);
    void setCloseHandler(CloseHandler handler) { closeHandler_ = std::move(handler); }

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    CloseHandler closeHandler_;
};

class MainWindowController : public QObject {
  public:
    /// The one instance, made on first use (main thread only).
    static MainWindowController* sharedMainMenuController();
    /// Destroys the instance (tests); the next call makes a new one.
    static void resetSharedInstance();
    /// Whether the instance exists.
    static bool hasSharedInstance();

    ~MainWindowController() override;

    InstallerMainWindow* window() const { return window_; }
    MainWindowForm& form() const { return *form_; }

    /// Loads the window on first use (windowDidLoad) and shows it.
    void showWindow();
    bool isWindowLoaded() const { return loaded_; }

    // Configuration from the Info.plist.
    const QString& productName() const { return productName_; }
    const QString& productLogo() const { return productLogo_; }
    const QString& productFooterLogoName() const { return productFooterLogoName_; }
    const QString& qrbLogo() const { return qrbLogo_; }
    const QString& productPluginClass() const { return productPluginClass_; }
    const std::optional<platform::Array>& basePkgs() const { return basePkgs_; }
    void setBasePkgs(const std::optional<platform::Array>& packages);
    const platform::Array& postInstallTools() const { return postInstallTools_; }
    bool shouldReboot() const { return shouldReboot_; }
    static bool shouldReboot(const std::optional<std::string>& action);
    /// Whether the installer ends with a restart (else a log-out): what the
    /// closing screen asks for once one shows (the restart screen after a
    /// removal asks for a restart whatever the completion action), before
    /// that the completion action.
    bool endsWithRestart() const;

    // State.
    std::optional<int> installStatus() const { return installStatus_; }
    /// Sets the status; an open quit overlay follows it (its text, or it
    /// closes once quitting is no longer refused for the install's sake).
    void setInstallStatus(std::optional<int> status);
    std::uint64_t uiOptionsClicked() const { return uiOptionsClicked_; }
    void setUiOptionsClicked(std::uint64_t mask) { uiOptionsClicked_ = mask; }
    const std::shared_ptr<PelRequirement>& failiedRequirement() const {
        return failiedRequirement_;
    }
    bool isWindowAtMaxHeight() const { return isWindowAtMaxHeight_; }
    bool isFSDFailure() const { return isFSDFailure_; }
    /// Whether the download of a download-based install has delivered its
    /// packages (set by the download screen).
    bool fsdDownloadComplete() const { return fsdDownloadComplete_; }
    void setFSDDownloadComplete(bool complete) { fsdDownloadComplete_ = complete; }
    bool shouldCreateLaunchAgent() const { return shouldCreateLaunchAgent_; }
    void setShouldCreateLaunchAgent(bool v) { shouldCreateLaunchAgent_ = v; }
    bool isProgressAnimationStarted() const { return isProgressAnimationStarted_; }
    bool showingRestartCloseAlert() const { return showingRestartCloseAlert_; }
    bool showBackgroundImage() const { return showBackgroundImage_; }
    bool shouldSetQRBBrandingLogo() const { return shouldSetQRBBrandingLogo_; }
    const std::optional<std::string>& qrbBrandingLogoPath() const { return qrbBrandingLogoPath_; }
    /// The partner logo's position constant (30, then 642).
    ostrelui::LayoutConstant& partnerLogoConstraint() { return *partnerLogoConstraint_; }

    // Collaborators.
    const std::shared_ptr<IFPluginProtocol>& productPlugin() const { return productPlugin_; }
    const std::shared_ptr<PelInstallPingUtils>& installPingUtils() const {
        return installPingUtils_;
    }
    const std::shared_ptr<PelFSDPingUtils>& fsdPingUtils() const { return fsdPingUtils_; }
    /// The downloader of the set-up file (download-based start).
    const std::shared_ptr<FSDFacade>& setupFSD() const { return setupFSD_; }
    FSDViewController* fsdViewController() const;
    InstallProgressViewController* installProgressViewController() const;
    RebootViewController* rebootViewController() const;
    LogoutViewController* logoutViewController() const;
    ClosingViewController* closingViewController() const;

    // Start-up.
    void windowDidLoad();
    void initProductPlugin();
    void loadProductPlugin();
    void refreshTitleAndSubtitle();
    void showSetupScreen();
    void hideSetupScreen();

    // Flow.
    void performFSDAndInstall();
    void startFSD();
    void performInstallOnly();
    void continueWithWarning();
    void quitInstaller();
    void openSupport();
    void openApplications();
    void continueInstalling();
    void closingScreen(bool success);
    /// The product's kernel module did not load: the install still ends as
    /// finished, and its closing screen says that the protection is not
    /// active yet and what to do, in place of its success texts.
    void setModuleNotLoaded() { moduleNotLoaded_ = true; }
    bool moduleNotLoaded() const { return moduleNotLoaded_; }
    /// Shows the download error screen that `error` maps to; false when it
    /// maps to none.
    bool parseAndShowErrorScreen(const platform::Error* error);

    // Screens.
    void showErrorScreen(const QString& text);
    void showErrorScreen(const QString& text, const std::shared_ptr<PelRequirement>& requirement);
    void showFSDErrorScreen(const QString& text);
    void showWarningScreen(const QString& text, const std::shared_ptr<PelRequirement>& requirement);
    void showFSDWarningScreen(const QString& text);
    /// The OK screen; its Try Again runs `tryAgain` (without one it goes
    /// back to the welcome screen), its Quit quits.
    void showOKScreen(const QString& title, const QString& message,
                      std::function<void()> tryAgain = nullptr);
    /// Back to the welcome screen (the plug-in's centre view) with its
    /// default button focused; the centre and left boxes hide.
    void showWelcomeScreen();
    /// Gives the keyboard focus to the default button of `screen` (the
    /// visible, enabled button marked with shell::markDefaultButton).
    static void focusDefaultButton(QWidget* screen);
    void showCompetitiveErrorScreen(const QString& text);
    void showRestartView(const QString& text);
    void showLogoutView(const QString& text);
    void showAppClosingErrorScreen(bool restart);
    void intiateClosingErrorScreen(bool restart);
    void showProgressAnimation();
    /// Hides the slideshow's box: the screens that end the download and the
    /// install, and those that ask for an action, do without it.
    void hideProgressAnimation();
    /// While `busy`, a centre screen shows its own busy indicator: the step
    /// list's turning icons hold still meanwhile (their icons stay), so that
    /// one thing turns at a time.
    void setScreenBusy(bool busy);
    void disableCloseButton();
    /// The screen shown when the product plug-in is missing or broken; its
    /// Close quits.
    void showCorruptedInstallerScreen();

    /// Replaces the centre box's content with `view`, animated or not, then
    /// runs `completion`. A null view is reported as an invalid-argument
    /// exception and nothing changes. When switches overlap, only the
    /// latest one changes the content; every completion runs.
    void switchCenterBoxView(QWidget* view, bool animated, std::function<void()> completion);
    /// Whether the centre box was switched since the last requirement check
    /// began (a product plug-in's own requirements may show their screens).
    bool switchedSinceRequirementCheck() const {
        return switchGeneration_ != requirementCheckGeneration_;
    }
    void setLeftViewTitleAndBackgroundImage();
    /// Title colours and logo variants that read on the left panel's colour.
    void applyLeftPanelLook();
    void movePartnerLogoToLeft();

    /// The one overlay of the window (set-up screen and closing overlay);
    /// null before first use.
    ostrelui::OstrelUIGrayedOutView* grayedOutView() const { return grayedOut_; }
    bool isOverlayShown() const;

    /// Asks the quit decision (the application delegate answers it); true
    /// when the application is terminating. Without a handler the
    /// application exits.
    using TerminateHandler = std::function<bool(QuitOrigin origin)>;
    void setTerminateHandler(TerminateHandler handler) { terminateHandler_ = std::move(handler); }
    bool terminate(QuitOrigin origin);
    /// Set once a quit was granted: no flow operation starts afterwards.
    bool isTerminating() const { return terminating_; }
    void setTerminating() { terminating_ = true; }

  private:
    MainWindowController();
    void commonScreenSteps(QLabel* iconView);
    void installWelcomeView();
    void showOverlay(QWidget* content, const QRect& rect, double alpha, bool clearBackground);
    void startDownloadBasedSetup();
    /// Saves a review picture of the window once the screen has settled
    /// (or, at the latest, before the next centre switch).
    void grab(const QString& name);
    void waitForSettledPictures(int triesLeft);
    /// Whether nothing in the window slides, cross-fades or reveals.
    bool isSettled() const;
    void takePendingPictures();
    void okTryAgain();
    void tellPluginWindowHeight();
    void keepOverlayOnTop();
    /// One animated centre switch has ended; the last one runs what waited.
    void endSlide();

    InstallerMainWindow* window_ = nullptr;
    std::unique_ptr<MainWindowForm> form_;
    bool loaded_ = false;

    QString productName_, productLogo_, productFooterLogoName_, qrbLogo_, productPluginClass_;
    std::optional<platform::Array> basePkgs_;
    platform::Array postInstallTools_;
    bool shouldReboot_ = true;

    std::optional<int> installStatus_;
    std::uint64_t uiOptionsClicked_ = 0;
    std::shared_ptr<PelRequirement> failiedRequirement_;
    bool isWindowAtMaxHeight_ = false;
    bool isFSDFailure_ = false;
    bool fsdDownloadComplete_ = false;
    bool shouldCreateLaunchAgent_ = true;
    bool isProgressAnimationStarted_ = false;
    bool showingRestartCloseAlert_ = false;
    bool showBackgroundImage_ = false;
    bool shouldSetQRBBrandingLogo_ = false;
    std::optional<std::string> qrbBrandingLogoPath_;
    std::unique_ptr<ostrelui::LayoutConstant> partnerLogoConstraint_;

    std::shared_ptr<IFPluginProtocol> productPlugin_;
    std::shared_ptr<PelInstallPingUtils> installPingUtils_;
    std::shared_ptr<PelFSDPingUtils> fsdPingUtils_;
    std::shared_ptr<FSDFacade> setupFSD_;

    QPointer<ostrelui::OstrelUIGrayedOutView> grayedOut_;
    std::uint64_t switchGeneration_ = 0;
    std::uint64_t requirementCheckGeneration_ = 0;
    TerminateHandler terminateHandler_;
    bool terminating_ = false;
    std::function<void()> okTryAgain_;
    /// The plug-in's footer logo, shown again when the light page returns.
    QPixmap footerLogo_;
    bool moduleNotLoaded_ = false;
    /// What the closing screen asked for, and the restart screen's text.
    std::optional<bool> closingAsksRestart_;
    QString restartText_;
    /// Animated centre switches under way, and what waits for their end.
    int slidesInFlight_ = 0;
    std::vector<std::pair<std::optional<int>, QString>> pendingPictures_;
    bool picturesScheduled_ = false;
    std::vector<std::function<void()>> afterSlides_;
};
