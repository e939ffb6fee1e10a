// Reading and writing property lists (XML and binary) as platform::Value.
//
// Mapping: booleans, integers, reals, strings, data, dates, arrays and
// dictionaries map one to one. Integers read as Integer (int64) unless the
// file marks them unsigned and they exceed INT64_MAX, which read as
// Unsigned. Dates are seconds since 1970 in Value and seconds since 2001 in
// the file; binary files keep them exactly, XML files to the second. A
// keyed-archive UID (binary files only) reads as the dictionary
// {"CF$UID": <integer>}, which is also how the XML form spells it; writing
// never produces UIDs. Null has no property-list form and cannot be written.
//
// All functions are thread-safe and independent of the process locale.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

namespace platform {

/// The on-disk formats, numbered as the system numbers them.
enum class PropertyListFormat { XML = 100, Binary = 200 };

class PropertyList {
  public:
    /// Decodes a property list in either format. Returns the value and, when
    /// `format` is given, the format read; on failure returns nothing and
    /// fills `error` with NSCocoaErrorDomain 3840 and a description. Input
    /// that is malformed, cut short, cyclic, nested more than 512 containers
    /// deep or that would expand to more than about four million values is
    /// refused.
    static std::optional<Value> fromData(std::span<const std::uint8_t> bytes,
                                         PropertyListFormat* format, Error* error);
    static std::optional<Value> fromData(std::string_view bytes, PropertyListFormat* format,
                                         Error* error);

    /// Reads and decodes the file at `path`. A missing file fails with
    /// NSCocoaErrorDomain 260, an unreadable one with 257 (both naming the
    /// path under NSFilePath), a malformed one with 3840.
    static std::optional<Value> fromFile(const std::string& path, PropertyListFormat* format,
                                         Error* error);

    /// The dictionary stored in the file at `path`; nothing when the file
    /// cannot be read or decoded, or holds something other than a dictionary.
    static std::optional<Dictionary> dictionaryWithContentsOfFile(const std::string& path);

    /// Encodes `value`. Fails with NSCocoaErrorDomain 3852 when the value
    /// cannot be held by a property list: a null anywhere, a string or key
    /// that is not valid UTF-8 or contains a NUL character, a date that is
    /// not finite or lies beyond about thirty million years, or more than 512
    /// nested containers.
    static std::optional<Data> toData(const Value& value, PropertyListFormat format, Error* error);

    /// Encodes `value` and writes it to `path`; with `atomically` through a
    /// temporary file that is renamed over the target. Fails with 3852 as
    /// toData() does, or with a Cocoa file-write error.
    static bool toFile(const Value& value, const std::string& path, PropertyListFormat format,
                       bool atomically, Error* error);

    /// True when toData() would succeed for `value`.
    static bool isValid(const Value& value);
};

}  // namespace platform
