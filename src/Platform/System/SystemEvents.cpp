#include "Platform/System/SystemEvents.h"

namespace platform {

int RecordingEventSender::send(std::uint32_t eventId) {
    std::lock_guard lock(mutex_);
    events_.push_back(eventId);
    return result_;
}

std::vector<std::uint32_t> RecordingEventSender::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

}  // namespace platform
