#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Foundation/ZReadWriteLock.h"

namespace {

using namespace std::chrono_literals;
using Hold = ZStHoldReadWriteLock;

constexpr auto kBound = 20s;  // generous bound for every wait; never a timing condition

// Polls until the condition holds or the bound passes.
template <class Condition>
bool Eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

// A one-shot signal between threads.
class Gate {
  public:
    void Open() { promise_.set_value(); }
    void Wait() const { future_.wait(); }
    bool WaitBounded() const { return future_.wait_for(kBound) == std::future_status::ready; }

  private:
    std::promise<void> promise_;
    std::shared_future<void> future_ = promise_.get_future().share();
};

// The error of a try-mode hold taken on another thread.
int TryFromOtherThread(ZReadWriteLock& lock, bool write) {
    int error = -1;
    std::thread([&] {
        Hold hold(lock, write, true);
        error = hold.Error();
    }).join();
    return error;
}

std::int32_t State(const ZReadWriteLock& lock) { return lock.GetSnapshot().state; }

TEST(ZReadWriteLock, TheWritingThreadTakesItAgainInEitherMode) {
    ZReadWriteLock lock;
    {
        Hold write(lock, true);
        ASSERT_EQ(write.Error(), 0);
        EXPECT_EQ(State(lock), -1);
        {
            Hold read(lock, false);
            ASSERT_EQ(read.Error(), 0);
            Hold tryWrite(lock, true, true);
            ASSERT_EQ(tryWrite.Error(), 0);
            EXPECT_EQ(State(lock), -3);
        }
        EXPECT_EQ(State(lock), -1);
        EXPECT_EQ(TryFromOtherThread(lock, false), Hold::kBusy);
        EXPECT_EQ(TryFromOtherThread(lock, true), Hold::kBusy);
    }
    EXPECT_EQ(State(lock), 0);
    EXPECT_EQ(TryFromOtherThread(lock, true), 0);
}

TEST(ZReadWriteLock, TryModeAnswersAtOnce) {
    struct Case {
        const char* name;
        bool otherReads;
        bool otherWrites;
        bool writerWaits;
        int tryRead;
        int tryWrite;
    };
    const Case cases[] = {
        {"free", false, false, false, 0, 0},
        {"read by another thread", true, false, false, 0, Hold::kBusy},
        {"written by another thread", false, true, false, Hold::kBusy, Hold::kBusy},
        {"read, with a writer waiting", true, false, true, Hold::kBusy, Hold::kBusy},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ZReadWriteLock lock;
        Gate holding, release;
        std::thread owner;
        if (c.otherReads || c.otherWrites) {
            owner = std::thread([&] {
                Hold hold(lock, c.otherWrites);
                holding.Open();
                release.Wait();
            });
            holding.Wait();
        }
        std::thread writer;
        if (c.writerWaits) {
            writer = std::thread([&] { Hold hold(lock, true); });
            ASSERT_TRUE(Eventually([&] { return lock.GetSnapshot().waitingWriters == 1; }));
        }
        EXPECT_EQ(TryFromOtherThread(lock, false), c.tryRead);
        EXPECT_EQ(TryFromOtherThread(lock, true), c.tryWrite);
        if (owner.joinable()) {
            release.Open();
            owner.join();
        }
        if (writer.joinable()) writer.join();
        EXPECT_EQ(State(lock), 0);
    }
}

TEST(ZReadWriteLock, WritersGoBeforeNewReadersButNotBeforeAThreadThatReads) {
    ZReadWriteLock lock;
    std::mutex orderMutex;
    std::vector<std::string> order;
    auto record = [&](const char* who) {
        std::lock_guard<std::mutex> guard(orderMutex);
        order.push_back(who);
    };
    std::thread writer, reader;
    {
        Hold read(lock, false);
        writer = std::thread([&] {
            Hold hold(lock, true);
            EXPECT_EQ(hold.Error(), 0);
            record("writer");
        });
        ASSERT_TRUE(Eventually([&] { return lock.GetSnapshot().waitingWriters == 1; }));
        reader = std::thread([&] {
            Hold hold(lock, false);
            EXPECT_EQ(hold.Error(), 0);
            record("reader");
        });
        ASSERT_TRUE(Eventually([&] { return lock.GetSnapshot().waitingReaders == 1; }));

        // This thread already reads: granted at once, in try mode too.
        Hold again(lock, false, true);
        EXPECT_EQ(again.Error(), 0);
        Hold third(lock, false);
        EXPECT_EQ(third.Error(), 0);
        EXPECT_EQ(State(lock), 3);
    }
    writer.join();
    reader.join();
    EXPECT_EQ(order, (std::vector<std::string>{"writer", "reader"}));
    EXPECT_EQ(State(lock), 0);
}

TEST(ZReadWriteLock, UpgradeWaitsForOtherReadersAndKeepsItsRead) {
    ZReadWriteLock lock;
    Gate otherHolds, otherRelease;
    std::thread other([&] {
        Hold hold(lock, false);
        otherHolds.Open();
        otherRelease.Wait();
    });
    otherHolds.Wait();

    std::atomic<bool> writing{false};
    std::thread upgrader([&] {
        Hold read(lock, false);
        {
            Hold write(lock, true);
            ASSERT_EQ(write.Error(), 0);
            writing = true;
            EXPECT_EQ(State(lock), -1);
        }
        // Back to this thread's one read.
        EXPECT_EQ(State(lock), 1);
        EXPECT_EQ(TryFromOtherThread(lock, true), Hold::kBusy);
        EXPECT_EQ(TryFromOtherThread(lock, false), 0);
    });
    ASSERT_TRUE(Eventually([&] { return lock.GetSnapshot().upgradePending; }));
    EXPECT_FALSE(writing);
    EXPECT_EQ(State(lock), 2);
    otherRelease.Open();
    other.join();
    upgrader.join();
    EXPECT_TRUE(writing);
    EXPECT_EQ(State(lock), 0);
    EXPECT_FALSE(lock.GetSnapshot().upgradePending);
}

TEST(ZReadWriteLock, ASecondUpgradeIsRefusedInsteadOfDeadlocking) {
    ZReadWriteLock lock;
    Gate firstReads, secondReads, secondTries;
    int secondError = -1;
    std::atomic<bool> firstWrote{false};
    std::thread first([&] {
        Hold read(lock, false);
        firstReads.Open();
        secondReads.Wait();
        Hold write(lock, true);
        EXPECT_EQ(write.Error(), 0);
        firstWrote = true;
    });
    std::thread second([&] {
        firstReads.Wait();
        Hold read(lock, false);
        secondReads.Open();
        secondTries.Wait();
        Hold write(lock, true);
        secondError = write.Error();
    });
    ASSERT_TRUE(Eventually([&] { return lock.GetSnapshot().upgradePending; }));
    secondTries.Open();
    second.join();  // gave up its read with the refusal, so the first goes on
    first.join();
    EXPECT_EQ(secondError, Hold::kUpgradePending);
    EXPECT_TRUE(firstWrote);
    EXPECT_EQ(State(lock), 0);
}

TEST(ZReadWriteLock, TheUpgraderIsWokenWhileAnotherWriterWaits) {
    ZReadWriteLock lock;
    Gate otherHolds, otherRelease, upgraderReads, upgradeNow, upgraded;
    std::thread other([&] {
        Hold hold(lock, false);
        otherHolds.Open();
        otherRelease.Wait();
    });
    std::thread upgrader([&] {
        Hold read(lock, false);
        upgraderReads.Open();
        upgradeNow.Wait();
        Hold write(lock, true);
        EXPECT_EQ(write.Error(), 0);
        upgraded.Open();
    });
    otherHolds.Wait();
    upgraderReads.Wait();
    std::thread writer([&] { Hold hold(lock, true); });
    ASSERT_TRUE(Eventually([&] { return lock.GetSnapshot().waitingWriters == 1; }));
    upgradeNow.Open();
    ASSERT_TRUE(Eventually([&] {
        auto s = lock.GetSnapshot();
        return s.upgradePending && s.waitingWriters == 2;
    }));
    otherRelease.Open();  // only the upgrader's read remains: it must be the one woken
    const bool woken = upgraded.WaitBounded();
    EXPECT_TRUE(woken) << "the upgrader was never woken";
    if (!woken) std::abort();  // the threads cannot be joined
    other.join();
    upgrader.join();
    writer.join();
    EXPECT_EQ(State(lock), 0);
    EXPECT_EQ(lock.GetSnapshot().waitingWriters, 0);
}

// Cancellation runs through raw threads: the C++ thread wrapper is not
// written to be unwound by it.
struct CancelTarget {
    ZReadWriteLock* lock;
    bool write;
    int pipeToWaitOn;  // -1: take the lock and return
};

void* HoldAndWait(void* argument) {
    auto* target = static_cast<CancelTarget*>(argument);
    Hold hold(*target->lock, target->write);
    if (target->pipeToWaitOn >= 0) {
        char byte;
        // A cancellation point that never returns on its own.
        [[maybe_unused]] ssize_t n = read(target->pipeToWaitOn, &byte, 1);
    }
    return nullptr;
}

TEST(ZReadWriteLock, CancelledThreadsGiveBackWhatTheyHoldOrWaitFor) {
    ZReadWriteLock lock;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);

