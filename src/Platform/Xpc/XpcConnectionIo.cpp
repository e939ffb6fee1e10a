// The socket side of a connection: connecting (with retries), writing,
// reading as the holder of the reader role, the I/O thread's loop, and
// turning the end of a socket into the right event.
#include <fcntl.h>
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

// The I/O thread's watches are edge-triggered: a thread that leaves the
// input to a requester must not be woken again and again until that one
// reads. So whoever reads takes in everything the socket holds, and an end
// of the stream comes as an edge of its own (an exclusive watch cannot ask
// for EPOLLRDHUP, so the output watch carries it then).
constexpr std::uint32_t kInputWatch = EPOLLIN | EPOLLET;
constexpr std::uint32_t kEndWatch = EPOLLRDHUP | EPOLLET;
constexpr std::uint32_t kEnded = EPOLLRDHUP | EPOLLHUP | EPOLLERR;

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
    std::uint32_t want =
        writeOffset < writeBuffer.size() ? static_cast<std::uint32_t>(EPOLLOUT) : 0u;
    if (want == outputInterest) return;
    epoll_event event{};
    int fd = socket.get();
    if (outputWatch) {
        event.events = kEndWatch | want;
        fd = outputWatch.get();
    } else {
        event.events = kInputWatch | kEndWatch | want;
    }
    if (::epoll_ctl(poller.get(), EPOLL_CTL_MOD, fd, &event) == 0) outputInterest = want;
}

void XpcConnection::State::endStreamLocked(std::string reason) {
    if (streamEnded) return;
    streamEnded = true;
    endReason = std::move(reason);
    // Makes the socket readable (at its end) for whoever must notice: the
    // I/O thread, or a synchronous requester. (A change of the socket's state
    // wakes every watcher, exclusive or not.)
    if (socket) ::shutdown(socket.get(), SHUT_RDWR);
    readerChanged.notify_all();
}

void XpcConnection::State::closeSocketLocked(std::unique_lock<std::mutex>& lock) {
    readerChanged.wait(lock, [&] { return !reading; });
    bool allWritten = writeOffset == writeBuffer.size();
    // Both descriptors go: the socket leaves the epoll sets with the last.
    socket.reset();
    outputWatch.reset();
    syncPollerWatches = false;
    outputInterest = 0;
    writeBuffer.clear();
    writeOffset = 0;
    connected = false;
    settleLocked(allWritten);
    readerChanged.notify_all();
}

// --- reading (the holder of the reader role, without the mutex) -------------

