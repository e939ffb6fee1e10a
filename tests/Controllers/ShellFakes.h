// Fakes of the screens' seams: the install engine, the downloader and a
// product plug-in, plus a fixture bundle.
#pragma once

#include <QImage>
#include <QLabel>
#include <QPointer>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Controllers/Core/FSDFacade.h"
#include "Controllers/Core/InstallEngine.h"
#include "Controllers/Core/KextAssistantClient.h"
#include "Controllers/IFPluginProtocol.h"
#include "Downloader/PelFSDProtocol.h"
#include "Engine/InstallProgressProtocol.h"
#include "Engine/PelRequirement.h"
#include "OstrelUI/Controls/AttributedText.h"
#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Values/PropertyList.h"
#include "support/TempDir.h"

namespace shelltest {

/// An install engine whose requirement check answers as told and whose
/// install plays a script of callbacks on "com.xpcinstall.serial.queue",
/// then lets the plug-in finish: installComplete(304) follows only the
/// plug-in's pluginFinished().
class FakeInstallEngine : public InstallEngine, public IFPluginDelegate {
  public:
    using Step = std::function<void(InstallProgressProtocol&)>;

    bool checkPasses = true;
    bool completes = true;  // false: the install runs until the test ends
    std::shared_ptr<PelRequirement> failedRequirement;
    std::vector<Step> script;  // run before the plug-in is asked to finish
    int requirementChecks = 0;
    int installs = 0;
    platform::Array lastPackages;

    FakeInstallEngine() : queue_(platform::SerialQueue::create("com.xpcinstall.serial.queue")) {}

    bool performRequirementsCheck(const std::optional<std::string>&,
                                  const std::shared_ptr<IFPluginProtocol>&,
                                  InstallProgressProtocol* progress,
                                  std::shared_ptr<PelRequirement>* outRequirement,
                                  platform::Error*) override {
        ++requirementChecks;
        if (beforeCheckReturns) beforeCheckReturns();
        if (!checkPasses && progress) progress->installFailedWithRequirement(failedRequirement);
        if (progress && progress->respondsTo(InstallProgressOperation::requirementsCompleted))
            progress->requirementsCompleted();
        if (outRequirement) *outRequirement = checkPasses ? nullptr : failedRequirement;
        return checkPasses;
    }

    void performInstallWithMultiplePackages(const platform::Array& packages,
                                            const std::shared_ptr<IFPluginProtocol>& plugin,
                                            InstallProgressProtocol* progress,
                                            const platform::Array&,
                                            const std::optional<std::string>&,
                                            const std::optional<std::string>&) override {
        ++installs;
        lastPackages = packages;
        progress_ = progress;
        finished_ = false;
        std::vector<Step> steps = script;
        queue_->async([this, steps, plugin, progress] {
            for (const Step& step : steps) step(*progress);
            if (!completes) return;
            if (plugin && plugin->respondsTo(IFPluginOperation::installCompleteWithDelegate))
                plugin->installCompleteWithDelegate(true, this);
            else
                pluginFinished(true);
        });
    }

    void pluginFinished(bool success) override {
        if (finished_.exchange(true)) return;
        queue_->async([this, success] { progress_->installComplete(success ? 304 : 302); });
    }

    /// Runs inside the requirement check (a dialog of the plug-in, say).
    std::function<void()> beforeCheckReturns;

    void waitIdle() {
        queue_->sync([] {});
    }

  private:
    std::shared_ptr<platform::SerialQueue> queue_;
    InstallProgressProtocol* progress_ = nullptr;
    std::atomic<bool> finished_{false};
};

/// A requirement check that, like the requirement container, hands the
/// plug-in its own requirements (an older product of the maker's, so the
/// upgrade rules lead to the removal prompt) and reports its NO without a
/// requirement.
class PluginCheckEngine : public FakeInstallEngine {
  public:
    IFPluginProtocol::Requirements requirements{PelRequirement::createRequirement(
        "PLUGIN", nullptr, platform::Value(), "InstallMatrix", platform::Value(1),
        platform::Value(platform::Dictionary{{"IMType", "INSTALL_UPGRADE"},
                                             {"PRODUCT_ID", "com.pelgrave.brenmoor"}}),
        nullptr)};

