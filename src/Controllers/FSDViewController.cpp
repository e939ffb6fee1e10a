#include "Controllers/FSDViewController.h"

#include <QPointer>
#include <QVBoxLayout>

#include "Controllers/Core/FSDFacade.h"
#include "Controllers/Core/PelFSDPaths.h"
#include "Controllers/IFPluginProtocol.h"
#include "Controllers/MainWindowController.h"
#include "Controllers/ShellSupport.h"
#include "Engine/PelInstallAppUtilities.h"
#include "Foundation/PelLogging.h"
#include "Foundation/PelPathUtils.h"
#include "OstrelUI/Controls/OstrelUIProgressIndicator.h"
#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Text/Format.h"

namespace {

constexpr const char* kCannotDownload =
    "We are sorry. We are unable to download the support packages that are required to complete "
    "this installation of your product. Please contact Support.";
constexpr const char* kCheckConnection =
    "We were unable to download the support packages. Please check your internet connection and "
    "try again.";
constexpr const char* kMissingBasePackage =
    "Your %@ product requires a base package that is missing from this computer. For more "
    "information, <A action=\"openSupport:\">contact Support</A>.";

MainWindowController* mainWindow() { return MainWindowController::sharedMainMenuController(); }

std::shared_ptr<IFPluginProtocol> pluginFor(IFPluginOperation operation) {
    auto plugin = mainWindow()->productPlugin();
    return plugin && plugin->respondsTo(operation) ? plugin : nullptr;
}

}  // namespace

/// One downloader's delegate: forwards while it is the screen's current one,
/// so that callbacks still queued from a cancelled downloader do nothing.
class FSDViewController::Relay : public PelFSDProtocol {
  public:
    explicit Relay(FSDViewController* screen) : screen_(screen) {}
    void retire() { screen_ = nullptr; }

    bool respondsTo(PelFSDOperation operation) const override {
        return operation != PelFSDOperation::downloadDidCreateDestination;
    }
    void numberOfJobs(unsigned long jobs, unsigned long files) override {
        if (screen_) screen_->numberOfJobs(jobs, files);
    }
    void downloadDidFinish() override {
        if (screen_) screen_->downloadDidFinish();
    }
    void downloadDidFailWithError(const platform::Error& error) override {
        if (screen_) screen_->downloadDidFailWithError(error);
    }
    void downloadDidBegin() override {
        if (screen_) screen_->downloadDidBegin();
    }
    void downloadSize(long bytes) override {
        if (screen_) screen_->downloadSize(bytes);
    }
    void downloadWithDataOfLength(std::uint64_t bytes) override {
        if (screen_) screen_->downloadWithDataOfLength(bytes);
    }

  private:
    FSDViewController* screen_;
};

