#include "Controllers/MainWindowController.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QShortcut>
#include <QStandardPaths>
#include <QUrl>
#include <QWindow>
#include <cmath>

#include "Controllers/ClosingScreens.h"
#include "Controllers/Core/FSDFacade.h"
#include "Controllers/Core/InstallEngine.h"
#include "Controllers/Core/PelFSDPaths.h"
#include "Controllers/Core/PluginRegistry.h"
#include "Controllers/FSDViewController.h"
#include "Controllers/IFPluginProtocol.h"
#include "Controllers/InstallProgressViewController.h"
#include "Controllers/MainWindowForm.h"
#include "Controllers/ShellSupport.h"
#include "Downloader/FSDError.h"
#include "Downloader/PelFSDPingUtils.h"
#include "Downloader/PelInstallPingUtils.h"
#include "Engine/PelInstallAppUtilities.h"
#include "Engine/PelLaunchdUtils.h"
#include "Engine/PelRequirement.h"
#include "Foundation/PelLogging.h"
#include "OstrelUI/Controls/AttributedText.h"
#include "OstrelUI/Controls/OstrelUIAppearance.h"
#include "OstrelUI/Controls/OstrelUIGuard.h"
#include "OstrelUI/Controls/OstrelUISpinners.h"
#include "OstrelUI/Controls/OstrelUITintedButton.h"
#include "OstrelUI/Controls/OstrelUIViews.h"
#include "OstrelUI/Controls/PelgraveUIColors.h"
#include "OstrelUI/Controls/XTextFieldWithLinks.h"
#include "Platform/Dispatch/NotificationCenter.h"
#include "Platform/System/Bundle.h"
#include "Platform/Values/Exception.h"

namespace {

MainWindowController* gShared = nullptr;

constexpr const char* kInstallCompletedNotification = "PelInstallCompleted";
// The partner's logo: bottom right of the welcome page, then under the middle
// of the centre panel once the panels are in.
constexpr int kPartnerLogoMargin = 30;
constexpr double kHomeBoxShift = 392;
constexpr double kSlideStepSeconds = 0.01;
constexpr double kSlideSeconds = 1.0;
constexpr int kOverlayTopInset = 20;
constexpr int kScreenHeightLimit = 800;

const QColor kHomeBoxColor = QColor::fromRgbF(234 / 255.0, 237 / 255.0, 238 / 255.0, 1.0);

const char* const kSupportPackagesSorry =
    "We are sorry. We are unable to download the support packages that are required to complete "
    "this installation of your product. Please contact Support.";
const char* const kCheckConnection =
    "We were unable to download the support packages. Please check your internet connection and "
    "try again.";
const char* const kRestartToProtect =
    "Restart your computer now to activate your protection. You are not protected until you do "
    "so.";
const char* const kLogOutToComplete =
    "Please log out from your computer. Installation of your Ostrel product is not complete "
    "until you do so!";
const char* const kProtectionNotActive = "Protection Not Active Yet";
const char* const kModuleNotLoadedRestart =
    "Your %@ product is installed, but we were unable to load its kernel module, so you are not "
    "protected yet. Restart your computer now to try again. If you are still not protected after "
    "that, please contact Support.";
const char* const kModuleNotLoadedLogOut =
    "Your %@ product is installed, but we were unable to load its kernel module, so you are not "
    "protected yet. Log out from your computer now to try again. If you are still not protected "
    "after that, please contact Support.";
const char* const kCorruptedInstaller =
    "Your installer is either corrupted or missing important resources. Please try again later or "
    "<A action=\"openSupport:\">contact Support</A>.";

// Texts and logos over the left panel follow its colour: dark text and the
// colour logos on a light panel, white text and the light logos on a dark one.
const QColor kTitleOnLight = QColor(0x33, 0x33, 0x33);
const QColor kSubtitleOnLight = QColor(0x55, 0x55, 0x55);
const QColor kTitleOnDark = QColor(Qt::white);
const QColor kSubtitleOnDark = QColor(0xd9, 0xde, 0xe8);

double partnerLogoStart(const QLabel* logo) {
    return MainWindowForm::kWidth - kPartnerLogoMargin - logo->width();
}
double partnerLogoInCentre(const QLabel* logo) {
    return MainWindowForm::kLeftWidth +
           (MainWindowForm::kWidth - MainWindowForm::kLeftWidth - logo->width()) / 2;
}

void setTextColor(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    widget->setPalette(palette);
}

bool isDark(const QColor& color) {
    // Relative luminance below that of a mid grey.
    return ostrelui::relativeLuminance(color) < 0.18;
}

// The light variant of a logo image ("…-color" becomes "…-light", any other
// name gets "-light"); a null pixmap when the bundle has none.
QPixmap lightVariant(const QString& name) {
    if (name.isEmpty()) return {};
    QString stem = QFileInfo(name).completeBaseName();
    if (stem.endsWith(QLatin1String("-color"))) stem.chop(6);
    return ostrelui::imageNamed(stem + QStringLiteral("-light"));
}

// Shows `pixmap` in `logo` at `height`, as wide as its proportions ask.
void fitLogo(QLabel* logo, const QPixmap& pixmap, int height) {
    logo->setPixmap(pixmap);
    if (pixmap.isNull() || pixmap.height() <= 0) return;
    logo->resize(pixmap.width() * height / pixmap.height(), height);
}

std::optional<std::string> infoString(const platform::Bundle& bundle, std::string_view key) {
    platform::Value value = bundle.objectForInfoDictionaryKey(key);
    if (const std::string* s = value.asString()) return *s;
    return std::nullopt;
}

QString qstr(const std::optional<std::string>& s) {
    return s ? QString::fromStdString(*s) : QString();
}

void fill(QWidget* widget, const QColor& color) {
    widget->setAutoFillBackground(true);
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, color);
    widget->setPalette(palette);
}

void showIn(QStackedWidget* box, QWidget* view) {
    if (box->indexOf(view) < 0) box->addWidget(view);
    box->setCurrentWidget(view);
    view->show();
}

// The link actions of the window's texts.
class ShellActions : public ostrelui::XTextFieldActionTarget {
  public:
    bool performLinkAction(const std::string& action, ostrelui::XTextFieldWithLinks*) override {
        auto* main = MainWindowController::sharedMainMenuController();
        if (action == "openSupport:") return main->openSupport(), true;
        if (action == "quitInstaller:") return main->quitInstaller(), true;
        if (action == "continueWithWarning:") return main->continueWithWarning(), true;
        if (action == "openApplications:") return main->openApplications(), true;
        if (action == "continueInstalling:") return main->continueInstalling(), true;
        return false;
    }
};

