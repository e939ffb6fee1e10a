#include "FVCrashReporter/Source/crash/FVCrashUTF8.h"

#include <cstdint>

#include "FVCrashReporter/Source/crash/FVCrashAsync.h"

size_t fvcrash_utf8_prefix_length(const void* bytes, size_t length) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    size_t i = 0;
    if (length >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) i = 3;
    while (i < length) {
        const uint8_t lead = p[i];
        if (lead == 0) break;
        size_t continuations;
        if (lead < 0x80) {
            continuations = 0;
        } else if ((lead & 0xE0) == 0xC0) {
            continuations = 1;
        } else if ((lead & 0xF0) == 0xE0) {
            continuations = 2;
        } else if ((lead & 0xF8) == 0xF0) {
            continuations = 3;
        } else {
            break;
        }
        if (continuations > length - i - 1) break;
        bool valid = true;
        for (size_t k = 1; k <= continuations; ++k) valid = valid && (p[i + k] & 0xC0) == 0x80;
        if (!valid) break;
        i += 1 + continuations;
    }
    return i;
}

size_t fvcrash_utf8_prefix_length_of(const char* string) {
    return fvcrash_utf8_prefix_length(string, fvcrash_strlen(string));
}
