#include "Platform/System/Volumes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "Platform/System/Paths.h"

namespace platform {

namespace {

// File systems that hold kernel state, not files.
bool isKernelFileSystem(const std::string& type) {
    static const char* const kTypes[] = {
        "autofs", "binfmt_misc", "bpf",        "cgroup",     "cgroup2",   "configfs", "debugfs",
        "devpts", "devtmpfs",    "efivarfs",   "fusectl",    "hugetlbfs", "mqueue",   "nsfs",
        "proc",   "pstore",      "rpc_pipefs", "securityfs", "selinuxfs", "sysfs",    "tracefs"};
    return std::find(std::begin(kTypes), std::end(kTypes), type) != std::end(kTypes);
}

// The table writes blanks, tabs, line feeds and backslashes as "\ooo".
std::string unescaped(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' &&
            field[i + 1] <= '3' && field[i + 2] >= '0' && field[i + 2] <= '7' &&
            field[i + 3] >= '0' && field[i + 3] <= '7') {
            out +=
                char((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

// A plain absolute path: no empty, "." or ".." parts, no trailing slash.
bool isPlainAbsolute(const std::string& path) {
    if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) return false;
    if (path == "/") return true;
    std::size_t start = 1;
    for (;;) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return false;
        if (end == path.size()) return true;
        start = end + 1;
    }
}

// Whether only root can change the folder at `fd`.
bool onlyRootChanges(int fd) {
    struct stat info;
    return fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == 0 &&
           (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

std::vector<std::string> mountedVolumes() {
    std::vector<std::string> volumes;
    std::ifstream table(Paths::resolve("/proc/self/mountinfo"));
    std::string line;
    while (std::getline(table, line)) {
        // id parent major:minor root mount-point options [optional...] - type source ...
        std::istringstream fields(line);
        std::vector<std::string> parts;
        for (std::string part; fields >> part;) parts.push_back(part);
        const auto separator = std::find(parts.begin(), parts.end(), "-");
        if (parts.size() < 5 || separator == parts.end() || separator + 1 == parts.end() ||
            separator - parts.begin() < 6)
            continue;
        if (isKernelFileSystem(*(separator + 1))) continue;
        const std::string mountPoint = unescaped(parts[4]);
        if (isPlainAbsolute(mountPoint) &&
            std::find(volumes.begin(), volumes.end(), mountPoint) == volumes.end())
            volumes.push_back(mountPoint);
    }
    return volumes;
}

bool isInstallVolume(const std::string& systemPath, std::string* reason) {
    if (systemPath == "/") return true;
    const auto volumes = mountedVolumes();
    if (!isPlainAbsolute(systemPath) ||
        std::find(volumes.begin(), volumes.end(), systemPath) == volumes.end()) {
        *reason = "The target \"" + systemPath + "\" is not a mounted volume";
        return false;
    }
    // Walk from the root, one folder at a time, never through a link.
    int fd = open(Paths::resolve("/").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool ok = fd >= 0 && onlyRootChanges(fd);
    for (std::size_t start = 1; ok && start < systemPath.size();) {
        const std::size_t end = std::min(systemPath.find('/', start), systemPath.size());
        const std::string part = systemPath.substr(start, end - start);
        const int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(fd);
        fd = next;
        ok = fd >= 0 && onlyRootChanges(fd);
        start = end + 1;
    }
    if (fd >= 0) close(fd);
    if (!ok)
        *reason = "The target \"" + systemPath +
                  "\" is not a volume that only the administrator can change";
    return ok;
}

}  // namespace platform
