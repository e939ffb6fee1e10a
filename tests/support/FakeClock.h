// A clock for tests: time stands still until advance() moves it.
//
// advance(d) moves time forward in steps, from deadline to deadline: at each
// due deadline (earliest first; equal deadlines in the order they were
// scheduled) it sets now() to that deadline and runs the scheduled call on the
// calling thread. Timers and dispatchAfter() use that call only to enqueue
// their handler on its target queue, so when advance() returns every handler
// due up to the new time has been enqueued, in deadline order, but has not
// necessarily run yet: drain the target queue to observe it
// (RunLoop::drainPending() for the main queue, queue->sync({}) for a serial
// queue). A repeating timer comes due once per interval inside one advance(),
// merged into one call while its previous one is still waiting on its queue.
// scheduleAt() never runs anything itself: a call whose deadline has already
// passed runs at the next advance() (advance(0) included).
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "Platform/Dispatch/Clock.h"

namespace testsupport {

class FakeClock : public platform::Clock {
  public:
    /// Starts at an arbitrary fixed time (well away from zero).
    FakeClock();

    platform::TimePoint now() const override;
    TaskId scheduleAt(platform::TimePoint deadline, std::function<void()> fire) override;
    bool cancelScheduled(TaskId id) override;

    /// Moves time forward by `d` (negative counts as zero), running every
    /// scheduled call that comes due, including ones scheduled by those calls.
    void advance(platform::Duration d);
    /// Moves time to `t` when it is later than now().
    void advanceTo(platform::TimePoint t);
    /// Number of calls scheduled and not yet run.
    std::size_t pendingCount() const;
    /// The earliest pending deadline, or TimePoint::max() when none.
    platform::TimePoint nextDeadline() const;

  private:
    mutable std::mutex mutex_;
    platform::TimePoint now_;
    TaskId nextId_ = 1;
    // Ordered by (deadline, id): earliest first, ties in scheduling order.
    std::map<std::pair<platform::TimePoint, TaskId>, std::function<void()>> pending_;
};

/// A FakeClock installed as the process default for the object's lifetime.
class ScopedFakeClock {
  public:
    ScopedFakeClock() : clock_(std::make_shared<FakeClock>()), scope_(clock_) {}
    FakeClock& operator*() const { return *clock_; }
    FakeClock* operator->() const { return clock_.get(); }
    const std::shared_ptr<FakeClock>& get() const { return clock_; }

  private:
    std::shared_ptr<FakeClock> clock_;
    platform::ScopedDefaultClock scope_;
};

}  // namespace testsupport
