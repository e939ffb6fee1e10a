// A named serial queue: blocks run one at a time, in the order they were
// enqueued, on a thread of the queue's own.
#pragma once

#include <memory>
#include <string>

#include "Platform/Dispatch/DispatchQueue.h"

namespace platform {

/// A FIFO queue whose blocks never overlap. Any thread may enqueue.
///
/// Lifetime: pending blocks keep the queue alive, as a dispatch queue is
/// retained by its blocks. Dropping the last outside reference never waits
/// and never loses work: the blocks still pending run, then the queue and its
/// thread go away (from the queue's own thread when that is where the last
/// reference ends). So a block must not capture references to the dropper's
/// stack unless the dropper waits for it; and a queue suspended with work
/// pending lives until it is resumed.
class SerialQueue : public DispatchQueue {
  public:
    /// A new queue named `label` (the thread is named after it too).
    static std::shared_ptr<SerialQueue> create(std::string label);

    ~SerialQueue() override;
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const override;
    void async(Block block) override;
    bool tryRunNow(const Block& block) override;
    bool isCurrent() const override;

    /// Stops starting new blocks until resume(); calls nest (each suspend
    /// needs one resume). A block already running finishes. sync() on a
    /// suspended queue waits until it is resumed.
    void suspend();
    void resume();

  private:
    struct Core;
    explicit SerialQueue(std::shared_ptr<Core> core);
    std::shared_ptr<Core> core_;
};

}  // namespace platform
