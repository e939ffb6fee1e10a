// The transports that fetch one file of a download into "<name>.fsd" in the
// download folder, resuming interrupted transfers, and the one-shot request
// used for small transfers.
//
// Two transports exist, chosen by the Foundation version the process reports
// (isURLSessionSupportedOS()): the session transport and the connection
// transport. Both run over HttpClient download tasks; they differ in the
// delegate calls they make and in when they keep resume data.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Downloader/FSDResumeData.h"
#include "Downloader/PelFSDFile.h"
#include "Downloader/PelFSDProtocol.h"
#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Http/HttpClient.h"
#include "Platform/Values/Error.h"

class FSDURLDownload : public std::enable_shared_from_this<FSDURLDownload> {
  public:
    /// (success, path of the finished file or null, bytes of the file
    /// received, error or null). Success: (true, "<name>.fsd", bytes, null);
    /// failure: (false, null, bytes, error), the error null for an answer
    /// whose status is neither 200 nor 206.
    using CompletionHandler =
        std::function<void(bool success, const std::string* path, std::uint64_t bytesReceived,
                           const platform::Error* error)>;
    /// (body or null, response head or null, error or null).
    using RequestHandler =
        std::function<void(const platform::Data* data, const platform::HttpResponse* response,
                           const platform::Error* error)>;

    /// The Foundation version of this build's URL loading.
    static constexpr double kFoundationVersionNumber = 1575.0;
    /// The version the transport choice reads (kFoundationVersionNumber
    /// unless set; tests set it).
    static double foundationVersionNumber();
    static void setFoundationVersionNumber(double version);
    /// True when floor(foundationVersionNumber()) is above 1056: the session
    /// transport is used, the connection transport otherwise.
    static bool isURLSessionSupportedOS();

    /// The client transfers go through (HttpClient::shared() unless set; null
    /// restores it).
    static platform::HttpClientPtr httpClient();
    static void setHttpClient(platform::HttpClientPtr client);

    /// A transport for `file` fetching `url` from the start, started at once.
    /// Its events, retries and completion run on `queue` (a serial queue of
    /// its own when null); delegate calls go to the main queue. Null when the
    /// address is missing or gives no usable file name.
    static std::shared_ptr<FSDURLDownload> downloadWithURL(
        const std::optional<std::string>& url, const PelFSDFilePtr& file,
        PelFSDDelegateRef delegate, CompletionHandler completion,
        platform::DispatchQueuePtr queue = nullptr);
    /// A transport that continues the partial file after `data.offset` bytes
    /// (Range with If-Range); otherwise as downloadWithURL() with the file's
    /// download address.
    static std::shared_ptr<FSDURLDownload> downloadWithResumeData(
        const FSDResumeData& data, const PelFSDFilePtr& file, PelFSDDelegateRef delegate,
        CompletionHandler completion, platform::DispatchQueuePtr queue = nullptr);
    /// Sends `request` and calls `handler` once with the outcome on `queue`
    /// (when null: the main queue for the connection transport, a global
    /// queue for the session transport). The body is held in memory: set a
    /// response-size limit on the request for anything large.
    static platform::HttpTaskPtr downloadWithURLRequest(platform::HttpRequest request,
                                                        RequestHandler handler,
                                                        platform::DispatchQueuePtr queue = nullptr);

    /// "<folder>/<name>.fsd" for the file `url` names, or null.
    static std::optional<std::string> downloadFileNameWithURL(std::string_view url,
                                                              std::string_view downloadPath);
    /// "<folder>/.<name>.fsd_resumedata", or null.
    static std::optional<std::string> resumeDataFileNameWithFSDDownloadURL(
        std::string_view url, std::string_view downloadPath);

    /// True for the transient URL errors worth another attempt: timed out,
    /// cannot connect, connection lost, bad server response, and an unknown
    /// error over CFNetwork's unknown error (-998).
    static bool canRetryForError(const platform::Error* error);

    virtual ~FSDURLDownload();
    FSDURLDownload(const FSDURLDownload&) = delete;
    FSDURLDownload& operator=(const FSDURLDownload&) = delete;

    /// Stops the transfer. Once the partial file is closed, its resume data
    /// is written (when the response had a strong validator) and the
    /// transport finishes without calling its completion. Any thread.
    void cancelDownload();

