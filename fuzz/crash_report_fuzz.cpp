// Crash report files as they come back from disk: header, version and the
// protobuf message.
#include <cstddef>
#include <cstdint>

#include "FVCrashReporter/Source/FVCrashReport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    platform::Error error;
    auto report = FVCrashReport::initWithData(data, size, &error);
    if (report) {
        const auto& m = report->message();
        size_t frames = 0;
        for (size_t i = 0; i < m.n_threads; ++i) frames += m.threads[i]->n_frames;
        (void)frames;
    }
    return 0;
}
