#include "Controllers/Core/UninstallEngine.h"

#include <mutex>

#include "Engine/HVKUpgradeHelper.h"
#include "Engine/HelperToolUtils.h"
#include "Engine/PelLaunchdUtils.h"
#include "Engine/PelUninstallXPCClient.h"

namespace {

std::mutex gEngineMutex;
std::shared_ptr<UninstallEngine> gEngine;

}  // namespace

std::shared_ptr<UninstallEngine> UninstallEngine::shared() {
    std::lock_guard lock(gEngineMutex);
    if (!gEngine) gEngine = std::make_shared<PelUninstallEngine>();
    return gEngine;
}

void UninstallEngine::setShared(std::shared_ptr<UninstallEngine> engine) {
    std::lock_guard lock(gEngineMutex);
    gEngine = std::move(engine);
}

bool PelUninstallEngine::productsToUninstall(const Requirements& requirements, Products* products,
                                             bool* isNewerVersion, bool* rebootRequired,
                                             std::shared_ptr<PelRequirement>* failedReq) {
    return HVKUpgradeHelper::productsToUninstall(requirements, products, isNewerVersion,
                                                 rebootRequired, failedReq);
}

bool PelUninstallEngine::isInstallerQRB() { return HVKUpgradeHelper::isInstallerQRB(); }

platform::OSStatus PelUninstallEngine::getAuthRef(platform::AuthorizationRef* out) {
    return HelperToolUtils::sharedHelperUtils().getAuthRef(out);
}

bool PelUninstallEngine::launchHelperTool(const std::string& label, platform::Error* error,
                                          const platform::AuthorizationRef& authorization) {
    return HelperToolUtils::sharedHelperUtils().launchHelperTool(label, error, authorization);
}

void PelUninstallEngine::freeAuth(platform::AuthorizationRef* authorization) {
    HelperToolUtils::sharedHelperUtils().freeAuth(authorization);
}

void PelUninstallEngine::setProduct(PelUninstallXPCProtocol* product) {
    PelUninstallXPCClient::sharedXPCClient()->setProduct(product);
}

bool PelUninstallEngine::PelXPC_CreateMachService(const std::string& serviceName) {
    return PelUninstallXPCClient::sharedXPCClient()->PelXPC_CreateMachService(serviceName);
}

bool PelUninstallEngine::uninstallProducts(
    const Products& products, const std::optional<platform::Dictionary>& preUninstallTools,
    const std::optional<platform::Dictionary>& postUninstallTools) {
    return PelUninstallXPCClient::sharedXPCClient()->uninstallProducts(products, preUninstallTools,
                                                                       postUninstallTools);
}

bool PelUninstallEngine::writeLaunchAgentWithError(platform::Error* error) {
    return PelLaunchdUtils::sharedLaunchdUtils().writeLaunchAgent(error);
}
