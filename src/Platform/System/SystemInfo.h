// Facts about the machine that installation requirements test: the
// operating-system version, the memory, the free disk space and the
// hardware name.
//
// Linux implementation (systemInfo()):
//  - osVersion: "ProductVersion" of "/System/Library/CoreServices/SystemVersion.plist"
//    (through the path root) when that file exists, else VERSION_ID of
//    "/etc/os-release";
//  - physicalMemory: the physical pages times the page size;
//  - freeSpace: statvfs of the folder, blocks available to the user;
//  - machineName: uname(2)'s machine field, with every 32-bit x86 name
//    ("i386" to "i686") reported as "i386".
// All functions may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace platform {

class SystemInfo {
  public:
    virtual ~SystemInfo() = default;
    /// The dotted version of the operating system, or nothing when unknown.
    virtual std::optional<std::string> osVersion() const = 0;
    /// The machine's memory in bytes.
    virtual std::uint64_t physicalMemory() const = 0;
    /// The free bytes of the file system that holds `path`; nothing when its
    /// attributes cannot be read.
    virtual std::optional<double> freeSpace(const std::string& path) const = 0;
    /// Reads the hardware name into `name`. On failure returns false and
    /// stores the call's result and the error number.
    virtual bool machineName(std::string* name, int* result, int* errorNumber) const = 0;
};

/// The running system's implementation (shared, stateless).
std::shared_ptr<SystemInfo> systemInfo();

}  // namespace platform
