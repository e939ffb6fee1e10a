#include "FVCrashReporter/Source/FVCrashReportTextFormatter.h"

#include <syslog.h>

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "FVCrashReporter/Source/FVCrashLog.h"

namespace {

constexpr const char* kUnknown = "???";
constexpr uint64_t kCpuArchABI64 = 0x01000000;

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    const int length = vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string out(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) vsnprintf(out.data(), out.size() + 1, fmt, args);
    va_end(args);
    return out;
}

const std::string& orUnknown(const std::optional<std::string>& value) {
    static const std::string unknown = kUnknown;
    return value ? *value : unknown;
}

std::string lastPathComponent(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

size_t codePoints(const std::string& text) {
    return static_cast<size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xc0) != 0x80; }));
}

std::string osName(uint32_t os) {
    if (os == 0 || os == 2) return "Mac OS X";
    if (os == 1) return "iPhone OS";
    return format("Unknown (%d)", static_cast<int>(os));
}

std::string dateDescription(const FVCrashDate& date) {
    const time_t seconds = std::chrono::system_clock::to_time_t(date);
    struct tm parts {};
    gmtime_r(&seconds, &parts);
    char text[64];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S +0000", &parts);
    return text;
}

std::string uuidText(const FVCrashUUIDBytes& bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
        out += format("%02X", bytes[i]);
    }
    return out;
}

bool knownCpuType(uint64_t type) {
    return type == 7 || type == 12 || type == 18 || type == 0x1000007 || type == 0x100000C;
}

struct CodeType {
    std::string name;
    bool lp64;
    uint64_t cpuType;
};

CodeType codeTypeFor(uint64_t type) {
    switch (type) {
        case 7:
            return {"X86", false, type};
        case 12:
            return {"ARM", false, type};
        case 18:
            return {"PPC", false, type};
        case 0x1000007:
            return {"X86-64", true, type};
        case 0x100000C:
            return {"ARM-64", true, type};
        default:
            return {format("Unknown (%" PRIu64 ")", type), true, type};
    }
}

CodeType reportCodeType(const FVCrashReport& report) {
    for (const auto& image : report.images()) {
        const auto& code = image.codeType();
        if (code && code->typeEncoding() == 1 && knownCpuType(code->type()))
            return codeTypeFor(code->type());
    }
    const auto& processor = report.systemInfo()->processorInfo();
    if (processor && processor->typeEncoding() == 1) return codeTypeFor(processor->type());
    return {"Unknown", true, 0};
}

std::string architectureName(const FVCrashProcessorPtr& code) {
    if (!code || code->typeEncoding() != 1) return kUnknown;
    switch (code->type()) {
        case 7:
            return "i386";
        case 12:
            switch (code->subtype()) {
                case 6:
                    return "armv6";
                case 9:
                    return "armv7";
                case 11:
                    return "armv7s";
                default:
                    return "arm-unknown";
            }
        case 18:
            return "powerpc";
        case 0x1000007:
            return "x86_64";
        case 0x100000C:
            switch (code->subtype()) {
                case 0:
                    return "arm64";
                case 13:
                    return "armv8";
                default:
                    return "arm64-unknown";
            }
        default:
            return kUnknown;
    }
}

// One rendering logs the unknown prefix rule once, however many frames
// carry an underscore.
std::string frameLine(const FVCrashReportStackFrameInfo& frame, long index,
                      const FVCrashReport& report, bool lp64, bool* prefixLogged) {
    const uint64_t pc = frame.instructionPointer();
    const FVCrashReportBinaryImageInfo* image = report.imageForAddress(pc);
    std::string name = image ? lastPathComponent(image->imageName()) : kUnknown;
    const size_t width = codePoints(name);
    if (width < 35) name.append(35 - width, ' ');

    std::string symbol;
    if (const auto& info = frame.symbolInfo()) {
        std::string symbolName = info->symbolName();
        if (symbolName.size() > 1 && symbolName[0] == '_') {
            if (report.systemInfo()->operatingSystem() <= 2) {
                symbolName.erase(0, 1);
            } else if (!*prefixLogged) {
                FVCrashLog(LOG_WARNING, "Symbol prefix rules are unknown for this OS!");
                *prefixLogged = true;
            }
        }
        symbol = format("%s + %lld", symbolName.c_str(),
                        static_cast<long long>(pc - info->startAddress()));
    } else {
        const uint64_t base = image ? image->imageBaseAddress() : 0;
        symbol = format("0x%llx + %lld", static_cast<unsigned long long>(base),
                        static_cast<long long>(image ? pc - base : 0));
    }
    return format("%-4ld%s 0x%0*llx %s", index, name.c_str(), lp64 ? 16 : 8,
                  static_cast<unsigned long long>(pc), symbol.c_str());
}

}  // namespace

std::string FVCrashReportTextFormatter::formatStackFrame(const FVCrashReportStackFrameInfo& frame,
                                                         long frameIndex,
                                                         const FVCrashReport& report, bool lp64) {
    bool logged = false;
    return frameLine(frame, frameIndex, report, lp64, &logged);
}

