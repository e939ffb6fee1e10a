#include "VTErrorCreationLib/Utilities/VTInputStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Platform/System/SharedFolder.h"

VTInputStream::~VTInputStream() { close(); }

bool VTInputStream::open(platform::Error* error) {
    if (fd_ >= 0) return true;
    // Detail files lie in folders other users may write to: the folder is
    // opened by descriptor, the file without following a link, and only a
    // regular file is read (non-blocking, so a FIFO cannot stall us).
    std::string name;
    auto folder = platform::SharedFolder::openHolder(path_, platform::SharedFolder::Trust::Any,
                                                     &name, nullptr);
    if (!folder) {
        platform::setError(error, platform::Error::posix(errno ? errno : ENOENT, path_));
        return false;
    }
    fd_ = folder->openFile(name, O_RDONLY | O_NONBLOCK);
    struct stat st {};
    int code = fd_ < 0 ? errno : ::fstat(fd_, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL;
    if (code != 0) {
        close();
        platform::setError(error, platform::Error::posix(code, path_));
        return false;
    }
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    return true;
}

std::int64_t VTInputStream::read(std::uint8_t* buffer, std::size_t capacity,
                                 platform::Error* error) {
    if (fd_ < 0) {
        platform::setError(error, platform::Error::posix(EBADF, path_));
        return -1;
    }
    for (;;) {
        ssize_t n = ::read(fd_, buffer, capacity);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        platform::setError(error, platform::Error::posix(errno, path_));
        return -1;
    }
}

void VTInputStream::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}
