// The socket side of a connection: connecting (with retries), writing,
// reading as the holder of the reader role, the I/O thread's loop, and
// turning the end of a socket into the right event.
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "Platform/Dispatch/ThreadName.h"
#include "Platform/Xpc/XpcConnectionState.h"

namespace platform {

namespace {

constexpr auto kFirstRetryDelay = std::chrono::milliseconds(2);
constexpr auto kLongestRetryDelay = std::chrono::milliseconds(100);
constexpr std::size_t kReadChunk = 64 * 1024;

std::string malformed(XpcWireError error) {
    return std::string("malformed message from peer: ") + xpcWireErrorDescription(error);
}

// Sends what the socket takes now; answers the bytes written, or -1 with
// errno for a failure other than a full socket.
ssize_t sendSome(int fd, const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::send(fd, data + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            return -1;
        }
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

std::string writeFailure(int error) {
    if (error == EPIPE || error == ECONNRESET) return "peer closed the connection";
    return std::string("socket error: ") + std::strerror(error);
}

}  // namespace

// --- writing (any thread, with the mutex) ------------------------------------

bool XpcConnection::State::enqueueFrameLocked(std::span<const std::uint8_t> frame) {
    if (cancelRequested || finished) return false;
    ++queuedFrames;
    if (!connected || streamEnded) {
        // Waiting for a connection: wake the I/O thread when it has just got
        // something to connect for.
        bool wasEmpty = outgoing.empty();
        outgoing.emplace_back(frame.begin(), frame.end());
        if (wasEmpty) ioWake.notify_all();
        return true;
    }
    ++movedFrames;
    if (writeOffset < writeBuffer.size()) {
        // Others are waiting to be written: this one goes behind them.
        writeBuffer.insert(writeBuffer.end(), frame.begin(), frame.end());
        return true;
    }
    ssize_t written = sendSome(socket.get(), frame.data(), frame.size());
    if (written < 0) {
        int error = errno;
        writeBuffer.clear();
        writeOffset = 0;
        endStreamLocked(writeFailure(error));
        return true;  // lost with the socket, like any message the peer never reads
    }
    if (static_cast<std::size_t>(written) == frame.size()) {
        settleLocked(true);
        return true;
    }
    writeBuffer.assign(frame.begin() + written, frame.end());
    writeOffset = 0;
    updateInterestLocked();
    return true;
}

void XpcConnection::State::writeLocked() {
    if (!socket || streamEnded) return;
    if (writeOffset < writeBuffer.size()) {
        ssize_t written = sendSome(socket.get(), writeBuffer.data() + writeOffset,
                                   writeBuffer.size() - writeOffset);
        if (written < 0) {
            int error = errno;
            endStreamLocked(writeFailure(error));
            return;
        }
        writeOffset += static_cast<std::size_t>(written);
    }
    if (writeOffset == writeBuffer.size()) {
        writeBuffer.clear();
        writeOffset = 0;
        if (settledFrames != movedFrames) settleLocked(true);
    }
    updateInterestLocked();
}

void XpcConnection::State::updateInterestLocked() {
    if (!socket || !poller) return;
    // Input is left to synchronous requesters while there are any, so that
    // the I/O thread does not wake for their replies.
    std::uint32_t want = (syncWaiters == 0 || streamEnded || cancelRequested)
                             ? static_cast<std::uint32_t>(EPOLLIN)
                             : 0u;
    if (writeOffset < writeBuffer.size()) want |= EPOLLOUT;
    if (want == interest) return;
    epoll_event event{};
    event.events = want;
    if (::epoll_ctl(poller.get(), EPOLL_CTL_MOD, socket.get(), &event) == 0) interest = want;
}

void XpcConnection::State::endStreamLocked(std::string reason) {
    if (streamEnded) return;
    streamEnded = true;
    endReason = std::move(reason);
    // Makes the socket readable (at its end) for whoever must notice: the
    // I/O thread, or a synchronous requester waiting in poll().
    if (socket) ::shutdown(socket.get(), SHUT_RDWR);
    updateInterestLocked();
    readerChanged.notify_all();
}

void XpcConnection::State::closeSocketLocked(std::unique_lock<std::mutex>& lock) {
    readerChanged.wait(lock, [&] { return !reading; });
    bool allWritten = writeOffset == writeBuffer.size();
    socket.reset();  // leaves the epoll set with it
    interest = 0;
    writeBuffer.clear();
    writeOffset = 0;
    connected = false;
    settleLocked(allWritten);
    readerChanged.notify_all();
}

// --- reading (the holder of the reader role, without the mutex) -------------

bool XpcConnection::State::readSocket(int fd, std::vector<XpcFrame>& frames, std::string& failure) {
    std::uint8_t buffer[kReadChunk];
    for (;;) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
            failure = errno == ECONNRESET ? "peer closed the connection"
                                          : std::string("socket error: ") + std::strerror(errno);
            return false;
        }
        if (n == 0) {
            failure = reader.finish() ? "peer closed the connection" : malformed(reader.error());
            return false;
        }
        reader.append(buffer, static_cast<std::size_t>(n));
        for (;;) {
            XpcFrame frame;
            auto status = reader.next(frame);
            if (status == XpcFrameReader::Status::NeedMore) break;
            if (status == XpcFrameReader::Status::Failed) {
                failure = malformed(reader.error());
                return false;
            }
            frames.push_back(std::move(frame));
        }
        // A short read emptied the socket for now; the caller's poll tells
        // when there is more.
        if (static_cast<std::size_t>(n) < sizeof buffer) return true;
    }
}

