// The mounted volumes, for choosing where packages may be installed.
//
// Linux implementation: the mount table is "/proc/self/mountinfo", read
// through the path root like every fixed path, so that tests supply their own
// table; its mount points are system paths. File systems of the kernel
// (proc, sysfs, cgroup and the like) are no volumes.
#pragma once

#include <string>
#include <vector>

namespace platform {

/// The mount points of the mounted volumes, as system paths ("/" among
/// them), in the table's order. Empty when the table cannot be read.
std::vector<std::string> mountedVolumes();

/// Whether packages may be installed onto `systemPath`: "/" (the path
/// root), or the mount point of a mounted volume that only root can change
/// and reach only through folders only root can change, with no link on the
/// way, so that nobody else can redirect what root writes there. False with
/// a reason for the user otherwise.
bool isInstallVolume(const std::string& systemPath, std::string* reason);

}  // namespace platform
