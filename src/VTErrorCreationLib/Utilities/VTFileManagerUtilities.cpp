#include "VTErrorCreationLib/Utilities/VTFileManagerUtilities.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "VTErrorCreationLib/Utilities/PelRmDir.h"
#include "VTErrorCreationLib/Utilities/VTErrorUtilities.h"

namespace {

constexpr long kFileReadNoSuchFileError = 260;

bool flag(const platform::Dictionary& attributes, std::string_view key) {
    auto it = attributes.find(key);
    return it != attributes.end() && it->second.boolValue();
}

platform::Error noSuchFile(const std::string& path) {
    return platform::Error(std::string(platform::kCocoaErrorDomain), kFileReadNoSuchFileError,
                           {{std::string(platform::kFilePathErrorKey), platform::Value(path)}});
}

std::string parentOf(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Copies the extended attributes (and with them the POSIX ACL) of `source`
// onto `target`. Attributes of namespaces a process may not write are left out.
bool copyAttributes(const std::string& source, const std::string& target, bool noFollow) {
    auto list = noFollow ? ::llistxattr : ::listxattr;
    auto get = noFollow ? ::lgetxattr : ::getxattr;
    ssize_t size = list(source.c_str(), nullptr, 0);
    if (size < 0) return false;
    std::vector<char> names(static_cast<std::size_t>(size) + 1);
    size = list(source.c_str(), names.data(), names.size() - 1);
    if (size < 0) return false;
    for (std::size_t i = 0; i < static_cast<std::size_t>(size);) {
        std::string name(names.data() + i);
        i += name.size() + 1;
        if (name.rfind("user.", 0) != 0 && name.rfind("system.posix_acl", 0) != 0) continue;
        ssize_t length = get(source.c_str(), name.c_str(), nullptr, 0);
        if (length < 0) return false;
        std::vector<char> value(static_cast<std::size_t>(length) + 1);
        length = get(source.c_str(), name.c_str(), value.data(), value.size() - 1);
        if (length < 0) return false;
        if (::setxattr(target.c_str(), name.c_str(), value.data(), static_cast<std::size_t>(length),
                       0) != 0)
            return false;
    }
    return true;
}

bool hasAttributes(const std::string& source, bool noFollow) {
    ssize_t size = noFollow ? ::llistxattr(source.c_str(), nullptr, 0)
                            : ::listxattr(source.c_str(), nullptr, 0);
    return size > 0;
}

enum class CopyResult { kDone, kReadFailed, kWriteFailed, kTooLarge };

// Copies at most `limit` bytes; kTooLarge when more remain and `truncate`
// is off.
CopyResult copyData(int in, int out, std::optional<std::uint64_t> limit, bool truncate) {
    std::vector<std::uint8_t> buffer(1 << 16);
    std::uint64_t copied = 0;
    for (;;) {
        std::size_t want = buffer.size();
        if (limit) {
            std::uint64_t left = *limit - copied;
            if (left == 0) {
                if (truncate) return CopyResult::kDone;
                std::uint8_t probe;
                ssize_t n;
                do n = ::read(in, &probe, 1);
                while (n < 0 && errno == EINTR);
                if (n < 0) return CopyResult::kReadFailed;
                return n == 0 ? CopyResult::kDone : CopyResult::kTooLarge;
            }
            if (left < want) want = static_cast<std::size_t>(left);
        }
        ssize_t n = ::read(in, buffer.data(), want);
        if (n < 0) {
            if (errno == EINTR) continue;
            return CopyResult::kReadFailed;
        }
        if (n == 0) return CopyResult::kDone;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::write(out, buffer.data() + done, static_cast<std::size_t>(n - done));
            if (w < 0) {
                if (errno == EINTR) continue;
                return CopyResult::kWriteFailed;
            }
            done += w;
        }
        copied += static_cast<std::uint64_t>(n);
    }
}

}  // namespace

bool VTFileManagerUtilities::removeDirectoryHierarchyAtPath(const std::string& path, bool force,
                                                            platform::Error* error) {
    if (path.empty()) {
        platform::setError(error, platform::Error::posix(EINVAL, path));
        return false;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            platform::setError(
                error, platform::Error(
                           std::string(platform::kCocoaErrorDomain), platform::kFileNoSuchFileError,
                           {{std::string(platform::kFilePathErrorKey), platform::Value(path)}}));
        } else {
            platform::setError(error, platform::Error::posix(errno, path));
        }
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (::unlink(path.c_str()) != 0) {
            platform::setError(error, platform::Error::posix(errno, path));
            return false;
        }
        return true;
    }
    int result = PelRmDir(path.c_str(), force);
    if (result != 0) {
        platform::setError(error, VTErrorUtilities::errorWithPOSIXErrorForPath(result, path));
        return false;
    }
    return true;
}

std::string VTFileManagerUtilities::temporaryDirectory() {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = tmp && *tmp ? tmp : "/tmp";
    if (dir.back() != '/') dir += '/';
    return dir;
}

