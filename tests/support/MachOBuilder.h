// Builders of small hand-made Mach-O files for tests, little-endian unless
// asked otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "Platform/Values/Value.h"

namespace testsupport {

/// Stores `value` in `width` bytes at `offset`, growing `d` as needed.
void put(platform::Data& d, std::size_t offset, std::uint64_t value, unsigned width,
         bool big = false);
/// Stores a 16-byte segment or section name at `offset`.
void putName(platform::Data& d, std::size_t offset, std::string_view name);

/// A Mach-O image with one __TEXT segment holding `sections` (the last one
/// is __info_plist with `payload`, the others empty __text sections).
platform::Data machO(bool is64, const platform::Data& payload, unsigned sections = 1,
                     std::uint64_t sizeOverride = 0);

/// A universal (fat) file of the slices.
platform::Data fat(const std::vector<platform::Data>& slices);

}  // namespace testsupport
