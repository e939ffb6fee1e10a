#include "Controllers/FSDViewController.h"

#include <QVBoxLayout>

#include "Controllers/Core/FSDFacade.h"
#include "Controllers/Core/PelFSDPaths.h"
#include "Controllers/MainWindowController.h"
#include "Controllers/ShellSupport.h"
#include "Engine/PelInstallAppUtilities.h"
#include "Foundation/PelLogging.h"
#include "OstrelUI/Controls/OstrelUIGuard.h"

FSDViewController::FSDViewController(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("fsdView"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(60, 160, 60, 80);
    auto* title = new QLabel(shell::sharedText("Downloading"), this);
    title->setObjectName(QStringLiteral("downloadTitle"));
    QFont font = title->font();
    font.setPointSize(24);
    title->setFont(font);
    downloadStatus = new QLabel(this);
    downloadStatus->setObjectName(QStringLiteral("downloadStatus"));
    layout->addWidget(title, 0, Qt::AlignHCenter);
    layout->addWidget(downloadStatus, 0, Qt::AlignHCenter);
    layout->addStretch(1);
}

void FSDViewController::startFSD() {
    auto utilities = PelInstallAppUtilities::sharedUtilities();
    if (!utilities || !utilities->isFSDBasedInstall()) return;
    auto* main = MainWindowController::sharedMainMenuController();
    platform::Error error;
    fsd_ = FSDFacade::createFSD(utilities->manifestPath(), utilities->sigPath(),
                                fsdDownloadFolder(), this, main->fsdPingUtils(), &error);
    if (!fsd_) {
        PelLogging::logErrorMessageWithFormat(
            "Error occurred: Error Domain:%@ \n Error Code:%ld \n Error Info:%@", error.domain(),
            error.code(), platform::Value(error.userInfo()));
        main->showFSDErrorScreen(shell::sharedText(
            "We are sorry. We are unable to download the support packages that are required to "
            "complete this installation of your product. Please contact Support."));
        return;
    }
    std::weak_ptr<FSDFacade> started = fsd_;
    main->switchCenterBoxView(this, true, [started] {
        if (auto fsd = started.lock()) fsd->startFSDDownload();
        MainWindowController::sharedMainMenuController()->showProgressAnimation();
    });
}

bool FSDViewController::respondsTo(PelFSDOperation operation) const {
    return operation == PelFSDOperation::numberOfJobs ||
           operation == PelFSDOperation::downloadDidFinish ||
           operation == PelFSDOperation::downloadDidFailWithError;
}

void FSDViewController::numberOfJobs(unsigned long /*jobs*/, unsigned long files) {
    remainingFiles_ = files;
}

void FSDViewController::downloadDidFinish() {
    if (remainingFiles_ > 0) --remainingFiles_;
    if (remainingFiles_ > 0) return;
    auto* main = MainWindowController::sharedMainMenuController();
    if (fsd_) main->setBasePkgs(fsd_->packagePaths());
    main->setFSDDownloadComplete(true);
    main->performInstallOnly();
}

void FSDViewController::downloadDidFailWithError(const platform::Error& /*error*/) {
    MainWindowController::sharedMainMenuController()->showFSDWarningScreen(
        shell::sharedText("We were unable to download the support packages. Please check your "
                          "internet connection and try again."));
}
