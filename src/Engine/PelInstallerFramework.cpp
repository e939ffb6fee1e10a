#include "Engine/PelInstallerFramework.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "Engine/HelperToolUtils.h"
#include "Engine/PelInstallError.h"
#include "Engine/PelInstallXPCClient.h"
#include "Engine/PelRequirement.h"
#include "Engine/PelStandaloneInstaller.h"
#include "Foundation/PelLogging.h"
#include "Foundation/PelPathUtils.h"
#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/System/Bundle.h"

namespace {

bool responds(InstallProgressProtocol* p, InstallProgressOperation op) {
    return p && p->respondsTo(op);
}

bool conformsAndResponds(InstallProgressProtocol* p, InstallProgressOperation op) {
    return p && p->conformsToInstallProgressProtocol() && p->respondsTo(op);
}

bool pluginResponds(IFPluginProtocol* p, IFPluginOperation op) { return p && p->respondsTo(op); }

void logInstallError(const platform::Error& error) {
    PelLogging::logErrorMessageWithFormat(
        "Error occurred: Error Domain:%@ \n Error Code:%ld \n Error Info:%@", error.domain(),
        error.code(), platform::Value(error.userInfo()));
}

bool fileExists(const std::optional<std::string>& path) {
    return PelPathUtils::sharedPathUtils().fileExistsAtPath(path);
}

// Tells both parties that the installation ended with `status`.
void reportFailedLaunch(InstallProgressProtocol* progress, IFPluginProtocol* plugin) {
    if (responds(progress, InstallProgressOperation::installComplete))
        progress->installComplete(kPelInstallStatusFailed);
    if (pluginResponds(plugin, IFPluginOperation::installComplete)) plugin->installComplete(false);
}

}  // namespace

PelInstallerFramework& PelInstallerFramework::sharedInstallerFramework() {
    static PelInstallerFramework* framework = new PelInstallerFramework();
    return *framework;
}

PelInstallerFramework::PelInstallerFramework()
    : installQueue_(platform::SerialQueue::create("com.pelgrave.install.standalone")) {}

std::shared_ptr<PelRequirementsContainer> PelInstallerFramework::pelReqContainer() const {
    std::lock_guard lock(mutex_);
    return pelReqContainer_;
}

void PelInstallerFramework::setPelReqContainer(
    std::shared_ptr<PelRequirementsContainer> container) {
    std::lock_guard lock(mutex_);
    pelReqContainer_ = std::move(container);
}

PelInstallerFramework::OptionalString PelInstallerFramework::promptString() const {
    std::lock_guard lock(mutex_);
    return promptString_;
}

PelInstallerFramework::OptionalString PelInstallerFramework::imagePath() const {
    std::lock_guard lock(mutex_);
    return imagePath_;
}

void PelInstallerFramework::setEffectiveUserIdSource(std::function<uid_t()> source) {
    std::lock_guard lock(mutex_);
    euidSource_ = std::move(source);
}

void PelInstallerFramework::setMainQueue(platform::DispatchQueuePtr queue) {
    std::lock_guard lock(mutex_);
    mainQueue_ = std::move(queue);
}

platform::DispatchQueuePtr PelInstallerFramework::mainQueue() const {
    std::lock_guard lock(mutex_);
    return mainQueue_ ? mainQueue_ : platform::MainQueue::shared();
}

uid_t PelInstallerFramework::effectiveUserId() const {
    std::lock_guard lock(mutex_);
    return euidSource_ ? euidSource_() : geteuid();
}

int PelInstallerFramework::getInstallStatus() const {
    return PelInstallXPCClient::sharedXPCClient()->pelInstallStatus();
}

