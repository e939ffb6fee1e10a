#include "Foundation/PelRegistryUtilities.h"

#include <cstring>

namespace PelRegistry::Utilities {
namespace {

struct Parts {
    std::uint16_t major = 0, minor = 0;
    std::uint16_t build = kAnyVersionPart, stage = kAnyVersionPart, number = kAnyVersionPart;
    /// Whether the number is decided; when not, the caller's value stays.
    bool hasNumber = true;
};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

/// Reads the digits at p, at most `limit`; a longer number (however many
/// digits) fails rather than wrapping around.
bool readNumber(const char*& p, unsigned limit, std::uint16_t& out) {
    unsigned long value = 0;
    for (; isDigit(*p); ++p) {
        value = value * 10 + static_cast<unsigned>(*p - '0');
        if (value > limit) return false;
    }
    out = static_cast<std::uint16_t>(value);
    return true;
}

/// A major or minor part: "*" or a number up to 65535.
bool readMainPart(const char*& p, std::uint16_t& out) {
    if (*p == '*') {
        out = kAnyVersionPart;
        ++p;
        return true;
    }
    return isDigit(*p) && readNumber(p, 65535, out);
}

bool parse(const char* p, Parts& v) {
    if (!p || !*p) return false;
    if (!readMainPart(p, v.major)) return false;
    if (v.major == 0) return false;
    if (*p++ != '.') return false;
    if (!readMainPart(p, v.minor)) return false;
    if (!*p) return true;  // build, stage and number stay "any"

    if (*p == '.') {
        ++p;
        if (*p == '*') {
            ++p;
        } else if (!isDigit(*p) || !readNumber(p, 255, v.build)) {
            return false;
        }
    } else {
        v.build = 0;
    }

    switch (*p) {
        case '*':
            v.stage = kAnyVersionPart;
            break;
        case 'a':
            v.stage = kStageAlpha;
            break;
        case 'b':
            v.stage = kStageBeta;
            break;
        case 'd':
            v.stage = kStageDevelopment;
            break;
        case 'f':
        case 'r':
            v.stage = kStageFinal;
            break;
        default:
            return true;  // no stage: stage and number stay "any"
    }
    ++p;
    if (isDigit(*p)) return readNumber(p, 667, v.number) && *p == '\0';
    // "*" and the end give "any"; any other character leaves the number as
    // the caller set it.
    v.hasNumber = *p == '*' || *p == '\0';
    return true;
}

bool finish(bool ok, const Parts& v, std::uint16_t* major, std::uint16_t* minor,
            std::uint16_t* build, std::uint16_t* stage, std::uint16_t* stageNumber) {
    const Parts none{0, 0, 0, 0, 0, true};
    const Parts& out = ok ? v : none;
    if (major) *major = out.major;
    if (minor) *minor = out.minor;
    if (build) *build = out.build;
    if (stage) *stage = out.stage;
    if (stageNumber && out.hasNumber) *stageNumber = out.number;
    return ok;
}

}  // namespace

bool decomposeVersion(const char* version, std::uint16_t* major, std::uint16_t* minor,
                      std::uint16_t* build, std::uint16_t* stage, std::uint16_t* stageNumber) {
    Parts v;
    bool ok = parse(version, v);
    return finish(ok, v, major, minor, build, stage, stageNumber);
}

bool decomposeVersion(const std::string* version, std::uint16_t* major, std::uint16_t* minor,
                      std::uint16_t* build, std::uint16_t* stage, std::uint16_t* stageNumber) {
    Parts v;
    bool ok = version != nullptr;
    if (ok) {
        for (char c : *version) ok = ok && static_cast<unsigned char>(c) < 0x80;
    }
    ok = ok && parse(version->c_str(), v);
    return finish(ok, v, major, minor, build, stage, stageNumber);
}

}  // namespace PelRegistry::Utilities
