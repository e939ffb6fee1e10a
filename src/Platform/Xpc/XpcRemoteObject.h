// Remote-object calls over a connection: a method name with arguments, and
// for some methods a reply with arguments of its own, carried as messages.
//
// Both sides share an XpcRemoteInterface that lists the methods and the types
// of their arguments; calls that do not fit it are refused. A call travels
// as {"method": name, "arguments": [...]}, sent with a reply when the method
// has one; the reply is {"arguments": [...]}.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Values/Error.h"
#include "Platform/Xpc/XpcConnection.h"

namespace platform {

// Codes of connection errors handed to error handlers (Cocoa domain).
inline constexpr long kXpcConnectionInterruptedError = 4097;
inline constexpr long kXpcConnectionInvalidError = 4099;
inline constexpr long kXpcConnectionReplyInvalidError = 4101;

/// One method: its name as the protocol spells it ("loadKext:withReply:"),
/// the types of its arguments, and whether it answers with a reply (and the
/// types of the reply's arguments).
struct XpcRemoteMethod {
    std::string name;
    std::vector<XpcObject::Type> arguments;
    bool hasReply = false;
    std::vector<XpcObject::Type> replyArguments;
};

/// The methods one side offers.
class XpcRemoteInterface {
  public:
    XpcRemoteInterface(std::string name, std::vector<XpcRemoteMethod> methods)
        : name_(std::move(name)), methods_(std::move(methods)) {}

    const std::string& name() const { return name_; }
    /// The method of that name, or null.
    const XpcRemoteMethod* method(std::string_view name) const;
    /// True when `values` has exactly the given types, in order.
    static bool fits(const std::vector<XpcObject::Type>& types, const XpcArray& values);

  private:
    std::string name_;
    std::vector<XpcRemoteMethod> methods_;
};

/// The client side: a connection whose peer exports an object of a known
/// interface.
class XpcRemoteConnection : public std::enable_shared_from_this<XpcRemoteConnection> {
  public:
    /// A connection to the named service (see XpcConnection::createMachService;
    /// `options` may hold kXpcConnectionPrivileged). Null and `error` filled
    /// for an invalid name. Replies and handlers run on the connection's own
    /// serial queue.
    static std::shared_ptr<XpcRemoteConnection> createMachService(
        std::string_view serviceName, unsigned options, XpcRemoteInterface remoteInterface,
        Error* error = nullptr);
    ~XpcRemoteConnection();

    /// Optional handlers of the connection's own errors.
    void setInterruptionHandler(std::function<void()> handler);
    void setInvalidationHandler(std::function<void()> handler);

    void resume();
    /// Cancels the connection; calls still waiting get the invalid error.
    void invalidate();

    const XpcConnectionPtr& connection() const { return connection_; }
    const XpcRemoteInterface& remoteInterface() const { return interface_; }

    /// Makes calls on the remote object.
    class Proxy {
      public:
        /// Calls `method`. For a method with a reply, `reply` later runs once
        /// with the reply's arguments, unless the connection fails first or
        /// the reply does not fit the interface: then the proxy's error
        /// handler runs in its place (Cocoa domain,
        /// kXpcConnectionInterruptedError, kXpcConnectionInvalidError or
        /// kXpcConnectionReplyInvalidError). Answers false, calling nothing,
        /// for a method the interface lacks, arguments that do not fit, or a
        /// connection that can no longer send.
        bool call(std::string_view method, XpcArray arguments,
                  std::function<void(const XpcArray&)> reply = nullptr) const;

      private:
        friend class XpcRemoteConnection;
        std::shared_ptr<XpcRemoteConnection> owner_;
        std::function<void(const Error&)> errorHandler_;
    };

    /// A proxy whose failed calls go to `errorHandler` (on the connection's
    /// queue); null ignores them.
    Proxy remoteObjectProxy(std::function<void(const Error&)> errorHandler);

  private:
    XpcRemoteConnection(XpcConnectionPtr connection, XpcRemoteInterface remoteInterface);

    XpcConnectionPtr connection_;
    XpcRemoteInterface interface_;
    struct Handlers;
    std::shared_ptr<Handlers> handlers_;
};

using XpcRemoteConnectionPtr = std::shared_ptr<XpcRemoteConnection>;

/// The service side: the object a helper exports to its clients.
class XpcExportedObject : public std::enable_shared_from_this<XpcExportedObject> {
  public:
    /// Answers a call. Calling it more than once does nothing; dropping it
    /// unanswered sends a reply that the client reports as an invalid reply,
    /// so that a caller never waits for ever.
    class Reply {
      public:
        void operator()(XpcArray arguments) const;

      private:
        friend class XpcExportedObject;
        struct Guard;
        std::shared_ptr<Guard> guard_;
    };

    /// Runs a call. `reply` is empty for methods without a reply.
    using Implementation = std::function<void(const XpcArray& arguments, const Reply& reply)>;

    static std::shared_ptr<XpcExportedObject> create(XpcRemoteInterface exportedInterface);

    /// Supplies the code of one method of the interface.
    void implement(std::string method, Implementation implementation);

    /// Serves the calls of a client: sets the peer connection's event handler
    /// and resumes it. Calls run on the peer's queue. A call that does not fit
    /// the interface ends that client's connection. `ended`, when given, runs
    /// on the peer's queue once the connection has ended (its last event).
    void serve(const XpcConnectionPtr& peer, std::function<void()> ended = {});

  private:
    explicit XpcExportedObject(XpcRemoteInterface exportedInterface)
        : interface_(std::move(exportedInterface)) {}
    void dispatch(const XpcConnectionPtr& peer, const XpcEvent& event);

    XpcRemoteInterface interface_;
    std::mutex mutex_;
    std::map<std::string, Implementation, std::less<>> implementations_;
};

}  // namespace platform
