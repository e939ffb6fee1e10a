// Small UTF-8/UTF-16 helpers shared by the property-list, strings-file and
// JSON code.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform::unicode {

/// True when `s` is well-formed UTF-8 (no overlongs, surrogates or values
/// above U+10FFFF); a NUL character counts as invalid unless `allowNul`.
bool isValidUTF8(std::string_view s, bool allowNul = true);

/// Appends the UTF-8 form of code point `cp` (U+FFFD for a surrogate or a
/// value above U+10FFFF).
void appendUTF8(std::string& out, std::uint32_t cp);

/// Converts UTF-16 code units to UTF-8; unpaired surrogates become U+FFFD.
/// `units` holds `count` units in the given byte order.
std::string utf16ToUTF8(const std::uint8_t* units, std::size_t count, bool bigEndian);

}  // namespace platform::unicode
