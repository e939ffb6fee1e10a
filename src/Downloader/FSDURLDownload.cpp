#include "Downloader/FSDURLDownload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>

#include "Downloader/FSDError.h"
#include "Downloader/FSDFileNames.h"
#include "Foundation/PelLogging.h"
#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Http/HttpError.h"

namespace {

constexpr std::string_view kCFNetworkErrorDomain = "kCFErrorDomainCFNetwork";
constexpr long kCFNetworkUnknownError = -998;

std::mutex gSettingsMutex;
double gFoundationVersion = FSDURLDownload::kFoundationVersionNumber;
platform::HttpClientPtr gClient;

bool goodStatus(int status) { return status == 200 || status == 206; }

// True when `response` names a validator of the same kind as `validator` (an
// entity tag, or a Last-Modified date) with another value.
bool validatorChanged(const std::optional<platform::HttpResponse>& response,
                      const std::string& validator) {
    if (!response) return false;
    const bool isTag = !validator.empty() && validator.front() == '"';
    std::string answered = response->headerValue(isTag ? "ETag" : "Last-Modified");
    return !answered.empty() && answered != validator;
}

std::uint64_t fileSize(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

}  // namespace

double FSDURLDownload::foundationVersionNumber() {
    std::lock_guard lock(gSettingsMutex);
    return gFoundationVersion;
}

void FSDURLDownload::setFoundationVersionNumber(double version) {
    std::lock_guard lock(gSettingsMutex);
    gFoundationVersion = version;
}

bool FSDURLDownload::isURLSessionSupportedOS() {
    return std::floor(foundationVersionNumber()) > 1056;
}

platform::HttpClientPtr FSDURLDownload::httpClient() {
    {
        std::lock_guard lock(gSettingsMutex);
        if (gClient) return gClient;
    }
    return platform::HttpClient::shared();
}

void FSDURLDownload::setHttpClient(platform::HttpClientPtr client) {
    std::lock_guard lock(gSettingsMutex);
    gClient = std::move(client);
}

std::optional<std::string> FSDURLDownload::downloadFileNameWithURL(std::string_view url,
                                                                   std::string_view downloadPath) {
    auto name = fsdFileNameForURL(url);
    if (!name) return std::nullopt;
    return fsdTargetPath(downloadPath, *name);
}

std::optional<std::string> FSDURLDownload::resumeDataFileNameWithFSDDownloadURL(
    std::string_view url, std::string_view downloadPath) {
    auto name = fsdFileNameForURL(url);
    if (!name) return std::nullopt;
    return fsdResumeDataPath(downloadPath, *name);
}

bool FSDURLDownload::canRetryForError(const platform::Error* error) {
    if (!error || error->domain() != platform::kURLErrorDomain) return false;
    switch (error->code()) {
        case platform::kURLErrorTimedOut:
        case platform::kURLErrorCannotConnectToHost:
        case platform::kURLErrorNetworkConnectionLost:
        case platform::kURLErrorBadServerResponse:
            return true;
        case platform::kURLErrorUnknown: {
            const platform::Error* under = error->underlyingError();
            return under && under->domain() == kCFNetworkErrorDomain &&
                   under->code() == kCFNetworkUnknownError;
        }
        default:
            return false;
    }
}

FSDURLDownload::FSDURLDownload(PelFSDDelegateRef delegate, CompletionHandler completion,
                               platform::DispatchQueuePtr queue)
    : delegate_(std::move(delegate)),
      completion_(std::move(completion)),
      queue_(queue ? std::move(queue)
                   : platform::SerialQueue::create("com.pelgrave.fsd.transfer")) {}

FSDURLDownload::~FSDURLDownload() = default;

bool FSDURLDownload::configure(const std::string& url, const PelFSDFile& file) {
    auto folder = file.downloadLocalPath();
    auto name = fsdFileNameForURL(url);
    if (!folder || !name) return false;
    downloadURL_ = url;
    downloadPath_ = *folder;
    targetPath_ = fsdTargetPath(downloadPath_, *name);
    resumeDataPath_ = fsdResumeDataPath(downloadPath_, *name);
    retries_ = file.retries();
    filePriority_ = file.filePriority();
    return true;
}

template <class Transport>
static std::shared_ptr<Transport> makeTransport(PelFSDDelegateRef delegate,
                                                FSDURLDownload::CompletionHandler completion,
                                                platform::DispatchQueuePtr queue) {
    return std::make_shared<Transport>(std::move(delegate), std::move(completion),
                                       std::move(queue));
}

static std::shared_ptr<FSDURLDownload> makeEither(PelFSDDelegateRef delegate,
                                                  FSDURLDownload::CompletionHandler completion,
                                                  platform::DispatchQueuePtr queue) {
    if (FSDURLDownload::isURLSessionSupportedOS())
        return makeTransport<FSDSessionDownload>(std::move(delegate), std::move(completion),
                                                 std::move(queue));
    return makeTransport<FSDConnectionDownload>(std::move(delegate), std::move(completion),
                                                std::move(queue));
}

std::shared_ptr<FSDURLDownload> FSDURLDownload::downloadWithURL(
    const std::optional<std::string>& url, const PelFSDFilePtr& file, PelFSDDelegateRef delegate,
    CompletionHandler completion, platform::DispatchQueuePtr queue) {
    if (!url || !file) return nullptr;
    auto transport = makeEither(std::move(delegate), std::move(completion), std::move(queue));
    if (!transport->configure(*url, *file)) return nullptr;
    transport->start(0, {});
    return transport;
}

std::shared_ptr<FSDURLDownload> FSDURLDownload::downloadWithResumeData(
    const FSDResumeData& data, const PelFSDFilePtr& file, PelFSDDelegateRef delegate,
    CompletionHandler completion, platform::DispatchQueuePtr queue) {
    auto url = file ? file->downloadURL() : std::nullopt;
    if (!url || data.url != *url || !fsdIsStrongValidator(data.validator)) return nullptr;
    auto transport = makeEither(std::move(delegate), std::move(completion), std::move(queue));
    if (!transport->configure(*url, *file)) return nullptr;
    transport->start(data.offset, data.validator);
    return transport;
}

platform::HttpTaskPtr FSDURLDownload::downloadWithURLRequest(platform::HttpRequest request,
                                                             RequestHandler handler,
                                                             platform::DispatchQueuePtr queue) {
    if (!queue) queue = isURLSessionSupportedOS() ? platform::globalQueue() : platform::mainQueue();
    platform::HttpTaskHandlers handlers;
    handlers.onComplete = [handler = std::move(handler)](platform::HttpResult result) {
        if (!handler) return;
        const platform::HttpResponse* response = result.response ? &*result.response : nullptr;
        if (result.succeeded())
            handler(&result.body, response, nullptr);
        else
            handler(nullptr, response, &result.error);
    };
    return httpClient()->startDataTask(std::move(request), std::move(queue), std::move(handlers));
}

void FSDURLDownload::setFinishedHandler(std::function<void()> handler) {
    finishedHandler_ = std::move(handler);
}

void FSDURLDownload::post(PelFSDOperation operation,
                          std::function<void(PelFSDProtocol&)> call) const {
    postToFSDDelegate(delegate_, operation, std::move(call));
}

void FSDURLDownload::start(std::uint64_t offset, std::string validator) {
    requestedOffset_ = offset;
    validator_ = std::move(validator);
    bytesReceived_ = offset;
    statusCode_ = 0;
    beginDownload(offset == 0);

    std::uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        generation = ++generation_;
    }
    std::weak_ptr<FSDURLDownload> weak = weak_from_this();
    platform::HttpTaskHandlers handlers;
    handlers.onResponse = [weak, generation](const platform::HttpResponse& response) {
        if (auto self = weak.lock()) self->onResponse(generation, response);
    };
    handlers.onProgress = [weak, generation](const platform::HttpProgress& progress) {
        if (auto self = weak.lock()) self->onProgress(generation, progress);
    };
    // The completion keeps the transport alive: it must run to write resume data.
    auto self = shared_from_this();
    handlers.onComplete = [self, generation](platform::HttpResult result) {
        self->onComplete(generation, std::move(result));
    };
    platform::HttpRequest request(downloadURL_);
    platform::HttpDownloadTarget target(targetPath_, offset, offset > 0 ? validator_ : "");
    auto task = httpClient()->startDownloadTask(std::move(request), std::move(target), queue_,
                                                std::move(handlers));
    std::lock_guard lock(mutex_);
    task_ = std::move(task);
    if (cancelled_ && task_) task_->cancel();
}

