// Shut-down, restart and log-out requests to the system.
//
// The requests go through an installed platform::SystemEventSender. None is
// installed by default, so that nothing in the libraries (or their tests) can
// end the session: without one each request fails with
// platform::kSystemEventNoReceiver and an error in the log. The program
// installs a platform::SessionManagerEventSender at start-up.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "Platform/System/SystemEvents.h"

class PelGenericUtils {
  public:
    /// The one shared instance.
    static PelGenericUtils& sharedGenUtils();

    /// Each returns 0 when the system accepted the request, else a negative
    /// code (platform::kSystemEventNoReceiver, platform::kSystemEventNotHandled).
    int performShutdown() { return sendAppleEventToSystemProcess(platform::kSystemEventShutDown); }
    int performRestart() { return sendAppleEventToSystemProcess(platform::kSystemEventRestart); }
    int performLogout() { return sendAppleEventToSystemProcess(platform::kSystemEventLogOut); }

    /// Sends a four-character event id to the system; the result as above.
    int sendAppleEventToSystemProcess(std::uint32_t eventId);

    /// Installs the sender of the requests (null removes it). Thread-safe.
    void setSystemEventSender(std::shared_ptr<platform::SystemEventSender> sender);
    std::shared_ptr<platform::SystemEventSender> systemEventSender() const;

  private:
    mutable std::mutex mutex_;
    std::shared_ptr<platform::SystemEventSender> sender_;
};
