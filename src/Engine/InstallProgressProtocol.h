// The install engine's callbacks to the object that shows an install's
// progress (the install progress screen).
//
// Written in the manner of IFPluginProtocol: the object answers respondsTo()
// for the operations it implements, and the engine asks before every call,
// also before the required ones. The callbacks of the helper path and
// requirementsCompleted() are sent only when conformsToInstallProgressProtocol()
// is true as well. Optional operations have empty default bodies.
//
// Calls come from the main thread or from the engine's serial queue
// "com.xpcinstall.serial.queue" (see each operation); an implementation moves
// its view work to the main queue itself.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

class PelRequirement;

/// The operations of InstallProgressProtocol, in declaration order.
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

/// The number of operations in InstallProgressOperation.
inline constexpr int kInstallProgressOperationCount = 13;

class InstallProgressProtocol {
  public:
    virtual ~InstallProgressProtocol() = default;

    /// Whether the object implements `operation`.
    virtual bool respondsTo(InstallProgressOperation operation) const = 0;
    /// Whether the object declares conformance to the protocol.
    virtual bool conformsToInstallProgressProtocol() const { return true; }

    // Required.

    /// A requirement failed whose error record type is not "WARNING"
    /// (requirement check, caller's thread). May be null.
    virtual void installFailedWithRequirement(
        const std::shared_ptr<PelRequirement>& requirement) = 0;
    /// The installation ended: 304 completed, 302 failed, 305 timed out.
    virtual void installComplete(int status) = 0;
    /// A requirement failed whose error record type is "WARNING".
    virtual void installWarningWithRequirement(
        const std::shared_ptr<PelRequirement>& requirement) = 0;
    /// No administrator authorisation (main queue).
    virtual void installFailedWithAuthorization() = 0;
    /// Blessing the helper failed, with the blessing's error (main queue).
    virtual void installFailedWithHelperTool(const platform::Error* error) = 0;
    /// The package list is empty or invalid, or a package does not exist.
    virtual void installFailedWithMissingBasePackage() = 0;

    // Optional.

    /// Overall percent, 0 to 100.
    virtual void installProgressPercent(double /*percent*/) {}
    /// Packages finished so far, after each but the last (helper path).
    virtual void packagesCompleted(std::uint64_t /*count*/) {}
    /// Phase text of the system installer.
    virtual void installProgressPhaseString(const std::string& /*phase*/) {}
    /// An optional package failed in the helper (PackageFailureInfo with
    /// pingModuleID).
    virtual void sendInstallFailedPingForOptionalPackage(const platform::Dictionary& /*info*/) {}
    /// A mandatory package failed in the helper (PackageFailureInfo).
    virtual void setInstallFailedPingDataForMandatoryPackage(const platform::Dictionary& /*info*/) {
    }
    /// The system installer's completion or failure text.
    virtual void installCompleteReason(const std::string& /*reason*/) {}
    /// The requirement list has been evaluated, passed or failed.
    virtual void requirementsCompleted() {}
};