FSDViewController::FSDViewController(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("fsdView"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(60, 160, 60, 80);
    layout->setSpacing(16);
    auto* title = new QLabel(shell::sharedText("Downloading"), this);
    title->setObjectName(QStringLiteral("downloadTitle"));
    QFont font = title->font();
    font.setPointSize(24);
    title->setFont(font);
    downloadIndicator = new ostrelui::OstrelUIProgressIndicator(this);
    downloadIndicator->setObjectName(QStringLiteral("downloadIndicator"));
    downloadIndicator->setFixedHeight(12);
    downloadStatus = new QLabel(this);
    downloadStatus->setObjectName(QStringLiteral("downloadStatus"));
    packageCount = new QLabel(this);
    packageCount->setObjectName(QStringLiteral("packageCount"));
    layout->addWidget(title, 0, Qt::AlignHCenter);
    layout->addWidget(downloadIndicator);
    layout->addWidget(downloadStatus, 0, Qt::AlignHCenter);
    layout->addWidget(packageCount, 0, Qt::AlignHCenter);
    layout->addStretch(1);
}

FSDViewController::~FSDViewController() {
    for (auto& relay : relays_) relay->retire();
}

PelFSDProtocol* FSDViewController::currentRelay() const {
    return relays_.empty() ? nullptr : relays_.back().get();
}

QString FSDViewController::toMb(std::uint64_t bytes) {
    return QString::fromStdString(
        platform::format("%0.2f MB", static_cast<double>(static_cast<float>(bytes) / 1000000.0f)));
}

void FSDViewController::performFSDDownloadOnly() {
    isFSDDownloadOnly_ = true;
    startFSD();
}

void FSDViewController::failWithGenericError() {
    errorString_ = shell::sharedText(kCannotDownload);
    mainWindow()->showFSDErrorScreen(*errorString_);
    if (auto plugin = pluginFor(IFPluginOperation::downloadFSDFailedWithError))
        plugin->downloadFSDFailedWithError(errorString_->toStdString());
}

void FSDViewController::startFSD() {
    const std::string folder = fsdDownloadFolder();
    auto utilities = PelInstallAppUtilities::sharedUtilities();
    if (!utilities || !utilities->isFSDBasedInstall()) {
        if (isFSDDownloadOnly_)
            if (auto plugin = pluginFor(IFPluginOperation::downloadFSDFailedWithError))
                plugin->downloadFSDFailedWithError(errorString_ ? errorString_->toStdString()
                                                                : std::string());
        return;
    }
    auto* main = mainWindow();
    // A new downloader: the previous one's late callbacks go nowhere.
    for (auto& relay : relays_) relay->retire();
    relays_.push_back(std::make_unique<Relay>(this));
    finished_ = false;
    totalFileCount_ = UtotalFiles_ = 0;
    totalJobCount_ = UtotalJobs_ = 0;
    platform::Error error;
    fsd_ = FSDFacade::createFSD(utilities->manifestPath(), utilities->sigPath(), folder,
                                relays_.back().get(), main->fsdPingUtils(), &error);
    if (!fsd_) {
        PelLogging::logErrorMessageWithFormat(
            "Error occurred: Error Domain:%@ \n Error Code:%ld \n Error Info:%@", error.domain(),
            error.code(), platform::Value(error.userInfo()));
        failWithGenericError();
        return;
    }
    if (auto plugin = main->productPlugin()) plugin->setProgressStatus(6);
    std::weak_ptr<FSDFacade> started = fsd_;
    QPointer<FSDViewController> self(this);
    main->switchCenterBoxView(this, true, [self, started] {
        auto fsd = started.lock();
        if (!self || !fsd || fsd != self->fsd_ || self->finished_) return;
        fsd->startFSDDownload();
        self->downloadIndicator->setIndeterminate(false);
        self->downloadIndicator->startAnimation(self.data());
        mainWindow()->showProgressAnimation();
    });
}

bool FSDViewController::respondsTo(PelFSDOperation operation) const {
    return operation != PelFSDOperation::downloadDidCreateDestination;
}

void FSDViewController::numberOfJobs(unsigned long jobs, unsigned long files) {
    UtotalJobs_ = totalJobCount_ = jobs;
    UtotalFiles_ = totalFileCount_ = files;
    PelLogging::logNoticeMessageWithFormat(
        "Number of Jobs : %ld Total Number of Files to download %ld", jobs, files);
    if (files > 0) return;
    // Nothing would ever finish: a job without package files. The downloader
    // may still be in the making, so the error comes on the next turn.
    const std::size_t generation = relays_.size();
    QPointer<FSDViewController> self(this);
    platform::MainQueue::shared()->async([self, generation] {
        if (!self || self->relays_.size() != generation || self->finished_) return;
        PelLogging::logErrorMessage("The download has no files");
        self->relays_.back()->retire();
        self->finished_ = true;
        if (self->fsd_) self->fsd_->cancelFSDDownload();
        self->failWithGenericError();
    });
}

void FSDViewController::downloadDidBegin() {
    show();
    downloadSize_ = 0;
    downloadIndicator->setMinValue(0);
    downloadIndicator->setIndeterminate(false);
    const std::uint64_t current =
        totalFileCount_ >= UtotalFiles_ ? totalFileCount_ - UtotalFiles_ + 1 : 1;
    downloadStatus->setText(QString::fromStdString(platform::format(
        shell::sharedText("Package %1$@ of %2$@").toStdString(), current, totalFileCount_)));
}

void FSDViewController::downloadSize(long bytes) {
    // An unknown length (0 or less) leaves the bar indeterminate.
    if (bytes <= 0) {
        downloadSize_ = 0;
        downloadIndicator->setIndeterminate(true);
        return;
    }
    downloadSize_ = static_cast<std::uint64_t>(bytes);
    PelLogging::logDebugMessageWithFormat("Downloading bytes 0 out of %@",
                                          toMb(downloadSize_).toStdString());
    downloadIndicator->setMaxValue(static_cast<double>(bytes));
}

void FSDViewController::downloadWithDataOfLength(std::uint64_t bytes) {
    const std::uint64_t received = bytes;
    if (downloadSize_ > 0) downloadIndicator->setDoubleValue(static_cast<double>(received));
    PelLogging::logDebugMessageWithFormat("Downloading %@ out of %@", toMb(received).toStdString(),
                                          toMb(downloadSize_).toStdString());
}

void FSDViewController::downloadDidCreateDestination(const std::string&) {}

void FSDViewController::downloadDidFinish() {
    if (finished_ || UtotalFiles_ == 0) {
        PelLogging::logNoticeMessage("Download finished with no file outstanding; ignored");
        return;
    }
    --UtotalFiles_;
    if (UtotalFiles_ > 0) {
        PelLogging::logNoticeMessageWithFormat("Remaining downloads:%ld", UtotalFiles_);
        return;
    }
    finished_ = true;
    PelLogging::logNoticeMessage("All jobs downloaded");
    downloadIndicator->setIndeterminate(true);
    downloadIndicator->startAnimation(this);
    auto* main = mainWindow();
    if (fsd_) main->setBasePkgs(fsd_->packagePaths());
    if (isFSDDownloadOnly_) {
        if (auto plugin = pluginFor(IFPluginOperation::downloadFSDComplete))
            plugin->downloadFSDComplete(true);
        return;
    }
    main->setFSDDownloadComplete(true);
    if (main->basePkgs() &&
        PelPathUtils::sharedPathUtils().filesExistAtPathInArray(*main->basePkgs())) {
        main->performInstallOnly();
        return;
    }
    errorString_ = QString::fromStdString(platform::format(
        shell::sharedText(kMissingBasePackage).toStdString(), shell::brandWord().toStdString()));
    main->showFSDErrorScreen(*errorString_);
}

void FSDViewController::downloadDidFailWithError(const platform::Error&) {
    downloadIndicator->setMinValue(0);
    downloadIndicator->setDoubleValue(0);
    downloadIndicator->setIndeterminate(false);
    errorString_ = shell::sharedText(kCheckConnection);
    mainWindow()->showFSDWarningScreen(*errorString_);
    if (auto plugin = pluginFor(IFPluginOperation::downloadFSDFailedWithError))
        plugin->downloadFSDFailedWithError(errorString_->toStdString());
}
