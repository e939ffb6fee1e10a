#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "support/QueueHelpers.h"

using platform::isMainThread;
using platform::MainQueue;
using platform::mainQueue;
using platform::RunLoop;

class MainQueueTest : public ::testing::Test {
  protected:
    testsupport::MainQueueGuard guard_;
};

TEST_F(MainQueueTest, BlocksFromOtherThreadsRunInOrderOnTheDrainingThread) {
    ASSERT_TRUE(isMainThread());  // gtest runs tests on the initial thread
    std::vector<int> order;
    bool allOnMain = true;
    std::thread producer([&] {
        EXPECT_FALSE(isMainThread());
        for (int i = 0; i < 50; ++i)
            mainQueue()->async([&, i] {
                order.push_back(i);
                allOnMain = allOnMain && isMainThread() && mainQueue()->isCurrent();
            });
    });
    producer.join();
    EXPECT_EQ(RunLoop::drainPending(), 50u);
    ASSERT_EQ(order.size(), 50u);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
    EXPECT_TRUE(allOnMain);
}

TEST_F(MainQueueTest, DrainRunsOnlyWhatWasPendingAndDrainPendingRunsTheRest) {
    auto queue = MainQueue::shared();
    int ran = 0;
    queue->async([&] {
        ++ran;
        queue->async([&] { ++ran; });   // waits for the next drain
        EXPECT_EQ(queue->drain(), 0u);  // no nesting
    });
    EXPECT_EQ(queue->drain(), 1u);
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(queue->pendingCount(), 1u);

    queue->async([&] { queue->async([&] { ++ran; }); });
    EXPECT_EQ(RunLoop::drainPending(), 3u);
    EXPECT_EQ(ran, 3);
}

TEST_F(MainQueueTest, RunUntilAndRunBlocksWaitForWorkFromOtherThreads) {
    std::atomic<bool> flag{false};
    std::thread worker([&] {
        mainQueue()->async([&] { flag = true; });
        mainQueue()->async([] {});
    });
    EXPECT_TRUE(RunLoop::runUntil([&] { return flag.load(); }));
    worker.join();
    EXPECT_EQ(RunLoop::runBlocks(1), 1u);
    // Nothing else will come: the bound ends the wait.
    EXPECT_EQ(RunLoop::runBlocks(1, std::chrono::milliseconds(1)), 0u);
    EXPECT_FALSE(RunLoop::runUntil([] { return false; }, std::chrono::milliseconds(1)));
}

TEST_F(MainQueueTest, SyncFromAnotherThreadWaitsForTheMainThread) {
    auto serial = platform::SerialQueue::create("test.main.sync");
    bool ranOnMain = false;
    std::atomic<bool> returned{false};
    serial->async([&] {
        mainQueue()->sync([&] { ranOnMain = isMainThread(); });
        returned = true;
    });
    EXPECT_TRUE(RunLoop::runUntil([&] { return returned.load(); }));
    EXPECT_TRUE(ranOnMain);
    // From the main thread itself sync runs in place instead of deadlocking.
    bool inline_ = false;
    mainQueue()->sync([&] { inline_ = true; });
    EXPECT_TRUE(inline_);
}

TEST_F(MainQueueTest, WakerIsCalledForEveryBlockAndRunStopsOnRequest) {
    auto queue = MainQueue::shared();
    std::atomic<int> wakes{0};
    queue->setWaker([&] { wakes.fetch_add(1); });
    std::thread worker([] {
        mainQueue()->async([] {});
        mainQueue()->async([] { RunLoop::stop(); });
    });
    RunLoop::run();  // returns after the block that asked it to
    worker.join();
    queue->setWaker(nullptr);
    EXPECT_GE(wakes.load(), 2);
}
