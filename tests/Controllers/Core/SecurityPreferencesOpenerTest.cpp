#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "Controllers/Core/SecurityPreferencesOpener.h"
#include "Platform/Dispatch/SerialQueue.h"

namespace {

// Records the commands it is given; each run blocks until released, so the
// test can show that open() does not wait for the command.
class BlockingLauncher : public platform::TaskLauncher {
  public:
    int run(const platform::Task& task, const platform::TaskLineHandler&) override {
        std::unique_lock lock(mutex_);
        calls_.push_back(task);
        changed_.notify_all();
        changed_.wait(lock, [this] { return released_; });
        return 1;  // a failure, which the opener ignores
    }
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }
    std::vector<platform::Task> waitForCalls(std::size_t n) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return calls_.size() >= n; });
        return calls_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<platform::Task> calls_;
    bool released_ = false;
};

}  // namespace

TEST(SecurityPreferencesOpener, CommandRunsInTheBackgroundAndItsResultIsIgnored) {
    auto launcher = std::make_shared<BlockingLauncher>();
    auto queue = platform::SerialQueue::create("opener-test");
    {
        CommandSecurityPreferencesOpener opener({"/usr/bin/settings-tool", {"security"}}, launcher,
                                                queue);
        opener.open();  // returns although the command has not ended
        opener.open();
    }
    launcher->release();
    auto calls = launcher->waitForCalls(2);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].program, "/usr/bin/settings-tool");
    EXPECT_EQ(calls[0].arguments, std::vector<std::string>{"security"});
    queue->sync([] {});
}

TEST(SecurityPreferencesOpener, DefaultOnlyLogs) {
    LoggingSecurityPreferencesOpener opener;
    opener.open();
}
