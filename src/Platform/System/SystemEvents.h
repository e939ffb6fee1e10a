// Requests to the system to shut down, restart or end the user's session.
//
// Nothing in the libraries reaches the system by itself: the program installs
// a SessionManagerEventSender at start-up, and tests use a RecordingEventSender.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

// Four-character event ids.
inline constexpr std::uint32_t kSystemEventShutDown = 0x73687574;  // 'shut'
inline constexpr std::uint32_t kSystemEventRestart = 0x72657374;   // 'rest'
inline constexpr std::uint32_t kSystemEventLogOut = 0x6C6F676F;    // 'logo'

// Results besides 0 (success).
/// Nothing can receive the request: no sender is installed, or the session
/// manager's tool cannot be started.
inline constexpr int kSystemEventNoReceiver = -600;
/// The request was refused, or its event id is not one of the three above.
inline constexpr int kSystemEventNotHandled = -1708;

/// Sends one system event. Implementations are thread-safe.
class SystemEventSender {
  public:
    virtual ~SystemEventSender() = default;
    /// Asks the system for the event; returns 0 when the request was
    /// accepted, else one of the negative codes above.
    virtual int send(std::uint32_t eventId) = 0;
};

/// Asks the session manager: "systemctl poweroff", "systemctl reboot", and
/// "loginctl terminate-session <XDG_SESSION_ID>" (or "loginctl terminate-user
/// <uid>" outside a session). Waits for the tool and maps its exit status.
class SessionManagerEventSender : public SystemEventSender {
  public:
    /// Runs argv (argv[0] looked up in PATH) and returns its exit status, or
    /// -1 when it cannot be started.
    using CommandRunner = std::function<int(const std::vector<std::string>& argv)>;

    /// With no runner, commands run as child processes.
    explicit SessionManagerEventSender(CommandRunner runner = {});
    int send(std::uint32_t eventId) override;

    /// The command for an event; empty for an unknown id.
    static std::vector<std::string> commandFor(std::uint32_t eventId);

  private:
    CommandRunner runner_;
};

/// Records the events it is sent and answers with a chosen result.
class RecordingEventSender : public SystemEventSender {
  public:
    explicit RecordingEventSender(int result = 0) : result_(result) {}
    int send(std::uint32_t eventId) override;
    std::vector<std::uint32_t> events() const;

  private:
    mutable std::mutex mutex_;
    int result_;
    std::vector<std::uint32_t> events_;
};

}  // namespace platform
