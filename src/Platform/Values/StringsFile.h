// Parser for localized strings tables (".strings" files).
//
// Accepted forms: the old text form
//     /* comment */  "key" = "value";   // comment
//     "key only";                        (the value is the key)
// with keys and values quoted by " or ' (or unquoted words of letters,
// digits and _$+/:.-), escapes \" \' \\ \n \t \r \a \b \f \v, octal \NNN and
// \UXXXX (UTF-16 units, surrogate pairs joined), optionally wrapped in { };
// and a property list (XML or binary) whose root is a dictionary, of which
// the string values are taken. Text may be UTF-8 or UTF-16 of either byte
// order, with or without a byte-order mark.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>

#include "Platform/Values/Error.h"

namespace platform {

/// Key -> localized text, both UTF-8.
using StringsTable = std::map<std::string, std::string, std::less<>>;

/// Parses the bytes of a strings file. Returns the table, or nothing with
/// `error` set to NSCocoaErrorDomain 3840 whose NSDebugDescription names the
/// line and the problem. A later entry with the same key replaces an earlier.
std::optional<StringsTable> parseStringsFile(std::span<const std::uint8_t> bytes, Error* error);

}  // namespace platform