std::shared_ptr<ostrelui::XTextFieldActionTarget> shellActions() {
    static auto actions = std::make_shared<ShellActions>();
    return actions;
}

}  // namespace

InstallerMainWindow::InstallerMainWindow(QWidget* parent) : QMainWindow(parent) {}

void InstallerMainWindow::closeEvent(QCloseEvent* event) {
    ostrelui::guarded([&] {
        if (closeHandler_ && !closeHandler_())
            event->ignore();
        else
            event->accept();
    })();
}

MainWindowController* MainWindowController::sharedMainMenuController() {
    if (!gShared) gShared = new MainWindowController();
    return gShared;
}

void MainWindowController::resetSharedInstance() {
    delete gShared;
    gShared = nullptr;
}

bool MainWindowController::hasSharedInstance() { return gShared != nullptr; }

MainWindowController::MainWindowController() : form_(std::make_unique<MainWindowForm>()) {
    window_ = new InstallerMainWindow;
    window_->setObjectName(QStringLiteral("MainWindow"));
    auto* content = new QWidget;
    form_->setupUi(content);
    window_->setCentralWidget(content);
    form_->setupMenu(window_->menuBar());
    window_->setCloseHandler([this] { return terminate(QuitOrigin::Close); });
    ReviewPictures::watchDialogs([] {
        return hasSharedInstance() ? sharedMainMenuController()->installStatus() : std::nullopt;
    });

    MainWindowForm& f = *form_;
    partnerLogoConstraint_ = std::make_unique<ostrelui::LayoutConstant>(
        0, [logo = QPointer<QLabel>(f.qrbLogoView)](double x) {
            if (logo) logo->move(static_cast<int>(x), logo->y());
        });

    auto action = [this](void (MainWindowController::*method)()) {
        return ostrelui::guarded([this, method] { (this->*method)(); });
    };
    connect(f.closeButtonError, &QPushButton::clicked, this,
            action(&MainWindowController::quitInstaller));
    connect(f.closeButton, &QPushButton::clicked, this,
            action(&MainWindowController::quitInstaller));
    connect(f.competitiveCloseButton, &QPushButton::clicked, this,
            action(&MainWindowController::quitInstaller));
    connect(f.tryAgainButton, &QPushButton::clicked, this,
            action(&MainWindowController::continueWithWarning));
    connect(f.closingScreenButton, &QPushButton::clicked, this,
            action(&MainWindowController::continueInstalling));
    connect(f.closingScreenQuitButton, &QPushButton::clicked, this,
            action(&MainWindowController::quitInstaller));
    connect(f.okTryAgainButton, &QPushButton::clicked, this,
            action(&MainWindowController::okTryAgain));
    connect(f.okQuitButton, &QPushButton::clicked, this,
            action(&MainWindowController::quitInstaller));
    // Escape on the quit overlay keeps the install going, as its button does.
    auto* keepGoing = new QShortcut(QKeySequence(Qt::Key_Escape), f.closingErrorView);
    keepGoing->setContext(Qt::WidgetWithChildrenShortcut);
    connect(keepGoing, &QShortcut::activated, this, ostrelui::guarded([this] {
                if (!showingRestartCloseAlert_) continueInstalling();
            }));
}

void MainWindowController::setInstallStatus(std::optional<int> status) {
    installStatus_ = status;
    if (!isOverlayShown() || form_->closingErrorView->isHidden() || showingRestartCloseAlert_)
        return;
    // The quit overlay asks whether to keep the current step going.
    if (status == kInstallStatusDownloading || status == kInstallStatusInstalling ||
        status == kInstallStatusUninstalling) {
        intiateClosingErrorScreen(false);
        grab(QStringLiteral("closingErrorView"));
        return;
    }
    // That step has ended: the question no longer applies.
    grayedOut_->hide();
    if (status == kInstallStatusFinished && productPlugin_ &&
        productPlugin_->respondsTo(IFPluginOperation::setCenterPillarHealthStatus))
        productPlugin_->setCenterPillarHealthStatus(0);
}

void MainWindowController::focusDefaultButton(QWidget* screen) {
    if (!screen) return;
    for (QAbstractButton* button : screen->findChildren<QAbstractButton*>()) {
        if (!button->property(shell::kDefaultButtonProperty).toBool()) continue;
        if (!button->isVisibleTo(screen) || !button->isEnabled()) continue;
        button->setFocus(Qt::OtherFocusReason);
        return;
    }
}

void MainWindowController::okTryAgain() {
    if (terminating_) return;
    if (auto tryAgain = okTryAgain_) {
        tryAgain();
        return;
    }
    showWelcomeScreen();
}

void MainWindowController::showWelcomeScreen() {
    MainWindowForm& f = *form_;
    okTryAgain_ = nullptr;
    f.centerBox->hide();
    f.leftBox->hide();
    ostrelui::Transition::setTransform(f.homeBox, QTransform());
    f.homeBox->show();
    // Back on the light page: the welcome's own dark titles and logos.
    applyLeftPanelLook();
    partnerLogoConstraint_->setConstant(partnerLogoStart(f.qrbLogoView));
    if (productPlugin_ &&
        productPlugin_->respondsTo(IFPluginOperation::setCenterPillarHealthStatus))
        productPlugin_->setCenterPillarHealthStatus(0);
    focusDefaultButton(f.homeBox->currentWidget());
    grab(QStringLiteral("welcome"));
}

void MainWindowController::keepOverlayOnTop() {
    // The sliding snapshots are painted over the boxes; the partner's logo
    // under the centre panel and the overlay stay above them, so a slide
    // never cuts the logo.
    form_->qrbLogoView->raise();
    if (isOverlayShown()) grayedOut_->raise();
}

MainWindowController::~MainWindowController() {
    partnerLogoConstraint_.reset();
    delete window_;
}

FSDViewController* MainWindowController::fsdViewController() const {
    return form_->fsdViewController;
}
InstallProgressViewController* MainWindowController::installProgressViewController() const {
    return form_->installProgressViewController;
}
RebootViewController* MainWindowController::rebootViewController() const {
    return form_->rebootViewController;
}
LogoutViewController* MainWindowController::logoutViewController() const {
    return form_->logoutViewController;
}
ClosingViewController* MainWindowController::closingViewController() const {
    return form_->closingViewController;
}

void MainWindowController::showWindow() {
    if (!loaded_) {
        loaded_ = true;
        windowDidLoad();
    }
    window_->show();
    window_->raise();
    window_->activateWindow();
    if (isOverlayShown() && !form_->progressView->isHidden())
        grab(QStringLiteral("setupScreen"));
    else if (form_->centerBox->isHidden())
        grab(QStringLiteral("welcome"));
}

