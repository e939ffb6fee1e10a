#include "Platform/Dispatch/RunLoop.h"

#include <algorithm>
#include <atomic>

#include "Platform/Dispatch/MainQueue.h"

namespace platform {

namespace {

std::atomic<bool> gStopRequested{false};
std::atomic<int> gRunning{0};

constexpr std::chrono::nanoseconds kPredicatePoll = std::chrono::milliseconds(2);

using SteadyTime = std::chrono::steady_clock::time_point;

std::chrono::nanoseconds remaining(SteadyTime deadline) {
    auto left = deadline - std::chrono::steady_clock::now();
    return left > std::chrono::nanoseconds::zero() ? left : std::chrono::nanoseconds::zero();
}

}  // namespace

bool RunLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const SteadyTime deadline = std::chrono::steady_clock::now() + timeout;
    MainQueue& queue = *MainQueue::shared();
    for (;;) {
        if (done()) return true;
        if (queue.drain(1) > 0) continue;
        auto left = remaining(deadline);
        if (left == std::chrono::nanoseconds::zero()) return done();
        // `done` may turn true on another thread without any block arriving;
        // look again now and then.
        queue.waitForWork(std::min<std::chrono::nanoseconds>(left, kPredicatePoll));
    }
}

std::size_t RunLoop::runBlocks(std::size_t count, std::chrono::milliseconds timeout) {
    const SteadyTime deadline = std::chrono::steady_clock::now() + timeout;
    MainQueue& queue = *MainQueue::shared();
    std::size_t ran = 0;
    while (ran < count) {
        if (queue.drain(1) > 0) {
            ++ran;
            continue;
        }
        auto left = remaining(deadline);
        if (left == std::chrono::nanoseconds::zero()) break;
        queue.waitForWork(left);
    }
    return ran;
}

std::size_t RunLoop::drainPending() {
    MainQueue& queue = *MainQueue::shared();
    std::size_t total = 0;
    for (;;) {
        std::size_t ran = queue.drain();
        total += ran;
        if (ran == 0) return total;
    }
}

void RunLoop::run() {
    MainQueue& queue = *MainQueue::shared();
    ++gRunning;
    while (!gStopRequested.exchange(false)) {
        if (queue.drain(1) == 0) queue.waitForWork(std::chrono::milliseconds(100));
    }
    --gRunning;
}

void RunLoop::stop() {
    gStopRequested.store(true);
    // Wake a waiting run(); the empty block costs nothing to run.
    if (gRunning.load() > 0) MainQueue::shared()->async([] {});
}

}  // namespace platform
