#include "Controllers/HVKProductPlugin.h"

#include <sys/stat.h>

#include <QImage>
#include <QLabel>
#include <chrono>
#include <filesystem>

#include "Controllers/AgreeInstallViewController.h"
#include "Controllers/Core/FSDFacade.h"
#include "Controllers/Core/OptInRegions.h"
#include "Controllers/Core/PelFSDPaths.h"
#include "Controllers/Core/PluginRegistry.h"
#include "Controllers/Core/SharedProductPluginUtilities.h"
#include "Controllers/FSDViewController.h"
#include "Controllers/KextAssistantInstallerViewController.h"
#include "Controllers/LeftNavigationViewController.h"
#include "Controllers/MainWindowController.h"
#include "Controllers/ProgressAnimationViewController.h"
#include "Controllers/ShellSupport.h"
#include "Controllers/UninstallViewController.h"
#include "Downloader/FSDFileNames.h"
#include "Downloader/PelFSDPingUtils.h"
#include "Downloader/PelInstallPingUtils.h"
#include "Engine/PelInstallAppUtilities.h"
#include "Engine/PelRequirement.h"
#include "Engine/PelRequirementsContainer.h"
#include "Foundation/PelLogging.h"
#include "Foundation/PelPathUtils.h"
#include "OstrelUI/Controls/AttributedText.h"
#include "OstrelUI/Controls/OstrelUIAppearance.h"
#include "OstrelUI/Controls/OstrelUIContainers.h"
#include "OstrelUI/Controls/OstrelUIGuard.h"
#include "OstrelUI/Controls/XAttributedStringFormatter.h"
#include "OstrelUI/Controls/XTextFieldWithLinks.h"
#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Dispatch/Timer.h"
#include "Platform/System/Bundle.h"
#include "Platform/System/PathNames.h"
#include "Platform/System/Paths.h"
#include "Platform/System/SharedFolder.h"

namespace {

QString localized(const char* key) {
    auto bundle = platform::Bundle::mainBundle();
    if (!bundle) return QString::fromUtf8(key);
    return QString::fromStdString(bundle->localizedString(key, "", ""));
}

std::optional<std::string> infoString(const char* key) {
    auto bundle = platform::Bundle::mainBundle();
    if (!bundle) return std::nullopt;
    platform::Value value = bundle->objectForInfoDictionaryKey(key);
    if (!value.isString()) return std::nullopt;
    return value.stringValue();
}

std::shared_ptr<const ostrelui::AttributedText> spaced(const QString& text) {
    auto attributed = ostrelui::AttributedStringWithString(text, 1.0);
    if (!attributed)
        return std::make_shared<const ostrelui::AttributedText>(ostrelui::AttributedText{text, {}});
    return std::make_shared<const ostrelui::AttributedText>(std::move(*attributed));
}

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

void deleteLogged(const std::string& path, const char* format) {
    if (auto error = PelPathUtils::sharedPathUtils().deleteFileAtPath(path))
        PelLogging::logErrorMessageWithFormat(format, error->description());
}

const QImage* footerImage(std::unique_ptr<QImage>& slot, IFPluginSize* size,
                          const std::string& name, double width, double height) {
    QPixmap pixmap = ostrelui::imageNamed(QString::fromStdString(name));
    if (pixmap.isNull()) return nullptr;
    slot = std::make_unique<QImage>(pixmap.toImage());
    if (size) *size = {width, height};
    return slot.get();
}

std::optional<std::string> requirementsPath() {
    auto utilities = PelInstallAppUtilities::sharedUtilities();
    if (!utilities) return std::nullopt;
    return utilities->pathToRequirementsPlist();
}

}  // namespace

// The slideshow's panels move into the main window's box; when the window
// went first, forget the panels it deleted before the controller goes.
AnimationHolder::AnimationHolder(std::shared_ptr<platform::Clock> clock)
    : controller(std::make_unique<ProgressAnimationViewController>(std::move(clock))),
      animationPage_(controller->progressAnimationScrollView),
      installPage_(controller->progressInstallScrollView),
      completedPage_(controller->progressCompletedView) {}

AnimationHolder::~AnimationHolder() {
    if (!animationPage_) controller->progressAnimationScrollView = nullptr;
    if (!installPage_) controller->progressInstallScrollView = nullptr;
    if (!completedPage_) controller->progressCompletedView = nullptr;
}

