// The install engine as the screens see it: the requirement check and the
// installation of a package list. Production forwards to the shared
// PelInstallerFramework; tests put a fake in its place.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

class IFPluginProtocol;
class InstallProgressProtocol;
class PelRequirement;

class InstallEngine {
  public:
    virtual ~InstallEngine() = default;

    /// The engine in use: the one set with setShared(), else the
    /// production engine (null when this build has none).
    static std::shared_ptr<InstallEngine> shared();
    /// Replaces the engine (tests); null returns to the production one.
    static void setShared(std::shared_ptr<InstallEngine> engine);

    /// Checks the requirements of the list at `requirementsPath`. True when
    /// the installation may go on; otherwise the failed requirement (may be
    /// null) and the error, when there is one, come back.
    virtual bool performRequirementsCheck(const std::optional<std::string>& requirementsPath,
                                          const std::shared_ptr<IFPluginProtocol>& plugin,
                                          InstallProgressProtocol* progress,
                                          std::shared_ptr<PelRequirement>* outRequirement,
                                          platform::Error* error) = 0;

    /// Installs the packages (PackageDescription dictionaries); returns at
    /// once and reports through `progress`, which must outlive the install.
    virtual void performInstallWithMultiplePackages(
        const platform::Array& packages, const std::shared_ptr<IFPluginProtocol>& plugin,
        InstallProgressProtocol* progress, const platform::Array& postInstallTools,
        const std::optional<std::string>& prompt, const std::optional<std::string>& imagePath) = 0;
};

/// The production engine of this build, or null when it has none.
std::shared_ptr<InstallEngine> makeProductionInstallEngine();
