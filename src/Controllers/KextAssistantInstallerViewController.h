// The kernel-module approval screens at the end of a successful install:
// setup (what to do, Open Now), continue (open the security settings, then
// Continue asks the helper to load the module while a spinner validates) and
// retry (the system still holds the module back). The screen ends the
// plug-in's part of the install with exactly one pluginFinished().
//
// Main thread only; the client hands its replies to the main queue.
#pragma once

#include <QLabel>
#include <QObject>
#include <QPointer>
#include <QWidget>
#include <cstdint>
#include <memory>

#include "Controllers/Core/KextAssistantClient.h"
#include "OstrelUI/Controls/AttributedText.h"

class IFPluginProtocol;
class IFPluginDelegate;
class SecurityPreferencesOpener;
class StatPing;
namespace platform {
class Clock;
}
namespace ostrelui {
class OstrelUITintedButton;
class OstrelUISpinningImageView;
class XTextFieldWithLinks;
class XTextFieldActionTarget;
}  // namespace ostrelui

class KextAssistantInstallerViewController : public QObject, public KextAssistantXPCClientDelegate {
  public:
    /// Which of the screens is up (the validating one is the continue view
    /// with the spinner).
    enum class Screen { None, Setup, Continue, Validating, Retry };

    /// `client` null: KextAssistantClient::create(); `clock` drives the
    /// delayed steps (the default clock when null); `opener` null: the
    /// process-wide one (see setSecurityPreferencesOpener).
    explicit KextAssistantInstallerViewController(
        std::shared_ptr<KextAssistantClient> client = nullptr,
        std::shared_ptr<platform::Clock> clock = nullptr,
        std::shared_ptr<SecurityPreferencesOpener> opener = nullptr);
    ~KextAssistantInstallerViewController() override;

    /// The process-wide opener of the security settings (the logging one
    /// unless replaced; null restores it).
    static void setSecurityPreferencesOpener(std::shared_ptr<SecurityPreferencesOpener> opener);
    static std::shared_ptr<SecurityPreferencesOpener> securityPreferencesOpener();

    // The three screens (owned here until a window takes them).
    QPointer<QWidget> kextAssistantSetupView, kextAssistantErrorView, kextAssistantUpdatePrefView;
    ostrelui::XTextFieldWithLinks* loadPelKextText = nullptr;
    ostrelui::OstrelUISpinningImageView* validatingImage = nullptr;
    // Setup screen.
    QLabel* finishSetupImage = nullptr;
    QLabel* finishSetupTitle = nullptr;
    QLabel* finishSetupInfo = nullptr;
    QLabel* openPrefText = nullptr;
    ostrelui::OstrelUITintedButton* openNowButton = nullptr;
    // Continue screen.
    QLabel* updatePrefImage = nullptr;
    QLabel* updatePrefTitle = nullptr;
    ostrelui::OstrelUITintedButton* continueButton = nullptr;
    QLabel* validatingText = nullptr;
    // Retry screen.
    ostrelui::OstrelUITintedButton* retryButton = nullptr;
    QLabel* retryErrorImage = nullptr;
    QLabel* retryScreenTitle = nullptr;
    QLabel* retryScreenMessage = nullptr;

    const std::shared_ptr<KextAssistantClient>& kextAssitantHandler() const { return client_; }
    const std::shared_ptr<StatPing>& ping() const { return ping_; }
    IFPluginDelegate* installerFrameworkDelegate() const { return installerFrameworkDelegate_; }
    IFPluginProtocol* productPlugIn() const { return productPlugIn_; }
    bool isRetryScreenShown() const { return isRetryScreenShown_; }
    bool isKextUnAuthorized() const { return isKextUnAuthorized_; }
    /// Set once pluginFinished() went out; nothing changes the screen after.
    bool isFinished() const { return finished_; }
    Screen screen() const { return screen_; }

    /// Entry from the plug-in; its work runs on the main queue. Neither is
    /// retained: both must outlive the screen's work.
    void showAuthConsentWithDelegate(IFPluginDelegate* delegate, IFPluginProtocol* plugin);
    bool shouldShowKextMessage() { return client_->shouldShowKextMessage(); }
    void shutdownHelper() { client_->shutdownHelper(); }
    void setProgressStatus(unsigned status);

    // Actions. Open Now, Continue and Retry act once per showing of their
    // screen.
    void openNowButtonPressed();
    void continuePressed();
    void retryButtonPressed();
    void loadKextPressed();

    // KextAssistantXPCClientDelegate.
    void finshedInstallation(bool success) override;
    void preferenceUpdated() override;

    void showContinueScreen();
    void showKextValidatingScreen();
    void showRetryScreen();
    void runAppleScript();
    /// The continue screen's sentence: how to allow the module (its name in
    /// bold), with the retry link.
    ostrelui::AttributedText getFormattedString() const;
    /// On: links underlined in 0x09557B; off: not underlined, 0x0077AA.
    void changeLoadPelKextLinkStyle(bool on);

    void animateKextSetupView();
    void animateContinueScreen();
    void animateRetryScreen();

  private:
    void buildViews();
    void entry();
    void handleLoadReply(KextLoadStatus status);
    void orMask(std::uint64_t bit);
    /// Switches the window's centre box to `view` (animated), then runs
    /// `then` unless the install finished meanwhile.
    void switchTo(QWidget* view, std::function<void()> then);
    /// Reveals `image`, `title`, `text` and `button` at 0, 0.5, 0.75 and
    /// 1.25 s; a later screen change drops the steps not yet run.
    void revealInSteps(QWidget* image, QWidget* title, const std::vector<QWidget*>& texts,
                       QWidget* button);
    void after(double seconds, std::function<void()> block);

    std::shared_ptr<KextAssistantClient> client_;
    std::shared_ptr<platform::Clock> clock_;
    std::shared_ptr<SecurityPreferencesOpener> opener_;
    std::shared_ptr<StatPing> ping_;
    std::shared_ptr<ostrelui::XTextFieldActionTarget> linkTarget_;
    IFPluginDelegate* installerFrameworkDelegate_ = nullptr;
    IFPluginProtocol* productPlugIn_ = nullptr;
    bool isRetryScreenShown_ = false;
    bool isKextUnAuthorized_ = true;
    bool finished_ = false;
    /// The helper failed to load the module (not a wait for approval).
    bool moduleNotLoaded_ = false;
    Screen screen_ = Screen::None;
    /// Changes with every screen: the 60 s check and the reveal steps of an
    /// earlier screen do nothing.
    std::uint64_t screenToken_ = 0;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
