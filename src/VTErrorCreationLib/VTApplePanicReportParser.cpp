#include "VTErrorCreationLib/VTApplePanicReportParser.h"

#include <fcntl.h>
#include <locale.h>
#include <syslog.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <clocale>
#include <cstdlib>
#include <ctime>

#include "Platform/Text/Unicode.h"
#include "VTErrorCreationLib/Utilities/VTErrorUtilities.h"
#include "VTErrorCreationLib/Utilities/VTLog.h"
#include "VTErrorCreationLib/Utilities/VTVersionUtilities.h"
#include "VTErrorCreationLib/VTPanicScanners.h"

namespace {

// Line states.
enum State { kHeaders = 0, kBacktrace = 1, kExtensions = 2, kVersionExpected = 3, kFailed = 4 };

constexpr long kInapplicableStringEncoding = 261;

std::string_view trim(std::string_view text) {
    auto space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && space(text.front())) text.remove_prefix(1);
    while (!text.empty() && space(text.back())) text.remove_suffix(1);
    return text;
}

bool contains(std::string_view line, std::string_view label) {
    return line.find(label) != std::string_view::npos;
}

bool containsIgnoringCase(std::string_view line, std::string_view label) {
    if (label.size() > line.size()) return false;
    for (std::size_t i = 0; i + label.size() <= line.size(); ++i) {
        std::size_t k = 0;
        while (k < label.size() && std::tolower(static_cast<unsigned char>(line[i + k])) ==
                                       std::tolower(static_cast<unsigned char>(label[k])))
            ++k;
        if (k == label.size()) return true;
    }
    return false;
}

// The text after `label` in `line`: from the label's start plus its length
// plus one character.
std::string_view textAfter(std::string_view line, std::string_view label) {
    const std::size_t start = line.find(label) + label.size() + 1;
    return start >= line.size() ? std::string_view() : line.substr(start);
}

// The value of a decimal text, as a string's doubleValue reads it.
double doubleValue(std::string_view text) {
    text = trim(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    double value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc() ? value : 0;
}

// Calls `visit` for every line, split at the line ends a text can hold
// ("\n", "\r\n", "\r", U+0085, U+2028, U+2029); false from `visit` stops.
template <class Visit>
void enumerateLines(std::string_view text, Visit visit) {
    std::size_t start = 0, i = 0;
    while (i < text.size()) {
        std::size_t endLength = 0;
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\n')
            endLength = 1;
        else if (c == '\r')
            endLength = (i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
        else if (c == 0xC2 && i + 1 < text.size() &&
                 static_cast<unsigned char>(text[i + 1]) == 0x85)
            endLength = 2;
        else if (c == 0xE2 && i + 2 < text.size() &&
                 static_cast<unsigned char>(text[i + 1]) == 0x80 &&
                 (static_cast<unsigned char>(text[i + 2]) == 0xA8 ||
                  static_cast<unsigned char>(text[i + 2]) == 0xA9))
            endLength = 3;
        if (endLength == 0) {
            ++i;
            continue;
        }
        if (!visit(text.substr(start, i - start))) return;
        i += endLength;
        start = i;
    }
    if (start < text.size()) visit(text.substr(start));
}

}  // namespace

std::unique_ptr<VTApplePanicReportParser> VTApplePanicReportParser::parserForReportAtURL(
    const std::string& url, platform::Error* error) {
    const std::string path = url.rfind("file://", 0) == 0 ? url.substr(7) : url;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        platform::setError(error, platform::Error::fileRead(errno, path));
        return nullptr;
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int code = errno;
            ::close(fd);
            platform::setError(error, platform::Error::fileRead(code, path));
            return nullptr;
        }
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (!platform::unicode::isValidUTF8(text)) {
        platform::Error failure(std::string(platform::kCocoaErrorDomain),
                                kInapplicableStringEncoding);
        failure.setUserInfoValue(std::string(platform::kFilePathErrorKey), path);
        platform::setError(error, std::move(failure));
        return nullptr;
    }
    return std::make_unique<VTApplePanicReportParser>(std::move(text));
}

std::optional<platform::Date> VTApplePanicReportParser::parseDateLine(const std::string& line) {
    static locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (!cLocale) return std::nullopt;
    const locale_t previous = uselocale(cLocale);
    struct tm fields {};
    const char* end = ::strptime(line.c_str(), "%a %b %d %H:%M:%S %Y", &fields);
    uselocale(previous);
    if (!end || *end != '\0') return std::nullopt;
    fields.tm_isdst = -1;
    const time_t seconds = ::mktime(&fields);
    if (seconds == static_cast<time_t>(-1)) return std::nullopt;
    return platform::Date{static_cast<double>(seconds)};
}

