#include "Controllers/InstallProgressViewController.h"

#include <QVBoxLayout>

#include "Controllers/Core/InstallEngine.h"
#include "Controllers/IFPluginProtocol.h"
#include "Controllers/MainWindowController.h"
#include "Controllers/ShellSupport.h"
#include "Engine/PelInstallAppUtilities.h"
#include "Engine/PelRequirement.h"
#include "Foundation/PelLogging.h"
#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Text/Format.h"

namespace {

MainWindowController* mainWindow() { return MainWindowController::sharedMainMenuController(); }

// Runs `block` on the main queue (the engine calls from its own queue),
// unless the screen that was called is gone by then.
void onMain(const InstallProgressViewController* screen, std::function<void()> block) {
    platform::MainQueue::shared()->async([screen, block = std::move(block)] {
        if (!MainWindowController::hasSharedInstance() ||
            mainWindow()->installProgressViewController() != screen)
            return;
        block();
    });
}

QString requirementText(const std::shared_ptr<PelRequirement>& requirement) {
    if (!requirement)
        return shell::sharedText(
            "Installation failed due to technical reasons. Please contact Support.");
    return QString::fromStdString(
        PelInstallAppUtilities::localizedStringForRequirement(*requirement));
}

}  // namespace

InstallProgressViewController::InstallProgressViewController(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("installProgressView"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(60, 160, 60, 80);
    auto* title = new QLabel(shell::sharedText("Installing"), this);
    title->setObjectName(QStringLiteral("installTitle"));
    QFont font = title->font();
    font.setPointSize(24);
    title->setFont(font);
    progressStatusText = new QLabel(this);
    progressStatusText->setObjectName(QStringLiteral("progressStatusText"));
    layout->addWidget(title, 0, Qt::AlignHCenter);
    layout->addWidget(progressStatusText, 0, Qt::AlignHCenter);
    layout->addStretch(1);
}

void InstallProgressViewController::performInstallWithPackages(const platform::Array& packages,
                                                               const platform::Array& tools,
                                                               bool /*animate*/) {
    QString prompt = shell::sharedText("A helper tool is needed to install your %@ Product.\n\n");
    prompt.replace(QStringLiteral("%@"), shell::brandWord());
    mainWindow()->switchCenterBoxView(
        this, true, [this, packages, tools, prompt = prompt.toStdString()] {
            auto engine = InstallEngine::shared();
            if (!engine) {
                PelLogging::logErrorMessage("No install engine in this build");
                installFailedWithMissingBasePackage();
                return;
            }
            engine->performInstallWithMultiplePackages(packages, mainWindow()->productPlugin(),
                                                       this, tools, prompt, std::nullopt);
        });
}

bool InstallProgressViewController::respondsTo(InstallProgressOperation operation) const {
    switch (operation) {
        case InstallProgressOperation::installFailedWithRequirement:
        case InstallProgressOperation::installComplete:
        case InstallProgressOperation::installWarningWithRequirement:
        case InstallProgressOperation::installFailedWithAuthorization:
        case InstallProgressOperation::installFailedWithHelperTool:
        case InstallProgressOperation::installFailedWithMissingBasePackage:
        case InstallProgressOperation::requirementsCompleted:
            return true;
        default:
            return false;
    }
}

void InstallProgressViewController::installFailedWithRequirement(
    const std::shared_ptr<PelRequirement>& requirement) {
    onMain(this, [requirement] {
        mainWindow()->showErrorScreen(requirementText(requirement), requirement);
    });
}

void InstallProgressViewController::installComplete(int status) {
    onMain(this, [status] { mainWindow()->closingScreen(status == 304); });
}

void InstallProgressViewController::installWarningWithRequirement(
    const std::shared_ptr<PelRequirement>& requirement) {
    onMain(this, [requirement] {
        mainWindow()->showWarningScreen(requirementText(requirement), requirement);
    });
}

void InstallProgressViewController::installFailedWithAuthorization() {
    onMain(this, [] {
        mainWindow()->showWarningScreen(
            shell::sharedText("The installation failed due to insufficient privileges."), nullptr);
    });
}

void InstallProgressViewController::installFailedWithHelperTool(const platform::Error&) {
    onMain(this, [] {
        mainWindow()->showErrorScreen(shell::sharedText(
            "Installation failed due to technical reasons. Please contact Support."));
    });
}

void InstallProgressViewController::installFailedWithMissingBasePackage() {
    onMain(this, [] {
        mainWindow()->showWarningScreen(
            shell::sharedText("Your installer is either corrupted or missing important resources. "
                              "Please try again later or <A action=\"openSupport:\">contact "
                              "Support</A>."),
            nullptr);
    });
}

void InstallProgressViewController::requirementsCompleted() {
    onMain(this, [] { mainWindow()->disableCloseButton(); });
}
