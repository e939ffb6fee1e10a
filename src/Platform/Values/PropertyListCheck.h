// Structural checks of property lists before libplist decodes them.
//
// The binary decoder follows object references without bounding what they
// expand to: a few hundred bytes whose arrays all point at the same next
// array expand to billions of nodes. The binary check walks the object graph
// once, memoising each object's expanded size, and refuses files that are
// malformed, cyclic, nested too deeply or that expand beyond fixed limits.
//
// The XML decoder accepts any nesting, but libplist frees its trees
// recursively, so a deep enough file overflows the stack when the tree is
// released. The XML check follows the element structure (skipping comments,
// processing instructions, CDATA and the document type declaration) and
// refuses mismatched tags and nesting beyond the limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform::detail {

/// Bounds on what one property list may expand to when decoded.
struct PropertyListLimits {
    static constexpr unsigned kMaxDepth = 512;            // containers inside containers
    static constexpr std::uint64_t kMaxNodes = 1u << 22;  // values after expansion
    static constexpr std::uint64_t kMaxExpandedBytes =
        1u << 28;  // string and data bytes after expansion
};

/// Returns "" when `bytes` is a well-formed binary property list within the
/// limits above, otherwise a short reason for the error description.
std::string checkBinaryPropertyList(const std::uint8_t* bytes, std::size_t size);

/// Returns "" when the element structure of XML text is well nested and no
/// deeper than the limit (plus the enclosing <plist>), otherwise a reason.
std::string checkXMLPropertyList(std::string_view text);

}  // namespace platform::detail
