// The receipts that installed packages leave behind, asked by identifier.
//
// Linux implementation (packageReceipts()): a package receipt is the file
// "<identifier>.plist" or "<identifier>.bom" in "/var/db/receipts" (through
// the path root), where the install helper records what it installed. An
// identifier that is empty, ".", "..", or holds "/" or a NUL names no
// receipt.
#pragma once

#include <memory>
#include <string>

namespace platform {

class PackageReceipts {
  public:
    virtual ~PackageReceipts() = default;
    /// Whether a receipt with `identifier` exists. May block while the
    /// system is asked; callable from any thread.
    virtual bool receiptExists(const std::string& identifier) const = 0;
};

/// The running system's implementation (shared, stateless).
std::shared_ptr<PackageReceipts> packageReceipts();

}  // namespace platform
