#include "Platform/Xpc/XpcConnection.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>

#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Xpc/XpcConnectionState.h"

namespace platform {

namespace {

std::mutex& policyMutex() {
    static std::mutex m;
    return m;
}

XpcPeerPolicy& policyStorage() {
    static XpcPeerPolicy policy;
    return policy;
}

}  // namespace

XpcEvent XpcEvent::error(XpcErrorKind kind, std::string reason) {
    XpcEvent e;
    e.isError_ = true;
    e.kind_ = kind;
    e.reason_ = std::move(reason);
    return e;
}

const XpcPeerCredentials& XpcEvent::peer() const {
    static const XpcPeerCredentials unknown;
    return peer_ ? *peer_ : unknown;
}

std::string XpcEvent::errorDescription() const {
    if (!isError_) return {};
    std::string text = kind_ == XpcErrorKind::ConnectionInterrupted ? "Connection interrupted"
                                                                    : "Connection invalid";
    if (!reason_.empty()) text += ": " + reason_;
    return text;
}

void XpcConnection::setPrivilegedPeerPolicy(XpcPeerPolicy policy) {
    std::lock_guard lock(policyMutex());
    policyStorage() = std::move(policy);
}

bool xpcPrivilegedPeerAllowed(const XpcPeerCredentials& peer) {
    XpcPeerPolicy policy;
    {
        std::lock_guard lock(policyMutex());
        policy = policyStorage();
    }
    return policy ? policy(peer) : peer.uid == 0;
}

XpcConnection::XpcConnection(std::shared_ptr<State> state) : state_(std::move(state)) {}

std::shared_ptr<XpcConnection> XpcConnection::createMachService(std::string_view serviceName,
                                                                DispatchQueuePtr targetQueue,
                                                                unsigned options, Error* error) {
    auto scope =
        (options & kXpcConnectionPrivileged) ? XpcServiceScope::System : XpcServiceScope::User;
    std::string path = xpcSocketPathForService(serviceName, scope, error);
    if (path.empty()) return nullptr;
    auto connection = createForSocketPath(std::move(path), std::move(targetQueue), options);
    connection->state_->serviceName = std::string(serviceName);
    connection->state_->label = "com.pelgrave.xpc." + std::string(serviceName);
    return connection;
}

std::shared_ptr<XpcConnection> XpcConnection::createForSocketPath(std::string socketPath,
                                                                  DispatchQueuePtr targetQueue,
                                                                  unsigned options) {
    auto state = std::make_shared<State>();
    state->kind = State::Kind::Client;
    state->socketPath = std::move(socketPath);
    state->options = options;
    state->target = std::move(targetQueue);
    state->label = "com.pelgrave.xpc.connection";
    return std::shared_ptr<XpcConnection>(new XpcConnection(std::move(state)));
}

XpcConnection::~XpcConnection() { cancel(); }

void XpcConnection::setEventHandler(XpcEventHandler handler) {
    std::lock_guard lock(state_->mutex);
    if (!state_->finished) state_->handler = std::move(handler);
}

void XpcConnection::setTargetQueue(DispatchQueuePtr queue) {
    std::lock_guard lock(state_->mutex);
    if (queue) state_->target = std::move(queue);
}

void XpcConnection::setConnectTimeout(Duration timeout) {
    std::lock_guard lock(state_->mutex);
    state_->connectTimeout = timeout;
}

void XpcConnection::resume() {
    std::lock_guard lock(state_->mutex);
    if (state_->resumed || state_->cancelRequested) return;
    state_->resumed = true;
    state_->ioRunning = true;
    // The thread keeps the state alive until it is done with the socket; it
    // is never joined, so that cancel() from a handler it runs cannot wait
    // for itself.
    std::thread([state = state_] { state->runIo(); }).detach();
}

namespace {

// Encodes frames for this thread's sends: the frame is written to the socket
// straight from here, so that a message costs no allocation of its own.
class FrameScratch {
  public:
    FrameScratch() { buffer().clear(); }
    ~FrameScratch() {
        // A large message does not keep its memory for the thread's life.
        if (buffer().capacity() > kKeep) std::vector<std::uint8_t>().swap(buffer());
    }
    FrameScratch(const FrameScratch&) = delete;
    FrameScratch& operator=(const FrameScratch&) = delete;
    std::vector<std::uint8_t>& frame() { return buffer(); }