// ---------------------------------------------------------------------------
// HVKProductPlugin

HVKProductPlugin::HVKProductPlugin(std::shared_ptr<platform::Clock> clock)
    : clock_(std::move(clock)) {
    agree_ = new AgreeInstallViewController;
    left_ = new LeftNavigationViewController(nullptr, clock_);
    animation_ = std::make_unique<AnimationHolder>(clock_);
    kextAssistantViewController_ =
        std::make_unique<KextAssistantInstallerViewController>(nullptr, clock_);
    uninstall_ = std::make_unique<UninstallViewController>();
    backgroundImageView_ = new QLabel;
    backgroundImageView_->setObjectName(QStringLiteral("backgroundImageView"));
    setTitles(localized("My Ostrel"), localized("Installer"));
}

HVKProductPlugin::~HVKProductPlugin() {
    *alive_ = false;
    delete agree_.data();
    delete left_.data();
    delete backgroundImageView_.data();
}

bool HVKProductPlugin::respondsTo(IFPluginOperation operation) const {
    switch (operation) {
        case IFPluginOperation::shouldEnableWelcomeText:
        case IFPluginOperation::closingScreenText:
        case IFPluginOperation::installComplete:
        case IFPluginOperation::downloadFSDComplete:
        case IFPluginOperation::downloadFSDFailedWithError:
        case IFPluginOperation::leftBackgroundImage:  // its leftBackgroundImageName has no caller
            return false;
        default:
            return true;
    }
}

ProgressAnimationViewController* HVKProductPlugin::animationViewController() const {
    return animation_->controller.get();
}
LeftNavigationViewController* HVKProductPlugin::leftNavigationViewController() const {
    return left_;
}

void HVKProductPlugin::setTitles(const QString& title, const QString& subtitle) {
    attributedTitle_ = spaced(title);
    attributedSubtitle_ = spaced(subtitle);
}

void HVKProductPlugin::onMain(std::function<void()> block) {
    shell::onMainWhileAlive(alive_, std::move(block));
}

void HVKProductPlugin::after(double seconds, std::function<void()> block) {
    shell::afterSeconds(seconds, clock_, alive_, std::move(block));
}

std::string HVKProductPlugin::regionsPlistPath() const {
    auto bundle = platform::Bundle::mainBundle();
    return bundle ? bundle->resourcePath() + "/Regions.plist" : std::string();
}

QWidget* HVKProductPlugin::centerView() {
    MainWindowController::sharedMainMenuController()->setUiOptionsClicked(0);
    AgreeInstallViewController& agree = *agree_;
    auto target = agree.linkTarget();
    agree.installEulaText->parseAndSetString(
        localized("By clicking Install, you agree to the <A action=\"showEULA:\">Ostrel License "
                  "Agreement</A>"),
        target);
    agree.installPrivacyNoticesText->parseAndSetString(
        localized("<A action=\"showPrivacyPolicy:\">Privacy Policy</A>   |   <A "
                  "action=\"showThirdPartyNotices:\">Third-Party Notices</A>"),
        target);
    agree.installOfgOptInText->parseAndSetString(
        localized("I want to join <A action=\"showOstrelFellowguard:\">Ostrel Fellowguard</A>  in "
                  "the fight against cybercrime by letting my computer automatically forward "
                  "security threat information to Pelgrave. (Recommended)"),
        target);
    auto bundle = platform::Bundle::mainBundle();
    isKeenwatchOptInAllowed_ =
        bundle && bundle->objectForInfoDictionaryKey("PEL_KEENWATCH_OPTIN_ALLOWED").boolValue();
    if (isKeenwatchOptInAllowed_) {
        agree.optIn->show();
        agree.agreeAndInstallKeenwatchOptInText->show();
        agree.agreeAndInstallKeenwatchOptInText->parseAndSetString(
            localized("I want to join <A action=\"showOFGPrivacy:\">Ostrel Fellowguard</A> in the "
                      "fight against digital cybercrime by letting my computer automatically "
                      "forward security information to Pelgrave (Recommended)."),
            target);
        agree.installEulaText->show();
        agree.installPrivacyNoticesText->show();
        if (GetRegionRestrictionMask(regionsPlistPath(), &ofgPrivacyRegionMask_)) {
            agree.optIn->setChecked(false);
            AgreeInstallViewController::setCheckboxImage(agree.optIn, false);
        }
    }
    return agree_;
}

