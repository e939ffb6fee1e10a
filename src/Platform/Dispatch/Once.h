// Call-once tokens for lazily made process-wide objects.
#pragma once

#include <atomic>
#include <mutex>
#include <utility>

namespace platform {

/// A token whose callOnce() runs its function at most once successfully.
/// Concurrent callers wait for the first one to finish. If the function
/// throws, the token stays unset and the exception goes to the caller, so a
/// later call tries again. reset() makes the token fresh (for tests only;
/// never while another thread may call callOnce()).
class OnceToken {
  public:
    OnceToken() = default;
    OnceToken(const OnceToken&) = delete;
    OnceToken& operator=(const OnceToken&) = delete;

    template <class F>
    void callOnce(F&& f) {
        if (done_.load(std::memory_order_acquire)) return;
        std::lock_guard<std::mutex> lock(mutex_);
        if (done_.load(std::memory_order_relaxed)) return;
        f();
        done_.store(true, std::memory_order_release);
    }

    bool done() const { return done_.load(std::memory_order_acquire); }

    void reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        done_.store(false, std::memory_order_release);
    }

  private:
    std::atomic<bool> done_{false};
    std::mutex mutex_;
};

/// Runs `f` through `token` (the dispatch_once of this code base).
template <class F>
void dispatchOnce(OnceToken& token, F&& f) {
    token.callOnce(std::forward<F>(f));
}

}  // namespace platform
