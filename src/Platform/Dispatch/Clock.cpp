#include "Platform/Dispatch/Clock.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Dispatch/ThreadName.h"

namespace platform {

// The timer thread waits for the earliest deadline and runs the calls that
// are due with the lock released. It owns the Impl, so a clock dropped from
// inside one of its own calls does not pull the state from under the thread.
struct SteadyClock::Impl {
    std::mutex mutex;
    std::condition_variable condition;
    std::map<std::pair<TimePoint, TaskId>, std::function<void()>> pending;
    std::unordered_map<TaskId, TimePoint> deadlines;
    TaskId nextId = 1;
    bool stopping = false;
    std::thread thread;

    static void threadLoop(const std::shared_ptr<Impl>& impl);
};

void SteadyClock::Impl::threadLoop(const std::shared_ptr<Impl>& impl) {
    setCurrentThreadName("pel.timer");
    std::unique_lock<std::mutex> lock(impl->mutex);
    while (!impl->stopping) {
        if (impl->pending.empty()) {
            impl->condition.wait(lock);
            continue;
        }
        auto first = impl->pending.begin();
        const TimePoint deadline = first->first.first;
        if (std::chrono::steady_clock::now() < deadline) {
            impl->condition.wait_until(lock, deadline);
            continue;
        }
        std::function<void()> fire = std::move(first->second);
        impl->deadlines.erase(first->first.second);
        impl->pending.erase(first);
        lock.unlock();
        runCatchingExceptions("timer", fire);
        fire = nullptr;
        lock.lock();
    }
}

SteadyClock::SteadyClock() : impl_(std::make_shared<Impl>()) {}

SteadyClock::~SteadyClock() {
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->stopping = true;
        thread = std::move(impl_->thread);
    }
    impl_->condition.notify_all();
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id())
        thread.detach();
    else
        thread.join();
}

TimePoint SteadyClock::now() const {
    return std::chrono::time_point_cast<Duration>(std::chrono::steady_clock::now());
}

Clock::TaskId SteadyClock::scheduleAt(TimePoint deadline, std::function<void()> fire) {
    TaskId id;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        id = impl_->nextId++;
        impl_->pending.emplace(std::make_pair(deadline, id), std::move(fire));
        impl_->deadlines.emplace(id, deadline);
        if (!impl_->thread.joinable() && !impl_->stopping) {
            auto impl = impl_;
            impl_->thread = std::thread([impl] { Impl::threadLoop(impl); });
        }
    }
    impl_->condition.notify_all();
    return id;
}

bool SteadyClock::cancelScheduled(TaskId id) {
    std::function<void()> dropped;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto it = impl_->deadlines.find(id);
    if (it == impl_->deadlines.end()) return false;
    auto entry = impl_->pending.find(std::make_pair(it->second, id));
    dropped = std::move(entry->second);  // destroyed after the lock is released
    impl_->pending.erase(entry);
    impl_->deadlines.erase(it);
    return true;
}

namespace {

std::mutex& defaultClockMutex() {
    static std::mutex m;
    return m;
}

std::shared_ptr<Clock>& defaultClockSlot() {
    // Never destroyed: timers may ask for the clock until the process ends.
    static std::shared_ptr<Clock>* slot = new std::shared_ptr<Clock>();
    return *slot;
}

std::shared_ptr<Clock> realClock() {
    static std::shared_ptr<Clock>* clock =
        new std::shared_ptr<Clock>(std::make_shared<SteadyClock>());
    return *clock;
}

}  // namespace

std::shared_ptr<Clock> defaultClock() {
    std::lock_guard<std::mutex> lock(defaultClockMutex());
    std::shared_ptr<Clock>& slot = defaultClockSlot();
    if (!slot) slot = realClock();
    return slot;
}

void setDefaultClock(std::shared_ptr<Clock> clock) {
    std::lock_guard<std::mutex> lock(defaultClockMutex());
    defaultClockSlot() = clock ? std::move(clock) : realClock();
}

ScopedDefaultClock::ScopedDefaultClock(std::shared_ptr<Clock> clock) : previous_(defaultClock()) {
    setDefaultClock(std::move(clock));
}

ScopedDefaultClock::~ScopedDefaultClock() { setDefaultClock(std::move(previous_)); }

}  // namespace platform
