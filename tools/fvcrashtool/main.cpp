// fvcrashtool text REPORT | fvcrashtool json REPORT
//
// Prints a crash report file as a text crash log, or as a JSON crash
// dictionary that the crash-error JSON entry reads back. A report that does
// not decode prints the decoder's message and exits 1; usage errors exit 2.
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "FVCrashReporter/Source/FVCrashReport.h"
#include "FVCrashReporter/Source/FVCrashReportTextFormatter.h"

namespace {

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string uuidText(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i < hex.size(); ++i) {
        if (i == 8 || i == 12 || i == 16 || i == 20) out += '-';
        out += static_cast<char>(toupper(static_cast<unsigned char>(hex[i])));
    }
    return out;
}

const char* machTypeName(uint64_t type) {
    switch (type) {
        case 1:
            return "EXC_BAD_ACCESS";
        case 2:
            return "EXC_BAD_INSTRUCTION";
        case 3:
            return "EXC_ARITHMETIC";
        case 4:
            return "EXC_EMULATION";
        case 5:
            return "EXC_SOFTWARE";
        case 6:
            return "EXC_BREAKPOINT";
        case 7:
            return "EXC_SYSCALL";
        case 9:
            return "EXC_RPC_ALERT";
        case 10:
            return "EXC_CRASH";
        case 11:
            return "EXC_RESOURCE";
        case 12:
            return "EXC_GUARD";
        case 13:
            return "EXC_CORPSE_NOTIFY";
        default:
            return "UNKNOWN";
    }
}

const char* kernCodeName(uint64_t code) {
    switch (code) {
        case 1:
            return "KERN_INVALID_ADDRESS";
        case 2:
            return "KERN_PROTECTION_FAILURE";
        case 3:
            return "KERN_NO_SPACE";
        case 4:
            return "KERN_INVALID_ARGUMENT";
        case 5:
            return "KERN_FAILURE";
        default:
            return nullptr;
    }
}

std::string json(const FVCrashReport& report) {
    std::string out = "{\n  \"images\": [";
    bool first = true;
    for (const auto& image : report.images()) {
        out += first ? "\n" : ",\n";
        first = false;
        out += "    {\"uuid\": " + quoted(image.imageUUID() ? uuidText(*image.imageUUID()) : "") +
               ", \"addr_start\": " + std::to_string(image.imageBaseAddress()) +
               ", \"addr_end\": " + std::to_string(image.imageBaseAddress() + image.imageSize()) +
               ", \"path\": " + quoted(image.imageName()) + "}";
    }
    out += "\n  ],\n  \"states\": {";
    const FVCrashReportThreadInfo* crashed = nullptr;
    for (const auto& thread : report.threads())
        if (thread.crashed() && !crashed) crashed = &thread;
    first = true;
    if (crashed)
        for (const auto& reg : crashed->registers()) {
            out += first ? "" : ", ";
            first = false;
            out += quoted(reg.registerName()) + ": " + std::to_string(reg.registerValue());
        }
    out += "},\n  \"threads\": [";
    first = true;
    for (const auto& thread : report.threads()) {
        out += first ? "\n" : ",\n";
        first = false;
        out += "    {\"number\": " + std::to_string(thread.threadNumber()) +
               ", \"crashed\": " + (thread.crashed() ? "true" : "false") + ", \"stacktrace\": [";
        bool firstFrame = true;
        for (const auto& frame : thread.stackFrames()) {
            out += firstFrame ? "" : ", ";
            firstFrame = false;
            const uint64_t pc = frame.instructionPointer();
            out += "{\"addr\": " + std::to_string(pc);
            if (const auto& symbol = frame.symbolInfo()) {
                out += ", \"offset\": " + std::to_string(pc - symbol->startAddress()) +
                       ", \"symbol\": " + quoted(symbol->symbolName());
            } else {
                const auto* image = report.imageForAddress(pc);
                out +=
                    ", \"offset\": " + std::to_string(image ? pc - image->imageBaseAddress() : 0);
            }
            out += "}";
        }
        out += "]}";
    }
    out += "\n  ]";
    if (const auto& process = report.processInfo()) {
        out += ",\n  \"process\": " + quoted(process->processName().value_or("") + " [" +
                                             std::to_string(process->processID()) + "]");
        out +=
            ",\n  \"parent_process\": " + quoted(process->parentProcessName().value_or("") + " [" +
                                                 std::to_string(process->parentProcessID()) + "]");
        out += ",\n  \"path\": " + quoted(process->processPath().value_or(""));
    }
    const auto& system = *report.systemInfo();
    out += ",\n  \"os_version\": " + quoted(system.operatingSystemVersion() + " (" +
                                            system.operatingSystemBuild().value_or("") + ")");
    if (system.timestamp()) {
        const time_t seconds = std::chrono::system_clock::to_time_t(*system.timestamp());
        struct tm parts {};
        localtime_r(&seconds, &parts);
        char text[64];
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S.000 %z", &parts);
        out += ",\n  \"date_time\": " + quoted(text);
    }
    if (const auto& mach = report.machExceptionInfo()) {
        out += ",\n  \"exception_type\": " + quoted(machTypeName(mach->type()));
        std::string codes;
        for (uint64_t code : mach->codes()) {
            char hex[32];
            snprintf(hex, sizeof hex, "0x%016" PRIx64, code);
            if (!codes.empty()) codes += ", ";
            const char* name = kernCodeName(code);
            codes += name ? std::string(name) + " at " + hex : std::string(hex);
        }
        out += ",\n  \"exception_codes\": " + quoted(codes);
    }
    return out + "\n}\n";
}

int usage() {
    std::cerr << "usage: fvcrashtool text REPORT\n       fvcrashtool json REPORT\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return usage();
    const std::string command = argv[1];
    if (command != "text" && command != "json") return usage();
    std::ifstream in(argv[2], std::ios::binary);
    if (!in) {
        std::cerr << "fvcrashtool: cannot open " << argv[2] << "\n";
        return 1;
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    platform::Error error;
    auto report = FVCrashReport::initWithData(bytes.data(), bytes.size(), &error);
    if (!report) {
        std::cerr << error.localizedDescription() << "\n";
        return 1;
    }
    std::cout << (command == "text" ? FVCrashReportTextFormatter::stringValueForCrashReport(
                                          *report, FVCrashReportTextFormatiOS)
                                    : json(*report));
    return 0;
}
