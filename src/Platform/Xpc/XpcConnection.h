// Connections to helper programs and the services they offer.
//
// An XpcConnection carries dictionaries (XpcObject) in both directions over a
// Unix-domain socket. A client connection is made for a service name and
// connects when resumed; a peer connection is handed out by an XpcListener
// for each client that connects.
//
// Events (messages from the peer, and errors) arrive one at a time, in the
// order they happened, on the connection's target queue (unless one is
// given, a serial context of the connection's own: usually the thread that
// reads the socket, which then needs no hand-off). Handlers may run on that
// thread whatever their queue, so a handler must not block waiting for
// something its own connection has yet to receive (a later event, or a reply
// handed to a queue): sendWithReplySync() is the way to wait for a reply
// there. The errors are those of the system's XPC:
//  - ConnectionInterrupted: a client connection's peer went away after
//    connecting (exited, crashed, or sent something malformed). Requests
//    awaiting replies fail with it. The next send connects again.
//  - ConnectionInvalid: the connection can no longer be used: it could not
//    connect (nobody listening, or a refused peer), it was cancelled, or, for
//    a peer connection, the client went away. It is the last event.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Values/Error.h"
#include "Platform/Xpc/XpcObject.h"
#include "Platform/Xpc/XpcServiceName.h"
#include "Platform/Xpc/XpcSocket.h"

namespace platform {

enum class XpcErrorKind { ConnectionInterrupted, ConnectionInvalid };

/// One delivery of a connection: a message from the peer, or an error.
class XpcEvent {
  public:
    static XpcEvent error(XpcErrorKind kind, std::string reason = {});

    bool isError() const { return isError_; }
    bool isInterrupted() const { return isError_ && kind_ == XpcErrorKind::ConnectionInterrupted; }
    bool isInvalid() const { return isError_ && kind_ == XpcErrorKind::ConnectionInvalid; }
    XpcErrorKind errorKind() const { return kind_; }
    /// "Connection interrupted" or "Connection invalid", followed by the
    /// reason when one is known (": peer closed the connection"); "" for a
    /// message.
    std::string errorDescription() const;

    /// The message (a dictionary); a null object for an error.
    const XpcObject& message() const { return message_; }
    /// True when the peer waits for a reply (see XpcConnection::reply()).
    bool expectsReply() const { return requestId_ != 0; }
    /// The sender, as the kernel reported it when the socket connected.
    const XpcPeerCredentials& peer() const;

  private:
    friend class XpcConnection;
    bool isError_ = false;
    XpcErrorKind kind_ = XpcErrorKind::ConnectionInvalid;
    std::string reason_;
    XpcObject message_;
    std::uint64_t requestId_ = 0;
    std::uint64_t generation_ = 0;
    // Shared by the events of one connection (null: not known).
    std::shared_ptr<const XpcPeerCredentials> peer_;
};

using XpcEventHandler = std::function<void(const XpcEvent&)>;

/// Decides whether a privileged connection may talk to a peer.
using XpcPeerPolicy = std::function<bool(const XpcPeerCredentials&)>;

/// Options of a client connection.
enum XpcConnectionOptions : unsigned {
    kXpcConnectionNone = 0,
    /// The service runs as root: its socket is looked up in the system
    /// folder, and a peer that the privileged peer policy refuses (by
    /// default: whose uid is not 0) makes the connection invalid.
    kXpcConnectionPrivileged = 1u << 1,
};

class XpcConnection {
  public:
    /// How long resume() (and a reconnect after an interruption) keeps trying
    /// while the service is not listening yet, by default.
    static constexpr Duration kDefaultConnectTimeout = std::chrono::seconds(3);

    /// A client connection to the named service; it connects on resume().
    /// Never fails for lack of a listener (that shows as ConnectionInvalid
    /// later); answers null and fills `error` (kXpcErrorDomain,
    /// kXpcErrorInvalidServiceName) only for an invalid name. `targetQueue`
    /// null means the connection's own serial queue.
    static std::shared_ptr<XpcConnection> createMachService(std::string_view serviceName,
                                                            DispatchQueuePtr targetQueue,
                                                            unsigned options,
                                                            Error* error = nullptr);
    /// A client connection to a socket path (tools and benchmarks).
    static std::shared_ptr<XpcConnection> createForSocketPath(
        std::string socketPath, DispatchQueuePtr targetQueue,
        unsigned options = kXpcConnectionNone);