bool XpcConnection::State::readSocket(int fd, std::vector<XpcFrame>& frames, std::string& failure,
                                      bool toTheEnd) {
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
        if (static_cast<std::size_t>(n) < sizeof buffer && !toTheEnd) return true;
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

bool XpcConnection::State::requesterCanReadLocked() const {
    return connected && socket && !reading && !streamEnded && !cancelRequested &&
           reader.error() == XpcWireError::None;
}

void XpcConnection::State::readAsRequester(std::unique_lock<std::mutex>& lock, bool wait) {
    std::vector<XpcFrame>& frames = readFrames;
    reading = true;
    int fd = socket.get();
    bool wantOut = writeOffset < writeBuffer.size();
    // Bytes waiting for room are written from here too: this thread may be
    // the I/O thread itself, running a handler.
    int waitIn = syncPollerWatches && !wantOut ? syncPoller.get() : -1;
    lock.unlock();
    std::string failure;
    bool live = true;
    bool readable = !wait;
    bool writable = false;
    if (wait && waitIn >= 0) {
        // Linux hands the wake-up to our watch, the first exclusive one with
        // a thread waiting. Should a kernel ever wake the I/O thread instead,
        // it marks the input as left to the requesters: looking at that mark
        // now and then bounds such a wait instead of hanging until more comes.
        for (;;) {
            epoll_event event;
            const int count = ::epoll_wait(waitIn, &event, 1, kMissedInputLookMs);
            readable = count > 0 || (count == 0 && (syncInput.load() & kInputMissed));
            if (count != 0 || readable) break;
        }
    } else if (wait) {
        // Waits in poll() rather than in recv(): a sleeper in recv() is
        // woken (for nothing) each time the peer takes in our request, which
        // costs the peer that wake-up; poll() is only woken for input.
        pollfd p{fd, static_cast<short>(wantOut ? POLLIN | POLLOUT : POLLIN), 0};
        if (::poll(&p, 1, -1) > 0) {
            readable = (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
            writable = (p.revents & POLLOUT) != 0;
        }
    }
    if (readable) {
        // This read takes in whatever the I/O thread was woken for so far.
        syncInput.fetch_and(~kInputMissed);
        live = readSocket(fd, frames, failure);
    }
    lock.lock();
    reading = false;
    if (writable) writeLocked();
    for (auto& frame : frames) receiveFrameLocked(std::move(frame), nullptr);
    frames.clear();
    if (!live) endStreamLocked(std::move(failure));
    // Events read here go to the target queue (this thread is the caller's,
    // not the connection's).
    scheduleDrainLocked();
    readerChanged.notify_all();
}

void XpcConnection::State::waitForReply(std::unique_lock<std::mutex>& lock, SyncWaiter& waiter) {
    while (!waiter.done) {
        if (requesterCanReadLocked()) {
            readAsRequester(lock, true);
            continue;
        }
        // Someone else reads, or the connection is not up (yet): the reply,
        // or the error that ends the wait, is handed over.
        readerChanged.wait(lock);
    }
}

void XpcConnection::State::endSyncRequestLocked(std::unique_lock<std::mutex>& lock) {
    // When the I/O thread has left input to the requesters, one that can
    // take the reader role reads before it goes. One that cannot leaves it
    // to the holder of the role (a requester, which does the same when it
    // goes), or to the end of the stream, which the I/O thread reads out.
    std::uint32_t now = syncInput.load();
    for (;;) {
        if ((now & kInputMissed) && requesterCanReadLocked()) {
            readAsRequester(lock, false);
            now = syncInput.load();
            continue;
        }
        // Fails, and looks again, if the I/O thread has just left input.
        if (syncInput.compare_exchange_weak(now, now - kOneRequester)) return;
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
    if (!watchSocketLocked(failure)) {
        socket.reset();
        outputWatch.reset();
        syncPollerWatches = false;
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

bool XpcConnection::State::watchSocketLocked(std::string& failure) {
    outputInterest = 0;
    // A client's requesters get a watch of their own, ahead of the I/O
    // thread's. Without it (or a descriptor for the output watch) they wait
    // in poll() and the I/O thread, woken as well, leaves the input to them.
    if (kind == Kind::Client && !syncPoller) syncPoller = UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
    if (syncPoller) {
        epoll_event event{};
        event.events = EPOLLIN | EPOLLEXCLUSIVE;
        syncPollerWatches = ::epoll_ctl(syncPoller.get(), EPOLL_CTL_ADD, socket.get(), &event) == 0;
        if (syncPollerWatches) outputWatch = UniqueFd(::fcntl(socket.get(), F_DUPFD_CLOEXEC, 0));
    }
    // Exclusive watchers are woken in the order they began watching, the
    // first one that has a thread waiting taking the wake-up: a requester
    // waiting for input takes it, and the I/O thread is not woken. Exclusive
    // only behind the requesters' watch: ahead of it, the I/O thread would
    // take input a requester waits for.
    epoll_event event{};
    event.events = outputWatch ? kInputWatch | EPOLLEXCLUSIVE : kInputWatch | kEndWatch;
    if (::epoll_ctl(poller.get(), EPOLL_CTL_ADD, socket.get(), &event) == 0) {
        if (!outputWatch) return true;
        event.events = kEndWatch;
        if (::epoll_ctl(poller.get(), EPOLL_CTL_ADD, outputWatch.get(), &event) == 0) return true;
    }
    failure = std::string("cannot watch the connection: ") + std::strerror(errno);
    return false;
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
        syncPoller.reset();
        listenerSlot.reset();
        peerSocket.reset();
        ioRunning = false;
    }
    // The end, and whatever is still queued, as this thread's last act.
    drainHere();
}

bool XpcConnection::State::leaveInputToRequesters() {
    std::uint32_t now = syncInput.load();
    while (now >= kOneRequester)
        if (syncInput.compare_exchange_weak(now, now | kInputMissed)) return true;
    return false;
}

std::uint32_t XpcConnection::State::waitForSocket() {
    for (;;) {
        epoll_event ready[2];
        int count = ::epoll_wait(poller.get(), ready, 2, -1);
        if (count < 0 && errno != EINTR)
            throw std::runtime_error(std::string("epoll_wait: ") + std::strerror(errno));
        // The input and output watches' events alike.
        std::uint32_t events = 0;
        for (int i = 0; i < count; ++i) events |= ready[i].events;
        // Input alone, while synchronous requesters read it: they are told,
        // and this thread waits on without the mutex, which a requester may
        // hold while the peer answers.
        if (events == EPOLLIN && leaveInputToRequesters()) continue;
        return events;
    }
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

        std::uint32_t events = waitForSocket();
        std::unique_lock lock(mutex);
        if (cancelRequested || finished) return;
        if (events & EPOLLOUT) writeLocked();
        bool ended = (events & kEnded) || streamEnded;
        bool input = (events & EPOLLIN) || ended;
        // (A requester may have come since the wait.)
        if (input && !ended && leaveInputToRequesters()) input = false;
        if (input) {
            // Only an end comes here while a requester reads: what it leaves
            // unread is read out below.
            readerChanged.wait(lock, [&] { return !reading || cancelRequested; });
            if (cancelRequested) return;
            if (reader.error() == XpcWireError::None) {
                reading = true;
                int fd = socket.get();
                lock.unlock();
                syncInput.fetch_and(~kInputMissed);
                std::string failure;
                bool live = readSocket(fd, frames, failure, ended);
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
