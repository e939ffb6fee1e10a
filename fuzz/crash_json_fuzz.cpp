// JSON crash dictionaries as other crash tools write them: the JSON text,
// the report objects filled from it, the image look-up of every frame and
// the text rendering of a complete report.
#include <cstddef>
#include <cstdint>
#include <span>

#include "FVCrashReporter/Source/FVCrashReport.h"
#include "FVCrashReporter/Source/FVCrashReportTextFormatter.h"
#include "Platform/Values/Json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto json = platform::json::parse(std::span<const uint8_t>(data, size), nullptr);
    if (!json) return 0;
    auto report = FVCrashReport::init();
    platform::Error error;
    const bool complete = report->setValuesForPropertiesFromJSONProxy(*json, &error);
    for (const auto& thread : report->threads())
        for (const auto& frame : thread.stackFrames()) {
            if (const auto* image = report->imageForAddress(frame.instructionPointer()))
                if (frame.instructionPointer() - image->imageBaseAddress() >= image->imageSize())
                    __builtin_trap();
        }
    if (complete) {
        const std::string text = FVCrashReportTextFormatter::stringValueForCrashReport(
            *report, FVCrashReportTextFormatiOS);
        (void)text;
    }
    return 0;
}
