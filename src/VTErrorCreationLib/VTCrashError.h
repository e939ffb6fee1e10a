// A crash as an error report (failure type 1, severity 1): made from a
// decoded crash report or a JSON crash dictionary, bucketed by the first
// module outside the operating system on the crashing stack (else the
// failing module). The report file is attached as "FVCrashReport", the
// dictionary as "CrashJSON"; data collection adds the operating system's
// own crash log of the same crash as "AppleCrashReport".
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "FVCrashReporter/Source/FVCrashReport.h"
#include "Platform/Values/Error.h"
#include "VTErrorCreationLib/VTErrorInstance.h"

class VTClient;

class VTCrashError : public VTErrorInstance {
  public:
    /// The report file at `url` read, decoded and made into an error; null
    /// with the read or decoding error, or null without one when the report
    /// gives no bucket.
    static std::shared_ptr<VTCrashError> errorFromCrashDataAtURL(
        const std::string& url, const std::shared_ptr<VTClient>& client, platform::Error* error);
    /// The error of a JSON crash dictionary, attached as "CrashJSON". A
    /// value that is not a dictionary fails with VTErrorDomain 5002; a
    /// dictionary the report objects reject fails with their error (code
    /// 2); null without an error when the report gives no bucket.
    static std::shared_ptr<VTCrashError> errorFromCrashJSONData(
        const platform::Value& json, const std::shared_ptr<VTClient>& client,
        platform::Error* error);
    /// The error of a decoded report; null when it cannot be bucketed. A
    /// non-empty `url` is the report file, attached to the error.
    static std::shared_ptr<VTCrashError> initWithCrashReport(
        const std::shared_ptr<FVCrashReport>& report, const std::string& url,
        const std::shared_ptr<VTClient>& client);

    /// Whether an image path belongs to the operating system: a system
    /// library folder, never anything under a "/local" folder.
    static bool isOperatingSystemImage(const std::string& path);

    /// Feeds the stack hash from the frames outside the operating system;
    /// the first of them names the maker's module.
    void walkFrames(const std::vector<FVCrashReportStackFrameInfo>& frames,
                    const FVCrashReport& report);
    /// The bucket from exception code, module name and offset; false when 0.
    bool generateBucketId();

    /// Attaches the operating system's crash log of this crash, after a wait
    /// of 10 seconds for it to be written: 0 when there is none (or one is
    /// attached already, without waiting), 1 when attached, -1 when the
    /// attaching failed. `error` is not written.
    std::int64_t collect(platform::Error* error) override;

    /// The operating system's crash log of this crash from the first search
    /// folder that holds one.
    std::optional<std::string> URLForAppleCrashReport() const;
    /// The ".crash" file under `directory` (walked without following links,
    /// hidden entries skipped) whose name begins with the process name (its
    /// first 16 characters) and whose creation date lies closest to the
    /// failure time, less than 8 seconds away. Only regular files owned by
    /// `account` or by root count.
    std::optional<std::string> URLForAppleCrashReportInDirectory(const std::string& directory,
                                                                 uid_t account) const;
    /// The same for the calling process's account.
    std::optional<std::string> URLForAppleCrashReportInDirectory(
        const std::string& directory) const;
    /// Each folder of allHomeLibraryDirectories + "Logs/DiagnosticReports";
    /// made once per process.
    static std::vector<std::string> allCrashDirectories();
    /// The user's Library folder, "/Library", then "Library" in the home
    /// folder of every account of the password database.
    static std::vector<std::string> allHomeLibraryDirectories();

    /// For tests: what collect waits with (null restores the real sleep),
    /// what gives a file's creation date in seconds since 1970 (null
    /// restores the file system's), and the search folders made again.
    using Sleeper = std::function<void(std::chrono::duration<double> seconds)>;
    static void setCollectSleeper(Sleeper sleeper);
    using CreationDateReader = std::function<std::optional<double>(const std::string& path)>;
    static void setCreationDateReader(CreationDateReader reader);
    static void resetCrashDirectories();

    /// Makes saved crash errors openable by the reporting client.
    static void registerErrorKindLoader();

    /// A crash dump URL a host may keep with the error; the library itself
    /// never sets it.
    std::optional<std::string> dumpURL() const;
    void setDumpURL(std::optional<std::string> url);

    explicit VTCrashError(std::shared_ptr<VTErrorClient> client);
    /// A saved crash error (final when `openMode` is 0).
    VTCrashError(VTErrorProperties properties, VTErrorData data, std::string folder,
                 std::shared_ptr<VTErrorClient> client, std::uint64_t openMode);

  private:
    mutable std::mutex dumpURLMutex_;
    std::optional<std::string> dumpURL_;
};
