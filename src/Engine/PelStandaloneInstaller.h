// Installs packages in-process when the installer runs as root: each
// package is copied to a folder only root can enter, the copy is verified
// and handed to the system installer "/usr/sbin/installer", whose output
// becomes the same progress callbacks the helper path makes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Engine/InstallProgressProtocol.h"
#include "Engine/PelInstallerOutputParser.h"
#include "Platform/System/Task.h"
#include "Platform/Values/Value.h"

class PelStandaloneInstaller {
  public:
    /// `launcher` null means the process-wide one.
    explicit PelStandaloneInstaller(std::shared_ptr<platform::TaskLauncher> launcher = nullptr);

    /// Installs the package descriptions (`pkgName`, `pkgPriority`) in order.
    /// Answers 0 on success; 1 for an empty list or a package that fails its
    /// signature check; otherwise the installer's exit status for the first
    /// package of priority 0 or more that failed. A package of negative
    /// priority never stops the run and never fails it.
    int installPackages(const platform::Array& packages, InstallProgressProtocol* progress);

    /// Verifies the package with the full signature check.
    bool PelVerifyPackage(const std::string& path);

    void parseProgressString(const std::string& line);
    /// The overall percent for the current package's percent text, in
    /// [0, 100]; nullopt for a text that is not a finite number.
    std::optional<double> percentString(const std::string& text) const;
    void sendPhaseString(const std::string& text);
    void sendPercentString(const std::string& text);
    void sendInstallCompleteReason(const std::string& text);

    InstallProgressProtocol* progressPlugin() const { return progressPlugin_; }
    std::uint64_t remaningPackagesToInstall() const { return remaining_; }

  private:
    std::shared_ptr<platform::TaskLauncher> launcher_;
    InstallProgressProtocol* progressPlugin_ = nullptr;
    std::uint64_t remaining_ = 0;
    double total_ = 0;
    PelInstallerOutputParser parser_;
};