    bool performRequirementsCheck(const std::optional<std::string>&,
                                  const std::shared_ptr<IFPluginProtocol>& plugin,
                                  InstallProgressProtocol* progress,
                                  std::shared_ptr<PelRequirement>* outRequirement,
                                  platform::Error*) override {
        ++requirementChecks;
        const bool passed = !plugin->respondsTo(IFPluginOperation::runRequirementsWithPlugin) ||
                            plugin->runRequirementsWithPlugin(requirements);
        if (!passed) progress->installFailedWithRequirement(nullptr);
        progress->requirementsCompleted();
        if (outRequirement) *outRequirement = nullptr;
        return passed;
    }
};

/// A downloader that records its calls; the set-up file's outcome is
/// delivered when the test says so.
class FakeFSD : public FSDFacade {
  public:
    bool setupStarts = true;
    platform::Error setupError;
    SetupCompletion pendingSetup;
    int starts = 0;
    int cancels = 0;
    platform::Array packages;
    PelFSDProtocol* delegate = nullptr;

    bool performSetupInstallerFile(platform::Error* error, SetupCompletion completion) override {
        if (!setupStarts) {
            if (error) *error = setupError;
            return false;
        }
        pendingSetup = std::move(completion);
        return true;
    }
    void startFSDDownload() override { ++starts; }
    void cancelFSDDownload() override { ++cancels; }
    bool writeFSDInformation(const std::optional<std::string>&, platform::Error*) override {
        return true;
    }
    platform::Array packagePaths() const override { return packages; }
    SetupFileNames setupNames;
    SetupFileNames setupInstallerFileNames() const override { return setupNames; }

    /// Ends the set-up download on the main queue.
    void finishSetup(bool success, std::optional<std::string> requirements,
                     std::optional<std::string> logo, std::optional<platform::Error> error) {
        auto completion = std::exchange(pendingSetup, nullptr);
        platform::MainQueue::shared()->async(
            [=] { completion(success, requirements, logo, error ? &*error : nullptr); });
    }
};

/// A product plug-in with a welcome view and a step list.
class FakePlugin : public IFPluginProtocol {
  public:
    std::set<IFPluginOperation> implemented = {IFPluginOperation::centerView,
                                               IFPluginOperation::leftNavigationView,
                                               IFPluginOperation::setProgressStatus,
                                               IFPluginOperation::installCompleteWithDelegate,
                                               IFPluginOperation::installerWillTerminate,
                                               IFPluginOperation::setCenterPillarHealthStatus,
                                               IFPluginOperation::getSupportURL};
    std::vector<unsigned> statuses;
    std::vector<unsigned> pillarStatuses;
    int willTerminate = 0;
    std::string closingText;

    FakePlugin() {
        center_ = new QLabel(QStringLiteral("Welcome to the test product"));
        center_->setObjectName(QStringLiteral("pluginCenterView"));
        left_ = new QLabel(QStringLiteral("Steps"));
        left_->setObjectName(QStringLiteral("pluginLeftView"));
    }
    ~FakePlugin() override {
        delete center_.data();
        delete left_.data();
    }

    bool respondsTo(IFPluginOperation operation) const override {
        return implemented.count(operation) > 0;
    }
    QWidget* centerView() override { return center_; }
    QWidget* leftNavigationView() override { return left_; }
    void setProgressStatus(unsigned status) override { statuses.push_back(status); }
    void setCenterPillarHealthStatus(unsigned status) override { pillarStatuses.push_back(status); }
    void installCompleteWithDelegate(bool success, IFPluginDelegate* delegate) override {
        delegate->pluginFinished(success);
    }
    void installerWillTerminate() override { ++willTerminate; }
    std::string closingScreenText(bool) override { return closingText; }
    const QImage* getProductFooterLogoImageAndSize(IFPluginSize* size,
                                                   const std::string& name) override {
        if (name != footerName) return nullptr;
        *size = {134, 48};
        footer_ = QImage(134, 48, QImage::Format_ARGB32);
        footer_.fill(Qt::darkBlue);
        return &footer_;
    }
    std::string backgroundImageName() override { return background; }
    std::shared_ptr<const ostrelui::AttributedText> getAttributedProductTitle() override {
        if (title.isEmpty()) return nullptr;
        return std::make_shared<ostrelui::AttributedText>(ostrelui::AttributedText{title, {}});
    }
    std::string footerName = "footer";
    std::string background;
    QString title;

