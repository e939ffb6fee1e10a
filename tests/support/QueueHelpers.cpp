#include "support/QueueHelpers.h"

#include <exception>

#include "Platform/Dispatch/MainQueue.h"

namespace testsupport {

void Event::notify(std::size_t n) {
    // Notify under the lock: a waiter that wakes may destroy the Event at once.
    std::lock_guard<std::mutex> lock(mutex_);
    count_ += n;
    condition_.notify_all();
}

bool Event::waitFor(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return condition_.wait_for(lock, timeout, [&] { return count_ >= count; });
}

std::size_t Event::count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
}

BlockExceptionRecorder::BlockExceptionRecorder() {
    platform::setBlockExceptionHandler([this](const std::string& label, std::exception_ptr error) {
        Record record{label, "unknown"};
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            record.what = e.what();
        } catch (...) {
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            records_.push_back(std::move(record));
        }
        event_.notify();
    });
}

BlockExceptionRecorder::~BlockExceptionRecorder() { platform::setBlockExceptionHandler(nullptr); }

std::vector<BlockExceptionRecorder::Record> BlockExceptionRecorder::records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
}

void flushSerialQueue(const platform::DispatchQueuePtr& queue) {
    queue->sync([] {});
}

MainQueueGuard::MainQueueGuard() { platform::MainQueue::shared()->discardPending(); }

MainQueueGuard::~MainQueueGuard() { platform::MainQueue::shared()->discardPending(); }

}  // namespace testsupport
