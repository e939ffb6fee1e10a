#include "Platform/Http/HttpCurlTransfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <utility>

#include "Platform/Http/HttpError.h"

namespace platform {
namespace {

constexpr long kMaxRedirects = 16;
constexpr long kReceiveBufferBytes = 256 * 1024;
constexpr long kSendBufferBytes = 64 * 1024;
constexpr double kMaxTimeoutSeconds = 7 * 24 * 3600.0;

// Header values must not carry line breaks: they would start new header lines.
std::string withoutLineBreaks(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s)
        if (c != '\r' && c != '\n') out += c;
    return out;
}

Error fileError(long code, int err, const std::string& path, const std::string& url) {
    return makeURLError(code, url, Error::posix(err, path));
}

// Progress goes out at most once per this many bytes and this much time,
// whichever comes later; the last progress always goes out before completion.
constexpr std::uint64_t kProgressBytes = 256 * 1024;
constexpr auto kProgressInterval = std::chrono::milliseconds(20);

}  // namespace

// What reaches the caller. The engine thread only posts to the queue: the
// callbacks themselves (and whatever they hold) are only ever called and
// released on the delivery queue, so the engine thread can never drop the
// last reference to something that owns the engine. The engine thread
// publishes progress through atomics and never takes the lock.
struct CurlTransfer::Delivery {
    DispatchQueuePtr queue;
    bool wantsResponse = false;
    bool wantsProgress = false;
    std::atomic<bool> progressPending{false};
    std::mutex mutex;  // guards what follows; taken on the delivery queue only
    HttpTaskHandlers handlers;
    std::optional<HttpProgress> delivered;  // the last progress handed out

    std::function<void(const HttpResponse&)> responseHandler() {
        std::lock_guard lock(mutex);
        return handlers.onResponse;
    }
    /// The progress handler, unless `p` went out already.
    std::function<void(const HttpProgress&)> progressHandlerFor(const HttpProgress& p) {
        std::lock_guard lock(mutex);
        if (!handlers.onProgress || (delivered && sameProgress(*delivered, p))) return {};
        delivered = p;
        return handlers.onProgress;
    }
    HttpTaskHandlers takeHandlers() {
        std::lock_guard lock(mutex);
        return std::exchange(handlers, {});
    }
    static bool sameProgress(const HttpProgress& a, const HttpProgress& b) {
        return a.bytesReceived == b.bytesReceived &&
               a.expectedBytesToReceive == b.expectedBytesToReceive &&
               a.resumeOffset == b.resumeOffset && a.bytesSent == b.bytesSent &&
               a.expectedBytesToSend == b.expectedBytesToSend;
    }
};

CurlTransfer::CurlTransfer(std::weak_ptr<CurlEngine> engine, HttpRequest request,
                           std::optional<HttpDownloadTarget> target, DispatchQueuePtr queue,
                           HttpTaskHandlers handlers)
    : engine_(std::move(engine)),
      request_(std::move(request)),
      target_(std::move(target)),
      delivery_(std::make_shared<Delivery>()) {
    delivery_->queue = queue ? std::move(queue) : globalQueue();
    delivery_->wantsResponse = static_cast<bool>(handlers.onResponse);
    delivery_->wantsProgress = static_cast<bool>(handlers.onProgress);
    delivery_->handlers = std::move(handlers);
}

CurlTransfer::~CurlTransfer() { releaseHandle(); }

void CurlTransfer::cancel() {
    if (cancelRequested_.exchange(true, std::memory_order_acq_rel)) return;
    if (auto engine = engine_.lock()) engine->requestCancel(shared_from_this());
}