bool PelInstallerFramework::performRequirementsCheck(
    const OptionalString& path, IFPluginProtocol* plugin, InstallProgressProtocol* progress,
    std::shared_ptr<PelRequirement>* outRequirement, platform::Error* error) {
    if (!progress) return false;
    if (pluginResponds(plugin, IFPluginOperation::installBegin)) plugin->installBegin();
    if (!path || !fileExists(path)) {
        PelLogging::logNoticeMessageWithFormat(
            "No requirements plist found at %@. Starting the install of packages",
            path.value_or("(null)"));
        if (outRequirement) *outRequirement = nullptr;
        return true;
    }
    std::shared_ptr<PelRequirementsContainer> container = pelReqContainer();
    if (!container) {
        container = PelRequirementsContainer::createContainerWithRequirements(path, error);
        if (!container) return false;
        std::lock_guard lock(mutex_);
        pelReqContainer_ = container;
    }
    std::shared_ptr<PelRequirement> failed;
    const bool passed = container->runRequirements(&failed, plugin);
    if (!passed) {
        if (pluginResponds(plugin, IFPluginOperation::installFailedWithError))
            plugin->installFailedWithError(kInstallFailureRequirement, failed);
        // Only a requirement whose record says so is a warning; a missing
        // requirement or record is a failure.
        const bool warning = failed && failed->pelIE() && failed->pelIE()->isWarning();
        if (warning) {
            if (responds(progress, InstallProgressOperation::installWarningWithRequirement))
                progress->installWarningWithRequirement(failed);
        } else if (responds(progress, InstallProgressOperation::installFailedWithRequirement)) {
            progress->installFailedWithRequirement(failed);
        }
    }
    if (conformsAndResponds(progress, InstallProgressOperation::requirementsCompleted))
        progress->requirementsCompleted();
    if (outRequirement) *outRequirement = passed ? nullptr : failed;
    return passed;
}

void PelInstallerFramework::performInstallWithMultiplePackages(
    const std::optional<platform::Array>& packages, IFPluginProtocol* plugin,
    InstallProgressProtocol* progress, const platform::Array& postInstallTools,
    const OptionalString& prompt, const OptionalString& imagePath) {
    mainQueue()->async([this, packages, plugin, progress, postInstallTools, prompt, imagePath] {
        {
            std::lock_guard lock(mutex_);
            promptString_ = prompt;
            imagePath_ = imagePath;
        }
        if (!progress) {
            logInstallError(PelMakeInstallError(
                kPelErrNoProgressObject, "No valid object was passed for sending install updates"));
            return;
        }
        if (!packages || packages->empty()) {
            if (responds(progress, InstallProgressOperation::installFailedWithMissingBasePackage))
                progress->installFailedWithMissingBasePackage();
            logInstallError(
                PelMakeInstallError(kPelErrPackagesInvalid, "Invalid list of packages sent"));
            return;
        }
        platform::Array working = *packages;
        for (platform::Value& description : working) {
            const platform::Value* name = description.get("pkgName");
            OptionalString path;
            if (name && name->isString()) path = name->stringValue();
            if (!fileExists(path)) {
                if (OptionalString replacement = substituteMpkgToUse(path)) {
                    platform::Value copy = description;
                    copy.set("pkgName", platform::Value(*replacement));
                    description = copy;
                    path = replacement;
                }
            }
            if (!fileExists(path)) {
                if (responds(progress,
                             InstallProgressOperation::installFailedWithMissingBasePackage))
                    progress->installFailedWithMissingBasePackage();
                logInstallError(PelMakeInstallError(
                    kPelErrPackagesInvalid,
                    "One of the packages inside the list of packages does not exist"));
                return;
            }
        }
        if (effectiveUserId() == 0)
            installAsRoot(working, plugin, progress);
        else
            launchInstallWithPackages(working, progress, postInstallTools, plugin);
    });
}

// The end of an in-process install for a plug-in that finishes its own
// work first (installCompleteWithDelegate): the progress object hears of the
// end once, when the plug-in says it has finished, as on the helper road.
class PelInstallerFramework::RootInstallEnd : public IFPluginDelegate {
  public:
    RootInstallEnd(InstallProgressProtocol* progress, bool installed)
        : progress_(progress), installed_(installed) {}
    void pluginFinished(bool success) override {
        if (finished_.exchange(true)) return;
        if (responds(progress_, InstallProgressOperation::installComplete))
            progress_->installComplete(installed_ && success ? kPelInstallStatusCompleted
                                                             : kPelInstallStatusFailed);
    }

