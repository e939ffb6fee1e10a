#include "Platform/Dispatch/Operation.h"

#include <algorithm>

namespace platform {

Operation::Operation() = default;

Operation::~Operation() = default;

std::string Operation::name() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return name_;
}

void Operation::setName(std::string name) {
    std::lock_guard<std::mutex> lock(mutex_);
    name_ = std::move(name);
}

void Operation::addDependency(const OperationPtr& op) {
    if (!op || op.get() == this) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (std::find(dependencies_.begin(), dependencies_.end(), op) != dependencies_.end())
            return;
        dependencies_.push_back(op);
    }
    std::lock_guard<std::mutex> lock(op->mutex_);
    if (!op->finished_) op->dependents_.push_back(weak_from_this());
}

void Operation::removeDependency(const OperationPtr& op) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = std::find(dependencies_.begin(), dependencies_.end(), op);
        if (it == dependencies_.end()) return;
        dependencies_.erase(it);
    }
    // Removing the last unfinished dependency can make this one ready.
    notifyObservers();
}

std::vector<OperationPtr> Operation::dependencies() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dependencies_;
}

void Operation::setCompletionBlock(Block block) {
    std::lock_guard<std::mutex> lock(mutex_);
    completion_ = std::move(block);
}

void Operation::cancel() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (cancelled_ || finished_) return;
        cancelled_ = true;
    }
    notifyObservers();
}

bool Operation::isCancelled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cancelled_;
}

bool Operation::isExecuting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return executing_;
}

bool Operation::isFinished() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return finished_;
}

bool Operation::allDependenciesFinished() const {
    // Read the list under our lock but ask each dependency under its own only,
    // so two operations never hold both locks.
    for (const OperationPtr& dep : dependencies())
        if (!dep->isFinished()) return false;
    return true;
}

bool Operation::isReady() const {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (finished_) return false;
        if (cancelled_) return true;
    }
    return allDependenciesFinished();
}

void Operation::start() {
    const bool ready = isReady();
    bool cancelled;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (started_ || finished_ || !ready) return;
        started_ = true;
        cancelled = cancelled_;
    }
    if (cancelled) {
        markFinished();
        return;
    }
    markExecuting();
    runCatchingExceptions(name().empty() ? "operation" : name(), [this] { main(); });
    markFinished();
}

void Operation::waitUntilFinished() const {
    std::unique_lock<std::mutex> lock(mutex_);
    finishedCondition_.wait(lock, [&] { return finished_; });
}

bool Operation::waitUntilFinishedFor(std::chrono::nanoseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return finishedCondition_.wait_for(lock, timeout, [&] { return finished_; });
}

std::size_t Operation::addStateObserver(StateObserver observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t handle = nextObserver_++;
    observers_.emplace_back(handle, std::move(observer));
    return handle;
}

void Operation::removeStateObserver(std::size_t handle) {
    StateObserver dropped;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find_if(observers_.begin(), observers_.end(),
                           [&](const auto& entry) { return entry.first == handle; });
    if (it == observers_.end()) return;
    dropped = std::move(it->second);
    observers_.erase(it);
}

void Operation::markExecuting() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (finished_) return;
    started_ = true;
    executing_ = true;
}

void Operation::markFinished() {
    std::vector<std::weak_ptr<Operation>> dependents;
    Block completion;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (finished_) return;
        finished_ = true;
        started_ = true;
        executing_ = false;
        dependents.swap(dependents_);
        completion = std::move(completion_);
    }
    finishedCondition_.notify_all();
    notifyObservers();
    for (const auto& weak : dependents)
        if (OperationPtr dependent = weak.lock()) dependent->notifyObservers();
    runCatchingExceptions("operation completion", completion);
}

void Operation::notifyObservers() {
    std::vector<StateObserver> observers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& entry : observers_) observers.push_back(entry.second);
    }
    for (const StateObserver& observer : observers) observer(*this);
}

std::shared_ptr<BlockOperation> BlockOperation::create(Block block) {
    auto op = std::make_shared<BlockOperation>();
    if (block) op->addExecutionBlock(std::move(block));
    return op;
}

void BlockOperation::addExecutionBlock(Block block) {
    if (!block) return;
    std::lock_guard<std::mutex> lock(blocksMutex_);
    blocks_.push_back(std::move(block));
}

void BlockOperation::main() {
    std::vector<Block> blocks;
    {
        std::lock_guard<std::mutex> lock(blocksMutex_);
        blocks = blocks_;
    }
    for (const Block& block : blocks) block();
}

}  // namespace platform
