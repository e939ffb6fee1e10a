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

#include "Platform/System/SharedFolder.h"
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

// Copies the extended attributes (and with them the POSIX ACL) of the open
// file `source` onto the open file `target`. Attributes of namespaces a
// process may not write are left out.
bool copyAttributes(int source, int target) {
    ssize_t size = ::flistxattr(source, nullptr, 0);
    if (size < 0) return false;
    std::vector<char> names(static_cast<std::size_t>(size) + 1);
    size = ::flistxattr(source, names.data(), names.size() - 1);
    if (size < 0) return false;
    for (std::size_t i = 0; i < static_cast<std::size_t>(size);) {
        std::string name(names.data() + i);
        i += name.size() + 1;
        if (name.rfind("user.", 0) != 0 && name.rfind("system.posix_acl", 0) != 0) continue;
        ssize_t length = ::fgetxattr(source, name.c_str(), nullptr, 0);
        if (length < 0) return false;
        std::vector<char> value(static_cast<std::size_t>(length) + 1);
        length = ::fgetxattr(source, name.c_str(), value.data(), value.size() - 1);
        if (length < 0) return false;
        if (::fsetxattr(target, name.c_str(), value.data(), static_cast<std::size_t>(length), 0) !=
            0)
            return false;
    }
    return true;
}

bool hasAttributes(int source) { return ::flistxattr(source, nullptr, 0) > 0; }

enum class CopyResult { kDone, kReadFailed, kWriteFailed, kTooLarge, kModeFailed };

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
    auto missing = [&] {
        platform::setError(
            error, platform::Error(
                       std::string(platform::kCocoaErrorDomain), platform::kFileNoSuchFileError,
                       {{std::string(platform::kFilePathErrorKey), platform::Value(path)}}));
        return false;
    };
    // Files and trees alike are removed below the folder that holds them,
    // by descriptor; nothing on the way is followed.
    struct stat st {};
    const int result = platform::SharedFolder::removeTreeAt(path, force, &st);
    if (result == 0) return true;
    if (result == ENOENT && st.st_mode == 0) return missing();
    platform::setError(error, S_ISDIR(st.st_mode)
                                  ? VTErrorUtilities::errorWithPOSIXErrorForPath(result, path)
                                  : platform::Error::posix(result, path));
    return false;
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
    // Made below the parent held open, as mkdtemp would make it.
    platform::Error failure;
    auto folder =
        platform::SharedFolder::open(base, platform::SharedFolder::Trust::Required, &failure);
    std::string name;
    if (!folder || !folder->makeUniqueChild("vantrel.", 0700, &name, &failure)) {
        platform::setError(error, VTErrorUtilities::errorWithPOSIXErrorForPath(
                                      platform::SharedFolder::errorCode(failure), base));
        return std::nullopt;
    }
    if (base.back() != '/') base += '/';
    return base + name;
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
    if (source.empty()) {
        platform::setError(error, VTErrorUtilities::errorWithPOSIXErrorForPath(EFAULT, source));
        return false;
    }
    platform::Error openError;
    std::string name;
    auto folder = platform::SharedFolder::openHolder(
        destination, platform::SharedFolder::Trust::Required, &name, &openError);
    if (!folder) {
        const int code = platform::SharedFolder::errorCode(openError);
        // The part of the way to the copy's folder that is missing.
        auto it = openError.userInfo().find(std::string(platform::kFilePathErrorKey));
        const std::string where =
            it != openError.userInfo().end() ? it->second.stringValue() : destination;
        platform::setError(
            error, code == ENOENT ? noSuchFile(where) : platform::Error::posix(code, where));
        return false;
    }
    return copyItemIntoFolder(source, *folder, name, attributes, error);
}