  private:
    InstallProgressProtocol* progress_;
    const bool installed_;
    std::atomic<bool> finished_{false};
};

void PelInstallerFramework::installAsRoot(const platform::Array& packages, IFPluginProtocol* plugin,
                                          InstallProgressProtocol* progress) {
    // The packages run on a queue of their own, so that the main queue stays
    // free to show their progress; the end is reported from the main queue.
    platform::DispatchQueuePtr main = mainQueue();
    std::shared_ptr<RootInstallEndSlot> slot = rootInstallEnd_;
    installQueue_->async([slot, packages, plugin, progress, main] {
        PelStandaloneInstaller installer;
        const int result = installer.installPackages(packages, progress);
        main->async([slot, result, plugin, progress] {
            const bool success = result == 0;
            if (pluginResponds(plugin, IFPluginOperation::installCompleteWithDelegate)) {
                // The plug-in's own end (flag files, kernel-module check)
                // decides when the install is over.
                auto end = std::make_shared<RootInstallEnd>(progress, success);
                slot->end = end;
                plugin->installCompleteWithDelegate(success, end.get());
                return;
            }
            if (responds(progress, InstallProgressOperation::installComplete))
                progress->installComplete(success ? kPelInstallStatusCompleted
                                                  : kPelInstallStatusFailed);
            if (pluginResponds(plugin, IFPluginOperation::installComplete))
                plugin->installComplete(success);
        });
    });
}

void PelInstallerFramework::performInstall(const OptionalString& path, IFPluginProtocol* plugin,
                                           InstallProgressProtocol* progress,
                                           const platform::Array& postInstallTools) {
    mainQueue()->async([this, path, plugin, progress, postInstallTools] {
        if (!progress) {
            logInstallError(PelMakeInstallError(
                kPelErrNoProgressObject, "No valid object was passed for sending install updates"));
            return;
        }
        if (!path || !fileExists(path)) {
            if (responds(progress, InstallProgressOperation::installFailedWithMissingBasePackage))
                progress->installFailedWithMissingBasePackage();
            logInstallError(PelMakeInstallError(
                kPelErrPackagesInvalid, "No valid package was found in the location specified"));
            return;
        }
        launchInstall(*path, progress, postInstallTools, plugin);
    });
}

void PelInstallerFramework::launchInstall(const std::string& path,
                                          InstallProgressProtocol* progress,
                                          const platform::Array& postInstallTools,
                                          IFPluginProtocol* plugin) {
    if (!authorizeAndLaunchHelper(progress, plugin)) return;
    auto client = PelInstallXPCClient::sharedXPCClient();
    client->setProduct(progress);
    client->setPlugin(plugin);
    if (!client->PelXPC_CreateMachService(kPelInstallHelperLabel)) {
        PelLogging::logErrorMessage("Error occurred while CreateMachService in launchInstall");
        reportFailedLaunch(progress, plugin);
        return;
    }
    mainQueue()->async([client, path, postInstallTools, progress, plugin] {
        bool sent = false;
        if (copyPartnerPlist())
            sent = client->sendInstallSetupPackage(path, postInstallTools);
        else
            PelLogging::logNoticeMessage("Error occured while copyPartnerPlist");
        if (sent) return;
        PelLogging::logNoticeMessage("Error occured while sendInstallSetupPackage");
        client->abandonSession();
        reportFailedLaunch(progress, plugin);
    });
}

