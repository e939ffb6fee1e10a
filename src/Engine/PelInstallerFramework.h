// The single entry point through which the screen flow checks a product's
// requirements and installs its packages: in-process when the installer
// runs as root, otherwise through the blessed install helper over XPC.
// It reports to the product plug-in and to the progress object.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Controllers/IFPluginProtocol.h"
#include "Engine/InstallProgressProtocol.h"
#include "Engine/PelRequirementsContainer.h"
#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/System/Authorization.h"
#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

class PelInstallerFramework {
  public:
    using OptionalString = std::optional<std::string>;

    static PelInstallerFramework& sharedInstallerFramework();
    PelInstallerFramework();

    /// Checks the requirement list at `path`; true when installation may go
    /// on. Synchronous, on the caller's thread.
    bool performRequirementsCheck(const OptionalString& path, IFPluginProtocol* plugin,
                                  InstallProgressProtocol* progress,
                                  std::shared_ptr<PelRequirement>* outRequirement,
                                  platform::Error* error);

    /// Installs the package descriptions; returns at once, the work runs on
    /// the main queue.
    void performInstallWithMultiplePackages(const std::optional<platform::Array>& packages,
                                            IFPluginProtocol* plugin,
                                            InstallProgressProtocol* progress,
                                            const platform::Array& postInstallTools,
                                            const OptionalString& prompt,
                                            const OptionalString& imagePath);
    void performInstallWithMultiplePackages(const std::optional<platform::Array>& packages,
                                            IFPluginProtocol* plugin,
                                            InstallProgressProtocol* progress,
                                            const platform::Array& postInstallTools) {
        performInstallWithMultiplePackages(packages, plugin, progress, postInstallTools,
                                           std::nullopt, std::nullopt);
    }
    /// Installs one package by its path through the helper; returns at once.
    void performInstall(const OptionalString& path, IFPluginProtocol* plugin,
                        InstallProgressProtocol* progress, const platform::Array& postInstallTools);

    void launchInstall(const std::string& path, InstallProgressProtocol* progress,
                       const platform::Array& postInstallTools, IFPluginProtocol* plugin);
    void launchInstallWithPackages(const platform::Array& packages,
                                   InstallProgressProtocol* progress,
                                   const platform::Array& postInstallTools,
                                   IFPluginProtocol* plugin);
    bool authorizeAndLaunchHelper(InstallProgressProtocol* progress, IFPluginProtocol* plugin);

    static OptionalString substituteMpkgToUse(const OptionalString& path);
    static bool copyPartnerPlist();
    /// The names in a folder, sorted bytewise; nullopt when it cannot be read.
    static std::optional<std::vector<std::string>> contentsOfDirectoryAtPath(
        const std::string& path);

    int getInstallStatus() const;

    std::shared_ptr<PelRequirementsContainer> pelReqContainer() const;
    /// Replaces the requirement container (tests); null forgets it.
    void setPelReqContainer(std::shared_ptr<PelRequirementsContainer> container);
    const platform::AuthorizationRef& authRef() const { return authRef_; }
    OptionalString promptString() const;
    OptionalString imagePath() const;

    /// Seams for tests: the effective uid, and the queue that stands for the
    /// main queue (the real main queue by default).
    void setEffectiveUserIdSource(std::function<uid_t()> source);
    void setMainQueue(platform::DispatchQueuePtr queue);

  private:
    platform::DispatchQueuePtr mainQueue() const;
    uid_t effectiveUserId() const;
    void installAsRoot(const platform::Array& packages, IFPluginProtocol* plugin,
                       InstallProgressProtocol* progress);
    class RootInstallEnd;

    mutable std::mutex mutex_;
    std::shared_ptr<PelRequirementsContainer> pelReqContainer_;
    platform::AuthorizationRef authRef_;
    OptionalString promptString_;
    OptionalString imagePath_;
    std::function<uid_t()> euidSource_;
    platform::DispatchQueuePtr mainQueue_;
    platform::DispatchQueuePtr installQueue_;
    /// The delegate handed to the plug-in at the end of the last install as
    /// root; it lives until the next one (main queue only), so a late
    /// pluginFinished is safe.
    struct RootInstallEndSlot {
        std::shared_ptr<IFPluginDelegate> end;
    };
    std::shared_ptr<RootInstallEndSlot> rootInstallEnd_ = std::make_shared<RootInstallEndSlot>();
};
