// Drives the inline-link markup parser with arbitrary UTF-16 text and checks
// that a successful parse is self-consistent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "OstrelUI/Controls/LinkMarkup.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::u16string source;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        source.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    }
    const auto parsed = ostrelui::parseLinkMarkup(source);
    if (!parsed) return 0;
    std::size_t previousEnd = 0;
    for (const auto& link : parsed->links) {
        if (link.start < previousEnd || link.start + link.length > parsed->text.size()) abort();
        previousEnd = link.start + link.length;
    }
    std::u16string rebuilt;
    for (const auto& s : parsed->segments) {
        if (s.outputStart != rebuilt.size() || s.sourceStart + s.length > source.size()) abort();
        rebuilt += source.substr(s.sourceStart, s.length);
    }
    if (rebuilt != parsed->text) abort();
    return 0;
}