bool CurlTransfer::prepare(Error* error) {
    const std::string& url = request_.url();
    CURLU* parsed = curl_url();
    if (!parsed) {
        setError(error, makeURLError(kURLErrorUnknown, url));
        return false;
    }
    CURLUcode rc = curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0);
    char* scheme = nullptr;
    if (rc == CURLUE_OK) rc = curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0);
    bool web = scheme && (std::strcmp(scheme, "http") == 0 || std::strcmp(scheme, "https") == 0);
    curl_free(scheme);
    curl_url_cleanup(parsed);
    if (rc != CURLUE_OK || !web) {
        long code = (rc == CURLUE_OK || rc == CURLUE_UNSUPPORTED_SCHEME) ? kURLErrorUnsupportedURL
                                                                         : kURLErrorBadURL;
        setError(error, makeURLError(code, url));
        return false;
    }

    easy_ = curl_easy_init();
    if (!easy_) {
        setError(error, makeURLError(kURLErrorUnknown, url));
        return false;
    }
    curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy_, CURLOPT_PRIVATE, this);
    curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorBuffer_);
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, request_.followsRedirects() ? 1L : 0L);
    curl_easy_setopt(easy_, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(easy_, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(easy_, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
    curl_easy_setopt(easy_, CURLOPT_UPLOAD_BUFFERSIZE, kSendBufferBytes);
    curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &CurlTransfer::headerCallback);
    curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlTransfer::writeCallback);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy_, CURLOPT_XFERINFOFUNCTION, &CurlTransfer::progressCallback);
    curl_easy_setopt(easy_, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(easy_, CURLOPT_NOPROGRESS, 0L);

    double idle = request_.timeoutInterval() > 0 ? request_.timeoutInterval()
                                                 : HttpRequest::kDefaultTimeoutInterval;
    idle = std::min(idle, kMaxTimeoutSeconds);
    idleTimeout_ =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(idle));
    double connect =
        request_.connectTimeout() > 0 ? std::min(request_.connectTimeout(), idle) : idle;
    curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS,
                     std::max(1L, static_cast<long>(connect * 1000.0)));

    const std::string& method = request_.method().empty() ? std::string("GET") : request_.method();
    if (request_.hasBody()) {
        body_ = request_.bodySource()
                    ? request_.bodySource()
                    : makeHttpBodySourceView(request_.body().data(), request_.body().size());
        curl_off_t length = body_->length();
        if (length < 0) {
            if (auto declared = parseHttpNumber(request_.headerValue("Content-Length")))
                length = static_cast<curl_off_t>(*declared);
        }
        curl_easy_setopt(easy_, CURLOPT_READFUNCTION, &CurlTransfer::readCallback);
        curl_easy_setopt(easy_, CURLOPT_READDATA, this);
        curl_easy_setopt(easy_, CURLOPT_SEEKFUNCTION, &CurlTransfer::seekCallback);
        curl_easy_setopt(easy_, CURLOPT_SEEKDATA, this);
        if (method == "POST") {
            curl_easy_setopt(easy_, CURLOPT_POST, 1L);
            curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE_LARGE, length);
        } else {
            curl_easy_setopt(easy_, CURLOPT_UPLOAD, 1L);
            curl_easy_setopt(easy_, CURLOPT_INFILESIZE_LARGE, length);
            if (method != "PUT") curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, method.c_str());
        }
    } else if (method == "HEAD") {
        curl_easy_setopt(easy_, CURLOPT_NOBODY, 1L);
    } else if (method == "GET") {
        curl_easy_setopt(easy_, CURLOPT_HTTPGET, 1L);
    } else {
        curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, method.c_str());
    }

    // Exactly the caller's headers: switch off the ones libcurl would add.
    std::vector<std::string> lines;
    for (const auto& [name, value] : request_.headers().fields()) {
        std::string v = withoutLineBreaks(value);
        std::string n = withoutLineBreaks(name);
        lines.push_back(v.empty() ? n + ";" : n + ": " + v);
    }
    const HttpHeaders& h = request_.headers();
    if (!h.contains("Accept")) lines.emplace_back("Accept:");
    if (!h.contains("Expect")) lines.emplace_back("Expect:");
    if (request_.hasBody() && !h.contains("Content-Type")) lines.emplace_back("Content-Type:");
    if (target_ && target_->resumeOffset > 0) {
        std::string range = std::to_string(target_->resumeOffset) + "-";
        curl_easy_setopt(easy_, CURLOPT_RANGE, range.c_str());  // copied by libcurl
        if (!target_->ifRange.empty() && !h.contains("If-Range"))
            lines.push_back("If-Range: " + withoutLineBreaks(target_->ifRange));
    }
    for (const auto& line : lines) {
        curl_slist* next = curl_slist_append(headerList_, line.c_str());
        if (!next) {
            setError(error, makeURLError(kURLErrorUnknown, url));
            return false;
        }
        headerList_ = next;
    }
    curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headerList_);
    touch();
    if (request_.totalTimeout() > 0)
        totalDeadline_ = lastActivity_ + std::chrono::duration_cast<std::chrono::nanoseconds>(
                                             std::chrono::duration<double>(std::min(
                                                 request_.totalTimeout(), kMaxTimeoutSeconds)));
    return true;
}

// --- libcurl callbacks: nothing may throw out of them -----------------------

std::size_t CurlTransfer::headerCallback(char* data, std::size_t size, std::size_t count,
                                         void* self) {
    auto* t = static_cast<CurlTransfer*>(self);
    try {
        return t->onHeaderLine(std::string_view(data, size * count)) ? size * count : 0;
    } catch (...) {
        t->abortWith(makeURLError(kURLErrorUnknown, t->request_.url()));
        return 0;
    }
}

