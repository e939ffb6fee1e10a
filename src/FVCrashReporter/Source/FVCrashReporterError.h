// The crash reporter's errors: domain FVCrashReporterErrorDomain, the
// message under the localized-description key and the cause, if any, under
// the underlying-error key.
#pragma once

#include <string>
#include <string_view>

#include "Platform/Values/Error.h"

inline constexpr std::string_view FVCrashReporterErrorDomain = "FVCrashReporterErrorDomain";

enum FVCrashReporterError : long {
    FVCrashReporterErrorUnknown = 0,
    /// The cause is an error of NSMachErrorDomain or NSPOSIXErrorDomain.
    FVCrashReporterErrorOperatingSystem = 1,
    FVCrashReporterErrorInvalidCrashReport = 2,
    FVCrashReporterErrorCrashReportUnsupportedVersion = 3,
    /// A second enabling in the same process.
    FVCrashReporterErrorResourceBusy = 3,
};

/// Stores a crash reporter error in `out` (nothing when it is null).
void fvcrash_populate_error(platform::Error* out, long code, std::string_view description,
                            const platform::Error* underlying);
/// An operating-system error (code 1) around a NSMachErrorDomain error.
void fvcrash_populate_mach_error(platform::Error* out, long machCode, std::string_view description);
/// An operating-system error (code 1) around a NSPOSIXErrorDomain error.
void fvcrash_populate_posix_error(platform::Error* out, int errnoValue,
                                  std::string_view description);
