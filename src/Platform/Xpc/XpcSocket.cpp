#include "Platform/Xpc/XpcSocket.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <optional>

#include "Platform/System/SharedFolder.h"

namespace platform {

namespace {

// A socket address for `path`. Paths too long for sun_path are reached
// through an open handle on their folder ("/proc/self/fd/<n>/<name>"), which
// the address keeps open while it is in use.
class SocketAddress {
  public:
    explicit SocketAddress(const std::string& path) {
        std::memset(&addr_, 0, sizeof addr_);
        addr_.sun_family = AF_UNIX;
        std::string target = path;
        if (path.size() >= sizeof addr_.sun_path) {
            auto slash = path.rfind('/');
            if (slash == std::string::npos) return;
            std::string folder = slash == 0 ? "/" : path.substr(0, slash);
            folder_.reset(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (!folder_) return;
            target = "/proc/self/fd/" + std::to_string(folder_.get()) + path.substr(slash);
            if (target.size() >= sizeof addr_.sun_path) return;
        }
        std::memcpy(addr_.sun_path, target.c_str(), target.size() + 1);
        ok_ = true;
    }

    bool ok() const { return ok_; }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&addr_); }
    socklen_t size() const { return sizeof addr_; }

  private:
    sockaddr_un addr_;
    UniqueFd folder_;
    bool ok_ = false;
};

UniqueFd newSocket() {
    return UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
}

// Opens the folder `folder`, making it (with exactly `lastMode`) and the
// missing folders above it (0755). Made and opened by descriptor: for root,
// every folder on the way must be one no other user could change, so that
// nobody can swap a link in before the socket is made.
std::optional<SharedFolder> openFolders(const std::string& folder, mode_t lastMode) {
    Error failure;
    auto made = SharedFolder::make(folder, lastMode, &failure, nullptr, 0755);
    if (!made) errno = SharedFolder::errorCode(failure);
    return made;
}

}  // namespace

UniqueFd xpcConnectSocket(const std::string& path, int* err) {
    SocketAddress addr(path);
    if (!addr.ok()) {
        if (err) *err = ENAMETOOLONG;
        return {};
    }
    UniqueFd fd = newSocket();
    if (!fd) {
        if (err) *err = errno;
        return {};
    }
    // A Unix-domain connect completes at once or fails at once; EAGAIN means
    // the listener's backlog is full, which the caller retries like a missing
    // listener.
    if (::connect(fd.get(), addr.get(), addr.size()) != 0) {
        if (err) *err = errno == EAGAIN ? ECONNREFUSED : errno;
        return {};
    }
    return fd;
}

UniqueFd xpcListenSocket(const std::string& path, mode_t folderMode, mode_t socketMode, int* err) {
    auto failWith = [&](int e) {
        if (err) *err = e;
        return UniqueFd();
    };
    auto slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 == path.size()) return failWith(EINVAL);
    auto folder = openFolders(slash == 0 ? "/" : path.substr(0, slash), folderMode);
    if (!folder) return failWith(errno);
    const std::string name = path.substr(slash + 1);
    if (name.size() >= sizeof(sockaddr_un::sun_path)) return failWith(ENAMETOOLONG);

    // Everything below works on the entry of the folder held, by name.
    struct stat st;
    if (folder->statEntry(name, &st)) {
        if (!S_ISSOCK(st.st_mode)) return failWith(EEXIST);
        int connectErr = 0;
        SocketAddress address(path);
        UniqueFd probe = newSocket();
        if (!address.ok())
            connectErr = ENAMETOOLONG;
        else if (!probe)
            connectErr = errno;
        else if (::connect(probe.get(), address.get(), address.size()) != 0)
            connectErr = errno;
        // Someone answers (or keeps a full backlog): a live listener.
        if (connectErr == 0 || connectErr == EAGAIN) return failWith(EADDRINUSE);
        if (connectErr != ECONNREFUSED) return failWith(connectErr);
        if (!folder->removeFile(name) && errno != ENOENT) return failWith(errno);
    }

    UniqueFd fd = newSocket();
    if (!fd) return failWith(errno);
    if (!folder->bindSocket(fd.get(), name, socketMode)) return failWith(errno);
    if (::listen(fd.get(), SOMAXCONN) != 0) return failWith(errno);
    return fd;
}

bool xpcPeerCredentials(int fd, XpcPeerCredentials& out) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred)
        return false;
    out.uid = cred.uid;
    out.gid = cred.gid;
    out.pid = cred.pid;
    out.groups.assign(64, 0);
    for (int attempt = 0; attempt < 4; ++attempt) {
        socklen_t size = socklen_t(out.groups.size() * sizeof(gid_t));
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, out.groups.data(), &size) == 0) {
            out.groups.resize(size / sizeof(gid_t));
            return true;
        }
        if (errno != ERANGE) break;
        // `size` now holds what the list needs.
        out.groups.assign(size / sizeof(gid_t) + 1, 0);
    }
    out.groups.clear();
    return true;
}

XpcWakeup::XpcWakeup() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

void XpcWakeup::signal() {
    std::uint64_t one = 1;
    // EAGAIN means the counter is already non-zero: the waker is armed.
    [[maybe_unused]] auto n = ::write(fd_.get(), &one, sizeof one);
}

void XpcWakeup::clear() {
    std::uint64_t value;
    [[maybe_unused]] auto n = ::read(fd_.get(), &value, sizeof value);
}

}  // namespace platform