QWidget* HVKProductPlugin::leftNavigationView() {
    LeftNavigationViewController* left = leftNavigationViewController();
    left->setCenterBarNeutralImageName(QStringLiteral("bg-status-neutral"));
    return left;
}

std::shared_ptr<const ostrelui::AttributedText> HVKProductPlugin::getAttributedProductTitle() {
    return attributedTitle_;
}
std::shared_ptr<const ostrelui::AttributedText> HVKProductPlugin::getAttributedProductSubtitle() {
    return attributedSubtitle_;
}

const QImage* HVKProductPlugin::getProductFooterLogoImageAndSize(IFPluginSize* size,
                                                                 const std::string& name) {
    return footerImage(footerLogo_, size, name, 134, 48);
}

std::string HVKProductPlugin::backgroundImageName() {
    if (auto name = infoString("PEL_QRB_BACKGROUND_IMAGE")) {
        std::string stem = std::filesystem::path(*name).stem().string();
        if (!ostrelui::imageNamed(QString::fromStdString(stem)).isNull()) return *name;
    }
    return "img-bg-full";
}

void HVKProductPlugin::setProgressStatus(unsigned status) {
    onMain([this, status] { leftNavigationViewController()->setProgressStatus(status); });
}

void HVKProductPlugin::setInstallationProgressStatusWithCompletionHandler(
    std::function<void()> done) {
    onMain([this, done = std::move(done)]() mutable {
        std::weak_ptr<bool> alive = alive_;
        animationViewController()->checkAndSkipPhishingScreen([this, alive, done] {
            if (auto a = alive.lock(); a && *a)
                leftNavigationViewController()->setInstallationProgressStatusWithCompletionHandler(
                    done);
        });
    });
}

void HVKProductPlugin::setCenterPillarHealthStatus(unsigned status) {
    onMain([this, status] { leftNavigationViewController()->setCenterPillarHealthStatus(status); });
}

void HVKProductPlugin::animateProgressViewNow() {
    animationViewController()->showProgressViewAnimation();
}

void HVKProductPlugin::installBegin() {
    if (haveProgressAnimations_)
        animationViewController()->showDidYouKnowScreen();
    else
        animationViewController()->showProductNameScreen();
    PelLogging::logNoticeMessage("Install Begun run whatever you want");
}

bool HVKProductPlugin::performInstallPing(std::shared_ptr<StatPing>* pinger) {
    platform::Error error;
    auto container =
        PelRequirementsContainer::createContainerWithRequirements(requirementsPath(), &error);
    if (!container) {
        if (!error.empty())
            PelLogging::logErrorMessageWithFormat(
                "Error occurred: Error Domain:%@ \n Error Code:%ld \n Error Info:%@",
                error.domain(), static_cast<long>(error.code()), error.description());
        return false;
    }
    auto build = container->layout() ? container->layout() : infoString("BuildVersion");
    auto product = container->pingProductName() ? container->pingProductName()
                                                : infoString("PEL_PRODUCT_NAME");
    auto sender = PelInstallPingUtils::createInstallPingUtilsWithQueueName(
        infoString("CFBundleIdentifier"), product, infoString("CFBundleShortVersionString"), build,
        std::string("HVKForMac"), pluginlinks::getMID());
    if (sender) {
        sender->setOfgParamValue(ofgPrivacyRegionMask_);
        if (pinger) *pinger = sender;
    }
    return true;
}

bool HVKProductPlugin::performFSDPing(std::shared_ptr<StatPing>* pinger) {
    platform::Error error;
    auto container =
        PelRequirementsContainer::createContainerWithRequirements(requirementsPath(), &error);
    std::optional<std::string> build, product;
    if (!container) {
        if (!error.empty())
            PelLogging::logErrorMessageWithFormat(
                "Error occurred: Error Domain:%@ \n Error Code:%ld \n Error Info:%@",
                error.domain(), static_cast<long>(error.code()), error.description());
    } else {
        build = container->layout();
        product = container->pingProductName();
    }
    if (!build) build = infoString("BuildVersion");
    if (!product) product = infoString("PEL_PRODUCT_NAME");
    auto sender = PelFSDPingUtils::createFSDPingUtilsWithQueueName(
        infoString("CFBundleIdentifier"), product, infoString("CFBundleShortVersionString"), build,
        std::string("HVKForMac-FSD"));
    if (pinger) *pinger = sender;
    return true;
}

