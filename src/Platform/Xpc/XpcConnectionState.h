// Inside a connection: the state shared by its public handle, its I/O thread
// and the blocks it has queued. Not for use outside the messaging layer.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "Platform/Xpc/XpcConnection.h"

namespace platform {

struct XpcConnection::State : std::enable_shared_from_this<XpcConnection::State> {
    enum class Kind { Client, Peer };

    struct PendingReply {
        DispatchQueuePtr queue;
        std::function<void(const XpcEvent&)> handler;
    };

    // Fixed at creation.
    Kind kind = Kind::Client;
    std::string serviceName;
    std::string socketPath;
    unsigned options = kXpcConnectionNone;
    XpcWireLimits limits;
    std::string label;

    mutable std::mutex mutex;
    XpcEventHandler handler;
    DispatchQueuePtr target;
    Duration connectTimeout = kDefaultConnectTimeout;
    bool resumed = false;
    bool cancelRequested = false;
    // The ConnectionInvalid event is queued: nothing is delivered after it.
    bool finished = false;
    // Set while a socket is up; a reply must go out on the socket that
    // carried its request, which `generation` tells apart.
    bool connected = false;
    std::uint64_t generation = 0;
    std::optional<XpcPeerCredentials> peer;
    std::deque<std::vector<std::uint8_t>> outgoing;
    // Frame counts for flush(): queued by senders, taken over by the I/O
    // thread, settled (written to the socket, or lost with it), and lost.
    std::uint64_t queuedFrames = 0;
    std::uint64_t movedFrames = 0;
    std::uint64_t settledFrames = 0;
    std::uint64_t lostFrames = 0;
    std::condition_variable settledChanged;
    std::uint64_t nextRequestId = 1;
    std::map<std::uint64_t, PendingReply> replies;
    // Deliveries waiting for the target queue: events, and the replies whose
    // handlers run on that same queue, in the order they came in.
    struct Delivery {
        XpcEvent event;
        std::function<void(const XpcEvent&)> replyHandler;  // empty for an event
    };
    std::deque<Delivery> events;
    bool drainScheduled = false;
    UniqueFd peerSocket;  // a peer connection's socket until resume()
    XpcWakeup wakeup;
    std::thread ioThread;

    // With `mutex` held.
    DispatchQueuePtr queueLocked();
    void deliverLocked(XpcEvent event);
    void deliverReplyLocked(PendingReply pending, XpcEvent event);
    void scheduleDrainLocked();
    void failRepliesLocked(XpcErrorKind kind, const std::string& reason);
    void invalidateLocked(const std::string& reason);

    /// Runs on the target queue: delivers the oldest event.
    void drainOne();
    /// Body of the I/O thread.
    void runIo();
    void ioLoop(std::optional<XpcStream>& stream);

    // Parts of the I/O thread.
    UniqueFd connectWithRetry(std::string& failure);
    void waitForWakeup(int timeoutMs);
    void receiveFrame(XpcFrame&& frame);
    void interrupt(const std::string& reason);
    XpcStream::Result pump(XpcStream& stream, const std::function<void(XpcFrame&&)>& onFrame);
    void noteWritten(const XpcStream& stream);
    void dropOutgoingLocked();
    void settleLocked(bool written);
};

/// Whether the privileged peer policy accepts `peer`.
bool xpcPrivilegedPeerAllowed(const XpcPeerCredentials& peer);

}  // namespace platform
