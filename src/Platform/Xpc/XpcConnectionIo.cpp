// The I/O thread of a connection: connecting (with retries), reading frames,
// writing queued ones, and turning the end of a socket into the right event.
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

#include "Platform/Dispatch/ThreadName.h"
#include "Platform/Xpc/XpcConnectionState.h"

namespace platform {

namespace {

constexpr auto kFirstRetryDelay = std::chrono::milliseconds(2);
constexpr auto kLongestRetryDelay = std::chrono::milliseconds(100);

std::string describeEnd(XpcStream::Result result, const XpcStream& stream) {
    if (result == XpcStream::Result::Closed) return "peer closed the connection";
    if (stream.wireError() != XpcWireError::None)
        return std::string("malformed message from peer: ") +
               xpcWireErrorDescription(stream.wireError());
    return std::string("socket error: ") + std::strerror(stream.systemError());
}

}  // namespace

void XpcConnection::State::waitForWakeup(int timeoutMs) {
    pollfd fd{wakeup.fd(), POLLIN, 0};
    if (::poll(&fd, 1, timeoutMs) > 0) wakeup.clear();
}

UniqueFd XpcConnection::State::connectWithRetry(std::string& failure) {
    Duration timeout;
    {
        std::lock_guard lock(mutex);
        timeout = connectTimeout;
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    Duration delay = kFirstRetryDelay;
    for (;;) {
        {
            std::lock_guard lock(mutex);
            if (cancelRequested) return {};
        }
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
        waitForWakeup(static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
        delay = std::min<Duration>(delay * 2, kLongestRetryDelay);
    }
}

void XpcConnection::State::receiveFrame(XpcFrame&& frame) {
    std::lock_guard lock(mutex);
    if (frame.kind == XpcFrameKind::Reply) {
        auto it = replies.find(frame.id);
        // A reply nobody waits for (its request already failed) is dropped.
        if (it == replies.end()) return;
        XpcEvent event;
        event.message_ = std::move(frame.message);
        event.generation_ = generation;
        if (peer) event.peer_ = *peer;
        PendingReply pending = std::move(it->second);
        replies.erase(it);
        deliverReplyLocked(std::move(pending), std::move(event));
        return;
    }
    XpcEvent event;
    event.message_ = std::move(frame.message);
    event.requestId_ = frame.kind == XpcFrameKind::Request ? frame.id : 0;
    event.generation_ = generation;
    if (peer) event.peer_ = *peer;
    deliverLocked(std::move(event));
}

void XpcConnection::State::interrupt(const std::string& reason) {
    std::lock_guard lock(mutex);
    connected = false;
    dropOutgoingLocked();
    failRepliesLocked(XpcErrorKind::ConnectionInterrupted, reason);
    deliverLocked(XpcEvent::error(XpcErrorKind::ConnectionInterrupted, reason));
}

void XpcConnection::State::noteWritten(const XpcStream& stream) {
    if (stream.wantsWrite()) return;
    std::lock_guard lock(mutex);
    if (settledFrames != movedFrames) settleLocked(true);
}

XpcStream::Result XpcConnection::State::pump(XpcStream& stream,
                                             const std::function<void(XpcFrame&&)>& onFrame) {
    // Write at once what was queued; poll only for what the socket refused.
    auto result = stream.wantsWrite() ? stream.writeAvailable() : XpcStream::Result::Ok;
    if (result == XpcStream::Result::Ok) {
        noteWritten(stream);
        pollfd fds[2] = {
            {stream.fd(), static_cast<short>(POLLIN | (stream.wantsWrite() ? POLLOUT : 0)), 0},
            {wakeup.fd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0)
            return errno == EINTR ? XpcStream::Result::Ok : XpcStream::Result::Failed;
        if (fds[1].revents) wakeup.clear();
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) result = stream.readAvailable(onFrame);
        if (result == XpcStream::Result::Ok && (fds[0].revents & POLLOUT))
            result = stream.writeAvailable();
        if (result == XpcStream::Result::Ok) noteWritten(stream);
    }
    // A peer that went away may have written its last messages first: they
    // are delivered before the end of the connection.
    if (result != XpcStream::Result::Ok) stream.readAvailable(onFrame);
    return result;
}

void XpcConnection::State::runIo() {
    // The I/O thread keeps the state alive until it is done with the socket.
    auto self = shared_from_this();
    setCurrentThreadName("xpc-io");
    std::optional<XpcStream> stream;
    try {
        ioLoop(stream);
    } catch (const std::exception& e) {
        // Nothing may leave this thread: a failure here ends the connection.
        std::lock_guard lock(mutex);
        if (!cancelRequested) invalidateLocked(std::string("internal error: ") + e.what());
    } catch (...) {
        std::lock_guard lock(mutex);
        if (!cancelRequested) invalidateLocked("internal error");
    }
    bool allWritten = stream && !stream->wantsWrite();
    stream.reset();
    std::lock_guard lock(mutex);
    connected = false;
    settleLocked(allWritten);
    dropOutgoingLocked();
    // Dropped on this thread when nothing else holds the state any more.
    if (ioThread.joinable() && ioThread.get_id() == std::this_thread::get_id()) ioThread.detach();
}

void XpcConnection::State::ioLoop(std::optional<XpcStream>& stream) {
    bool everConnected = false;
    if (kind == Kind::Peer) {
        std::lock_guard lock(mutex);
        stream.emplace(std::move(peerSocket), limits);
        connected = true;
        generation = 1;
        everConnected = true;
    }
    auto onFrame = [this](XpcFrame&& frame) { receiveFrame(std::move(frame)); };

    for (;;) {
        bool stopping, haveOutgoing;
        {
            std::lock_guard lock(mutex);
            stopping = cancelRequested || finished;
            haveOutgoing = !outgoing.empty();
            if (stream) {
                for (auto& frame : outgoing) stream->queue(frame);
                movedFrames += outgoing.size();
                outgoing.clear();
            }
        }
        if (stopping) {
            // Best effort for what was sent before the cancel; never blocks.
            if (stream) stream->writeAvailable();
            break;
        }

        if (!stream) {
            // A client connects when resumed, and after an interruption only
            // once there is something to send.
            if (everConnected && !haveOutgoing) {
                waitForWakeup(-1);
                continue;
            }
            std::string failure;
            UniqueFd fd = connectWithRetry(failure);
            if (!fd) {
                std::lock_guard lock(mutex);
                if (!cancelRequested) invalidateLocked(failure);
                break;
            }
            XpcPeerCredentials credentials;
            bool known = xpcPeerCredentials(fd.get(), credentials);
            if ((options & kXpcConnectionPrivileged) &&
                (!known || !xpcPrivilegedPeerAllowed(credentials))) {
                std::lock_guard lock(mutex);
                if (!cancelRequested)
                    invalidateLocked("peer with uid " + std::to_string(credentials.uid) +
                                     " refused for a privileged service");
                break;
            }
            stream.emplace(std::move(fd), limits);
            everConnected = true;
            std::lock_guard lock(mutex);
            connected = true;
            ++generation;
            peer = credentials;
            continue;
        }

        XpcStream::Result result = pump(*stream, onFrame);
        if (result == XpcStream::Result::Ok) continue;

        std::string reason = describeEnd(result, *stream);
        stream.reset();
        {
            std::lock_guard lock(mutex);
            settleLocked(false);
        }
        if (kind == Kind::Peer) {
            std::lock_guard lock(mutex);
            if (!cancelRequested) invalidateLocked(reason);
            break;
        }
        interrupt(reason);
    }
}

}  // namespace platform
