// The statistics pings of the downloader.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "Downloader/StatPing.h"
#include "Platform/Text/UuidText.h"
#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

/// Sends one ping per downloader event: the fixed base query (module 9090,
/// product, version, language, build, OS, machine identifier, the manifest,
/// job and transaction identifiers and the installer folders with their
/// manifest time stamps) followed by the event's fields. Event methods build
/// their query on the calling thread and send it asynchronously on the
/// sender's queue; the identifier setters may be called from any thread.
class PelFSDPingUtils : public StatPing {
  public:
    /// Agent text used when the factory is given none.
    static constexpr const char* kDefaultUserAgent = "PelOstrelInstaller-Ping";
    static constexpr int kModule = 9090;

    /// Event codes sent as "E".
    enum FSDPingEvent : int {
        kJobStarted = 0,
        kJobFinished = 1,
        kRetryAfterCorruptInstaller = 18,
        kRetryAfterInstallFailed = -4,
        kRetryAfterValidationFailed = 20,
        kResumeAfterNoSpace = 21,
        kManifestVerificationFailed = 22,
        kManifestParsingFailed = 23,
    };

    /// A sender, or null when queue name, product name, version and build are
    /// all absent. A missing agent text becomes kDefaultUserAgent; the version
    /// goes through versionStringWithBuildCharReplacedByDot(); time-out 5 s.
    static std::shared_ptr<PelFSDPingUtils> createFSDPingUtilsWithQueueName(
        const std::optional<std::string>& queueName, const std::optional<std::string>& productName,
        const std::optional<std::string>& version, const std::optional<std::string>& build,
        const std::optional<std::string>& userAgent);

    /// The version with its first "f", "d", "F" or "D" replaced by ".".
    static std::string versionStringWithBuildCharReplacedByDot(std::string_view version);

    /// Where "g" comes from: the installer folders holding a download
    /// manifest with their time stamps, as the application utilities keep
    /// them. Until those utilities are set up the source answers "". Set it
    /// once at start-up (null restores the empty default).
    using InstallerDirSource = std::function<std::string()>;
    static void setInstallerDirWithManifestTimeStampSource(InstallerDirSource source);

    /// The canonical text of a UUID, or "" for none.
    static std::string UUIDToString(const std::optional<platform::UuidBytes>& uuid);

    std::optional<platform::UuidBytes> manifest_id() const;
    void setManifest_id(std::optional<platform::UuidBytes> v);
    std::optional<platform::UuidBytes> job_id() const;
    void setJob_id(std::optional<platform::UuidBytes> v);
    std::optional<platform::UuidBytes> transaction_id() const;
    void setTransaction_id(std::optional<platform::UuidBytes> v);

    const std::optional<std::string>& productName() const { return productName_; }
    void setProductName(std::optional<std::string> v) { productName_ = std::move(v); }
    const std::optional<std::string>& version() const { return version_; }
    void setVersion(std::optional<std::string> v) { version_ = std::move(v); }
    const std::optional<std::string>& build() const { return build_; }
    void setBuild(std::optional<std::string> v) { build_ = std::move(v); }
    /// Always the value of the installer-folder source; setting it changes
    /// nothing that pings send.
    std::string installerDirWithManifestTimeStamp() const;
    void setInstallerDirWithManifestTimeStamp(std::string v);

    /// The base query, fields in their fixed order.
    std::string baseDataFormat() const;

    void sendFSDJobStartedPing();
    void sendFSDJobFinishedPing();
    void sendRetryDownloadPingWhenCorruptInstaller(int failCount, int manifestFailCount,
                                                   std::optional<std::string_view> path);
    void sendRetryDownloadPingWhenInstallFailed(int failCount, int manifestFailCount,
                                                std::optional<std::string_view> path);
    void sendRetryDownloadPingWhenDownloadFilesValidationFailed(
        int failCount, int manifestFailCount, std::optional<std::string_view> path);
    void sendResumeDownloadPingWhenNoSpaceError(int failCount, int manifestFailCount,
                                                std::optional<std::string_view> path);
    void sendFSDManifestVerificationFailedPing(int failCount, int manifestFailCount, int code,
                                               std::optional<std::string_view> path,
                                               const platform::Error* error);
    void sendFSDManifestParsingFailedPing(int failCount, int manifestFailCount, int code,
                                          std::optional<std::string_view> path,
                                          const platform::Error* error);
    void sendDownloadSuccessPing(int bytesReceived, int downloadCode);
    void sendDownloadFailPing(int bytesReceived, std::optional<std::string_view> path,
                              const platform::Error* error, int downloadCode);
    void sendOptionalPkgDownloadFailPing(int bytesReceived, std::optional<std::string_view> path,
                                         std::int64_t filePriority, const platform::Error* error);
    void sendDownloadSetupInstallerFailPing(std::optional<std::string_view> path,
                                            const platform::Error* error);

    /// The base query, then for each key in the dictionary's order: "error",
    /// "E", "L", "Y" as signed integers, "I", "J", "K", "M" as unsigned
    /// 32-bit integers, "N" as text; other keys are skipped.
    void sendFSDPing(const platform::Dictionary& fields);

  protected:
    PelFSDPingUtils(const char* queueName, std::optional<std::string> agent);

  private:
    void sendEvent(const std::string& fields);
    void sendRetry(int event, int failCount, int manifestFailCount,
                   std::optional<std::string_view> path);

    mutable std::mutex idMutex_;
    std::optional<platform::UuidBytes> manifestId_, jobId_, transactionId_;
    std::optional<std::string> productName_, version_, build_;
    std::string installerDirWithManifestTimeStamp_;
};
