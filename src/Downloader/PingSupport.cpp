#include "Downloader/PingSupport.h"

#include <errno.h>

#include <mutex>

#include "Platform/System/Paths.h"

namespace pings {
namespace {

class OperationQueueDispatch : public platform::DispatchQueue {
  public:
    explicit OperationQueueDispatch(platform::OperationQueuePtr queue)
        : queue_(std::move(queue)), label_(queue_->name()) {}
    const std::string& label() const override { return label_; }
    void async(platform::Block block) override {
        if (block) queue_->addOperation(std::move(block));
    }
    bool isCurrent() const override {
        return platform::OperationQueue::currentQueue() == queue_.get();
    }

  private:
    platform::OperationQueuePtr queue_;
    std::string label_;
};

std::mutex gSinkMutex;
std::shared_ptr<platform::LogSink> gSink;

std::shared_ptr<platform::LogSink> processSink() {
    std::lock_guard lock(gSinkMutex);
    if (!gSink) {
        platform::SystemLogSink::Options options;
        options.identity = program_invocation_short_name;
        options.copyToStderr = true;
        gSink = std::make_shared<platform::SystemLogSink>(options);
    }
    return gSink;
}

}  // namespace

platform::DispatchQueuePtr dispatchQueueOnOperationQueue(platform::OperationQueuePtr queue) {
    return std::make_shared<OperationQueueDispatch>(std::move(queue));
}

void logToProcessLog(std::string_view message) {
    processSink()->log(platform::kLogNotice, message);
}

void setProcessLogSink(std::shared_ptr<platform::LogSink> sink) {
    std::lock_guard lock(gSinkMutex);
    gSink = std::move(sink);
}

std::string resolveSystemPath(std::string_view path) { return platform::Paths::resolve(path); }

std::string homeDirectory() { return platform::Paths::homeDirectory(); }

}  // namespace pings
