#include <map>
#include <mutex>

#include "Controllers/Core/FSDFacade.h"
#include "Controllers/Core/InstallEngine.h"
#include "Controllers/Core/PluginRegistry.h"

namespace {

std::mutex& seamMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<InstallEngine>& engineSlot() {
    static std::shared_ptr<InstallEngine> engine;
    return engine;
}

FSDFacade::Factory& factorySlot() {
    static FSDFacade::Factory factory;
    return factory;
}

std::map<std::string, PluginRegistry::Factory>& registry() {
    static std::map<std::string, PluginRegistry::Factory> classes;
    return classes;
}

}  // namespace

std::shared_ptr<InstallEngine> InstallEngine::shared() {
    std::lock_guard<std::mutex> lock(seamMutex());
    if (!engineSlot()) engineSlot() = makeProductionInstallEngine();
    return engineSlot();
}

void InstallEngine::setShared(std::shared_ptr<InstallEngine> engine) {
    std::lock_guard<std::mutex> lock(seamMutex());
    engineSlot() = std::move(engine);
}

std::shared_ptr<FSDFacade> FSDFacade::createFSD(const std::optional<std::string>& manifest,
                                                const std::optional<std::string>& signature,
                                                const std::string& downloadPath,
                                                PelFSDProtocol* delegate,
                                                const std::shared_ptr<PelFSDPingUtils>& pingUtils,
                                                platform::Error* error) {
    Factory factory;
    {
        std::lock_guard<std::mutex> lock(seamMutex());
        if (!factorySlot()) factorySlot() = makeProductionFSDFactory();
        factory = factorySlot();
    }
    if (!factory) return nullptr;
    return factory(manifest, signature, downloadPath, delegate, pingUtils, error);
}

void FSDFacade::setFactory(Factory factory) {
    std::lock_guard<std::mutex> lock(seamMutex());
    factorySlot() = std::move(factory);
}

void PluginRegistry::registerPlugin(const std::string& name, Factory factory) {
    std::lock_guard<std::mutex> lock(seamMutex());
    registry()[name] = std::move(factory);
}

void PluginRegistry::unregisterPlugin(const std::string& name) {
    std::lock_guard<std::mutex> lock(seamMutex());
    registry().erase(name);
}

std::shared_ptr<IFPluginProtocol> PluginRegistry::create(const std::string& name) {
    Factory factory;
    {
        std::lock_guard<std::mutex> lock(seamMutex());
        auto found = registry().find(name);
        if (found == registry().end()) return nullptr;
        factory = found->second;
    }
    return factory ? factory() : nullptr;
}

std::vector<std::string> PluginRegistry::names() {
    std::lock_guard<std::mutex> lock(seamMutex());
    std::vector<std::string> result;
    for (const auto& entry : registry()) result.push_back(entry.first);
    return result;
}
