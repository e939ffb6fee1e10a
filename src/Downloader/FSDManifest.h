// The signed download manifest: "fsdmanifest.js" with its detached
// signature "fsdmanifest-sig.txt".
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Downloader/PelFSDJob.h"
#include "Downloader/PelFSDPingUtils.h"
#include "Platform/Text/UuidText.h"
#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

/// A download manifest whose signature was checked against the built-in
/// verification key (or skipped by the signed marker file) and whose JSON
/// gave at most one download job. Immutable once made; created and used on
/// the caller's thread. Failures are reported to the ping sender (which the
/// manifest does not own) as manifest verification or parsing pings.
class FSDManifest {
  public:
    /// Largest manifest (and marker file) read: 64 MiB.
    static constexpr std::size_t kMaxManifestSize = 64u << 20;
    /// Largest signature text read.
    static constexpr std::size_t kMaxSignatureSize = 64u << 10;
    /// The file that turns the signature check off when it is itself a
    /// signed data file holding kSignatureSkipIdentifier.
    static constexpr std::string_view kSignatureSkipMarkerPath =
        "/Library/Application Support/FSD.flag";
    static constexpr std::string_view kSignatureSkipIdentifier =
        "5B0E72A4-9C3D-4F81-A6E2-0D47C9B13F58";

    /// Reads the manifest and the signature from their files and makes the
    /// manifest. Null on failure, with -88 in `error`: "Error occurred while
    /// starting FSD" (the signature check failed; its error, if any,
    /// underneath) or "Error occurred:Load manifest failed" (parsing failed;
    /// its error, if any, underneath).
    static std::shared_ptr<FSDManifest> createFSDManifest(
        const std::optional<std::string>& manifestPath, const std::optional<std::string>& sigPath,
        const std::shared_ptr<PelFSDPingUtils>& pingUtils, platform::Error* error);
    /// The same from bytes given by the caller; the paths stay absent.
    static std::shared_ptr<FSDManifest> createFSDManifestWithData(
        const std::optional<platform::Data>& manifestData,
        const std::optional<platform::Data>& sigData,
        const std::shared_ptr<PelFSDPingUtils>& pingUtils, platform::Error* error);
    /// The common constructor: bytes that are given win over the paths.
    static std::shared_ptr<FSDManifest> createFSDManifest(
        const std::optional<std::string>& manifestPath, const std::optional<std::string>& sigPath,
        std::optional<platform::Data> manifestData, const std::optional<platform::Data>& sigData,
        const std::shared_ptr<PelFSDPingUtils>& pingUtils, platform::Error* error);

    /// Checks `manifestData` (read from manifestPath() when absent) against
    /// `sigData` (read from sigPath() when absent). True when the signature
    /// verifies with SHA-512 or the skip marker is installed. On failure
    /// clears the bytes, sends the verification-failed ping and returns false
    /// with -98 in `error` when the failure has an error of its own (a
    /// signature that does not match has none). `manifestData` null: -98
    /// "Manifest data is nil while validate manifest", no ping.
    bool validateManifest(std::optional<platform::Data>* manifestData,
                          const std::optional<platform::Data>* sigData, platform::Error* error);
    bool validateManifest(std::optional<platform::Data>* manifestData, platform::Error* error) {
        return validateManifest(manifestData, nullptr, error);
    }

    /// True only when the marker file is a valid signed data file whose text
    /// holds kSignatureSkipIdentifier.
    bool isFSDSignatureDisableFlagFileInstalled() const;

    /// Parses the manifest JSON into its one job. False on failure, with -97,
    /// -89 or -84 in `error` (or no error for a missing fail-over address),
    /// after sending the parsing-failed ping.
    bool loadManifestWithData(const std::optional<platform::Data>& data, platform::Error* error);

    /// The value at a dotted key path of the "fsd" object, or null.
    const platform::Value* objectForKey(std::string_view keyPath) const;
    const std::optional<std::string>& failOverURL() const { return failOverURLString_; }

    const std::optional<std::string>& manifestPath() const { return manifestPath_; }
    const std::optional<std::string>& sigPath() const { return sigPath_; }
    const platform::Dictionary& fsdDic() const { return fsdDic_; }
    const std::vector<PelFSDJobPtr>& pelJobsArray() const { return pelJobsArray_; }
    const std::optional<platform::UuidBytes>& manifest_id() const { return manifestId_; }
    const std::optional<std::string>& failOverURLString() const { return failOverURLString_; }
    const PelFSDFilePtr& setupInstallerFile() const { return setupInstallerFile_; }
    std::shared_ptr<PelFSDPingUtils> pingUtils() const { return pingUtils_.lock(); }

  private:
    bool parse(const std::optional<platform::Data>& data, platform::Error* error);
    bool verifySignature(const std::optional<platform::Data>& manifest,
                         const std::optional<platform::Data>* sigData,
                         platform::Error* error) const;

    std::optional<std::string> manifestPath_, sigPath_;
    platform::Dictionary fsdDic_;
    std::vector<PelFSDJobPtr> pelJobsArray_;
    std::optional<platform::UuidBytes> manifestId_;
    std::optional<std::string> failOverURLString_;
    PelFSDFilePtr setupInstallerFile_;
    std::weak_ptr<PelFSDPingUtils> pingUtils_;
};

using FSDManifestPtr = std::shared_ptr<FSDManifest>;
