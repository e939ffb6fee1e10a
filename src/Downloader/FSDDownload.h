// The download driver: fetches the files of a job one after another through
// the transports, unpacks each finished file, sends the downloader pings and
// the job's start and end requests, and reports to the download screen.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Downloader/FSDURLDownload.h"
#include "Downloader/PelFSDFile.h"
#include "Downloader/PelFSDJob.h"
#include "Downloader/PelFSDPingUtils.h"
#include "Downloader/PelFSDProtocol.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

/// Fetches a job's files, highest priority first, one at a time.
///
/// Threads: one serial queue per driver runs the transfers' events, their
/// completions, retries, the unpacking and every change of the driver's
/// state; startDownload() and cancelDownloads() may be called from any
/// thread. Delegate calls are posted to the main queue; the delegate is held
/// weakly. Every file ends in exactly one downloadDidFinish (done, or an
/// optional file that failed) or one downloadDidFailWithError (a mandatory
/// file failed; nothing more is fetched).
class FSDDownload : public std::enable_shared_from_this<FSDDownload> {
  public:
    /// Completion of the setup-installer download: (success, requirements
    /// list path or null, branding logo path or null, error or null).
    using SetupInstallerCompletion = std::function<void(
        bool success, const std::optional<std::string>& reqsPlistPath,
        const std::optional<std::string>& brandingLogoPath, const platform::Error* error)>;

    /// Largest setup-installer archive and largest file taken out of it.
    static constexpr std::int64_t kMaxSetupInstallerSize = 64ll << 20;
    /// The unzip tool and its watchdog.
    static constexpr std::string_view kUnzipToolPath = "/usr/bin/unzip";
    static constexpr std::chrono::seconds kUnzipWatchdog{900};
    static constexpr std::chrono::seconds kUnzipKillGrace{5};

    /// A driver for `jobs` writing into `downloadPath` (created when
    /// missing). Null with -90 "Unable to create the FSD Download folder"
    /// (folder not made), -89 "No Valid PelJobArray Provided" (no list) or
    /// -89 "PelJobArray had no valid download jobs" (empty list). Posts
    /// numberOfJobs() to the delegate.
    static std::shared_ptr<FSDDownload> createWithPelJobsArray(
        const std::vector<PelFSDJobPtr>* jobs, const std::string& downloadPath,
        PelFSDDelegateRef delegate, const std::shared_ptr<PelFSDPingUtils>& pingUtils,
        platform::Error* error);

    ~FSDDownload();

    /// Takes the setup-installer files out of the jobs, then starts the first
    /// transfer. Later calls do nothing.
    void startDownload();
    /// Cancels every running transfer (each keeps its resume data) and
    /// stops the download: no later call reaches the delegate or the pings.
    void cancelDownloads();
    /// True when no transfer is running or writing its resume data.
    bool isIdle() const;
    /// Waits until the work already queued on the driver's queue has run
    /// (for a program that ends once the last file is reported).
    void waitForQueuedWork();

    PelFSDJobPtr currentJob() const;
    PelFSDFilePtr currentFile() const;
    /// Always true: a partial transfer can always be looked for.
    bool doesPartialDownloadExist() const { return true; }

    /// What was unpacked, in completion order: {"pkgName", "pkgPriority", "pingModuleID"}.
    std::vector<platform::Dictionary> packagePaths() const;
    const std::string& downloadPath() const { return downloadPath_; }
    bool isSetupFileAvailable() const { return isSetupFileAvailable_.load(); }

    /// Fetches the setup-installer archive with a one-shot request (at most
    /// kMaxSetupInstallerSize), unpacks it into the download folder and calls
    /// `completion` once on the main queue. False without calling it: -96
    /// (no file) or -95 (no usable address).
    bool downloadSetupInstallerFile(const PelFSDFilePtr& file, platform::Error* error,
                                    SetupInstallerCompletion completion);
    /// Unpacks every entry of the archive into `folder` (top-level regular
    /// files only, each at most kMaxSetupInstallerSize, checksums checked);
    /// false at the first entry that is anything else or fails. The archive
    /// is deleted in every case.
    static bool unzipFileFrom(const std::string& zipPath, const std::string& folder);

    /// The unzip tool used for application archives (tests point it at a fake).
    static std::string unzipToolPath();
    static void setUnzipToolPath(std::string path);
    /// The tool's watchdog and the grace between SIGTERM and SIGKILL.
    static void setUnzipWatchdogForTesting(std::chrono::milliseconds watchdog,
                                           std::chrono::milliseconds killGrace);
    /// Forgets that the start notification was sent (tests).
    static void resetStartNotificationsForTesting();

    // The steps, normally run on the driver's queue.
    void nextFile();
    void removeFile();
    void downloadCompleted(const std::string& path);
    void completeWithError(const platform::Error* error);
    void sendStartPing();
    void sendOLPPing(const std::optional<std::string>& address);
    void removeSetupInstallerFilefromJobArray();
    bool unzipFile();
    bool unzipAppOrFolder();

  private:
    enum class Unpacked { Done, Failed, Skipped };

    FSDDownload(std::string downloadPath, PelFSDDelegateRef delegate,
                std::shared_ptr<PelFSDPingUtils> pingUtils);
    void post(PelFSDOperation operation, std::function<void(PelFSDProtocol&)> call) const;
    void advance();
    /// Unpacks the archive a stopped run finished fetching, when it is still
    /// whole; false when the file is to be fetched.
    bool takeUpCompleteArchive(const std::string& url, const std::string& name,
                               const std::string& resumePath);
    /// Sends the start pings once a run, for its first transfer (none for a
    /// run that only sets up).
    void startPingsForFirstTransfer(bool first);
    void failCurrentFile(const platform::Error& error);
    Unpacked unpackPackage();
    Unpacked unpackWithTool();
    void addPackageDescription(const PelFSDFile& file, const std::string& name);
    void raiseErrorAndcleanDir(const platform::Error& error, const std::string& archivePath);
    /// The failure of a finished file that is no (complete) ZIP archive:
    /// -100 "Failed to open the Download zip file"; the file is deleted.
    void raiseNotAnArchive(const std::string& archivePath);
    bool stopped() const { return cancelled_.load(); }
    void transportFinished();

    const std::string downloadPath_;
    const PelFSDDelegateRef delegate_;
    const std::weak_ptr<PelFSDPingUtils> pingUtils_;
    // Forwards to the delegate until the download is cancelled from outside.
    const std::shared_ptr<PelFSDProtocol> gate_;
    const std::shared_ptr<platform::SerialQueue> queue_;

    mutable std::mutex mutex_;  // guards what follows
    std::vector<PelFSDJobPtr> jobsArray_;
    std::vector<platform::Dictionary> packagePaths_;
    std::vector<FSDURLDownloadPtr> transfers_;
    FSDURLDownloadPtr current_;
    int activeTransports_ = 0;

    std::atomic<bool> started_{false};
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> isSetupFileAvailable_{false};
    std::atomic<std::uint64_t> bytesReceived_{0};
};

using FSDDownloadPtr = std::shared_ptr<FSDDownload>;