// Start-up ------------------------------------------------------------------

void MainWindowController::windowDidLoad() {
    auto bundle = platform::Bundle::mainBundle();
    MainWindowForm& f = *form_;
    productName_ = qstr(infoString(*bundle, "PEL_PRODUCT_NAME"));
    // The window is the product's: its name, as the strings table gives it.
    if (!productName_.isEmpty())
        window_->setWindowTitle(
            QString::fromStdString(bundle->localizedString(productName_.toStdString(), "", "")));
    productLogo_ = qstr(infoString(*bundle, "PEL_PRODUCT_LOGO"));
    productFooterLogoName_ = qstr(infoString(*bundle, "PEL_PRODUCT_FOOTER_LOGO"));
    qrbLogo_ = qstr(infoString(*bundle, "PEL_QRB_LOGO"));
    fitLogo(f.qrbLogoView, ostrelui::imageNamed(qrbLogo_), f.qrbLogoView->height());
    fitLogo(f.productLogoView, ostrelui::imageNamed(productLogo_), f.productLogoView->height());
    setTextColor(f.productTitleText, kTitleOnLight);
    setTextColor(f.productSecondaryTitleText, kSubtitleOnLight);
    productPluginClass_ = qstr(infoString(*bundle, "PEL_PRODUCT_PLUGIN_CLASS"));
    platform::Value packages = bundle->objectForInfoDictionaryKey("PEL_BASE_PACKAGES");
    setBasePkgs(packages.asArray() ? std::optional<platform::Array>(*packages.asArray())
                                   : std::nullopt);
    platform::Value tools = bundle->objectForInfoDictionaryKey("PEL_POSTINSTALL_TOOLS");
    postInstallTools_ = tools.asArray() ? *tools.asArray() : platform::Array();
    shouldReboot_ = shouldReboot(infoString(*bundle, "PEL_ON_COMPLETE_ACTION"));

    fill(f.contentView, Qt::white);
    failiedRequirement_.reset();
    isFSDFailure_ = isProgressAnimationStarted_ = showBackgroundImage_ = false;
    f.prepareToInstallImageView->hide();
    partnerLogoConstraint_->setConstant(partnerLogoStart(f.qrbLogoView));

    setInstallStatus(kInstallStatusLaunched);
    initProductPlugin();
    auto utilities = PelInstallAppUtilities::sharedUtilities();
    if (utilities && utilities->isFSDBasedInstall())
        startDownloadBasedSetup();
    else
        installWelcomeView();

    const int height = ScreenInfo::mainScreenHeight() <= kScreenHeightLimit
                           ? MainWindowForm::kHeight
                           : MainWindowForm::kMaxHeight;
    isWindowAtMaxHeight_ = height == MainWindowForm::kMaxHeight;
    f.layoutForHeight(height);
    f.contentView->setFixedSize(MainWindowForm::kWidth, height);
    window_->adjustSize();
    window_->setFixedSize(window_->sizeHint());
    if (isOverlayShown() && !f.progressView->isHidden()) showSetupScreen();
    // Once the height is worked out, whether or not the welcome screen waits
    // for a set-up download.
    tellPluginWindowHeight();
    if (auto* screen = QGuiApplication::primaryScreen()) {
        QRect frame = window_->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        window_->move(frame.topLeft());
    }
}

void MainWindowController::installWelcomeView() {
    try {
        loadProductPlugin();
    } catch (const std::exception& exception) {
        // The launch goes on: the exception is filed as a failure report and
        // the window says what is wrong, so the user can close it.
        ostrelui::reportException(exception);
        showCorruptedInstallerScreen();
    }
}

void MainWindowController::showCorruptedInstallerScreen() {
    showErrorScreen(shell::sharedText(kCorruptedInstaller));
}

void MainWindowController::startDownloadBasedSetup() {
    auto utilities = PelInstallAppUtilities::sharedUtilities();
    platform::Error error;
    setupFSD_ = FSDFacade::createFSD(utilities->manifestPath(), utilities->sigPath(),
                                     fsdDownloadFolder(), nullptr, fsdPingUtils_, &error);
    QPointer<InstallerMainWindow> alive(window_);
    auto failed = [this](const platform::Error* error) {
        // A manifest without a set-up file is no failure: the welcome screen
        // stays and the bundle's requirement list applies.
        if (error && error->domain() == kFSDErrorDomain &&
            error->code() == kFSDErrorNoSetupInstaller) {
            PelLogging::logNoticeMessage("The download manifest has no set-up file");
            return;
        }
        if (!parseAndShowErrorScreen(error))
            showFSDErrorScreen(shell::sharedText(kSupportPackagesSorry));
    };
    if (!setupFSD_) {
        if (!error.empty())
            PelLogging::logErrorMessageWithFormat(
                "Error occurred: Error Domain:%@ \n Error Code:%ld \n Error Info:%@",
                error.domain(), error.code(), platform::Value(error.userInfo()));
        installWelcomeView();
        failed(error.empty() ? nullptr : &error);
        return;
    }
    bool started = setupFSD_->performSetupInstallerFile(
        &error, [this, alive, failed](bool success, const std::optional<std::string>& requirements,
                                      const std::optional<std::string>& logo,
                                      const platform::Error* error) {
            if (!alive || terminating_) return;
            ostrelui::guarded([&] {
                if (success) {
                    if (requirements)
                        PelInstallAppUtilities::sharedUtilities()->setPathToRequirementsPlist(
                            requirements);
                    if (logo) {
                        shouldSetQRBBrandingLogo_ = true;
                        qrbBrandingLogoPath_ = logo;
                    }
                    installWelcomeView();
                    hideSetupScreen();
                } else {
                    installWelcomeView();
                    hideSetupScreen();
                    failed(error);
                }
            })();
        });
    if (started) {
        MainWindowForm& f = *form_;
        f.homeBox->hide();
        f.leftBox->hide();
        f.centerBox->hide();
        f.prepareToInstallImageView->show();
        showSetupScreen();
        f.homeBox->show();
    } else {
        installWelcomeView();
        failed(error.empty() ? nullptr : &error);
    }
}

