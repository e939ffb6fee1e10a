#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Dispatch/OperationQueue.h"
#include "Platform/Dispatch/RunLoop.h"
#include "support/QueueHelpers.h"

using namespace std::chrono_literals;
using platform::BlockOperation;
using platform::Operation;
using platform::OperationPtr;
using platform::OperationQueue;
using testsupport::Event;

namespace {

// Records the order in which operations ran.
class Journal {
  public:
    void add(std::string entry) {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.push_back(std::move(entry));
    }
    std::vector<std::string> entries() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> entries_;
};

// An operation that finishes only when the test says so, like a network
// request whose answer comes later on another thread.
class ManualOperation : public Operation {
  public:
    bool isAsynchronous() const override { return true; }
    void start() override {
        if (isCancelled()) {
            markFinished();
            return;
        }
        markExecuting();
        started.notify();
    }
    void finish() { markFinished(); }
    Event started;
};

}  // namespace

TEST(OperationQueueTest, DependenciesOrderOperationsAcrossQueues) {
    auto first = OperationQueue::create("test.ops.first");
    auto second = OperationQueue::create("test.ops.second");
    Journal journal;
    auto a = BlockOperation::create([&] { journal.add("a"); });
    auto b = BlockOperation::create([&] { journal.add("b"); });
    auto c = BlockOperation::create([&] { journal.add("c"); });
    c->addDependency(b);
    b->addDependency(a);
    c->addDependency(a);

    second->addOperation(c);
    second->addOperation(b);
    first->addOperation(a);
    ASSERT_TRUE(second->waitUntilAllOperationsAreFinishedFor(10s));
    EXPECT_EQ(journal.entries(), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_TRUE(c->isFinished());
    EXPECT_FALSE(c->isCancelled());
}

TEST(OperationQueueTest, NeverRunsMoreThanTheMaximumAtOnce) {
    auto queue = OperationQueue::create("test.ops.max");
    queue->setMaxConcurrentOperationCount(2);
    std::atomic<int> running{0};
    std::atomic<int> peak{0};
    Event twoRunning;
    Event release;
    constexpr int kOps = 12;
    for (int i = 0; i < kOps; ++i) {
        queue->addOperation([&] {
            int now = running.fetch_add(1) + 1;
            int seen = peak.load();
            while (now > seen && !peak.compare_exchange_weak(seen, now)) {
            }
            twoRunning.notify();
            release.waitFor();
            running.fetch_sub(1);
        });
    }
    // Two start and block; nothing else may start until they are released.
    ASSERT_TRUE(twoRunning.waitFor(2));
    EXPECT_EQ(queue->operationCount(), static_cast<size_t>(kOps));
    release.notify();
    ASSERT_TRUE(queue->waitUntilAllOperationsAreFinishedFor(10s));
    EXPECT_EQ(peak.load(), 2);
    EXPECT_EQ(twoRunning.count(), static_cast<size_t>(kOps));
}

TEST(OperationQueueTest, AsynchronousOperationHoldsItsSlotUntilItFinishes) {
    auto queue = OperationQueue::create("test.ops.async");
    queue->setMaxConcurrentOperationCount(1);
    auto request = std::make_shared<ManualOperation>();
    std::atomic<bool> nextRan{false};
    queue->addOperation(request);
    auto next = queue->addOperation([&] { nextRan = true; });
    ASSERT_TRUE(request->started.waitFor());
    EXPECT_TRUE(request->isExecuting());
    // start() has returned, but the request has not finished: `next` waits.
    EXPECT_FALSE(next->waitUntilFinishedFor(0ms));
    EXPECT_FALSE(nextRan);
    request->finish();
    ASSERT_TRUE(next->waitUntilFinishedFor(10s));
    EXPECT_TRUE(nextRan);
}

TEST(OperationQueueTest, CancelledOperationsSkipTheirWorkButStillFinish) {
    auto queue = OperationQueue::create("test.ops.cancel");
    queue->setSuspended(true);
    Journal journal;
    auto blocker = std::make_shared<ManualOperation>();  // never started: queue suspended
    auto waiting = BlockOperation::create([&] { journal.add("waiting ran"); });
    waiting->addDependency(blocker);
    Event completed;
    waiting->setCompletionBlock([&] { completed.notify(); });
    auto other = BlockOperation::create([&] { journal.add("other ran"); });
    queue->addOperation(waiting);
    queue->addOperation(other);
    EXPECT_FALSE(waiting->isReady());

    queue->cancelAllOperations();
    EXPECT_TRUE(waiting->isReady());  // cancelled: no longer waits for `blocker`
    queue->setSuspended(false);
    ASSERT_TRUE(queue->waitUntilAllOperationsAreFinishedFor(10s));
    EXPECT_TRUE(completed.waitFor());
    EXPECT_TRUE(waiting->isFinished());
    EXPECT_TRUE(journal.entries().empty());
}

TEST(OperationQueueTest, SuspendedQueueStartsNothingAndOperationJoinsOneQueueOnce) {
    auto queue = OperationQueue::create("test.ops.suspend");
    queue->setSuspended(true);
    std::atomic<int> ran{0};
    auto op = queue->addOperation([&] { ran.fetch_add(1); });
    EXPECT_FALSE(queue->waitUntilAllOperationsAreFinishedFor(1ms));
    EXPECT_FALSE(queue->addOperation(op));
    EXPECT_FALSE(OperationQueue::create()->addOperation(op));
    EXPECT_FALSE(queue->addOperation(OperationPtr()));
    EXPECT_EQ(ran.load(), 0);
    queue->setSuspended(false);
    ASSERT_TRUE(queue->waitUntilAllOperationsAreFinishedFor(10s));
    EXPECT_EQ(ran.load(), 1);
    EXPECT_FALSE(queue->addOperation(op));  // finished operations cannot run again
}

TEST(OperationQueueTest, ThrowingOperationIsReportedAndFinishes) {
    testsupport::BlockExceptionRecorder recorder;
    auto queue = OperationQueue::create("test.ops.throw");
    auto op = queue->addOperation([] { throw std::runtime_error("op failed"); });
    op->setName("failing");
    ASSERT_TRUE(queue->waitUntilAllOperationsAreFinishedFor(10s));
    EXPECT_TRUE(op->isFinished());
    ASSERT_TRUE(recorder.waitFor(1));
    EXPECT_EQ(recorder.records()[0].what, "op failed");
}

TEST(OperationQueueTest, MainOperationQueueRunsOnTheMainThreadOneAtATime) {
    testsupport::MainQueueGuard guard;
    auto queue = OperationQueue::mainQueue();
    std::vector<int> order;
    bool onMain = true;
    for (int i = 0; i < 3; ++i)
        queue->addOperation([&, i] {
            order.push_back(i);
            onMain =
                onMain && platform::isMainThread() && OperationQueue::currentQueue() == queue.get();
        });
    EXPECT_TRUE(platform::RunLoop::runUntil([&] { return queue->operationCount() == 0; }));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_TRUE(onMain);
}

TEST(OperationQueueTest, DroppedQueueLetsStartedOperationsFinish) {
    auto request = std::make_shared<ManualOperation>();
    Event completed;
    request->setCompletionBlock([&] { completed.notify(); });
    {
        auto queue = OperationQueue::create("test.ops.dropped");
        queue->addOperation(request);
        ASSERT_TRUE(request->started.waitFor());
    }
    request->finish();
    EXPECT_TRUE(completed.waitFor());
}
