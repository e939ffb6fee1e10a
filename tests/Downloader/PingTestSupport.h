// HTTP clients for ping tests: one that watches the transfers of another
// (to wait until a ping and its fall-back have finished), and one that
// answers from a script without any network.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Platform/Http/HttpClient.h"
#include "Platform/Http/HttpError.h"
#include "support/TempDir.h"

namespace pingtest {

/// The process state a ping test starts from, undone when it goes: LC_ALL
/// set to `locale`, the release file "etc/os-release" in `root` saying
/// version 12, the cached ping values cleared and the machine identifier
/// "MACHINE-1".
class PingEnvironment {
  public:
    PingEnvironment(const testsupport::TempDir& root, const char* locale);
    ~PingEnvironment();
    PingEnvironment(const PingEnvironment&) = delete;
    PingEnvironment& operator=(const PingEnvironment&) = delete;

  private:
    std::optional<std::string> savedLocale_;
};

/// Passes every transfer to `inner` and records the requests; settled once
/// every transfer started so far has run its completion (a fall-back started
/// from a completion counts before that completion ends).
class ObservingHttpClient : public platform::HttpClient {
  public:
    explicit ObservingHttpClient(platform::HttpClientPtr inner) : inner_(std::move(inner)) {}

    platform::HttpTaskPtr startDataTask(platform::HttpRequest request,
                                        platform::DispatchQueuePtr queue,
                                        platform::HttpTaskHandlers handlers) override {
        {
            std::lock_guard lock(state_->mutex);
            state_->requests.push_back(request);
            ++state_->started;
        }
        auto state = state_;
        auto original = std::move(handlers.onComplete);
        handlers.onComplete = [state, original](platform::HttpResult result) {
            if (original) original(result);
            std::lock_guard lock(state->mutex);
            ++state->finished;
            state->changed.notify_all();
        };
        return inner_->startDataTask(std::move(request), std::move(queue), std::move(handlers));
    }
    platform::HttpTaskPtr startDownloadTask(platform::HttpRequest, platform::HttpDownloadTarget,
                                            platform::DispatchQueuePtr,
                                            platform::HttpTaskHandlers) override {
        return nullptr;
    }

    bool waitUntilSettled(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::unique_lock lock(state_->mutex);
        return state_->changed.wait_for(lock, timeout, [&] {
            return state_->started > 0 && state_->finished == state_->started;
        });
    }
    std::vector<platform::HttpRequest> requests() const {
        std::lock_guard lock(state_->mutex);
        return state_->requests;
    }

  private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<platform::HttpRequest> requests;
        int started = 0;
        int finished = 0;
    };
    platform::HttpClientPtr inner_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

/// Completes every transfer on its queue with the result the script gives
/// for it (the n-th transfer gets script(request, n)); by default a 200.
class ScriptedHttpClient : public platform::HttpClient {
  public:
    using Script = std::function<platform::HttpResult(const platform::HttpRequest&, int)>;

    explicit ScriptedHttpClient(Script script = {}) : script_(std::move(script)) {}

    static platform::HttpResult status(int code) {
        platform::HttpResult r;
        r.response = platform::HttpResponse(code, {}, "");
        return r;
    }
    static platform::HttpResult failure(long urlErrorCode) {
        platform::HttpResult r;
        r.error = platform::makeURLError(urlErrorCode, "");
        return r;
    }

    platform::HttpTaskPtr startDataTask(platform::HttpRequest request,
                                        platform::DispatchQueuePtr queue,
                                        platform::HttpTaskHandlers handlers) override {
        int index = 0;
        {
            std::lock_guard lock(mutex_);
            index = count_++;
        }
        platform::HttpResult result = script_ ? script_(request, index) : status(200);
        auto done = std::move(handlers.onComplete);
        queue->async([done, result]() mutable {
            if (done) done(std::move(result));
        });
        return nullptr;
    }
    platform::HttpTaskPtr startDownloadTask(platform::HttpRequest, platform::HttpDownloadTarget,
                                            platform::DispatchQueuePtr,
                                            platform::HttpTaskHandlers) override {
        return nullptr;
    }

  private:
    Script script_;
    std::mutex mutex_;
    int count_ = 0;
};

/// Decodes "%XX" escapes.
inline std::string percentDecoded(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            out += static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

/// The query of a URL as (name, value) pairs in order, values decoded.
inline std::vector<std::pair<std::string, std::string>> queryFields(const std::string& url) {
    std::vector<std::pair<std::string, std::string>> fields;
    auto q = url.find('?');
    if (q == std::string::npos) return fields;
    std::string_view rest = std::string_view(url).substr(q + 1);
    while (!rest.empty()) {
        auto amp = rest.find('&');
        std::string_view pair = rest.substr(0, amp);
        auto eq = pair.find('=');
        fields.emplace_back(
            percentDecoded(pair.substr(0, eq)),
            eq == std::string_view::npos ? "" : percentDecoded(pair.substr(eq + 1)));
        if (amp == std::string_view::npos) break;
        rest.remove_prefix(amp + 1);
    }
    return fields;
}

}  // namespace pingtest