    /// Bytes of the file received so far, resume offset included.
    std::uint64_t bytesReceived() const { return bytesReceived_.load(); }
    /// The status of the last response (0 before one).
    int statusCode() const { return statusCode_.load(); }
    virtual bool isSessionTransport() const = 0;
    const std::string& downloadURL() const { return downloadURL_; }
    const std::string& downloadPath() const { return downloadPath_; }
    const std::string& targetPath() const { return targetPath_; }
    const std::string& resumeDataPath() const { return resumeDataPath_; }
    std::uint64_t retries() const { return retries_.load(); }
    std::int64_t filePriority() const { return filePriority_; }

    /// Called once on the transport's queue when the transport has nothing
    /// left to do (after its completion, or after a cancel has written the
    /// resume data). Set before the transfer can end, i.e. right after making it.
    void setFinishedHandler(std::function<void()> handler);
    bool isFinished() const { return finished_.load(); }

  protected:
    FSDURLDownload(PelFSDDelegateRef delegate, CompletionHandler completion,
                   platform::DispatchQueuePtr queue);
    bool configure(const std::string& url, const PelFSDFile& file);
    /// Starts (or restarts) the transfer after `offset` bytes of the partial.
    void start(std::uint64_t offset, std::string validator);
    /// Session: empties the partial of a fresh transfer. Both: downloadDidBegin.
    virtual void beginDownload(bool fresh) = 0;
    virtual void didReceiveGoodResponse() {}
    /// Whether a final failure keeps resume data.
    virtual bool keepsResumeDataOnFailure() const = 0;
    void post(PelFSDOperation operation, std::function<void(PelFSDProtocol&)> call) const;

  private:
    void onResponse(std::uint64_t generation, const platform::HttpResponse& response);
    void onProgress(std::uint64_t generation, const platform::HttpProgress& progress);
    void onComplete(std::uint64_t generation, platform::HttpResult result);
    bool retryFile(const platform::Error& error);
    void writeOrDropResumeData();
    /// Ends a failed transfer whose partial stays on disk, with the resume
    /// data that lets the next run continue it (where this transport keeps
    /// any).
    void failKeepingPartial(const platform::Error* error);
    void finishWith(bool success, const std::string* path, const platform::Error* error);
    void markFinished();

    PelFSDDelegateRef delegate_;
    CompletionHandler completion_;
    platform::DispatchQueuePtr queue_;
    std::function<void()> finishedHandler_;

    std::string downloadURL_, downloadPath_, targetPath_, resumeDataPath_;
    std::atomic<std::uint64_t> retries_{0};
    std::int64_t filePriority_ = 0;

    std::atomic<std::uint64_t> bytesReceived_{0};
    // What progress calls report; shared with the calls waiting on the main queue.
    std::shared_ptr<std::atomic<std::uint64_t>> progressBytes_ =
        std::make_shared<std::atomic<std::uint64_t>>(0);
    std::atomic<int> statusCode_{0};
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> finished_{false};

    std::mutex mutex_;  // guards task_ and generation_
    platform::HttpTaskPtr task_;
    std::uint64_t generation_ = 0;

    // Queue only.
    std::uint64_t requestedOffset_ = 0;
    std::string validator_;  // of the last good response (or of the resume data)
    bool restartedAfterRangeRefusal_ = false;
};

/// The transport of systems with URL sessions.
class FSDSessionDownload final : public FSDURLDownload {
  public:
    FSDSessionDownload(PelFSDDelegateRef delegate, CompletionHandler completion,
                       platform::DispatchQueuePtr queue)
        : FSDURLDownload(std::move(delegate), std::move(completion), std::move(queue)) {}
    bool isSessionTransport() const override { return true; }

  protected:
    void beginDownload(bool fresh) override;
    bool keepsResumeDataOnFailure() const override { return filePriority() >= 0; }
    friend class FSDURLDownload;
};

/// The transport of older systems.
class FSDConnectionDownload final : public FSDURLDownload {
  public:
    FSDConnectionDownload(PelFSDDelegateRef delegate, CompletionHandler completion,
                          platform::DispatchQueuePtr queue)
        : FSDURLDownload(std::move(delegate), std::move(completion), std::move(queue)) {}
    bool isSessionTransport() const override { return false; }

  protected:
    void beginDownload(bool fresh) override;
    void didReceiveGoodResponse() override;
    bool keepsResumeDataOnFailure() const override { return false; }
    friend class FSDURLDownload;
};

using FSDURLDownloadPtr = std::shared_ptr<FSDURLDownload>;
