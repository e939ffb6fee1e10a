#include "Platform/Dispatch/SerialQueue.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "Platform/Dispatch/ThreadName.h"

namespace platform {

// The worker thread owns the Core. While blocks are pending the Core also
// holds the queue itself (`self`), as a dispatch queue is retained by its
// blocks; so the queue's last reference can only go away while it is idle,
// or on the worker thread once the last block has run.
struct SerialQueue::Core {
    std::string label;
    std::mutex mutex;
    std::condition_variable condition;
    std::deque<Block> items;
    std::shared_ptr<SerialQueue> self;
    int suspendCount = 0;
    // A block is running, on the worker or on a thread in tryRunNow().
    bool busy = false;
    bool stopping = false;
    std::thread thread;
    std::thread::id threadId;

    static void workerLoop(const std::shared_ptr<Core>& core);
};

void SerialQueue::Core::workerLoop(const std::shared_ptr<Core>& core) {
    setCurrentThreadName(core->label);
    std::unique_lock<std::mutex> lock(core->mutex);
    for (;;) {
        core->condition.wait(lock, [&] {
            return core->stopping ||
                   (!core->items.empty() && core->suspendCount == 0 && !core->busy);
        });
        if (core->items.empty() || core->suspendCount > 0 || core->busy) {
            // (tryRunNow() holds a reference, so it never overlaps `stopping`.)
            if (core->stopping) return;
            continue;
        }
        Block block = std::move(core->items.front());
        core->items.pop_front();
        std::shared_ptr<SerialQueue> queue = core->self;
        core->busy = true;
        lock.unlock();
        queue->runBlock(block);
        block = nullptr;
        lock.lock();
        core->busy = false;
        if (core->items.empty()) {
            // Idle: let go of the queue. Dropping the last reference here runs
            // the destructor on this thread, which only flags `stopping`.
            std::shared_ptr<SerialQueue> last = std::move(core->self);
            lock.unlock();
            last.reset();
            queue.reset();
            lock.lock();
        } else {
            lock.unlock();
            queue.reset();
            lock.lock();
        }
    }
}

std::shared_ptr<SerialQueue> SerialQueue::create(std::string label) {
    auto core = std::make_shared<Core>();
    core->label = std::move(label);
    std::shared_ptr<SerialQueue> queue(new SerialQueue(core));
    std::lock_guard<std::mutex> lock(core->mutex);
    core->thread = std::thread([core] { Core::workerLoop(core); });
    core->threadId = core->thread.get_id();
    return queue;
}

SerialQueue::SerialQueue(std::shared_ptr<Core> core) : core_(std::move(core)) {}

SerialQueue::~SerialQueue() {
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        core_->stopping = true;
        thread = std::move(core_->thread);
    }
    core_->condition.notify_all();
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id())
        thread.detach();  // the worker finishes by itself
    else
        thread.join();
}

const std::string& SerialQueue::label() const { return core_->label; }

void SerialQueue::async(Block block) {
    if (!block) return;
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        core_->items.push_back(std::move(block));
        if (!core_->self) core_->self = std::static_pointer_cast<SerialQueue>(shared_from_this());
    }
    core_->condition.notify_one();
}

bool SerialQueue::tryRunNow(const Block& block) {
    if (!block) return false;
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        if (core_->busy || !core_->items.empty() || core_->suspendCount > 0 || core_->stopping)
            return false;
        core_->busy = true;
    }
    runBlock(block);
    bool pending;
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        core_->busy = false;
        pending = !core_->items.empty();
    }
    // Blocks that came meanwhile waited for this one; the worker takes them.
    if (pending) core_->condition.notify_all();
    return true;
}

bool SerialQueue::isCurrent() const { return DispatchQueue::current() == this; }

void SerialQueue::suspend() {
    std::lock_guard<std::mutex> lock(core_->mutex);
    ++core_->suspendCount;
}

void SerialQueue::resume() {
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        if (core_->suspendCount > 0) --core_->suspendCount;
    }
    core_->condition.notify_one();
}

}  // namespace platform
