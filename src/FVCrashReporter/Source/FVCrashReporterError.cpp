#include "FVCrashReporter/Source/FVCrashReporterError.h"

void fvcrash_populate_error(platform::Error* out, long code, std::string_view description,
                            const platform::Error* underlying) {
    if (!out) return;
    platform::Error error(std::string(FVCrashReporterErrorDomain), code);
    error.setUserInfoValue(std::string(platform::kLocalizedDescriptionKey),
                           platform::Value(std::string(description)));
    if (underlying) error.setUnderlyingError(*underlying);
    *out = std::move(error);
}

void fvcrash_populate_mach_error(platform::Error* out, long machCode,
                                 std::string_view description) {
    platform::Error cause(std::string(platform::kMachErrorDomain), machCode);
    fvcrash_populate_error(out, FVCrashReporterErrorOperatingSystem, description, &cause);
}

void fvcrash_populate_posix_error(platform::Error* out, int errnoValue,
                                  std::string_view description) {
    platform::Error cause = platform::Error::posix(errnoValue);
    fvcrash_populate_error(out, FVCrashReporterErrorOperatingSystem, description, &cause);
}
