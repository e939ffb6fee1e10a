#include "Platform/Http/HttpCurlClient.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "Platform/Http/HttpCurlTransfer.h"
#include "Platform/Http/HttpError.h"

namespace platform {
namespace {

// Longest wait of the engine thread when nothing is due, so that a lost
// wake-up can never stall it for long.
constexpr auto kMaxPollWait = std::chrono::milliseconds(500);

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

CurlEngine::CurlEngine() {
    initCurlOnce();
    multi_ = curl_multi_init();
}

CurlEngine::~CurlEngine() {
    stop();
    // Dropped by the thread's own last reference: it is ending anyway.
    if (thread_.joinable()) thread_.detach();
    // Whatever is left never finished: report it cancelled.
    std::vector<std::shared_ptr<CurlTransfer>> left;
    for (auto& [easy, t] : active_) {
        curl_multi_remove_handle(multi_, easy);
        left.push_back(t);
    }
    active_.clear();
    for (auto& t : pendingAdds_) left.push_back(t);
    pendingAdds_.clear();
    for (auto& t : left) t->fail(makeURLError(kURLErrorCancelled, t->request().url()));
    if (multi_) curl_multi_cleanup(multi_);
}

void CurlEngine::start() {
    thread_ = std::thread([self = shared_from_this()] { self->run(); });
}

void CurlEngine::stop() {
    stopping_.store(true, std::memory_order_release);
    if (multi_) curl_multi_wakeup(multi_);
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void CurlEngine::submit(std::shared_ptr<CurlTransfer> transfer) {
    {
        std::lock_guard lock(mutex_);
        pendingAdds_.push_back(std::move(transfer));
        pending_.store(true, std::memory_order_release);
    }
    curl_multi_wakeup(multi_);
}

void CurlEngine::requestCancel(std::shared_ptr<CurlTransfer> transfer) {
    {
        std::lock_guard lock(mutex_);
        pendingCancels_.push_back(std::move(transfer));
        pending_.store(true, std::memory_order_release);
    }
    curl_multi_wakeup(multi_);
}

void CurlEngine::remove(CURL* easy) {
    curl_multi_remove_handle(multi_, easy);
    active_.erase(easy);
}

void CurlEngine::run() noexcept {
    while (!stopping_.load(std::memory_order_acquire)) {
        try {
            runOnce();
        } catch (...) {
            // Only allocation can fail here; keep driving the other transfers.
        }
    }
}

void CurlEngine::runOnce() {
    // The lock is taken only when something was handed in: a running
    // transfer's loop takes none.
    std::vector<std::shared_ptr<CurlTransfer>> adds, cancels;
    if (pending_.exchange(false, std::memory_order_acq_rel)) {
        std::lock_guard lock(mutex_);
        adds.swap(pendingAdds_);
        cancels.swap(pendingCancels_);
    }
    for (auto& t : adds) {
        if (t->cancelRequested()) {
            t->fail(makeURLError(kURLErrorCancelled, t->request().url()));
            continue;
        }
        Error error;
        if (!t->prepare(&error)) {
            t->fail(std::move(error));
            continue;
        }
        if (curl_multi_add_handle(multi_, t->easy()) != CURLM_OK) {
            t->fail(makeURLError(kURLErrorUnknown, t->request().url()));
            continue;
        }
        active_.emplace(t->easy(), t);
    }
    for (auto& t : cancels) {
        CURL* easy = t->easy();
        auto it = easy ? active_.find(easy) : active_.end();
        if (it == active_.end() || it->second != t) continue;  // done already
        remove(easy);
        t->fail(makeURLError(kURLErrorCancelled, t->request().url()));
    }

    int running = 0;
    curl_multi_perform(multi_, &running);
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &queued)) {
        if (msg->msg != CURLMSG_DONE) continue;
        auto it = active_.find(msg->easy_handle);
        if (it == active_.end()) continue;
        auto t = it->second;
        CURLcode result = msg->data.result;
        remove(msg->easy_handle);  // invalidates msg
        t->finish(result);
    }

    // Idle time-outs are ours: libcurl's own time-outs count the whole
    // transfer, not the silence.
    auto now = CurlTransfer::Clock::now();
    auto next = now + kMaxPollWait;
    std::vector<std::shared_ptr<CurlTransfer>> expired;
    for (auto& [easy, t] : active_) {
        auto deadline = t->idleDeadline();
        if (deadline <= now)
            expired.push_back(t);
        else
            next = std::min(next, deadline);
    }
    for (auto& t : expired) {
        remove(t->easy());
        t->fail(makeURLError(kURLErrorTimedOut, t->request().url()));
    }
    if (!expired.empty()) return;  // look at the rest again before waiting

    auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
    curl_multi_poll(multi_, nullptr, 0, static_cast<int>(std::max<long long>(wait, 1)), nullptr);
}

// ---------------------------------------------------------------------------

CurlHttpClient::CurlHttpClient() : engine_(std::make_shared<CurlEngine>()) { engine_->start(); }

CurlHttpClient::~CurlHttpClient() { engine_->stop(); }

HttpTaskPtr CurlHttpClient::startDataTask(HttpRequest request, DispatchQueuePtr queue,
                                          HttpTaskHandlers handlers) {
    auto t = std::make_shared<CurlTransfer>(engine_, std::move(request), std::nullopt,
                                            std::move(queue), std::move(handlers));
    engine_->submit(t);
    return t;
}

HttpTaskPtr CurlHttpClient::startDownloadTask(HttpRequest request, HttpDownloadTarget target,
                                              DispatchQueuePtr queue, HttpTaskHandlers handlers) {
    auto t = std::make_shared<CurlTransfer>(engine_, std::move(request), std::move(target),
                                            std::move(queue), std::move(handlers));
    engine_->submit(t);
    return t;
}

std::shared_ptr<HttpClient> HttpClient::shared() {
    // Never destroyed: transfers may still be running while the process exits.
    static auto* client = new std::shared_ptr<HttpClient>(std::make_shared<CurlHttpClient>());
    return *client;
}

}  // namespace platform
