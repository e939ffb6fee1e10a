#include "VTErrorCreationLib/VTPanicScanners.h"

#include <vector>

namespace vtpanic {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isAlnum(char c) { return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isLowerHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f'); }
bool isHex(char c) { return isLowerHex(c) || (c >= 'A' && c <= 'F'); }
bool isPrint(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= 0x20 && u < 0x7F) || u >= 0x80;
}
bool isLineEnd(char c) { return c == '\n' || c == '\r'; }

// Bytes of the UTF-8 character at `at` (1 for ASCII and stray bytes).
std::size_t charLength(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    std::size_t n = 1;
    while (n < length && at + n < text.size() &&
           (static_cast<unsigned char>(text[at + n]) & 0xC0) == 0x80)
        ++n;
    return n;
}

// "\s": tab, line feed, form feed, carriage return, or a space separator
// (U+0020, U+00A0, U+1680, U+2000-U+200A, U+2028, U+2029, U+202F, U+205F,
// U+3000). Its length in bytes, or 0.
std::size_t spaceLength(std::string_view text, std::size_t at) {
    if (at >= text.size()) return 0;
    const auto c = static_cast<unsigned char>(text[at]);
    if (c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ') return 1;
    auto byte = [&](std::size_t i) {
        return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0;
    };
    if (c == 0xC2 && byte(1) == 0xA0) return 2;
    if (c == 0xE1 && byte(1) == 0x9A && byte(2) == 0x80) return 3;
    if (c == 0xE2 && byte(1) == 0x80 &&
        ((byte(2) >= 0x80 && byte(2) <= 0x8A) || byte(2) == 0xA8 || byte(2) == 0xA9 ||
         byte(2) == 0xAF))
        return 3;
    if (c == 0xE2 && byte(1) == 0x81 && byte(2) == 0x9F) return 3;
    if (c == 0xE3 && byte(1) == 0x80 && byte(2) == 0x80) return 3;
    return 0;
}

template <class Pred>
std::size_t runEnd(std::string_view text, std::size_t from, Pred pred) {
    while (from < text.size() && pred(text[from])) ++from;
    return from;
}

bool startsAt(std::string_view text, std::size_t at, std::string_view literal) {
    return at <= text.size() && text.substr(at, literal.size()) == literal;
}

}  // namespace

std::optional<std::string_view> matchPanicLine(std::string_view line) {
    constexpr std::string_view kHead = "panic(cpu ";
    if (!startsAt(line, 0, kHead)) return std::nullopt;
    std::size_t at = kHead.size();
    std::size_t end = runEnd(line, at, isDigit);
    if (end == at || !startsAt(line, end, " caller ")) return std::nullopt;
    at = end + 8;
    end = runEnd(line, at, isAlnum);
    if (end == at || !startsAt(line, end, "):")) return std::nullopt;
    at = end + 2;
    end = runEnd(line, at, isPrint);
    if (end == at) return std::nullopt;
    return line.substr(at, end - at);
}

std::optional<std::string_view> matchKernelVersionLine(std::string_view line) {
    constexpr std::string_view kHead = "Darwin Kernel Version ";
    if (!startsAt(line, 0, kHead)) return std::nullopt;
    const std::size_t p = kHead.size();
    // Digit-run lengths from every position on: each step below is then a
    // constant-time look-up, and the greedy choices of the expression
    // (longest first digit run, then longest second) are tried in its order.
    std::vector<std::uint32_t> run(line.size() - p + 1, 0);
    for (std::size_t i = line.size(); i-- > p;)
        run[i - p] = isDigit(line[i]) ? run[i - p + 1] + 1 : 0;
    auto runAt = [&](std::size_t i) -> std::size_t { return i < line.size() ? run[i - p] : 0; };
    // "." at `at`: the position after it, or npos.
    auto any = [&](std::size_t at) -> std::size_t {
        if (at >= line.size() || isLineEnd(line[at])) return std::string_view::npos;
        return at + charLength(line, at);
    };
    // "\d+.\d+" from `t`, the last "\d+" taking all it can: its end, or
    // npos. The longest first run wins; inside a run only the choice that
    // leaves "." one digit and the last run one digit can still succeed.
    auto tail = [&](std::size_t t) -> std::size_t {
        const std::size_t length = runAt(t);
        if (length == 0) return std::string_view::npos;
        const std::size_t after = any(t + length);
        if (after != std::string_view::npos && runAt(after) >= 1) return after + runAt(after);
        if (length >= 3) return t + length;
        return std::string_view::npos;
    };
    const std::size_t first = runAt(p);
    for (std::size_t i = first; i >= 1; --i) {
        const std::size_t t = any(p + i);
        if (t != std::string_view::npos) {
            const std::size_t end = tail(t);
            if (end != std::string_view::npos) return line.substr(p, end - p);
        }
    }
    return std::nullopt;
}

std::optional<KernelExtensionMatch> matchKernelExtension(std::string_view line) {
    auto isName = [](char c) { return isAlnum(c) || c == '.'; };
    auto isVersion = [](char c) { return isDigit(c) || (c >= 'a' && c <= 'z') || c == '.'; };
    for (std::size_t open = line.find('('); open != std::string_view::npos;
         open = line.find('(', open + 1)) {
        std::size_t start = open;
        while (start > 0 && isName(line[start - 1])) --start;
        if (start == open) continue;
        KernelExtensionMatch match;
        match.identifier = line.substr(start, open - start);
        std::size_t at = runEnd(line, open + 1, isVersion);
        if (at - (open + 1) < 3 || !startsAt(line, at, ")")) continue;
        match.version = line.substr(open, at + 1 - open);
        std::size_t uuid = at + 1;
        if (!startsAt(line, uuid, "[")) continue;
        std::size_t cursor = uuid + 1;
        bool ok = true;
        for (std::size_t group : {8, 4, 4, 4, 12}) {
            for (std::size_t k = 0; k < group; ++k, ++cursor)
                if (cursor >= line.size() || !isAlnum(line[cursor])) ok = false;
            if (!ok) break;
            const char want = group == 12 ? ']' : '-';
            if (cursor >= line.size() || line[cursor] != want) {
                ok = false;
                break;
            }
            ++cursor;
        }
        if (!ok) continue;
        match.uuid = line.substr(uuid, cursor - uuid);
        if (!startsAt(line, cursor, "@0x")) continue;
        std::size_t loadEnd = runEnd(line, cursor + 3, isLowerHex);
        match.load = line.substr(cursor + 1, loadEnd - (cursor + 1));
        if (!startsAt(line, loadEnd, "->0x")) continue;
        std::size_t endEnd = runEnd(line, loadEnd + 4, isLowerHex);
        match.end = line.substr(loadEnd + 2, endEnd - (loadEnd + 2));
        return match;
    }
    return std::nullopt;
}

std::optional<KernelTrapMatch> matchKernelTrap(std::string_view text) {
    constexpr std::string_view kHead = "Kernel trap at 0x";
    if (!startsAt(text, 0, kHead)) return std::nullopt;
    std::size_t at = runEnd(text, kHead.size(), isHex);
    if (at == kHead.size() || !startsAt(text, at, ", type ")) return std::nullopt;
    at += 7;
    std::size_t digits = 0;
    if (at < text.size() && isDigit(text[at])) {
        digits = 1;
        if (at + 1 < text.size() && isDigit(text[at + 1]) && startsAt(text, at + 2, "="))
            digits = 2;
    }
    if (digits == 0 || !startsAt(text, at + digits, "=")) return std::nullopt;
    KernelTrapMatch match;
    match.type = text.substr(at, digits);
    const std::size_t nameStart = at + digits + 1;
    const std::size_t nameEnd = runEnd(text, nameStart, [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == ' ' || c == '#' || c == '-';
    });
    if (nameEnd == nameStart) return std::nullopt;
    match.name = text.substr(nameStart, nameEnd - nameStart);
    return match;
}

std::string replaceHexNumbers(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '0' && i + 1 < text.size() && text[i + 1] == 'x') {
            const std::size_t end = runEnd(text, i + 2, isHex);
            if (end - (i + 2) >= 4) {
                out += "<HEX>";
                i += 2 + std::min<std::size_t>(end - (i + 2), 16);
                continue;
            }
        }
        out += text[i++];
    }
    return out;
}