void MainWindowController::initProductPlugin() {
    MainWindowForm& f = *form_;
    productPlugin_ = PluginRegistry::create(productPluginClass_.toStdString());
    if (productPlugin_) {
        IFPluginProtocol& plugin = *productPlugin_;
        if (plugin.respondsTo(IFPluginOperation::getProductFooterLogoImageAndSize)) {
            IFPluginSize size;
            if (const QImage* image = plugin.getProductFooterLogoImageAndSize(
                    &size, productFooterLogoName_.toStdString())) {
                footerLogo_ = QPixmap::fromImage(*image);
                f.productFooterLogo->setPixmap(footerLogo_);
                f.productFooterLogo->resize(static_cast<int>(size.width),
                                            static_cast<int>(size.height));
            }
        }
        if (plugin.respondsTo(IFPluginOperation::backgroundImageName) &&
            !plugin.backgroundImageName().empty())
            showBackgroundImage_ = true;
        if (plugin.respondsTo(IFPluginOperation::setBackgroundImage))
            plugin.setBackgroundImage(nullptr);
        if (showBackgroundImage_)
            f.prepareToInstallImageView->setPixmap(
                ostrelui::imageNamed(QString::fromStdString(plugin.backgroundImageName())));
        else
            fill(f.homeBox, kHomeBoxColor);
    }
    refreshTitleAndSubtitle();
    f.prepareToInstallStatusImage->setImage(
        ostrelui::imageNamed(QStringLiteral("ic-onboarding-progress-working-dark")).toImage());
    f.prepareToInstallStatusImage->startRotation();
    auto utilities = PelInstallAppUtilities::sharedUtilities();
    if (productPlugin_ && utilities && utilities->isFSDBasedInstall() &&
        productPlugin_->respondsTo(IFPluginOperation::performFSDPing)) {
        std::shared_ptr<StatPing> pinger;
        if (productPlugin_->performFSDPing(&pinger))
            fsdPingUtils_ = std::dynamic_pointer_cast<PelFSDPingUtils>(pinger);
        else
            PelLogging::logNoticeMessage("FSD Pings have been disabled by the product-plugin");
    }
}

void MainWindowController::loadProductPlugin() {
    MainWindowForm& f = *form_;
    if (!productPlugin_) productPlugin_ = PluginRegistry::create(productPluginClass_.toStdString());
    if (!productPlugin_) {
        PelLogging::logErrorMessage("Product Plugin Missing center or top view");
        throw platform::Exception(std::string(platform::kInternalInconsistencyException),
                                  "Product Plugin Missing center or top view");
    }
    IFPluginProtocol& plugin = *productPlugin_;
    if (qrbBrandingLogoPath_) {
        QPixmap logo(QString::fromStdString(*qrbBrandingLogoPath_));
        if (!logo.isNull()) {
            fitLogo(f.qrbLogoView, logo, f.qrbLogoView->height());
            partnerLogoConstraint_->setConstant(partnerLogoStart(f.qrbLogoView));
        }
    }
    if (shouldCreateLaunchAgent_) {
        platform::Error error;
        if (!PelLaunchdUtils::sharedLaunchdUtils().writeLaunchAgent(&error))
            PelLogging::logErrorMessageWithFormat(
                "%s: Failure in launchAgent call... error = %@ Continuing", __func__,
                error.description());
    }
    if (!showBackgroundImage_) fill(f.homeBox, kHomeBoxColor);
    if (plugin.respondsTo(IFPluginOperation::centerView)) {
        if (QWidget* center = plugin.centerView()) {
            f.centerBox->hide();
            f.leftBox->hide();
            showIn(f.homeBox, center);
        }
    }
    auto utilities = PelInstallAppUtilities::sharedUtilities();
    if (utilities && utilities->isFSDBasedInstall() &&
        plugin.respondsTo(IFPluginOperation::performFSDPing)) {
        std::shared_ptr<StatPing> pinger;
        if (plugin.performFSDPing(&pinger))
            fsdPingUtils_ = std::dynamic_pointer_cast<PelFSDPingUtils>(pinger);
        else
            PelLogging::logNoticeMessage("FSD Pings have been disabled by the product-plugin");
    }
    if (plugin.respondsTo(IFPluginOperation::performInstallPing)) {
        std::shared_ptr<StatPing> pinger;
        if (plugin.performInstallPing(&pinger))
            installPingUtils_ = std::dynamic_pointer_cast<PelInstallPingUtils>(pinger);
        else
            PelLogging::logNoticeMessage("Install Pings have been disabled by the product-plugin");
    }
    if (installPingUtils_) installPingUtils_->sendInstallLaunched();
    focusDefaultButton(f.homeBox->currentWidget());
}

void MainWindowController::tellPluginWindowHeight() {
    if (productPlugin_ && productPlugin_->respondsTo(IFPluginOperation::isWindowAtMaxHeight))
        productPlugin_->setIsWindowAtMaxHeight(isWindowAtMaxHeight_);
}

void MainWindowController::refreshTitleAndSubtitle() {
    QPointer<InstallerMainWindow> alive(window_);
    ostrelui::runOnNextTurn([this, alive] {
        if (!alive || !productPlugin_) return;
        MainWindowForm& f = *form_;
        IFPluginProtocol& plugin = *productPlugin_;
        if (plugin.respondsTo(IFPluginOperation::shouldEnableWelcomeText) &&
            plugin.shouldEnableWelcomeText()) {
            f.welcomeTo->show();
            f.secondaryTitlePrepareToinstall->show();
            f.secondaryTitlePrepareToinstall->setText(productName_);
            f.prepareToinstall->setFont(ostrelui::kitFont(QStringLiteral("Helvetica Neue"), 18,
                                                          f.prepareToinstall->font()));
            f.prepareToinstall->setFixedWidth(
                f.prepareToinstall->fontMetrics().horizontalAdvance(f.prepareToinstall->text()));
        }
        auto title = [&](IFPluginOperation op, QLabel* field,
                         std::shared_ptr<const ostrelui::AttributedText> text) {
            if (!plugin.respondsTo(op)) return;
            if (text) {
                field->setText(text->text);
                field->show();
            } else {
                field->hide();
            }
        };
        if (plugin.respondsTo(IFPluginOperation::getAttributedProductTitle))
            title(IFPluginOperation::getAttributedProductTitle, f.productTitleText,
                  plugin.getAttributedProductTitle());
        if (plugin.respondsTo(IFPluginOperation::getAttributedProductSubtitle))
            title(IFPluginOperation::getAttributedProductSubtitle, f.productSecondaryTitleText,
                  plugin.getAttributedProductSubtitle());
    });
}

void MainWindowController::setBasePkgs(const std::optional<platform::Array>& packages) {
    basePkgs_.reset();
    if (!packages) return;
    platform::Array list;
    list.reserve(packages->size());
    auto utilities = PelInstallAppUtilities::sharedUtilities();
    const std::string baseDir = utilities ? utilities->basePkgDir() : std::string();
    for (const platform::Value& entry : *packages) {
        const platform::Dictionary* description = entry.asDictionary();
        platform::Dictionary copy = description ? *description : platform::Dictionary();
        const platform::Value* name = entry.get("pkgName");
        const std::string pkgName = name ? name->stringValue() : "";
        copy["pkgName"] =
            pkgName.starts_with('/') ? pkgName : platform::Paths::join(baseDir, pkgName);
        if (!copy.contains("pingModuleID")) copy["pingModuleID"] = 9000;
        list.push_back(std::move(copy));
    }
    basePkgs_ = std::move(list);
}

