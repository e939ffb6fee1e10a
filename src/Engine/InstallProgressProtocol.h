// The install engine's callbacks to the object that shows an installation's
// progress (the install progress screen).
//
// Every operation is optional in the plug-in protocol's manner: the object
// answers respondsTo() for the operations it offers, and the engine asks
// before each call, for the required ones too. The callbacks of the helper
// path and requirementsCompleted() are sent only when the object also
// declares conformance (conformsToInstallProgressProtocol()).
//
// Threads: the requirement check and the launch failures call on the main
// thread; the helper's progress arrives on the install client's serial
// queue; installComplete() may come from the thread on which the product
// plug-in reported back. The object moves its interface work to the main
// queue itself.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

class PelRequirement;

enum class InstallProgressOperation {
    installFailedWithRequirement,
    installComplete,
    installWarningWithRequirement,
    installFailedWithAuthorization,
    installFailedWithHelperTool,
    installFailedWithMissingBasePackage,
    installProgressPercent,
    packagesCompleted,
    installProgressPhaseString,
    sendInstallFailedPingForOptionalPackage,
    setInstallFailedPingDataForMandatoryPackage,
    installCompleteReason,
    requirementsCompleted,
};

class InstallProgressProtocol {
  public:
    virtual ~InstallProgressProtocol() = default;

    virtual bool respondsTo(InstallProgressOperation operation) const = 0;
    /// Whether the object declares conformance to the protocol.
    virtual bool conformsToInstallProgressProtocol() const { return true; }

    virtual void installFailedWithRequirement(const std::shared_ptr<PelRequirement>&) {}
    /// 304 completed, 302 failed, 305 timed out.
    virtual void installComplete(int /*status*/) {}
    virtual void installWarningWithRequirement(const std::shared_ptr<PelRequirement>&) {}
    virtual void installFailedWithAuthorization() {}
    /// The blessing's error, or null when there is none.
    virtual void installFailedWithHelperTool(const platform::Error* /*error*/) {}
    virtual void installFailedWithMissingBasePackage() {}
    /// The overall percent, 0 to 100.
    virtual void installProgressPercent(double /*percent*/) {}
    virtual void packagesCompleted(std::uint64_t /*count*/) {}
    virtual void installProgressPhaseString(const std::string& /*phase*/) {}
    /// A package failure record with "pingModuleID".
    virtual void sendInstallFailedPingForOptionalPackage(const platform::Dictionary& /*info*/) {}
    /// A package failure record without "pingModuleID".
    virtual void setInstallFailedPingDataForMandatoryPackage(const platform::Dictionary& /*info*/) {
    }
    virtual void installCompleteReason(const std::string& /*reason*/) {}
    virtual void requirementsCompleted() {}
};
