// The install screen: it hands the package list to the install engine and
// turns the engine's callbacks into the main window's closing or failure
// screens.
#pragma once

#include <QLabel>
#include <QWidget>

#include "Engine/InstallProgressProtocol.h"

class InstallProgressViewController : public QWidget, public InstallProgressProtocol {
  public:
    explicit InstallProgressViewController(QWidget* parent = nullptr);

    QLabel* progressStatusText = nullptr;

    /// Switches the centre box here (always animated) and starts the
    /// install through the install engine.
    void performInstallWithPackages(const platform::Array& packages,
                                    const platform::Array& postInstallTools, bool animate);

    bool respondsTo(InstallProgressOperation operation) const override;
    void installFailedWithRequirement(const std::shared_ptr<PelRequirement>& requirement) override;
    void installComplete(int status) override;
    void installWarningWithRequirement(const std::shared_ptr<PelRequirement>& requirement) override;
    void installFailedWithAuthorization() override;
    void installFailedWithHelperTool(const platform::Error& error) override;
    void installFailedWithMissingBasePackage() override;
    void requirementsCompleted() override;
};