bool MainWindowController::endsWithRestart() const {
    return closingAsksRestart_.value_or(shouldReboot_);
}

bool MainWindowController::shouldReboot(const std::optional<std::string>& action) {
    return !action || *action != "LOGOUT";
}

void MainWindowController::showSetupScreen() {
    const QRect client(QPoint(0, 0), form_->contentView->size());
    // One busy line at a time: the overlay's spinner and text stand in for
    // the welcome's own while the set-up file comes.
    form_->prepareToinstall->hide();
    form_->prepareToInstallStatusImage->hide();
    showOverlay(form_->progressView, client, 0, true);
    QWidget* progress = form_->progressView;
    progress->move((client.width() - progress->width()) / 2,
                   (client.height() - progress->height()) / 2);
    if (window_->isVisible()) grab(QStringLiteral("setupScreen"));
}

void MainWindowController::hideSetupScreen() {
    if (grayedOut_) grayedOut_->hide();
    form_->prepareToInstallImageView->hide();
    form_->prepareToInstallStatusImage->stopRotation();
    form_->prepareToinstall->show();
    form_->prepareToInstallStatusImage->show();
    if (window_->isVisible() && form_->centerBox->isHidden()) grab(QStringLiteral("welcome"));
}

void MainWindowController::showOverlay(QWidget* content, const QRect& rect, double alpha,
                                       bool clearBackground) {
    if (!grayedOut_) {
        grayedOut_ = new ostrelui::OstrelUIGrayedOutView(form_->contentView);
        grayedOut_->setObjectName(QStringLiteral("grayedOutView"));
    }
    if (grayedOut_->geometry() != rect) grayedOut_->setGeometry(rect);
    grayedOut_->setBackgroundColor(clearBackground ? QColor(Qt::transparent) : QColor(Qt::white));
    grayedOut_->setBackgroundColorAlpha(static_cast<float>(alpha));
    for (QWidget* other : {form_->progressView, form_->closingErrorView})
        if (other != content) other->hide();
    content->setParent(grayedOut_);
    content->move(0, 0);
    content->show();
    grayedOut_->show();
    grayedOut_->raise();
    window_->activateWindow();
}

bool MainWindowController::isOverlayShown() const { return grayedOut_ && !grayedOut_->isHidden(); }

// Flow ----------------------------------------------------------------------

void MainWindowController::performFSDAndInstall() {
    if (terminating_) return;
    auto engine = InstallEngine::shared();
    if (!engine) {
        PelLogging::logErrorMessage("No install engine in this build");
        return;
    }
    std::shared_ptr<PelRequirement> failed;
    platform::Error error;
    auto utilities = PelInstallAppUtilities::sharedUtilities();
    requirementCheckGeneration_ = switchGeneration_;
    bool passed = engine->performRequirementsCheck(
        utilities ? utilities->pathToRequirementsPlist() : std::nullopt, productPlugin_,
        installProgressViewController(), &failed, &error);
    // The check may run a dialog of its own; a quit granted meanwhile wins.
    if (terminating_) return;
    if (passed) {
        if (utilities && utilities->isFSDBasedInstall())
            startFSD();
        else
            performInstallOnly();
        return;
    }
    if (failed) PelLogging::logErrorMessageWithFormat("Requirements failed:%@", failed->icDic());
    if (!error.empty())
        PelLogging::logErrorMessageWithFormat(
            "Error occurred: Error Domain:%@ \n Error Code:%ld \n Error Info:%@", error.domain(),
            error.code(), platform::Value(error.userInfo()));
}

void MainWindowController::startFSD() {
    if (terminating_) return;
    setInstallStatus(kInstallStatusDownloading);
    fsdDownloadComplete_ = false;
    fsdViewController()->startFSD();
}

void MainWindowController::performInstallOnly() {
    if (terminating_) return;
    setInstallStatus(kInstallStatusInstalling);
    installProgressViewController()->performInstallWithPackages(
        basePkgs_.value_or(platform::Array()), postInstallTools_, true);
}

void MainWindowController::continueWithWarning() {
    if (terminating_) return;
    auto utilities = PelInstallAppUtilities::sharedUtilities();
    const bool downloadPending =
        utilities && utilities->isFSDBasedInstall() && !fsdDownloadComplete_;
    if (isFSDFailure_ || downloadPending) {
        // The packages are not here yet: fetch them (again) first.
        startFSD();
        isFSDFailure_ = false;
        return;
    }
    setInstallStatus(kInstallStatusInstalling);
    installProgressViewController()->performInstallWithPackages(
        basePkgs_.value_or(platform::Array()), postInstallTools_, false);
}

void MainWindowController::quitInstaller() {
    setInstallStatus(kInstallStatusQuitting);
    terminate(QuitOrigin::Installer);
}

void MainWindowController::openSupport() {
    if (productPlugin_ && productPlugin_->respondsTo(IFPluginOperation::getSupportURL)) {
        std::string url = productPlugin_->getSupportURL(failiedRequirement_, isFSDFailure_);
        if (!url.empty()) UrlOpener::open(url);
    }
    setInstallStatus(kInstallStatusQuitting);
    terminate(QuitOrigin::Installer);
}

void MainWindowController::openApplications() {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation);
    UrlOpener::open(QUrl::fromLocalFile(folder).toString().toStdString());
    terminate(QuitOrigin::Installer);
}

void MainWindowController::continueInstalling() {
    if (showingRestartCloseAlert_) {
        if (endsWithRestart())
            rebootViewController()->restart();
        else
            logoutViewController()->logoutNow();
        return;
    }
    if (grayedOut_) grayedOut_->hide();
    if (productPlugin_ &&
        productPlugin_->respondsTo(IFPluginOperation::setCenterPillarHealthStatus))
        productPlugin_->setCenterPillarHealthStatus(0);
}

