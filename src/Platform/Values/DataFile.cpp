#include "Platform/Values/DataFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

namespace platform {

namespace {

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    /// Closes now and reports close's own failure (delayed write errors).
    int close() {
        int rc = ::close(fd_);
        fd_ = -1;
        return rc;
    }

  private:
    int fd_;
};

bool writeAll(int fd, const Data& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The process umask without changing it (umask() itself is not thread-safe
// to query).
mode_t currentUmask() {
    FILE* f = std::fopen("/proc/self/status", "re");
    if (!f) return 022;
    char line[256];
    unsigned mask = 022;
    while (std::fgets(line, sizeof line, f)) {
        if (std::sscanf(line, "Umask: %o", &mask) == 1) break;
    }
    std::fclose(f);
    return static_cast<mode_t>(mask & 0777);
}

}  // namespace

std::optional<Data> readDataFromFile(const std::string& path, Error* error) {
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        setError(error, Error::fileRead(errno, path));
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        setError(error, Error::fileRead(errno, path));
        return std::nullopt;
    }
    if (S_ISDIR(st.st_mode)) {
        setError(error, Error::fileRead(EISDIR, path));
        return std::nullopt;
    }
    Data bytes;
    if (S_ISREG(st.st_mode) && st.st_size > 0) {
        if (static_cast<unsigned long long>(st.st_size) >
            std::numeric_limits<std::size_t>::max() / 2) {
            setError(error, Error::fileRead(EFBIG, path));
            return std::nullopt;
        }
        bytes.reserve(static_cast<std::size_t>(st.st_size));
    }
    std::uint8_t buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            setError(error, Error::fileRead(errno, path));
            return std::nullopt;
        }
        if (n == 0) break;
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
}

bool writeDataToFile(const Data& bytes, const std::string& path, bool atomically, Error* error) {
    if (!atomically) {
        FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
        if (fd.get() < 0 || !writeAll(fd.get(), bytes) || fd.close() != 0) {
            setError(error, Error::fileWrite(errno, path));
            return false;
        }
        return true;
    }

    mode_t mode = 0666 & ~currentUmask();
    struct stat existing {};
    if (::stat(path.c_str(), &existing) == 0) {
        if (S_ISDIR(existing.st_mode)) {
            setError(error, Error::fileWrite(EISDIR, path));
            return false;
        }
        mode = existing.st_mode & 07777;
    }

    // The temporary file lies beside the target so that rename() stays on one
    // file system and replaces the target in one step.
    std::string temp = path + ".XXXXXX";
    FileDescriptor fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        setError(error, Error::fileWrite(errno, path));
        return false;
    }
    bool ok = ::fchmod(fd.get(), mode) == 0 && writeAll(fd.get(), bytes) && ::fsync(fd.get()) == 0;
    int savedErrno = errno;
    if (fd.close() != 0 && ok) {
        ok = false;
        savedErrno = errno;
    }
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        savedErrno = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        setError(error, Error::fileWrite(savedErrno, path));
        return false;
    }
    return true;
}

}  // namespace platform
