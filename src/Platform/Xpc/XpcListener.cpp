#include "Platform/Xpc/XpcListener.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Dispatch/ThreadName.h"
#include "Platform/Xpc/XpcConnectionState.h"

namespace platform {

namespace {

// How long the accept thread stops watching the socket when the process (or
// the system) is out of descriptors: accepting again at once would only fail
// again, and the socket stays readable, so the thread would spin. Clients wait
// in the backlog meanwhile.
constexpr auto kFirstAcceptPause = std::chrono::milliseconds(10);
constexpr auto kLongestAcceptPause = std::chrono::milliseconds(200);
// The same complaint is logged at most this often.
constexpr auto kLogInterval = std::chrono::seconds(60);

// Never destroyed: an accept thread may still log while the process exits.
std::mutex& logMutex() {
    static auto* m = new std::mutex;
    return *m;
}

std::shared_ptr<LogSink>& logSlot() {
    static auto* sink = new std::shared_ptr<LogSink>;
    return *sink;
}

// The sink listeners log to, made on first need. Listeners ask for it when
// they are made, so that it is never first made while the process is out of
// descriptors.
std::shared_ptr<LogSink> logSink() {
    std::lock_guard lock(logMutex());
    if (!logSlot()) {
        SystemLogSink::Options options;
        options.identity = program_invocation_short_name;
        options.copyToStderr = true;
        logSlot() = std::make_shared<SystemLogSink>(std::move(options));
    }
    return logSlot();
}

// Descriptors an accept thread holds back for the time it is out of them:
// logging may need a few (a connection to the system log; checking builds
// also open a pipe to test memory before they read it), and it gets them by
// giving these back for the while.
class DescriptorReserve {
  public:
    DescriptorReserve() { take(); }
    void take() {
        for (auto& pair : pairs_) {
            if (pair[0]) continue;
            int fds[2];
            if (::pipe2(fds, O_CLOEXEC) != 0) return;
            pair[0] = UniqueFd(fds[0]);
            pair[1] = UniqueFd(fds[1]);
        }
    }
    void release() {
        for (auto& pair : pairs_) pair[0].reset(), pair[1].reset();
    }

  private:
    UniqueFd pairs_[2][2];
};

// Live peer connections per user, shared by a listener and its peers: a
// peer's slot is given back when its socket closes.
struct PeerCounts {
    std::mutex mutex;
    std::map<uid_t, std::size_t> live;
};

struct PeerSlot {
    PeerSlot(std::shared_ptr<PeerCounts> c, uid_t u) : counts(std::move(c)), uid(u) {}
    PeerSlot(const PeerSlot&) = delete;
    PeerSlot& operator=(const PeerSlot&) = delete;
    std::shared_ptr<PeerCounts> counts;
    uid_t uid;
    ~PeerSlot() {
        std::lock_guard lock(counts->mutex);
        auto it = counts->live.find(uid);
        if (it != counts->live.end() && --it->second == 0) counts->live.erase(it);
    }
};

}  // namespace

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
    std::size_t maxConnectionsPerUser = 0;
    std::thread acceptThread;

    // Used by the accept thread only.
    std::shared_ptr<PeerCounts> counts = std::make_shared<PeerCounts>();
    std::optional<std::chrono::steady_clock::time_point> lastExhaustionLog, lastCapLog;
    DescriptorReserve reserve;
    // The next peer's epoll instance, made before its client is accepted: a
    // client is only taken when there is a descriptor to serve it with.
    UniqueFd nextPoller;

    void runAccept();
    // Accepts what is waiting; answers how long to stop accepting (zero: go
    // on watching the socket).
    Duration acceptPending(Duration pause);
    // The pause after running out of descriptors (or memory) with `error`.
    Duration exhausted(int error, Duration pause);
    void handOver(UniqueFd peerSocket, UniqueFd poller, std::shared_ptr<void> slot,
                  const std::optional<XpcPeerCredentials>& credentials);
    // True (and `last` stamped) when a complaint may be logged again.
    static bool logDue(std::optional<std::chrono::steady_clock::time_point>& last);
    void logAtMostOnceAMinute(std::optional<std::chrono::steady_clock::time_point>& last,
                              const std::string& message);
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
    logSink();
    auto state = std::make_shared<State>();
    // A system service's socket is open to every user: one user must not be
    // able to take all of the service's descriptors.
    if (socketMode == kSystemSocketMode)
        state->maxConnectionsPerUser = kDefaultMaxConnectionsPerUser;
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

void XpcListener::setMaxConnectionsPerUser(std::size_t count) {
    std::lock_guard lock(state_->mutex);
    state_->maxConnectionsPerUser = count;
}

void XpcListener::setLogSink(std::shared_ptr<LogSink> sink) {
    std::lock_guard lock(logMutex());
    logSlot() = std::move(sink);
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
    Duration pause = Duration::zero();
    for (;;) {
        // While paused only a cancel (or the end of the pause) wakes us.
        pollfd fds[2] = {{wakeup.fd(), POLLIN, 0}, {socket.get(), POLLIN, 0}};
        nfds_t count = pause > Duration::zero() ? 1 : 2;
        int timeout =
            pause > Duration::zero()
                ? static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(pause).count())
                : -1;
        int ready = ::poll(fds, count, timeout);
        if (ready < 0 && errno != EINTR) return;
        {
            std::lock_guard lock(mutex);
            if (cancelled) return;
        }
        if (fds[0].revents) wakeup.clear();
        bool timedOut = ready == 0 && pause > Duration::zero();
        if (timedOut || (count == 2 && (fds[1].revents & POLLIN))) pause = acceptPending(pause);
    }
}