void MainWindowController::closingScreen(bool success) {
    disableCloseButton();
    hideProgressAnimation();
    platform::Error error;
    if (!PelLaunchdUtils::sharedLaunchdUtils().deleteLaunchAgent(&error))
        PelLogging::logErrorMessageWithFormat(
            "%s: Deletion of launch agent failed with error = %@. Continuing.", __func__,
            error.description());
    if (productPlugin_ && productPlugin_->respondsTo(IFPluginOperation::closingScreenText)) {
        closingViewController()->showClosingScreen(
            QString::fromStdString(productPlugin_->closingScreenText(success)));
        return;
    }
    if (success) {
        // An install whose kernel module did not load is in place but does
        // not protect yet: the closing screen says so instead of success.
        auto notActive = [this](const char* text) {
            return shell::sharedText(text).replace(QStringLiteral("%@"), shell::brandWord());
        };
        if (shouldReboot_) {
            if (moduleNotLoaded_)
                rebootViewController()->restartTitle->setText(
                    shell::sharedText(kProtectionNotActive));
            // Sets the finished status first; hiding the progress animation
            // and disabling the close button again changes nothing.
            showRestartView(moduleNotLoaded_ ? notActive(kModuleNotLoadedRestart)
                                             : shell::sharedText(kRestartToProtect));
        } else {
            setInstallStatus(kInstallStatusFinished);
            closingAsksRestart_ = false;
            if (moduleNotLoaded_)
                logoutViewController()->logoutTitle->setText(
                    shell::sharedText(kProtectionNotActive));
            logoutViewController()->logoutText->setText(moduleNotLoaded_
                                                            ? notActive(kModuleNotLoadedLogOut)
                                                            : shell::sharedText(kLogOutToComplete));
            // Through the switch, so that a slide still running (an install
            // that ended within it) ends first.
            switchCenterBoxView(logoutViewController(), false, nullptr);
        }
        return;
    }
    setInstallStatus(kInstallStatusFailed);
    showErrorScreen(shell::sharedText(
        "Your installer is not working properly. Please <A action=\"openSupport:\">contact "
        "Support</A>."));
}

bool MainWindowController::parseAndShowErrorScreen(const platform::Error* error) {
    PelLogging::logErrorMessageWithFormat("Error occurred while downloading:%@",
                                          error ? error->description() : std::string("(null)"));
    if (!error) return false;
    // Without an underlying error the error itself is judged.
    const platform::Error& cause = error->underlyingError() ? *error->underlyingError() : *error;
    const long code = cause.code();
    if (cause.domain() == platform::kURLErrorDomain &&
        (code == -1009 || code == -1004 || code == -1003 || code == -1001)) {
        showFSDErrorScreen(shell::sharedText(kCheckConnection));
        return true;
    }
    if (cause.domain() == kFSDErrorDomain) {
        showFSDErrorScreen(shell::sharedText(kSupportPackagesSorry));
        return true;
    }
    return false;
}

// Screens -------------------------------------------------------------------

void MainWindowController::hideProgressAnimation() {
    // The slideshow belongs to the download and the install; the screens
    // that end them do without it, and a slide of its box ends with it.
    form_->progressBarAnimationBox->hide();
    ostrelui::Transition::setTransform(form_->progressBarAnimationBox, QTransform());
}

void MainWindowController::setScreenBusy(bool busy) {
    for (QWidget* w : form_->leftBox->findChildren<QWidget*>())
        if (auto* spinner = dynamic_cast<ostrelui::OstrelUISpinningImageView*>(w))
            spinner->setHeld(busy);
}

void MainWindowController::commonScreenSteps(QLabel* iconView) {
    hideProgressAnimation();
    iconView->setPixmap(ostrelui::imageNamed(QStringLiteral("ic_installer-error")));
    if (productPlugin_ && productPlugin_->respondsTo(IFPluginOperation::setProgressStatus))
        productPlugin_->setProgressStatus(8);
}

void MainWindowController::showErrorScreen(const QString& text) {
    MainWindowForm& f = *form_;
    commonScreenSteps(f.errorImageViewErrorScreen);
    f.errorTitle->setText(shell::sharedText(
        installStatus_ == kInstallStatusUninstalling ? "Uninstall Failed" : "Installation Failed"));
    f.errorText->parseAndSetString(text, shellActions());
    setInstallStatus(kInstallStatusQuitting);
    switchCenterBoxView(f.errorView, true, nullptr);
}

void MainWindowController::showErrorScreen(const QString& text,
                                           const std::shared_ptr<PelRequirement>& requirement) {
    failiedRequirement_ = requirement;
    PelLogging::logNoticeMessage("Install failure show close error screen");
    showErrorScreen(text);
}

void MainWindowController::showFSDErrorScreen(const QString& text) {
    isFSDFailure_ = true;
    showErrorScreen(text, nullptr);
}

void MainWindowController::showWarningScreen(const QString& text,
                                             const std::shared_ptr<PelRequirement>& requirement) {
    MainWindowForm& f = *form_;
    commonScreenSteps(f.errorImageView);
    f.warningTitle->setText(
        shell::sharedText(isFSDFailure_ ? "Download Failed" : "Installation Failed"));
    f.closeButton->setText(shell::sharedText("Close"));
    f.tryAgainButton->resetHover();
    f.warningText->parseAndSetString(text, shellActions());
    if (requirement) failiedRequirement_ = requirement;
    PelLogging::logNoticeMessage("Install Failure show warning screen");
    isProgressAnimationStarted_ = false;
    setInstallStatus(kInstallStatusQuitting);
    switchCenterBoxView(f.warningView, false, nullptr);
}

void MainWindowController::showFSDWarningScreen(const QString& text) {
    fsdViewController()->hide();
    isFSDFailure_ = true;
    showWarningScreen(text, nullptr);
}

void MainWindowController::showOKScreen(const QString& title, const QString& message,
                                        std::function<void()> tryAgain) {
    MainWindowForm& f = *form_;
    okTryAgain_ = std::move(tryAgain);
    commonScreenSteps(f.errorImageViewOkScreen);
    f.okTitleText->setText(title);
    f.okText->setText(message);
    switchCenterBoxView(f.okView, false, nullptr);
}

void MainWindowController::showCompetitiveErrorScreen(const QString& text) {
    MainWindowForm& f = *form_;
    commonScreenSteps(f.competitiveErrorImageView);
    // The message names the other product; the title says what it means.
    f.competitiveErrorTitle->setText(shell::sharedText("Installation Failed"));
    f.competitiveErrorText->setStringValue(text);
    PelLogging::logNoticeMessage("Install Failure show Competitive Product Error screen");
    switchCenterBoxView(f.competitiveErrorView, false, nullptr);
}

void MainWindowController::showRestartView(const QString& text) {
    // The install, or the removal before it, has ended: a restart is pending,
    // whatever the bundle's completion action, and a quit asks for it in
    // this screen's own words.
    closingAsksRestart_ = true;
    restartText_ = text;
    setInstallStatus(kInstallStatusFinished);
    hideProgressAnimation();
    rebootViewController()->restartText->setText(text);
    switchCenterBoxView(rebootViewController(), true, nullptr);
    disableCloseButton();
    platform::NotificationCenter::defaultCenter().post(kInstallCompletedNotification);
}

