// The kernel-module helper's service: the "loadKext:withReply:" and
// "shutdownHelper" calls of any local client, and the connections it serves.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "Platform/Values/Error.h"
#include "Platform/Xpc/XpcConnection.h"
#include "Platform/Xpc/XpcListener.h"

namespace kexthelper {

/// Loads the product's kernel module from `path` (which must be the
/// product's bundle) and answers 0, the policy code when the approval list
/// holds it back, or the errno or modprobe's exit status of a failure.
std::int64_t loadKext(const std::string& path);

class KextHelperService {
  public:
    /// Root and `clientUid` may shut the helper down.
    explicit KextHelperService(uid_t clientUid);
    ~KextHelperService();
    KextHelperService(const KextHelperService&) = delete;
    KextHelperService& operator=(const KextHelperService&) = delete;

    /// Listens on the helper's System-scope service.
    bool start(platform::Error* error);
    /// Blocks until a client that may do so asked the helper to shut down.
    void waitForShutdown();
    /// Stops listening and gives the replies already made to the clients
    /// still connected a moment to leave.
    void finish();
    /// The connections being served now.
    std::size_t connectionCount() const;

  private:
    // What the connections' handlers share with the service; they may run
    // a while after it is gone.
    struct State;

    uid_t clientUid_;
    platform::XpcListenerPtr listener_;
    std::shared_ptr<State> state_;
};

}  // namespace kexthelper
