#include "Platform/Xpc/XpcListener.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <thread>

#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Dispatch/ThreadName.h"
#include "Platform/Xpc/XpcConnectionState.h"

namespace platform {

struct XpcListener::State : std::enable_shared_from_this<XpcListener::State> {
    std::string serviceName;
    std::string socketPath;
    UniqueFd socket;
    dev_t socketDevice = 0;
    ino_t socketInode = 0;
    XpcWakeup wakeup;

    std::mutex mutex;
    DispatchQueuePtr queue;
    std::function<void(std::shared_ptr<XpcConnection>)> handler;
    bool resumed = false;
    bool cancelled = false;
    std::thread acceptThread;

    void runAccept();
    void handOver(UniqueFd peerSocket);
};

XpcListener::XpcListener(std::shared_ptr<State> state) : state_(std::move(state)) {}

namespace {

constexpr mode_t kSystemFolderMode = 0755, kSystemSocketMode = 0666;
constexpr mode_t kUserFolderMode = 0700, kUserSocketMode = 0600;

}  // namespace

std::shared_ptr<XpcListener> XpcListener::create(std::string_view serviceName,
                                                 XpcServiceScope scope, DispatchQueuePtr queue,
                                                 Error* error) {
    std::string path = xpcSocketPathForService(serviceName, scope, error);
    if (path.empty()) return nullptr;
    // A system service's socket is reachable by every user; the service
    // decides per message from the peer credentials. A user's service is
    // for that user only.
    bool system = scope == XpcServiceScope::System;
    return listen(std::string(serviceName), std::move(path),
                  system ? kSystemFolderMode : kUserFolderMode,
                  system ? kSystemSocketMode : kUserSocketMode, std::move(queue), error);
}

std::shared_ptr<XpcListener> XpcListener::createForSocketPath(std::string socketPath,
                                                              DispatchQueuePtr queue,
                                                              Error* error) {
    return listen({}, std::move(socketPath), kUserFolderMode, kUserSocketMode, std::move(queue),
                  error);
}

std::shared_ptr<XpcListener> XpcListener::listen(std::string serviceName, std::string path,
                                                 mode_t folderMode, mode_t socketMode,
                                                 DispatchQueuePtr queue, Error* error) {
    int err = 0;
    UniqueFd fd = xpcListenSocket(path, folderMode, socketMode, &err);
    if (!fd) {
        Error e(
            std::string(kXpcErrorDomain), kXpcErrorListenFailed,
            {{std::string(kLocalizedDescriptionKey), Value("Cannot listen at \"" + path + "\"")}});
        e.setUnderlyingError(Error::posix(err, path));
        setError(error, std::move(e));
        return nullptr;
    }
    auto state = std::make_shared<State>();
    state->serviceName = std::move(serviceName);
    state->socketPath = std::move(path);
    state->socket = std::move(fd);
    state->queue = queue ? std::move(queue)
                         : SerialQueue::create("com.pelgrave.xpc.listener." + state->serviceName);
    struct stat st;
    if (::stat(state->socketPath.c_str(), &st) == 0) {
        state->socketDevice = st.st_dev;
        state->socketInode = st.st_ino;
    }
    return std::shared_ptr<XpcListener>(new XpcListener(std::move(state)));
}

XpcListener::~XpcListener() { cancel(); }

void XpcListener::setNewConnectionHandler(
    std::function<void(std::shared_ptr<XpcConnection>)> handler) {
    std::lock_guard lock(state_->mutex);
    state_->handler = std::move(handler);
}

void XpcListener::resume() {
    std::lock_guard lock(state_->mutex);
    if (state_->resumed || state_->cancelled) return;
    state_->resumed = true;
    auto state = state_;
    state_->acceptThread = std::thread([state] { state->runAccept(); });
}

void XpcListener::cancel() {
    std::thread accept;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->cancelled) return;
        state_->cancelled = true;
        state_->handler = nullptr;
        accept = std::move(state_->acceptThread);
        state_->wakeup.signal();
    }
    // The accept thread only hands peers to the queue; it never waits on it.
    if (accept.joinable()) accept.join();
    // Remove the socket file only if it is still ours and not a successor's.
    struct stat st;
    if (::stat(state_->socketPath.c_str(), &st) == 0 && st.st_dev == state_->socketDevice &&
        st.st_ino == state_->socketInode)
        ::unlink(state_->socketPath.c_str());
    state_->socket.reset();
}

const std::string& XpcListener::socketPath() const { return state_->socketPath; }

void XpcListener::State::runAccept() {
    setCurrentThreadName("xpc-accept");
    for (;;) {
        pollfd fds[2] = {{socket.get(), POLLIN, 0}, {wakeup.fd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
        {
            std::lock_guard lock(mutex);
            if (cancelled) return;
        }
        if (fds[1].revents) wakeup.clear();
        if (!(fds[0].revents & POLLIN)) continue;
        for (;;) {
            int fd = ::accept4(socket.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) break;  // EAGAIN, or a client that gave up meanwhile
            UniqueFd peer(fd);
            // Nothing may leave this thread; a client that cannot be set up
            // sees its socket close.
            try {
                handOver(std::move(peer));
            } catch (...) {
            }
        }
    }
}

void XpcListener::State::handOver(UniqueFd peerSocket) {
    auto peer = std::make_shared<XpcConnection::State>();
    peer->kind = XpcConnection::State::Kind::Peer;
    peer->serviceName = serviceName;
    peer->label = "com.pelgrave.xpc.peer." + serviceName;
    XpcPeerCredentials credentials;
    if (xpcPeerCredentials(peerSocket.get(), credentials)) peer->peer = credentials;
    peer->peerSocket = std::move(peerSocket);
    auto connection = std::shared_ptr<XpcConnection>(new XpcConnection(std::move(peer)));

    std::lock_guard lock(mutex);
    if (!handler) return;  // nobody to take it: the client sees the socket close
    queue->async([self = shared_from_this(), connection = std::move(connection)]() mutable {
        std::function<void(std::shared_ptr<XpcConnection>)> handler;
        {
            std::lock_guard lock(self->mutex);
            if (self->cancelled) return;
            handler = self->handler;
        }
        if (handler) handler(std::move(connection));
    });
}

}  // namespace platform
