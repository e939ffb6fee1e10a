// Version strings of the library ("8.4.2f21"), hexadecimal values and bucket
// identifiers. Parsing and printing never depend on the process locale.
//
// A version has up to four numeric components (0 to 65535) separated by ".";
// after the second or third component one stage letter ("a", "b", "d", "f",
// "r") may stand instead of the separator, and the number after it is always
// the fourth component, the build number.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Values/Value.h"

/// Four version components: unsigned numbers, or the placeholders given.
using VTVersionComponents = std::array<platform::Value, 4>;

struct VTStringUtilities {
    /// The four components of `text`, or nullopt when it is not a version.
    /// `wildcard` (when given) is stored where the text has "*"; without it
    /// "*" is not accepted. `missing` fills the components the text lacks.
    static std::optional<VTVersionComponents> versionComponents(
        std::string_view text, const std::optional<platform::Value>& wildcard,
        const platform::Value& missing);
    /// No wildcard, the string "0" for missing components.
    static std::optional<VTVersionComponents> versionComponents(std::string_view text);
    /// The four components with wildcard "*" and missing "0" joined by "."
    /// ("8.4" gives "8.4.0.0", "8.4.2f21" gives "8.4.2.21"); nullopt when not
    /// a version. `suffix` is not used.
    static std::optional<std::string> canonicalVersionString(std::string_view text,
                                                             std::string_view suffix = {});
    /// Byte offset of the last stage letter in `text`, or nullopt.
    static std::optional<std::size_t> stageCharacterRange(std::string_view text);
    /// True when `text` contains any stage letter.
    static bool containsStageCharacter(std::string_view text);

    /// Hexadecimal scan: leading blanks skipped, "0x" allowed, stops at the
    /// first non-hex character; 0 when nothing scans; UINT64_MAX on overflow.
    static std::uint64_t hexValue(std::string_view text);
    static std::uint64_t bucketIDValue(std::string_view text) { return hexValue(text); }
    /// "%08lx": lower-case hexadecimal, at least 8 digits.
    static std::string stringWithBucketID(std::uint64_t bucket);
    /// The same from a number's unsigned value.
    static std::string stringWithBucketIDNumber(const platform::Value& bucket);
};

struct VTNumberUtilities {
    /// An unsigned 64-bit number.
    static platform::Value numberWithBucketID(std::uint64_t bucket) {
        return platform::Value(bucket);
    }
    static std::uint64_t bucketIDValue(const platform::Value& number) {
        return number.uint64Value();
    }
    /// VTTestProbability of the number's 32-bit integer value.
    static bool testProbability(const platform::Value& number);
};

struct VTDictionaryUtilities {
    /// Stores `object` when given, else `fallback` when given, else nothing.
    static void setObject(platform::Dictionary& dict, std::string key,
                          const std::optional<platform::Value>& object,
                          const std::optional<platform::Value>& fallback);
};
