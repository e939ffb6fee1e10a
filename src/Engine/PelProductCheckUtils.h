// The maker's installed products, read from the product registry, and
// package receipts. Each registry query synchronises the registry first.
//
// The registry and the receipts can be replaced (tests use a registry in a
// temporary root). Every function may be called from any thread;
// doesReceiptExistWithPkgUtil() blocks while the system is asked.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Platform/System/PackageReceipts.h"

namespace PelRegistry {
class Registry;
}

class PelProductCheckUtils {
  public:
    using OptionalText = std::optional<std::string>;

    static PelProductCheckUtils& sharedProductCheck();

    /// False for no identifier; else whether a module with the identifier is
    /// installed. With `sku`, an installed module that carries a SKU counts
    /// only when that SKU is `sku` or `sku` + "sku".
    bool doesProductExistWithSKUID(const OptionalText& identifier, const OptionalText& sku);
    /// As above, but an installed module that carries a SKU counts only when
    /// it is neither `sku` nor `sku` + "sku": installed with another SKU.
    bool doesProductExistWithoutSKUID(const OptionalText& identifier, const OptionalText& sku);
    /// doesProductExistWithSKUID() without a SKU.
    bool doesProductExistWith(const OptionalText& identifier) {
        return doesProductExistWithSKUID(identifier, std::nullopt);
    }
    /// Whether a package receipt with the identifier exists; false for none.
    bool doesReceiptExistWithPkgUtil(const OptionalText& identifier) const;
    /// The installed module's version, or nothing.
    OptionalText getVersionForProductID(const OptionalText& identifier);
    /// The installed module's SKU, or nothing.
    OptionalText getSKUForProductID(const OptionalText& identifier);

    /// Replaces the registry (not owned; it must outlive its use); null
    /// returns to the process-wide one.
    void setRegistry(PelRegistry::Registry* registry);
    /// Replaces the receipts; null returns to the system's.
    void setPackageReceipts(std::shared_ptr<platform::PackageReceipts> receipts);

    /// The registry in use, reloaded first (a failed reload is logged and
    /// the registry answers from what it holds).
    PelRegistry::Registry* synchronizedRegistry();

  private:
    bool productExists(const OptionalText& identifier, const OptionalText& sku, bool sameSKU);

    mutable std::mutex mutex_;
    PelRegistry::Registry* registry_ = nullptr;
    std::shared_ptr<platform::PackageReceipts> receipts_;
};