void PelInstallerFramework::launchInstallWithPackages(const platform::Array& packages,
                                                      InstallProgressProtocol* progress,
                                                      const platform::Array& postInstallTools,
                                                      IFPluginProtocol* plugin) {
    if (!authorizeAndLaunchHelper(progress, plugin)) return;
    auto client = PelInstallXPCClient::sharedXPCClient();
    client->setProduct(progress);
    client->setPlugin(plugin);
    if (!client->PelXPC_CreateMachService(kPelInstallHelperLabel)) {
        PelLogging::logErrorMessage(
            "Error occurred while CreateMachService in launchInstallWithPackages");
        reportFailedLaunch(progress, plugin);
        return;
    }
    mainQueue()->async([client, packages, postInstallTools, progress, plugin] {
        bool sent = false;
        if (copyPartnerPlist())
            sent = client->sendInstallSetupPackages(packages, postInstallTools);
        else
            PelLogging::logNoticeMessage("Error occured while copyPartnerPlist");
        if (sent) return;
        PelLogging::logNoticeMessage("Error occured while launchInstallWithPackages");
        // A session whose requests did not go out is over: no watchdog
        // verdict an hour later.
        client->abandonSession();
        reportFailedLaunch(progress, plugin);
    });
}

bool PelInstallerFramework::authorizeAndLaunchHelper(InstallProgressProtocol* progress,
                                                     IFPluginProtocol* plugin) {
    HelperToolUtils& utils = HelperToolUtils::sharedHelperUtils();
    platform::AuthorizationRef authorization = authRef_;
    if (!authorization) {
        const platform::OSStatus status =
            utils.getAuthRef(&authorization, promptString(), imagePath());
        if (status != 0) {
            PelLogging::logErrorMessageWithFormat("Failed to get authorization ref %d, ErrorNo:%d",
                                                  status, errno);
            if (pluginResponds(plugin, IFPluginOperation::installFailedWithError))
                plugin->installFailedWithError(kInstallFailureAuthorization, nullptr);
            if (responds(progress, InstallProgressOperation::installFailedWithAuthorization))
                progress->installFailedWithAuthorization();
            return false;
        }
    }
    platform::Error error;
    const bool blessed = utils.launchHelperTool(kPelInstallHelperLabel, &error, authorization);
    if (!blessed) {
        PelLogging::logErrorMessageWithFormat("Failed to launch the helper tool. Error: %@",
                                              error.description());
        if (pluginResponds(plugin, IFPluginOperation::installFailedWithError))
            plugin->installFailedWithError(kInstallFailureHelperTool, nullptr);
        if (responds(progress, InstallProgressOperation::installFailedWithHelperTool))
            progress->installFailedWithHelperTool(&error);
    }
    utils.freeAuth(&authorization);
    return blessed;
}

PelInstallerFramework::OptionalString PelInstallerFramework::substituteMpkgToUse(
    const OptionalString& path) {
    if (!path || path->find(".mpkg") == std::string::npos) return std::nullopt;
    const bool sku = path->find("SKU.") != std::string::npos;
    const auto slash = path->rfind('/');
    const std::string folder =
        slash == std::string::npos ? std::string(".") : path->substr(0, slash);
    const auto names = contentsOfDirectoryAtPath(folder.empty() ? "/" : folder);
    if (!names) return std::nullopt;
    for (const std::string& name : *names) {
        if (name.find(".mpkg") != std::string::npos &&
            (name.find("SKU.") != std::string::npos) == sku)
            return folder + "/" + name;
    }
    return std::nullopt;
}

bool PelInstallerFramework::copyPartnerPlist() {
    const std::string path = platform::Bundle::mainBundle()->bundlePath() +
                             "/Contents/Resources/PelSupportFolder/com.pelgrave.partner.plist";
    return PelInstallXPCClient::sharedXPCClient()->sendInstallCopyPartnerFile(path);
}

std::optional<std::vector<std::string>> PelInstallerFramework::contentsOfDirectoryAtPath(
    const std::string& path) {
    DIR* dir = opendir(path.c_str());
    if (!dir) return std::nullopt;
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());  // bytewise: std::string compares chars as unsigned
    return names;
}