void FSDURLDownload::cancelDownload() {
    if (cancelled_.exchange(true)) return;
    platform::HttpTaskPtr task;
    {
        std::lock_guard lock(mutex_);
        task = task_;
    }
    if (task) task->cancel();
}

void FSDURLDownload::onResponse(std::uint64_t generation, const platform::HttpResponse& response) {
    {
        std::lock_guard lock(mutex_);
        if (generation != generation_) return;
    }
    statusCode_ = response.statusCode();
    if (!goodStatus(response.statusCode())) return;
    const bool resumed = response.statusCode() == 206 && requestedOffset_ > 0;
    const std::uint64_t offset = resumed ? requestedOffset_ : 0;
    validator_ = response.resumeValidator();
    bytesReceived_ = offset;
    std::int64_t length = response.expectedContentLength();
    *progressBytes_ = offset;
    std::int64_t size = length < 0 ? -1 : static_cast<std::int64_t>(offset) + length;
    didReceiveGoodResponse();
    post(PelFSDOperation::downloadSize, [size](PelFSDProtocol& d) { d.downloadSize(size); });
    if (resumed) {
        post(PelFSDOperation::downloadWithDataOfLength,
             [offset](PelFSDProtocol& d) { d.downloadWithDataOfLength(offset); });
    }
}