std::string replaceDecimalNumbers(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        if (!isDigit(text[i])) {
            out += text[i++];
            continue;
        }
        const std::size_t end = runEnd(text, i, isDigit);
        if (const std::size_t space = spaceLength(text, end)) {
            out += "<NUM> ";
            i = end + space;
        } else {
            // No start inside this run can match either.
            out.append(text.substr(i, end - i));
            i = end;
        }
    }
    return out;
}

bool containsDate(std::string_view line) {
    static constexpr std::string_view kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    auto oneOf = [&](std::size_t at, const auto& names) {
        for (std::string_view name : names)
            if (startsAt(line, at, name)) return true;
        return false;
    };
    // 1 or 2 digits at `at`; the position after them, or npos.
    auto number = [&](std::size_t at, std::size_t most) -> std::size_t {
        const std::size_t end = runEnd(line, at, isDigit);
        if (end == at || end - at > most) return std::string_view::npos;
        return end;
    };
    for (std::size_t i = 0; i + 3 <= line.size(); ++i) {
        if (!oneOf(i, kDays) || !startsAt(line, i + 3, " ") || !oneOf(i + 4, kMonths)) continue;
        std::size_t at = i + 7;
        if (!startsAt(line, at, " ")) continue;
        ++at;
        if (startsAt(line, at, " ")) ++at;  // "Jun  5"
        std::size_t end = number(at, 2);
        if (end == std::string_view::npos || !startsAt(line, end, " ")) continue;
        at = end + 1;
        bool time = true;
        for (int part = 0; part < 3 && time; ++part) {
            end = number(at, 2);
            if (end == std::string_view::npos)
                time = false;
            else if (part < 2 && !startsAt(line, end, ":"))
                time = false;
            else
                at = end + 1;
        }
        if (!time || !startsAt(line, end, " ")) continue;
        at = end + 1;
        const std::size_t zoneEnd = runEnd(line, at, [](char c) { return c >= 'A' && c <= 'Z'; });
        if (zoneEnd - at >= 2 && zoneEnd - at <= 5 && startsAt(line, zoneEnd, " "))
            at = zoneEnd + 1;
        end = runEnd(line, at, isDigit);
        if (end - at == 4) return true;
    }
    return false;
}

}  // namespace vtpanic
