// Timers and delayed blocks.
//
// A Timer is a one-shot or repeating timer whose handler runs on a target
// queue; dispatchAfter() runs one block on a queue after a delay. Both read
// time from a Clock (the process default unless given), so a fake clock
// drives them in tests.
#pragma once

#include <memory>

#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/DispatchQueue.h"

namespace platform {

/// Enqueues `block` on `queue` once `delay` has passed on `clock` (the default
/// clock when null). A delay of zero or less enqueues at once.
void dispatchAfter(const DispatchQueuePtr& queue, Duration delay, Block block,
                   std::shared_ptr<Clock> clock = nullptr);

/// A timer whose handler runs on a target queue.
///
/// Made idle; start() (or its alias reset()) arms it: the first firing comes
/// `start` after the call, later ones every `interval` (a zero interval makes
/// it one-shot). If the target queue is busy, firings that come due while one
/// is still waiting to run are merged into it, as with a dispatch timer.
///
/// Cancellation: after cancel() returns, no handler call starts any more; a
/// call already running (on another thread) finishes. cancel() never waits,
/// so it is safe from the handler itself. Re-arming drops a firing that is
/// due but has not run yet, so a watchdog reset on its own queue is never
/// followed by the firing it just postponed.
///
/// Destroying the Timer cancels it. A handler that captures its own TimerPtr
/// keeps the timer alive until cancel() is called.
class Timer : public std::enable_shared_from_this<Timer> {
  public:
    /// A new idle timer. `clock` null means the default clock.
    static std::shared_ptr<Timer> create(DispatchQueuePtr target, Block handler,
                                         std::shared_ptr<Clock> clock = nullptr);

    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    /// Arms (or re-arms) the timer: first firing after `start`, then every
    /// `interval` unless it is zero. `leeway` is how late a firing may come to
    /// save wake-ups; the real clock fires on time anyway and the fake clock
    /// ignores it. Does nothing after cancel().
    void start(Duration start, Duration interval = Duration::zero(),
               Duration leeway = Duration::zero());

    /// The same as start(): pushes the next firing to `start` from now.
    void reset(Duration start, Duration interval = Duration::zero(),
               Duration leeway = Duration::zero()) {
        this->start(start, interval, leeway);
    }

    /// Stops firing until start() is called again; keeps the timer usable.
    void stop();

    /// Stops the timer for good.
    void cancel();

    bool isCancelled() const;
    /// True while armed (started, not stopped, not cancelled, and for a
    /// one-shot timer not yet fired).
    bool isArmed() const;

  private:
    struct State;
    explicit Timer(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

using TimerPtr = std::shared_ptr<Timer>;

}  // namespace platform
