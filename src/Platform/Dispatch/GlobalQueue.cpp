// The global concurrent queues and the pool of threads they share.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Dispatch/ThreadName.h"

namespace platform {

namespace {

// Workers beyond kCoreWorkers are started only when every worker is busy, so
// blocks that wait for other blocks still make progress; they end after a
// while without work. kMaxWorkers bounds a runaway.
constexpr std::size_t kCoreWorkers = 4;
constexpr std::size_t kMaxWorkers = 128;
constexpr auto kIdleExit = std::chrono::seconds(10);

class ThreadPool {
  public:
    void submit(Block work) {
        std::unique_lock<std::mutex> lock(mutex_);
        work_.push_back(std::move(work));
        if (work_.size() > idle_ && threads_ < kMaxWorkers) {
            ++threads_;
            ++idle_;
            lock.unlock();
            std::thread([this] { workerLoop(); }).detach();
            return;
        }
        lock.unlock();
        condition_.notify_one();
    }

  private:
    void workerLoop() {
        setCurrentThreadName("pel.worker");
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (work_.empty()) {
                bool woke = condition_.wait_for(lock, kIdleExit, [&] { return !work_.empty(); });
                if (!woke && threads_ > kCoreWorkers) {
                    --threads_;
                    --idle_;
                    return;
                }
                continue;
            }
            Block work = std::move(work_.front());
            work_.pop_front();
            --idle_;
            lock.unlock();
            work();
            work = nullptr;  // release captures before taking the lock again
            lock.lock();
            ++idle_;
        }
    }

    std::mutex mutex_;
    std::condition_variable condition_;
    std::deque<Block> work_;
    std::size_t threads_ = 0;
    std::size_t idle_ = 0;
};

ThreadPool& pool() {
    // Never destroyed: detached workers may still be finishing work while the
    // process exits.
    static ThreadPool* p = new ThreadPool;
    return *p;
}

class ConcurrentQueue : public DispatchQueue {
  public:
    explicit ConcurrentQueue(std::string label) : label_(std::move(label)) {}

    const std::string& label() const override { return label_; }

    void async(Block block) override {
        if (!block) return;
        pool().submit([this, block = std::move(block)] { runBlock(block); });
    }

    bool tryRunNow(const Block& block) override {
        if (!block) return false;
        runBlock(block);
        return true;
    }

    bool isCurrent() const override { return DispatchQueue::current() == this; }

  private:
    std::string label_;
};

}  // namespace

DispatchQueuePtr globalQueue(QualityOfService qos) {
    // Never destroyed, so no block runs on a queue that static destruction
    // has already taken away.
    static const DispatchQueuePtr* queues = new DispatchQueuePtr[5]{
        std::make_shared<ConcurrentQueue>("global.background-qos"),
        std::make_shared<ConcurrentQueue>("global.utility-qos"),
        std::make_shared<ConcurrentQueue>("global.default-qos"),
        std::make_shared<ConcurrentQueue>("global.user-initiated-qos"),
        std::make_shared<ConcurrentQueue>("global.user-interactive-qos"),
    };
    return queues[static_cast<int>(qos)];
}

}  // namespace platform
