#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>

#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Dispatch/SignalSource.h"
#include "support/QueueHelpers.h"

using platform::SignalSource;

namespace {

// Restores a signal's disposition after a test.
class SavedDisposition {
  public:
    explicit SavedDisposition(int signo) : signo_(signo) { sigaction(signo, nullptr, &saved_); }
    ~SavedDisposition() { sigaction(signo_, &saved_, nullptr); }

  private:
    int signo_;
    struct sigaction saved_ = {};
};

void (*currentHandler(int signo))(int) {
    struct sigaction now = {};
    sigaction(signo, nullptr, &now);
    return now.sa_handler;
}

}  // namespace

TEST(SignalSourceTest, RaisedSignalBecomesAHandlerCallOnTheMainQueue) {
    testsupport::MainQueueGuard guard;
    SavedDisposition saved(SIGUSR1);
    signal(SIGUSR1, SIG_IGN);  // as the application does before making its source
    int calls = 0;
    bool onMain = false;
    platform::Error error;
    auto source = SignalSource::create(
        SIGUSR1, platform::mainQueue(),
        [&] {
            ++calls;
            onMain = platform::isMainThread();
        },
        &error);
    ASSERT_TRUE(source) << error.description();

    raise(SIGUSR1);
    EXPECT_TRUE(platform::RunLoop::runUntil([&] { return calls == 1; }));
    EXPECT_TRUE(onMain);

    raise(SIGUSR1);
    raise(SIGUSR1);
    EXPECT_TRUE(platform::RunLoop::runUntil([&] { return calls >= 2; }));

    // Once cancelled the previous disposition is back and no call is made.
    const int before = calls;
    source->cancel();
    EXPECT_EQ(currentHandler(SIGUSR1), SIG_IGN);
    raise(SIGUSR1);
    platform::RunLoop::drainPending();
    EXPECT_EQ(calls, before);
}

TEST(SignalSourceTest, EverySourceOfASignalIsCalledAndCancelFromTheHandlerIsSafe) {
    testsupport::MainQueueGuard guard;
    SavedDisposition saved(SIGUSR2);
    std::atomic<int> first{0};
    std::atomic<int> second{0};
    std::shared_ptr<SignalSource> a;
    a = SignalSource::create(SIGUSR2, platform::mainQueue(), [&] {
        first.fetch_add(1);
        a->cancel();
    });
    auto b = SignalSource::create(SIGUSR2, platform::mainQueue(), [&] { second.fetch_add(1); });
    ASSERT_TRUE(a && b);

    raise(SIGUSR2);
    EXPECT_TRUE(platform::RunLoop::runUntil([&] { return first == 1 && second == 1; }));
    EXPECT_TRUE(a->isCancelled());
    // The other source still holds the signal.
    raise(SIGUSR2);
    EXPECT_TRUE(platform::RunLoop::runUntil([&] { return second == 2; }));
    EXPECT_EQ(first.load(), 1);
    b->cancel();
}

TEST(SignalSourceTest, UncatchableSignalsAreRefused) {
    for (int signo : {SIGKILL, SIGSTOP, 0, NSIG}) {
        platform::Error error;
        EXPECT_FALSE(SignalSource::create(
            signo, platform::mainQueue(), [] {}, &error))
            << signo;
        EXPECT_EQ(error.domain(), platform::kPOSIXErrorDomain) << signo;
        EXPECT_EQ(error.code(), EINVAL) << signo;
    }
}
