// Readers of manifest values. A manifest is outside input: every reader
// checks the type of what it finds and answers "absent" for anything else.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Text/UuidText.h"
#include "Platform/Values/Value.h"

namespace fsdvalues {

/// The value at a dotted key path ("distribution.olp_start_url"): each
/// component but the last must name a dictionary. Null when absent.
const platform::Value* valueAtKeyPath(const platform::Value& root, std::string_view keyPath);
const platform::Value* valueAtKeyPath(const platform::Dictionary& root, std::string_view keyPath);

/// The string at the key path when it is a non-empty string.
std::optional<std::string> nonEmptyString(const platform::Dictionary& root,
                                          std::string_view keyPath);
/// The number at the key path when it is a number.
std::optional<platform::Value> number(const platform::Dictionary& root, std::string_view keyPath);
/// The integer value of a number or of the leading digits of a string at the
/// key path; `fallback` for anything else.
std::int64_t integerValue(const platform::Dictionary& root, std::string_view keyPath,
                          std::int64_t fallback);
/// The UUID at the key path when it is UUID text (with or without braces).
std::optional<platform::UuidBytes> uuid(const platform::Dictionary& root, std::string_view keyPath);

/// A source address with its percent escapes removed and then added again,
/// so that an address holding both escaped and plain characters comes out
/// escaped once. Absent for an empty text, a malformed escape or escapes
/// that do not decode to UTF-8.
std::optional<std::string> normalisedURL(std::string_view text);

/// "%XX" escapes decoded; absent when one is malformed or the result is not UTF-8.
std::optional<std::string> removingPercentEscapes(std::string_view text);
/// Every byte that may not stand in a URL escaped as "%XX" ("%" included;
/// the reserved characters and "#" stay).
std::string addingPercentEscapes(std::string_view text);

/// The canonical text of a UUID, or "" for none.
std::string uuidText(const std::optional<platform::UuidBytes>& uuid);

}  // namespace fsdvalues
