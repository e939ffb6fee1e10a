#include "Platform/Text/UuidText.h"

#include "Platform/Text/Hex.h"

namespace platform {

std::optional<UuidBytes> parseUuidText(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    UuidBytes bytes{};
    std::size_t out = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        int hi = hexDigitValue(text[i]);
        int lo = hexDigitValue(text[i + 1]);  // i + 1 < 36: a dash position never ends a pair
        if (hi < 0 || lo < 0) return std::nullopt;
        bytes[out++] = static_cast<std::uint8_t>(hi << 4 | lo);
        i += 2;
    }
    return bytes;
}

std::string formatUuidText(const UuidBytes& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
        s += kDigits[bytes[i] >> 4];
        s += kDigits[bytes[i] & 15];
    }
    return s;
}

}  // namespace platform
