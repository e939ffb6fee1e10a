#include "Platform/Dispatch/Timer.h"

#include <mutex>

namespace platform {

void dispatchAfter(const DispatchQueuePtr& queue, Duration delay, Block block,
                   std::shared_ptr<Clock> clock) {
    if (!queue || !block) return;
    if (delay <= Duration::zero()) {
        queue->async(std::move(block));
        return;
    }
    if (!clock) clock = defaultClock();
    clock->scheduleAt(clock->now() + delay, [queue, block = std::move(block)]() mutable {
        queue->async(std::move(block));
    });
}

// Every arming gets a new generation. A scheduled wake-up or an enqueued
// handler call carries the generation it was made for and does nothing when
// the timer has been re-armed, stopped or cancelled since.
struct Timer::State : std::enable_shared_from_this<Timer::State> {
    std::mutex mutex;
    DispatchQueuePtr target;
    Block handler;
    std::shared_ptr<Clock> clock;
    std::uint64_t generation = 0;
    Clock::TaskId task = 0;
    TimePoint deadline{};
    Duration interval{};
    bool armed = false;
    bool cancelled = false;
    bool callPending = false;

    // Called with the mutex held.
    void scheduleLocked() {
        std::weak_ptr<State> weak = weak_from_this();
        const std::uint64_t gen = generation;
        task = clock->scheduleAt(deadline, [weak, gen] {
            if (auto state = weak.lock()) state->fire(gen);
        });
    }

    void disarmLocked() {
        ++generation;
        armed = false;
        callPending = false;
        if (task != 0) clock->cancelScheduled(task);
        task = 0;
    }

    void fire(std::uint64_t gen) {
        DispatchQueuePtr queue;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (cancelled || !armed || gen != generation) return;
            task = 0;
            if (interval > Duration::zero()) {
                // Next deadline strictly after now; intervals missed while the
                // process was not running are merged into this firing.
                const TimePoint now = clock->now();
                deadline += interval;
                if (deadline <= now) deadline += ((now - deadline) / interval + 1) * interval;
                scheduleLocked();
            } else {
                armed = false;
            }
            if (callPending) return;
            callPending = true;
            queue = target;
        }
        std::weak_ptr<State> weak = weak_from_this();
        queue->async([weak, gen] {
            if (auto state = weak.lock()) state->call(gen);
        });
    }

    void call(std::uint64_t gen) {
        Block toRun;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (cancelled || gen != generation) return;
            callPending = false;
            toRun = handler;
        }
        toRun();
    }
};

std::shared_ptr<Timer> Timer::create(DispatchQueuePtr target, Block handler,
                                     std::shared_ptr<Clock> clock) {
    auto state = std::make_shared<State>();
    state->target = target ? std::move(target) : globalQueue();
    state->handler = handler ? std::move(handler) : Block([] {});
    state->clock = clock ? std::move(clock) : defaultClock();
    return std::shared_ptr<Timer>(new Timer(std::move(state)));
}

Timer::Timer(std::shared_ptr<State> state) : state_(std::move(state)) {}

Timer::~Timer() { cancel(); }

void Timer::start(Duration start, Duration interval, Duration /*leeway*/) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->cancelled) return;
    state_->disarmLocked();
    state_->armed = true;
    state_->interval = interval > Duration::zero() ? interval : Duration::zero();
    state_->deadline = state_->clock->now() + (start > Duration::zero() ? start : Duration::zero());
    state_->scheduleLocked();
}

void Timer::stop() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->cancelled) return;
    state_->disarmLocked();
}

void Timer::cancel() {
    Block released;
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->cancelled) return;
    state_->disarmLocked();
    state_->cancelled = true;
    // Let go of whatever the handler captured; a call already running holds
    // its own copy.
    released = std::move(state_->handler);
}

bool Timer::isCancelled() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->cancelled;
}

bool Timer::isArmed() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->armed;
}

}  // namespace platform