Duration XpcListener::State::exhausted(int error, Duration pause) {
    // Try again later, with longer pauses while it lasts.
    if (logDue(lastExhaustionLog)) {
        reserve.release();
        logSink()->log(kLogWarning, "XPC listener at \"" + socketPath +
                                        "\" cannot accept clients: " + std::strerror(error) +
                                        "; retrying until descriptors free up");
        reserve.take();
    }
    return pause > Duration::zero() ? std::min<Duration>(pause * 2, kLongestAcceptPause)
                                    : Duration(kFirstAcceptPause);
}

Duration XpcListener::State::acceptPending(Duration pause) {
    for (;;) {
        if (!nextPoller) {
            nextPoller = UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
            if (!nextPoller) return exhausted(errno, pause);
        }
        int fd = ::accept4(socket.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            int error = errno;
            if (error == EINTR || error == ECONNABORTED) continue;  // a client that gave up
            if (error == EAGAIN || error == EWOULDBLOCK) return Duration::zero();
            return exhausted(error, pause);
        }
        // Descriptors are to be had again: make the reserve whole if logging
        // could not take it back.
        reserve.take();
        pause = Duration::zero();
        UniqueFd peer(fd);
        std::optional<XpcPeerCredentials> credentials;
        if (XpcPeerCredentials c; xpcPeerCredentials(fd, c)) credentials = c;
        std::size_t cap;
        {
            std::lock_guard lock(mutex);
            cap = maxConnectionsPerUser;
        }
        std::shared_ptr<void> slot;
        if (cap > 0 && credentials) {
            std::lock_guard lock(counts->mutex);
            std::size_t& live = counts->live[credentials->uid];
            if (live >= cap) {
                if (live == 0) counts->live.erase(credentials->uid);
                logAtMostOnceAMinute(
                    lastCapLog, "XPC listener at \"" + socketPath + "\" refuses a client of uid " +
                                    std::to_string(credentials->uid) + ": " + std::to_string(cap) +
                                    " connections of that user are open");
                continue;  // closing the socket tells the client
            }
            ++live;
        }
        if (cap > 0 && credentials) slot = std::make_shared<PeerSlot>(counts, credentials->uid);
        // Nothing may leave this thread; a client that cannot be set up sees
        // its socket close.
        try {
            handOver(std::move(peer), std::move(nextPoller), std::move(slot), credentials);
        } catch (...) {
        }
    }
}

bool XpcListener::State::logDue(std::optional<std::chrono::steady_clock::time_point>& last) {
    auto now = std::chrono::steady_clock::now();
    if (last && now - *last < kLogInterval) return false;
    last = now;
    return true;
}

void XpcListener::State::logAtMostOnceAMinute(
    std::optional<std::chrono::steady_clock::time_point>& last, const std::string& message) {
    if (logDue(last)) logSink()->log(kLogWarning, message);
}

void XpcListener::State::handOver(UniqueFd peerSocket, UniqueFd poller, std::shared_ptr<void> slot,
                                  const std::optional<XpcPeerCredentials>& credentials) {
    auto peer = std::make_shared<XpcConnection::State>();
    peer->poller = std::move(poller);
    peer->kind = XpcConnection::State::Kind::Peer;
    peer->serviceName = serviceName;
    peer->label = "com.pelgrave.xpc.peer." + serviceName;
    if (credentials) peer->peer = std::make_shared<const XpcPeerCredentials>(*credentials);
    peer->peerSocket = std::move(peerSocket);
    peer->listenerSlot = std::move(slot);
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
