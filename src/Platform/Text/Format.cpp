#include "Platform/Text/Format.h"

#include <locale.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "Platform/Text/Unicode.h"
#include "Platform/Values/Value.h"

namespace platform {
namespace {

// Widths and precisions beyond this are clamped, so that a stray "%999999999d"
// cannot ask for a gigabyte.
constexpr long kMaxFieldSize = 10000;

struct Directive {
    std::string_view text;                // the whole directive as written, "%" included
    std::optional<std::size_t> position;  // explicit "N$", zero-based
    bool left = false, plus = false, space = false, alt = false, zero = false;
    std::optional<long> width;
    std::optional<long> precision;
    bool wideChar = false;  // "%lc" or "%C"
    char conversion = 0;
};

class ArgCursor {
  public:
    explicit ArgCursor(std::span<const FormatArg> args) : args_(args) {}
    const FormatArg* at(std::size_t index) const {
        return index < args_.size() ? &args_[index] : nullptr;
    }
    const FormatArg* next() { return at(next_++); }

  private:
    std::span<const FormatArg> args_;
    std::size_t next_ = 0;
};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads a decimal number at fmt[i], saturating; false when there is none.
bool readNumber(std::string_view fmt, std::size_t& i, long& out) {
    if (i >= fmt.size() || !isDigit(fmt[i])) return false;
    long n = 0;
    while (i < fmt.size() && isDigit(fmt[i])) {
        if (n < kMaxFieldSize * 10) n = n * 10 + (fmt[i] - '0');
        ++i;
    }
    out = n;
    return true;
}

std::optional<long> integerOf(const FormatArg* a) {
    if (!a) return std::nullopt;
    if (a->kind() == FormatArg::Kind::Signed)
        return static_cast<long>(
            std::clamp<std::int64_t>(a->signedValue(), -kMaxFieldSize, kMaxFieldSize));
    if (a->kind() == FormatArg::Kind::Unsigned &&
        a->unsignedValue() <= static_cast<std::uint64_t>(kMaxFieldSize))
        return static_cast<long>(a->unsignedValue());
    if (a->kind() == FormatArg::Kind::Unsigned) return kMaxFieldSize;
    return std::nullopt;
}

// A "*" or "*N$" field: true when one was present (the value may still be absent).
bool readStarField(std::string_view fmt, std::size_t& i, ArgCursor& cursor,
                   std::optional<long>& out) {
    if (i >= fmt.size() || fmt[i] != '*') return false;
    ++i;
    std::size_t save = i;
    long n = 0;
    if (readNumber(fmt, i, n) && i < fmt.size() && fmt[i] == '$' && n > 0) {
        ++i;
        out = integerOf(cursor.at(static_cast<std::size_t>(n - 1)));
    } else {
        i = save;
        out = integerOf(cursor.next());
    }
    return true;
}

bool isConversion(char c) { return c != 0 && std::strchr("diouxXDOUcCsS@pfFeEgGaA", c) != nullptr; }

// Parses the directive starting at fmt[start] == '%'. Returns false when it
// is malformed (then `end` is where the verbatim text stops).
bool parseDirective(std::string_view fmt, std::size_t start, ArgCursor& cursor, Directive& d,
                    std::size_t& end) {
    std::size_t i = start + 1;
    {
        std::size_t save = i;
        long n = 0;
        if (readNumber(fmt, i, n) && i < fmt.size() && fmt[i] == '$') {
            if (n == 0) {
                end = i + 1;
                return false;
            }
            d.position = static_cast<std::size_t>(n - 1);
            ++i;
        } else {
            i = save;
        }
    }
    for (; i < fmt.size(); ++i) {
        char c = fmt[i];
        if (c == '-')
            d.left = true;
        else if (c == '+')
            d.plus = true;
        else if (c == ' ')
            d.space = true;
        else if (c == '#')
            d.alt = true;
        else if (c == '0')
            d.zero = true;
        else if (c == '\'')
            continue;
        else
            break;
    }
    long n = 0;
    std::optional<long> star;
    if (readStarField(fmt, i, cursor, star)) {
        if (star && *star < 0) {
            d.left = true;
            star = -*star;
        }
        d.width = star;
    } else if (readNumber(fmt, i, n)) {
        d.width = n;
    }
    if (i < fmt.size() && fmt[i] == '.') {
        ++i;
        if (readStarField(fmt, i, cursor, star)) {
            d.precision = (star && *star >= 0) ? star : std::nullopt;
        } else {
            d.precision = readNumber(fmt, i, n) ? n : 0;
        }
    }
    while (i < fmt.size() && std::strchr("hlqjztL", fmt[i]) != nullptr) {
        if (fmt[i] == 'l') d.wideChar = true;
        ++i;
    }
    if (i >= fmt.size() || !isConversion(fmt[i])) {
        end = i < fmt.size() ? i + 1 : i;
        return false;
    }
    d.conversion = fmt[i];
    if (d.conversion == 'C') d.wideChar = true;
    if (d.conversion != 'c' && d.conversion != 'C') d.wideChar = false;
    if (d.width) d.width = std::min(*d.width, kMaxFieldSize);
    if (d.precision) d.precision = std::min(*d.precision, kMaxFieldSize);
    end = i + 1;
    d.text = fmt.substr(start, end - start);
    return true;
}

std::size_t codePoints(std::string_view s) {
    std::size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

void appendPadded(std::string& out, std::string_view body, const Directive& d) {
    std::size_t len = codePoints(body);
    std::size_t pad = d.width && static_cast<std::size_t>(*d.width) > len ? *d.width - len : 0;
    if (!d.left) out.append(pad, ' ');
    out.append(body);
    if (d.left) out.append(pad, ' ');
}

// Cuts `s` to at most `max` bytes without leaving a partial UTF-8 sequence at
// the end; looks at no byte past `max`.
std::string_view truncateUtf8(std::string_view s, std::size_t max) {
    if (s.size() < max) return s;
    s = s.substr(0, max);
    std::size_t lead = s.size();
    for (int back = 0; back < 4 && lead > 0; ++back) {
        --lead;
        if ((static_cast<unsigned char>(s[lead]) & 0xC0) != 0x80) break;
    }
    if (lead >= s.size()) return s;
    unsigned char c = static_cast<unsigned char>(s[lead]);
    std::size_t expected = c < 0x80             ? 1
                           : (c & 0xE0) == 0xC0 ? 2
                           : (c & 0xF0) == 0xE0 ? 3
                           : (c & 0xF8) == 0xF0 ? 4
                                                : 1;
    return s.size() - lead < expected ? s.substr(0, lead) : s;
}

std::string hexPointer(std::uintptr_t p) {
    char buf[2 + sizeof(p) * 2];
    auto res = std::to_chars(buf, buf + sizeof buf, p, 16);
    return "0x" + std::string(buf, res.ptr);
}

// What "%@" prints for any argument.
std::string describe(const FormatArg& a) {
    switch (a.kind()) {
        case FormatArg::Kind::Signed:
            return std::to_string(a.signedValue());
        case FormatArg::Kind::Unsigned:
            return std::to_string(a.unsignedValue());
        case FormatArg::Kind::Real:
            return Value(a.realValue()).description();
        case FormatArg::Kind::CString:
            return a.textData() ? std::string(a.textData()) : std::string("(null)");
        case FormatArg::Kind::Text:
            return std::string(a.textData(), a.textSize());
        case FormatArg::Kind::Pointer:
            return hexPointer(a.pointerValue());
        case FormatArg::Kind::Object:
            return a.describe();
    }
    return {};
}

void appendText(std::string& out, const FormatArg& a, const Directive& d) {
    std::string_view body;
    std::string owned;
    if (a.kind() == FormatArg::Kind::CString && a.textData()) {
        // Never read a C string past the precision.
        std::size_t len = d.precision
                              ? strnlen(a.textData(), static_cast<std::size_t>(*d.precision))
                              : std::strlen(a.textData());
        body = std::string_view(a.textData(), len);
    } else if (a.kind() == FormatArg::Kind::Text) {
        body = std::string_view(a.textData(), a.textSize());
    } else {
        owned = describe(a);
        body = owned;
    }
    if (d.precision) body = truncateUtf8(body, static_cast<std::size_t>(*d.precision));
    appendPadded(out, body, d);
}

bool isInteger(const FormatArg& a) {
    return a.kind() == FormatArg::Kind::Signed || a.kind() == FormatArg::Kind::Unsigned;
}

// The value's bits at the width of the type that was passed.
std::uint64_t twosComplement(const FormatArg& a) {
    if (a.kind() == FormatArg::Kind::Unsigned) return a.unsignedValue();
    auto u = static_cast<std::uint64_t>(a.signedValue());
    return a.bits() >= 64 ? u : u & ((std::uint64_t{1} << a.bits()) - 1);
}

// snprintf in the "C" locale, whatever the process locale is.
template <class T>
void appendPrintf(std::string& out, const Directive& d, const char* lengthModifier, char conversion,
                  T value) {
    std::string conversionText = "%";
    if (d.left) conversionText += '-';
    if (d.plus) conversionText += '+';
    if (d.space) conversionText += ' ';
    if (d.alt) conversionText += '#';
    if (d.zero) conversionText += '0';
    if (d.width) conversionText += std::to_string(*d.width);
    if (d.precision) conversionText += "." + std::to_string(*d.precision);
    conversionText += lengthModifier;
    conversionText += conversion;

    static locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    locale_t previous = cLocale ? uselocale(cLocale) : static_cast<locale_t>(nullptr);
    char small[128];
    int n = std::snprintf(small, sizeof small, conversionText.c_str(), value);
    if (n >= 0 && static_cast<std::size_t>(n) < sizeof small) {
        out.append(small, static_cast<std::size_t>(n));
    } else if (n > 0) {
        std::string big(static_cast<std::size_t>(n) + 1, '\0');
        std::snprintf(big.data(), big.size(), conversionText.c_str(), value);
        out.append(big.data(), static_cast<std::size_t>(n));
    }
    if (previous) uselocale(previous);
}

void appendConversion(std::string& out, const FormatArg& a, const Directive& d) {
    char c = d.conversion;
    switch (c) {
        case 'd':
        case 'i':
        case 'D':
            if (a.kind() == FormatArg::Kind::Signed)
                return appendPrintf(out, d, "ll", 'd', static_cast<long long>(a.signedValue()));
            if (a.kind() == FormatArg::Kind::Unsigned)
                return appendPrintf(out, d, "ll", 'u',
                                    static_cast<unsigned long long>(a.unsignedValue()));
            break;
        case 'u':
        case 'U':
        case 'o':
        case 'O':
        case 'x':
        case 'X':
            if (isInteger(a)) {
                char conv = c == 'U' ? 'u' : c == 'O' ? 'o' : c;
                return appendPrintf(out, d, "ll", conv,
                                    static_cast<unsigned long long>(twosComplement(a)));
            }
            break;
        case 'c':
        case 'C':
            if (isInteger(a)) {
                std::string body;
                if (d.wideChar)
                    unicode::appendUTF8(body, static_cast<std::uint32_t>(twosComplement(a)));
                else
                    body += static_cast<char>(twosComplement(a) & 0xFF);
                return appendPadded(out, body, d);
            }
            break;
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A': {
            double v;
            if (a.kind() == FormatArg::Kind::Real)
                v = a.realValue();
            else if (a.kind() == FormatArg::Kind::Signed)
                v = static_cast<double>(a.signedValue());
            else if (a.kind() == FormatArg::Kind::Unsigned)
                v = static_cast<double>(a.unsignedValue());
            else
                break;
            return appendPrintf(out, d, "", c, v);
        }
        case 'p':
            if (a.kind() == FormatArg::Kind::Pointer)
                return appendPadded(out, hexPointer(a.pointerValue()), d);
            break;
        case 's':
        case 'S':
        case '@':
            return appendText(out, a, d);
    }
    // Mismatched kind: print what "%@" would, honouring width and "-" only.
    Directive plain;
    plain.width = d.width;
    plain.left = d.left;
    appendPadded(out, describe(a), plain);
}

}  // namespace

std::string vformat(std::string_view fmt, std::span<const FormatArg> args) {
    std::string out;
    out.reserve(fmt.size() + 16 * args.size());
    ArgCursor cursor(args);
    std::size_t i = 0;
    while (i < fmt.size()) {
        std::size_t pct = fmt.find('%', i);
        if (pct == std::string_view::npos) {
            out.append(fmt.substr(i));
            break;
        }
        out.append(fmt.substr(i, pct - i));
        if (pct + 1 < fmt.size() && fmt[pct + 1] == '%') {
            out += '%';
            i = pct + 2;
            continue;
        }
        Directive d;
        std::size_t end = pct + 1;
        if (!parseDirective(fmt, pct, cursor, d, end)) {
            out.append(fmt.substr(pct, end - pct));
            i = end;
            continue;
        }
        const FormatArg* arg = d.position ? cursor.at(*d.position) : cursor.next();
        if (arg)
            appendConversion(out, *arg, d);
        else
            out.append(d.text);
        i = end;
    }
    return out;
}

std::string printfFormat(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (needed > 0) {
        text.resize(static_cast<std::size_t>(needed) + 1);
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(static_cast<std::size_t>(needed));
    }
    return text;
}

}  // namespace platform
