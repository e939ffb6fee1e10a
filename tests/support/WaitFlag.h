// A one-shot flag that one thread sets and another waits for, with a bound.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace testsupport {

class WaitFlag {
  public:
    void set() {
        std::lock_guard lock(mutex_);
        set_ = true;
        changed_.notify_all();
    }

    /// True once set(); false when `timeout` passes first.
    bool wait(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return set_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool set_ = false;
};

}  // namespace testsupport
