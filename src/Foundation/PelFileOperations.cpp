#include "Foundation/PelFileOperations.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "Platform/System/SharedFolder.h"

namespace pelfile {
namespace {

// Codes of the Cocoa domain that Error.h does not name.
constexpr long kFileReadNoSuchFileError = 260;
constexpr long kFileWriteOutOfSpaceError = 640;
constexpr long kFileWriteVolumeReadOnlyError = 642;

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

bool fail(platform::Error* error, int errnum, const std::string& path, Side side) {
    platform::setError(error, fileError(errnum, path, side));
    return false;
}

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool copyFile(const std::string& from, const std::string& to, const struct stat& st,
              platform::Error* error) {
    Fd in{::open(from.c_str(), O_RDONLY | O_CLOEXEC)};
    if (in.fd < 0) return fail(error, errno, from, Side::Read);
    Fd out{::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)};
    if (out.fd < 0) return fail(error, errno, to, Side::Write);
    std::vector<char> buf(1 << 16);
    for (;;) {
        ssize_t n = ::read(in.fd, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(error, errno, from, Side::Read);
        if (n == 0) break;
        if (!writeAll(out.fd, buf.data(), static_cast<std::size_t>(n)))
            return fail(error, errno, to, Side::Write);
    }
    ::fchmod(out.fd, st.st_mode & 07777);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out.fd, times);
    if (::close(out.fd) != 0) {
        out.fd = -1;
        return fail(error, errno, to, Side::Write);
    }
    out.fd = -1;
    return true;
}

bool copyTree(const std::string& from, const std::string& to, platform::Error* error);

bool copyFolder(const std::string& from, const std::string& to, const struct stat& st,
                platform::Error* error) {
    if (::mkdir(to.c_str(), 0700) != 0) return fail(error, errno, to, Side::Write);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(from.c_str()), &::closedir);
    if (!dir) return fail(error, errno, from, Side::Read);
    std::vector<std::string> names;
    errno = 0;
    while (dirent* entry = ::readdir(dir.get())) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(std::move(name));
    }
    if (errno != 0) return fail(error, errno, from, Side::Read);
    dir.reset();
    for (const auto& name : names)
        if (!copyTree(from + "/" + name, to + "/" + name, error)) return false;
    ::chmod(to.c_str(), st.st_mode & 07777);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ::utimensat(AT_FDCWD, to.c_str(), times, 0);
    return true;
}

bool copyTree(const std::string& from, const std::string& to, platform::Error* error) {
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0) return fail(error, errno, from, Side::Read);
    if (S_ISREG(st.st_mode)) return copyFile(from, to, st, error);
    if (S_ISDIR(st.st_mode)) return copyFolder(from, to, st, error);
    if (S_ISLNK(st.st_mode)) {
        std::vector<char> target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) +
                                 1);
        ssize_t n = ::readlink(from.c_str(), target.data(), target.size() - 1);
        if (n < 0) return fail(error, errno, from, Side::Read);
        target[static_cast<std::size_t>(n)] = '\0';
        if (::symlink(target.data(), to.c_str()) != 0) return fail(error, errno, to, Side::Write);
        const timespec times[2] = {st.st_atim, st.st_mtim};
        ::utimensat(AT_FDCWD, to.c_str(), times, AT_SYMLINK_NOFOLLOW);
        return true;
    }
    // Sockets, pipes and devices are not copied.
    return fail(error, ENOTSUP, from, Side::Read);
}

std::string canonical(const std::string& path) {
    std::unique_ptr<char, decltype(&::free)> real(::realpath(path.c_str(), nullptr), &::free);
    return real ? std::string(real.get()) : std::string();
}

std::string parentOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

platform::Error fileError(int errnum, const std::string& path, Side side) {
    long code;
    switch (errnum) {
        case ENOENT:
        case ENOTDIR:
            code = side == Side::Read ? kFileReadNoSuchFileError : platform::kFileNoSuchFileError;
            break;
        case EACCES:
        case EPERM:
            code = side == Side::Read ? platform::kFileReadNoPermissionError
                                      : platform::kFileWriteNoPermissionError;
            break;
        case EEXIST:
            code = platform::kFileWriteFileExistsError;
            break;
        case ENOSPC:
        case EDQUOT:
            code = kFileWriteOutOfSpaceError;
            break;
        case EROFS:
            code = kFileWriteVolumeReadOnlyError;
            break;
        default:
            code = side == Side::Read ? platform::kFileReadUnknownError
                                      : platform::kFileWriteUnknownError;
    }
    platform::Error e(std::string(platform::kCocoaErrorDomain), code,
                      {{std::string(platform::kFilePathErrorKey), platform::Value(path)}});
    e.setUnderlyingError(platform::Error::posix(errnum, path));
    return e;
}

bool copyItem(const std::string& from, const std::string& to, platform::Error* error) {
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0) return fail(error, errno, from, Side::Read);
    struct stat existing {};
    if (::lstat(to.c_str(), &existing) == 0) return fail(error, EEXIST, to, Side::Write);
    if (S_ISDIR(st.st_mode)) {
        // A folder copied into itself would never end.
        std::string source = canonical(from), target = canonical(parentOf(to));
        if (!source.empty() && !target.empty() &&
            (target == source || target.compare(0, source.size() + 1, source + "/") == 0))
            return fail(error, EINVAL, to, Side::Write);
    }
    platform::Error failure;
    if (copyTree(from, to, &failure)) return true;
    // Leave no partial copy behind: `to` did not exist before, unless another
    // process made it in the meantime (then the copy failed on it).
    bool racedOnTarget = failure.code() == platform::kFileWriteFileExistsError;
    if (!racedOnTarget) platform::SharedFolder::removeTreeAt(to, false);
    platform::setError(error, std::move(failure));
    return false;
}

bool removeItem(const std::string& path, platform::Error* error) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return fail(error, errno, path, Side::Write);
    if (int code = platform::SharedFolder::removeTreeAt(path, false))
        return fail(error, code, path, Side::Write);
    return true;
}

std::string lastPathComponent(const std::string& path) {
    std::string_view p(path);
    while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
    if (p == "/") return "/";
    auto slash = p.find_last_of('/');
    return std::string(slash == std::string_view::npos ? p : p.substr(slash + 1));
}

}  // namespace pelfile
