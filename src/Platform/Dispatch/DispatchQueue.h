// Queues of blocks: the interface shared by serial queues, the global
// concurrent queues and the main queue.
//
// A block that throws is caught where the queue runs it and reported through
// the block-exception handler (standard error unless replaced); an exception
// never leaves a queue's thread.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>

namespace platform {

using Block = std::function<void()>;

/// A queue that runs blocks. Queues are shared objects: whoever enqueues or
/// targets a queue holds a DispatchQueuePtr, so a queue outlives its pending
/// work's producers.
class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
  public:
    virtual ~DispatchQueue() = default;

    /// The queue's name, for logs and for tests.
    virtual const std::string& label() const = 0;

    /// Enqueues `block` and returns at once. Empty blocks are ignored.
    virtual void async(Block block) = 0;

    /// Runs `block` on the queue and returns when it has run. Called from a
    /// block already running on this same queue (or, for the main queue, from
    /// the thread draining it), the block runs at once on the caller's thread
    /// instead of deadlocking. An exception thrown by `block` is reported like
    /// any other and not rethrown.
    virtual void sync(Block block);

    /// Runs `block` at once on the calling thread, as a block of this queue,
    /// when that keeps the queue's rules: for a serial queue, when it is idle
    /// (nothing running, nothing pending, not suspended); for a concurrent
    /// queue, always; never for the main queue. Answers whether it ran. Lets a
    /// thread that already has work for an idle queue skip the hand-off to
    /// the queue's own thread.
    virtual bool tryRunNow(const Block& block);

    /// True when the calling thread is running a block of this queue (for the
    /// main queue: is draining it).
    virtual bool isCurrent() const = 0;

    /// The queue whose block the calling thread is running, or null.
    static DispatchQueue* current();

  protected:
    /// Runs one block as the queue's current block: marks the thread as
    /// running this queue, catches and reports any exception.
    void runBlock(const Block& block);
};

using DispatchQueuePtr = std::shared_ptr<DispatchQueue>;

/// Relative priority of global queues. All share one pool of threads; the
/// level is kept for callers that name one and does not reorder work.
enum class QualityOfService { Background, Utility, Default, UserInitiated, UserInteractive };

/// The process-wide concurrent queue of the given level: blocks run in
/// parallel on a shared pool of worker threads, which grows when every worker
/// is busy (so blocks that wait on each other do not starve the pool).
DispatchQueuePtr globalQueue(QualityOfService qos = QualityOfService::Default);

/// Called with the queue label and the exception when a block throws.
using BlockExceptionHandler = std::function<void(const std::string& label, std::exception_ptr)>;

/// Replaces the handler of exceptions thrown by blocks (null restores the
/// default, which prints the label and what() to standard error). The handler
/// runs on the queue's thread; an exception it throws is swallowed.
void setBlockExceptionHandler(BlockExceptionHandler handler);

/// Runs `block`, catching any exception and reporting it under `label`.
/// For code outside queues that must not let an exception cross a thread.
void runCatchingExceptions(const std::string& label, const Block& block) noexcept;

}  // namespace platform
