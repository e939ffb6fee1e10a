// Inside a connection: the state shared by its public handle, its I/O thread
// and the blocks it has queued. Not for use outside the messaging layer.
//
// Who does what:
//  - A sending thread writes its frame to the socket itself when nothing is
//    waiting to be written before it; what the socket does not take waits in
//    `writeBuffer` for the I/O thread (which then watches for writability).
//  - One thread at a time holds the reader role and decodes what arrives:
//    the I/O thread, or a thread waiting in sendWithReplySync(), which reads
//    its own reply. While such a requester exists the I/O thread leaves the
//    input to it: woken for input then, it only notes so in `syncInput`
//    (without the mutex, which the requester may hold), and the requesters
//    read what it stood for before the last of them goes.
//  - A client connection's requesters wait in an epoll instance of their own
//    (`syncPoller`) whose watch on the socket comes before the I/O thread's in
//    the socket's queue of waiters, both exclusive: input wakes a waiting
//    requester and not the I/O thread, and nobody changes a watch per call.
//    (The I/O thread's input watch cannot change once exclusive, so its
//    writability watch is a second descriptor of the socket, `outputWatch`.)
//  - The I/O thread runs handlers in place when their queue is idle (or the
//    connection has no target queue of its own); otherwise deliveries go to
//    the queue, in batches.
//  - Only the I/O thread closes the socket, and only while nobody holds the
//    reader role.
#pragma once

#include <atomic>
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

    UniqueFd socket;  // while connected
    UniqueFd poller;  // the I/O thread's epoll instance
    // A client's synchronous requesters wait here (made with the first
    // socket; none when it could not be made).
    UniqueFd syncPoller;
    // `syncPoller` watches the current socket, ahead of the I/O thread.
    bool syncPollerWatches = false;
    // A second descriptor of the socket, for the I/O thread's writability
    // watch, while its input watch is exclusive (none otherwise: then one
    // watch carries both).
    UniqueFd outputWatch;
    std::uint32_t outputInterest = 0;  // EPOLLOUT while bytes wait for room
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
    // The synchronous requesters (kOneRequester each, counted with `mutex`
    // held) and kInputMissed: the I/O thread was woken for input while there
    // were requesters to read it. It sets that bit only while the count is
    // not zero, in the same step; a reader clears it just before it reads,
    // since that read takes in whatever the wake-up stood for.
    static constexpr std::uint32_t kInputMissed = 1, kOneRequester = 2;
    // How often a requester waiting in its own watch looks at kInputMissed.
    static constexpr int kMissedInputLookMs = 50;
    std::atomic<std::uint32_t> syncInput{0};
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
    /// Watches for writability exactly while bytes wait for room.
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
    /// Waits for the socket's next events, those to act on.
    std::uint32_t waitForSocket();
    /// Notes input for the synchronous requesters when there are any
    /// (answers whether there were).
    bool leaveInputToRequesters();
    UniqueFd connectWithRetry(std::string& failure);
    bool attachSocket(UniqueFd fd, std::string& failure);
    /// Reads what the socket holds now into `frames`; false with `failure`
    /// when the stream ended. Called by the reader role's holder. A read
    /// that comes short has emptied the socket, but says nothing of an end
    /// that came before it: `toTheEnd` (after a hang-up was reported) reads
    /// on until the socket says it has nothing, or has ended.
    bool readSocket(int fd, std::vector<XpcFrame>& frames, std::string& failure,
                    bool toTheEnd = false);
    /// Watches a new socket: the requesters' watch first, then the I/O
    /// thread's.
    bool watchSocketLocked(std::string& failure);
    /// Whether a requester may take the reader role now.
    bool requesterCanReadLocked() const;
    /// Reads as a requester holding the reader role (which it takes and
    /// gives back): after waiting for input when `wait`, else what is there.
    void readAsRequester(std::unique_lock<std::mutex>& lock, bool wait);
    /// Waits as a synchronous requester until `waiter` is done.
    void waitForReply(std::unique_lock<std::mutex>& lock, SyncWaiter& waiter);
    /// A requester leaving: reads what the I/O thread left to requesters
    /// when it is the one to do so.
    void endSyncRequestLocked(std::unique_lock<std::mutex>& lock);
};

/// Whether the privileged peer policy accepts `peer`.
bool xpcPrivilegedPeerAllowed(const XpcPeerCredentials& peer);

}  // namespace platform