void XpcConnection::State::receiveFrameLocked(XpcFrame&& frame,
                                              std::vector<ForeignReply>* foreign) {
    XpcEvent event;
    event.message_ = std::move(frame.message);
    event.generation_ = generation;
    event.peer_ = peer;
    if (frame.kind == XpcFrameKind::Reply) {
        for (auto waiting = syncReplies.begin(); waiting != syncReplies.end(); ++waiting) {
            if ((*waiting)->id != frame.id) continue;
            (*waiting)->reply = std::move(event);
            (*waiting)->done = true;
            syncReplies.erase(waiting);
            readerChanged.notify_all();
            return;
        }
        auto it = replies.find(frame.id);
        // A reply nobody waits for (its request already failed) is dropped.
        if (it == replies.end()) return;
        PendingReply pending = std::move(it->second);
        replies.erase(it);
        deliverReplyLocked(std::move(pending), std::move(event), foreign);
        return;
    }
    event.requestId_ = frame.kind == XpcFrameKind::Request ? frame.id : 0;
    deliverLocked(std::move(event));
}

void XpcConnection::State::waitForReply(std::unique_lock<std::mutex>& lock, SyncWaiter& waiter) {
    std::vector<XpcFrame>& frames = readFrames;
    while (!waiter.done) {
        bool canRead = connected && socket && !reading && !streamEnded && !cancelRequested &&
                       reader.error() == XpcWireError::None;
        if (!canRead) {
            // Someone else reads, or the connection is not up (yet): the
            // reply, or the error that ends the wait, is handed over.
            readerChanged.wait(lock);
            continue;
        }
        reading = true;
        int fd = socket.get();
        bool wantOut = writeOffset < writeBuffer.size();
        lock.unlock();
        std::string failure;
        bool live = true;
        // Waits in poll() rather than in recv(): a sleeper in recv() is
        // woken (for nothing) each time the peer takes in our request, which
        // costs the peer that wake-up; poll() is only woken for input. Also
        // writes what waits for room in the socket.
        pollfd p{fd, static_cast<short>(wantOut ? POLLIN | POLLOUT : POLLIN), 0};
        int ready = ::poll(&p, 1, -1);
        if (ready > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)))
            live = readSocket(fd, frames, failure);
        lock.lock();
        reading = false;
        if (ready > 0 && (p.revents & POLLOUT)) writeLocked();
        for (auto& frame : frames) receiveFrameLocked(std::move(frame), nullptr);
        frames.clear();
        if (!live) endStreamLocked(std::move(failure));
        // Events read here go to the target queue (this thread is the
        // caller's, not the connection's).
        scheduleDrainLocked();
        readerChanged.notify_all();
    }
}

// --- the I/O thread ----------------------------------------------------------

UniqueFd XpcConnection::State::connectWithRetry(std::string& failure) {
    Duration timeout;
    {
        std::lock_guard lock(mutex);
        timeout = connectTimeout;
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    Duration delay = kFirstRetryDelay;
    for (;;) {
        int error = 0;
        UniqueFd fd = xpcConnectSocket(socketPath, &error);
        if (fd) return fd;
        // Only a service that is not listening yet is worth waiting for.
        if (error != ENOENT && error != ECONNREFUSED) {
            failure = "cannot connect to " + socketPath + ": " + std::strerror(error);
            return {};
        }
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            failure = "no service listening at " + socketPath;
            return {};
        }
        auto wait = std::min<Duration>(delay, deadline - now);
        std::unique_lock lock(mutex);
        if (ioWake.wait_for(lock, wait, [&] { return cancelRequested; })) return {};
        delay = std::min<Duration>(delay * 2, kLongestRetryDelay);
    }
}

bool XpcConnection::State::attachSocket(UniqueFd fd, std::string& failure) {
    // With the mutex held. Every call on the socket says it must not block
    // (MSG_DONTWAIT); waits are in poll() or epoll_wait().
    socket = std::move(fd);
    interest = EPOLLIN;
    epoll_event event{};
    event.events = interest;
    if (::epoll_ctl(poller.get(), EPOLL_CTL_ADD, socket.get(), &event) != 0) {
        failure = std::string("cannot watch the connection: ") + std::strerror(errno);
        socket.reset();
        return false;
    }
    connected = true;
    ++generation;
    streamEnded = false;
    endReason.clear();
    reader = XpcFrameReader(limits);
    // What was sent before the connection goes first, in order.
    for (auto& frame : outgoing) {
        writeBuffer.insert(writeBuffer.end(), frame.begin(), frame.end());
        ++movedFrames;
    }
    outgoing.clear();
    writeLocked();
    updateInterestLocked();
    readerChanged.notify_all();
    return true;
}

