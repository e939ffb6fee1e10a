// Signed sample packages for the installation tests.
#pragma once

#include <string>
#include <vector>

#include "mkpkg/MkPkg.h"

namespace enginetest {

/// Signs with a key made for the test run and puts it in force for the
/// signature checks of this process while the object lives.
class ScopedPackageTrust {
  public:
    ScopedPackageTrust();
    ~ScopedPackageTrust();
    ScopedPackageTrust(const ScopedPackageTrust&) = delete;
    ScopedPackageTrust& operator=(const ScopedPackageTrust&) = delete;
    const devsign::XarSigning& signing() const;
};

/// The development keys, which the programs of a development build trust.
const devsign::XarSigning& developmentSigning();

/// A component with one file of `contents` at `file` (a relative path).
mkpkg::Component sampleComponent(const std::string& identifier, const std::string& file,
                                 const std::string& contents);

/// Writes a package and answers its path.
std::string writePackage(const std::string& path, const platform::Data& package);

}  // namespace enginetest
