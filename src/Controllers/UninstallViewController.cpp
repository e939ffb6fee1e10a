#include "Controllers/UninstallViewController.h"

#include <QHBoxLayout>
#include <QVBoxLayout>
#include <cerrno>
#include <filesystem>

#include "Controllers/ClosingScreens.h"
#include "Controllers/Core/UninstallEngine.h"
#include "Controllers/MainWindowController.h"
#include "Controllers/ShellSupport.h"
#include "Downloader/PelInstallPingUtils.h"
#include "Foundation/PelLogging.h"
#include "OstrelUI/Controls/OstrelUIAppearance.h"
#include "OstrelUI/Controls/OstrelUIGuard.h"
#include "OstrelUI/Controls/OstrelUIProgressIndicator.h"
#include "OstrelUI/Controls/OstrelUITintedButton.h"
#include "Platform/Dispatch/MainQueue.h"
#include "Platform/System/Bundle.h"
#include "Platform/Text/Format.h"

namespace {

QString localized(const char* key) {
    auto bundle = platform::Bundle::mainBundle();
    if (!bundle) return QString::fromUtf8(key);
    return QString::fromStdString(bundle->localizedString(key, "", ""));
}

MainWindowController* mainWindow() { return MainWindowController::sharedMainMenuController(); }

std::shared_ptr<PelInstallPingUtils> pings() { return mainWindow()->installPingUtils(); }

QLabel* label(QWidget* parent, const char* name, int pointSize, bool bold) {
    auto* text = new QLabel(parent);
    text->setObjectName(QString::fromLatin1(name));
    QFont font = text->font();
    font.setPointSize(pointSize);
    font.setBold(bold);
    text->setFont(font);
    text->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    return text;
}

QLabel* logo(QWidget* parent, const char* name) {
    auto* view = new QLabel(parent);
    view->setObjectName(QString::fromLatin1(name));
    view->setAlignment(Qt::AlignCenter);
    view->setMinimumHeight(64);
    return view;
}

ostrelui::OstrelUITintedButton* button(QWidget* parent, const char* name, const QString& title) {
    auto* b = new ostrelui::OstrelUITintedButton(title, parent);
    b->setObjectName(QString::fromLatin1(name));
    shell::styleButton(b, 160);
    return b;
}

QVBoxLayout* screenLayout(QWidget* screen) {
    auto* layout = new QVBoxLayout(screen);
    // The bottom margin keeps the partner's logo under the buttons clear.
    layout->setContentsMargins(60, 60, 60, 80);
    layout->setSpacing(20);
    return layout;
}

// The text of `value`, or a null C string ("(null)" when formatted).
const char* textOrNull(const PelUninstallXPCProtocol::Text& value) {
    return value ? value->c_str() : nullptr;
}

}  // namespace

