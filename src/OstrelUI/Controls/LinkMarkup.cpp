#include "OstrelUI/Controls/LinkMarkup.h"

namespace ostrelui {

namespace {

constexpr std::size_t npos = std::u16string_view::npos;

char16_t asciiUpper(char16_t c) { return (c >= u'a' && c <= u'z') ? c - (u'a' - u'A') : c; }

// Whether `source` continues at `at` with `word` (ASCII, without regard to case).
bool matchesAt(std::u16string_view source, std::size_t at, std::u16string_view word) {
    if (at > source.size() || source.size() - at < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (asciiUpper(source[at + i]) != asciiUpper(word[i])) return false;
    }
    return true;
}

std::size_t findNoCase(std::u16string_view source, std::u16string_view word, std::size_t from) {
    if (word.size() > source.size()) return npos;
    for (std::size_t i = from; i + word.size() <= source.size(); ++i) {
        if (matchesAt(source, i, word)) return i;
    }
    return npos;
}

bool isBlank(char16_t c) { return c == u' ' || c == u'\t'; }

bool isAsciiAlpha(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }
bool isAsciiDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool isHexDigit(char16_t c) {
    return isAsciiDigit(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

std::nullopt_t fail(MarkupError* error, MarkupError e) {
    if (error) *error = e;
    return std::nullopt;
}

}  // namespace

bool isValidLinkAddress(std::u16string_view value) {
    if (value.empty()) return false;
    static constexpr std::u16string_view kAllowed = u"-._~:/?#[]@!$&'()*+,;=";
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char16_t c = value[i];
        if (c == u'%') {
            if (i + 2 >= value.size()) return false;
            if (!isHexDigit(value[i + 1]) || !isHexDigit(value[i + 2])) return false;
            i += 2;
            continue;
        }
        if (isAsciiAlpha(c) || isAsciiDigit(c)) continue;
        if (kAllowed.find(c) == npos) return false;
    }
    // A colon before the first "/", "?" or "#" ends a scheme, which must be
    // a letter followed by letters, digits, "+", "-" or ".".
    const std::size_t colon = value.find(u':');
    const std::size_t pathStart = value.find_first_of(u"/?#");
    if (colon != npos && (pathStart == npos || colon < pathStart)) {
        if (colon == 0 || !isAsciiAlpha(value[0])) return false;
        for (std::size_t i = 1; i < colon; ++i) {
            const char16_t c = value[i];
            if (!isAsciiAlpha(c) && !isAsciiDigit(c) && c != u'+' && c != u'-' && c != u'.') {
                return false;
            }
        }
    }
    return true;
}

bool isValidActionName(std::u16string_view value) {
    if (value.empty() || !(isAsciiAlpha(value[0]) || value[0] == u'_')) return false;
    for (char16_t c : value) {
        if (!isAsciiAlpha(c) && !isAsciiDigit(c) && c != u'_' && c != u':') return false;
    }
    return true;
}

std::optional<ParsedMarkup> parseLinkMarkup(std::u16string_view source, MarkupError* error) {
    if (error) *error = MarkupError::kNone;
    ParsedMarkup out;
    const std::size_t n = source.size();
    std::size_t pos = 0;  // first source character not yet copied
    auto keep = [&](std::size_t from, std::size_t to) {
        if (to <= from) return;
        out.segments.push_back({from, out.text.size(), to - from});
        out.text.append(source.substr(from, to - from));
    };
    for (;;) {
        const std::size_t open = findNoCase(source, u"<A", pos);
        if (open == npos) break;
        std::size_t i = open + 2;
        // A blank must follow "<A", with at least one more character after it.
        if (i >= n || !isBlank(source[i]) || i + 1 >= n) {
            return fail(error, MarkupError::kBadTagStart);
        }
        while (i < n && isBlank(source[i])) ++i;
        if (i >= n) return fail(error, MarkupError::kBadTagStart);

        LinkKind kind;
        if (matchesAt(source, i, u"ACTION=\"") && i + 8 < n) {
            kind = LinkKind::kAction;
            i += 8;
        } else if (matchesAt(source, i, u"HREF=\"") && i + 6 < n) {
            kind = LinkKind::kHref;
            i += 6;
        } else {
            return fail(error, MarkupError::kUnknownAttribute);
        }
        const std::size_t quote = source.find(u'"', i);
        if (quote == npos || quote + 1 >= n) {
            return fail(error, MarkupError::kUnterminatedValue);
        }
        const std::u16string_view value = source.substr(i, quote - i);
        std::size_t k = quote + 1;
        while (k < n && isBlank(source[k])) ++k;
        if (k >= n || source[k] != u'>') return fail(error, MarkupError::kBadTagEnd);
        const std::size_t textStart = k + 1;
        const std::size_t close = findNoCase(source, u"</A>", textStart);
        if (close == npos) return fail(error, MarkupError::kMissingCloseTag);

        if (kind == LinkKind::kHref && !isValidLinkAddress(value)) {
            return fail(error, MarkupError::kBadAddress);
        }
        if (kind == LinkKind::kAction && !isValidActionName(value)) {
            return fail(error, MarkupError::kBadActionName);
        }
        keep(pos, open);
        MarkupLink link{kind, std::u16string(value), out.text.size(), close - textStart};
        keep(textStart, close);
        out.links.push_back(std::move(link));
        pos = close + 4;
    }
    keep(pos, n);
    return out;
}

}  // namespace ostrelui
