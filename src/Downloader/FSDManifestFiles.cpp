#include "Downloader/FSDManifestFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace fsdvalues {

std::optional<platform::Data> readBoundedFile(const std::string& path, std::size_t limit) {
    // O_NONBLOCK keeps a FIFO in the file's place from blocking the open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<platform::Data> out;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0 &&
        static_cast<std::size_t>(st.st_size) <= limit) {
        platform::Data bytes(static_cast<std::size_t>(st.st_size));
        std::size_t done = 0;
        bool failed = false;
        while (done < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) failed = true;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        // A file that shrank while being read gives what it held; one that
        // grew past the size seen is cut there, within the limit.
        if (!failed) {
            bytes.resize(done);
            out = std::move(bytes);
        }
    }
    ::close(fd);
    return out;
}

}  // namespace fsdvalues
