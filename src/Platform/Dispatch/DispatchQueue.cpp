#include "Platform/Dispatch/DispatchQueue.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>

namespace platform {

namespace {

thread_local DispatchQueue* tCurrentQueue = nullptr;

std::mutex& handlerMutex() {
    static std::mutex m;
    return m;
}

BlockExceptionHandler& handlerSlot() {
    static BlockExceptionHandler handler;
    return handler;
}

void defaultReport(const std::string& label, std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Uncaught exception in a block on queue \"%s\": %s\n", label.c_str(),
                     e.what());
    } catch (...) {
        std::fprintf(stderr, "Uncaught exception of unknown type in a block on queue \"%s\"\n",
                     label.c_str());
    }
}

}  // namespace

void setBlockExceptionHandler(BlockExceptionHandler handler) {
    std::lock_guard<std::mutex> lock(handlerMutex());
    handlerSlot() = std::move(handler);
}

void runCatchingExceptions(const std::string& label, const Block& block) noexcept {
    if (!block) return;
    try {
        block();
    } catch (...) {
        std::exception_ptr error = std::current_exception();
        BlockExceptionHandler handler;
        {
            std::lock_guard<std::mutex> lock(handlerMutex());
            handler = handlerSlot();
        }
        try {
            if (handler)
                handler(label, error);
            else
                defaultReport(label, error);
        } catch (...) {
            // A failing report must not take the queue's thread down with it.
        }
    }
}

DispatchQueue* DispatchQueue::current() { return tCurrentQueue; }

void DispatchQueue::runBlock(const Block& block) {
    DispatchQueue* saved = tCurrentQueue;
    tCurrentQueue = this;
    runCatchingExceptions(label(), block);
    tCurrentQueue = saved;
}

bool DispatchQueue::tryRunNow(const Block&) { return false; }

void DispatchQueue::sync(Block block) {
    if (!block) return;
    if (isCurrent()) {
        runBlock(block);
        return;
    }
    struct Waiter {
        std::mutex mutex;
        std::condition_variable condition;
        bool done = false;
    };
    auto waiter = std::make_shared<Waiter>();
    async([waiter, &block, this] {
        // Run here rather than letting the queue report the exception, so the
        // waiter is released whatever the block does.
        runCatchingExceptions(label(), block);
        std::lock_guard<std::mutex> lock(waiter->mutex);
        waiter->done = true;
        waiter->condition.notify_all();
    });
    std::unique_lock<std::mutex> lock(waiter->mutex);
    waiter->condition.wait(lock, [&] { return waiter->done; });
}

}  // namespace platform