    std::vector<bool> windowHeights;
    void setIsWindowAtMaxHeight(bool atMax) override { windowHeights.push_back(atMax); }
    std::string leftImage;
    int leftImageAsked = 0;
    std::string leftBackgroundImage() override {
        ++leftImageAsked;
        return leftImage;
    }

    std::string getSupportURL(const std::shared_ptr<PelRequirement>&, bool fsdFailure) override {
        return fsdFailure ? "https://support.example/download" : "https://support.example/install";
    }

  private:
    QImage footer_;
    QPointer<QLabel> center_;
    QPointer<QLabel> left_;
};

/// A kernel-module helper client that answers as told: no approval screens
/// unless `showMessage`; load requests wait until the test replies.
class FakeKextClient : public KextAssistantClient {
  public:
    bool showMessage = false;
    bool observeSucceeds = true;
    bool loadedAlready = false;  // the module is there when observing starts
    int observations = 0;
    int shutdowns = 0;
    std::vector<bool> loadsWithReply;  // one entry per load request
    KextAssistantXPCClientDelegate* delegate = nullptr;

    void setDelegate(KextAssistantXPCClientDelegate* d) override { delegate = d; }
    bool shouldShowKextMessage() override { return showMessage; }
    void loadPelKextWithReply(LoadReply reply) override {
        loadsWithReply.push_back(static_cast<bool>(reply));
        if (reply) replies_.push_back(std::move(reply));
    }
    void shutdownHelper() override { ++shutdowns; }
    bool observingIOKitService(platform::Error* error) override {
        ++observations;
        if (!observeSucceeds) {
            if (error) *error = platform::Error("NSPOSIXErrorDomain", 24);
            return false;
        }
        observing_ = true;
        if (loadedAlready) moduleAppears();
        return true;
    }
    /// The watch sees the module: everything stops, then the delegate hears.
    void moduleAppears() {
        if (!observing_) return;
        observing_ = false;
        ++shutdowns;
        if (delegate) delegate->preferenceUpdated();
    }
    /// Answers the oldest waiting load request on the main queue.
    void reply(KextLoadStatus status) {
        if (replies_.empty()) return;
        LoadReply next = std::move(replies_.front());
        replies_.erase(replies_.begin());
        if (status == kKextLoadStatusFailed) observing_ = false;
        platform::MainQueue::shared()->async([next, status] { next(status); });
    }
    std::size_t waitingReplies() const { return replies_.size(); }

  private:
    bool observing_ = false;
    std::vector<LoadReply> replies_;
};

/// Writes an application bundle `<dir>/Apps/Test.app` with `info` as its
/// Info.plist; `withManifest` puts a download manifest pair beside it.
inline std::string writeBundle(const testsupport::TempDir& dir, platform::Dictionary info,
                               bool withManifest) {
    std::string plist = dir.write("Apps/Test.app/Contents/Info.plist", "");
    platform::PropertyList::toFile(platform::Value(std::move(info)), plist,
                                   platform::PropertyListFormat::XML, false, nullptr);
    dir.write("Apps/Test.app/Contents/Resources/placeholder", "");
    if (withManifest) {
        dir.write("Apps/.fsd/fsdmanifest.js", "{}");
        dir.write("Apps/.fsd/fsdmanifest-sig.txt", "sig");
    }
    return dir.file("Apps/Test.app");
}

}  // namespace shelltest
