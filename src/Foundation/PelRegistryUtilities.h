// Version texts of registry modules: major "." minor [ "." build ] [ stage
// [ number ] ], where "*" in place of a part means "any".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace PelRegistry::Utilities {

/// The value of a part given as "*" or left out: any.
inline constexpr std::uint16_t kAnyVersionPart = 0xFFFF;

/// Release stages, as decomposeVersion gives them.
inline constexpr std::uint16_t kStageDevelopment = 1;  // "d"
inline constexpr std::uint16_t kStageAlpha = 2;        // "a"
inline constexpr std::uint16_t kStageBeta = 4;         // "b"
inline constexpr std::uint16_t kStageFinal = 8;        // "f" or "r"

/// Splits a version text into its five parts:
///   "1.2"     -> 1, 2, any, any, any       "5.3.2"   -> 5, 3, 2, any, any
///   "8.1b12"  -> 8, 1, 0, 4, 12            "8.1.3f2" -> 8, 1, 3, 8, 2
///   "*.*"     -> any, any, any, any, any
/// Major is 1 .. 65535, minor at most 65535, build at most 255 and the stage
/// number at most 667. A stage letter other than a, b, d, f, r (or "*")
/// leaves stage and number "any"; a character after the stage that is
/// neither "*" nor a digit leaves the number "any". The text ends at its
/// first NUL.
///
/// Returns false for an empty or null text and for one that breaks the
/// grammar ("0.1", "1", "1.2.256", "1.2b668", "1.2.", "1.2b3x"). Every output
/// pointer may be null; every non-null one is written, with 0 on failure.
bool decomposeVersion(const char* version, std::uint16_t* major, std::uint16_t* minor,
                      std::uint16_t* build, std::uint16_t* stage, std::uint16_t* stageNumber);

/// The same for a string, which must be ASCII (other text gives false).
bool decomposeVersion(const std::string* version, std::uint16_t* major, std::uint16_t* minor,
                      std::uint16_t* build, std::uint16_t* stage, std::uint16_t* stageNumber);

}  // namespace PelRegistry::Utilities