void FSDURLDownload::onProgress(std::uint64_t generation, const platform::HttpProgress& progress) {
    {
        std::lock_guard lock(mutex_);
        if (generation != generation_) return;
    }
    if (!goodStatus(statusCode_)) return;
    *progressBytes_ = progress.resumeOffset + progress.bytesReceived;
    bytesReceived_ = progressBytes_->load();
    // The count is read when the call runs, so a late call shows the latest.
    post(PelFSDOperation::downloadWithDataOfLength, [count = progressBytes_](PelFSDProtocol& d) {
        d.downloadWithDataOfLength(count->load());
    });
}

void FSDURLDownload::onComplete(std::uint64_t generation, platform::HttpResult result) {
    {
        std::lock_guard lock(mutex_);
        if (generation != generation_) return;
        task_.reset();
    }
    if (result.response) statusCode_ = result.response->statusCode();
    if (goodStatus(statusCode_)) bytesReceived_ = result.resumeOffset + result.bytesReceived;

    if (cancelled_) {
        // The partial is closed now: its size is what the next run continues after.
        writeOrDropResumeData();
        return markFinished();
    }
    if (!result.succeeded()) {
        PelLogging::logErrorMessageWithFormat("FSDDownload:didCompleteWithError:%@",
                                              result.error.description());
        if (canRetryForError(&result.error) && retryFile(result.error)) return;
        return failKeepingPartial(&result.error);
    }
    if (goodStatus(statusCode_)) {
        fsdUnlinkFile(resumeDataPath_);
        return finishWith(true, &targetPath_, nullptr);
    }
    // The answer left the partial untouched. Only a refused range, or a
    // validator other than the one the partial was fetched under, says that
    // its bytes are stale; after anything else (a server error, for one) the
    // partial stays for the next try, and so must what continues it, also
    // when this run got it by resuming after a cut.
    const bool stale = requestedOffset_ > 0 &&
                       (statusCode_ == 416 || validatorChanged(result.response, validator_));
    if (stale) {
        fsdUnlinkFile(resumeDataPath_);
        fsdUnlinkFile(targetPath_);
        if (statusCode_ == 416 && !restartedAfterRangeRefusal_) {
            restartedAfterRangeRefusal_ = true;
            start(0, {});
            return;
        }
    }
    PelLogging::logErrorMessage("FSDDownload:didCompleteWithError: Invalid URL");
    if (stale) return finishWith(false, nullptr, nullptr);
    failKeepingPartial(nullptr);
}

