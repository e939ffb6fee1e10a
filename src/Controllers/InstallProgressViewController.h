// The install screen: it hands the package list to the install engine, shows
// the engine's progress, sends the install pings and turns the outcome into
// the main window's closing or failure screens.
//
// The engine calls from its own queue; view work, pings and screens move to
// the main queue. The phase text and the mandatory-package data are stored
// on the calling queue behind a mutex and read by the completion on the main
// queue.
#pragma once

#include <QLabel>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Engine/InstallProgressProtocol.h"
#include "Platform/Dispatch/Clock.h"

namespace ostrelui {
class OstrelUIProgressIndicator;
}

class InstallProgressViewController : public QWidget, public InstallProgressProtocol {
  public:
    explicit InstallProgressViewController(QWidget* parent = nullptr);

    ostrelui::OstrelUIProgressIndicator* progressBar = nullptr;
    QLabel* progressStatusText = nullptr;

    /// The clock of the install's elapsed time (the default clock unless set).
    void setClock(std::shared_ptr<platform::Clock> clock) { clock_ = std::move(clock); }

    /// Shows this screen (always animated) and starts the install through
    /// the install engine; `animate` is false when the install continues
    /// after a warning screen.
    void performInstallWithPackages(const platform::Array& packages,
                                    const platform::Array& postInstallTools, bool animate);

    std::optional<std::string> installPhaseString() const;
    std::optional<platform::Dictionary> mandatoryPackageInstallFailureData() const;
    /// The package count of the last install (process-wide).
    static std::uint64_t packageCount();

    bool respondsTo(InstallProgressOperation operation) const override;
    void installFailedWithRequirement(const std::shared_ptr<PelRequirement>& requirement) override;
    void installComplete(int status) override;
    void installWarningWithRequirement(const std::shared_ptr<PelRequirement>& requirement) override;
    void installFailedWithAuthorization() override;
    void installFailedWithHelperTool(const platform::Error* error) override;
    void installFailedWithMissingBasePackage() override;
    void installProgressPercent(double percent) override;
    void packagesCompleted(std::uint64_t count) override;
    void installProgressPhaseString(const std::string& phase) override;
    void sendInstallFailedPingForOptionalPackage(const platform::Dictionary& info) override;
    void setInstallFailedPingDataForMandatoryPackage(const platform::Dictionary& info) override;
    void requirementsCompleted() override;

  private:
    void startInstall(const platform::Array& packages, const platform::Array& tools,
                      const std::string& prompt);
    void onMain(std::function<void()> block);
    void firstPercent();
    void notifyAndWriteFSDInformation();

    std::shared_ptr<platform::Clock> clock_;
    mutable std::mutex mutex_;
    std::optional<std::string> installPhaseString_;
    std::optional<platform::Dictionary> mandatoryPackageInstallFailureData_;
};
