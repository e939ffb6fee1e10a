#include "VTSubmissionLib/VTSubmissionFormat.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <utility>

namespace {

struct Fields {
    std::tm tm{};
    int milliseconds = 0;
};

// The calendar's range: 0001-01-01 00:00:00 to 9999-12-31 23:59:59.999.
constexpr double kFirstSecond = -62135596800.0;
constexpr double kLastSecond = 253402300799.999;

// A summary read from disk may hold any number as a date, none included: it
// is held to the four-digit years, and a date that is no number counts as
// the epoch, so no conversion below leaves its type's range.
double calendarSeconds(platform::Date date) {
    const double seconds = date.secondsSince1970;
    if (std::isnan(seconds)) return 0;
    return std::clamp(seconds, kFirstSecond, kLastSecond);
}

Fields brokenDown(platform::Date date) {
    // Milliseconds first, so a value such as x.9999999 does not give 1000.
    const double ms = std::floor(calendarSeconds(date) * 1000.0 + 1e-4);
    const double seconds = std::floor(ms / 1000.0);
    Fields f;
    f.milliseconds = static_cast<int>(ms - seconds * 1000.0);
    std::time_t t = static_cast<std::time_t>(seconds);
    gmtime_r(&t, &f.tm);
    return f;
}

}  // namespace

std::uint64_t timeIntervalInWindowsTicks(platform::Date date) {
    const auto seconds = static_cast<std::int64_t>(std::trunc(calendarSeconds(date)));
    // Ticks count from 1601; an earlier date is the first tick.
    if (seconds < -static_cast<std::int64_t>(kVTWindowsEpochOffsetSeconds)) return 0;
    return static_cast<std::uint64_t>(seconds * 10000000LL) + 116444736000000000ULL;
}

platform::Date dateWithWindowsTicks(std::uint64_t ticks) {
    const auto seconds = static_cast<std::int64_t>(ticks / 10000000ULL) -
                         static_cast<std::int64_t>(kVTWindowsEpochOffsetSeconds);
    return platform::Date{static_cast<double>(seconds)};
}

std::string VTSubmissionDateString(platform::Date date) {
    Fields f = brokenDown(date);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d:%03d", f.tm.tm_year + 1900,
                  f.tm.tm_mon + 1, f.tm.tm_mday, f.tm.tm_hour, f.tm.tm_min, f.tm.tm_sec,
                  f.milliseconds);
    return buf;
}

std::string VTSubmissionRFCDateString(platform::Date date) {
    static constexpr std::array<const char*, 7> kDays = {"Sun", "Mon", "Tue", "Wed",
                                                         "Thu", "Fri", "Sat"};
    static constexpr std::array<const char*, 12> kMonths = {
        "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    Fields f = brokenDown(date);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %d %s %04d %02d:%02d:%02d GMT", kDays[f.tm.tm_wday % 7],
                  f.tm.tm_mday, kMonths[f.tm.tm_mon % 12], f.tm.tm_year + 1900, f.tm.tm_hour,
                  f.tm.tm_min, f.tm.tm_sec);
    return buf;
}

std::string VTFormEscape(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    return out;
}

std::string VTTruncateUTF8(std::string_view text, std::size_t maxCharacters) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        // A character starts at every byte that is not a continuation byte.
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (count == maxCharacters) return std::string(text.substr(0, i));
            ++count;
        }
    }
    return std::string(text);
}

std::string_view VTProductLanguageCode(std::string_view name) {
    static constexpr std::pair<std::string_view, std::string_view> kTable[] = {
        {"Arabic", "ar"},
        {"Brazilian", "pt-BR"},
        {"Catalan", "ca"},
        {"Chinese", "zh-Hans"},
        {"Czech", "cs"},
        {"Danish", "da"},
        {"Dutch", "nl"},
        {"English", "en-US"},
        {"Finnish", "fi"},
        {"French", "fr"},
        {"German", "de"},
        {"Greek", "el"},
        {"Hebrew", "he"},
        {"Hungarian", "hu"},
        {"Italian", "it"},
        {"Japanese", "ja"},
        {"Korean", "ko"},
        {"Norwegian", "no"},
        {"Polish", "pl"},
        {"Portuguese", "pt"},
        {"Romanian", "ro"},
        {"Russian", "ru"},
        {"SimplifiedChinese", "zh-Hans"},
        {"Slovakian", "sk"},
        {"Spanish", "es"},
        {"Spanish_ES", "es-ES"},
        {"Swedish", "sv"},
        {"TraditionalChinese", "zh-Hant"},
        {"Turkish", "tr"},
    };
    for (const auto& [key, code] : kTable)
        if (key == name) return code;
    return {};
}

std::string VTDeletingPathExtension(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t start = slash == std::string_view::npos ? 0 : slash + 1;
    const std::size_t dot = path.rfind('.');
    if (dot == std::string_view::npos || dot <= start) return std::string(path);
    return std::string(path.substr(0, dot));
}
