// Records what one HTTP transfer delivers (response, progress, completion)
// and lets a test wait for the completion with a bound.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Http/HttpClient.h"

namespace testsupport {

class HttpTransferRecorder {
  public:
    /// Callbacks that record into this object; `queue` is the delivery queue
    /// the test expects them on (checked when not null).
    platform::HttpTaskHandlers handlers(platform::DispatchQueuePtr queue = nullptr) {
        auto state = state_;
        platform::HttpTaskHandlers h;
        h.onResponse = [state, queue](const platform::HttpResponse& r) {
            std::lock_guard lock(state->mutex);
            state->events.push_back("response");
            state->response = r;
            if (queue && !queue->isCurrent()) state->offQueue = true;
        };
        h.onProgress = [state, queue](const platform::HttpProgress& p) {
            std::lock_guard lock(state->mutex);
            state->events.push_back("progress");
            state->progress.push_back(p);
            if (queue && !queue->isCurrent()) state->offQueue = true;
        };
        h.onComplete = [state, queue](platform::HttpResult r) {
            std::lock_guard lock(state->mutex);
            state->events.push_back("complete");
            state->result = std::move(r);
            ++state->completions;
            if (queue && !queue->isCurrent()) state->offQueue = true;
            state->changed.notify_all();
        };
        return h;
    }

    /// Waits for the completion; false on time-out.
    bool waitForCompletion(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::unique_lock lock(state_->mutex);
        return state_->changed.wait_for(lock, timeout, [&] { return state_->completions > 0; });
    }

    /// The result (valid after waitForCompletion() returned true).
    platform::HttpResult result() const {
        std::lock_guard lock(state_->mutex);
        return state_->result;
    }
    std::optional<platform::HttpResponse> response() const {
        std::lock_guard lock(state_->mutex);
        return state_->response;
    }
    std::vector<platform::HttpProgress> progress() const {
        std::lock_guard lock(state_->mutex);
        return state_->progress;
    }
    /// "response", "progress" and "complete" in delivery order.
    std::vector<std::string> events() const {
        std::lock_guard lock(state_->mutex);
        return state_->events;
    }
    int completions() const {
        std::lock_guard lock(state_->mutex);
        return state_->completions;
    }
    /// True when any callback ran off the expected queue.
    bool ranOffQueue() const {
        std::lock_guard lock(state_->mutex);
        return state_->offQueue;
    }
    long errorCode() const { return result().error.code(); }
    std::string bodyText() const {
        auto r = result();
        return std::string(r.body.begin(), r.body.end());
    }

  private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<std::string> events;
        std::optional<platform::HttpResponse> response;
        std::vector<platform::HttpProgress> progress;
        platform::HttpResult result;
        int completions = 0;
        bool offQueue = false;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace testsupport
