#include "Engine/PelProductCheckUtils.h"

#include <exception>

#include "Foundation/PelLogging.h"
#include "Foundation/PelRegistry.h"

namespace {

// Holds the reference that copyModuleWithId hands out.
struct HeldModule {
    explicit HeldModule(PelRegistry::Module* m) : module(m) {}
    ~HeldModule() {
        if (module) module->Release();
    }
    HeldModule(const HeldModule&) = delete;
    HeldModule& operator=(const HeldModule&) = delete;
    PelRegistry::Module* module;
};

}  // namespace

PelProductCheckUtils& PelProductCheckUtils::sharedProductCheck() {
    static PelProductCheckUtils instance;
    return instance;
}

void PelProductCheckUtils::setRegistry(PelRegistry::Registry* registry) {
    std::lock_guard lock(mutex_);
    registry_ = registry;
}

void PelProductCheckUtils::setPackageReceipts(std::shared_ptr<platform::PackageReceipts> receipts) {
    std::lock_guard lock(mutex_);
    receipts_ = std::move(receipts);
}

PelRegistry::Registry* PelProductCheckUtils::synchronizedRegistry() {
    PelRegistry::Registry* registry;
    {
        std::lock_guard lock(mutex_);
        registry = registry_;
    }
    if (!registry) registry = PelRegistry::Registry::get();
    // A registry that cannot be reloaded still answers from what it holds.
    try {
        registry->synchronize();
    } catch (const std::exception& e) {
        PelLogging::logErrorMessageWithFormat("%s: Unable to synchronize the registry: %s",
                                              __func__, e.what());
    }
    return registry;
}

bool PelProductCheckUtils::productExists(const OptionalText& identifier, const OptionalText& sku,
                                         bool sameSKU) {
    if (!identifier) return false;
    PelRegistry::Registry* registry = synchronizedRegistry();
    if (!registry->isModuleWithIdInstalled(*identifier)) return false;
    if (!sku) return true;
    HeldModule held(registry->copyModuleWithId(*identifier));
    if (!held.module) return true;
    const std::string* installed = held.module->getSKU();
    if (!installed) return true;
    bool matches = *installed == *sku || *installed == *sku + "sku";
    return sameSKU ? matches : !matches;
}

bool PelProductCheckUtils::doesProductExistWithSKUID(const OptionalText& identifier,
                                                     const OptionalText& sku) {
    return productExists(identifier, sku, true);
}

bool PelProductCheckUtils::doesProductExistWithoutSKUID(const OptionalText& identifier,
                                                        const OptionalText& sku) {
    return productExists(identifier, sku, false);
}

bool PelProductCheckUtils::doesReceiptExistWithPkgUtil(const OptionalText& identifier) const {
    if (!identifier) return false;
    std::shared_ptr<platform::PackageReceipts> receipts;
    {
        std::lock_guard lock(mutex_);
        receipts = receipts_;
    }
    if (!receipts) receipts = platform::packageReceipts();
    return receipts->receiptExists(*identifier);
}

PelProductCheckUtils::OptionalText PelProductCheckUtils::getVersionForProductID(
    const OptionalText& identifier) {
    if (!identifier) return std::nullopt;
    HeldModule held(synchronizedRegistry()->copyModuleWithId(*identifier));
    if (!held.module || !held.module->getVersion()) return std::nullopt;
    return *held.module->getVersion();
}

PelProductCheckUtils::OptionalText PelProductCheckUtils::getSKUForProductID(
    const OptionalText& identifier) {
    if (!identifier) return std::nullopt;
    HeldModule held(synchronizedRegistry()->copyModuleWithId(*identifier));
    if (!held.module || !held.module->getSKU()) return std::nullopt;
    return *held.module->getSKU();
}
