// Internal to the libcurl client: one transfer (an easy handle with its
// callbacks) and the engine thread that drives all of them on one multi
// handle. Not for use outside HttpCurlClient.
#pragma once

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "Platform/Http/HttpClient.h"

namespace platform {

class CurlEngine;

/// One transfer. Everything but cancel() and request() runs on the engine
/// thread.
class CurlTransfer final : public HttpTask, public std::enable_shared_from_this<CurlTransfer> {
  public:
    using Clock = std::chrono::steady_clock;

    CurlTransfer(std::weak_ptr<CurlEngine> engine, HttpRequest request,
                 std::optional<HttpDownloadTarget> target, DispatchQueuePtr queue,
                 HttpTaskHandlers handlers);
    ~CurlTransfer() override;

    void cancel() override;
    const HttpRequest& request() const override { return request_; }
    bool cancelRequested() const { return cancelRequested_.load(std::memory_order_acquire); }

    // Engine thread only.
    /// Makes the easy handle; false (with `error`) when the request cannot start.
    bool prepare(Error* error);
    CURL* easy() const { return easy_; }
    /// When the idle time-out runs out.
    /// When the idle time-out runs out, or the total one when that comes first.
    Clock::time_point idleDeadline() const {
        return std::min(lastActivity_ + idleTimeout_, totalDeadline_);
    }
    /// Ends the transfer with libcurl's result and posts the completion.
    void finish(CURLcode result);
    /// Ends the transfer with `error` and posts the completion.
    void fail(Error error);

  private:
    struct Delivery;

    static std::size_t headerCallback(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t writeCallback(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t readCallback(char* data, std::size_t size, std::size_t count, void* self);
    static int seekCallback(void* self, curl_off_t offset, int origin);
    static int progressCallback(void* self, curl_off_t dlTotal, curl_off_t dlNow,
                                curl_off_t ulTotal, curl_off_t ulNow);

    bool onHeaderLine(std::string_view line);
    bool onHeadComplete();
    bool openTargetFile(int status);
    bool onBody(const char* data, std::size_t size);
    long onRead(char* buffer, std::size_t capacity);
    void touch() { lastActivity_ = Clock::now(); }
    void postProgress();
    HttpProgress progressNow() const;
    void abortWith(Error error);
    void releaseHandle();
    void complete(Error error);

    std::weak_ptr<CurlEngine> engine_;
    const HttpRequest request_;
    const std::optional<HttpDownloadTarget> target_;
    std::shared_ptr<Delivery> delivery_;
    std::atomic<bool> cancelRequested_{false};

    CURL* easy_ = nullptr;
    curl_slist* headerList_ = nullptr;
    char errorBuffer_[CURL_ERROR_SIZE] = {};
    std::shared_ptr<HttpBodySource> body_;
    std::chrono::nanoseconds idleTimeout_{};
    Clock::time_point lastActivity_{};
    Clock::time_point totalDeadline_ = Clock::time_point::max();
    bool completed_ = false;

    // The response head being read; `final_` once it is the one whose body counts.
    HttpHeadReader head_;
    std::optional<HttpResponse> response_;
    bool final_ = false;
    bool redirectPending_ = false;  // the last head was a redirect being followed
    Error abortError_;

    Data bodyBytes_;
    int fd_ = -1;
    bool fileOpened_ = false;
    std::uint64_t resumeOffset_ = 0;
    std::uint64_t received_ = 0;
    std::uint64_t sent_ = 0;
    // Progress: whether any was reported, and when the last went out.
    bool progressed_ = false;
    std::uint64_t lastProgressBytes_ = 0;
    Clock::time_point lastProgressTime_{};
};

/// The thread that drives every transfer of one client.
class CurlEngine : public std::enable_shared_from_this<CurlEngine> {
  public:
    CurlEngine();
    ~CurlEngine();
    /// Starts the thread. The thread keeps the engine alive until it ends, so
    /// the last reference may well be dropped on the thread itself (by a
    /// callback it releases); the engine then never joins its own thread.
    void start();
    /// Ends the thread: waits for it unless called on the thread itself.
    void stop();
    /// Hands a transfer to the thread. Any thread.
    void submit(std::shared_ptr<CurlTransfer> transfer);
    /// Asks the thread to cancel a transfer. Any thread.
    void requestCancel(std::shared_ptr<CurlTransfer> transfer);

  private:
    void run() noexcept;
    void runOnce();
    void remove(CURL* easy);

    CURLM* multi_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> pending_{false};  // something waits in the lists below
    std::mutex mutex_;
    std::vector<std::shared_ptr<CurlTransfer>> pendingAdds_;
    std::vector<std::shared_ptr<CurlTransfer>> pendingCancels_;
    std::unordered_map<CURL*, std::shared_ptr<CurlTransfer>> active_;  // engine thread only
};

}  // namespace platform