std::size_t CurlTransfer::writeCallback(char* data, std::size_t size, std::size_t count,
                                        void* self) {
    auto* t = static_cast<CurlTransfer*>(self);
    try {
        return t->onBody(data, size * count) ? size * count : 0;
    } catch (...) {
        t->abortWith(makeURLError(kURLErrorUnknown, t->request_.url()));
        return 0;
    }
}

std::size_t CurlTransfer::readCallback(char* data, std::size_t size, std::size_t count,
                                       void* self) {
    auto* t = static_cast<CurlTransfer*>(self);
    try {
        long n = t->onRead(data, size * count);
        return n < 0 ? CURL_READFUNC_ABORT : static_cast<std::size_t>(n);
    } catch (...) {
        t->abortWith(makeURLError(kURLErrorUnknown, t->request_.url()));
        return CURL_READFUNC_ABORT;
    }
}

int CurlTransfer::seekCallback(void* self, curl_off_t offset, int origin) {
    auto* t = static_cast<CurlTransfer*>(self);
    try {
        if (origin != SEEK_SET || offset != 0 || !t->body_ || !t->body_->rewind())
            return CURL_SEEKFUNC_CANTSEEK;
        t->sent_ = 0;
        return CURL_SEEKFUNC_OK;
    } catch (...) {
        return CURL_SEEKFUNC_CANTSEEK;
    }
}

int CurlTransfer::progressCallback(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* t = static_cast<CurlTransfer*>(self);
    if (!t->cancelRequested()) return 0;
    try {
        t->abortWith(makeURLError(kURLErrorCancelled, t->request_.url()));
    } catch (...) {
    }
    return 1;
}

// --- the transfer's side of the callbacks -----------------------------------

bool CurlTransfer::onHeaderLine(std::string_view line) {
    touch();
    if (final_) return true;  // trailers of a chunked body
    return head_.addLine(line) != HttpHeadReader::LineKind::End || onHeadComplete();
}

bool CurlTransfer::onHeadComplete() {
    const int status = head_.status();
    if (status >= 100 && status < 200) return true;  // an interim answer; the real one follows
    // libcurl follows any 3xx that names a Location when following is on.
    redirectPending_ = request_.followsRedirects() && status >= 300 && status < 400 &&
                       head_.headers().contains("Location");
    if (redirectPending_) return true;
    char* effective = nullptr;
    curl_easy_getinfo(easy_, CURLINFO_EFFECTIVE_URL, &effective);
    response_ = HttpResponse(status, head_.headers(), effective ? effective : request_.url());
    final_ = true;
    if (target_ && !openTargetFile(status)) return false;
    if (delivery_->wantsResponse) {
        auto d = delivery_;
        d->queue->async([d, response = *response_] {
            if (auto handler = d->responseHandler()) handler(response);
        });
    }
    return true;
}

bool CurlTransfer::openTargetFile(int status) {
    const std::string& path = target_->path;
    const std::uint64_t offset = target_->resumeOffset;
    // Never through a link put at the name.
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
    if (offset > 0 && status == 206) {
        if (contentRangeStart(response_->headerValue("Content-Range")) != offset) {
            abortWith(makeURLError(kURLErrorBadServerResponse, request_.url()));
            return false;
        }
        fd_ = ::open(path.c_str(), flags, 0644);
        if (fd_ < 0) {
            abortWith(fileError(kURLErrorCannotCreateFile, errno, path, request_.url()));
            return false;
        }
        struct stat st {};
        // The bytes before the offset must be there to continue after them.
        if (::fstat(fd_, &st) != 0 || static_cast<std::uint64_t>(st.st_size) < offset ||
            ::ftruncate(fd_, static_cast<off_t>(offset)) != 0 ||
            ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) {
            abortWith(
                fileError(kURLErrorCannotCreateFile, errno ? errno : EINVAL, path, request_.url()));
            return false;
        }
        resumeOffset_ = offset;
    } else if (offset > 0 && status != 200) {
        return true;  // keep the partial file for a later attempt; drop this body
    } else {
        // An empty file is left as it is: truncating one to zero makes ext4
        // write the whole new body back when the file is closed.
        fd_ = ::open(path.c_str(), flags, 0644);
        struct stat st {};
        if (fd_ < 0 || ::fstat(fd_, &st) != 0 || (st.st_size != 0 && ::ftruncate(fd_, 0) != 0)) {
            abortWith(fileError(kURLErrorCannotCreateFile, errno, path, request_.url()));
            return false;
        }
    }
    fileOpened_ = true;
    return true;
}

