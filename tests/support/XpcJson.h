// Message values written as JSON, for scripts of the fake helper and for its
// record of received messages.
//
// Strings, booleans, null, arrays and objects map to their counterparts;
// integers become int64 and other numbers double. The other types are written
// as one-key objects: {"$uint64": 5}, {"$data": "00ff"} (hex) and
// {"$uuid": "0F1E2D3C-..."}.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "Platform/Xpc/XpcObject.h"

namespace testsupport {

/// The message value of `json`; false with a reason in `error` for an
/// unusable tagged object.
bool xpcFromJson(const nlohmann::json& json, platform::XpcObject& out,
                 std::string* error = nullptr);

/// The JSON form of `value`.
nlohmann::json xpcToJson(const platform::XpcObject& value);

/// Parses JSON text into a message value; false on a syntax error.
bool xpcFromJsonText(const std::string& text, platform::XpcObject& out,
                     std::string* error = nullptr);

/// True when every entry of `expected` (a dictionary) is in `actual` with an
/// equal value and the same type; extra entries of `actual` are allowed.
bool xpcDictionaryContains(const platform::XpcObject& actual, const platform::XpcObject& expected);

}  // namespace testsupport
