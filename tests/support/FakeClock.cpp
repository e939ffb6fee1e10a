#include "support/FakeClock.h"

#include <chrono>

namespace testsupport {

FakeClock::FakeClock() : now_(platform::TimePoint(std::chrono::hours(1000))) {}

platform::TimePoint FakeClock::now() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return now_;
}

platform::Clock::TaskId FakeClock::scheduleAt(platform::TimePoint deadline,
                                              std::function<void()> fire) {
    std::lock_guard<std::mutex> lock(mutex_);
    TaskId id = nextId_++;
    pending_.emplace(std::make_pair(deadline, id), std::move(fire));
    return id;
}

bool FakeClock::cancelScheduled(TaskId id) {
    std::function<void()> dropped;
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if (it->first.second == id) {
            dropped = std::move(it->second);
            pending_.erase(it);
            return true;
        }
    }
    return false;
}

void FakeClock::advance(platform::Duration d) {
    if (d < platform::Duration::zero()) d = platform::Duration::zero();
    advanceTo(now() + d);
}

void FakeClock::advanceTo(platform::TimePoint t) {
    for (;;) {
        std::function<void()> fire;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (pending_.empty() || pending_.begin()->first.first > t) {
                if (t > now_) now_ = t;
                return;
            }
            auto first = pending_.begin();
            if (first->first.first > now_) now_ = first->first.first;
            fire = std::move(first->second);
            pending_.erase(first);
        }
        fire();
    }
}

std::size_t FakeClock::pendingCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_.size();
}

platform::TimePoint FakeClock::nextDeadline() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_.empty() ? platform::TimePoint::max() : pending_.begin()->first.first;
}

}  // namespace testsupport
