#include "Foundation/PelGenericUtils.h"

#include "Foundation/PelLogging.h"

PelGenericUtils& PelGenericUtils::sharedGenUtils() {
    static PelGenericUtils* shared = new PelGenericUtils;
    return *shared;
}

int PelGenericUtils::sendAppleEventToSystemProcess(std::uint32_t eventId) {
    auto sender = systemEventSender();
    if (!sender) {
        PelLogging::logErrorMessageWithFormat(
            "%s: no system-event sender is installed; event 0x%08x not sent", __PRETTY_FUNCTION__,
            eventId);
        return platform::kSystemEventNoReceiver;
    }
    return sender->send(eventId);
}

void PelGenericUtils::setSystemEventSender(std::shared_ptr<platform::SystemEventSender> sender) {
    std::lock_guard lock(mutex_);
    sender_ = std::move(sender);
}

std::shared_ptr<platform::SystemEventSender> PelGenericUtils::systemEventSender() const {
    std::lock_guard lock(mutex_);
    return sender_;
}
