#include "VTErrorCreationLib/Utilities/VTCoding.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Platform/System/SharedFolder.h"

namespace {

constexpr off_t kMaxFileSize = off_t(1) << 30;

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
    // Written below the folder held, never through a link: the folder may be
    // one that other users can write.
    std::string name;
    platform::Error failure;
    auto folder = platform::SharedFolder::openHolder(path, platform::SharedFolder::Trust::Required,
                                                     &name, &failure);
    int code = 0;
    if (!folder) {
        code = platform::SharedFolder::errorCode(failure);
    } else if (!folder->writeFile(name, data, 0644, atomically)) {
        code = errno;
    }
    if (code != 0) platform::setError(error, platform::Error::posix(code, path));
    return code == 0;
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
