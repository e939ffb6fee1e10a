// The URL-loading layer: starts HTTP transfers and reports their response,
// progress and completion on a queue that the caller names.
//
// HttpClient is an interface so that tests can put a double in place of the
// network; HttpClient::shared() is the real one (libcurl, see
// HttpCurlClient.h). Only http and https URLs are loaded.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Http/HttpRequest.h"
#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

namespace platform {

/// Progress of one transfer. Byte counts are of this transfer's body alone.
struct HttpProgress {
    std::uint64_t bytesReceived = 0;
    /// Content-Length of the final response, or -1 when unknown.
    std::int64_t expectedBytesToReceive = -1;
    /// For a resumed download: the file offset the received bytes continue
    /// from (0 otherwise). The file then holds resumeOffset + bytesReceived bytes.
    std::uint64_t resumeOffset = 0;
    std::uint64_t bytesSent = 0;
    /// Length of the request body, or -1 when unknown (or none).
    std::int64_t expectedBytesToSend = -1;
};

/// The outcome of one transfer.
struct HttpResult {
    /// The head of the final response; absent when none arrived.
    std::optional<HttpResponse> response;
    /// Data transfers: the final response's body.
    Data body;
    /// Download transfers: the file the body went to ("" for data transfers).
    std::string filePath;
    /// Bytes of the final response's body received by this transfer.
    std::uint64_t bytesReceived = 0;
    /// For a resumed download answered with 206: the offset the body was
    /// appended at (0 otherwise).
    std::uint64_t resumeOffset = 0;
    /// Empty when the exchange completed, whatever its HTTP status; otherwise
    /// a kURLErrorDomain error (kURLErrorCancelled after cancel()).
    Error error;

    bool succeeded() const { return error.empty(); }
};

/// Callbacks of one transfer, all optional. Each runs on the delivery queue:
/// onResponse at most once (when the head of the final response is in),
/// onProgress any number of times (coalesced: each call sees the latest
/// counts), onComplete exactly once, last. With a serial delivery queue they
/// arrive in that order; a concurrent queue gives no order. An exception
/// thrown by a callback is reported by the queue and does not stop the
/// transfer.
struct HttpTaskHandlers {
    std::function<void(const HttpResponse&)> onResponse;
    std::function<void(const HttpProgress&)> onProgress;
    std::function<void(HttpResult)> onComplete;
};

/// Where a download writes its body.
struct HttpDownloadTarget {
    HttpDownloadTarget() = default;
    HttpDownloadTarget(std::string path, std::uint64_t resumeOffset = 0, std::string ifRange = {})
        : path(std::move(path)), resumeOffset(resumeOffset), ifRange(std::move(ifRange)) {}

    /// The file. Created (or emptied) when the final response arrives.
    std::string path;
    /// When not 0, resume: the request asks for the bytes from this offset
    /// ("Range: bytes=N-"), and a 206 answer whose Content-Range starts there is
    /// appended to the file's first `resumeOffset` bytes. A 200 answer (the
    /// server ignored the range or If-Range did not match) rewrites the file
    /// from the start. Any other status leaves the file untouched and drops
    /// the body. A 206 answer starting elsewhere fails with
    /// kURLErrorBadServerResponse.
    std::uint64_t resumeOffset = 0;
    /// Sent as If-Range with the range when not empty (an entity tag or a date,
    /// see HttpResponse::resumeValidator()).
    std::string ifRange;
};

/// A transfer in flight.
class HttpTask {
  public:
    virtual ~HttpTask() = default;
    /// Stops the transfer. Unless it has already completed, its completion is
    /// then delivered with kURLErrorCancelled. Any thread; never blocks.
    virtual void cancel() = 0;
    /// The request as it was started.
    virtual const HttpRequest& request() const = 0;
};

using HttpTaskPtr = std::shared_ptr<HttpTask>;

class HttpClient {
  public:
    virtual ~HttpClient() = default;

    /// Starts a transfer whose response body is collected in memory and
    /// handed over in HttpResult::body. Callbacks run on `queue` (a global
    /// queue when null). Never blocks and never calls back before returning:
    /// even a request that cannot be started (bad or non-http(s) URL) is
    /// reported through onComplete.
    virtual HttpTaskPtr startDataTask(HttpRequest request, DispatchQueuePtr queue,
                                      HttpTaskHandlers handlers) = 0;

    /// Starts a transfer whose response body is written to `target` (see
    /// HttpDownloadTarget); the body is not kept in memory. A partial file is
    /// left in place when the transfer fails or is cancelled, so it can be
    /// resumed. Otherwise as startDataTask(); file errors complete the task
    /// with kURLErrorCannotCreateFile or kURLErrorCannotWriteToFile.
    virtual HttpTaskPtr startDownloadTask(HttpRequest request, HttpDownloadTarget target,
                                          DispatchQueuePtr queue, HttpTaskHandlers handlers) = 0;

    /// The process-wide client over libcurl; made on first use and kept until
    /// the process ends.
    static std::shared_ptr<HttpClient> shared();
};

using HttpClientPtr = std::shared_ptr<HttpClient>;

}  // namespace platform