void XpcConnection::State::runIo() {
    setCurrentThreadName("xpc-io");
    try {
        ioLoop();
    } catch (const std::exception& e) {
        // Nothing may leave this thread: a failure here ends the connection.
        std::lock_guard lock(mutex);
        if (socket) ::shutdown(socket.get(), SHUT_RDWR);
        if (!cancelRequested) invalidateLocked(std::string("internal error: ") + e.what());
    } catch (...) {
        std::lock_guard lock(mutex);
        if (socket) ::shutdown(socket.get(), SHUT_RDWR);
        if (!cancelRequested) invalidateLocked("internal error");
    }
    {
        std::unique_lock lock(mutex);
        if (socket) {
            // Best effort for what was sent before a cancel; never blocks.
            writeLocked();
            closeSocketLocked(lock);
        }
        dropOutgoingLocked();
        poller.reset();
        listenerSlot.reset();
        peerSocket.reset();
        ioRunning = false;
    }
    // The end, and whatever is still queued, as this thread's last act.
    drainHere();
}

void XpcConnection::State::ioLoop() {
    bool everConnected = false;
    {
        std::lock_guard lock(mutex);
        if (cancelRequested) return;
        // A peer gets its epoll instance from its listener.
        if (!poller) poller = UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
        std::string failure;
        if (!poller) {
            invalidateLocked(std::string("cannot watch the connection: ") + std::strerror(errno));
            return;
        }
        if (kind == Kind::Peer) {
            if (!attachSocket(std::move(peerSocket), failure)) {
                invalidateLocked(failure);
                return;
            }
            everConnected = true;
        }
    }
    std::vector<XpcFrame> frames;
    std::vector<ForeignReply> foreign;

    for (;;) {
        bool up;
        {
            std::unique_lock lock(mutex);
            if (cancelRequested || finished) return;
            up = connected;
            if (!up && everConnected && outgoing.empty()) {
                // A client connects again after an interruption only once
                // there is something to send.
                ioWake.wait(lock, [&] { return cancelRequested || !outgoing.empty(); });
                continue;
            }
        }

        if (!up) {
            std::string failure;
            UniqueFd fd = connectWithRetry(failure);
            std::lock_guard lock(mutex);
            if (cancelRequested) return;
            if (!fd) {
                invalidateLocked(failure);
                return;
            }
            XpcPeerCredentials credentials;
            bool known = xpcPeerCredentials(fd.get(), credentials);
            if ((options & kXpcConnectionPrivileged) &&
                (!known || !xpcPrivilegedPeerAllowed(credentials))) {
                invalidateLocked("peer with uid " + std::to_string(credentials.uid) +
                                 " refused for a privileged service");
                return;
            }
            if (known) peer = std::make_shared<const XpcPeerCredentials>(std::move(credentials));
            if (!attachSocket(std::move(fd), failure)) {
                invalidateLocked(failure);
                return;
            }
            everConnected = true;
            continue;
        }

        epoll_event ready[2];
        int count = ::epoll_wait(poller.get(), ready, 2, -1);
        if (count < 0 && errno != EINTR)
            throw std::runtime_error(std::string("epoll_wait: ") + std::strerror(errno));
        std::uint32_t events = count > 0 ? ready[0].events : 0;

        std::unique_lock lock(mutex);
        if (cancelRequested || finished) return;
        if (events & EPOLLOUT) writeLocked();
        if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) || streamEnded) {
            if (reading) {
                // A synchronous requester is reading; this thread stopped
                // watching for input when it came, so wait for it to finish.
                readerChanged.wait(lock, [&] { return !reading || cancelRequested; });
                continue;
            }
            if (reader.error() == XpcWireError::None) {
                reading = true;
                int fd = socket.get();
                lock.unlock();
                std::string failure;
                bool live = readSocket(fd, frames, failure);
                lock.lock();
                reading = false;
                readerChanged.notify_all();
                for (auto& frame : frames) receiveFrameLocked(std::move(frame), &foreign);
                frames.clear();
                if (!live) endStreamLocked(std::move(failure));
            }
        }
        if (streamEnded) {
            // Whatever the peer said before it went is queued ahead of this.
            std::string reason = endReason;
            closeSocketLocked(lock);
            if (kind == Kind::Peer) {
                invalidateLocked(reason);
                lock.unlock();
                runForeign(foreign, true);
                return;
            }
            dropOutgoingLocked();
            failRepliesLocked(XpcErrorKind::ConnectionInterrupted, reason);
            deliverLocked(XpcEvent::error(XpcErrorKind::ConnectionInterrupted, reason));
            streamEnded = false;
        }
        lock.unlock();
        runForeign(foreign, true);
        drainHere();
    }
}

}  // namespace platform
