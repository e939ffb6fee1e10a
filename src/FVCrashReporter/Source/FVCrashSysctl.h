// System queries by name, over a table of the names the crash reporter asks
// for: "kern.osrelease", "kern.osversion", "hw.model" (strings) and
// "hw.cputype", "hw.cpusubtype", "hw.physicalcpu_max", "hw.logicalcpu_max"
// (32-bit integers). Other names fail with ENOENT. Not for the crash path.
#pragma once

#include <cstdint>

/// A NUL-terminated value the caller frees with free(), or null with errno
/// set.
char* fvcrash_sysctl_string(const char* name);
/// True with the value stored; false with errno set.
bool fvcrash_sysctl_int(const char* name, int32_t* value);
