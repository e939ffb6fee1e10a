// One file of a download job, read from either manifest layout.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

/// A file to fetch. The text properties are guarded, so the driver may set
/// the local path while a transport reads the address on another thread.
class PelFSDFile {
  public:
    /// The file that carries the requirement list and the branding logo.
    static constexpr std::int32_t kSetupInstallerFileType = 100;
    /// Any other file.
    static constexpr std::int32_t kOrdinaryFileType = 101;
    /// Module of a file's pings when the manifest names none.
    static constexpr std::int64_t kDefaultPingModule = 9000;
    /// Transfer retries are kept between 0 and this.
    static constexpr std::uint64_t kMaxRetries = 100;

    /// A file from a per-element layout file object, or null with -87 "Some
    /// entires were missing in the FSD file" in `error` when it has no usable
    /// "source_file" (or is not an object).
    static std::shared_ptr<PelFSDFile> createFileWithDic(const platform::Value& dic,
                                                         platform::Error* error);
    /// A file from a flat-list entry, or null with the same error when it has
    /// no usable "environment.PAYLOAD_SOURCE".
    static std::shared_ptr<PelFSDFile> createFileUsingDefaultVersionWithDic(
        const platform::Value& dic, platform::Error* error);

    std::optional<std::string> downloadURL() const;
    void setDownloadURL(std::optional<std::string> v);
    std::optional<std::string> pkgName() const;
    void setPkgName(std::optional<std::string> v);
    std::optional<std::string> appName() const;
    void setAppName(std::optional<std::string> v);
    std::optional<std::string> reqsPlist() const;
    void setReqsPlist(std::optional<std::string> v);
    std::optional<std::string> brandingLogo() const;
    void setBrandingLogo(std::optional<std::string> v);
    std::optional<std::string> downloadLocalPath() const;
    void setDownloadLocalPath(std::optional<std::string> v);

    std::int32_t fileType() const { return fileType_; }
    void setFileType(std::int32_t v) { fileType_ = v; }
    /// Order key; negative marks an optional file.
    std::int64_t filePriority() const { return filePriority_; }
    void setFilePriority(std::int64_t v) { filePriority_ = v; }
    std::int64_t pingModuleID() const { return pingModuleID_; }
    void setPingModuleID(std::int64_t v) { pingModuleID_ = v; }
    /// Remaining transfer retries after transient errors.
    std::uint64_t retries() const { return retries_; }
    void setRetries(std::uint64_t v) { retries_ = v; }

  private:
    std::optional<std::string> get(const std::optional<std::string>& field) const;
    void set(std::optional<std::string>& field, std::optional<std::string> v);

    mutable std::mutex mutex_;
    std::optional<std::string> downloadURL_, pkgName_, appName_, reqsPlist_, brandingLogo_,
        downloadLocalPath_;
    std::atomic<std::int32_t> fileType_{kOrdinaryFileType};
    std::atomic<std::int64_t> filePriority_{0};
    std::atomic<std::int64_t> pingModuleID_{kDefaultPingModule};
    std::atomic<std::uint64_t> retries_{0};
};

using PelFSDFilePtr = std::shared_ptr<PelFSDFile>;
