// The main queue: the process-wide serial queue whose blocks run on the main
// thread, whenever that thread drains it.
//
// Nothing drains it by itself. A program without a user interface (and every
// test) drains it through RunLoop; the Qt event loop installs a waker that
// schedules a call to drain() on the GUI thread whenever work arrives.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <limits>
#include <memory>

#include "Platform/Dispatch/DispatchQueue.h"

namespace platform {

class MainQueue : public DispatchQueue {
  public:
    /// The one main queue of the process (label "main-thread").
    static std::shared_ptr<MainQueue> shared();

    ~MainQueue() override;

    const std::string& label() const override;
    /// Enqueues `block`, then calls the waker (outside the queue's lock).
    void async(Block block) override;
    /// True while the calling thread is inside drain(), and on the main
    /// thread whenever no other thread is draining (so sync() from the main
    /// thread runs in place rather than waiting for a drain that cannot come).
    bool isCurrent() const override;

    /// Runs, on the calling thread, at most `maxBlocks` of the blocks that
    /// were pending when it was called, in order; blocks they enqueue wait for
    /// the next drain. Returns the number run. Only one thread drains at a
    /// time: a call made while another thread drains returns 0 at once; a
    /// nested call from a block is a no-op returning 0.
    std::size_t drain(std::size_t maxBlocks = std::numeric_limits<std::size_t>::max());

    /// Waits until a block is pending or `timeout` (real time) has passed.
    /// Returns whether a block is pending.
    bool waitForWork(std::chrono::nanoseconds timeout);

    /// Number of blocks waiting to run.
    std::size_t pendingCount() const;

    /// Installs the function called after every async() (from the enqueuing
    /// thread, possibly concurrently; it must only schedule a drain, not run
    /// one). Null removes it. Also wakes waitForWork() callers, as async()
    /// always does.
    void setWaker(std::function<void()> waker);

    /// Drops every pending block without running it (for tests that leave
    /// work behind).
    void discardPending();

  private:
    MainQueue();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

/// MainQueue::shared() as a DispatchQueuePtr.
DispatchQueuePtr mainQueue();

/// True on the process's initial thread (the one running main()).
bool isMainThread();

}  // namespace platform
