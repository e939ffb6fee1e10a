// A named serial queue: blocks run one at a time, in the order they were
// enqueued, on a thread of the queue's own.
#pragma once

#include <memory>
#include <string>

#include "Platform/DispatchQueue.h"

namespace platform {

/// A FIFO queue whose blocks never overlap. Any thread may enqueue.
///
/// Destruction: when the last reference goes away the queue finishes every
/// block still pending, then its thread ends. Dropped from another thread,
/// the destructor waits for that; dropped from one of the queue's own blocks,
/// it returns at once and the thread finishes the rest and exits by itself.
/// Nothing pending is ever lost or run after the queue's memory is gone.
/// (Pending blocks keep the queue alive, so a queue suspended with work
/// pending lives until it is resumed.)
class SerialQueue : public DispatchQueue {
  public:
    /// A new queue named `label` (the thread is named after it too).
    static std::shared_ptr<SerialQueue> create(std::string label);

    ~SerialQueue() override;
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const override;
    void async(Block block) override;
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