std::optional<std::string> VTFileManagerUtilities::createTemporaryDirectoryAtPath(
    const std::optional<std::string>& parent, platform::Error* error) {
    std::string base = parent ? *parent : temporaryDirectory();
    if (base.empty()) {
        platform::setError(error, platform::Error(std::string(platform::kCocoaErrorDomain),
                                                  platform::kFileNoSuchFileError));
        return std::nullopt;
    }
    std::string path = base;
    if (path.back() != '/') path += '/';
    path += "vantrel.XXXXXX";
    if (!::mkdtemp(path.data())) {
        platform::setError(error, VTErrorUtilities::errorWithPOSIXErrnoForPath(base));
        return std::nullopt;
    }
    return path;
}

bool VTFileManagerUtilities::copyItemAtURL(const std::string& source,
                                           const std::string& destination,
                                           const platform::Dictionary& attributes,
                                           platform::Error* error) {
    if (destination.empty()) {
        platform::setError(error,
                           VTErrorUtilities::errorWithPOSIXErrorForPath(EFAULT, destination));
        return false;
    }
    const bool noFollowDst = flag(attributes, VTFileCopyAttributeNoFollowDst);
    const bool noFollowSrc = flag(attributes, VTFileCopyAttributeNoFollowSrc);
    const bool truncate = flag(attributes, VTFileCopyAttributeTruncate);

    if (source.empty()) {
        platform::setError(error, VTErrorUtilities::errorWithPOSIXErrorForPath(EFAULT, source));
        return false;
    }
    struct stat st {};
    if ((noFollowSrc ? ::lstat(source.c_str(), &st) : ::stat(source.c_str(), &st)) != 0) {
        platform::setError(
            error, errno == ENOENT ? noSuchFile(source) : platform::Error::posix(errno, source));
        return false;
    }
    std::optional<std::uint64_t> limit;
    if (auto it = attributes.find(VTFileSizeAttribute); it != attributes.end())
        limit = it->second.uint64Value();
    if (limit && !truncate && static_cast<std::uint64_t>(st.st_size) > *limit) {
        platform::setError(error,
                           VTErrorUtilities::errorWithVantrelError(kVTErrorAttachmentTooLarge));
        return false;
    }
    std::string folder = parentOf(destination);
    struct stat folderStat {};
    if (::stat(folder.c_str(), &folderStat) != 0) {
        platform::setError(
            error, errno == ENOENT ? noSuchFile(folder) : platform::Error::posix(errno, folder));
        return false;
    }

    if (flag(attributes, VTFileCopyAttributePack) && hasAttributes(source, noFollowSrc)) {
        std::string packed = folder + "/._" + nameOf(destination);
        int fd =
            ::open(packed.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
        bool ok = fd >= 0;
        if (fd >= 0) ::close(fd);
        if (!ok || !copyAttributes(source, packed, noFollowSrc)) {
            platform::setError(error, VTErrorUtilities::errorWithPOSIXErrnoForPath(source));
            return false;
        }
    }

    int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | (noFollowSrc ? O_NOFOLLOW : 0));
    if (in < 0) {
        platform::setError(error, VTErrorUtilities::errorWithPOSIXErrnoForPath(source));
        return false;
    }
    int out = ::open(destination.c_str(),
                     O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | (noFollowDst ? O_NOFOLLOW : 0),
                     st.st_mode & 0777);
    if (out < 0) {
        int code = errno;
        ::close(in);
        platform::setError(error, VTErrorUtilities::errorWithPOSIXErrorForPath(code, source));
        return false;
    }
    CopyResult copied = copyData(in, out, limit, truncate);
    int code = errno;
    ::close(in);
    if (::close(out) != 0 && copied == CopyResult::kDone) {
        copied = CopyResult::kWriteFailed;
        code = errno;
    }
    if (copied != CopyResult::kDone) {
        ::unlink(destination.c_str());
        if (copied == CopyResult::kTooLarge)
            platform::setError(error,
                               VTErrorUtilities::errorWithVantrelError(kVTErrorAttachmentTooLarge));
        else
            platform::setError(error, VTErrorUtilities::errorWithPOSIXErrorForPath(code, source));
        return false;
    }

    if (auto it = attributes.find(VTFilePosixPermissionsAttribute); it != attributes.end()) {
        if (::chmod(destination.c_str(), static_cast<mode_t>(it->second.uint64Value() & 07777)) !=
            0) {
            platform::setError(error, VTErrorUtilities::errorWithPOSIXErrnoForPath(destination));
            removeDirectoryHierarchyAtPath(destination, false, nullptr);
            return false;
        }
    }
    return true;
}

std::int64_t VTFileManagerUtilities::countFilesInDirectory(const std::string& path,
                                                           platform::Error* error) {
    DIR* dir = ::opendir(path.c_str());
    if (!dir) {
        platform::setError(error, VTErrorUtilities::errorWithPOSIXErrnoForPath(path));
        return -1;
    }
    std::int64_t count = 0;
    errno = 0;
    while (struct dirent* entry = ::readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name != "." && name != "..") ++count;
        errno = 0;
    }
    int code = errno;
    ::closedir(dir);
    if (code != 0) {
        platform::setError(error, VTErrorUtilities::errorWithPOSIXErrorForPath(code, path));
        return -1;
    }
    return count;
}
