// JSON crash dictionaries as other crash tools write them: the JSON text,
// the report objects filled from it and the image look-up of every frame.
#include <cstddef>
#include <cstdint>
#include <span>

#include "FVCrashReporter/Source/FVCrashReport.h"
#include "Platform/Values/Json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto json = platform::json::parse(std::span<const uint8_t>(data, size), nullptr);
    if (!json) return 0;
    auto report = FVCrashReport::init();
    platform::Error error;
    report->setValuesForPropertiesFromJSONProxy(*json, &error);
    for (const auto& thread : report->threads())
        for (const auto& frame : thread.stackFrames()) {
            if (const auto* image = report->imageForAddress(frame.instructionPointer()))
                if (frame.instructionPointer() - image->imageBaseAddress() >= image->imageSize())
                    __builtin_trap();
        }
    return 0;
}
