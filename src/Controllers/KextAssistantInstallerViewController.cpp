#include "Controllers/KextAssistantInstallerViewController.h"

#include <QVBoxLayout>
#include <chrono>
#include <mutex>

#include "Controllers/AgreeInstallViewController.h"
#include "Controllers/ClosingScreens.h"
#include "Controllers/Core/SecurityPreferencesOpener.h"
#include "Controllers/IFPluginProtocol.h"
#include "Controllers/LeftNavigationViewController.h"
#include "Controllers/MainWindowController.h"
#include "Controllers/ShellSupport.h"
#include "Downloader/StatPing.h"
#include "Foundation/PelLogging.h"
#include "OstrelUI/Controls/OstrelUIAnimation.h"
#include "OstrelUI/Controls/OstrelUIAppearance.h"
#include "OstrelUI/Controls/OstrelUIGuard.h"
#include "OstrelUI/Controls/OstrelUISpinners.h"
#include "OstrelUI/Controls/OstrelUITintedButton.h"
#include "OstrelUI/Controls/PelgraveUIColors.h"
#include "OstrelUI/Controls/XAttributedStringFormatter.h"
#include "OstrelUI/Controls/XTextFieldWithLinks.h"
#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Dispatch/Timer.h"
#include "Platform/System/Bundle.h"

namespace {

using ostrelui::Transition;
using ostrelui::TransitionType;

constexpr double kRevealSeconds = 0.25;
constexpr double kValidatingSeconds = 60;
constexpr double kTextPoints = 16;
constexpr double kMaximumLineHeight = 30;

QString localized(const char* key) {
    auto bundle = platform::Bundle::mainBundle();
    if (!bundle) return QString::fromUtf8(key);
    return QString::fromStdString(bundle->localizedString(key, "", ""));
}

MainWindowController* mainWindow() {
    return MainWindowController::hasSharedInstance()
               ? MainWindowController::sharedMainMenuController()
               : nullptr;
}

QLabel* makeLabel(QWidget* parent, const char* name, double points, const char* text) {
    QLabel* label = shell::makeLabel(parent, name, points);
    if (text) label->setText(localized(text));
    return label;
}

QLabel* makeImage(QWidget* parent, const char* name, const char* image) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setAlignment(Qt::AlignCenter);
    label->setMinimumHeight(64);
    label->setPixmap(ostrelui::imageNamed(QString::fromLatin1(image)));
    return label;
}

ostrelui::OstrelUITintedButton* makeButton(QWidget* parent, const char* name, const char* title) {
    auto* button = new ostrelui::OstrelUITintedButton(localized(title), parent);
    button->setObjectName(QString::fromLatin1(name));
    shell::styleButton(button, 200);
    // Each screen's one button is its way forward: Return presses it.
    shell::makeDefaultButton(button);
    return button;
}

QWidget* makeScreen(const char* name) {
    auto* screen = new QWidget;
    screen->setObjectName(QString::fromLatin1(name));
    auto* layout = new QVBoxLayout(screen);
    layout->setContentsMargins(60, 90, 60, 80);
    layout->setSpacing(20);
    return screen;
}

QTextCharFormat textFormat(const char* face) {
    QTextCharFormat format;
    format.setFont(ostrelui::kitFont(QString::fromLatin1(face), kTextPoints, QFont()));
    format.setForeground(ostrelui::colorWithDeviceHex(0x333333));
    format.setProperty(ostrelui::kMaximumLineHeightProperty, kMaximumLineHeight);
    return format;
}

// Starts or stops the validating spinner; while it turns it speaks for the
// step list's, which hold still.
void turnValidating(ostrelui::OstrelUISpinningImageView* spinner, bool on) {
    if (spinner) {
        if (on)
            spinner->startRotation();
        else
            spinner->stopRotation();
    }
    if (MainWindowController* main = mainWindow()) main->setScreenBusy(on);
}

void hideAll(std::initializer_list<QWidget*> widgets) {
    for (QWidget* w : widgets)
        if (w) w->hide();
}

std::mutex& openerMutex() {
    static std::mutex mutex;
    return mutex;
}
std::shared_ptr<SecurityPreferencesOpener>& openerSlot() {
    static std::shared_ptr<SecurityPreferencesOpener> opener;
    return opener;
}

/// Sends the link's "loadKextPressed:" to the screen while it exists.
class KextLinkTarget : public ostrelui::XTextFieldActionTarget {
  public:
    explicit KextLinkTarget(KextAssistantInstallerViewController* owner) : owner_(owner) {}
    bool performLinkAction(const std::string& action, ostrelui::XTextFieldWithLinks*) override {
        if (action != "loadKextPressed:" || !owner_) return false;
        ostrelui::guarded([owner = owner_] {
            if (owner) owner->loadKextPressed();
        })();
        return true;
    }

