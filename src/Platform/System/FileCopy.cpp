#include "Platform/System/FileCopy.h"

#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include "Platform/Security/Crypto.h"

namespace platform {

int copyDescriptorContents(int in, int out, Digester* digest) {
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n == 0) return 0;
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (digest && !digest->update(buffer, static_cast<std::size_t>(n))) return ENOMEM;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out, buffer + done, static_cast<std::size_t>(n - done));
            if (w < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            done += w;
        }
    }
}

std::optional<Data> descriptorDigest(int fd, DigestAlgorithm algorithm) {
    Digester digester(algorithm);
    char buffer[1 << 16];
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        if (!digester.update(buffer, static_cast<std::size_t>(n))) return std::nullopt;
        at += n;
    }
    Data digest;
    if (!digester.finish(&digest)) return std::nullopt;
    return digest;
}

}  // namespace platform