bool HVKProductPlugin::runRequirementsWithPlugin(const Requirements& requirements) {
    return uninstall_->startUpgradeForAllProducts(requirements, this);
}

void HVKProductPlugin::installCompleteWithDelegate(bool success, IFPluginDelegate* delegate) {
    PelLogging::logDebugMessage("Install Complete send pings or whatever");
    if (!success) {
        if (delegate) delegate->pluginFinished(false);
        return;
    }
    animationViewController()->showInstallCompleteScreen();
    std::string prefs = pluginlinks::agentPreferencesPath();
    if (exists(prefs)) deleteLogged(prefs, "Error Occurred while cleaning up:%@");
    if (isKeenwatchOptInAllowed_) sendOptInFlagToFellowguard();
    if (kextAssistantViewController_->shouldShowKextMessage()) {
        // The approval screens send pluginFinished.
        setProgressStatus(kProgressStatusPreferencesNext);
        onMain([this] { animationViewController()->setIsUpdatingPreference(true); });
        after(3.0, [this, delegate] {
            setProgressStatus(kProgressStatusPreferencesAttention);
            kextAssistantViewController_->showAuthConsentWithDelegate(delegate, this);
        });
        return;
    }
    // The list completes now and settles on "all complete" three seconds later.
    setProgressStatus(kProgressStatusPreferencesDone);
    kextAssistantViewController_->shutdownHelper();
    if (delegate) delegate->pluginFinished(true);
    after(3.0, [this] { setProgressStatus(kProgressStatusAllComplete); });
}

void HVKProductPlugin::sendOptInFlagToFellowguard() {
    WriteOptInFlagFile(agree_ && agree_->optIn->isChecked() ? 1 : 0);
    WriteRegionFlagFile(GetRegionRestrictionMask(regionsPlistPath(), &ofgPrivacyRegionMask_) ? 1
                                                                                             : 0);
}

void HVKProductPlugin::installFailedWithError(int code,
                                              const std::shared_ptr<PelRequirement>& requirement) {
    PelLogging::logErrorMessageWithFormat("errorEvent:%d", code);
    PelLogging::logErrorMessageWithFormat(
        "PelRequirement:%@", requirement ? requirement->toString() : std::string("(null)"));
}

void HVKProductPlugin::manifestAvailable(const std::string& path) {
    PelLogging::logNoticeMessageWithFormat("ManifestLocation:%@", path);
}

std::string HVKProductPlugin::manifestLocation() {
    return "/Library/Application Support/Pelgrave/Silo/TLW/FSD";
}

void HVKProductPlugin::installerWillTerminate() { cleanUpTemporaryFiles(); }

void HVKProductPlugin::cleanUpTemporaryFiles() {
    auto utilities = PelInstallAppUtilities::sharedUtilities();
    if (!utilities || !utilities->isFSDBasedInstall()) return;
    const std::string folder = fsdDownloadFolder();
    FSDFacade::SetupFileNames setupFiles;
    if (MainWindowController::hasSharedInstance()) {
        auto* main = MainWindowController::sharedMainMenuController();
        const auto& packages = main->basePkgs();
        if (packages) {
            for (const platform::Value& package : *packages) {
                const platform::Value* name = package.get("pkgName");
                if (name && name->isString() && exists(name->stringValue()))
                    deleteLogged(name->stringValue(), "Error Occurred while cleaning up:%@");
            }
        }
        // The set-up file's requirement list and branding logo, named by the
        // download's manifest (the package download's, else the set-up
        // download's when the install never started).
        std::shared_ptr<FSDFacade> fsd;
        if (FSDViewController* screen = main->fsdViewController()) fsd = screen->fsd();
        if (!fsd) fsd = main->setupFSD();
        if (fsd) setupFiles = fsd->setupInstallerFileNames();
    }
    // Only plain names, removed below the folder held open: a root run
    // (with a user's home) goes through none of the user's links.
    std::string name;
    auto holder = platform::SharedFolder::openHolder(folder, platform::SharedFolder::Trust::Any,
                                                     &name, nullptr);
    auto opened =
        holder ? holder->child(name, platform::SharedFolder::Trust::Any, nullptr) : std::nullopt;
    if (!opened) return;
    for (const auto& file : {setupFiles.reqsPlist, setupFiles.brandingLogo})
        if (file && platform::isPlainFileName(*file)) opened->removeFile(*file);
    if (opened->countEntries() == 0 && !holder->removeEmptyFolder(name, *opened))
        PelLogging::logErrorMessageWithFormat("Error Occurred while cleaning up FSD folder:%@",
                                              folder);
}