  private:
    QPointer<KextAssistantInstallerViewController> owner_;
};

}  // namespace

KextAssistantInstallerViewController::KextAssistantInstallerViewController(
    std::shared_ptr<KextAssistantClient> client, std::shared_ptr<platform::Clock> clock,
    std::shared_ptr<SecurityPreferencesOpener> opener)
    : client_(client ? std::move(client) : KextAssistantClient::create()),
      clock_(std::move(clock)),
      opener_(std::move(opener)),
      ping_(std::make_shared<StatPing>("com.pelgrave.install.kextassistant",
                                       std::string("OstrelForMac"))),
      linkTarget_(std::make_shared<KextLinkTarget>(this)) {
    client_->setDelegate(this);
    buildViews();
}

KextAssistantInstallerViewController::~KextAssistantInstallerViewController() {
    *alive_ = false;
    client_->setDelegate(nullptr);
    // Screens a window took are the window's.
    for (const QPointer<QWidget>& view :
         {kextAssistantSetupView, kextAssistantErrorView, kextAssistantUpdatePrefView})
        if (view && !view->parentWidget()) delete view.data();
}

void KextAssistantInstallerViewController::setSecurityPreferencesOpener(
    std::shared_ptr<SecurityPreferencesOpener> opener) {
    std::lock_guard lock(openerMutex());
    openerSlot() = std::move(opener);
}

std::shared_ptr<SecurityPreferencesOpener>
KextAssistantInstallerViewController::securityPreferencesOpener() {
    std::lock_guard lock(openerMutex());
    if (!openerSlot()) openerSlot() = std::make_shared<LoggingSecurityPreferencesOpener>();
    return openerSlot();
}

void KextAssistantInstallerViewController::buildViews() {
    auto connectButton = [this](QPushButton* button,
                                void (KextAssistantInstallerViewController::*action)()) {
        connect(button, &QPushButton::clicked, this,
                ostrelui::guarded([this, action] { (this->*action)(); }));
    };

    kextAssistantSetupView = makeScreen("kextAssistantSetupView");
    {
        QWidget* v = kextAssistantSetupView;
        finishSetupImage = makeImage(v, "finishSetupImage", "ic_installer-kext-setup");
        finishSetupTitle = makeLabel(v, "finishSetupTitle", 24, "Finish Setting Up");
        finishSetupInfo = makeLabel(v, "finishSetupInfo", 14,
                                    "One more step: Pelgrave's kernel module must be allowed "
                                    "on this computer before your protection can start.");
        openPrefText = makeLabel(v, "openPrefText", 14, "Click Open Now to see how to allow it.");
        openNowButton = makeButton(v, "openNowButton", "Open Now");
        auto* layout = static_cast<QVBoxLayout*>(v->layout());
        for (QWidget* w :
             {static_cast<QWidget*>(finishSetupImage), static_cast<QWidget*>(finishSetupTitle),
              static_cast<QWidget*>(finishSetupInfo), static_cast<QWidget*>(openPrefText)})
            layout->addWidget(w);
        layout->addStretch(1);
        layout->addWidget(openNowButton, 0, Qt::AlignHCenter);
        connectButton(openNowButton, &KextAssistantInstallerViewController::openNowButtonPressed);
    }

    kextAssistantUpdatePrefView = makeScreen("kextAssistantUpdatePrefView");
    {
        QWidget* v = kextAssistantUpdatePrefView;
        updatePrefImage = makeImage(v, "updatePrefImage", "ic_installer-kext-preferences");
        updatePrefTitle = makeLabel(v, "updatePrefTitle", 24, "Allow Pelgrave's kernel module");
        loadPelKextText = new ostrelui::XTextFieldWithLinks(v);
        loadPelKextText->setObjectName(QStringLiteral("loadPelKextText"));
        loadPelKextText->setAlignment(Qt::AlignHCenter);
        QFont font = loadPelKextText->font();
        font.setPointSizeF(kTextPoints);
        loadPelKextText->setFont(font);
        continueButton = makeButton(v, "continueButton", "Continue");
        validatingText = makeLabel(v, "validatingText", 14, "Validating…");
        validatingImage = new ostrelui::OstrelUISpinningImageView(v, clock_);
        validatingImage->setObjectName(QStringLiteral("validatingImage"));
        validatingImage->setFixedSize(32, 32);
        auto* layout = static_cast<QVBoxLayout*>(v->layout());
        layout->addWidget(updatePrefImage);
        layout->addWidget(updatePrefTitle);
        layout->addWidget(loadPelKextText);
        layout->addStretch(1);
        layout->addWidget(validatingImage, 0, Qt::AlignHCenter);
        layout->addWidget(validatingText);
        layout->addWidget(continueButton, 0, Qt::AlignHCenter);
        validatingImage->hide();
        validatingText->hide();
        connectButton(continueButton, &KextAssistantInstallerViewController::continuePressed);
    }

    kextAssistantErrorView = makeScreen("kextAssistantErrorView");
    {
        QWidget* v = kextAssistantErrorView;
        retryErrorImage = makeImage(v, "retryErrorImage", "ic_installer-error");
        retryScreenTitle =
            makeLabel(v, "retryScreenTitle", 24, "The kernel module is still held back");
        retryScreenMessage = makeLabel(v, "retryScreenMessage", 14,
                                       "Pelgrave's kernel module has not been allowed yet. Click "
                                       "Retry to see again how to allow it.");
        retryButton = makeButton(v, "retryButton", "Retry");
        auto* layout = static_cast<QVBoxLayout*>(v->layout());
        layout->addWidget(retryErrorImage);
        layout->addWidget(retryScreenTitle);
        layout->addWidget(retryScreenMessage);
        layout->addStretch(1);
        layout->addWidget(retryButton, 0, Qt::AlignHCenter);
        connectButton(retryButton, &KextAssistantInstallerViewController::retryButtonPressed);
    }
}

