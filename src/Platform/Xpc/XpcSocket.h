// Unix-domain stream sockets under the messaging layer: connecting,
// listening, peer credentials and a waker for threads in poll().
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "Platform/System/UniqueFd.h"
#include "Platform/Xpc/XpcWire.h"

namespace platform {

/// Who is at the other end of a connected socket, as the kernel reports it.
struct XpcPeerCredentials {
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    pid_t pid = 0;
    /// The supplementary groups (SO_PEERGROUPS); empty when unknown.
    std::vector<gid_t> groups;
};

/// Connects to the listening socket at `path`. Answers a non-blocking,
/// close-on-exec socket, or an invalid fd with the errno value in `*err`
/// (ENOENT and ECONNREFUSED mean nobody listens there yet).
UniqueFd xpcConnectSocket(const std::string& path, int* err);

/// Binds a non-blocking listening socket at `path`, creating the missing
/// parent folders (the last one with `folderMode`) and giving the socket file
/// `socketMode`. A socket file left by a listener that has gone away is
/// replaced; a live listener there gives EADDRINUSE, any other kind of file
/// EEXIST. Invalid fd and `*err` set on failure.
UniqueFd xpcListenSocket(const std::string& path, mode_t folderMode, mode_t socketMode, int* err);

/// Reads the peer's credentials (SO_PEERCRED, and SO_PEERGROUPS when the
/// kernel has it). False when unavailable.
bool xpcPeerCredentials(int fd, XpcPeerCredentials& out);

/// An eventfd that wakes a thread waiting in poll().
class XpcWakeup {
  public:
    XpcWakeup();
    int fd() const { return fd_.get(); }
    /// Makes fd() readable. Safe from any thread.
    void signal();
    /// Makes fd() unreadable again.
    void clear();

  private:
    UniqueFd fd_;
};

}  // namespace platform
