#include "VTErrorCreationLib/Utilities/VTVersionUtilities.h"

#include <cinttypes>
#include <cstdio>

#include "VTErrorCreationLib/Utilities/VTProbability.h"

namespace {

constexpr std::string_view kStageLetters = "abdfr";

bool isStage(char c) { return kStageLetters.find(c) != std::string_view::npos; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Parses one component at `pos`: "*" when a wildcard is allowed, else a
// decimal number of at most 65535. Advances `pos` past it.
bool parseComponent(std::string_view text, std::size_t& pos,
                    const std::optional<platform::Value>& wildcard, platform::Value& out,
                    bool& isWildcard) {
    isWildcard = false;
    if (pos < text.size() && text[pos] == '*' && wildcard) {
        out = *wildcard;
        isWildcard = true;
        ++pos;
        return true;
    }
    std::uint32_t value = 0;
    std::size_t start = pos;
    while (pos < text.size() && isDigit(text[pos])) {
        value = value * 10 + static_cast<std::uint32_t>(text[pos] - '0');
        if (value > 65535) return false;
        ++pos;
    }
    if (pos == start) return false;
    out = platform::Value(static_cast<std::uint64_t>(value));
    return true;
}

}  // namespace

std::optional<VTVersionComponents> VTStringUtilities::versionComponents(
    std::string_view text, const std::optional<platform::Value>& wildcard,
    const platform::Value& missing) {
    VTVersionComponents c{missing, missing, missing, missing};
    std::size_t pos = 0;
    std::size_t cursor = 0;
    bool isWildcard = false;

    // Component 1: the wildcard or a number other than 0.
    if (!parseComponent(text, pos, wildcard, c[cursor], isWildcard)) return std::nullopt;
    if (!isWildcard && c[cursor].uint64Value() == 0) return std::nullopt;
    ++cursor;
    if (pos == text.size()) return c;
    if (text[pos] != '.') return std::nullopt;
    ++pos;

    // Component 2.
    if (!parseComponent(text, pos, wildcard, c[cursor], isWildcard)) return std::nullopt;
    ++cursor;
    if (pos == text.size()) return c;
    bool stageSeen = false;
    if (isStage(text[pos])) {
        stageSeen = true;
        cursor = 3;
    }
    ++pos;

    // Component 3 (or the build number after a stage letter).
    if (!parseComponent(text, pos, wildcard, c[cursor], isWildcard)) return std::nullopt;
    ++cursor;
    if (pos == text.size()) return c;
    if (isStage(text[pos])) {
        if (stageSeen) return std::nullopt;
        cursor = 3;
    }
    ++pos;

    // Once the build number is in place, whatever follows is ignored.
    if (cursor > 3) return c;
    if (!parseComponent(text, pos, wildcard, c[cursor], isWildcard)) return std::nullopt;
    return c;
}

std::optional<VTVersionComponents> VTStringUtilities::versionComponents(std::string_view text) {
    return versionComponents(text, std::nullopt, platform::Value("0"));
}

std::optional<std::string> VTStringUtilities::canonicalVersionString(std::string_view text,
                                                                     std::string_view) {
    auto c = versionComponents(text, platform::Value("*"), platform::Value("0"));
    if (!c) return std::nullopt;
    std::string out;
    for (std::size_t i = 0; i < c->size(); ++i) {
        if (i) out += '.';
        out += (*c)[i].description();
    }
    return out;
}

std::optional<std::size_t> VTStringUtilities::stageCharacterRange(std::string_view text) {
    std::size_t pos = text.find_last_of(kStageLetters);
    if (pos == std::string_view::npos) return std::nullopt;
    return pos;
}

bool VTStringUtilities::containsStageCharacter(std::string_view text) {
    return text.find_first_of(kStageLetters) != std::string_view::npos;
}

std::uint64_t VTStringUtilities::hexValue(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\n' ||
                                 text[pos] == '\r' || text[pos] == '\v' || text[pos] == '\f'))
        ++pos;
    if (pos + 1 < text.size() && text[pos] == '0' && (text[pos + 1] == 'x' || text[pos + 1] == 'X'))
        pos += 2;
    std::uint64_t value = 0;
    bool overflow = false;
    for (; pos < text.size(); ++pos) {
        char ch = text[pos];
        unsigned digit;
        if (ch >= '0' && ch <= '9')
            digit = static_cast<unsigned>(ch - '0');
        else if (ch >= 'a' && ch <= 'f')
            digit = static_cast<unsigned>(ch - 'a' + 10);
        else if (ch >= 'A' && ch <= 'F')
            digit = static_cast<unsigned>(ch - 'A' + 10);
        else
            break;
        if (value > (UINT64_MAX >> 4)) overflow = true;
        value = (value << 4) | digit;
    }
    return overflow ? UINT64_MAX : value;
}

std::string VTStringUtilities::stringWithBucketID(std::uint64_t bucket) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "%08" PRIx64, bucket);
    return buffer;
}

std::string VTStringUtilities::stringWithBucketIDNumber(const platform::Value& bucket) {
    return stringWithBucketID(bucket.uint64Value());
}

bool VTNumberUtilities::testProbability(const platform::Value& number) {
    return VTTestProbability(static_cast<std::int32_t>(number.int64Value()));
}

void VTDictionaryUtilities::setObject(platform::Dictionary& dict, std::string key,
                                      const std::optional<platform::Value>& object,
                                      const std::optional<platform::Value>& fallback) {
    if (object)
        dict.insert_or_assign(std::move(key), *object);
    else if (fallback)
        dict.insert_or_assign(std::move(key), *fallback);
}
