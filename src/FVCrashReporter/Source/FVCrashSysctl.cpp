#include "FVCrashReporter/Source/FVCrashSysctl.h"

#include <errno.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <utility>

#include "FVCrashReporter/Source/crash/FVCrashThreadState.h"

namespace {

bool readLine(const std::string& path, std::string* line) {
    std::ifstream in(path);
    if (!in || !std::getline(in, *line)) return false;
    while (!line->empty() && (line->back() == '\n' || line->back() == ' ')) line->pop_back();
    return true;
}

bool release(std::string* out) {
    utsname names{};
    if (uname(&names) != 0) return false;
    *out = names.release;
    return true;
}

bool model(std::string* out) {
    if (readLine("/sys/class/dmi/id/product_name", out) && !out->empty()) return true;
    utsname names{};
    if (uname(&names) != 0) return false;
    *out = names.machine;
    return true;
}

// Distinct (package, core) pairs among the processors the system knows of.
int32_t physicalCores() {
    std::set<std::pair<std::string, std::string>> cores;
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator("/sys/devices/system/cpu", error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() < 4 || name.compare(0, 3, "cpu") != 0 ||
            name.find_first_not_of("0123456789", 3) != std::string::npos)
            continue;
        std::string core, package;
        if (!readLine(entry.path().string() + "/topology/core_id", &core)) continue;
        readLine(entry.path().string() + "/topology/physical_package_id", &package);
        cores.emplace(package, core);
    }
    if (cores.empty()) return static_cast<int32_t>(sysconf(_SC_NPROCESSORS_CONF));
    return static_cast<int32_t>(cores.size());
}

}  // namespace

char* fvcrash_sysctl_string(const char* name) {
    std::string value;
    bool ok;
    if (std::strcmp(name, "kern.osrelease") == 0 || std::strcmp(name, "kern.osversion") == 0) {
        ok = release(&value);
    } else if (std::strcmp(name, "hw.model") == 0) {
        ok = model(&value);
    } else {
        errno = ENOENT;
        return nullptr;
    }
    if (!ok) return nullptr;
    char* copy = static_cast<char*>(std::malloc(value.size() + 1));
    if (!copy) {
        errno = ENOMEM;
        return nullptr;
    }
    std::memcpy(copy, value.c_str(), value.size() + 1);
    return copy;
}

bool fvcrash_sysctl_int(const char* name, int32_t* value) {
    if (std::strcmp(name, "hw.cputype") == 0) {
        *value = static_cast<int32_t>(FVCRASH_CPU_TYPE_X86_64);
    } else if (std::strcmp(name, "hw.cpusubtype") == 0) {
        *value = static_cast<int32_t>(FVCRASH_CPU_SUBTYPE_X86_ALL);
    } else if (std::strcmp(name, "hw.physicalcpu_max") == 0) {
        *value = physicalCores();
    } else if (std::strcmp(name, "hw.logicalcpu_max") == 0) {
        *value = static_cast<int32_t>(sysconf(_SC_NPROCESSORS_CONF));
    } else {
        errno = ENOENT;
        return false;
    }
    return true;
}
