#include "Platform/Values/StringsFile.h"

#include <cstring>

#include "Platform/Text/Unicode.h"
#include "Platform/Values/PropertyList.h"

namespace platform {

namespace {

Error corrupt(std::string why) {
    return Error(std::string(kCocoaErrorDomain), kPropertyListReadCorruptError,
                 Dictionary{{std::string(kLocalizedDescriptionKey),
                             Value("The data couldn\u2019t be read because it isn\u2019t in the "
                                   "correct format.")},
                            {std::string(kDebugDescriptionErrorKey), Value(std::move(why))}});
}

// The text as UTF-8, whatever the file's encoding; nothing when it is neither
// valid UTF-8 nor UTF-16.
std::optional<std::string> decodeText(std::span<const std::uint8_t> b, std::string& why) {
    auto utf16 = [&](std::span<const std::uint8_t> units,
                     bool bigEndian) -> std::optional<std::string> {
        if (units.size() % 2 != 0) {
            why = "UTF-16 text with an odd number of bytes";
            return std::nullopt;
        }
        return unicode::utf16ToUTF8(units.data(), units.size() / 2, bigEndian);
    };
    if (b.size() >= 2 && b[0] == 0xFF && b[1] == 0xFE) return utf16(b.subspan(2), false);
    if (b.size() >= 2 && b[0] == 0xFE && b[1] == 0xFF) return utf16(b.subspan(2), true);
    if (b.size() >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) b = b.subspan(3);
    // Without a mark, UTF-16 shows itself by a zero byte beside the first
    // (ASCII) character.
    else if (b.size() >= 2 && b[0] == 0 && b[1] != 0)
        return utf16(b, true);
    else if (b.size() >= 2 && b[1] == 0 && b[0] != 0)
        return utf16(b, false);
    std::string text(reinterpret_cast<const char*>(b.data()), b.size());
    if (!unicode::isValidUTF8(text)) {
        why = "text is neither UTF-8 nor UTF-16";
        return std::nullopt;
    }
    return text;
}

bool isUnquotedChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr("_$+/:.-", c) != nullptr;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

class OldStyleParser {
  public:
    explicit OldStyleParser(std::string_view text) : s_(text) {}

    bool parse(StringsTable& table) {
        if (!skip()) return false;
        bool braced = at('{');
        if (braced) ++pos_;
        for (;;) {
            if (!skip()) return false;
            if (pos_ >= s_.size()) {
                if (braced) return fail("missing '}'");
                return true;
            }
            if (braced && at('}')) {
                ++pos_;
                if (!skip()) return false;
                return pos_ >= s_.size() || fail("text after '}'");
            }
            std::string key, value;
            if (!readString(key) || !skip()) return false;
            if (at(';')) {
                value = key;
            } else {
                if (!at('=')) return fail("expected '=' or ';' after key");
                ++pos_;
                if (!skip() || !readString(value) || !skip()) return false;
                if (!at(';')) return fail("missing ';'");
            }
            ++pos_;
            table.insert_or_assign(std::move(key), std::move(value));
        }
    }

    std::string reason;

  private:
    bool at(char c) const { return pos_ < s_.size() && s_[pos_] == c; }

    bool fail(const char* why) {
        std::size_t line = 1;
        for (std::size_t i = 0; i < pos_ && i < s_.size(); ++i)
            if (s_[i] == '\n') ++line;
        reason = std::string(why) + " on line " + std::to_string(line);
        return false;
    }

    // Skips white space and comments; false on an unterminated comment.
    bool skip() {
        while (pos_ < s_.size()) {
            char c = s_[pos_];
            if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v') {
                ++pos_;
            } else if (s_.compare(pos_, 3, "\xEF\xBB\xBF") == 0) {  // stray byte-order mark
                pos_ += 3;
            } else if (s_.compare(pos_, 2, "/*") == 0) {
                std::size_t end = s_.find("*/", pos_ + 2);
                if (end == std::string_view::npos) return fail("unterminated comment");
                pos_ = end + 2;
            } else if (s_.compare(pos_, 2, "//") == 0) {
                std::size_t end = s_.find('\n', pos_);
                pos_ = end == std::string_view::npos ? s_.size() : end + 1;
            } else {
                break;
            }
        }
        return true;
    }

