// The service side: a helper program (or a test's fake service) listens under
// its service name and gets one peer connection per client.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/System/SystemLog.h"
#include "Platform/Values/Error.h"
#include "Platform/Xpc/XpcConnection.h"
#include "Platform/Xpc/XpcServiceName.h"

namespace platform {

/// Accepts clients of one service. Each client becomes a peer connection
/// (an XpcConnection) handed to the new-connection handler, which sets the
/// peer's event handler and resumes it. Messages from the peer carry its uid
/// and pid (XpcEvent::peer()); the service answers requests with
/// XpcConnection::reply() and may send messages of its own at any time.
///
/// Out of descriptors, the listener stops accepting for a short, growing
/// while (clients wait in the backlog) instead of retrying at once, and says
/// so in the log at most once a minute; it serves again as soon as
/// descriptors free up. A client is only accepted when there is a descriptor
/// to serve it with, so none is taken only to be closed again.
class XpcListener {
  public:
    /// How many connections one user may hold open at once to a System-scope
    /// service by default; further clients of that user are closed at once.
    static constexpr std::size_t kDefaultMaxConnectionsPerUser = 64;

    /// Listens for `serviceName` in the folder of `scope`: the system folder
    /// for services that run as root (their socket is open to every user,
    /// who is told apart by the peer credentials), the user's runtime folder
    /// otherwise (owner only). Answers null and fills `error` for an invalid
    /// name (kXpcErrorInvalidServiceName) or when the socket cannot be made
    /// (kXpcErrorListenFailed, with the POSIX error as underlying error; a
    /// live listener of the same name gives EADDRINUSE). `queue` null means
    /// a serial queue of the listener's own.
    static std::shared_ptr<XpcListener> create(std::string_view serviceName, XpcServiceScope scope,
                                               DispatchQueuePtr queue, Error* error = nullptr);
    /// The same for a socket path.
    static std::shared_ptr<XpcListener> createForSocketPath(std::string socketPath,
                                                            DispatchQueuePtr queue,
                                                            Error* error = nullptr);

    /// Cancels the listener.
    ~XpcListener();
    XpcListener(const XpcListener&) = delete;
    XpcListener& operator=(const XpcListener&) = delete;

    /// Called on the listener's queue with each new peer connection, which is
    /// not resumed yet; its events go to its own serial queue unless the
    /// handler gives it a target queue. A peer connection that nobody keeps
    /// is cancelled when its last reference goes away.
    void setNewConnectionHandler(std::function<void(std::shared_ptr<XpcConnection>)> handler);

    /// Replaces the limit of open connections per peer user (0: none; the
    /// default is kDefaultMaxConnectionsPerUser for System-scope services
    /// and none otherwise). Applies to clients accepted from then on.
    void setMaxConnectionsPerUser(std::size_t count);

    /// Where listeners log (by default the system log, copied to standard
    /// error); null restores the default. Process-wide, for tests.
    static void setLogSink(std::shared_ptr<LogSink> sink);

    /// Starts accepting clients. Clients that connect earlier wait.
    void resume();

    /// Stops accepting and removes the socket file. Peer connections already
    /// handed out stay open. Safe from any thread; later calls do nothing.
    void cancel();

    const std::string& socketPath() const;

  private:
    struct State;
    explicit XpcListener(std::shared_ptr<State> state);
    static std::shared_ptr<XpcListener> listen(std::string serviceName, std::string path,
                                               mode_t folderMode, mode_t socketMode,
                                               DispatchQueuePtr queue, Error* error);
    std::shared_ptr<State> state_;
};

using XpcListenerPtr = std::shared_ptr<XpcListener>;

}  // namespace platform