std::string FVCrashReportTextFormatter::stringValueForCrashReport(const FVCrashReport& report,
                                                                  FVCrashReportTextFormat) {
    std::string text;
    const auto line = [&text](const std::string& s) {
        text += s;
        text += '\n';
    };
    const CodeType codeType = reportCodeType(report);
    const auto& system = *report.systemInfo();
    const auto& process = report.processInfo();
    bool prefixLogged = false;

    line("Incident Identifier: " + (report.uuidRef() ? uuidText(*report.uuidRef()) : kUnknown));
    line("CrashReporter Key:   TODO");
    line("Hardware Model:      " +
         (report.machineInfo() ? orUnknown(report.machineInfo()->modelName()) : kUnknown));
    line("Process:         " + (process ? orUnknown(process->processName()) : kUnknown) + " [" +
         (process ? std::to_string(process->processID()) : kUnknown) + "]");
    line("Path:            " + (process ? orUnknown(process->processPath()) : kUnknown));
    // Reports filled from a JSON crash dictionary carry no application and
    // no signal information.
    const auto& application = report.applicationInfo();
    line("Identifier:      " + (application ? application->applicationIdentifier() : kUnknown));
    line("Version:         " + (!application ? kUnknown
                                : application->applicationMarketingVersion()
                                    ? *application->applicationMarketingVersion() + " (" +
                                          application->applicationVersion() + ")"
                                    : application->applicationVersion()));
    line("Code Type:       " + codeType.name);
    line("Parent Process:  " + (process ? orUnknown(process->parentProcessName()) : kUnknown) +
         " [" + (process ? std::to_string(process->parentProcessID()) : kUnknown) + "]");
    line("");
    line("Date/Time:       " +
         (system.timestamp() ? dateDescription(*system.timestamp()) : kUnknown));
    line("OS Version:      " + osName(system.operatingSystem()) + " " +
         system.operatingSystemVersion() + " (" + orUnknown(system.operatingSystemBuild()) + ")");
    line("Report Version:  104");
    line("");

    const auto& signal = report.signalInfo();
    line("Exception Type:  " + (signal ? signal->name() : kUnknown));
    line(format("Exception Codes: %s at 0x%llx", signal ? signal->code().c_str() : kUnknown,
                static_cast<unsigned long long>(signal ? signal->address() : 0)));
    const FVCrashReportThreadInfo* lastCrashed = nullptr;
    bool firstCrashedPrinted = false;
    for (const auto& thread : report.threads()) {
        if (!thread.crashed()) continue;
        if (!firstCrashedPrinted)
            line(format("Crashed Thread:  %ld", static_cast<long>(thread.threadNumber())));
        firstCrashedPrinted = true;
        lastCrashed = &thread;
    }
    line("");

    if (const auto& exception = report.exceptionInfo()) {
        line("Application Specific Information:");
        line("*** Terminating app due to uncaught exception '" + exception->exceptionName() +
             "', reason: '" + exception->exceptionReason() + "'");
        line("");
        if (exception->stackFrames()) {
            line("Last Exception Backtrace:");
            long index = 0;
            for (const auto& frame : *exception->stackFrames())
                line(frameLine(frame, index++, report, codeType.lp64, &prefixLogged));
            line("");
        }
    }

    for (const auto& thread : report.threads()) {
        line(format(thread.crashed() ? "Thread %ld Crashed:" : "Thread %ld:",
                    static_cast<long>(thread.threadNumber())));
        long index = 0;
        for (const auto& frame : thread.stackFrames())
            line(frameLine(frame, index++, report, codeType.lp64, &prefixLogged));
        line("");
    }

    if (lastCrashed) {
        line(format("Thread %ld crashed with %s Thread State:",
                    static_cast<long>(lastCrashed->threadNumber()), codeType.name.c_str()));
        const bool arm = (codeType.cpuType & ~kCpuArchABI64) == 12;
        size_t column = 0;
        for (const auto& reg : lastCrashed->registers()) {
            const std::string name = arm && reg.registerName() == "r12" ? "ip" : reg.registerName();
            text += format(codeType.lp64 ? "%6s: 0x%016llx " : "%6s: 0x%08llx ", name.c_str(),
                           static_cast<unsigned long long>(reg.registerValue()));
            if (++column == 4) {
                text += '\n';
                column = 0;
            }
        }
        if (column != 0) text += '\n';
        line("");
    }

    line("Binary Images:");
    std::vector<const FVCrashReportBinaryImageInfo*> images;
    for (const auto& image : report.images()) images.push_back(&image);
    std::stable_sort(images.begin(), images.end(), [](const auto* a, const auto* b) {
        return a->imageBaseAddress() < b->imageBaseAddress();
    });
    const std::string processPath =
        process && process->processPath() ? *process->processPath() : "";
    for (const auto* image : images) {
        const uint64_t base = image->imageBaseAddress();
        const uint64_t end = base + std::max<uint64_t>(image->imageSize(), 1) - 1;
        const bool main = process && process->processPath() && image->imageName() == processPath;
        line(format(codeType.lp64 ? "%#18llx - %#18llx %s%s %s  <%s> %s"
                                  : "%#10llx - %#10llx %s%s %s  <%s> %s",
                    static_cast<unsigned long long>(base), static_cast<unsigned long long>(end),
                    main ? "+" : " ", lastPathComponent(image->imageName()).c_str(),
                    architectureName(image->codeType()).c_str(),
                    orUnknown(image->imageUUID()).c_str(), image->imageName().c_str()));
    }
    return text;
}

std::string FVCrashReportTextFormatter::formatReport(const FVCrashReport& report,
                                                     platform::Error*) const {
    return stringValueForCrashReport(report, textFormat_);
}
