// The five kinds of requirement check. Each reads its own check value
// (icDic()) and the system afresh on every runRequirement(); a missing key
// passes, except a partial-install value that is not an array.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "Engine/PelRequirement.h"
#include "Platform/System/NetworkReachability.h"

/// "Hardware": the first present of "MIN_OS", "MAX_OS", "MIN_MEMORY",
/// "MIN_DISK_SPACE", "BlockOnK32Bit" is checked.
class PelHardwareRequirement : public PelRequirement {
  public:
    bool runRequirement() const override;
    bool checkMinOS() const;
    bool checkMaxOS() const;
    bool checkMinMemory() const;
    bool checkDiskSpace() const;
    /// False (the check fails) only on a 32-bit kernel ("i386").
    bool isK32Bit() const;
};

/// "InstallMatrix": by "IMType", "INSTALL_UPGRADE", "INSTALL_OVER" or
/// "INSTALL_COMPETITIVE"; any other type passes.
class PelInstallMatrixRequirement : public PelRequirement {
  public:
    bool runRequirement() const override;
    bool runInstallUpgradeRequirement() const;
    bool runInstallOverRequirement() const;
    bool runInstallCompetitiveRequirement() const;
};

/// "PartialInstall": every listed item that exists must have its package
/// receipt.
class PelPartialInstallRequirement : public PelRequirement {
  public:
    bool runRequirement() const override;
};

/// "PathCheck": fails when an application is present (in a version that
/// begins with "VersionPrefix", when one is given).
class PelPathCheckRequirement : public PelRequirement {
  public:
    bool runRequirement() const override;
};

/// "Misc": the internet requirement, and the other-instance block.
class PelMiscRequirement : public PelRequirement {
  public:
    /// The host whose reachability the internet requirement tests.
    static constexpr const char* kReachabilityHost = "www.pelgrave.com";

    bool runRequirement() const override;
    /// True when the host is reachable without first making a connection;
    /// also true when the host cannot be checked at all.
    bool checkInternet() const;
    /// Always false.
    bool isAnotherInstanceRunning() const { return false; }

    /// Replaces the reachability test (tests); null returns to the system's.
    static void setNetworkReachability(std::shared_ptr<platform::NetworkReachability> reachability);
    static std::shared_ptr<platform::NetworkReachability> networkReachability();
};