  private:
    static constexpr std::size_t kKeep = 64 * 1024;
    static std::vector<std::uint8_t>& buffer() {
        thread_local std::vector<std::uint8_t> bytes;
        return bytes;
    }
};

bool encodeOrRefuse(XpcFrameKind kind, const XpcObject& message, std::vector<std::uint8_t>& frame,
                    const XpcWireLimits& limits) {
    XpcWireError error = XpcWireError::None;
    // Requests get their real id once queued; any non-zero id encodes the same.
    return encodeXpcFrame(kind, kind == XpcFrameKind::Message ? 0 : 1, message, frame, &error,
                          limits);
}

}  // namespace

bool XpcConnection::send(const XpcObject& message) {
    FrameScratch scratch;
    auto& frame = scratch.frame();
    if (!encodeOrRefuse(XpcFrameKind::Message, message, frame, state_->limits)) return false;
    std::lock_guard lock(state_->mutex);
    return state_->enqueueFrameLocked(frame);
}

bool XpcConnection::sendWithReply(const XpcObject& message, DispatchQueuePtr replyQueue,
                                  std::function<void(const XpcEvent&)> handler) {
    FrameScratch scratch;
    auto& frame = scratch.frame();
    if (!encodeOrRefuse(XpcFrameKind::Request, message, frame, state_->limits)) return false;
    std::lock_guard lock(state_->mutex);
    if (state_->cancelRequested || state_->finished) return false;
    std::uint64_t id = state_->nextRequestId++;
    setXpcFrameId(frame, id);
    if (!replyQueue) replyQueue = state_->target;  // null: the target queue, whichever it is
    state_->replies.emplace(id, State::PendingReply{std::move(replyQueue), std::move(handler)});
    return state_->enqueueFrameLocked(frame);
}

XpcEvent XpcConnection::sendWithReplySync(const XpcObject& message) {
    FrameScratch scratch;
    auto& frame = scratch.frame();
    if (!encodeOrRefuse(XpcFrameKind::Request, message, frame, state_->limits))
        return XpcEvent::error(XpcErrorKind::ConnectionInvalid, "the message cannot be encoded");
    std::unique_lock lock(state_->mutex);
    if (state_->cancelRequested || state_->finished)
        return XpcEvent::error(XpcErrorKind::ConnectionInvalid, "cancelled");
    State::SyncWaiter waiter;
    waiter.id = state_->nextRequestId++;
    setXpcFrameId(frame, waiter.id);
    state_->syncReplies.push_back(&waiter);
    // From now on the I/O thread leaves the input to this thread.
    state_->syncInput.fetch_add(State::kOneRequester);
    state_->enqueueFrameLocked(frame);
    state_->waitForReply(lock, waiter);
    state_->endSyncRequestLocked(lock);
    return std::move(waiter.reply);
}

bool XpcConnection::reply(const XpcEvent& request, const XpcObject& reply) {
    if (!request.expectsReply()) return false;
    FrameScratch scratch;
    auto& frame = scratch.frame();
    if (!encodeOrRefuse(XpcFrameKind::Reply, reply, frame, state_->limits)) return false;
    setXpcFrameId(frame, request.requestId_);
    std::lock_guard lock(state_->mutex);
    if (!state_->connected || state_->generation != request.generation_) return false;
    return state_->enqueueFrameLocked(frame);
}

void XpcConnection::cancel() {
    std::lock_guard lock(state_->mutex);
    if (state_->cancelRequested) return;
    state_->cancelRequested = true;
    if (!state_->finished) {
        // Unlike a failure, a cancel leaves the messages already sent to be
        // written, as far as the socket takes them now.
        std::erase_if(state_->events, [](const State::Delivery& d) { return !d.replyHandler; });
        state_->failRepliesLocked(XpcErrorKind::ConnectionInvalid, "cancelled");
        state_->deliverLocked(XpcEvent::error(XpcErrorKind::ConnectionInvalid, "cancelled"));
    }
    // Never resumed: no I/O thread will write or close anything.
    if (!state_->resumed) {
        state_->peerSocket.reset();
        state_->dropOutgoingLocked();
    }
    if (state_->socket) {
        state_->writeLocked();
        // The peer sees the end now; the I/O thread, woken by it, closes the
        // socket once nobody reads it any more.
        ::shutdown(state_->socket.get(), SHUT_RDWR);
        state_->updateInterestLocked();
    }
    state_->ioWake.notify_all();
    state_->readerChanged.notify_all();
    // A running I/O thread delivers the end as its last act.
    if (!state_->ioRunning) state_->scheduleDrainLocked();
}

bool XpcConnection::flush(Duration timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(state_->mutex);
    std::uint64_t target = state_->queuedFrames;
    std::uint64_t lostBefore = state_->lostFrames;
    for (;;) {
        if (state_->settledFrames >= target) break;
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) break;
        // Write here rather than rely on the I/O thread, which may be busy
        // running the very handler that called us.
        state_->writeLocked();
        if (state_->settledFrames >= target) break;
        auto wait = std::min<Duration>(deadline - now, std::chrono::milliseconds(20));
        if (state_->socket && state_->writeOffset < state_->writeBuffer.size()) {
            pollfd p{state_->socket.get(), POLLOUT, 0};
            lock.unlock();
            // A descriptor closed meanwhile only ends this wait early.
            ::poll(&p, 1,
                   static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
            lock.lock();
        } else {
            state_->settledChanged.wait_for(lock, wait);
        }
    }
    return state_->settledFrames >= target && state_->lostFrames == lostBefore;
}

const std::string& XpcConnection::serviceName() const { return state_->serviceName; }

std::optional<XpcPeerCredentials> XpcConnection::peerCredentials() const {
    std::lock_guard lock(state_->mutex);
    if (!state_->peer) return std::nullopt;
    return *state_->peer;
}

XpcConnection::State::~State() = default;

DispatchQueuePtr XpcConnection::State::queueLocked() {
    if (target) return target;
    if (!ownQueue) ownQueue = SerialQueue::create(label);
    return ownQueue;
}

void XpcConnection::State::deliverLocked(XpcEvent event) {
    if (finished) return;
    if (event.isInvalid()) finished = true;
    events.push_back({std::move(event), {}});
}

void XpcConnection::State::deliverReplyLocked(PendingReply pending, XpcEvent event,
                                              std::vector<ForeignReply>* foreign) {
    // A reply handler on the target queue keeps its place among the events;
    // one on another queue simply goes there.
    if (!pending.queue || pending.queue == target) {
        events.push_back({std::move(event), std::move(pending.handler)});
        return;
    }
    if (foreign) {
        foreign->push_back(
            {std::move(pending.queue), std::move(pending.handler), std::move(event)});
        return;
    }
    pending.queue->async(
        [handler = std::move(pending.handler), event = std::move(event)] { handler(event); });
}

void XpcConnection::State::scheduleDrainLocked() {
    if (delivering || events.empty()) return;
    delivering = true;
    queueLocked()->async([self = shared_from_this()] { self->drainBatch(); });
}

void XpcConnection::State::failRepliesLocked(XpcErrorKind kind, const std::string& reason) {
    for (SyncWaiter* waiter : syncReplies) {
        waiter->reply = XpcEvent::error(kind, reason);
        waiter->done = true;
    }
    if (!syncReplies.empty()) readerChanged.notify_all();
    syncReplies.clear();
    auto pending = std::move(replies);
    replies.clear();
    for (auto& [id, reply] : pending)
        deliverReplyLocked(std::move(reply), XpcEvent::error(kind, reason), nullptr);
}

void XpcConnection::State::invalidateLocked(const std::string& reason) {
    dropOutgoingLocked();
    failRepliesLocked(XpcErrorKind::ConnectionInvalid, reason);
    deliverLocked(XpcEvent::error(XpcErrorKind::ConnectionInvalid, reason));
}

void XpcConnection::State::dropOutgoingLocked() {
    movedFrames += outgoing.size();
    outgoing.clear();
    settleLocked(false);
}

void XpcConnection::State::settleLocked(bool written) {
    if (!written) lostFrames += movedFrames - settledFrames;
    settledFrames = movedFrames;
    settledChanged.notify_all();
}

void XpcConnection::State::drainBatch() {
    std::unique_lock lock(mutex);
    while (!events.empty()) {
        Delivery delivery = std::move(events.front());
        events.pop_front();
        XpcEventHandler call;
        if (delivery.replyHandler) {
            call = std::move(delivery.replyHandler);
        } else if (delivery.event.isInvalid()) {
            call = std::move(handler);
            handler = nullptr;
        } else {
            call = handler;
        }
        lock.unlock();
        if (call) runCatchingExceptions(label, [&] { call(delivery.event); });
        // Drop the handler (and whatever it holds) outside the lock.
        call = nullptr;
        delivery = {};
        lock.lock();
    }
    delivering = false;
}

void XpcConnection::State::drainHere() {
    DispatchQueuePtr queue;
    {
        std::lock_guard lock(mutex);
        if (delivering || events.empty()) return;
        delivering = true;
        queue = target;
    }
    // Without a target queue the connection's queue is this thread.
    if (!queue) {
        drainBatch();
        return;
    }
    if (queue->tryRunNow([this] { drainBatch(); })) return;
    queue->async([self = shared_from_this()] { self->drainBatch(); });
}

void XpcConnection::State::runForeign(std::vector<ForeignReply>& foreign, bool inPlace) {
    for (auto& f : foreign) {
        // An idle queue runs the handler here; a busy one (or one that has
        // earlier replies pending) gets it in order behind them.
        auto run = [&f] { f.handler(f.event); };
        if (inPlace && f.queue->tryRunNow(run)) continue;
        f.queue->async(
            [handler = std::move(f.handler), event = std::move(f.event)] { handler(event); });
    }
    foreign.clear();
}

}  // namespace platform
