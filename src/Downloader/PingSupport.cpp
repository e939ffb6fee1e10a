#include "Downloader/PingSupport.h"

#include <errno.h>

#include <mutex>

#include "Platform/Paths.h"

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

std::optional<std::string> osReleaseValue(std::string_view text, std::string_view key) {
    while (!text.empty()) {
        auto eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        if (line.size() <= key.size() || line.substr(0, key.size()) != key ||
            line[key.size()] != '=')
            continue;
        std::string_view raw = line.substr(key.size() + 1);
        while (!raw.empty() && (raw.back() == '\r' || raw.back() == ' ' || raw.back() == '\t'))
            raw.remove_suffix(1);
        if (raw.size() >= 2 && (raw.front() == '"' || raw.front() == '\'') &&
            raw.back() == raw.front()) {
            const char quote = raw.front();
            raw = raw.substr(1, raw.size() - 2);
            if (quote == '\'') return std::string(raw);
            std::string value;
            for (std::size_t i = 0; i < raw.size(); ++i) {
                if (raw[i] == '\\' && i + 1 < raw.size()) ++i;
                value += raw[i];
            }
            return value;
        }
        return std::string(raw);
    }
    return std::nullopt;
}

std::string resolveSystemPath(std::string_view path) { return platform::Paths::resolve(path); }

std::string homeDirectory() { return platform::Paths::homeDirectory(); }

}  // namespace pings
