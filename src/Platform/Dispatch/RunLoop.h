// Driving the main queue without a user-interface event loop: programs that
// have no window and the tests run the main queue's blocks through RunLoop on
// the thread of their choice (normally the main thread).
//
// Timeouts are real (steady-clock) time: they bound how long a test may hang
// and never decide what a test observes.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

namespace platform {

class RunLoop {
  public:
    /// Runs main-queue blocks on the calling thread until `done()` holds
    /// (tested before the first block, after each one, and every few
    /// milliseconds while idle, so it may depend on other threads) or
    /// `timeout` has passed. Returns the final value of `done()`.
    static bool runUntil(const std::function<bool()>& done,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10));

    /// Runs main-queue blocks, waiting for them as needed, until `count`
    /// blocks have run or `timeout` has passed. Returns the number run.
    static std::size_t runBlocks(std::size_t count,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(10));

    /// Runs every block that is pending, including blocks that those enqueue,
    /// until the main queue is empty; never waits. Returns the number run.
    static std::size_t drainPending();

    /// Runs main-queue blocks until stop() is called (from any thread or from
    /// a block). Returns after the block that called stop().
    static void run();

    /// Makes the current (or next) run() return. Safe from any thread.
    static void stop();
};

}  // namespace platform
