#include "Foundation/PelCFUtilities.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "Platform/Values/PropertyList.h"

namespace {

constexpr char kSiloFolder[] = "/Library/Application Support/Pelgrave/Silo/TLW";
static_assert(sizeof(kSiloFolder) == 47);

// Property lists are small; a larger file is not read into memory.
constexpr std::size_t kMaxPropertyListFile = 64u << 20;

constexpr long kFileReadInvalidFileNameError = 258;
constexpr long kFileReadUnsupportedSchemeError = 262;

bool isUnreserved(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr("-._~/!$&'()*+,;=:@", c) != nullptr;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

platform::Error urlError(long code, std::string_view url) {
    return platform::Error(std::string(platform::kCocoaErrorDomain), code,
                           {{std::string(platform::kURLErrorKey), platform::Value(url)}});
}

// The POSIX path of a "file://" URL; the error when it is not one.
std::optional<std::string> pathOfFileURL(std::string_view url, platform::Error* error) {
    constexpr std::string_view scheme = "file://";
    if (url.size() < scheme.size() || strncasecmp(url.data(), scheme.data(), scheme.size()) != 0) {
        platform::setError(error, urlError(kFileReadUnsupportedSchemeError, url));
        return std::nullopt;
    }
    std::string_view rest = url.substr(scheme.size());
    if (rest.substr(0, 9) == "localhost") rest.remove_prefix(9);
    if (auto end = rest.find_first_of("?#"); end != std::string_view::npos)
        rest = rest.substr(0, end);
    if (rest.empty() || rest.front() != '/') {
        platform::setError(error, urlError(kFileReadInvalidFileNameError, url));
        return std::nullopt;
    }
    std::string path;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] != '%') {
            path += rest[i];
            continue;
        }
        int hi = i + 1 < rest.size() ? hexValue(rest[i + 1]) : -1;
        int lo = i + 2 < rest.size() ? hexValue(rest[i + 2]) : -1;
        if (hi < 0 || lo < 0 || hi * 16 + lo == 0) {
            platform::setError(error, urlError(kFileReadInvalidFileNameError, url));
            return std::nullopt;
        }
        path += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return path;
}

std::optional<std::string> readFile(const std::string& path, platform::Error* error) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        platform::setError(error, platform::Error::posix(errno, path));
        return std::nullopt;
    }
    std::string bytes;
    char buf[1 << 16];
    int failure = 0;
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            failure = errno;
            break;
        }
        if (n == 0) break;
        if (bytes.size() + static_cast<std::size_t>(n) > kMaxPropertyListFile) {
            failure = EFBIG;
            break;
        }
        bytes.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (failure != 0) {
        platform::setError(error, platform::Error::posix(failure, path));
        return std::nullopt;
    }
    return bytes;
}

}  // namespace

std::optional<std::string> PelFileURLWithPath(std::string_view path) {
    if (path.empty() || path.find('\0') != std::string_view::npos) return std::nullopt;
    std::string absolute;
    if (path.front() != '/') {
        char* cwd = ::getcwd(nullptr, 0);
        if (!cwd) return std::nullopt;
        absolute = cwd;
        std::free(cwd);
        if (absolute.back() != '/') absolute += '/';
    }
    absolute += path;
    static const char hex[] = "0123456789ABCDEF";
    std::string url = "file://";
    for (unsigned char c : absolute) {
        if (isUnreserved(c)) {
            url += static_cast<char>(c);
        } else {
            url += '%';
            url += hex[c >> 4];
            url += hex[c & 15];
        }
    }
    return url;
}

namespace {

// Reads and parses the property-list file at `path`; its dictionary or the error.
std::optional<platform::Dictionary> dictionaryOfFile(const std::string& path,
                                                     platform::Error* error) {
    auto bytes = readFile(path, error);
    if (!bytes) return std::nullopt;
    platform::Error parseError;
    auto value = platform::PropertyList::fromData(std::string_view(*bytes), nullptr, &parseError);
    if (!value) {
        platform::setError(error, std::move(parseError));
        return std::nullopt;
    }
    if (auto* dict = value->asDictionary()) return std::move(*dict);
    platform::setError(error,
                       platform::Error(kPelErrDomainCoreFoundation, kPelErrCodeNotADictionary));
    return std::nullopt;
}

}  // namespace

std::optional<platform::Dictionary> PelCFDictionaryCreateWithContentsOfURL(std::string_view fileURL,
                                                                           unsigned,
                                                                           platform::Error* error) {
    auto path = pathOfFileURL(fileURL, error);
    if (!path) return std::nullopt;
    return dictionaryOfFile(*path, error);
}

std::optional<platform::Dictionary> PelCFDictionaryCreateWithContentsOfFileAtPathWithError(
    std::string_view path, unsigned, platform::Error* error) {
    // Read by path: the paths that could not become a file URL fail alike.
    if (path.empty() || path.find('\0') != std::string_view::npos) {
        platform::setError(error,
                           platform::Error(kPelErrDomainCoreFoundation, kPelErrCodeNotAFileURL));
        return std::nullopt;
    }
    return dictionaryOfFile(std::string(path), error);
}

extern "C" const char* PelGetSiloName(void) { return "TLW"; }

extern "C" char* PelCreateSiloedPath(const char* base, ...) {
    // `base` only anchors the argument list: the result always starts with the
    // silo folder.
    std::size_t size = sizeof(kSiloFolder);
    std::va_list args;
    va_start(args, base);
    std::va_list again;
    va_copy(again, args);
    bool overflow = false;
    for (const char* c = va_arg(args, const char*); c; c = va_arg(args, const char*)) {
        std::size_t len = std::strlen(c);
        if (len >= std::numeric_limits<std::size_t>::max() - size)
            overflow = true;
        else
            size += len + 1;
    }
    va_end(args);
    char* out = overflow ? nullptr : static_cast<char*>(std::malloc(size));
    if (out) {
        std::size_t pos = sizeof(kSiloFolder) - 1;
        std::memcpy(out, kSiloFolder, pos);
        for (const char* c = va_arg(again, const char*); c; c = va_arg(again, const char*)) {
            std::size_t len = std::strlen(c);
            out[pos++] = '/';
            std::memcpy(out + pos, c, len);
            pos += len;
        }
        out[pos] = '\0';
    }
    va_end(again);
    return out;
}

extern "C" std::int16_t PelForceMemError(void) { return -108; }