UninstallViewController::UninstallViewController(std::shared_ptr<UninstallEngine> engine)
    : engine_(std::move(engine)) {
    uninstallPromptView = new QWidget;
    uninstallPromptView->setObjectName(QStringLiteral("uninstallPromptView"));
    auto* prompt = screenLayout(uninstallPromptView);
    uninstallProductLogo = logo(uninstallPromptView, "uninstallProductLogo");
    uninstallPromptTitle = label(uninstallPromptView, "uninstallPromptTitle", 24, false);
    uninstallPromptTitle->setWordWrap(true);
    uninstallPromptText = label(uninstallPromptView, "uninstallPromptText", 14, false);
    uninstallPromptText->setWordWrap(true);
    uninstallQuitButton = button(uninstallPromptView, "uninstallQuitButton", localized("Quit"));
    uninstallBeginButton =
        button(uninstallPromptView, "uninstallBeginButton", localized("Uninstall"));
    shell::makeDefaultButton(uninstallBeginButton);
    prompt->addWidget(uninstallProductLogo);
    prompt->addWidget(uninstallPromptTitle);
    prompt->addWidget(uninstallPromptText);
    prompt->addStretch(1);
    // The pair centred under the text, one width.
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(20);
    buttons->addStretch(1);
    buttons->addWidget(uninstallQuitButton);
    buttons->addWidget(uninstallBeginButton);
    buttons->addStretch(1);
    prompt->addLayout(buttons);
    QObject::connect(uninstallBeginButton, &QPushButton::clicked, uninstallBeginButton,
                     ostrelui::guarded([this] { uninstallBegin(); }));
    QObject::connect(uninstallQuitButton, &QPushButton::clicked, uninstallQuitButton,
                     ostrelui::guarded([this] { quitInstaller(); }));

    uninstallProgressView = new QWidget;
    uninstallProgressView->setObjectName(QStringLiteral("uninstallProgressView"));
    auto* progress = screenLayout(uninstallProgressView);
    uninstallProgressProductLogo = logo(uninstallProgressView, "uninstallProgressProductLogo");
    uninstallProgressStatus = label(uninstallProgressView, "uninstallProgressStatus", 16, false);
    uninstallProgressStatus->setWordWrap(true);
    uninstallProgressStatus->setText(localized("Uninstalling the other version of the product…"));
    uninstallProgressBar = new ostrelui::OstrelUIProgressIndicator(uninstallProgressView);
    uninstallProgressBar->setObjectName(QStringLiteral("uninstallProgressBar"));
    uninstallProgressBar->setFixedHeight(12);
    progress->addWidget(uninstallProgressProductLogo);
    progress->addStretch(1);
    progress->addWidget(uninstallProgressStatus);
    progress->addWidget(uninstallProgressBar);
    progress->addStretch(2);

    uninstallPromptTitle->setText(localized("Different version installed"));
    uninstallPromptText->setText(localized(
        "We need to uninstall your other version of the product, then restart installation."));
}

UninstallViewController::~UninstallViewController() {
    *alive_ = false;
    // The client must not call into a controller that is gone.
    if (client_) client_->setProduct(nullptr);
    if (uninstallRef_) engine()->freeAuth(&uninstallRef_);
    delete uninstallPromptView.data();
    delete uninstallProgressView.data();
}

std::shared_ptr<UninstallEngine> UninstallViewController::engine() const {
    return engine_ ? engine_ : UninstallEngine::shared();
}

void UninstallViewController::awakeFromNib() {
    // The logos come from the main window's product logo, named without
    // its extension.
    const QString name = mainWindow()->productLogo();
    const QString stem =
        QString::fromStdString(std::filesystem::path(name.toStdString()).stem().string());
    const QPixmap image = ostrelui::imageNamed(stem);
    uninstallProductLogo->setPixmap(image);
    uninstallProgressProductLogo->setPixmap(image);
}

void UninstallViewController::onMain(std::function<void()> block) {
    shell::onMainWhileAlive(alive_, std::move(block));
}

void UninstallViewController::setProgressStatus(unsigned status) {
    if (productPlugIn_ && productPlugIn_->respondsTo(IFPluginOperation::setProgressStatus))
        productPlugIn_->setProgressStatus(status);
}