bool VTApplePanicReportParser::handleLine(std::string_view line, int& state) {
    // 1-5: header facts; each ends the line's handling.
    if (!uuid_ && contains(line, "Anonymous UUID:")) {
        uuid_ = VTUUID::initWithUUIDString(trim(textAfter(line, "Anonymous UUID:")));
        return true;
    }
    if (systemUptime_ == 0 && contains(line, "System uptime in nanoseconds:")) {
        systemUptime_ = doubleValue(textAfter(line, "System uptime in nanoseconds:"));
        return true;
    }
    if (!panicDate_ && vtpanic::containsDate(line)) {
        panicDate_ = parseDateLine(std::string(line));
        return true;
    }
    if (!panicReason_) {
        if (auto reason = vtpanic::matchPanicLine(line)) {
            panicReason_ = std::string(trim(*reason));
            return true;
        }
    }
    if (backtraceFrames_.empty() && contains(line, "Frame : Return Address")) {
        state = kBacktrace;
        return true;
    }
    // 6-8: kernel facts; the line goes on to the later rules.
    if (kernelSlide_ == 0 && contains(line, "Kernel slide:"))
        kernelSlide_ = VTStringUtilities::hexValue(textAfter(line, "Kernel slide:"));
    if (kernelLoad_ == 0 && contains(line, "Kernel text base:"))
        kernelLoad_ = VTStringUtilities::hexValue(textAfter(line, "Kernel text base:"));
    if (!kernelUUID_ && contains(line, "Kernel UUID:"))
        kernelUUID_ = VTUUID::initWithUUIDString(textAfter(line, "Kernel UUID:"));
    // 9: the kernel version, on the line after its label.
    if (!kernelVersion_) {
        if (contains(line, "Kernel version:")) {
            state = kVersionExpected;
        } else if (state == kVersionExpected) {
            if (auto version = vtpanic::matchKernelVersionLine(line))
                kernelVersion_ = std::string(trim(*version));
            state = kHeaders;
            return true;
        }
    }
    // 10: the backtrace and the extensions listed for it.
    if (state == kBacktrace) {
        if (line.substr(0, 2) == "0x") {
            const std::size_t colon = line.find(':');
            const std::string_view value =
                colon == std::string_view::npos ? std::string_view() : trim(line.substr(colon + 1));
            backtraceFrames_.push_back(VTStringUtilities::hexValue(value));
        } else {
            state = containsIgnoringCase(line, "Kernel extensions in backtrace:") ? kExtensions
                                                                                  : kHeaders;
        }
    } else if (state == kExtensions) {
        if (auto match = vtpanic::matchKernelExtension(line)) {
            VTKernelModule module;
            module.identifier = std::string(match->identifier);
            module.version = std::string(match->version.substr(1, match->version.size() - 2));
            module.UUID = std::string(match->uuid.substr(1, match->uuid.size() - 2));
            module.loadAddress = VTStringUtilities::hexValue(match->load);
            const std::uint64_t end = VTStringUtilities::hexValue(match->end);
            // An end below the start is a broken line: the module holds nothing.
            module.imageSize = end >= module.loadAddress ? end - module.loadAddress : 0;
            modules_.push_back(std::move(module));
        } else if (!backtraceFrames_.empty()) {
            state = kHeaders;
        } else {
            state = kFailed;
            parseError_ = platform::Error(std::string(VTErrorDomain), kVTPanicReportParseError);
            return false;
        }
    }
    return true;
}

bool VTApplePanicReportParser::parse(platform::Error* error) {
    if (parseError_) {
        platform::setError(error, *parseError_);
        return false;
    }
    if (uuid_ || !backtraceFrames_.empty()) return true;
    int state = kHeaders;
    enumerateLines(data_, [&](std::string_view line) {
        if (line.empty()) return true;
        return handleLine(line, state);
    });
    return normalizePanicString() && rebaseBacktrace() && state != kFailed &&
           !backtraceFrames_.empty();
}

bool VTApplePanicReportParser::normalizePanicString() {
    if (!panicReason_) {
        VTLog(LOG_ERR, "Error parsing panic report");
        return false;
    }
    if (auto trap = vtpanic::matchKernelTrap(*panicReason_)) {
        faultCode_ = std::atoi(std::string(trap->type).c_str());
        panicReason_ = std::string(trap->name);
        return true;
    }
    std::string_view reason = *panicReason_;
    if (const std::size_t at = reason.rfind('@'); at != std::string_view::npos)
        reason = reason.substr(0, at);
    std::string normalized = vtpanic::replaceDecimalNumbers(vtpanic::replaceHexNumbers(reason));
    if (!normalized.empty()) panicReason_ = std::move(normalized);
    return true;
}

const VTKernelModule* VTApplePanicReportParser::moduleForAddress(std::uint64_t address) const {
    for (const VTKernelModule& module : modules_)
        if (module.contains(address)) return &module;
    return nullptr;
}

bool VTApplePanicReportParser::rebaseBacktrace() {
    if (kernelLoad_ == 0) {
        kernelLoad_ = 0xffffff8000200000ull;
        kernelSlide_ = 0x800000;
    }
    rebasedFrames_.clear();
    rebasedFrames_.reserve(backtraceFrames_.size());
    for (std::uint64_t address : backtraceFrames_) {
        if (const VTKernelModule* module = moduleForAddress(address)) {
            rebasedFrames_.push_back(address - module->loadAddress);
        } else if (address >= kernelLoad_ && address - kernelLoad_ < kernelSlide_) {
            rebasedFrames_.push_back(address - kernelLoad_);
            if (!kernel_) {
                VTKernelModule kernel;
                if (kernelUUID_) kernel.UUID = kernelUUID_->UUIDString();
                kernel.identifier = "com.apple.mach";
                kernel.loadAddress = kernelLoad_;
                kernel.version = kernelVersion_;
                kernel_ = std::move(kernel);
            }
        } else {
            rebasedFrames_.push_back(address);
        }
    }
    return true;
}
