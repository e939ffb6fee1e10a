#include "FVCrashReporter/Source/FVCrashReport.h"

#include <cstring>
#include <string>

#include "FVCrashReporter/Source/FVCrashReporterError.h"

Fvcrash__CrashReport* fvcrash_decode_crash_data(const uint8_t* data, size_t length,
                                                platform::Error* error) {
    const auto fail = [&](const std::string& message) -> Fvcrash__CrashReport* {
        fvcrash_populate_error(error, FVCrashReporterErrorInvalidCrashReport, message, nullptr);
        return nullptr;
    };
    if (!data || length < 9) return fail("Could not decode truncated crash log");
    if (memcmp(data, "fvcrash", 7) != 0) return fail("Could not decode invalid crash log header");
    if (data[7] != 1)
        return fail("Could not decode unsupported crash report version: " +
                    std::to_string(static_cast<int>(data[7])));
    Fvcrash__CrashReport* message = fvcrash__crash_report__unpack(nullptr, length - 8, data + 8);
    if (!message) return fail("An unknown error occured decoding the crash report");
    return message;
}

std::shared_ptr<FVCrashReport> FVCrashReport::initWithData(const uint8_t* data, size_t length,
                                                           platform::Error* error) {
    Fvcrash__CrashReport* message = fvcrash_decode_crash_data(data, length, error);
    if (!message) return nullptr;
    return std::shared_ptr<FVCrashReport>(new FVCrashReport(message));
}

FVCrashReport::~FVCrashReport() { fvcrash__crash_report__free_unpacked(message_, nullptr); }
