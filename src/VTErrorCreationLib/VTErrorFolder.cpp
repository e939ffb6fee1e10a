#include "VTErrorCreationLib/VTErrorFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "VTErrorCreationLib/Utilities/PelRmDir.h"
#include "VTErrorCreationLib/Utilities/VTLog.h"

namespace vtfolder {

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool checkReachable(const std::string& path, platform::Error* error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return true;
    platform::setError(error, platform::Error::fileRead(errno, path));
    return false;
}

std::string parentOf(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string_view::npos) return ".";
    if (slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

std::string join(std::string_view folder, std::string_view name) {
    std::string out(folder);
    if (out.empty() || out.back() != '/') out += '/';
    out += name;
    return out;
}

bool makeFolder(const std::string& path, mode_t mode, bool intermediates, platform::Error* error) {
    std::vector<std::string> missing;
    std::string current = path;
    for (;;) {
        missing.push_back(current);
        if (!intermediates) break;
        std::string parent = parentOf(current);
        if (parent == current || exists(parent)) break;
        current = parent;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), mode) != 0 || ::chmod(it->c_str(), mode) != 0) {
            platform::setError(error, platform::Error::fileWrite(errno, *it));
            return false;
        }
    }
    return true;
}

namespace {

// Why a folder may not receive root's files, or 0.
int untrustedReason(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return errno;
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
    if (st.st_uid != 0) return EPERM;
    const bool othersWrite = (st.st_mode & S_IWOTH) || ((st.st_mode & S_IWGRP) && st.st_gid != 0);
    if (othersWrite && !(st.st_mode & S_ISVTX)) return EPERM;
    return 0;
}

// O_NOFOLLOW makes a link fail with ELOOP; O_DIRECTORY anything else that is
// not a folder with ENOTDIR.
constexpr int kFolderOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

}  // namespace

bool checkTrustedFolders(const std::string& top, const std::string& path, platform::Error* error) {
    if (::geteuid() != 0) return true;
    auto refuse = [&](int code, const std::string& where) {
        platform::setError(error, platform::Error::fileWrite(code, where));
        return false;
    };
    std::string rest;
    if (path != top) {
        const std::string prefix = join(top, "");
        if (path.compare(0, prefix.size(), prefix) != 0) return refuse(EINVAL, path);
        rest = path.substr(prefix.size());
    }
    int fd = ::open(top.c_str(), kFolderOpenFlags);
    if (fd < 0) return errno == ENOENT ? true : refuse(errno, top);
    std::string current = top;
    std::size_t start = 0;
    for (;;) {
        if (int reason = untrustedReason(fd)) {
            ::close(fd);
            return refuse(reason, current);
        }
        while (start < rest.size() && rest[start] == '/') ++start;
        if (start >= rest.size()) break;
        std::size_t end = rest.find('/', start);
        if (end == std::string::npos) end = rest.size();
        const std::string name = rest.substr(start, end - start);
        start = end;
        current = join(current, name);
        if (name == "..") {
            ::close(fd);
            return refuse(EINVAL, current);
        }
        int next = ::openat(fd, name.c_str(), kFolderOpenFlags);
        const int code = errno;
        ::close(fd);
        if (next < 0) return code == ENOENT ? true : refuse(code, current);
        fd = next;
    }
    ::close(fd);
    return true;
}

bool moveItem(const std::string& from, const std::string& to, platform::Error* error,
              const MoveSteps& steps) {
    auto removeTree = steps.removeTree ? steps.removeTree : PelRmDir;
    if (steps.rename(from.c_str(), to.c_str()) == 0) return true;
    if (errno != EXDEV) {
        platform::setError(error, platform::Error::fileWrite(errno, to));
        return false;
    }
    // The temporary folder and the error tree may lie on different file
    // systems.
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
    if (ec) {
        removeTree(to.c_str(), true);
        platform::setError(error, platform::Error::fileWrite(ec.value(), to));
        return false;
    }
    // The copy is whole: it is the error now. An original that cannot be
    // removed entirely is only a leftover; deleting the copy as well would
    // leave no complete error anywhere.
    if (int removed = removeTree(from.c_str(), true); removed != 0)
        VTLog(LOG_WARNING, "Vantrel moved %s to %s but could not remove all of the original (%s)",
              from.c_str(), to.c_str(), std::strerror(removed));
    return true;
}

bool isValidDetailIdentifier(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos &&
           name != "summary.vterr" && name != "data.vterr";
}

}  // namespace vtfolder
