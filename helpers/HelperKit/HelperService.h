// What the privileged helper programs share: the start-up checks (started by
// root, the "--client-uid UID" argument, no path root from an ordinary user),
// opening what a client names with the client's rights, a log of refusals
// that an outsider cannot grow at will, and a service that serves one client
// at a time, which must be root or the user the helper was blessed for, and
// ends the program a while after its last client left.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Dispatch/Timer.h"
#include "Platform/System/UniqueFd.h"
#include "Platform/System/UserFileAccess.h"
#include "Platform/Xpc/XpcConnection.h"
#include "Platform/Xpc/XpcListener.h"

namespace helperkit {

/// Writes "<label>: <text>" to standard error.
void log(const std::string& label, const std::string& text);

/// True when an ordinary user started this program with raised rights:
/// through pkexec (PKEXEC_UID is set), or set-user-ID or set-group-ID (real
/// and effective ids differ).
bool raisedForAnotherUser();

/// Whether the program may use a path root: `requested` (given as an
/// argument; "" for none) or the environment's PEL_PATH_ROOT. A program that
/// an ordinary user started with raised rights takes none, as its caller
/// would choose where root writes and what it runs: it logs why and answers
/// false. (The root is for tests that run the program as root.)
bool pathRootAllowed(const std::string& label, std::string_view requested = {});

/// The uid given by "--client-uid" (0 when absent); nullopt, after logging,
/// when the program was not started by root (real and effective uid 0) or
/// when pathRootAllowed() refuses.
std::optional<uid_t> startupCheck(const std::string& label, int argc, char** argv);

/// The identity a client's paths are opened with: the message's sender.
inline platform::UserIdentity clientIdentity(const platform::XpcPeerCredentials& peer) {
    return {peer.uid, peer.gid, peer.groups};
}

/// Opens the regular file a client names at `path`, with the client's rights
/// and never through a link at its last step nor a magic link anywhere (a
/// fifo cannot hold the open): what the client cannot open, a helper does
/// not read, copy or describe. Invalid when refused.
platform::UniqueFd openClientFile(const platform::UserIdentity& client, const std::string& path);

/// The same for the file `relative` inside the client's folder `folder`:
/// the walk never leaves the folder, whatever links it meets.
platform::UniqueFd openClientFileInside(const platform::UserIdentity& client,
                                        const std::string& folder, const std::string& relative);

/// Opens the system folder `systemPath` (absolute, under the path root),
/// one folder at a time from the root and never through a link: root acts
/// on what it holds, whoever else can write on the way. With `make`, missing
/// folders are made (mode 0755, whatever the umask). Invalid, with errno
/// set, when a part is a link, ".." or no folder, or cannot be made.
platform::UniqueFd openSystemFolder(const std::string& systemPath, bool make = false);

/// Puts a file `name` holding `bytes` with mode `mode` (whatever the umask)
/// in the open folder `folder`, replacing what was there in one step: it is
/// written under a fresh name beside it and renamed into place. False, with
/// errno set, when it cannot be.
bool replaceFileIn(int folder, const std::string& name, const std::string& bytes, mode_t mode);

/// Keeps the lines about refused connections from growing root's log
/// without limit: the first `perInterval` refusals of each interval are
/// logged, the others only counted, and the count goes out as one line
/// "N refused connections not logged" once an interval with unlogged
/// refusals has passed, before the next line (or at flush()). What it
/// answers depends on nothing but the times given and what it was told.
class RefusalLog {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kPerInterval = 5;
    static constexpr Clock::duration kInterval = std::chrono::minutes(1);

    explicit RefusalLog(std::size_t perInterval = kPerInterval,
                        Clock::duration interval = kInterval)
        : perInterval_(perInterval), interval_(interval) {}

    /// The lines to write for a refusal described by `line` at `now`: none,
    /// the line, or the count of those not logged followed by the line.
    std::vector<std::string> note(Clock::time_point now, std::string line);
    /// The count of refusals not logged yet as its line, or nothing.
    std::optional<std::string> flush();

  private:
    std::size_t perInterval_;
    Clock::duration interval_;
    std::optional<Clock::time_point> intervalStart_;
    std::size_t logged_ = 0;
    std::uint64_t unlogged_ = 0;
};

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
    /// The user the helper serves besides root.
    uid_t clientUid() const { return clientUid_; }
    void log(const std::string& text) const { helperkit::log(label_, text); }
    /// Logs a refused connection, within the limits of a RefusalLog.
    void logRefusal(const std::string& text);

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
    std::mutex refusalsMutex_;
    RefusalLog refusals_;
    std::mutex mutex_;
    std::condition_variable doneChanged_;
    bool done_ = false;
};

}  // namespace helperkit
