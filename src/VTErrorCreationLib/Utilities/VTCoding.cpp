#include "VTErrorCreationLib/Utilities/VTCoding.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr off_t kMaxFileSize = off_t(1) << 30;

bool writeAll(int fd, const platform::Data& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool VTCodingUtilities::readFile(const std::string& path, platform::Data& out,
                                 platform::Error* error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        platform::setError(error, platform::Error::posix(errno, path));
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size > kMaxFileSize) {
        int code = errno ? errno : EFBIG;
        if (st.st_size > kMaxFileSize) code = EFBIG;
        ::close(fd);
        platform::setError(error, platform::Error::posix(code, path));
        return false;
    }
    platform::Data data;
    data.reserve(static_cast<std::size_t>(st.st_size));
    std::uint8_t buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            int code = errno;
            ::close(fd);
            platform::setError(error, platform::Error::posix(code, path));
            return false;
        }
        if (n == 0) break;
        data.insert(data.end(), buffer, buffer + n);
        if (data.size() > static_cast<std::size_t>(kMaxFileSize)) {
            ::close(fd);
            platform::setError(error, platform::Error::posix(EFBIG, path));
            return false;
        }
    }
    ::close(fd);
    out = std::move(data);
    return true;
}

bool VTCodingUtilities::writeFile(const std::string& path, const platform::Data& data,
                                  bool atomically, platform::Error* error) {
    std::string target = atomically ? path + ".vtXXXXXX" : path;
    int fd = atomically ? ::mkostemp(target.data(), O_CLOEXEC)
                        : ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        platform::setError(error, platform::Error::posix(errno, path));
        return false;
    }
    if (atomically) ::fchmod(fd, 0644);
    bool ok = writeAll(fd, data);
    int code = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        code = errno;
    }
    if (ok && atomically && ::rename(target.c_str(), path.c_str()) != 0) {
        ok = false;
        code = errno;
    }
    if (!ok) {
        if (atomically) ::unlink(target.c_str());
        platform::setError(error, platform::Error::posix(code, path));
    }
    return ok;
}

bool VTCodingUtilities::writeToFile(const VTCodable& object, const std::string& path,
                                    bool atomically, platform::Error* error) {
    return writeFile(path, VTKeyedArchiver::archivedDataWithRootObject(object), atomically, error);
}

std::string VTCodingUtilities::typeName(const platform::Value& value) {
    using T = platform::Value::Type;
    switch (value.type()) {
        case T::Null:
            return "NSNull";
        case T::Bool:
        case T::Integer:
        case T::Unsigned:
        case T::Real:
            return "NSNumber";
        case T::String:
            return "NSString";
        case T::Data:
            return "NSData";
        case T::Date:
            return "NSDate";
        case T::Array:
            return "NSArray";
        case T::Dictionary:
            return "NSDictionary";
    }
    return "NSObject";
}
