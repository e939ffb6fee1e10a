// Units of work for operation queues: plain operations with dependencies,
// block operations, and asynchronous operations that finish later on their
// own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/Dispatch/DispatchQueue.h"

namespace platform {

class Operation;
using OperationPtr = std::shared_ptr<Operation>;

/// An operation runs once. A synchronous operation does its work in main()
/// and is finished when main() returns. An asynchronous one (isAsynchronous()
/// true) overrides start(), calls markExecuting(), and calls markFinished()
/// when its work ends, from any thread; its queue counts it as running until
/// then.
///
/// An operation is ready when every dependency has finished, or at once when
/// it is cancelled (a cancelled operation no longer waits for its
/// dependencies; when a queue starts it, the default start() finishes it
/// without running main()).
///
/// Operations are always owned by std::shared_ptr (std::make_shared or
/// BlockOperation::create()); dependencies rely on it.
class Operation : public std::enable_shared_from_this<Operation> {
  public:
    Operation();
    virtual ~Operation();
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

    std::string name() const;
    void setName(std::string name);

    /// Makes this operation wait for `op` to finish. Call it before this
    /// operation is added to a queue, or while it waits in one and is not
    /// ready (another dependency has not finished yet, e.g. from inside that
    /// dependency): the queue then waits for `op` as well. Adding a
    /// dependency on itself or on null is ignored.
    void addDependency(const OperationPtr& op);
    void removeDependency(const OperationPtr& op);
    std::vector<OperationPtr> dependencies() const;

    /// Runs once the operation has finished (cancelled or not), on the thread
    /// that finished it, after the finished state is visible.
    void setCompletionBlock(Block block);

    /// Asks the operation to stop: sets isCancelled(), makes it ready, and
    /// lets subclasses react (override and call the base).
    virtual void cancel();

    bool isCancelled() const;
    bool isExecuting() const;
    bool isFinished() const;
    bool isReady() const;
    virtual bool isAsynchronous() const { return false; }

    /// Runs the operation on the calling thread. The default: when cancelled,
    /// finish at once; otherwise mark executing, call main() (exceptions are
    /// caught and reported), mark finished. Calling it twice, or on an
    /// operation that is not ready, does nothing.
    virtual void start();

    /// The work of a synchronous operation.
    virtual void main() {}

    /// Blocks until the operation has finished.
    void waitUntilFinished() const;
    /// The same with a bound (real time); returns whether it finished.
    bool waitUntilFinishedFor(std::chrono::nanoseconds timeout) const;

    /// Called whenever the operation becomes ready or finished (for queues;
    /// runs on the thread that made the change, without the operation's lock
    /// held). Returns a handle for removeStateObserver().
    using StateObserver = std::function<void(Operation&)>;
    std::size_t addStateObserver(StateObserver observer);
    void removeStateObserver(std::size_t handle);

  protected:
    /// For asynchronous operations: the work has begun.
    void markExecuting();
    /// The work has ended (also for a cancelled operation that never ran).
    /// Only the first call counts.
    void markFinished();

  private:
    friend class OperationQueue;

    bool allDependenciesFinished() const;
    void notifyObservers();

    mutable std::mutex mutex_;
    mutable std::condition_variable finishedCondition_;
    std::string name_;
    std::vector<OperationPtr> dependencies_;
    std::vector<std::weak_ptr<Operation>> dependents_;
    std::vector<std::pair<std::size_t, StateObserver>> observers_;
    std::size_t nextObserver_ = 1;
    Block completion_;
    bool cancelled_ = false;
    bool executing_ = false;
    bool finished_ = false;
    bool started_ = false;
    bool queued_ = false;
};

/// An operation that runs one or more blocks (in order, on the same thread).
class BlockOperation : public Operation {
  public:
    static std::shared_ptr<BlockOperation> create(Block block = {});
    void addExecutionBlock(Block block);
    void main() override;

  private:
    std::mutex blocksMutex_;
    std::vector<Block> blocks_;
};

}  // namespace platform