bool VTFileManagerUtilities::copyItemIntoFolder(const std::string& source,
                                                const platform::SharedFolder& folder,
                                                const std::string& name,
                                                const platform::Dictionary& attributes,
                                                platform::Error* error) {
    const std::string destination = folder.pathOf(name);
    const bool noFollowSrc = flag(attributes, VTFileCopyAttributeNoFollowSrc);
    const bool truncate = flag(attributes, VTFileCopyAttributeTruncate);

    if (source.empty()) {
        platform::setError(error, VTErrorUtilities::errorWithPOSIXErrorForPath(EFAULT, source));
        return false;
    }
    // Non-blocking, so that a FIFO in the source's place cannot stall us.
    platform::UniqueFd in(
        ::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (noFollowSrc ? O_NOFOLLOW : 0)));
    struct stat st {};
    if (!in || ::fstat(in.get(), &st) != 0) {
        platform::setError(
            error, errno == ENOENT ? noSuchFile(source) : platform::Error::posix(errno, source));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        platform::setError(error, platform::Error::posix(EINVAL, source));
        return false;
    }
    ::fcntl(in.get(), F_SETFL, ::fcntl(in.get(), F_GETFL) & ~O_NONBLOCK);
    std::optional<std::uint64_t> limit;
    if (auto it = attributes.find(VTFileSizeAttribute); it != attributes.end())
        limit = it->second.uint64Value();
    if (limit && !truncate && static_cast<std::uint64_t>(st.st_size) > *limit) {
        platform::setError(error,
                           VTErrorUtilities::errorWithVantrelError(kVTErrorAttachmentTooLarge));
        return false;
    }

    if (flag(attributes, VTFileCopyAttributePack) && hasAttributes(in.get())) {
        const std::string packed = "._" + name;
        platform::UniqueFd fd(folder.openFile(packed, O_WRONLY | O_CREAT | O_TRUNC, 0644));
        if (!fd || !copyAttributes(in.get(), fd.get())) {
            platform::setError(error, VTErrorUtilities::errorWithPOSIXErrnoForPath(source));
            return false;
        }
    }

    // A copy under construction is never readable by more users than it
    // will be: made private, given its mode at the end.
    platform::UniqueFd out(folder.openFile(name, O_WRONLY | O_CREAT | O_TRUNC, 0600));
    if (!out) {
        platform::setError(error, VTErrorUtilities::errorWithPOSIXErrnoForPath(source));
        return false;
    }
    ::fchmod(out.get(), 0600);
    CopyResult copied = copyData(in.get(), out.get(), limit, truncate);
    int code = errno;
    mode_t mode = st.st_mode & 0777;
    if (auto it = attributes.find(VTFilePosixPermissionsAttribute); it != attributes.end())
        mode = static_cast<mode_t>(it->second.uint64Value() & 07777);
    if (copied == CopyResult::kDone && ::fchmod(out.get(), mode) != 0) {
        copied = CopyResult::kModeFailed;
        code = errno;
    }
    if (::close(out.release()) != 0 && copied == CopyResult::kDone) {
        copied = CopyResult::kWriteFailed;
        code = errno;
    }
    if (copied != CopyResult::kDone) {
        folder.removeFile(name);
        if (copied == CopyResult::kTooLarge)
            platform::setError(error,
                               VTErrorUtilities::errorWithVantrelError(kVTErrorAttachmentTooLarge));
        else
            platform::setError(error,
                               VTErrorUtilities::errorWithPOSIXErrorForPath(
                                   code, copied == CopyResult::kModeFailed ? destination : source));
        return false;
    }
    return true;
}

std::int64_t VTFileManagerUtilities::countFilesInDirectory(const std::string& path,
                                                           platform::Error* error) {
    platform::Error failure;
    auto folder = platform::SharedFolder::open(path, platform::SharedFolder::Trust::Any, &failure);
    const std::int64_t count = folder ? folder->countEntries() : -1;
    if (count < 0) {
        const int code = folder ? errno : platform::SharedFolder::errorCode(failure);
        platform::setError(error, VTErrorUtilities::errorWithPOSIXErrorForPath(code, path));
    }
    return count;
}