bool CurlTransfer::onBody(const char* data, std::size_t size) {
    touch();
    if (!final_) return true;
    if (target_) {
        while (fd_ >= 0 && size > 0) {
            ssize_t n = ::write(fd_, data, size);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                abortWith(fileError(kURLErrorCannotWriteToFile, n < 0 ? errno : EIO, target_->path,
                                    request_.url()));
                return false;
            }
            received_ += static_cast<std::uint64_t>(n);
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        if (fd_ < 0) received_ += size;
    } else {
        const std::int64_t limit = request_.maximumResponseLength();
        if (limit >= 0 && bodyBytes_.size() + size > static_cast<std::uint64_t>(limit)) {
            abortWith(makeURLError(kURLErrorDataLengthExceedsMaximum, request_.url()));
            return false;
        }
        bodyBytes_.insert(bodyBytes_.end(), data, data + size);
        received_ += size;
    }
    postProgress();
    return true;
}

long CurlTransfer::onRead(char* buffer, std::size_t capacity) {
    if (!body_) return 0;
    Error error;
    long n = body_->read(buffer, capacity, &error);
    if (n < 0) {
        if (error.domain() == kURLErrorDomain)
            abortWith(std::move(error));
        else
            abortWith(makeURLError(kURLErrorUnknown, request_.url(), std::move(error)));
        return -1;
    }
    touch();
    sent_ += static_cast<std::uint64_t>(n);
    postProgress();
    return n;
}

HttpProgress CurlTransfer::progressNow() const {
    HttpProgress p;
    p.bytesReceived = received_;
    p.expectedBytesToReceive = response_ ? response_->expectedContentLength() : -1;
    p.resumeOffset = resumeOffset_;
    p.bytesSent = sent_;
    p.expectedBytesToSend = body_ ? body_->length() : -1;
    return p;
}

void CurlTransfer::postProgress() {
    if (!delivery_ || !delivery_->wantsProgress) return;
    progressed_ = true;
    const std::uint64_t moved = received_ + sent_;
    if (moved - lastProgressBytes_ < kProgressBytes) return;
    const Clock::time_point now = lastActivity_;  // set by this very callback
    if (now - lastProgressTime_ < kProgressInterval) return;
    // One report waits on the queue at most; the next goes out a step later.
    if (delivery_->progressPending.exchange(true, std::memory_order_acq_rel)) return;
    lastProgressBytes_ = moved;
    lastProgressTime_ = now;
    delivery_->queue->async([d = delivery_, p = progressNow()] {
        d->progressPending.store(false, std::memory_order_release);
        // Empty once the completion has run: no progress after it.
        if (auto handler = d->progressHandlerFor(p)) handler(p);
    });
}

// --- ending ------------------------------------------------------------------

void CurlTransfer::abortWith(Error error) {
    if (abortError_.empty()) abortError_ = std::move(error);
}

void CurlTransfer::finish(CURLcode result) {
    if (!abortError_.empty()) return complete(abortError_);
    if (result == CURLE_OK) return complete({});
    long osErrno = 0;
    if (easy_) curl_easy_getinfo(easy_, CURLINFO_OS_ERRNO, &osErrno);
    Error error =
        urlErrorForCurlResult(result, static_cast<int>(osErrno), errorBuffer_, request_.url());
    // The scheme was checked before starting, so an unsupported protocol now
    // is either a redirect to another scheme or an answer that is not HTTP.
    if (result == CURLE_UNSUPPORTED_PROTOCOL && !redirectPending_ && error.underlyingError())
        error = makeURLError(kURLErrorBadServerResponse, request_.url(), *error.underlyingError());
    complete(std::move(error));
}

void CurlTransfer::fail(Error error) { complete(std::move(error)); }

void CurlTransfer::releaseHandle() {
    if (easy_) {
        curl_easy_cleanup(easy_);
        easy_ = nullptr;
    }
    if (headerList_) {
        curl_slist_free_all(headerList_);
        headerList_ = nullptr;
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void CurlTransfer::complete(Error error) {
    if (completed_) return;
    completed_ = true;
    releaseHandle();
    HttpResult result;
    result.response = response_;
    result.body = std::move(bodyBytes_);
    if (fileOpened_) result.filePath = target_->path;
    result.bytesReceived = received_;
    result.resumeOffset = resumeOffset_;
    result.error = std::move(error);
    // The transfer lets go of the callbacks here, so a caller that keeps the
    // task and is kept by its callbacks forms no cycle.
    auto d = std::move(delivery_);
    std::optional<HttpProgress> last;
    if (progressed_) last = progressNow();
    d->queue->async([d, last, result = std::move(result)]() mutable {
        // The progress up to the end goes out before the completion, unless
        // it went out already.
        if (last) {
            if (auto handler = d->progressHandlerFor(*last)) handler(*last);
        }
        HttpTaskHandlers handlers = d->takeHandlers();
        if (handlers.onComplete) handlers.onComplete(std::move(result));
    });
}

}  // namespace platform
