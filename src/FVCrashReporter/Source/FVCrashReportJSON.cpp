// The report objects filled from a JSON crash dictionary, the form other
// crash tools write: "images", "states", "threads", "exception_type",
// "exception_codes", "process", "parent_process", "path", "os_version" and
// "date_time".
#include <cctype>
#include <cstdint>
#include <ctime>
#include <limits>
#include <string>
#include <string_view>

#include "FVCrashReporter/Source/FVCrashReport.h"
#include "FVCrashReporter/Source/FVCrashReporterError.h"
#include "Platform/Text/UuidText.h"

namespace {

constexpr uint64_t kMachTypeX86_64 = 0x1000007;
constexpr uint64_t kMachSubtypeX86All = 3;

FVCrashProcessorPtr machX86_64() {
    return std::make_shared<FVCrashReportProcessorInfo>(1, kMachTypeX86_64, kMachSubtypeX86All);
}

const std::string* textAt(const platform::Value& json, std::string_view key) {
    const platform::Value* value = json.get(key);
    return value ? value->asString() : nullptr;
}

uint64_t unsignedAt(const platform::Value& dictionary, std::string_view key) {
    const platform::Value* value = dictionary.get(key);
    return value ? value->uint64Value() : 0;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string trimmed(std::string_view text) {
    size_t begin = 0, end = text.size();
    while (begin < end && isBlank(text[begin])) ++begin;
    while (end > begin && isBlank(text[end - 1])) --end;
    return std::string(text.substr(begin, end - begin));
}

// Leading blanks, then decimal digits; 0 when there are none.
uint64_t leadingNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && isBlank(text[i])) ++i;
    uint64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
        if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10)
            return std::numeric_limits<uint64_t>::max();
        value = value * 10 + digit;
    }
    return value;
}

// "name [id]" or "name (id)": the last "[" (else the last "(") splits the
// text; the character before it is the blank the layout puts there. A
// bracket at the very start leaves no name.
void splitProcess(std::string_view text, std::string* name, uint64_t* id) {
    size_t bracket = text.rfind('[');
    if (bracket == std::string_view::npos) bracket = text.rfind('(');
    if (bracket == std::string_view::npos) {
        *name = trimmed(text);
        *id = 0;
        return;
    }
    *id = leadingNumber(text.substr(bracket + 1));
    *name = bracket == 0 ? std::string() : trimmed(text.substr(0, bracket - 1));
}

bool readDigits(std::string_view text, size_t* at, size_t minimum, size_t maximum, int64_t* out,
                size_t* count = nullptr) {
    size_t n = 0;
    int64_t value = 0;
    while (*at + n < text.size() && n < maximum && text[*at + n] >= '0' && text[*at + n] <= '9') {
        value = value * 10 + (text[*at + n] - '0');
        ++n;
    }
    if (n < minimum) return false;
    *at += n;
    *out = value;
    if (count) *count = n;
    return true;
}

