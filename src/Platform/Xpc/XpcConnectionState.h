// Inside a connection: the state shared by its public handle, its I/O thread
// and the blocks it has queued. Not for use outside the messaging layer.
//
// Who does what:
//  - A sending thread writes its frame to the socket itself when nothing is
//    waiting to be written before it; what the socket does not take waits in
//    `writeBuffer` for the I/O thread (which then watches for writability).
//  - One thread at a time holds the reader role and decodes what arrives:
//    the I/O thread, or a thread waiting in sendWithReplySync(), which reads
//    its own reply. While such a waiter exists the I/O thread stops watching
//    the socket for input, so that the two never race for it.
//  - The I/O thread runs handlers in place when their queue is idle (or the
//    connection has no target queue of its own); otherwise deliveries go to
//    the queue, in batches.
//  - Only the I/O thread closes the socket, and only while nobody holds the
//    reader role.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <span>
#include <thread>

#include "Platform/Xpc/XpcConnection.h"

namespace platform {

struct XpcConnection::State : std::enable_shared_from_this<XpcConnection::State> {
    enum class Kind { Client, Peer };

    /// A thread blocked in sendWithReplySync().
    struct SyncWaiter {
        std::uint64_t id = 0;
        bool done = false;
        XpcEvent reply;
    };

    struct PendingReply {
        DispatchQueuePtr queue;
        std::function<void(const XpcEvent&)> handler;
    };

    /// A reply handler to run on a queue other than the target queue.
    struct ForeignReply {
        DispatchQueuePtr queue;
        std::function<void(const XpcEvent&)> handler;
        XpcEvent event;
    };

    ~State();

    // Fixed at creation.
    Kind kind = Kind::Client;
    std::string serviceName;
    std::string socketPath;
    unsigned options = kXpcConnectionNone;
    XpcWireLimits limits;
    std::string label;

    mutable std::mutex mutex;
    XpcEventHandler handler;
    DispatchQueuePtr target;    // the queue named by the owner, if any
    DispatchQueuePtr ownQueue;  // made on first need when there is none
    Duration connectTimeout = kDefaultConnectTimeout;
    bool resumed = false;
    bool cancelRequested = false;
    // The ConnectionInvalid event is queued: nothing is delivered after it.
    bool finished = false;
    bool ioRunning = false;
    // Set while a socket is up; a reply must go out on the socket that
    // carried its request, which `generation` tells apart.
    bool connected = false;
    std::uint64_t generation = 0;
    // The peer's credentials, shared with the events (null: not known).
    std::shared_ptr<const XpcPeerCredentials> peer;
    // A peer connection's share of its listener's per-user limit.
    std::shared_ptr<void> listenerSlot;

    UniqueFd socket;             // while connected
    UniqueFd poller;             // the I/O thread's epoll instance
    std::uint32_t interest = 0;  // the socket's registered epoll events
    // The socket has ended (seen by a reader or a writer); the I/O thread
    // turns it into the right event.
    bool streamEnded = false;
    std::string endReason;
    // Bytes accepted for the socket and not written yet.
    std::vector<std::uint8_t> writeBuffer;
    std::size_t writeOffset = 0;
    // Frames waiting for a connection.
    std::deque<std::vector<std::uint8_t>> outgoing;
    std::condition_variable ioWake;  // the I/O thread waiting without a socket
    // Frame counts for flush(): accepted by senders, handed to the socket,
    // settled (written, or lost with the socket), and lost.
    std::uint64_t queuedFrames = 0;
    std::uint64_t movedFrames = 0;
    std::uint64_t settledFrames = 0;
    std::uint64_t lostFrames = 0;
    std::condition_variable settledChanged;

    // The reader role; `reader` belongs to whoever holds it.
    bool reading = false;
    int syncWaiters = 0;
    XpcFrameReader reader;
    // Frames read by the reader role's holder, handled before it lets go of
    // the mutex.
    std::vector<XpcFrame> readFrames;
    std::condition_variable readerChanged;  // role given back, reply came, state changed

    std::uint64_t nextRequestId = 1;
    std::map<std::uint64_t, PendingReply> replies;
    // Synchronous requests awaiting their reply (few: one per blocked thread).
    std::vector<SyncWaiter*> syncReplies;
    // Deliveries waiting for the target queue: events, and the replies whose
    // handlers run on that same queue, in the order they came in.
    struct Delivery {
        XpcEvent event;
        std::function<void(const XpcEvent&)> replyHandler;  // empty for an event
    };
    std::deque<Delivery> events;
    // A batch of `events` is being delivered, or is queued to be.
    bool delivering = false;
    UniqueFd peerSocket;  // a peer connection's socket until resume()

    // With `mutex` held.
    DispatchQueuePtr queueLocked();
    void deliverLocked(XpcEvent event);
    void deliverReplyLocked(PendingReply pending, XpcEvent event,
                            std::vector<ForeignReply>* foreign);
    void scheduleDrainLocked();
    void failRepliesLocked(XpcErrorKind kind, const std::string& reason);
    void invalidateLocked(const std::string& reason);
    /// Sends `frame` (or queues it for the socket): the bytes are copied
    /// only when the socket does not take them at once.
    bool enqueueFrameLocked(std::span<const std::uint8_t> frame);
    void writeLocked();
    void updateInterestLocked();
    void endStreamLocked(std::string reason);
    void closeSocketLocked(std::unique_lock<std::mutex>& lock);
    void dropOutgoingLocked();
    void settleLocked(bool written);
    void receiveFrameLocked(XpcFrame&& frame, std::vector<ForeignReply>* foreign);

    /// Delivers queued events until none is left (one batch).
    void drainBatch();
    /// On the I/O thread: delivers what is queued, in place when the target
    /// queue lets it.
    void drainHere();
    static void runForeign(std::vector<ForeignReply>& foreign, bool inPlace);

    /// Body of the I/O thread.
    void runIo();
    void ioLoop();
    UniqueFd connectWithRetry(std::string& failure);
    bool attachSocket(UniqueFd fd, std::string& failure);
    /// Reads what the socket holds now into `frames`; false with `failure`
    /// when the stream ended. Called by the reader role's holder.
    bool readSocket(int fd, std::vector<XpcFrame>& frames, std::string& failure);
    /// Waits as a synchronous requester until `waiter` is done.
    void waitForReply(std::unique_lock<std::mutex>& lock, SyncWaiter& waiter);
};

/// Whether the privileged peer policy accepts `peer`.
bool xpcPrivilegedPeerAllowed(const XpcPeerCredentials& peer);

}  // namespace platform
