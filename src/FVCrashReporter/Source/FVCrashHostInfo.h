// The host's kernel version.
#pragma once

#include <memory>
#include <string_view>

struct FVCrashHostInfoVersion {
    unsigned major = 0;
    unsigned minor = 0;
    unsigned revision = 0;
};

class FVCrashHostInfo {
  public:
    /// The running kernel's version, or null when its release ("kern.osrelease")
    /// cannot be read (logged).
    static std::shared_ptr<FVCrashHostInfo> currentHostInfo();
    /// The version scanned from a release string "major.minor.revision..."
    /// ("6.1.0-18-amd64" gives 6, 1, 0). Fields not scanned stay 0 and the
    /// unexpected form is logged; an instance is made all the same.
    static std::shared_ptr<FVCrashHostInfo> initWithRelease(std::string_view release);

    FVCrashHostInfoVersion darwinVersion() const { return version_; }

  private:
    FVCrashHostInfoVersion version_;
};