bool HVKProductPlugin::shouldShowSupportForInstallFailures() { return true; }

std::string HVKProductPlugin::getSupportURL(const std::shared_ptr<PelRequirement>& requirement,
                                            bool) {
    return pluginlinks::getSupportURL(requirement.get(), requirementsPath());
}

void HVKProductPlugin::setBackgroundImage(const void*) {
    std::string name = backgroundImageName();
    if (name.empty())
        backgroundImageView_->clear();
    else
        backgroundImageView_->setPixmap(ostrelui::imageNamed(
            QString::fromStdString(std::filesystem::path(name).stem().string())));
}

void HVKProductPlugin::showInstallerHelp() {
    UrlOpener::open(SharedProductPluginUtilities::sharedPluginUtilities().installerMenuHelpURL());
}

// ---------------------------------------------------------------------------
// JHWProductPlugin

JHWProductPlugin::JHWProductPlugin(std::shared_ptr<platform::Clock> clock)
    : HVKProductPlugin(clock) {
    jhw_ = new JHWInstallViewController;
    jhw_->setObjectName(QStringLiteral("jhwInstallViewController"));
    // The agreement view's name field is this plug-in's own name label.
    productNameLabel_ = jhw_->productNameText;
    productNameLabel_->setObjectName(QStringLiteral("productNameLabel"));
    left_ = new LeftNavigationViewController(nullptr, clock_);
    animation_ = std::make_unique<AnimationHolder>(clock_);
    haveProgressAnimations_ = false;
}

JHWProductPlugin::~JHWProductPlugin() {
    delete jhw_.data();
    delete left_.data();
}

bool JHWProductPlugin::respondsTo(IFPluginOperation operation) const {
    if (operation == IFPluginOperation::shouldEnableWelcomeText) return true;
    return HVKProductPlugin::respondsTo(operation);
}

ProgressAnimationViewController* JHWProductPlugin::animationViewController() const {
    return animation_->controller.get();
}
LeftNavigationViewController* JHWProductPlugin::leftNavigationViewController() const {
    return left_;
}

QWidget* JHWProductPlugin::centerView() {
    auto bundle = platform::Bundle::mainBundle();
    std::string name =
        MainWindowController::sharedMainMenuController()->productName().toStdString();
    productNameLabel_->setText(bundle
                                   ? QString::fromStdString(bundle->localizedString(name, "", ""))
                                   : QString::fromStdString(name));
    productNameLabel_->setVisible(!productNameLabel_->text().isEmpty());
    return jhw_;
}

QWidget* JHWProductPlugin::leftNavigationView() {
    left_->setCenterBarNeutralImageName(QStringLiteral("bg-status-neutral-grey"));
    setTitles(localized("Pelgrave"), localized("Installer"));
    return left_;
}

const QImage* JHWProductPlugin::getProductFooterLogoImageAndSize(IFPluginSize* size,
                                                                 const std::string& name) {
    return footerImage(footerLogo_, size, name, 136, 36);
}

void JHWProductPlugin::showTKMQInstallerHelp() {
    UrlOpener::open(SharedProductPluginUtilities::sharedPluginUtilities().installerMenuHelpURL());
}

void registerProductPlugins() {
    PluginRegistry::registerPlugin("HVKProductPlugin",
                                   [] { return std::make_shared<HVKProductPlugin>(); });
    PluginRegistry::registerPlugin("JHWProductPlugin",
                                   [] { return std::make_shared<JHWProductPlugin>(); });
}
