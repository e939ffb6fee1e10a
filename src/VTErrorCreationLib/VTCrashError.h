// A crash as an error report (failure type 1, severity 1): made from a
// decoded crash report, bucketed by the first module outside the operating
// system on the crashing stack (else the failing module). The report file
// is attached as "FVCrashReport".
#pragma once

#include <memory>
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

    /// Makes saved crash errors openable by the reporting client.
    static void registerErrorKindLoader();

    explicit VTCrashError(std::shared_ptr<VTErrorClient> client);
    /// A saved crash error (final when `openMode` is 0).
    VTCrashError(VTErrorProperties properties, VTErrorData data, std::string folder,
                 std::shared_ptr<VTErrorClient> client, std::uint64_t openMode);
};
