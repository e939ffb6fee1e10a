// Makes the CRCs of a 7-Zip archive's start header match what it holds, so
// that a mutated header reaches the header check and libarchive's reader
// instead of failing the CRC test in front of them: the next-header CRC is
// recomputed over the header bytes the start header points at (when they lie
// inside the input), then the start-header CRC over the start header.
//
// Set PEL_FUZZ_KEEP_7Z_CRC=1 to feed the inputs as they are (to compare the
// coverage reached with and without the repair).
#pragma once

#include <lzma.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace fuzz7z {

inline bool repairEnabled() {
    static const bool enabled = [] {
        const char* keep = std::getenv("PEL_FUZZ_KEEP_7Z_CRC");
        return !keep || std::strcmp(keep, "1") != 0;
    }();
    return enabled;
}

inline std::uint64_t le64(const std::uint8_t* p) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = value << 8 | p[i];
    return value;
}

inline void putLe32(std::uint8_t* p, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

/// Repairs the two CRCs in place; anything that is no 7-Zip archive (or too
/// short for a start header) is left as it is.
inline void repairCrcs(std::uint8_t* bytes, std::size_t size) {
    constexpr std::uint8_t kSignature[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
    constexpr std::size_t kStartHeaderSize = 32;
    if (!repairEnabled() || size < kStartHeaderSize ||
        std::memcmp(bytes, kSignature, sizeof kSignature) != 0)
        return;
    const std::uint64_t offset = le64(bytes + 12);
    const std::uint64_t length = le64(bytes + 20);
    const std::uint64_t room = size - kStartHeaderSize;
    if (offset <= room && length <= room - offset)
        putLe32(bytes + 28,
                lzma_crc32(bytes + kStartHeaderSize + offset, static_cast<std::size_t>(length), 0));
    putLe32(bytes + 8, lzma_crc32(bytes + 12, 20, 0));
}

}  // namespace fuzz7z
