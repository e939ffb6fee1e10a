#include "FVCrashReporter/Source/FVCrashProcessInfo.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "FVCrashReporter/Source/crash/FVCrashUTF8.h"

namespace {

bool readFile(const std::string& path, std::string* contents) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    *contents = text.str();
    return !contents->empty();
}

// The boot time in seconds since 1970 ("btime" of /proc/stat).
bool bootTime(long long* seconds) {
    std::ifstream in("/proc/stat");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 6, "btime ") == 0) {
            *seconds = std::atoll(line.c_str() + 6);
            return true;
        }
    }
    return false;
}

}  // namespace

std::shared_ptr<FVCrashProcessInfo> FVCrashProcessInfo::currentProcessInfo() {
    return initWithProcessID(getpid());
}

std::shared_ptr<FVCrashProcessInfo> FVCrashProcessInfo::initWithProcessID(pid_t pid) {
    if (pid <= 0) return nullptr;
    const std::string folder = "/proc/" + std::to_string(pid);
    std::string stat;
    if (!readFile(folder + "/stat", &stat)) return nullptr;
    // "pid (name) state ppid ...": the name may hold spaces and parentheses,
    // so it runs from the first "(" to the last ")".
    const size_t open = stat.find('(');
    const size_t close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return nullptr;
    std::istringstream rest(stat.substr(close + 1));
    std::vector<std::string> fields;  // fields[0] is field 3 (state)
    for (std::string field; rest >> field;) fields.push_back(field);
    constexpr size_t kParent = 4 - 3, kStartTime = 22 - 3;
    if (fields.size() <= kStartTime) return nullptr;

    auto info = std::make_shared<FVCrashProcessInfo>();
    info->processID_ = pid;
    info->parentProcessID_ = static_cast<pid_t>(std::atol(fields[kParent].c_str()));
    std::string name = stat.substr(open + 1, close - open - 1);
    if (name.size() > 16) name.resize(16);
    name.resize(fvcrash_utf8_prefix_length(name.data(), name.size()));
    if (!name.empty()) info->processName_ = name;

    const long ticks = sysconf(_SC_CLK_TCK);
    long long boot = 0;
    if (ticks > 0 && bootTime(&boot)) {
        const unsigned long long start = std::strtoull(fields[kStartTime].c_str(), nullptr, 10);
        info->startTime_.tv_sec = static_cast<time_t>(boot + static_cast<long long>(start / ticks));
        info->startTime_.tv_usec =
            static_cast<suseconds_t>((start % static_cast<unsigned long long>(ticks)) * 1000000 /
                                     static_cast<unsigned long long>(ticks));
    }

    std::string status;
    if (readFile(folder + "/status", &status)) {
        const size_t at = status.find("\nTracerPid:");
        if (at != std::string::npos) info->traced_ = std::atol(status.c_str() + at + 11) != 0;
    }
    return info;
}
