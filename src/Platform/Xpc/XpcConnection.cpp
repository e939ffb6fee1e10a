#include "Platform/Xpc/XpcConnection.h"

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
    state_->queueLocked();
    auto state = state_;
    state_->ioThread = std::thread([state] { state->runIo(); });
}

namespace {

bool encodeOrRefuse(XpcFrameKind kind, const XpcObject& message, std::vector<std::uint8_t>& frame,
                    const XpcWireLimits& limits) {
    XpcWireError error = XpcWireError::None;
    // Requests get their real id once queued; any non-zero id encodes the same.
    return encodeXpcFrame(kind, kind == XpcFrameKind::Message ? 0 : 1, message, frame, &error,
                          limits);
}

}  // namespace

bool XpcConnection::send(const XpcObject& message) {
    std::vector<std::uint8_t> frame;
    if (!encodeOrRefuse(XpcFrameKind::Message, message, frame, state_->limits)) return false;
    std::lock_guard lock(state_->mutex);
    if (state_->cancelRequested || state_->finished) return false;
    state_->outgoing.push_back(std::move(frame));
    ++state_->queuedFrames;
    state_->wakeup.signal();
    return true;
}

bool XpcConnection::sendWithReply(const XpcObject& message, DispatchQueuePtr replyQueue,
                                  std::function<void(const XpcEvent&)> handler) {
    std::vector<std::uint8_t> frame;
    if (!encodeOrRefuse(XpcFrameKind::Request, message, frame, state_->limits)) return false;
    std::lock_guard lock(state_->mutex);
    if (state_->cancelRequested || state_->finished) return false;
    std::uint64_t id = state_->nextRequestId++;
    setXpcFrameId(frame, id);
    if (!replyQueue) replyQueue = state_->queueLocked();
    state_->replies.emplace(id, State::PendingReply{std::move(replyQueue), std::move(handler)});
    state_->outgoing.push_back(std::move(frame));
    ++state_->queuedFrames;
    state_->wakeup.signal();
    return true;
}

bool XpcConnection::reply(const XpcEvent& request, const XpcObject& reply) {
    if (!request.expectsReply()) return false;
    std::vector<std::uint8_t> frame;
    if (!encodeOrRefuse(XpcFrameKind::Reply, reply, frame, state_->limits)) return false;
    setXpcFrameId(frame, request.requestId_);
    std::lock_guard lock(state_->mutex);
    if (state_->cancelRequested || state_->finished || !state_->connected ||
        state_->generation != request.generation_)
        return false;
    state_->outgoing.push_back(std::move(frame));
    ++state_->queuedFrames;
    state_->wakeup.signal();
    return true;
}

void XpcConnection::cancel() {
    std::thread io;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->cancelRequested) return;
        state_->cancelRequested = true;
        if (!state_->finished) {
            // Unlike a failure, a cancel leaves the queued messages to the I/O
            // thread, which writes what the socket takes before it closes.
            std::erase_if(state_->events, [](const State::Delivery& d) { return !d.replyHandler; });
            state_->failRepliesLocked(XpcErrorKind::ConnectionInvalid, "cancelled");
            state_->deliverLocked(XpcEvent::error(XpcErrorKind::ConnectionInvalid, "cancelled"));
        }
        if (state_->ioThread.joinable() && state_->ioThread.get_id() != std::this_thread::get_id())
            io = std::move(state_->ioThread);
        // Never resumed: no I/O thread will write or close anything.
        if (!state_->resumed) {
            state_->peerSocket.reset();
            state_->dropOutgoingLocked();
        }
        state_->wakeup.signal();
    }
    // The I/O thread never waits for a queue, so joining it from the event
    // handler is safe; once joined, the socket is closed.
    if (io.joinable()) io.join();
}

bool XpcConnection::flush(Duration timeout) {
    std::unique_lock lock(state_->mutex);
    std::uint64_t target = state_->queuedFrames;
    std::uint64_t lostBefore = state_->lostFrames;
    state_->settledChanged.wait_for(lock, timeout, [&] { return state_->settledFrames >= target; });
    return state_->settledFrames >= target && state_->lostFrames == lostBefore;
}

const std::string& XpcConnection::serviceName() const { return state_->serviceName; }

std::optional<XpcPeerCredentials> XpcConnection::peerCredentials() const {
    std::lock_guard lock(state_->mutex);
    return state_->peer;
}

DispatchQueuePtr XpcConnection::State::queueLocked() {
    if (!target) target = SerialQueue::create(label);
    return target;
}

void XpcConnection::State::deliverLocked(XpcEvent event) {
    if (finished) return;
    if (event.isInvalid()) finished = true;
    events.push_back({std::move(event), {}});
    scheduleDrainLocked();
}

void XpcConnection::State::deliverReplyLocked(PendingReply pending, XpcEvent event) {
    // A reply handler on the target queue keeps its place among the events;
    // one on another queue simply goes there.
    if (pending.queue == queueLocked()) {
        events.push_back({std::move(event), std::move(pending.handler)});
        scheduleDrainLocked();
        return;
    }
    pending.queue->async(
        [handler = std::move(pending.handler), event = std::move(event)] { handler(event); });
}

void XpcConnection::State::scheduleDrainLocked() {
    if (drainScheduled) return;
    drainScheduled = true;
    queueLocked()->async([self = shared_from_this()] { self->drainOne(); });
}

void XpcConnection::State::failRepliesLocked(XpcErrorKind kind, const std::string& reason) {
    auto pending = std::move(replies);
    replies.clear();
    for (auto& [id, reply] : pending)
        deliverReplyLocked(std::move(reply), XpcEvent::error(kind, reason));
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

void XpcConnection::State::invalidateLocked(const std::string& reason) {
    connected = false;
    dropOutgoingLocked();
    failRepliesLocked(XpcErrorKind::ConnectionInvalid, reason);
    deliverLocked(XpcEvent::error(XpcErrorKind::ConnectionInvalid, reason));
}

void XpcConnection::State::drainOne() {
    Delivery delivery;
    XpcEventHandler call;
    {
        std::lock_guard lock(mutex);
        if (events.empty()) {
            drainScheduled = false;
            return;
        }
        delivery = std::move(events.front());
        events.pop_front();
        if (delivery.replyHandler) {
            call = std::move(delivery.replyHandler);
        } else if (delivery.event.isInvalid()) {
            call = std::move(handler);
            handler = nullptr;
        } else {
            call = handler;
        }
    }
    if (call) runCatchingExceptions(label, [&] { call(delivery.event); });
    // Drop the handler (and whatever it holds) outside the lock.
    call = nullptr;
    std::lock_guard lock(mutex);
    if (events.empty()) {
        drainScheduled = false;
    } else {
        queueLocked()->async([self = shared_from_this()] { self->drainOne(); });
    }
}

}  // namespace platform
