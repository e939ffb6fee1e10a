// Helpers for tests of queued and timed work: bounded waits without sleeping,
// a recorder of exceptions thrown by blocks, and a guard that leaves the main
// queue empty for the next test.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/Dispatch/DispatchQueue.h"

namespace testsupport {

/// A counter that threads bump and tests wait on with a bound.
class Event {
  public:
    void notify(std::size_t n = 1);
    /// Waits until at least `count` notifications have come, at most `timeout`
    /// (a bound against hangs, not a timing assertion). Returns whether they came.
    bool waitFor(std::size_t count = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    std::size_t count() const;

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable condition_;
    std::size_t count_ = 0;
};

/// Records exceptions thrown by blocks while it exists (instead of printing
/// them), then restores the default handler.
class BlockExceptionRecorder {
  public:
    BlockExceptionRecorder();
    ~BlockExceptionRecorder();
    BlockExceptionRecorder(const BlockExceptionRecorder&) = delete;
    BlockExceptionRecorder& operator=(const BlockExceptionRecorder&) = delete;

    struct Record {
        std::string label;
        std::string what;
    };
    std::vector<Record> records() const;
    /// Waits (bounded) until `count` exceptions have been recorded.
    bool waitFor(std::size_t count) const { return event_.waitFor(count); }

  private:
    mutable std::mutex mutex_;
    std::vector<Record> records_;
    Event event_;
};

/// Runs a no-op through `queue` with sync(), so every block enqueued before
/// has run (serial queues only).
void flushSerialQueue(const platform::DispatchQueuePtr& queue);

/// Drops whatever a test left on the main queue, at the start and the end of
/// its scope.
class MainQueueGuard {
  public:
    MainQueueGuard();
    ~MainQueueGuard();
    MainQueueGuard(const MainQueueGuard&) = delete;
    MainQueueGuard& operator=(const MainQueueGuard&) = delete;
};

}  // namespace testsupport
