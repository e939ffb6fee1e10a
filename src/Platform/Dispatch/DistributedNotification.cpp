#include "Platform/Dispatch/DistributedNotification.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "Platform/System/Paths.h"
#include "Platform/Values/Json.h"

namespace platform {

namespace {

constexpr std::string_view kSocketSuffix = ".sock";

bool fillAddress(const std::string& path, sockaddr_un& address) {
    if (path.size() >= sizeof(address.sun_path)) return false;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// The shared folder: world-writable and sticky, like the system's own
// temporary folder, so that every user's processes can join.
bool makeFolder(const std::string& folder, Error* error) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        setError(error, Error::posix(ENOTDIR, folder));
        return false;
    }
    std::string parent = folder.substr(0, folder.find_last_of('/'));
    if (!parent.empty() && ::stat(parent.c_str(), &st) != 0 && !makeFolder(parent, error))
        return false;
    if (::mkdir(folder.c_str(), 01777) != 0 && errno != EEXIST) {
        setError(error, Error::posix(errno, folder));
        return false;
    }
    ::chmod(folder.c_str(), 01777);
    return true;
}

std::atomic<unsigned> gSocketCounter{0};

}  // namespace

std::optional<std::string> encodeDistributedNotification(const Notification& notification) {
    Dictionary wire;
    wire.emplace("name", Value(notification.name));
    wire.emplace("object", notification.object.isString() ? notification.object : Value());
    wire.emplace("userInfo", notification.userInfo.isDictionary() ? notification.userInfo
                                                                  : Value(Dictionary{}));
    auto text = json::serialize(Value(std::move(wire)), json::WriteStyle::Compact, nullptr);
    if (!text || text->size() > kMaxDistributedNotificationSize) return std::nullopt;
    return text;
}

std::optional<Notification> decodeDistributedNotification(std::span<const std::uint8_t> bytes) {
    if (bytes.empty() || bytes.size() > kMaxDistributedNotificationSize) return std::nullopt;
    auto value = json::parse(bytes, nullptr);
    if (!value || !value->isDictionary()) return std::nullopt;
    const Value* name = value->get("name");
    const Value* object = value->get("object");
    const Value* userInfo = value->get("userInfo");
    if (!name || !name->isString() || name->stringValue().empty()) return std::nullopt;
    if (object && !object->isNull() && !object->isString()) return std::nullopt;
    if (userInfo && !userInfo->isDictionary()) return std::nullopt;
    Notification notification;
    notification.name = name->stringValue();
    if (object) notification.object = *object;
    notification.userInfo = userInfo ? *userInfo : Value(Dictionary{});
    return notification;
}

DistributedNotificationCenter& DistributedNotificationCenter::defaultCenter() {
    // Never destroyed: observers may be removed during static destruction.
    static auto* center = new DistributedNotificationCenter();
    return *center;
}

DistributedNotificationCenter::DistributedNotificationCenter() = default;

DistributedNotificationCenter::~DistributedNotificationCenter() {
    std::lock_guard lock(mutex_);
    stopReceiving();
}

std::string DistributedNotificationCenter::folder() {
    return Paths::resolve(kDistributedNotificationFolder);
}

ObserverToken DistributedNotificationCenter::addObserver(std::string name,
                                                         std::optional<std::string> object,
                                                         DispatchQueuePtr queue,
                                                         NotificationCenter::Handler handler,
                                                         Error* error) {
    ObserverToken token = local_.addObserver(
        std::move(name), object ? std::optional<Value>(Value(*object)) : std::nullopt,
        std::move(queue), std::move(handler));
    std::lock_guard lock(mutex_);
    // The folder follows the path root; a socket bound under an earlier root
    // is moved to the current one.
    std::string current = folder();
    if (!socketPath_.empty() && socketPath_.rfind(current + "/", 0) != 0) stopReceiving();
    if (socketPath_.empty()) startReceiving(error);
    return token;
}

void DistributedNotificationCenter::removeObserver(const ObserverToken& token) {
    local_.removeObserver(token);
}

bool DistributedNotificationCenter::startReceiving(Error* error) {
    std::string dir = folder();
    if (!makeFolder(dir, error)) return false;
    std::string path = dir + "/" + std::to_string(::getpid()) + "-" +
                       std::to_string(gSocketCounter.fetch_add(1)) + std::string(kSocketSuffix);
    sockaddr_un address{};
    if (!fillAddress(path, address)) {
        setError(error, Error::posix(ENAMETOOLONG, path));
        return false;
    }
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        setError(error, Error::posix(errno, path));
        return false;
    }
    ::unlink(path.c_str());  // left by an earlier process with our pid
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        setError(error, Error::posix(errno, path));
        ::close(fd);
        return false;
    }
    ::chmod(path.c_str(), 0666);
    int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        setError(error, Error::posix(errno, path));
        ::unlink(path.c_str());
        ::close(fd);
        return false;
    }
    socketPath_ = path;
    socketFd_ = fd;
    wakeFd_ = wake;
    receiver_ = std::thread([this, fd, wake] { receive(fd, wake); });
    return true;
}

void DistributedNotificationCenter::stopReceiving() {
    if (socketPath_.empty()) return;
    std::uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
    if (receiver_.joinable()) receiver_.join();
    ::unlink(socketPath_.c_str());
    ::close(socketFd_);
    ::close(wakeFd_);
    socketPath_.clear();
    socketFd_ = wakeFd_ = -1;
}

void DistributedNotificationCenter::receive(int socketFd, int wakeFd) {
    std::vector<std::uint8_t> buffer(kMaxDistributedNotificationSize + 1);
    for (;;) {
        pollfd fds[2] = {{socketFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        for (;;) {
            ssize_t n = ::recv(socketFd, buffer.data(), buffer.size(), MSG_TRUNC);
            if (n < 0) break;
            // A truncated datagram was larger than any notification.
            if (static_cast<std::size_t>(n) > kMaxDistributedNotificationSize) continue;
            try {
                auto notification = decodeDistributedNotification(
                    std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(n)));
                if (notification) local_.post(*notification);
            } catch (...) {
                // A handler's failure must not end the receiving thread.
            }
        }
    }
}

bool DistributedNotificationCenter::post(std::string name, std::optional<std::string> object,
                                         const Dictionary& userInfo, unsigned options,
                                         Error* error) {
    (void)options;
    Notification notification{std::move(name), object ? Value(*object) : Value(), Value(userInfo)};
    auto wire = encodeDistributedNotification(notification);
    if (!wire) {
        setError(error, Error(std::string(kCocoaErrorDomain), kPropertyListWriteInvalidError));
        return false;
    }
    std::string dir = folder();
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        setError(error, Error::posix(errno, dir));
        return false;
    }
    if (DIR* listing = ::opendir(dir.c_str())) {
        while (dirent* entry = ::readdir(listing)) {
            std::string_view file = entry->d_name;
            if (file.size() <= kSocketSuffix.size() ||
                file.substr(file.size() - kSocketSuffix.size()) != kSocketSuffix)
                continue;
            std::string path = dir + "/" + std::string(file);
            sockaddr_un address{};
            if (!fillAddress(path, address)) continue;
            ssize_t sent = ::sendto(fd, wire->data(), wire->size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                                    reinterpret_cast<sockaddr*>(&address), sizeof address);
            // Nobody is bound there any more: the observer's process is gone.
            if (sent < 0 && errno == ECONNREFUSED) ::unlink(path.c_str());
        }
        ::closedir(listing);
    }
    ::close(fd);
    return true;
}

}  // namespace platform
