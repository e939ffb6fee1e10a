#include "VTErrorCreationLib/VTSettingsFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Platform/System/SharedFolder.h"
#include "VTErrorCreationLib/VTScrambledArchive.h"

namespace {

// A settings file holds a few kilobytes; anything far larger is not one.
constexpr off_t kMaxSettingsFileSize = 16 * 1024 * 1024;

platform::Error settingsError(long code, std::optional<platform::Error> underlying) {
    platform::Error e(std::string(VTSettingsErrorDomain), code);
    if (underlying && !underlying->empty()) e.setUnderlyingError(std::move(*underlying));
    return e;
}

int lockRetryingInterrupts(int fd, int operation) {
    int result;
    do result = ::flock(fd, operation);
    while (result != 0 && errno == EINTR);
    return result;
}

}  // namespace

std::unique_ptr<VTSettingsFile> VTSettingsFile::open(const std::string& path, bool forWriting,
                                                     std::weak_ptr<VTSettingsClient> client,
                                                     platform::Error* error) {
    // The settings live in the shared base folder: a root run uses them only
    // when no other user can redirect them. The folder is opened once and
    // the file below it, never through a link.
    std::string name;
    auto folder = platform::SharedFolder::openHolder(path, platform::SharedFolder::Trust::Required,
                                                     &name, error);
    if (!folder) return nullptr;
    // The lock must be on the file that the name holds when the lock is
    // granted: a file replaced or deleted while we waited is opened again.
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = -1;
        if (forWriting) {
            fd = folder->openFile(name, O_RDWR | O_CREAT | O_EXCL, 0664);
            if (fd >= 0)
                ::fchmod(fd, 0664);
            else if (errno == EEXIST)
                fd = folder->openFile(name, O_RDWR | O_NONBLOCK);
        } else {
            fd = folder->openFile(name, O_RDONLY | O_NONBLOCK);
        }
        struct stat locked {};
        if (fd >= 0 && (::fstat(fd, &locked) != 0 || !S_ISREG(locked.st_mode))) {
            ::close(fd);
            fd = -1;
            errno = EINVAL;
        }
        if (fd < 0) {
            int code = errno;
            platform::setError(error, forWriting ? platform::Error::fileWrite(code, path)
                                                 : platform::Error::fileRead(code, path));
            return nullptr;
        }
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        if (lockRetryingInterrupts(fd, forWriting ? LOCK_EX : LOCK_SH) != 0) {
            int code = errno;
            ::close(fd);
            platform::setError(error, settingsError(kVTSettingsErrorLockFailed,
                                                    platform::Error::posixForURL(code, path)));
            return nullptr;
        }
        struct stat named {};
        if (folder->statEntry(name, &named) && locked.st_dev == named.st_dev &&
            locked.st_ino == named.st_ino)
            return std::unique_ptr<VTSettingsFile>(new VTSettingsFile(fd, path, std::move(client)));
        ::close(fd);
    }
    platform::setError(error, settingsError(kVTSettingsErrorLockFailed,
                                            platform::Error::posixForURL(ESTALE, path)));
    return nullptr;
}

std::unique_ptr<VTSettingsFile> VTSettingsFile::initForReadingAtURL(
    const std::string& path, std::weak_ptr<VTSettingsClient> client, platform::Error* error) {
    return open(path, false, std::move(client), error);
}

std::unique_ptr<VTSettingsFile> VTSettingsFile::initForWritingToURL(
    const std::string& path, std::weak_ptr<VTSettingsClient> client, platform::Error* error) {
    return open(path, true, std::move(client), error);
}

VTSettingsFile::~VTSettingsFile() {
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
}

std::optional<VTSettings> VTSettingsFile::readSettingsReturningData(platform::Data* data,
                                                                    platform::Error* error) {
    platform::Data bytes;
    std::uint8_t buffer[8192];
    off_t offset = 0;
    for (;;) {
        ssize_t n = ::pread(fd_, buffer, sizeof buffer, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            platform::setError(error, platform::Error::posix(errno, path_));
            return std::nullopt;
        }
        if (n == 0) break;
        bytes.insert(bytes.end(), buffer, buffer + n);
        offset += n;
        if (offset > kMaxSettingsFileSize) {
            platform::setError(error, platform::Error::posix(EFBIG, path_));
            return std::nullopt;
        }
    }
    if (data) *data = bytes;
    std::optional<VTSettings> settings;
    if (!VTDecodeScrambledArchive<VTSettings>(&settings, bytes, kVTSettingsKeyTable, error))
        return std::nullopt;
    return settings;
}

bool VTSettingsFile::writeSettings(const VTSettings& settings, platform::Data* data,
                                   platform::Error* error) {
    platform::Data bytes;
    platform::Error codecError;
    if (!VTEncodeScrambledArchive(&settings, &bytes, kVTSettingsKeyTable, &codecError)) {
        platform::setError(error, settingsError(kVTSettingsErrorEncodingFailed, codecError));
        return false;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n =
            ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            platform::setError(error, platform::Error::posix(errno, path_));
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::ftruncate(fd_, static_cast<off_t>(bytes.size())) != 0 || ::fsync(fd_) != 0) {
        platform::setError(error, platform::Error::posix(errno, path_));
        return false;
    }
    if (data) *data = std::move(bytes);
    return true;
}