// ---------------------------------------------------------------------------
// Entry and the end

void KextAssistantInstallerViewController::showAuthConsentWithDelegate(IFPluginDelegate* delegate,
                                                                       IFPluginProtocol* plugin) {
    std::weak_ptr<bool> alive = alive_;
    platform::MainQueue::shared()->async([this, alive, delegate, plugin] {
        if (auto a = alive.lock(); !a || !*a) return;
        ostrelui::guarded([this, delegate, plugin] {
            installerFrameworkDelegate_ = delegate;
            productPlugIn_ = plugin;
            entry();
        })();
    });
}

void KextAssistantInstallerViewController::entry() {
    platform::Error error;
    const bool observing = client_->observingIOKitService(&error);
    if (!observing || !error.empty()) {
        PelLogging::logErrorMessageWithFormat(
            "Error Occurred when trying to get services:%@",
            error.empty() ? std::string("(null)") : error.description());
        finshedInstallation(false);
        return;
    }
    // A module that is loaded already was reported while observing began.
    if (finished_) return;
    // These screens ask for an action: the slideshow and its line that
    // setup goes on make way for them.
    if (MainWindowController* main = mainWindow()) main->hideProgressAnimation();
    loadPelKextText->parseAndSetAttributedString(getFormattedString(), linkTarget_);
    hideAll({finishSetupImage, finishSetupTitle, finishSetupInfo, openPrefText, openNowButton});
    screen_ = Screen::Setup;
    ++screenToken_;
    switchTo(kextAssistantSetupView, [this] {
        animateKextSetupView();
        orMask(kUIOptionKextSetupShown);
    });
}

void KextAssistantInstallerViewController::finshedInstallation(bool success) {
    // One pluginFinished per install, whichever road ends it first.
    if (finished_) return;
    finished_ = true;
    ++screenToken_;
    turnValidating(validatingImage, false);
    if (!installerFrameworkDelegate_)
        PelLogging::logDebugMessage("Installer framework delegate is nill");
    if (success && moduleNotLoaded_) {
        // The preferences step ends on its warning, the bar orange: the
        // list's final state for this road.
        setProgressStatus(kProgressStatusPreferencesAttention);
        if (productPlugIn_ &&
            productPlugIn_->respondsTo(IFPluginOperation::setCenterPillarHealthStatus))
            productPlugIn_->setCenterPillarHealthStatus(1);
    } else if (success) {
        setProgressStatus(kProgressStatusPreferencesDone);
        // As on the roads without the module: "all complete" three seconds on.
        after(3.0, [this] { setProgressStatus(kProgressStatusAllComplete); });
    }
    if (installerFrameworkDelegate_) installerFrameworkDelegate_->pluginFinished(success);
}

void KextAssistantInstallerViewController::preferenceUpdated() {
    if (finished_) return;
    if (MainWindowController* main = mainWindow())
        if (RebootViewController* reboot = main->rebootViewController())
            reboot->restartTitle->setText(localized("Preferences Updated"));
    finshedInstallation(true);
}

void KextAssistantInstallerViewController::setProgressStatus(unsigned status) {
    if (productPlugIn_ && productPlugIn_->respondsTo(IFPluginOperation::setProgressStatus))
        productPlugIn_->setProgressStatus(status);
}