bool UninstallViewController::startUpgradeForAllProducts(const Requirements& requirements,
                                                         IFPluginProtocol* plugIn) {
    productPlugIn_ = plugIn;
    productsToUninstall_.reset();
    UninstallEngine::Products products;
    bool isNewerVersion = false;
    std::shared_ptr<PelRequirement> failed;
    const bool ok =
        engine()->productsToUninstall(requirements, &products, &isNewerVersion, nullptr, &failed);
    auto* main = mainWindow();
    if (isNewerVersion) {
        if (engine()->isInstallerQRB()) {
            const QString text = localized(
                "A version of this product is already installed on this computer. <A "
                "action=\"openSupport:\">Contact Support</A>.");
            if (failed)
                main->showErrorScreen(text, failed);
            else
                main->showErrorScreen(text);
        } else {
            main->showErrorScreen(localized(
                "A newer version of this product is already installed on this computer."));
        }
        return false;
    }
    if (ok || !products) return true;
    productsToUninstall_ = std::move(products);
    if (productsToUninstall_->empty()) {
        // Rules that block without naming anything to remove would leave the
        // welcome screen with nothing to do.
        PelLogging::logErrorMessage(
            "The upgrade rules blocked the install without a product to remove");
        main->showErrorScreen(shell::sharedText(
            "Your installer is not working properly. Please <A action=\"openSupport:\">contact "
            "Support</A>."));
        return false;
    }
    awakeFromNib();
    setProgressStatus(1);
    uninstallPromptText->setTextInteractionFlags(Qt::NoTextInteraction);
    beginTaken_ = false;
    uninstallBeginButton->setEnabled(true);
    main->switchCenterBoxView(uninstallPromptView, true, nullptr);
    return false;
}

void UninstallViewController::uninstallBegin() {
    // One removal per showing of the prompt.
    if (beginTaken_ || mainWindow()->isTerminating()) return;
    beginTaken_ = true;
    uninstallBeginButton->setEnabled(false);
    auto* main = mainWindow();
    main->setInstallStatus(kInstallStatusUninstalling);
    const platform::OSStatus status = engine()->getAuthRef(&uninstallRef_);
    if (status != platform::errAuthorizationSuccess) {
        const int savedErrno = errno;
        setProgressStatus(3);
        PelLogging::logErrorMessageWithFormat("Failed to get authorization ref %d, ErrorNo:%d",
                                              static_cast<int>(status), savedErrno);
        if (auto p = pings()) p->sendInstallFailedToRemoveProduct(-399, "Insufficient privileges");
        main->showErrorScreen(localized(
            "We were unable to complete the uninstall due to insufficient privileges. Please try "
            "again later or <A action=\"openSupport:\">contact Support</A>."));
        return;
    }
    setProgressStatus(2);
    if (auto p = pings()) p->sendUninstallDuringInstallStarted();
    uninstallProgressBar->setIndeterminate(true);
    uninstallProgressBar->startAnimation(this);
    std::weak_ptr<bool> alive = alive_;
    main->switchCenterBoxView(uninstallProgressView, true, [this, alive] {
        if (auto a = alive.lock(); a && *a) performUninstall();
    });
}

void UninstallViewController::quitInstaller() { mainWindow()->quitInstaller(); }

void UninstallViewController::shutdownComplete(bool) { performUninstall(); }

void UninstallViewController::performUninstall() {
    auto* main = mainWindow();
    auto e = engine();
    platform::Error error;
    const bool launched = e->launchHelperTool(kUninstallHelperLabel, &error, uninstallRef_);
    // The blessing was all the authorisation was for.
    if (uninstallRef_) e->freeAuth(&uninstallRef_);
    if (!launched) {
        uninstallProgressBar->stopAnimation(this);
        setProgressStatus(3);
        PelLogging::logErrorMessageWithFormat(
            "Failed to launch the helper tool for uninstall. Error: %@", error.description());
        main->showErrorScreen(localized(
            "The uninstall could not be started due to an error. Please contact Support."));
        if (auto p = pings())
            p->sendInstallFailedToRemoveProduct(-396, "FAILED TO LAUNCH HELPER TOOL");
        return;
    }
    setProgressStatus(2);
    report_.clear();
    ended_ = false;
    auto bundle = platform::Bundle::mainBundle();
    const std::string bundlePath = bundle ? bundle->bundlePath() : std::string();
    const platform::Dictionary postTools{{bundlePath, platform::Value(kPostUninstallTool)}};
    const platform::Dictionary preTools{{bundlePath, platform::Value(kPreUninstallTool)}};
    client_ = e;
    e->setProduct(this);
    if (!e->PelXPC_CreateMachService(kUninstallHelperLabel)) {
        // Without a connection no helper answers: end now rather than wait.
        PelLogging::logErrorMessage("Could not connect to the uninstall helper");
        uninstallEndedWithError();
        return;
    }
    onMain([this, e, preTools, postTools] {
        if (!e->uninstallProducts(productsToUninstall_, preTools, postTools)) {
            PelLogging::logErrorMessage("Could not send the uninstall request");
            uninstallEndedWithError();
        }
    });
}

