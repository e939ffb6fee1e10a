#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Dispatch/Timer.h"
#include "support/FakeClock.h"
#include "support/QueueHelpers.h"

using namespace std::chrono_literals;
using platform::dispatchAfter;
using platform::mainQueue;
using platform::RunLoop;
using platform::Timer;

class TimerTest : public ::testing::Test {
  protected:
    testsupport::MainQueueGuard guard_;
    testsupport::ScopedFakeClock clock_;
};

TEST_F(TimerTest, DispatchAfterDeliversInDeadlineOrderOnlyOnceDue) {
    std::vector<std::string> order;
    dispatchAfter(mainQueue(), 3s, [&] { order.push_back("3s"); });
    dispatchAfter(mainQueue(), 1s, [&] { order.push_back("1s"); });
    dispatchAfter(mainQueue(), 1s, [&] { order.push_back("1s again"); });
    dispatchAfter(mainQueue(), 0s, [&] { order.push_back("now"); });

    RunLoop::drainPending();
    EXPECT_EQ(order, (std::vector<std::string>{"now"}));

    clock_->advance(999ms);
    RunLoop::drainPending();
    EXPECT_EQ(order.size(), 1u);

    clock_->advance(1ms);
    // Due handlers are enqueued by advance() but run only when the queue drains.
    EXPECT_EQ(order.size(), 1u);
    RunLoop::drainPending();
    EXPECT_EQ(order, (std::vector<std::string>{"now", "1s", "1s again"}));

    clock_->advance(1h);
    RunLoop::drainPending();
    EXPECT_EQ(order.back(), "3s");
    EXPECT_EQ(clock_->pendingCount(), 0u);
}

TEST_F(TimerTest, OneShotAndRepeatingFireOnTheirTargetQueue) {
    auto serial = platform::SerialQueue::create("test.timer.target");
    int oneShot = 0;
    int repeating = 0;
    bool onTarget = true;
    auto once = Timer::create(mainQueue(), [&] { ++oneShot; });
    auto every = Timer::create(serial, [&] {
        ++repeating;
        onTarget = onTarget && serial->isCurrent();
    });
    once->start(10s);
    every->start(10s, 5s, 1s);

    for (int step = 0; step < 4; ++step) {
        clock_->advance(5s);
        RunLoop::drainPending();
        testsupport::flushSerialQueue(serial);
    }
    // At 20 s: the one-shot fired once at 10 s; the repeater at 10, 15, 20.
    EXPECT_EQ(oneShot, 1);
    EXPECT_FALSE(once->isArmed());
    EXPECT_EQ(repeating, 3);
    EXPECT_TRUE(onTarget);
    every->cancel();
}

TEST_F(TimerTest, FiringsWaitingOnABusyQueueAreMerged) {
    int calls = 0;
    auto timer = Timer::create(mainQueue(), [&] { ++calls; });
    timer->start(1s, 1s);
    clock_->advance(10s);  // ten firings come due while the main queue is not drained
    EXPECT_EQ(RunLoop::drainPending(), 1u);
    EXPECT_EQ(calls, 1);
    clock_->advance(1s);
    RunLoop::drainPending();
    EXPECT_EQ(calls, 2);
    timer->cancel();
}

TEST_F(TimerTest, WatchdogResetPushesTheDeadlineAndDropsAFiringNotYetRun) {
    // The shape of the install watchdog: first firing after an hour, then
    // every second, reset by each sign of life, cancelling itself on firing.
    auto serial = platform::SerialQueue::create("test.timer.watchdog");
    int expired = 0;
    std::shared_ptr<Timer> watchdog;
    watchdog = Timer::create(serial, [&] {
        ++expired;
        watchdog->cancel();
    });
    watchdog->start(3600s, 1s, 1s);

    clock_->advance(3599s);
    serial->sync([&] { watchdog->reset(3600s, 1s, 1s); });  // a helper message
    clock_->advance(3599s);
    testsupport::flushSerialQueue(serial);
    EXPECT_EQ(expired, 0);

    // A message is being handled on the queue when the deadline passes: the
    // firing queues up behind it, and the reset it makes drops that firing.
    testsupport::Event inside;
    testsupport::Event release;
    serial->async([&] {
        inside.notify();
        release.waitFor();
        watchdog->reset(3600s, 1s, 1s);
    });
    ASSERT_TRUE(inside.waitFor());
    clock_->advance(1s);
    release.notify();
    testsupport::flushSerialQueue(serial);
    EXPECT_EQ(expired, 0);

    clock_->advance(3600s + 10s);
    testsupport::flushSerialQueue(serial);
    EXPECT_EQ(expired, 1);  // cancelled from its own handler: no further calls
    EXPECT_TRUE(watchdog->isCancelled());
    clock_->advance(10s);
    testsupport::flushSerialQueue(serial);
    EXPECT_EQ(expired, 1);
}

TEST_F(TimerTest, CancelAndStopPreventCallsAlreadyQueued) {
    int calls = 0;
    auto cancelled = Timer::create(mainQueue(), [&] { ++calls; });
    auto stopped = Timer::create(mainQueue(), [&] { ++calls; });
    cancelled->start(1s);
    stopped->start(1s, 1s);
    clock_->advance(1s);
    ASSERT_EQ(platform::MainQueue::shared()->pendingCount(), 2u);
    cancelled->cancel();
    stopped->stop();
    RunLoop::drainPending();
    EXPECT_EQ(calls, 0);

    cancelled->start(1s);  // a cancelled timer stays cancelled
    stopped->start(1s);    // a stopped one can be armed again
    clock_->advance(1s);
    RunLoop::drainPending();
    EXPECT_EQ(calls, 1);
}

TEST_F(TimerTest, LeewayDoesNotDelayAFakeClockFiring) {
    int calls = 0;
    auto timer = Timer::create(mainQueue(), [&] { ++calls; });
    timer->start(180s, 180s, 1s);
    clock_->advance(180s);
    RunLoop::drainPending();
    EXPECT_EQ(calls, 1);
    timer->cancel();
}

TEST(TimerRealClockTest, FiresOnTheRealClock) {
    auto serial = platform::SerialQueue::create("test.timer.real");
    testsupport::Event fired;
    auto timer = Timer::create(serial, [&] { fired.notify(); });
    timer->start(1ms, 1ms);
    EXPECT_TRUE(fired.waitFor(3));
    timer->cancel();
    testsupport::flushSerialQueue(serial);  // a call already running ends first
    testsupport::Event after;
    dispatchAfter(serial, 1ms, [&] { after.notify(); });
    EXPECT_TRUE(after.waitFor());
}
