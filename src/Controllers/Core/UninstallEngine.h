// The engine as the removal screen sees it: the upgrade rules, the
// administrator's authorisation and the blessing of the uninstall helper,
// the helper's client and the relaunch agent. Production forwards to
// HVKUpgradeHelper, HelperToolUtils, the shared PelUninstallXPCClient and
// PelLaunchdUtils; tests put a fake in its place.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/System/Authorization.h"
#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

class PelRequirement;
class PelUninstallXPCProtocol;

class UninstallEngine {
  public:
    using Requirements = std::vector<std::shared_ptr<PelRequirement>>;
    using Products = std::optional<std::vector<std::string>>;

    virtual ~UninstallEngine() = default;

    /// The engine in use: the one set with setShared(), else the production one.
    static std::shared_ptr<UninstallEngine> shared();
    /// Replaces the engine (tests); null returns to the production one.
    static void setShared(std::shared_ptr<UninstallEngine> engine);

    // The upgrade rules.
    virtual bool productsToUninstall(const Requirements& requirements, Products* products,
                                     bool* isNewerVersion, bool* rebootRequired,
                                     std::shared_ptr<PelRequirement>* failedReq) = 0;
    virtual bool isInstallerQRB() = 0;

    // Authorisation and blessing.
    virtual platform::OSStatus getAuthRef(platform::AuthorizationRef* out) = 0;
    virtual bool launchHelperTool(const std::string& label, platform::Error* error,
                                  const platform::AuthorizationRef& authorization) = 0;
    virtual void freeAuth(platform::AuthorizationRef* authorization) = 0;

    // The uninstall helper's client.
    virtual void setProduct(PelUninstallXPCProtocol* product) = 0;
    virtual bool PelXPC_CreateMachService(const std::string& serviceName) = 0;
    virtual bool uninstallProducts(
        const Products& products, const std::optional<platform::Dictionary>& preUninstallTools,
        const std::optional<platform::Dictionary>& postUninstallTools) = 0;

    // The relaunch agent.
    virtual bool writeLaunchAgentWithError(platform::Error* error) = 0;
};

/// The production engine. Its calls are virtual so that a test can replace
/// a part and keep the rest real.
class PelUninstallEngine : public UninstallEngine {
  public:
    bool productsToUninstall(const Requirements& requirements, Products* products,
                             bool* isNewerVersion, bool* rebootRequired,
                             std::shared_ptr<PelRequirement>* failedReq) override;
    bool isInstallerQRB() override;
    platform::OSStatus getAuthRef(platform::AuthorizationRef* out) override;
    bool launchHelperTool(const std::string& label, platform::Error* error,
                          const platform::AuthorizationRef& authorization) override;
    void freeAuth(platform::AuthorizationRef* authorization) override;
    void setProduct(PelUninstallXPCProtocol* product) override;
    bool PelXPC_CreateMachService(const std::string& serviceName) override;
    bool uninstallProducts(const Products& products,
                           const std::optional<platform::Dictionary>& preUninstallTools,
                           const std::optional<platform::Dictionary>& postUninstallTools) override;
    bool writeLaunchAgentWithError(platform::Error* error) override;
};
