#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Platform/Dispatch/SerialQueue.h"
#include "support/QueueHelpers.h"
#include "support/WaitFlag.h"

using platform::SerialQueue;
using testsupport::Event;

TEST(SerialQueueTest, KeepsEachProducersOrderAndNeverOverlaps) {
    auto queue = SerialQueue::create("test.serial.order");
    constexpr int kProducers = 8;
    constexpr int kItems = 500;
    std::vector<std::vector<int>> seen(kProducers);  // touched only on the queue
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};

    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kItems; ++i) {
                queue->async([&, p, i] {
                    if (inside.fetch_add(1) != 0) overlapped = true;
                    seen[p].push_back(i);
                    inside.fetch_sub(1);
                });
            }
        });
    }
    for (auto& t : producers) t.join();
    testsupport::flushSerialQueue(queue);

    EXPECT_FALSE(overlapped);
    for (int p = 0; p < kProducers; ++p) {
        ASSERT_EQ(seen[p].size(), static_cast<size_t>(kItems));
        for (int i = 0; i < kItems; ++i) ASSERT_EQ(seen[p][i], i) << "producer " << p;
    }
}

TEST(SerialQueueTest, SyncRunsOnTheQueueAfterEarlierBlocksAndInlineFromItself) {
    auto queue = SerialQueue::create("test.serial.sync");
    std::vector<int> order;
    queue->async([&] { order.push_back(1); });

    std::thread::id syncThread;
    bool nestedRan = false;
    std::thread other([&] {
        queue->sync([&] {
            order.push_back(2);
            syncThread = std::this_thread::get_id();
            EXPECT_TRUE(queue->isCurrent());
            // From its own queue sync must not deadlock: it runs in place.
            queue->sync([&] { nestedRan = queue->isCurrent(); });
        });
    });
    other.join();

    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_NE(syncThread, std::this_thread::get_id());
    EXPECT_TRUE(nestedRan);
    EXPECT_FALSE(queue->isCurrent());
}

TEST(SerialQueueTest, PendingBlocksStillRunAfterTheLastReferenceIsDropped) {
    Event gate;
    Event ran;
    std::vector<int> order;  // touched only on the queue, read after `ran`
    {
        auto queue = SerialQueue::create("test.serial.drop");
        queue->async([&] { gate.waitFor(); });
        for (int i = 0; i < 100; ++i)
            queue->async([&, i] {
                order.push_back(i);
                ran.notify();
            });
    }
    gate.notify();
    ASSERT_TRUE(ran.waitFor(100));
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
}

TEST(SerialQueueTest, LastReferenceReleasedByItsOwnBlockIsSafe) {
    Event gate;
    Event done;
    std::atomic<int> afterRelease{0};
    auto holder =
        std::make_shared<std::shared_ptr<SerialQueue>>(SerialQueue::create("test.serial.self"));
    SerialQueue& queue = **holder;
    queue.async([&] { gate.waitFor(); });
    // The caller's last reference travels into a block and dies there; the
    // blocks behind it still run, and the queue then ends on its own thread
    // (LeakSanitizer checks that it does).
    queue.async([holder] { holder->reset(); });
    queue.async([&] { afterRelease.fetch_add(1); });
    queue.async([&] { done.notify(); });
    holder.reset();
    gate.notify();
    ASSERT_TRUE(done.waitFor());
    EXPECT_EQ(afterRelease.load(), 1);
}

TEST(SerialQueueTest, ThrowingBlockIsReportedAndTheQueueGoesOn) {
    testsupport::BlockExceptionRecorder recorder;
    auto queue = SerialQueue::create("test.serial.throw");
    bool after = false;
    queue->async([] { throw std::runtime_error("boom"); });
    queue->sync([] { throw std::logic_error("sync boom"); });  // not rethrown
    queue->sync([&] { after = true; });

    EXPECT_TRUE(after);
    auto records = recorder.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].label, "test.serial.throw");
    EXPECT_EQ(records[0].what, "boom");
    EXPECT_EQ(records[1].what, "sync boom");
}

TEST(SerialQueueTest, SuspendHoldsBackNewBlocksUntilResumed) {
    auto queue = SerialQueue::create("test.serial.suspend");
    std::atomic<int> ran{0};
    queue->suspend();
    queue->suspend();
    queue->async([&] { ran.fetch_add(1); });
    queue->resume();
    // Still suspended once: nothing may have run. Checking a negative needs
    // no waiting: the block cannot run before the matching resume.
    EXPECT_EQ(ran.load(), 0);
    queue->resume();
    testsupport::flushSerialQueue(queue);
    EXPECT_EQ(ran.load(), 1);
}

TEST(SerialQueueTest, TryRunNowRunsInPlaceOnlyWhenIdleAndKeepsTheOrder) {
    auto queue = SerialQueue::create("test.serial.trynow");
    std::vector<int> order;  // touched only by blocks of the queue
    // Idle: runs on this thread, as a block of the queue.
    bool ran = queue->tryRunNow([&] {
        EXPECT_TRUE(queue->isCurrent());
        order.push_back(1);
        // A block queued meanwhile waits for this one.
        queue->async([&] { order.push_back(2); });
    });
    EXPECT_TRUE(ran);

    // Busy, or with work pending: refused, so nothing jumps the queue.
    testsupport::WaitFlag entered, release;
    queue->async([&] {
        entered.set();
        release.wait();
    });
    ASSERT_TRUE(entered.wait());
    EXPECT_FALSE(queue->tryRunNow([&] { order.push_back(-1); }));
    queue->async([&] { order.push_back(3); });
    release.set();
    queue->suspend();
    EXPECT_FALSE(queue->tryRunNow([&] { order.push_back(-2); }));
    queue->resume();
    queue->sync([] {});
    // The worker lets go of the queue just after the block that woke us.
    bool ranAgain = false;
    for (int i = 0; i < 1000 && !ranAgain; ++i) {
        ranAgain = queue->tryRunNow([&] { order.push_back(4); });
        if (!ranAgain) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(ranAgain);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
}
