#include "Controllers/InstallProgressViewController.h"

#include <unistd.h>

#include <QPointer>
#include <QVBoxLayout>
#include <atomic>
#include <chrono>
#include <filesystem>

#include "Controllers/Core/FSDFacade.h"
#include "Controllers/Core/InstallEngine.h"
#include "Controllers/FSDViewController.h"
#include "Controllers/IFPluginProtocol.h"
#include "Controllers/MainWindowController.h"
#include "Controllers/ShellSupport.h"
#include "Downloader/PelInstallPingUtils.h"
#include "Engine/PelInstallAppUtilities.h"
#include "Engine/PelRequirement.h"
#include "Engine/PelSystemInstaller.h"
#include "Foundation/PelLogging.h"
#include "OstrelUI/Controls/OstrelUIGuard.h"
#include "OstrelUI/Controls/OstrelUIProgressIndicator.h"
#include "Platform/Dispatch/MainQueue.h"
#include "Platform/System/Paths.h"
#include "Platform/Text/Format.h"

namespace {

constexpr const char* kMissingBasePackage =
    "Your installer is either corrupted or missing important resources. Please try again later "
    "or <A action=\"openSupport:\">contact Support</A>.";

MainWindowController* mainWindow() { return MainWindowController::sharedMainMenuController(); }

// One install per process: the package count, the start time and the
// first-percent actions are never reset.
std::atomic<std::uint64_t> gPackageCount{0};
std::once_flag gFirstPercent;
std::mutex gStartMutex;
std::optional<platform::TimePoint> gStartTime;

std::shared_ptr<PelInstallPingUtils> pingsWithUParam() {
    auto* main = mainWindow();
    auto pings = main->installPingUtils();
    if (pings) pings->setUParamValue(static_cast<unsigned long>(main->uiOptionsClicked()));
    return pings;
}

std::string reqIDText(const PelRequirement& requirement) {
    const platform::Value& id = requirement.reqID();
    if (const std::string* s = id.asString()) return *s;
    return id.description();
}

bool dictionaryHasKey(const platform::Value& value, std::string_view key) {
    const platform::Value* found = value.get(key);
    return found && !found->isNull();
}

}  // namespace

InstallProgressViewController::InstallProgressViewController(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("installProgressView"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(60, 160, 60, 80);
    layout->setSpacing(16);
    auto* title = new QLabel(shell::sharedText("Installing"), this);
    title->setObjectName(QStringLiteral("installTitle"));
    QFont font = title->font();
    font.setPointSize(24);
    title->setFont(font);
    progressBar = new ostrelui::OstrelUIProgressIndicator(this);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setFixedHeight(12);
    progressStatusText = new QLabel(this);
    progressStatusText->setObjectName(QStringLiteral("progressStatusText"));
    layout->addWidget(title, 0, Qt::AlignHCenter);
    layout->addWidget(progressBar);
    layout->addWidget(progressStatusText, 0, Qt::AlignHCenter);
    layout->addStretch(1);
}

std::uint64_t InstallProgressViewController::packageCount() { return gPackageCount.load(); }

std::optional<std::string> InstallProgressViewController::installPhaseString() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return installPhaseString_;
}

std::optional<platform::Dictionary>
InstallProgressViewController::mandatoryPackageInstallFailureData() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return mandatoryPackageInstallFailureData_;
}

void InstallProgressViewController::onMain(std::function<void()> block) {
    QPointer<InstallProgressViewController> self(this);
    platform::MainQueue::shared()->async([self, block = std::move(block)] {
        if (self) ostrelui::guarded(block)();
    });
}

void InstallProgressViewController::performInstallWithPackages(const platform::Array& packages,
                                                               const platform::Array& tools,
                                                               bool animate) {
    auto* main = mainWindow();
    auto plugin = main->productPlugin();
    // The step list says "Installing" as the centre does, at once; with
    // animation the list's install-start handler still starts the install
    // (its row runs the handler whether its text changed or not).
    if (plugin) plugin->setProgressStatus(7);
    gPackageCount = packages.size();
    packagesCompleted(0);
    progressBar->setMinValue(0.0);
    progressBar->setMaxValue(100.0);
    progressBar->startAnimation(this);
    progressBar->setIndeterminate(false);
    progressBar->setDoubleValue(0.0);
    progressStatusText->show();
    show();
    QString prompt = shell::sharedText("A helper tool is needed to install your %@ Product.\n\n");
    std::string text = platform::format(prompt.toStdString(), shell::brandWord().toStdString());
    {
        std::lock_guard<std::mutex> lock(gStartMutex);
        // Until a percent arrives, the elapsed time counts from here.
        if (!gStartTime) gStartTime = (clock_ ? clock_ : platform::defaultClock())->now();
    }
    QPointer<InstallProgressViewController> self(this);
    main->switchCenterBoxView(this, true, [self, packages, tools, text, animate] {
        if (!self) return;
        auto plugin = mainWindow()->productPlugin();
        if (animate && plugin &&
            plugin->respondsTo(
                IFPluginOperation::setInstallationProgressStatusWithCompletionHandler)) {
            plugin->setInstallationProgressStatusWithCompletionHandler(
                [self, packages, tools, text] {
                    if (self) self->startInstall(packages, tools, text);
                });
            return;
        }
        self->startInstall(packages, tools, text);
    });
}

