// JSON text <-> platform::Value.
//
// Objects become dictionaries, arrays arrays, strings strings, true/false
// booleans and null the null Value. Numbers written without fraction or
// exponent become Integer when they fit int64, Unsigned when they only fit
// uint64, and Real otherwise; all other numbers become Real.
//
// Data, dates and non-finite reals have no JSON form: writing them fails.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

namespace platform::json {

enum class WriteStyle { Compact, Pretty };

/// Parses UTF-8 JSON text (an optional byte-order mark is skipped). Any JSON
/// value is accepted at the top level; callers that need an object check the
/// result's type. On failure returns nothing and fills `error` with
/// NSCocoaErrorDomain 3840 whose NSDebugDescription says what and where.
/// Nesting deeper than 512 arrays/objects is refused.
std::optional<Value> parse(std::string_view text, Error* error);
std::optional<Value> parse(std::span<const std::uint8_t> bytes, Error* error);

/// JSON text for `value`: dictionary keys in sorted order; Pretty indents by
/// two spaces. Fails with NSCocoaErrorDomain 3852 (and a description naming
/// the offending type) when isJSONSafe(value) is false.
std::optional<std::string> serialize(const Value& value, WriteStyle style, Error* error);

/// True when `value` and everything in it has a JSON form: null, booleans,
/// numbers with finite values, valid UTF-8 strings, arrays and dictionaries,
/// nested at most 512 deep.
bool isJSONSafe(const Value& value);

/// isJSONSafe() and an array or dictionary at the top, as a JSON document's
/// root object is required to be.
bool isValidJSONObject(const Value& value);

}  // namespace platform::json
