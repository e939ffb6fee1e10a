// Everything the error-reporting library is told from outside: whether it
// may record errors, submission limits and probabilities, time-outs, the
// gateways, and the folders under one base directory.
//
// A configuration is built with fixed defaults on a base directory
// (hardcodedConfigurationUsingPath) or read from the signed, scrambled file
// "vtscd.dat" with its detached signature "vtscd.sig". Base directories are
// used as given: callers pass resolved paths (platform::Paths).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Values/Error.h"
#include "VTErrorCreationLib/Utilities/VTCoding.h"
#include "VTErrorCreationLib/VTGateway.h"

/// Domain of the signature errors of the configuration file; the code is the
/// signature status (-70600 to -70607).
inline constexpr std::string_view kPelErrDomainPelgraveTrustedComponents =
    "kPelErrDomainPelgraveTrustedComponents";

// Type, name, setter suffix; in declaration order (the order of archives).
#define VT_SCD_CONFIGURATION_PROPERTIES(X)                                                  \
    X(std::optional<std::string>, basePath, BasePath)                                       \
    X(std::optional<std::string>, scdPath, ScdPath)                                         \
    X(bool, enabled, Enabled)                                                               \
    X(std::optional<std::string>, settingsPath, SettingsPath)                               \
    X(std::optional<std::string>, errorsPath, ErrorsPath)                                   \
    X(std::uint32_t, maxPingSubmissionsPerDay, MaxPingSubmissionsPerDay)                    \
    X(std::uint32_t, pingProbability, PingProbability)                                      \
    X(std::uint32_t, maxAgeDays, MaxAgeDays)                                                \
    X(std::uint32_t, maxLogicalErrorCountPerBucket, MaxLogicalErrorCountPerBucket)          \
    X(std::uint32_t, maxUploadSizeBytes, MaxUploadSizeBytes)                                \
    X(std::uint32_t, maxUploadSubmissionsPerDay, MaxUploadSubmissionsPerDay)                \
    X(std::uint32_t, uploadSubmissionProbability, UploadSubmissionProbability)              \
    X(std::vector<VTGateway>, gateways, Gateways)                                           \
    X(std::uint32_t, networkConnectTimeoutSeconds, NetworkConnectTimeoutSeconds)            \
    X(std::uint32_t, networkUploadTimeoutSeconds, NetworkUploadTimeoutSeconds)              \
    X(bool, retryPingFailures, RetryPingFailures)                                           \
    X(bool, compressPayload, CompressPayload)                                               \
    X(bool, enableLogicalErrors, EnableLogicalErrors)                                       \
    X(std::optional<std::string>, undetailedLogicalErrorsPath, UndetailedLogicalErrorsPath) \
    X(std::uint64_t, maxFileAttachmentSizeBytes, MaxFileAttachmentSizeBytes)                \
    X(std::optional<std::string>, undetailedCrashDumpsPath, UndetailedCrashDumpsPath)       \
    X(std::optional<std::string>, logicalActionManifest, LogicalActionManifest)             \
    X(bool, enableCrashDumps, EnableCrashDumps)                                             \
    X(std::optional<std::string>, crashActionManifest, CrashActionManifest)                 \
    X(std::optional<platform::Dictionary>, throttledBuckets, ThrottledBuckets)              \
    X(std::optional<platform::Array>, logicalActionManifests, LogicalActionManifests)       \
    X(std::optional<platform::Array>, crashActionManifests, CrashActionManifests)           \
    X(std::optional<platform::Array>, panicActionManifests, PanicActionManifests)           \
    X(std::optional<std::string>, gatherPelgraveInfoScript, GatherPelgraveInfoScript)

class VTSCDConfiguration : public VTFieldCodable<VTSCDConfiguration> {
  public:
    static constexpr std::string_view kArchiveClassName = "VTSCDConfiguration";
    /// Every property; basePath and scdPath are not codable (a stored
    /// configuration never carries its own location).
    static std::span<const VTField<VTSCDConfiguration>> codingFields();

    /// The defaults without a base directory (all paths absent).
    VTSCDConfiguration();
    /// The defaults, with the paths under `basePath`: "vtscd.dat",
    /// "vtsettings.dat", "Submissions", "Errors", "CrashDumps".
    explicit VTSCDConfiguration(const std::string& basePath);

    /// A configuration with the defaults on `basePath`, whose folders are
    /// created. No file is read.
    static VTSCDConfiguration hardcodedConfigurationUsingPath(const std::string& basePath);
    /// The library's folder in the product line's silo (resolved through the
    /// path root), or nullopt when it cannot be built.
    static std::optional<std::string> currentSiloPath();
    /// The configuration installed in currentSiloPath()/vtscd.dat, with that
    /// folder as base directory. A path that cannot be built or a file that is
    /// not readable gives NSCocoaErrorDomain 4 with NSFilePath; otherwise the
    /// errors of configurationWithContentsOfPath.
    static std::optional<VTSCDConfiguration> installedConfiguration(platform::Error* error);
    /// Reads, verifies and decodes the configuration file at `path`. With a
    /// base directory the folders lie under it (the paths stored in the file
    /// are replaced); without one the stored paths are used and the base path
    /// is the file's folder. The folders are created. Failures: those of
    /// dataForConfigurationAtURL; VTErrorDomain 5009 (logged as "The Vantrel
    /// configuration file is corrupted.") when the bytes are no configuration.
    static std::optional<VTSCDConfiguration> configurationWithContentsOfPath(
        const std::string& path, const std::optional<std::string>& baseDirectory,
        platform::Error* error);
    /// The verified bytes of a configuration file: NSCocoaErrorDomain 4 (no
    /// file) or 513 (not readable) with NSURL; the read error; or
    /// kPelErrDomainPelgraveTrustedComponents with the signature status when
    /// "vtscd.sig" beside it does not verify the very bytes returned.
    static std::optional<platform::Data> dataForConfigurationAtURL(const std::string& path,
                                                                   platform::Error* error);
    static bool isValidConfigurationAtURL(const std::string& path, platform::Error* error);

    /// Creates the undetailed-errors, crash-dump and errors folders that do
    /// not exist (with intermediate folders, mode 01777: every user adds,
    /// none removes another's entries); a failure is logged and the next
    /// folder is tried. Every folder is made by descriptor (mkdirat, then
    /// fchmod on the folder made); running as root, a folder on the way that
    /// is another user's link or folder, or writable by others without the
    /// sticky bit, is refused (logged) and left alone.
    void initializeDirectories() const;

#define VT_SCD_ACCESSORS(Type, name, Name)       \
    const Type& name() const { return name##_; } \
    void set##Name(Type value) { name##_ = std::move(value); }
    VT_SCD_CONFIGURATION_PROPERTIES(VT_SCD_ACCESSORS)
#undef VT_SCD_ACCESSORS

    /// The text description of the value dictionary.
    std::string description() const { return VTCodingUtilities::description(*this); }

  private:
    void setPathsUnder(const std::string& basePath);

#define VT_SCD_MEMBER(Type, name, Name) Type name##_{};
    VT_SCD_CONFIGURATION_PROPERTIES(VT_SCD_MEMBER)
#undef VT_SCD_MEMBER
};