// ---------------------------------------------------------------------------
// Actions

void KextAssistantInstallerViewController::openNowButtonPressed() {
    if (finished_ || screen_ != Screen::Setup) return;
    orMask(kUIOptionKextOpenNow);
    setProgressStatus(kProgressStatusUpdatingPreferences);
    hideAll({updatePrefImage, updatePrefTitle, continueButton, loadPelKextText});
    screen_ = Screen::Continue;
    ++screenToken_;
    switchTo(kextAssistantUpdatePrefView, [this] { showContinueScreen(); });
}

void KextAssistantInstallerViewController::showContinueScreen() {
    if (finished_) return;
    screen_ = Screen::Continue;
    runAppleScript();
    continueButton->resetHover();
    changeLoadPelKextLinkStyle(false);
    turnValidating(validatingImage, false);
    validatingImage->hide();
    validatingText->hide();
    animateContinueScreen();
}

void KextAssistantInstallerViewController::continuePressed() {
    if (finished_ || screen_ != Screen::Continue) return;
    orMask(kUIOptionKextContinue);
    setProgressStatus(kProgressStatusUpdatingPreferences);
    showKextValidatingScreen();
    std::weak_ptr<bool> alive = alive_;
    client_->loadPelKextWithReply([this, alive](KextLoadStatus status) {
        if (auto a = alive.lock(); !a || !*a) return;
        ostrelui::guarded([this, status] { handleLoadReply(status); })();
    });
}

void KextAssistantInstallerViewController::handleLoadReply(KextLoadStatus status) {
    switch (status) {
        case kKextLoadStatusFailed:
            PelLogging::logErrorMessage("Load kext was failed with Other error");
            isKextUnAuthorized_ = false;
            // The install is in place and ends as finished, but it does not
            // protect: the closing screen must not show success.
            if (!finished_) {
                moduleNotLoaded_ = true;
                if (MainWindowController* main = mainWindow()) main->setModuleNotLoaded();
            }
            finshedInstallation(true);
            break;
        case kKextLoadStatusNeedsApproval:
            isKextUnAuthorized_ = true;
            showRetryScreen();
            break;
        case kKextLoadStatusLoaded:
            // The watch reports the module.
            break;
    }
}

void KextAssistantInstallerViewController::showKextValidatingScreen() {
    changeLoadPelKextLinkStyle(false);
    isRetryScreenShown_ = false;
    continueButton->hide();
    validatingText->show();
    validatingImage->setImage(
        ostrelui::imageNamed(QStringLiteral("ic_installer-validating")).toImage());
    validatingImage->show();
    turnValidating(validatingImage, true);
    screen_ = Screen::Validating;
    // This pass's check: a later screen or pass makes it stale.
    const std::uint64_t pass = ++screenToken_;
    after(kValidatingSeconds, [this, pass] {
        if (pass != screenToken_) return;
        if (isKextUnAuthorized_ && !isRetryScreenShown_) showRetryScreen();
    });
}

void KextAssistantInstallerViewController::showRetryScreen() {
    if (finished_ || screen_ == Screen::Retry) return;
    setProgressStatus(kProgressStatusPreferencesAttentionAgain);
    retryButton->resetHover();
    isRetryScreenShown_ = true;
    turnValidating(validatingImage, false);
    hideAll({retryErrorImage, retryScreenTitle, retryButton, retryScreenMessage});
    screen_ = Screen::Retry;
    ++screenToken_;
    switchTo(kextAssistantErrorView, [this] { animateRetryScreen(); });
}

void KextAssistantInstallerViewController::retryButtonPressed() {
    if (finished_ || screen_ != Screen::Retry) return;
    orMask(kUIOptionKextRetry);
    hideAll({updatePrefImage, updatePrefTitle, continueButton, loadPelKextText});
    screen_ = Screen::Continue;
    ++screenToken_;
    switchTo(kextAssistantUpdatePrefView, [this] { showContinueScreen(); });
    setProgressStatus(kProgressStatusUpdatingPreferences);
}

void KextAssistantInstallerViewController::loadKextPressed() {
    if (finished_) return;
    orMask(kUIOptionKextRetryLink);
    changeLoadPelKextLinkStyle(true);
    client_->loadPelKextWithReply(nullptr);
    runAppleScript();
}

void KextAssistantInstallerViewController::runAppleScript() {
    auto opener = opener_ ? opener_ : securityPreferencesOpener();
    opener->open();
}

// ---------------------------------------------------------------------------
// Text

