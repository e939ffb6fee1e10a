#include "Platform/Dispatch/OperationQueue.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <limits>
#include <mutex>

#include "Platform/Dispatch/MainQueue.h"

namespace platform {

namespace {
thread_local OperationQueue* tCurrentOperationQueue = nullptr;
}

// Each queued operation carries a state observer that calls back into the
// Impl whenever it becomes ready or finishes; the Impl then starts whatever
// may start. Running blocks hold the Impl strongly, observers weakly.
struct OperationQueue::Impl : std::enable_shared_from_this<OperationQueue::Impl> {
    struct Entry {
        OperationPtr op;
        std::size_t observer = 0;
        bool launched = false;
    };

    mutable std::mutex mutex;
    std::condition_variable emptied;
    OperationQueue* owner = nullptr;
    std::string name;
    int maxCount = kDefaultMaxConcurrentOperationCount;
    QualityOfService qos = QualityOfService::Default;
    bool suspended = false;
    bool isMain = false;
    bool closed = false;
    std::vector<Entry> entries;
    std::size_t running = 0;

    void operationChanged(Operation& op) {
        bool finished = op.isFinished();
        OperationPtr removed;
        std::size_t observer = 0;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (finished) {
                auto it = std::find_if(entries.begin(), entries.end(),
                                       [&](const Entry& e) { return e.op.get() == &op; });
                if (it != entries.end()) {
                    if (it->launched) --running;
                    removed = std::move(it->op);
                    observer = it->observer;
                    entries.erase(it);
                }
                if (entries.empty()) emptied.notify_all();
            }
        }
        if (removed) removed->removeStateObserver(observer);
        schedule();
    }

    void schedule() {
        std::vector<OperationPtr> toLaunch;
        DispatchQueuePtr target;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (suspended || closed) return;
            const std::size_t limit = isMain ? 1
                                      : maxCount < 0
                                          ? std::numeric_limits<std::size_t>::max()
                                          : static_cast<std::size_t>(std::max(maxCount, 1));
            for (Entry& entry : entries) {
                if (running >= limit) break;
                if (entry.launched || !entry.op->isReady()) continue;
                entry.launched = true;
                ++running;
                toLaunch.push_back(entry.op);
            }
            target = isMain ? platform::mainQueue() : globalQueue(qos);
        }
        for (OperationPtr& op : toLaunch) {
            target->async([self = shared_from_this(), op = std::move(op)] { self->run(op); });
        }
    }

    void run(const OperationPtr& op) {
        OperationQueue* saved = tCurrentOperationQueue;
        {
            std::lock_guard<std::mutex> lock(mutex);
            tCurrentOperationQueue = owner;
        }
        try {
            op->start();
        } catch (...) {
            // An asynchronous start() that throws would never finish and would
            // keep its slot for ever; finish it here instead.
            std::string queueName;
            {
                std::lock_guard<std::mutex> lock(mutex);
                queueName = name;
            }
            std::fprintf(stderr, "Operation \"%s\" threw from start() on queue \"%s\"\n",
                         op->name().c_str(), queueName.c_str());
            op->markFinished();
        }
        tCurrentOperationQueue = saved;
        // A synchronous start() that did nothing (someone else started the
        // operation first) leaves it to finish there.
    }
};

std::shared_ptr<OperationQueue> OperationQueue::create(std::string name) {
    auto impl = std::make_shared<Impl>();
    std::shared_ptr<OperationQueue> queue(new OperationQueue(impl));
    if (name.empty()) {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "OperationQueue %p", static_cast<void*>(queue.get()));
        name = buffer;
    }
    impl->name = std::move(name);
    impl->owner = queue.get();
    return queue;
}

std::shared_ptr<OperationQueue> OperationQueue::mainQueue() {
    static std::shared_ptr<OperationQueue>* queue = [] {
        auto q = create("MainOperationQueue");
        q->impl_->isMain = true;
        q->impl_->maxCount = 1;
        return new std::shared_ptr<OperationQueue>(std::move(q));
    }();
    return *queue;
}

OperationQueue::OperationQueue(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

OperationQueue::~OperationQueue() {
    std::vector<Impl::Entry> dropped;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->owner = nullptr;
        impl_->closed = true;
        // Operations not started yet are dropped; started ones keep the Impl
        // alive through their run block and report their end to it.
        auto notLaunched = std::stable_partition(impl_->entries.begin(), impl_->entries.end(),
                                                 [](const Impl::Entry& e) { return e.launched; });
        dropped.assign(std::make_move_iterator(notLaunched),
                       std::make_move_iterator(impl_->entries.end()));
        impl_->entries.erase(notLaunched, impl_->entries.end());
    }
    for (Impl::Entry& entry : dropped) entry.op->removeStateObserver(entry.observer);
}

std::string OperationQueue::name() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->name;
}

void OperationQueue::setName(std::string name) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->name = std::move(name);
}

int OperationQueue::maxConcurrentOperationCount() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->maxCount;
}

void OperationQueue::setMaxConcurrentOperationCount(int count) {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        if (impl_->isMain) return;
        impl_->maxCount = count == kDefaultMaxConcurrentOperationCount ? count : std::max(count, 1);
    }
    impl_->schedule();
}

QualityOfService OperationQueue::qualityOfService() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->qos;
}

void OperationQueue::setQualityOfService(QualityOfService qos) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->qos = qos;
}

bool OperationQueue::addOperation(const OperationPtr& op) {
    if (!op) return false;
    {
        std::lock_guard<std::mutex> lock(op->mutex_);
        if (op->queued_ || op->finished_ || op->executing_ || op->started_) return false;
        op->queued_ = true;
    }
    std::weak_ptr<Impl> weak = impl_;
    std::size_t observer = op->addStateObserver([weak](Operation& changed) {
        if (auto impl = weak.lock()) impl->operationChanged(changed);
    });
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->entries.push_back(Impl::Entry{op, observer, false});
    }
    // The operation may have finished (cancelled and started elsewhere)
    // between the check and the observer; treat that like any other change.
    if (op->isFinished())
        impl_->operationChanged(*op);
    else
        impl_->schedule();
    return true;
}

std::shared_ptr<BlockOperation> OperationQueue::addOperation(Block block) {
    auto op = BlockOperation::create(std::move(block));
    addOperation(op);
    return op;
}

void OperationQueue::addOperations(const std::vector<OperationPtr>& ops, bool waitUntilFinished) {
    for (const OperationPtr& op : ops) addOperation(op);
    if (!waitUntilFinished) return;
    for (const OperationPtr& op : ops)
        if (op) op->waitUntilFinished();
}

std::vector<OperationPtr> OperationQueue::operations() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::vector<OperationPtr> ops;
    ops.reserve(impl_->entries.size());
    for (const Impl::Entry& entry : impl_->entries) ops.push_back(entry.op);
    return ops;
}

std::size_t OperationQueue::operationCount() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->entries.size();
}

void OperationQueue::cancelAllOperations() {
    for (const OperationPtr& op : operations()) op->cancel();
}

bool OperationQueue::isSuspended() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->suspended;
}

void OperationQueue::setSuspended(bool suspended) {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->suspended = suspended;
    }
    if (!suspended) impl_->schedule();
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    impl_->emptied.wait(lock, [&] { return impl_->entries.empty(); });
}

bool OperationQueue::waitUntilAllOperationsAreFinishedFor(std::chrono::nanoseconds timeout) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    return impl_->emptied.wait_for(lock, timeout, [&] { return impl_->entries.empty(); });
}

OperationQueue* OperationQueue::currentQueue() { return tCurrentOperationQueue; }

}  // namespace platform