bool FSDURLDownload::retryFile(const platform::Error& error) {
    std::uint64_t left = retries_.load();
    if (left == 0) return false;
    retries_ = left - 1;
    auto self = shared_from_this();
    queue_->async([self, error] {
        if (self->cancelled_) {
            self->writeOrDropResumeData();
            return self->markFinished();
        }
        // Continue after the bytes already on disk when the response pinned
        // them with a strong validator; start over otherwise.
        std::uint64_t offset = 0;
        if (fsdIsStrongValidator(self->validator_)) offset = fileSize(self->targetPath_);
        PelLogging::logNoticeMessageWithFormat("Retrying download of %@", self->targetPath_);
        self->start(offset, offset > 0 ? self->validator_ : std::string());
        bool started = false;
        {
            std::lock_guard lock(self->mutex_);
            started = self->task_ != nullptr;
        }
        if (!started) {
            self->retries_ = 0;
            platform::Error wrapped(std::string(kFSDErrorDomain), kFSDErrorTransfer);
            wrapped.setUnderlyingError(error);
            self->failKeepingPartial(&wrapped);
        }
    });
    return true;
}

void FSDURLDownload::writeOrDropResumeData() {
    std::uint64_t offset = fileSize(targetPath_);
    if (offset == 0 || !fsdIsStrongValidator(validator_)) {
        fsdUnlinkFile(resumeDataPath_);
        return;
    }
    platform::Error error;
    if (!writeFSDResumeData({downloadURL_, validator_, offset}, resumeDataPath_, &error))
        PelLogging::logErrorMessageWithFormat(
            "Error occurred while trying to write the resume data file. Error:%@",
            error.description());
}

void FSDURLDownload::failKeepingPartial(const platform::Error* error) {
    if (keepsResumeDataOnFailure()) writeOrDropResumeData();
    finishWith(false, nullptr, error);
}

void FSDURLDownload::finishWith(bool success, const std::string* path,
                                const platform::Error* error) {
    if (auto completion = std::exchange(completion_, nullptr))
        completion(success, path, bytesReceived_.load(), error);
    markFinished();
}

void FSDURLDownload::markFinished() {
    if (finished_.exchange(true)) return;
    completion_ = nullptr;
    if (auto handler = std::exchange(finishedHandler_, nullptr)) handler();
}

void FSDSessionDownload::beginDownload(bool fresh) {
    if (fresh) {
        // A fresh transfer starts from an empty partial.
        int fd = ::open(targetPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) ::close(fd);
    }
    post(PelFSDOperation::downloadDidBegin, [](PelFSDProtocol& d) { d.downloadDidBegin(); });
}

void FSDConnectionDownload::beginDownload(bool) {
    post(PelFSDOperation::downloadDidBegin, [](PelFSDProtocol& d) { d.downloadDidBegin(); });
}

void FSDConnectionDownload::didReceiveGoodResponse() {
    std::string path = targetPath();
    post(PelFSDOperation::downloadDidCreateDestination,
         [path](PelFSDProtocol& d) { d.downloadDidCreateDestination(path); });
}
