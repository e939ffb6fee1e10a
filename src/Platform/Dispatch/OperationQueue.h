// Operation queues: run operations as they become ready, at most a given
// number at a time.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Dispatch/Operation.h"

namespace platform {

/// A queue of operations. Ready operations start in the order they were
/// added; a synchronous operation runs on a global-queue thread, an
/// asynchronous one is started there and keeps its slot until it calls
/// markFinished(). The main operation queue (mainQueue()) runs its operations
/// one at a time on the main queue instead.
///
/// The queue keeps each operation until it has finished. Destroying a queue
/// cancels nothing and does not wait: operations already started finish on
/// their own; ones not started yet are dropped.
class OperationQueue : public std::enable_shared_from_this<OperationQueue> {
  public:
    /// Default for setMaxConcurrentOperationCount(): as many as the system
    /// sees fit (here: no limit of the queue's own).
    static constexpr int kDefaultMaxConcurrentOperationCount = -1;

    /// A new queue; an empty name becomes "OperationQueue <address>".
    static std::shared_ptr<OperationQueue> create(std::string name = {});

    /// The process-wide queue whose operations run on the main queue.
    static std::shared_ptr<OperationQueue> mainQueue();

    ~OperationQueue();
    OperationQueue(const OperationQueue&) = delete;
    OperationQueue& operator=(const OperationQueue&) = delete;

    std::string name() const;
    void setName(std::string name);

    int maxConcurrentOperationCount() const;
    /// Values below 1 other than kDefaultMaxConcurrentOperationCount count as 1.
    /// Ignored by the main operation queue, which always runs one at a time.
    void setMaxConcurrentOperationCount(int count);

    QualityOfService qualityOfService() const;
    void setQualityOfService(QualityOfService qos);

    /// Adds an operation. Returns false (and does nothing) for null, or an
    /// operation that is already finished, executing or in a queue.
    bool addOperation(const OperationPtr& op);
    /// Wraps `block` in a BlockOperation and adds it; returns the operation.
    std::shared_ptr<BlockOperation> addOperation(Block block);
    /// Adds every operation; with `waitUntilFinished`, then waits for them.
    void addOperations(const std::vector<OperationPtr>& ops, bool waitUntilFinished);

    /// The operations added and not yet finished, in the order added.
    std::vector<OperationPtr> operations() const;
    std::size_t operationCount() const;

    /// Cancels every operation in the queue (they still finish through their
    /// own start(), so waiting for them afterwards ends).
    void cancelAllOperations();

    /// A suspended queue starts no operation; running ones go on.
    bool isSuspended() const;
    void setSuspended(bool suspended);

    /// Blocks until every operation in the queue has finished. Must not be
    /// called from one of the queue's own operations; on the main operation
    /// queue it must not be called from the main thread (nothing would drain).
    void waitUntilAllOperationsAreFinished();
    /// The same with a bound (real time); returns whether the queue emptied.
    bool waitUntilAllOperationsAreFinishedFor(std::chrono::nanoseconds timeout);

    /// The queue whose operation the calling thread is running, or null.
    static OperationQueue* currentQueue();

  private:
    struct Impl;
    explicit OperationQueue(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

using OperationQueuePtr = std::shared_ptr<OperationQueue>;

}  // namespace platform