    // A holder whose thread is cancelled releases the lock.
    CancelTarget holdsWrite{&lock, true, fds[0]};
    pthread_t holder;
    ASSERT_EQ(pthread_create(&holder, nullptr, HoldAndWait, &holdsWrite), 0);
    ASSERT_TRUE(Eventually([&] { return State(lock) == -1; }));
    pthread_cancel(holder);
    pthread_join(holder, nullptr);
    EXPECT_EQ(State(lock), 0);

    // A writer cancelled while waiting lets the readers it held back in.
    {
        Hold read(lock, false);
        CancelTarget waitsToWrite{&lock, true, -1};
        pthread_t writer;
        ASSERT_EQ(pthread_create(&writer, nullptr, HoldAndWait, &waitsToWrite), 0);
        ASSERT_TRUE(Eventually([&] { return lock.GetSnapshot().waitingWriters == 1; }));
        std::atomic<bool> readerIn{false};
        std::thread reader([&] {
            Hold hold(lock, false);
            readerIn = true;
        });
        ASSERT_TRUE(Eventually([&] { return lock.GetSnapshot().waitingReaders == 1; }));
        pthread_cancel(writer);
        pthread_join(writer, nullptr);
        EXPECT_TRUE(Eventually([&] { return readerIn.load(); }));
        reader.join();
        EXPECT_EQ(lock.GetSnapshot().waitingWriters, 0);
    }
    EXPECT_EQ(State(lock), 0);
    close(fds[0]);
    close(fds[1]);
}