ostrelui::AttributedText KextAssistantInstallerViewController::getFormattedString() const {
    ostrelui::XAttributedStringFormatter formatter;
    // There is no Allow button on this system: an administrator allows the
    // module by adding it to the approval list the loading helper reads.
    formatter.setFormatSpecifier(
        localized("As an administrator, add %@ to the Approved list in "
                  "/var/db/pelgrave/kext-approvals.plist, then click Continue. If it is still "
                  "held back, <A action=\"loadKextPressed:\">click here to retry</A>."));
    formatter.setFormatSpecifierAttributes(textFormat("Helvetica Neue Bold"));
    return formatter.attributedStringForObjectValue(QStringLiteral("com.pelgrave.PelKorvex"),
                                                    textFormat("Helvetica Neue"));
}

void KextAssistantInstallerViewController::changeLoadPelKextLinkStyle(bool on) {
    loadPelKextText->setLinkUnderline(on ? 1 : 0);
    // Both blues read on white at 4.5:1 or better (0x0077AA: 5:1).
    loadPelKextText->setLinkColor(ostrelui::colorWithDeviceHex(on ? 0x09557B : 0x0077AA));
}

// ---------------------------------------------------------------------------
// Screen changes and reveals

void KextAssistantInstallerViewController::orMask(std::uint64_t bit) {
    if (MainWindowController* main = mainWindow())
        main->setUiOptionsClicked(main->uiOptionsClicked() | bit);
}

void KextAssistantInstallerViewController::switchTo(QWidget* view, std::function<void()> then) {
    MainWindowController* main = mainWindow();
    if (!main) return;
    std::weak_ptr<bool> alive = alive_;
    const std::uint64_t token = screenToken_;
    main->switchCenterBoxView(view, true, [this, alive, token, then = std::move(then)] {
        if (auto a = alive.lock(); !a || !*a) return;
        if (finished_ || token != screenToken_) return;
        then();
    });
}

void KextAssistantInstallerViewController::after(double seconds, std::function<void()> block) {
    shell::afterSeconds(seconds, clock_, alive_, std::move(block));
}

void KextAssistantInstallerViewController::revealInSteps(QWidget* image, QWidget* title,
                                                         const std::vector<QWidget*>& texts,
                                                         QWidget* button) {
    const std::uint64_t token = screenToken_;
    // The screen counts as settled (for its review picture) once its button
    // is in.
    for (const QPointer<QWidget>& view :
         {kextAssistantSetupView, kextAssistantErrorView, kextAssistantUpdatePrefView})
        if (view) view->setProperty(shell::kRevealingProperty, false);
    QPointer<QWidget> screen(button ? button->parentWidget() : nullptr);
    if (screen) screen->setProperty(shell::kRevealingProperty, true);
    auto step = [this, token, screen](std::vector<QPointer<QWidget>> widgets, TransitionType type,
                                      bool last) {
        return [this, token, screen, widgets = std::move(widgets), type, last] {
            if (token != screenToken_) return;
            for (const QPointer<QWidget>& w : widgets) {
                if (!w) continue;
                QPointer<QWidget> target = w;
                Transition::run(
                    w, type, kRevealSeconds, [target] { target->show(); },
                    [target, screen, last] {
                        if (!last) return;
                        if (screen) screen->setProperty(shell::kRevealingProperty, false);
                        // The screen's button answers the keyboard at once.
                        if (target && target->isVisible()) target->setFocus(Qt::OtherFocusReason);
                    });
            }
        };
    };
    step({image}, TransitionType::PushFromLeft, false)();
    after(0.5, step({title}, TransitionType::Reveal, false));
    after(0.75, step(std::vector<QPointer<QWidget>>(texts.begin(), texts.end()),
                     TransitionType::PushFromTop, false));
    after(1.25, step({button}, TransitionType::PushFromTop, true));
}

void KextAssistantInstallerViewController::animateKextSetupView() {
    hideAll({finishSetupImage, finishSetupTitle, finishSetupInfo, openPrefText, openNowButton});
    revealInSteps(finishSetupImage, finishSetupTitle, {finishSetupInfo, openPrefText},
                  openNowButton);
}

void KextAssistantInstallerViewController::animateContinueScreen() {
    hideAll({updatePrefImage, updatePrefTitle, continueButton, loadPelKextText});
    revealInSteps(updatePrefImage, updatePrefTitle, {loadPelKextText}, continueButton);
}

void KextAssistantInstallerViewController::animateRetryScreen() {
    hideAll({retryErrorImage, retryScreenTitle, retryButton, retryScreenMessage});
    revealInSteps(retryErrorImage, retryScreenTitle, {retryScreenMessage}, retryButton);
}
