// What the privileged helper programs share: the start-up checks (root, the
// "--client-uid UID" argument) and a service that serves one client at a
// time, which must be root or the user the helper was blessed for, and ends
// the program a while after its last client left.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Dispatch/Timer.h"
#include "Platform/Xpc/XpcConnection.h"
#include "Platform/Xpc/XpcListener.h"

namespace helperkit {

/// Writes "<label>: <text>" to standard error.
void log(const std::string& label, const std::string& text);

/// The uid given by "--client-uid" (0 when absent); nullopt, after logging,
/// when the program does not run as root.
std::optional<uid_t> startupCheck(const std::string& label, int argc, char** argv);

class HelperService {
  public:
    /// Handles one message of the client, on queue().
    using MessageHandler =
        std::function<void(const platform::XpcConnectionPtr& peer, const platform::XpcEvent&)>;

    HelperService(std::string label, uid_t clientUid,
                  std::chrono::seconds idleExit = std::chrono::seconds(60));
    ~HelperService();

    /// Listens on the System-scope service of the label.
    bool start(MessageHandler handler);
    /// Blocks until the helper has been idle for the idle time, or stop().
    void waitUntilDone();
    /// Ends the service now.
    void stop();
    /// Runs before waitUntilDone() returns (to finish work under way).
    void setBeforeExit(std::function<void()> block) { beforeExit_ = std::move(block); }

    const std::shared_ptr<platform::SerialQueue>& queue() const { return queue_; }
    const std::string& label() const { return label_; }
    void log(const std::string& text) const { helperkit::log(label_, text); }

  private:
    bool allowed(uid_t uid) const { return uid == 0 || uid == clientUid_; }
    void accept(const platform::XpcConnectionPtr& peer);
    void finish();

    std::string label_;
    uid_t clientUid_;
    std::chrono::seconds idleExit_;
    MessageHandler handler_;
    std::function<void()> beforeExit_;
    std::shared_ptr<platform::SerialQueue> queue_;
    platform::XpcListenerPtr listener_;
    platform::XpcConnectionPtr peer_;
    platform::TimerPtr idle_;
    std::mutex mutex_;
    std::condition_variable doneChanged_;
    bool done_ = false;
};

}  // namespace helperkit
