// The text form of a UUID: 36 characters, "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX".
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

using UuidBytes = std::array<std::uint8_t, 16>;

/// Reads the 36-character form (hexadecimal digits of either case, dashes at
/// 8, 13, 18 and 23); nullopt for anything else.
std::optional<UuidBytes> parseUuidText(std::string_view text);

/// The 36-character form in upper case.
std::string formatUuidText(const UuidBytes& bytes);

}  // namespace platform