void MainWindowController::showLogoutView(const QString& text) {
    closingAsksRestart_ = false;
    setInstallStatus(kInstallStatusFinished);
    hideProgressAnimation();
    logoutViewController()->logoutText->setText(text);
    switchCenterBoxView(logoutViewController(), false, nullptr);
    disableCloseButton();
}

void MainWindowController::disableCloseButton() {
    if (QMenu* menu = form_->applicationMenu) {
        QList<QAction*> items = menu->actions();
        if (items.size() > 2) items[2]->setEnabled(false);
    }
    const Qt::WindowFlags flags = (window_->windowFlags() | Qt::CustomizeWindowHint |
                                   Qt::WindowTitleHint | Qt::WindowMinimizeButtonHint) &
                                  ~Qt::WindowCloseButtonHint;
    if (flags == window_->windowFlags()) return;
    QWindow* handle = window_->windowHandle();
    if (!handle) {
        window_->setWindowFlags(flags);
        return;
    }
    // Told to the window system in place: QWidget::setWindowFlags would hide
    // the window and show it again, and a window shown again is not
    // reactivated, so its focused button would answer the keyboard without
    // showing its focus ring.
    window_->overrideWindowFlags(flags);
    handle->setFlags(flags);
}

void MainWindowController::showProgressAnimation() {
    if (!isProgressAnimationStarted_ && productPlugin_ &&
        productPlugin_->respondsTo(IFPluginOperation::animateProgressViewNow)) {
        isProgressAnimationStarted_ = true;
        productPlugin_->animateProgressViewNow();
        return;
    }
    PelLogging::logNoticeMessage("Product plugin doesnt have any animation to show");
}

void MainWindowController::showAppClosingErrorScreen(bool restart) {
    if (slidesInFlight_ > 0) {
        // The overlay covers the centre panel: it comes once the panels are
        // in place, never over half of a screen that is still sliding.
        afterSlides_.push_back([this, restart] {
            if (terminating_) return;
            // Asked during a step that has ended meanwhile: nothing to ask.
            if (!restart && installStatus_ != kInstallStatusDownloading &&
                installStatus_ != kInstallStatusInstalling &&
                installStatus_ != kInstallStatusUninstalling)
                return;
            showAppClosingErrorScreen(restart);
        });
        return;
    }
    MainWindowForm& f = *form_;
    f.closingScreenButton->resetHover();
    const QRect rect(MainWindowForm::kLeftWidth, kOverlayTopInset, f.centerBox->width(),
                     f.centerBox->height() - kOverlayTopInset);
    intiateClosingErrorScreen(restart);
    f.closingErrorView->resize(rect.size());
    showOverlay(f.closingErrorView, rect, restart ? 0.1 : 1.0, false);
    f.closingScreenButton->setFocus(Qt::OtherFocusReason);
    if (productPlugin_ &&
        productPlugin_->respondsTo(IFPluginOperation::setCenterPillarHealthStatus))
        productPlugin_->setCenterPillarHealthStatus(1);
    grab(QStringLiteral("closingErrorView"));
}

void MainWindowController::intiateClosingErrorScreen(bool restart) {
    MainWindowForm& f = *form_;
    f.errorImageViewClosingScreen->setPixmap(
        ostrelui::imageNamed(QStringLiteral("ic_installer-error")));
    if (restart) {
        if (!endsWithRestart()) return;
        f.closingScreenTitleText->setText(shell::sharedText("Restart Required"));
        f.closingScreenMessageText->setText(
            restartText_.isEmpty() ? shell::sharedText(kRestartToProtect) : restartText_);
        f.closingScreenButton->setText(shell::sharedText("Restart"));
        showingRestartCloseAlert_ = true;
        f.centerBox->hide();
        return;
    }
    QString message;
    if (installStatus_ == kInstallStatusUninstalling) {
        f.closingScreenTitleText->setText(shell::sharedText("Uninstalling Previous Version"));
        message = shell::sharedText(
            "Your %@ product is uninstalling a previous version. Quitting will prevent your new "
            "product from installing.");
        f.closingScreenButton->setText(shell::sharedText("Continue Uninstalling"));
    } else {
        f.closingScreenTitleText->setText(shell::sharedText("Installation in progress"));
        message = shell::sharedText(
            "Your %@ product is installing. Quitting the installation will leave your computer "
            "unprotected.");
        f.closingScreenButton->setText(shell::sharedText("Continue Installing"));
    }
    f.closingScreenMessageText->setText(message.replace(QStringLiteral("%@"), shell::brandWord()));
    showingRestartCloseAlert_ = false;
}

// Switching -----------------------------------------------------------------

