#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "Platform/Dispatch/DispatchQueue.h"
#include "support/QueueHelpers.h"

using platform::globalQueue;
using platform::QualityOfService;
using testsupport::Event;

TEST(GlobalQueueTest, BlocksWaitingOnEachOtherDoNotStarveThePool) {
    // Every block but the last waits for the last one; a fixed pool smaller
    // than the number of blocks would hang here.
    constexpr int kBlocks = 32;
    Event release;
    Event finished;
    for (int i = 0; i < kBlocks - 1; ++i) {
        globalQueue()->async([&] {
            release.waitFor();
            finished.notify();
        });
    }
    globalQueue(QualityOfService::Utility)->async([&] {
        release.notify();
        finished.notify();
    });
    EXPECT_TRUE(finished.waitFor(kBlocks));
}

TEST(GlobalQueueTest, SyncWaitsAndReportsTheQueueAsCurrent) {
    bool current = false;
    globalQueue()->sync([&] { current = globalQueue()->isCurrent(); });
    EXPECT_TRUE(current);
    EXPECT_FALSE(globalQueue()->isCurrent());
}

TEST(GlobalQueueTest, ThrowingBlockIsReportedUnderTheQueueLabel) {
    testsupport::BlockExceptionRecorder recorder;
    globalQueue(QualityOfService::Background)->async([] { throw std::runtime_error("bg"); });
    ASSERT_TRUE(recorder.waitFor(1));
    EXPECT_EQ(recorder.records()[0].label, globalQueue(QualityOfService::Background)->label());
}