TEST(ZReadWriteLock, ManyReadersAndWritersKeepTheDataConsistent) {
    ZReadWriteLock lock;
    long a = 0, b = 0;  // changed together under the write hold
    std::atomic<long> writes{0};
    constexpr int kThreads = 8;
    constexpr int kRounds = 1500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(1234 + t);
            auto write = [&] {
                ++a;
                ++b;
                ++writes;
            };
            for (int round = 0; round < kRounds; ++round) {
                switch (random() % 6) {
                    case 0: {  // read, nested read
                        Hold read(lock, false);
                        ASSERT_EQ(read.Error(), 0);
                        Hold nested(lock, false);
                        ASSERT_EQ(nested.Error(), 0);
                        ASSERT_EQ(a, b);
                        break;
                    }
                    case 1: {  // write, nested read and write
                        Hold hold(lock, true);
                        ASSERT_EQ(hold.Error(), 0);
                        write();
                        Hold nested(lock, random() % 2 == 0);
                        ASSERT_EQ(nested.Error(), 0);
                        write();
                        break;
                    }
                    case 2: {  // upgrade; refused while another waits
                        Hold read(lock, false);
                        ASSERT_EQ(read.Error(), 0);
                        ASSERT_EQ(a, b);
                        Hold upgrade(lock, true);
                        if (upgrade.Error() == 0) {
                            write();
                        } else {
                            ASSERT_EQ(upgrade.Error(), Hold::kUpgradePending);
                        }
                        break;
                    }
                    case 3: {
                        Hold read(lock, false, true);
                        if (read.Error() == 0) {
                            ASSERT_EQ(a, b);
                        } else {
                            ASSERT_EQ(read.Error(), Hold::kBusy);
                        }
                        break;
                    }
                    case 4: {
                        Hold hold(lock, true, true);
                        if (hold.Error() == 0) {
                            write();
                        } else {
                            ASSERT_EQ(hold.Error(), Hold::kBusy);
                        }
                        break;
                    }
                    default: {
                        Hold read(lock, false);
                        ASSERT_EQ(read.Error(), 0);
                        ASSERT_EQ(a, b);
                    }
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(a, writes.load());
    EXPECT_EQ(b, writes.load());
    auto s = lock.GetSnapshot();
    EXPECT_EQ(s.state, 0);
    EXPECT_EQ(s.waitingWriters, 0);
    EXPECT_EQ(s.waitingReaders, 0);
}

TEST(ZStThreadCleanup, RunsItsRoutineWhenAsked) {
    struct Case {
        const char* name;
        bool execute;
        bool clearRoutine;
        int expectedRuns;
    };
    const Case cases[] = {
        {"executing", true, false, 1},
        {"not executing", false, false, 0},
        {"routine cleared", true, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int runs = 0;
        {
            ZStThreadCleanup cleanup([](void* count) { ++*static_cast<int*>(count); }, &runs,
                                     c.execute);
            EXPECT_EQ(ZStThreadCleanup::Top(), &cleanup);
            if (c.clearRoutine) cleanup.SetCleanupRoutine(nullptr);
        }
        EXPECT_EQ(runs, c.expectedRuns);
        EXPECT_EQ(ZStThreadCleanup::Top(), nullptr);
    }
}

}  // namespace
