// Linux implementations of the machine facts, package receipts and
// reachability that installation requirements test.
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string_view>

#include "Platform/System/NetworkReachability.h"
#include "Platform/System/OSRelease.h"
#include "Platform/System/PackageReceipts.h"
#include "Platform/System/Paths.h"
#include "Platform/System/SystemInfo.h"
#include "Platform/Values/PropertyList.h"

namespace platform {
namespace {

class LinuxSystemInfo final : public SystemInfo {
  public:
    std::optional<std::string> osVersion() const override {
        std::string path = Paths::resolve("/System/Library/CoreServices/SystemVersion.plist");
        if (auto dict = PropertyList::dictionaryWithContentsOfFile(path)) {
            auto it = dict->find("ProductVersion");
            if (it != dict->end() && it->second.isString()) return it->second.stringValue();
            return std::nullopt;
        }
        return systemReleaseValue("VERSION_ID");
    }
    std::uint64_t physicalMemory() const override {
        long pages = sysconf(_SC_PHYS_PAGES);
        long size = sysconf(_SC_PAGESIZE);
        if (pages <= 0 || size <= 0) return 0;
        return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(size);
    }
    std::optional<double> freeSpace(const std::string& path) const override {
        struct statvfs info {};
        if (statvfs(path.c_str(), &info) != 0) return std::nullopt;
        return static_cast<double>(info.f_bavail) * static_cast<double>(info.f_frsize);
    }
    bool machineName(std::string* name, int* result, int* errorNumber) const override {
        struct utsname record {};
        int rc = uname(&record);
        if (rc != 0) {
            if (result) *result = rc;
            if (errorNumber) *errorNumber = errno;
            return false;
        }
        std::string machine = record.machine;
        // A 32-bit x86 kernel names itself after its processor generation.
        if (machine.size() == 4 && machine[0] == 'i' && machine[1] >= '3' && machine[1] <= '6' &&
            machine.substr(2) == "86")
            machine = "i386";
        if (name) *name = machine;
        return true;
    }
};

bool isPlainName(std::string_view identifier) {
    return !identifier.empty() && identifier != "." && identifier != ".." &&
           identifier.find('/') == std::string_view::npos &&
           identifier.find('\0') == std::string_view::npos;
}

class LinuxPackageReceipts final : public PackageReceipts {
  public:
    bool receiptExists(const std::string& identifier) const override {
        if (!isPlainName(identifier)) return false;
        std::string folder = Paths::resolve("/var/db/receipts");
        for (const char* extension : {".plist", ".bom"}) {
            if (access((folder + "/" + identifier + extension).c_str(), F_OK) == 0) return true;
        }
        return false;
    }
};

class LinuxNetworkReachability final : public NetworkReachability {
  public:
    bool canCheckHost(const std::string& host) const override { return !host.empty(); }
    bool flagsForHost(const std::string& host, std::uint32_t* flags) const override {
        if (host.empty()) return false;
        std::ifstream in("/proc/net/route");
        if (!in) return false;
        std::string line;
        std::getline(in, line);  // column titles
        std::uint32_t found = 0;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string interface, destination;
            if (!(fields >> interface >> destination)) continue;
            if (destination == "00000000" && interface != "lo") {
                found = kReachabilityReachable;
                break;
            }
        }
        if (flags) *flags = found;
        return true;
    }
};

}  // namespace

std::shared_ptr<SystemInfo> systemInfo() {
    static const auto instance = std::make_shared<LinuxSystemInfo>();
    return instance;
}

std::shared_ptr<PackageReceipts> packageReceipts() {
    static const auto instance = std::make_shared<LinuxPackageReceipts>();
    return instance;
}

std::shared_ptr<NetworkReachability> networkReachability() {
    static const auto instance = std::make_shared<LinuxNetworkReachability>();
    return instance;
}

}  // namespace platform
