// Records the events of a connection (or the replies of requests) so that a
// test can wait for them with a bounded wait.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "Platform/Xpc/XpcConnection.h"

namespace testsupport {

class XpcEventRecorder : public std::enable_shared_from_this<XpcEventRecorder> {
  public:
    static std::shared_ptr<XpcEventRecorder> create() {
        return std::make_shared<XpcEventRecorder>();
    }

    /// A handler that records into this recorder (and keeps it alive).
    platform::XpcEventHandler handler() {
        return [self = shared_from_this()](const platform::XpcEvent& e) { self->record(e); };
    }

    void record(const platform::XpcEvent& e) {
        std::lock_guard lock(mutex_);
        events_.push_back(e);
        changed_.notify_all();
    }

    /// Waits until at least `count` events have come; false after `timeout`.
    bool waitForCount(std::size_t count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return events_.size() >= count; });
    }

    /// Waits for an error event; false after `timeout`.
    bool waitForError(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            for (const auto& e : events_)
                if (e.isError()) return true;
            return false;
        });
    }

    std::vector<platform::XpcEvent> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<platform::XpcEvent> events_;
};

}  // namespace testsupport
