// Monotonic time and scheduled wake-ups.
//
// Every timer and delayed block of the process reads time from a Clock and
// asks it to call back at a deadline. The real clock is the steady clock with
// a helper thread that waits for the earliest deadline; tests install a fake
// clock (tests/support/FakeClock.h) whose time only moves when told to, so
// hour-long watchdogs run instantly and deterministically.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

using Duration = std::chrono::nanoseconds;
using TimePoint = std::chrono::time_point<std::chrono::steady_clock, Duration>;

/// A monotonic clock that can call back at a deadline.
class Clock {
  public:
    using TaskId = std::uint64_t;

    virtual ~Clock() = default;

    /// The current time on this clock.
    virtual TimePoint now() const = 0;

    /// Arranges for `fire` to be called once now() has reached `deadline` (as
    /// soon as the clock gets to it when it already has; never from inside
    /// scheduleAt() itself). `fire` runs on a
    /// thread of the clock (the real clock's timer thread, or the thread that
    /// advances a fake clock) without any lock of the clock held; it must be
    /// short and not block, since it only hands work to a queue. Returns an id
    /// for cancelScheduled(); ids are never 0.
    virtual TaskId scheduleAt(TimePoint deadline, std::function<void()> fire) = 0;

    /// Forgets a call that has not started yet. Returns false when it already
    /// ran, is running or is unknown; never waits for a running call.
    virtual bool cancelScheduled(TaskId id) = 0;
};

/// The real clock: std::chrono::steady_clock, with one timer thread per clock
/// object, started on the first scheduleAt().
class SteadyClock : public Clock {
  public:
    SteadyClock();
    ~SteadyClock() override;
    SteadyClock(const SteadyClock&) = delete;
    SteadyClock& operator=(const SteadyClock&) = delete;

    TimePoint now() const override;
    TaskId scheduleAt(TimePoint deadline, std::function<void()> fire) override;
    bool cancelScheduled(TaskId id) override;

  private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

/// The process-wide clock that timers, dispatchAfter() and operations use
/// when none is given: a SteadyClock unless replaced. Safe from any thread.
std::shared_ptr<Clock> defaultClock();

/// Replaces the process-wide clock; null restores the real one. Timers keep
/// the clock they were made with, so replace it before creating them.
void setDefaultClock(std::shared_ptr<Clock> clock);

/// Installs a clock as the default for its lifetime and restores the previous
/// one afterwards (for tests).
class ScopedDefaultClock {
  public:
    explicit ScopedDefaultClock(std::shared_ptr<Clock> clock);
    ~ScopedDefaultClock();
    ScopedDefaultClock(const ScopedDefaultClock&) = delete;
    ScopedDefaultClock& operator=(const ScopedDefaultClock&) = delete;

  private:
    std::shared_ptr<Clock> previous_;
};

}  // namespace platform