void InstallProgressViewController::startInstall(const platform::Array& packages,
                                                 const platform::Array& tools,
                                                 const std::string& prompt) {
    auto engine = InstallEngine::shared();
    if (!engine) {
        PelLogging::logErrorMessage("No install engine in this build");
        installFailedWithMissingBasePackage();
        return;
    }
    engine->performInstallWithMultiplePackages(packages, mainWindow()->productPlugin(), this, tools,
                                               prompt, std::nullopt);
}

bool InstallProgressViewController::respondsTo(InstallProgressOperation operation) const {
    return operation != InstallProgressOperation::installCompleteReason;
}

void InstallProgressViewController::firstPercent() {
    progressBar->setIndeterminate(false);
    {
        std::lock_guard<std::mutex> lock(gStartMutex);
        gStartTime = (clock_ ? clock_ : platform::defaultClock())->now();
    }
    if (auto pings = pingsWithUParam()) pings->sendInstallBegin();
    mainWindow()->showProgressAnimation();
}

void InstallProgressViewController::installProgressPercent(double percent) {
    onMain([this, percent] {
        std::call_once(gFirstPercent, [this] { firstPercent(); });
        progressBar->setDoubleValue(percent);
    });
}

void InstallProgressViewController::packagesCompleted(std::uint64_t count) {
    QString line = shell::sharedText("Package %1$@ of %2$@");
    QString text = QString::fromStdString(
        platform::format(line.toStdString(), count + 1, gPackageCount.load()));
    if (platform::MainQueue::shared()->isCurrent()) {
        progressStatusText->setText(text);
        return;
    }
    onMain([this, text] { progressStatusText->setText(text); });
}

void InstallProgressViewController::installProgressPhaseString(const std::string& phase) {
    std::lock_guard<std::mutex> lock(mutex_);
    installPhaseString_ = phase;
}

void InstallProgressViewController::sendInstallFailedPingForOptionalPackage(
    const platform::Dictionary& info) {
    if (auto pings = mainWindow()->installPingUtils()) pings->sendInstallOptionalFailed(info);
}

void InstallProgressViewController::setInstallFailedPingDataForMandatoryPackage(
    const platform::Dictionary& info) {
    std::lock_guard<std::mutex> lock(mutex_);
    mandatoryPackageInstallFailureData_ = info;
}

void InstallProgressViewController::requirementsCompleted() {
    onMain([] { mainWindow()->disableCloseButton(); });
}

void InstallProgressViewController::installComplete(int status) {
    onMain([this, status] {
        auto pings = pingsWithUParam();
        if (status == 304) {
            std::optional<platform::TimePoint> start;
            {
                std::lock_guard<std::mutex> lock(gStartMutex);
                start = gStartTime;
            }
            const platform::TimePoint now = (clock_ ? clock_ : platform::defaultClock())->now();
            const auto elapsed =
                start ? std::chrono::duration_cast<std::chrono::milliseconds>(now - *start).count()
                      : 0;
            if (pings) pings->sendInstallSuccessWithTime(static_cast<int>(elapsed));
            notifyAndWriteFSDInformation();
            mainWindow()->closingScreen(true);
            return;
        }
        std::error_code ec;
        const bool installerExists = std::filesystem::exists(pelSystemInstallerPath(), ec);
        if (pings) {
            if (status == 305) {
                pings->sendInstallFailed(-375, "installer timed out");
            } else if (installerExists) {
                auto data = mandatoryPackageInstallFailureData();
                if (data) {
                    pings->sendInstallMandatoryFailed(-381, *data);
                } else {
                    auto phase = installPhaseString();
                    pings->sendInstallFailed(
                        -396, phase ? std::optional<std::string_view>(*phase) : std::nullopt);
                }
            } else {
                pings->sendInstallFailed(-373, "Installer /usr/sbin/installer is missing");
            }
        }
        mainWindow()->closingScreen(false);
    });
}

