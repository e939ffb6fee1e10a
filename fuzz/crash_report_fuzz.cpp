// Crash report files as they come back from disk: header, version, the
// protobuf message, the report objects and their text rendering.
#include <cstddef>
#include <cstdint>

#include "FVCrashReporter/Source/FVCrashReport.h"
#include "FVCrashReporter/Source/FVCrashReportTextFormatter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    platform::Error error;
    auto report = FVCrashReport::initWithData(data, size, &error);
    if (report) {
        const std::string text = FVCrashReportTextFormatter::stringValueForCrashReport(
            *report, FVCrashReportTextFormatiOS);
        (void)text;
    }
    return 0;
}