bool expect(std::string_view text, size_t* at, char c) {
    if (*at >= text.size() || text[*at] != c) return false;
    ++*at;
    return true;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t daysFromCivil(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yoe = year - era * 400;
    const int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int64_t daysInMonth(int64_t year, int64_t month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// A zone offset in seconds: "Z", "+HHMM", "+HH:MM", "+HH", or "GMT"/"UTC"
// alone or followed by such an offset.
bool readZone(std::string_view text, size_t* at, int64_t* offset) {
    std::string_view rest = text.substr(*at);
    if (rest == "Z") {
        *at = text.size();
        *offset = 0;
        return true;
    }
    if (rest.starts_with("GMT") || rest.starts_with("UTC")) {
        *at += 3;
        if (*at == text.size()) {
            *offset = 0;
            return true;
        }
    }
    if (*at >= text.size() || (text[*at] != '+' && text[*at] != '-')) return false;
    const int64_t sign = text[*at] == '-' ? -1 : 1;
    ++*at;
    int64_t hours = 0, minutes = 0;
    size_t count = 0;
    if (!readDigits(text, at, 1, 4, &hours, &count)) return false;
    if (count > 2) {  // "HHMM"
        if (count != 4) return false;
        minutes = hours % 100;
        hours /= 100;
    } else if (*at < text.size() && text[*at] == ':') {
        ++*at;
        if (!readDigits(text, at, 2, 2, &minutes)) return false;
    }
    if (hours > 23 || minutes > 59) return false;
    *offset = sign * (hours * 3600 + minutes * 60);
    return true;
}

// "yyyy-MM-dd HH:mm:ss.SSS ZZZ"; without a zone, the time is read in the
// system time zone.
std::optional<FVCrashDate> parseDate(std::string_view text) {
    size_t at = 0;
    int64_t year, month, day, hour, minute, second, fraction;
    size_t fractionDigits = 0;
    if (!readDigits(text, &at, 4, 4, &year) || !expect(text, &at, '-') ||
        !readDigits(text, &at, 1, 2, &month) || !expect(text, &at, '-') ||
        !readDigits(text, &at, 1, 2, &day) || !expect(text, &at, ' ') ||
        !readDigits(text, &at, 1, 2, &hour) || !expect(text, &at, ':') ||
        !readDigits(text, &at, 1, 2, &minute) || !expect(text, &at, ':') ||
        !readDigits(text, &at, 1, 2, &second) || !expect(text, &at, '.') ||
        !readDigits(text, &at, 1, 9, &fraction, &fractionDigits))
        return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 ||
        minute > 59 || second > 59)
        return std::nullopt;
    int64_t nanoseconds = fraction;
    for (size_t i = fractionDigits; i < 9; ++i) nanoseconds *= 10;

    int64_t seconds = 0;
    if (at == text.size()) {
        struct tm parts {};
        parts.tm_year = static_cast<int>(year - 1900);
        parts.tm_mon = static_cast<int>(month - 1);
        parts.tm_mday = static_cast<int>(day);
        parts.tm_hour = static_cast<int>(hour);
        parts.tm_min = static_cast<int>(minute);
        parts.tm_sec = static_cast<int>(second);
        parts.tm_isdst = -1;
        const time_t local = mktime(&parts);
        if (local == static_cast<time_t>(-1)) return std::nullopt;
        seconds = static_cast<int64_t>(local);
    } else {
        int64_t offset = 0;
        if (!expect(text, &at, ' ') || !readZone(text, &at, &offset) || at != text.size())
            return std::nullopt;
        seconds =
            daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second - offset;
    }
    // Years the clock cannot hold give no date.
    constexpr int64_t kLimit =
        std::chrono::duration_cast<std::chrono::seconds>(FVCrashDate::duration::max()).count() - 1;
    if (seconds > kLimit || seconds < -kLimit) return std::nullopt;
    return FVCrashDate(std::chrono::duration_cast<FVCrashDate::duration>(
        std::chrono::seconds(seconds) + std::chrono::nanoseconds(nanoseconds)));
}

struct NamedNumber {
    std::string_view name;
    uint64_t number;
};

constexpr NamedNumber kExceptionCodes[] = {
    {"KERN_INVALID_ADDRESS", 1}, {"KERN_PROTECTION_FAILURE", 2},
    {"KERN_NO_SPACE", 3},        {"KERN_INVALID_ARGUMENT", 4},
    {"KERN_FAILURE", 5},         {"EXC_I386_GPFLT", 13},
    {"EXC_I386_PGFLT", 14},      {"EXC_I386_EXTERRFLT", 16},
    {"EXC_I386_ALIGNFLT", 17},   {"EXC_I386_ENDPERR", 33},
    {"EXC_I386_ENOEXTFLT", 32},
};

constexpr NamedNumber kExceptionTypes[] = {
    {"EXC_BAD_ACCESS", 1},     {"EXC_BAD_INSTRUCTION", 2}, {"EXC_ARITHMETIC", 3},
    {"EXC_EMULATION", 4},      {"EXC_SOFTWARE", 5},        {"EXC_BREAKPOINT", 6},
    {"EXC_SYSCALL", 7},        {"EXC_MACH_SYSCALL", 7},    {"EXC_RPC_ALERT", 9},
    {"EXC_CRASH", 10},         {"EXC_RESOURCE", 11},       {"EXC_GUARD", 12},
    {"EXC_CORPSE_NOTIFY", 13},
};

}  // namespace

std::shared_ptr<FVCrashReport> FVCrashReport::init() {
    return std::shared_ptr<FVCrashReport>(new FVCrashReport());
}

bool FVCrashReport::setValuesForPropertiesFromJSONProxy(const platform::Value& json,
                                                        platform::Error* error) {
    const auto fail = [&](std::string_view message) {
        fvcrash_populate_error(error, FVCrashReporterErrorInvalidCrashReport, message, nullptr);
        return false;
    };

    // 1. Images with both addresses; an end at or below the start would make
    // a size that wraps, so such entries are skipped like zero addresses.
    std::vector<FVCrashReportBinaryImageInfo> images;
    if (const platform::Value* list = json.get("images"); list && list->asArray()) {
        for (const platform::Value& entry : *list->asArray()) {
            if (!entry.isDictionary()) continue;
            const uint64_t start = unsignedAt(entry, "addr_start");
            const uint64_t end = unsignedAt(entry, "addr_end");
            if (start == 0 || end == 0 || end <= start) continue;
            std::optional<std::vector<uint8_t>> uuid;
            if (const std::string* text = textAt(entry, "uuid"))
                if (auto bytes = platform::parseUuidText(*text))
                    uuid.emplace(bytes->begin(), bytes->end());
            const std::string* path = textAt(entry, "path");
            images.emplace_back(machX86_64(), start, end - start, path ? *path : std::string(),
                                uuid);
        }
    }
    if (images.empty()) return fail("Crash JSON has no binary images");
    images_ = std::move(images);

    // 2. Threads, all sharing the crashed thread's register state.
    std::vector<FVCrashReportRegisterInfo> registers;
    if (const platform::Value* states = json.get("states"); states && states->asDictionary())
        for (const auto& [name, value] : *states->asDictionary())
            registers.emplace_back(name, value.uint64Value());
    std::vector<FVCrashReportThreadInfo> threads;
    if (const platform::Value* list = json.get("threads"); list && list->asArray()) {
        for (const platform::Value& entry : *list->asArray()) {
            if (!entry.isDictionary()) continue;
            std::vector<FVCrashReportStackFrameInfo> frames;
            if (const platform::Value* trace = entry.get("stacktrace"); trace && trace->asArray()) {
                frames.reserve(trace->asArray()->size());
                for (const platform::Value& frame : *trace->asArray()) {
                    if (!frame.isDictionary()) continue;
                    const uint64_t address = unsignedAt(frame, "addr");
                    std::shared_ptr<const FVCrashReportSymbolInfo> symbol;
                    if (const std::string* name = textAt(frame, "symbol"))
                        symbol = std::make_shared<FVCrashReportSymbolInfo>(
                            *name, address - unsignedAt(frame, "offset"), 0);
                    frames.emplace_back(address, std::move(symbol));
                }
            }
            const platform::Value* number = entry.get("number");
            const platform::Value* crashed = entry.get("crashed");
            threads.emplace_back(number ? number->int64Value() : 0, std::move(frames),
                                 crashed && crashed->boolValue(), registers);
        }
    }
    if (threads.empty()) return fail("Crash JSON has no threads");
    threads_ = std::move(threads);

    // 3. The Mach exception, from the names in the exception texts.
    std::vector<uint64_t> codes;
    if (const std::string* text = textAt(json, "exception_codes"))
        for (const NamedNumber& code : kExceptionCodes)
            if (text->find(code.name) != std::string::npos) codes.push_back(code.number);
    uint64_t type = std::numeric_limits<uint64_t>::max();
    if (const std::string* text = textAt(json, "exception_type"))
        for (const NamedNumber& named : kExceptionTypes)
            if (text->find(named.name) != std::string::npos) {
                type = named.number;
                break;
            }
    machExceptionInfo_ = std::make_shared<FVCrashReportMachExceptionInfo>(type, std::move(codes));

    // 4. The process and its parent.
    std::string processName, parentName;
    uint64_t processID = 0, parentID = 0;
    const std::string* process = textAt(json, "process");
    if (process) splitProcess(*process, &processName, &processID);
    std::optional<std::string> parent;
    if (const std::string* text = textAt(json, "parent_process")) {
        splitProcess(*text, &parentName, &parentID);
        parent = parentName;
    }
    if (!process || processName.empty()) return fail("Crash JSON has no process name");
    const std::string* path = textAt(json, "path");
    processInfo_ = std::make_shared<FVCrashReportProcessInfo>(
        processName, processID, path ? std::optional<std::string>(*path) : std::nullopt,
        std::chrono::system_clock::now(), parent, parentID, true);

    // 5. The host: "version (build)" and the crash's date.
    const std::string* osVersion = textAt(json, "os_version");
    if (!osVersion) return fail("Crash JSON has no OS version");
    std::string version = *osVersion;
    std::string build;
    const size_t open = osVersion->rfind('(');
    const size_t close = osVersion->rfind(')');
    if (open != std::string::npos && close != std::string::npos && open < close) {
        build = trimmed(std::string_view(*osVersion).substr(open + 1, close - open - 1));
        version = trimmed(std::string_view(*osVersion).substr(0, open));
    }
    std::optional<FVCrashDate> timestamp;
    if (const std::string* date = textAt(json, "date_time")) timestamp = parseDate(*date);
    systemInfo_ = std::make_shared<FVCrashReportSystemInfo>(0, std::move(version), std::move(build),
                                                            FVCRASH__ARCHITECTURE__X86_64,
                                                            machX86_64(), timestamp);
    return true;
}