void InstallProgressViewController::notifyAndWriteFSDInformation() {
    auto utilities = PelInstallAppUtilities::sharedUtilities();
    if (!utilities || !utilities->isFSDBasedInstall()) {
        PelLogging::logDebugMessage("Not FSD based layout so don't need to copy FSD manifest");
        return;
    }
    auto* main = mainWindow();
    auto plugin = main->productPlugin();
    if (!plugin) return;
    std::optional<std::string> folder;
    if (plugin->respondsTo(IFPluginOperation::manifestLocation)) {
        // The plug-in names a system folder: it lies under the path root too.
        std::string location = plugin->manifestLocation();
        if (!location.empty()) folder = platform::Paths::resolve(location);
    }
    if (!plugin->respondsTo(IFPluginOperation::manifestAvailable)) return;
    if (!folder) {
        const std::string relative = "Library/Application Support/Pelgrave/Manifest";
        folder = getegid() == 0 ? platform::Paths::resolve("/" + relative)
                                : platform::Paths::join(platform::Paths::homeDirectory(), relative);
    }
    bool written = false;
    FSDViewController* screen = main->fsdViewController();
    if (screen && screen->fsd()) {
        platform::Error error;
        written = screen->fsd()->writeFSDInformation(folder, &error);
        if (!written)
            PelLogging::logErrorMessageWithFormat(
                "Error occurred while writing FSD information at %@", *folder);
    }
    plugin->manifestAvailable(written ? *folder : std::string());
}

void InstallProgressViewController::installFailedWithRequirement(
    const std::shared_ptr<PelRequirement>& requirement) {
    if (!requirement) {
        // A failure without its requirement must still end on a screen, or
        // the window would wait forever; a plug-in that failed its own
        // requirements has shown its screen already.
        onMain([] {
            if (mainWindow()->switchedSinceRequirementCheck()) return;
            mainWindow()->showErrorScreen(shell::sharedText(
                "Installation failed due to technical reasons. Please contact Support."));
            if (auto pings = pingsWithUParam()) pings->sendInstallFailed(-400, std::nullopt);
        });
        return;
    }
    if (!requirement->isAppHandler()) return;
    onMain([requirement] {
        auto* main = mainWindow();
        QString text = QString::fromStdString(
            PelInstallAppUtilities::localizedStringForRequirement(*requirement));
        const bool internet = requirement->icType() == "Misc" &&
                              dictionaryHasKey(requirement->icDic(), "IsInternetRequired");
        const platform::Value* imType = requirement->icDic().get("IMType");
        const bool competitive = requirement->icType() == "InstallMatrix" && imType &&
                                 imType->asString() && *imType->asString() == "INSTALL_COMPETITIVE";
        if (internet)
            main->showErrorScreen(text);
        else if (competitive)
            main->showCompetitiveErrorScreen(text);
        else
            main->showErrorScreen(text, requirement);
        if (auto pings = pingsWithUParam())
            pings->sendInstallFailed(competitive ? -374 : -400, reqIDText(*requirement));
    });
}

void InstallProgressViewController::installWarningWithRequirement(
    const std::shared_ptr<PelRequirement>& requirement) {
    if (!requirement || !requirement->isAppHandler()) return;
    onMain([requirement] {
        mainWindow()->showWarningScreen(
            QString::fromStdString(
                PelInstallAppUtilities::localizedStringForRequirement(*requirement)),
            requirement);
    });
}

void InstallProgressViewController::installFailedWithAuthorization() {
    onMain([] {
        mainWindow()->showWarningScreen(
            shell::sharedText("The installation failed due to insufficient privileges."), nullptr);
        if (auto pings = pingsWithUParam())
            pings->sendInstallFailed(-399, "Insufficient Privileges");
    });
}

void InstallProgressViewController::installFailedWithHelperTool(const platform::Error* error) {
    std::string reason = "Failed to launch helper";
    if (error)
        reason = error->underlyingError() ? error->underlyingError()->localizedFailureReason()
                                          : error->localizedDescription();
    onMain([reason] {
        mainWindow()->showErrorScreen(shell::sharedText(
            "Installation failed due to technical reasons. Please contact Support."));
        if (auto pings = pingsWithUParam()) pings->sendInstallFailed(-398, reason);
    });
}

void InstallProgressViewController::installFailedWithMissingBasePackage() {
    onMain([] {
        QString text = shell::sharedText(kMissingBasePackage);
        PelLogging::logErrorMessageWithFormat("Error:%@", text.toStdString());
        if (auto pings = pingsWithUParam()) pings->sendInstallFailed(-397, kMissingBasePackage);
        mainWindow()->showWarningScreen(text, nullptr);
    });
}