    bool readString(std::string& out) {
        if (pos_ >= s_.size()) return fail("unexpected end of text");
        char quote = s_[pos_];
        if (quote != '"' && quote != '\'') {
            std::size_t start = pos_;
            while (pos_ < s_.size() && isUnquotedChar(s_[pos_])) ++pos_;
            if (pos_ == start) return fail("unexpected character");
            out.assign(s_.substr(start, pos_ - start));
            return true;
        }
        ++pos_;
        std::uint32_t pendingHigh = 0;  // a high surrogate from \U awaiting its partner
        auto flushHigh = [&] {
            if (pendingHigh) unicode::appendUTF8(out, 0xFFFD);
            pendingHigh = 0;
        };
        for (;;) {
            if (pos_ >= s_.size()) return fail("unterminated string");
            char c = s_[pos_++];
            if (c == quote) break;
            if (c != '\\') {
                flushHigh();
                out += c;
                continue;
            }
            if (pos_ >= s_.size()) return fail("unterminated string");
            char e = s_[pos_++];
            if (e == 'U' || e == 'u') {
                std::uint32_t unit = 0;
                int digits = 0;
                for (int d; digits < 4 && pos_ < s_.size() && (d = hexValue(s_[pos_])) >= 0;
                     ++digits, ++pos_)
                    unit = unit * 16 + static_cast<std::uint32_t>(d);
                if (digits == 0) return fail("\\U without hexadecimal digits");
                if (unit >= 0xDC00 && unit <= 0xDFFF && pendingHigh) {
                    unicode::appendUTF8(out,
                                        0x10000 + ((pendingHigh - 0xD800) << 10) + (unit - 0xDC00));
                    pendingHigh = 0;
                } else {
                    flushHigh();
                    if (unit >= 0xD800 && unit <= 0xDBFF)
                        pendingHigh = unit;
                    else
                        unicode::appendUTF8(out, unit);
                }
                continue;
            }
            flushHigh();
            if (e >= '0' && e <= '7') {
                std::uint32_t v = static_cast<std::uint32_t>(e - '0');
                for (int n = 1; n < 3 && pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '7';
                     ++n)
                    v = v * 8 + static_cast<std::uint32_t>(s_[pos_++] - '0');
                unicode::appendUTF8(out, v);
                continue;
            }
            switch (e) {
                case 'a':
                    out += '\a';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'v':
                    out += '\v';
                    break;
                default:
                    out += e;
                    break;  // \" \' \\ and any other character stand for themselves
            }
        }
        flushHigh();
        return true;
    }

    std::string_view s_;
    std::size_t pos_ = 0;
};

bool looksLikePropertyList(std::string_view text) {
    std::size_t i = text.find_first_not_of(" \t\r\n");
    if (i == std::string_view::npos) return false;
    text.remove_prefix(i);
    return text.starts_with("<?xml") || text.starts_with("<!DOCTYPE") || text.starts_with("<plist");
}

std::optional<StringsTable> fromPropertyList(std::span<const std::uint8_t> bytes, Error* error) {
    Error plistError;
    auto value = PropertyList::fromData(bytes, nullptr, &plistError);
    if (!value) {
        setError(error, std::move(plistError));
        return std::nullopt;
    }
    const Dictionary* dict = value->asDictionary();
    if (!dict) {
        setError(error, corrupt("strings property list is not a dictionary"));
        return std::nullopt;
    }
    StringsTable table;
    for (const auto& [key, v] : *dict)
        if (const std::string* s = v.asString()) table.emplace(key, *s);
    return table;
}

}  // namespace

std::optional<StringsTable> parseStringsFile(std::span<const std::uint8_t> bytes, Error* error) {
    if (bytes.size() >= 6 && std::memcmp(bytes.data(), "bplist", 6) == 0)
        return fromPropertyList(bytes, error);
    std::string why;
    auto text = decodeText(bytes, why);
    if (!text) {
        setError(error, corrupt(why));
        return std::nullopt;
    }
    if (looksLikePropertyList(*text))
        return fromPropertyList(
            std::span(reinterpret_cast<const std::uint8_t*>(text->data()), text->size()), error);
    StringsTable table;
    OldStyleParser parser(*text);
    if (!parser.parse(table)) {
        setError(error, corrupt(parser.reason));
        return std::nullopt;
    }
    return table;
}

}  // namespace platform