// Helper callbacks ----------------------------------------------------------

void UninstallViewController::uninstallStarted() {
    onMain([this] {
        report_.clear();
        PelLogging::logNoticeMessage("Uninstall of older version of HVK started");
    });
}

void UninstallViewController::startedUninstallingPackage(const Text&) {
    onMain([this] {
        setProgressStatus(2);
        PelLogging::logDebugMessage("Uninstall packages is started.");
    });
}

void UninstallViewController::appendLine(const Text& text, const Text& packageName) {
    if (!text) return;
    auto bundle = platform::Bundle::mainBundle();
    // The line is a format of the "Report" table, filled with the package name.
    const std::string format = bundle ? bundle->localizedString(*text, *text, "Report") : *text;
    report_ += platform::format(format, textOrNull(packageName));
}

void UninstallViewController::appendToReport(const Text& report, const Text& packageName) {
    onMain([this, report, packageName] {
        appendLine(report, packageName);
        PelLogging::logDebugMessageWithFormat("%s: report string = %@", "appendToReport", report_);
    });
}

void UninstallViewController::appendError(const Text& error, const Text& packageName) {
    onMain([this, error, packageName] {
        appendLine(error, packageName);
        if (auto p = pings()) p->sendUninstallFailure();
        PelLogging::logErrorMessageWithFormat("%s: error string = %@", "appendError", report_);
    });
}

void UninstallViewController::uninstallEndedWithError() {
    onMain([this] { endWithError(); });
}

void UninstallViewController::uninstallEnded() {
    onMain([this] { endWithSuccess(); });
}

void UninstallViewController::endWithError() {
    if (ended_) return;
    ended_ = true;
    uninstallProgressBar->stopAnimation(this);
    PelLogging::logErrorMessage("Failed to uninstall.");
    setProgressStatus(3);
    PelLogging::logDebugMessage("Send Uninstall ping as error");
    mainWindow()->showErrorScreen(
        localized("We were unable to complete the uninstall. Please try again later or <A "
                  "action=\"openSupport:\">contact Support</A>."));
    if (auto p = pings()) p->sendUninstallDuringInstallFailure();
}

void UninstallViewController::endWithSuccess() {
    if (ended_) return;
    ended_ = true;
    uninstallProgressBar->stopAnimation(this);
    platform::Error error;
    if (!engine()->writeLaunchAgentWithError(&error))
        PelLogging::logErrorMessageWithFormat(
            "%s: Failure in launchAgent call... error = %@ Continuing", "uninstallEnded",
            error.description());
    if (auto p = pings()) p->sendUninstallDuringInstallSucess();
    setProgressStatus(4);
    auto* main = mainWindow();
    if (RebootViewController* reboot = main->rebootViewController()) {
        QLabel* title = reboot->restartTitle;
        title->setText(shell::sharedText("Restart Required"));
        title->setFont(ostrelui::kitFont(QStringLiteral("Helvetica Neue"), 32, title->font()));
        // In the titles' own dark colour: a grey title reads as disabled.
        title->setAlignment(Qt::AlignCenter);
    }
    const QString text = localized(
        "The previous version of your %@ product has been uninstalled. Restart your computer now "
        "to install the new version. You are not protected until you do so.");
    main->showRestartView(QString::fromStdString(
        platform::format(text.toStdString(), shell::brandWord().toStdString())));
}