void MainWindowController::switchCenterBoxView(QWidget* view, bool animated,
                                               std::function<void()> completion) {
    if (!view) {
        ostrelui::reportException(
            platform::Exception(std::string(platform::kInvalidArgumentException),
                                "Invalid view is passed as an argument"));
        return;
    }
    MainWindowForm& f = *form_;
    // A screen still waiting to settle for its picture is taken now, before
    // the next one replaces it.
    takePendingPictures();
    const std::uint64_t generation = ++switchGeneration_;
    QPointer<InstallerMainWindow> alive(window_);
    QPointer<QWidget> target(view);
    const bool slides =
        animated && (f.centerBox->isHidden() || f.centerBox->currentWidget() != view);
    if (slides) ++slidesInFlight_;
    // Runs the caller's completion exactly once, then takes the review picture.
    auto finish = [this, alive, target, slides, completion = std::move(completion)]() mutable {
        if (!alive) return;
        if (slides) endSlide();
        if (target && !isOverlayShown() && form_->centerBox->currentWidget() == target)
            focusDefaultButton(target);
        ostrelui::guarded([&] {
            if (completion) std::exchange(completion, nullptr)();
        })();
        if (target) grab(target->objectName());
    };

    const double width = f.contentView->width();
    if (f.centerBox->isHidden()) {
        // The first screen after the welcome screen: the boxes come in from
        // the right while the welcome screen moves left.
        f.centerBox->show();
        showIn(f.centerBox, view);
        if (productPlugin_ && productPlugin_->respondsTo(IFPluginOperation::leftNavigationView)) {
            if (QWidget* left = productPlugin_->leftNavigationView()) {
                left->resize(f.leftBox->width(), f.contentView->height());
                f.leftBox->show();
                movePartnerLogoToLeft();
                showIn(f.leftBox, left);
            }
        }
        if (!animated) {
            setLeftViewTitleAndBackgroundImage();
            finish();
            return;
        }
        const QTransform offscreen = QTransform::fromTranslate(width + 10, 0);
        ostrelui::Transition::setTransform(f.centerBox, offscreen);
        if (!f.leftBox->isHidden()) ostrelui::Transition::setTransform(f.leftBox, offscreen);
        keepOverlayOnTop();
        auto done = std::make_shared<decltype(finish)>(std::move(finish));
        ostrelui::runAfter(kSlideStepSeconds, [this, alive, done] {
            if (!alive) return;
            MainWindowForm& f = *form_;
            ostrelui::Transition::animateTransform(f.leftBox, QTransform(), kSlideSeconds);
            ostrelui::Transition::animateTransform(
                f.homeBox, QTransform::fromTranslate(-kHomeBoxShift, 0), kSlideSeconds);
            keepOverlayOnTop();
            ostrelui::Transition::animateTransform(
                f.centerBox, QTransform(), kSlideSeconds, [this, alive, done] {
                    if (!alive) return;
                    setLeftViewTitleAndBackgroundImage();
                    ostrelui::Transition::setTransform(form_->homeBox, QTransform());
                    (*done)();
                });
        });
        return;
    }

    if (!animated || f.centerBox->currentWidget() == view) {
        // A slide still running ends here: the new content shows at once.
        ostrelui::Transition::setTransform(f.centerBox, QTransform());
        showIn(f.centerBox, view);
        finish();
        return;
    }
    const QTransform offscreen = QTransform::fromTranslate(f.centerBox->width() + 10, 0);
    ostrelui::Transition::setTransform(f.centerBox, offscreen);
    keepOverlayOnTop();
    auto done = std::make_shared<decltype(finish)>(std::move(finish));
    ostrelui::runAfter(kSlideStepSeconds, [this, alive, target, done, generation, offscreen] {
        if (!alive) return;
        MainWindowForm& f = *form_;
        if (generation != switchGeneration_ || !target) {
            // A later switch took over: its content wins, this one only ends.
            (*done)();
            return;
        }
        showIn(f.centerBox, target);
        // A fresh snapshot of the new content slides in.
        ostrelui::Transition::setTransform(f.centerBox, QTransform());
        ostrelui::Transition::setTransform(f.centerBox, offscreen);
        keepOverlayOnTop();
        ostrelui::Transition::animateTransform(f.centerBox, QTransform(), kSlideSeconds,
                                               [done] { (*done)(); });
    });
}

void MainWindowController::endSlide() {
    if (slidesInFlight_ > 0) --slidesInFlight_;
    if (slidesInFlight_ > 0) return;
    for (auto& waiting : std::exchange(afterSlides_, {})) ostrelui::guarded(waiting)();
}

void MainWindowController::setLeftViewTitleAndBackgroundImage() {
    MainWindowForm& f = *form_;
    f.homeBox->hide();
    refreshTitleAndSubtitle();
    if (showBackgroundImage_) {
        f.leftBackgroundImage->show();
        f.leftBackgroundImage->setPixmap(QPixmap());
        if (productPlugin_) {
            std::string name = productPlugin_->backgroundImageName();
            if (productPlugin_->respondsTo(IFPluginOperation::leftBackgroundImage))
                name = productPlugin_->leftBackgroundImage();
            QPixmap image = ostrelui::imageNamed(QString::fromStdString(name));
            if (!image.isNull()) f.leftBackgroundImage->setPixmap(image);
        }
    } else {
        f.leftBackgroundImage->hide();
        fill(f.leftBox, kHomeBoxColor);
    }
    applyLeftPanelLook();
}

void MainWindowController::applyLeftPanelLook() {
    MainWindowForm& f = *form_;
    // What lies behind the title: the left panel's own colour when it paints
    // one, else the box's.
    QWidget* panel = f.leftBox->isHidden() ? nullptr : f.leftBox->currentWidget();
    QColor behind = kHomeBoxColor;
    if (panel && panel->autoFillBackground())
        behind = panel->palette().color(panel->backgroundRole());
    const bool dark = isDark(behind);
    setTextColor(f.productTitleText, dark ? kTitleOnDark : kTitleOnLight);
    setTextColor(f.productSecondaryTitleText, dark ? kSubtitleOnDark : kSubtitleOnLight);
    QPixmap logo = dark ? lightVariant(productLogo_) : QPixmap();
    if (logo.isNull()) logo = ostrelui::imageNamed(productLogo_);
    fitLogo(f.productLogoView, logo, f.productLogoView->height());
    QPixmap footer = dark ? lightVariant(productFooterLogoName_) : QPixmap();
    if (!footer.isNull())
        f.productFooterLogo->setPixmap(footer.scaled(
            f.productFooterLogo->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
    else if (!footerLogo_.isNull())
        f.productFooterLogo->setPixmap(footerLogo_);
}

void MainWindowController::movePartnerLogoToLeft() {
    QPointer<InstallerMainWindow> alive(window_);
    ostrelui::runOnNextTurn([this, alive] {
        if (alive)
            partnerLogoConstraint_->animateTo(partnerLogoInCentre(form_->qrbLogoView),
                                              kSlideSeconds);
    });
}

bool MainWindowController::terminate(QuitOrigin origin) {
    if (terminateHandler_) return terminateHandler_(origin);
    terminating_ = true;
    QCoreApplication::exit(0);
    return true;
}

void MainWindowController::grab(const QString& name) {
    if (ReviewPictures::folder().isEmpty()) return;
    pendingPictures_.push_back({installStatus_, name});
    if (!picturesScheduled_) waitForSettledPictures(100);
}

void MainWindowController::waitForSettledPictures(int triesLeft) {
    picturesScheduled_ = true;
    QPointer<InstallerMainWindow> alive(window_);
    ostrelui::runAfter(0.05, [this, alive, triesLeft] {
        if (!alive) return;
        if (isSettled() || triesLeft <= 0)
            takePendingPictures();
        else
            waitForSettledPictures(triesLeft - 1);
    });
}

bool MainWindowController::isSettled() const {
    // No slide, no cross-fade, no reveal under way; the slideshow plays on as
    // the screen's own look.
    QWidget* screen = form_->centerBox->isHidden() ? nullptr : form_->centerBox->currentWidget();
    return slidesInFlight_ == 0 &&
           !(screen && screen->property(shell::kRevealingProperty).toBool()) &&
           !ostrelui::Transition::isAnimatingWithin(window_, form_->progressBarAnimationBox);
}

void MainWindowController::takePendingPictures() {
    picturesScheduled_ = false;
    auto pending = std::exchange(pendingPictures_, {});
    // A screen replaced before it ever settled (a download that ended within
    // its slide) was never seen whole: no picture of a half state.
    if (!isSettled()) return;
    for (const auto& [status, name] : pending) ReviewPictures::capture(window_, status, name);
}
