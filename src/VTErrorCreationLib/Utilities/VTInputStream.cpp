#include "VTErrorCreationLib/Utilities/VTInputStream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

VTInputStream::~VTInputStream() { close(); }

bool VTInputStream::open(platform::Error* error) {
    if (fd_ >= 0) return true;
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        platform::setError(error, platform::Error::posix(errno, path_));
        return false;
    }
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
