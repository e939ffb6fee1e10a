// The install engine's errors: domain "InstallErrorDomain", the message text
// under "InstallErrorInformation".
#pragma once

#include <string>
#include <string_view>

#include "Platform/Values/Error.h"

inline constexpr std::string_view kInstallErrorDomain = "InstallErrorDomain";
inline constexpr std::string_view kInstallErrorInformation = "InstallErrorInformation";

/// Codes of the requirement list, the requirements, the install facade and
/// the launch agent.
enum PelInstallErrorCode : long {
    kPelErrPackagesInvalid = -392,
    kPelErrNoProgressObject = -391,
    kPelErrLaunchAgentNewerInstalled = -394,
    kPelErrRequirementsPathNil = -390,
    kPelErrRequirementsUnreadable = -389,
    kPelErrInstallCheckTypeEmpty = -387,
    kPelErrInstallCheckTypeInvalid = -386,
    kPelErrInstallCheckValueMissing = -385,
    kPelErrPelIEMissing = -384,
    kPelErrPelIEIncomplete = -383,
    kPelErrRequirementsPathMissing = -377,
    kPelErrRequirementIDMissing = -376,
};

/// An error of the install engine's domain with `message` as its information.
inline platform::Error PelMakeInstallError(long code, std::string message) {
    platform::Error error{std::string(kInstallErrorDomain), code};
    error.setUserInfoValue(std::string(kInstallErrorInformation),
                           platform::Value(std::move(message)));
    return error;
}

/// Install failure codes passed to the plug-in's installFailedWithError().
enum InstallFailureCode : int {
    kInstallFailureRequirement = -400,
    kInstallFailureAuthorization = -399,
    kInstallFailureHelperTool = -398,
};
