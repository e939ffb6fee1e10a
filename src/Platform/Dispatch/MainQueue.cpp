#include "Platform/Dispatch/MainQueue.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace platform {

struct MainQueue::Impl {
    const std::string label = "main-thread";
    mutable std::mutex mutex;
    std::condition_variable condition;
    std::deque<Block> items;
    std::shared_ptr<std::function<void()>> waker;
    bool draining = false;
    std::thread::id drainer;
};

std::shared_ptr<MainQueue> MainQueue::shared() {
    // Never destroyed: blocks may be enqueued from any thread up to the end.
    static std::shared_ptr<MainQueue>* queue =
        new std::shared_ptr<MainQueue>(std::shared_ptr<MainQueue>(new MainQueue));
    return *queue;
}

MainQueue::MainQueue() : impl_(std::make_unique<Impl>()) {}

MainQueue::~MainQueue() = default;

const std::string& MainQueue::label() const { return impl_->label; }

void MainQueue::async(Block block) {
    if (!block) return;
    std::shared_ptr<std::function<void()>> waker;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->items.push_back(std::move(block));
        waker = impl_->waker;
    }
    impl_->condition.notify_all();
    if (waker && *waker) runCatchingExceptions(impl_->label, *waker);
}

bool MainQueue::isCurrent() const {
    if (DispatchQueue::current() == this) return true;
    // Outside any block the main thread stands for the main queue, unless
    // another thread is the one draining it.
    if (!isMainThread()) return false;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return !impl_->draining || impl_->drainer == std::this_thread::get_id();
}

std::size_t MainQueue::drain(std::size_t maxBlocks) {
    std::size_t budget;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        if (impl_->draining) return 0;
        impl_->draining = true;
        impl_->drainer = std::this_thread::get_id();
        budget = std::min(maxBlocks, impl_->items.size());
    }
    std::size_t ran = 0;
    while (ran < budget) {
        Block block;
        {
            std::lock_guard<std::mutex> lock(impl_->mutex);
            // discardPending() may have emptied the queue meanwhile.
            if (impl_->items.empty()) break;
            block = std::move(impl_->items.front());
            impl_->items.pop_front();
        }
        runBlock(block);
        ++ran;
    }
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->draining = false;
    impl_->drainer = std::thread::id();
    return ran;
}

bool MainQueue::waitForWork(std::chrono::nanoseconds timeout) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    return impl_->condition.wait_for(lock, timeout, [&] { return !impl_->items.empty(); });
}

std::size_t MainQueue::pendingCount() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->items.size();
}

void MainQueue::setWaker(std::function<void()> waker) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->waker = waker ? std::make_shared<std::function<void()>>(std::move(waker)) : nullptr;
}

void MainQueue::discardPending() {
    std::deque<Block> dropped;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        dropped.swap(impl_->items);
    }
}

DispatchQueuePtr mainQueue() { return MainQueue::shared(); }

bool isMainThread() { return static_cast<pid_t>(syscall(SYS_gettid)) == getpid(); }

}  // namespace platform
