// One download job of a manifest, read from either layout.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Downloader/PelFSDFile.h"
#include "Platform/Text/UuidText.h"
#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

/// A download job: its identifiers, the distribution's values and its files
/// sorted by ascending priority (the driver takes files from the end, so the
/// highest priority is fetched first and optional files last). The text and
/// number properties are guarded; the file list is the driver's to walk.
class PelFSDJob {
  public:
    /// Most files (or flat-list entries) one job may hold.
    static constexpr std::size_t kMaxFiles = 4096;

    /// A job from a per-element layout job object, or null with -87 in
    /// `error`: "Job_ID is missing from the download job", "Transaction_ID is
    /// missing from the download job" (missing or not UUID text), "File Array
    /// entires were missing in the FSD Job" (no files or too many), or "Some
    /// entires were missing in the FSD file" (a file without a usable source
    /// address or with a name that is not a plain file name).
    static std::shared_ptr<PelFSDJob> createJobWithDic(const platform::Value& dic,
                                                       platform::Error* error);
    /// A job from the whole flat "job_array" list, or null with -87: the
    /// identifier messages above (read at the entry that gives the
    /// start-of-download address), or "File Array entires were missing in
    /// the FSD Job" for a refused entry, no entries or too many.
    static std::shared_ptr<PelFSDJob> createJobUsingDefaultVersionWithDic(
        const platform::Value& jobArray, platform::Error* error);
    /// The first file of the job that is a setup-installer file, or null.
    /// Never fills `error`.
    static PelFSDFilePtr getSetupInstallerFile(const PelFSDJob* job, platform::Error* error);

    std::optional<platform::UuidBytes> job_id() const;
    void setJob_id(std::optional<platform::UuidBytes> v);
    std::optional<platform::UuidBytes> transaction_id() const;
    void setTransaction_id(std::optional<platform::UuidBytes> v);

    std::vector<PelFSDFilePtr>& fileArray() { return fileArray_; }
    const std::vector<PelFSDFilePtr>& fileArray() const { return fileArray_; }
    void setFileArray(std::vector<PelFSDFilePtr> files) { fileArray_ = std::move(files); }

    std::optional<std::string> olpStartURLString() const;
    std::optional<std::string> olpEndURLString() const;
    std::optional<platform::Value> campaignID() const;
    std::optional<std::string> partnerUnitName() const;
    std::optional<platform::Value> partnerUnitID() const;
    std::optional<std::string> machineName() const;
    std::optional<std::string> ccToken() const;
    std::optional<std::string> ccOnBoardingKey() const;
    std::optional<std::string> dmrAccessToken() const;
    std::optional<std::string> ssoString() const;
    std::optional<std::string> sso() const { return ssoString(); }
    std::optional<std::string> olpStartURL() const { return olpStartURLString(); }
    std::optional<std::string> olpEndURL() const { return olpEndURLString(); }

  private:
    struct Values {
        std::optional<platform::UuidBytes> jobId, transactionId;
        std::optional<platform::Value> campaignID, partnerUnitID;
        std::optional<std::string> partnerUnitName, machineName, ccToken, ccOnBoardingKey,
            dmrAccessToken, olpStartURLString, olpEndURLString, ssoString;
    };
    // Fills every value of the distribution that is still open from `dic`.
    static void fillOpenValues(Values& values, const platform::Dictionary& dic);
    static void sortFiles(std::vector<PelFSDFilePtr>& files);

    mutable std::mutex mutex_;
    Values values_;
    std::vector<PelFSDFilePtr> fileArray_;
};

using PelFSDJobPtr = std::shared_ptr<PelFSDJob>;