    /// Cancels the connection when it was not cancelled already.
    ~XpcConnection();
    XpcConnection(const XpcConnection&) = delete;
    XpcConnection& operator=(const XpcConnection&) = delete;

    /// The handler of events; it runs on the target queue. After the
    /// ConnectionInvalid event the connection lets go of it, which breaks the
    /// usual cycle of a handler that holds its own connection.
    void setEventHandler(XpcEventHandler handler);
    /// The queue that events are delivered on; to be set before resume().
    void setTargetQueue(DispatchQueuePtr queue);
    /// Overrides kDefaultConnectTimeout; zero makes a single attempt.
    void setConnectTimeout(Duration timeout);

    /// Starts the connection: a client connection connects in the
    /// background; a peer connection starts receiving. Messages sent before
    /// are kept and go out once connected. Later calls do nothing.
    void resume();

    /// Sends a one-way message (a dictionary). Answers false, sending
    /// nothing, when the message cannot be encoded (not a dictionary, a
    /// string that is not UTF-8, too large or too deep) or the connection is
    /// cancelled or invalid. True means it was queued: like the system's XPC,
    /// a message may still be lost if the peer goes away.
    bool send(const XpcObject& message);

    /// Sends a message and calls `handler` on `replyQueue` (the target queue
    /// when null) exactly once: with the peer's reply, or with
    /// ConnectionInterrupted when the peer went away first, or with
    /// ConnectionInvalid when the connection was cancelled or became invalid
    /// first. On the target queue the handler keeps its place among the
    /// events: it runs after every message that arrived before the reply.
    /// Answers false, and never calls `handler`, in the cases where send()
    /// answers false.
    bool sendWithReply(const XpcObject& message, DispatchQueuePtr replyQueue,
                       std::function<void(const XpcEvent&)> handler);

    /// Sends a message and waits for the peer's reply, for callers that would
    /// block anyway: the calling thread reads its reply itself. Answers the
    /// reply, or an error event: ConnectionInterrupted when the peer went
    /// away first, ConnectionInvalid when the connection was cancelled or
    /// became invalid first, or the message cannot be encoded. Blocks until
    /// one of these happens (before resume(), until the connection is up).
    /// Events that arrive meanwhile are delivered as usual, so it may be
    /// called from the target queue or an event handler.
    XpcEvent sendWithReplySync(const XpcObject& message);

    /// Answers a message that expects a reply. False when it does not, when
    /// the reply cannot be encoded, or when the connection that carried the
    /// request has gone since.
    bool reply(const XpcEvent& request, const XpcObject& reply);

    /// Waits until every message sent so far has been written to the socket
    /// (a helper about to exit calls it so that its last words arrive), or
    /// until `timeout` has passed or the connection has ended. Answers whether
    /// everything was written. Not to be called from the target queue.
    bool flush(Duration timeout);

    /// Closes the connection. Messages already sent are still written if the
    /// socket takes them at once, and the peer sees the end at once; messages
    /// not yet delivered to the handler are dropped, replies awaited fail with
    /// ConnectionInvalid, and exactly one ConnectionInvalid event follows,
    /// after any handler call in progress; nothing after it. Never waits for
    /// a handler. Safe from any thread, the event handler included;
    /// cancelling again does nothing.
    void cancel();

    /// The service name ("" for a socket-path or peer connection).
    const std::string& serviceName() const;
    /// The peer's credentials once connected; nullopt before.
    std::optional<XpcPeerCredentials> peerCredentials() const;

    /// Replaces the policy that privileged connections apply to their peer;
    /// null restores the default (uid 0 only). Process-wide, for tests that
    /// run their fake helpers as an ordinary user. Connections read it when
    /// they connect.
    static void setPrivilegedPeerPolicy(XpcPeerPolicy policy);

    struct State;

  private:
    friend class XpcListener;
    explicit XpcConnection(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

using XpcConnectionPtr = std::shared_ptr<XpcConnection>;

}  // namespace platform
