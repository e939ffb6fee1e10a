// The anchor markup of texts with inline links:
//   <A HREF="address">text</A>   opens a web address;
//   <A ACTION="name:">text</A>   sends an action message.
// Tag and attribute names are matched without regard to case; a tag holds
// exactly one attribute whose value is in double quotes (no escapes); markup
// inside a link's text is not interpreted. The texts come from localized
// resources, so the parser treats them as outside input: it never reads past
// the end and rejects anything malformed as a whole.
//
// Plain C++ on UTF-16 code units, so positions match QString indices.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrelui {

enum class LinkKind { kHref, kAction };

/// One link of parsed markup: its kind, the attribute value and the range of
/// its text in the parsed output.
struct MarkupLink {
    LinkKind kind = LinkKind::kHref;
    std::u16string value;
    std::size_t start = 0;
    std::size_t length = 0;
    bool operator==(const MarkupLink&) const = default;
};

/// A stretch of the source kept in the output: source position, output
/// position and length (for carrying attributes over).
struct MarkupSegment {
    std::size_t sourceStart = 0;
    std::size_t outputStart = 0;
    std::size_t length = 0;
};

/// The text with its tags removed and its links in text order.
struct ParsedMarkup {
    std::u16string text;
    std::vector<MarkupLink> links;
    std::vector<MarkupSegment> segments;
};

enum class MarkupError {
    kNone,
    kBadTagStart,        // "<A" not followed by blanks and an attribute
    kUnknownAttribute,   // neither ACTION=" nor HREF="
    kUnterminatedValue,  // no closing quote, or nothing after it
    kBadTagEnd,          // something other than blanks before ">"
    kMissingCloseTag,    // no "</A>" after the link's text
    kBadAddress,         // HREF value is no valid address
    kBadActionName,      // ACTION value names no action
};

/// Parses `source`. Returns the output, or nullopt and fills `error` (may be
/// null) when the markup is malformed anywhere.
std::optional<ParsedMarkup> parseLinkMarkup(std::u16string_view source,
                                            MarkupError* error = nullptr);

/// Whether `value` is a usable address: non-empty, only characters allowed
/// in a URI reference, well-formed percent escapes and a scheme when it has
/// a colon before any "/", "?" or "#".
bool isValidLinkAddress(std::u16string_view value);

/// Whether `value` names an action: a letter or "_" followed by letters,
/// digits, "_" and ":".
bool isValidActionName(std::u16string_view value);

}  // namespace ostrelui
