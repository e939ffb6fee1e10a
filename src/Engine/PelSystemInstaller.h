// The system installer program that the in-process install as root runs.
// The install screen checks that it exists before it blames a failed
// install on the program; both sides use this one path.
#pragma once

#include <string>
#include <string_view>

#include "Platform/System/Paths.h"

inline constexpr std::string_view kPelSystemInstallerPath = "/usr/sbin/installer";

/// The system installer's path on this machine (under the path root).
inline std::string pelSystemInstallerPath() {
    return platform::Paths::resolve(kPelSystemInstallerPath);
}
