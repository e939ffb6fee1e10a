#include "Downloader/FSDDownload.h"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "Downloader/FSDArchive.h"
#include "Downloader/FSDError.h"
#include "Downloader/FSDFileNames.h"
#include "Foundation/PelLogging.h"
#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Http/HttpError.h"
#include "Platform/System/PathNames.h"

namespace {

std::atomic<bool> gStartNotificationSent{false};

int low32(std::uint64_t bytes) { return static_cast<int>(static_cast<std::uint32_t>(bytes)); }

// Stands between the transports and the delegate: once the download is
// cancelled from outside, nothing reaches the delegate any more.
class DelegateGate final : public PelFSDProtocol {
  public:
    explicit DelegateGate(PelFSDDelegateRef target) : target_(std::move(target)) {}
    void close() { open_ = false; }
    bool isOpen() const { return open_.load(); }

    bool respondsTo(PelFSDOperation operation) const override {
        auto target = target_.lock();
        return open_ && target && target->respondsTo(operation);
    }
    void numberOfJobs(std::uint64_t jobs, std::uint64_t files) override {
        if (auto t = target_.lock()) t->numberOfJobs(jobs, files);
    }
    void downloadDidFinish() override {
        if (auto t = target_.lock()) t->downloadDidFinish();
    }
    void downloadDidFailWithError(const platform::Error& error) override {
        if (auto t = target_.lock()) t->downloadDidFailWithError(error);
    }
    void downloadDidBegin() override {
        if (auto t = target_.lock()) t->downloadDidBegin();
    }
    void downloadSize(std::int64_t size) override {
        if (auto t = target_.lock()) t->downloadSize(size);
    }
    void downloadDidCreateDestination(const std::string& path) override {
        if (auto t = target_.lock()) t->downloadDidCreateDestination(path);
    }
    void downloadWithDataOfLength(std::uint64_t length) override {
        if (auto t = target_.lock()) t->downloadWithDataOfLength(length);
    }

  private:
    PelFSDDelegateRef target_;
    std::atomic<bool> open_{true};
};

std::shared_ptr<DelegateGate> gateFor(const PelFSDDelegateRef& delegate) {
    return std::make_shared<DelegateGate>(delegate);
}

std::uint64_t regularFileSize(const std::string& path, struct timespec* mtime) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    if (mtime) *mtime = st.st_mtim;
    return static_cast<std::uint64_t>(st.st_size);
}

bool notOlder(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec >= b.tv_nsec);
}

// True when every entry of the ZIP archive at `path` reads back whole, its
// checksum included.
bool zipReadsBackWhole(const std::string& path) {
    auto reader = FSDZipReader::open(path);
    if (!reader) return false;
    for (FSDZipReader::Entry entry;;) {
        switch (reader->next(&entry)) {
            case FSDZipReader::Next::End:
                return true;
            case FSDZipReader::Next::Error:
                return false;
            case FSDZipReader::Next::Entry:
                if (entry.kind == FSDZipReader::Kind::Regular &&
                    !reader->readData([](const void*, std::size_t) { return true; }))
                    return false;
                break;
        }
    }
}

}  // namespace

// Sent once per process by the setup-installer download.
std::atomic<bool> gFSDSetupInstallerStartSent{false};

static DelegateGate& gateOf(const std::shared_ptr<PelFSDProtocol>& gate) {
    return static_cast<DelegateGate&>(*gate);
}

std::shared_ptr<FSDDownload> FSDDownload::createWithPelJobsArray(
    const std::vector<PelFSDJobPtr>* jobs, const std::string& downloadPath,
    PelFSDDelegateRef delegate, const std::shared_ptr<PelFSDPingUtils>& pingUtils,
    platform::Error* error) {
    // Everything the download writes lies in this folder, by path: made by
    // descriptor, and for root only where no other user can change it.
    if (const int code = fsdMakeWorkFolder(downloadPath)) {
        platform::Error underlying = platform::Error::posix(code, downloadPath);
        setError(error, makeFSDError(kFSDErrorDownloadFolder,
                                     "Unable to create the FSD Download folder", &underlying));
        return nullptr;
    }
    if (!jobs) {
        setError(error, makeFSDError(kFSDErrorNoValidJobs, "No Valid PelJobArray Provided"));
        return nullptr;
    }
    if (jobs->empty()) {
        setError(error,
                 makeFSDError(kFSDErrorNoValidJobs, "PelJobArray had no valid download jobs"));
        return nullptr;
    }
    std::shared_ptr<FSDDownload> driver(new FSDDownload(downloadPath, delegate, pingUtils));
    driver->jobsArray_ = *jobs;
    std::uint64_t files = 0;
    for (const auto& job : *jobs)
        for (const auto& file : job->fileArray())
            if (file->fileType() != PelFSDFile::kSetupInstallerFileType) ++files;
    const std::uint64_t jobCount = jobs->size();
    driver->post(PelFSDOperation::numberOfJobs,
                 [jobCount, files](PelFSDProtocol& d) { d.numberOfJobs(jobCount, files); });
    return driver;
}

FSDDownload::FSDDownload(std::string downloadPath, PelFSDDelegateRef delegate,
                         std::shared_ptr<PelFSDPingUtils> pingUtils)
    : downloadPath_(std::move(downloadPath)),
      delegate_(std::move(delegate)),
      pingUtils_(pingUtils),
      gate_(gateFor(delegate_)),
      queue_(platform::SerialQueue::create("com.pelgrave.fsd.download")) {}

FSDDownload::~FSDDownload() = default;

void FSDDownload::resetStartNotificationsForTesting() {
    gStartNotificationSent = false;
    gFSDSetupInstallerStartSent = false;
}

void FSDDownload::post(PelFSDOperation operation, std::function<void(PelFSDProtocol&)> call) const {
    // The driver's own calls hold the gate: they arrive even when the driver
    // is let go right after posting them.
    platform::mainQueue()->async([gate = gate_, operation, call = std::move(call)] {
        if (gate->respondsTo(operation)) call(*gate);
    });
}

PelFSDJobPtr FSDDownload::currentJob() const {
    std::lock_guard lock(mutex_);
    return jobsArray_.empty() ? nullptr : jobsArray_.back();
}

PelFSDFilePtr FSDDownload::currentFile() const {
    std::lock_guard lock(mutex_);
    if (jobsArray_.empty() || jobsArray_.back()->fileArray().empty()) return nullptr;
    return jobsArray_.back()->fileArray().back();
}

std::vector<platform::Dictionary> FSDDownload::packagePaths() const {
    std::lock_guard lock(mutex_);
    return packagePaths_;
}

void FSDDownload::waitForQueuedWork() {
    if (!queue_->isCurrent()) queue_->sync([] {});
}

bool FSDDownload::isIdle() const {
    std::lock_guard lock(mutex_);
    return activeTransports_ == 0;
}

void FSDDownload::startDownload() {
    if (started_.exchange(true)) return;  // one run per driver
    auto self = shared_from_this();
    queue_->async([self] {
        self->removeSetupInstallerFilefromJobArray();
        self->nextFile();
    });
}

void FSDDownload::cancelDownloads() {
    gateOf(gate_).close();
    cancelled_ = true;
    std::vector<FSDURLDownloadPtr> transfers;
    {
        std::lock_guard lock(mutex_);
        transfers.swap(transfers_);
        if (current_) transfers.push_back(current_);
    }
    for (auto& transfer : transfers) transfer->cancelDownload();
}

void FSDDownload::removeSetupInstallerFilefromJobArray() {
    std::lock_guard lock(mutex_);
    for (auto& job : jobsArray_) {
        auto& files = job->fileArray();
        for (auto it = files.begin(); it != files.end(); ++it) {
            if ((*it)->fileType() == PelFSDFile::kSetupInstallerFileType) {
                files.erase(it);
                isSetupFileAvailable_ = true;
                break;
            }
        }
    }
}

void FSDDownload::transportFinished() {
    std::lock_guard lock(mutex_);
    --activeTransports_;
}

void FSDDownload::nextFile() {
    if (stopped()) return;
    PelFSDJobPtr job = currentJob();
    if (!job) return;
    PelFSDFilePtr file = currentFile();
    if (!file) {
        removeFile();  // a job without files is done at once
        return advance();
    }
    file->setDownloadLocalPath(downloadPath_);
    if (auto pings = pingUtils_.lock()) {
        pings->setJob_id(job->job_id());
        pings->setTransaction_id(job->transaction_id());
    }

    auto url = file->downloadURL();
    auto name = url ? fsdFileNameForURL(*url) : std::nullopt;
    if (!name) {
        platform::Error bad = platform::makeURLError(platform::kURLErrorBadURL, url.value_or(""));
        platform::Error error(std::string(kFSDErrorDomain), kFSDErrorTransfer);
        error.setUnderlyingError(bad);
        return failCurrentFile(error);
    }
    const std::string target = fsdTargetPath(downloadPath_, *name);
    const std::string resumePath = fsdResumeDataPath(downloadPath_, *name);
    if (takeUpCompleteArchive(*url, *name, resumePath)) return;

    auto slot = std::make_shared<const FSDURLDownload*>(nullptr);
    std::weak_ptr<FSDDownload> weak = weak_from_this();
    FSDURLDownload::CompletionHandler completion =
        [weak, slot](bool success, const std::string* path, std::uint64_t bytes,
                     const platform::Error* error) {
            auto self = weak.lock();
            if (!self || self->stopped()) return;
            {
                std::lock_guard lock(self->mutex_);
                if (self->current_.get() != *slot) return;  // a stale transfer
            }
            self->bytesReceived_ = bytes;
            if (success && path)
                self->downloadCompleted(*path);
            else
                self->completeWithError(error);
        };
    std::weak_ptr<PelFSDProtocol> gate = gate_;

    // Continue a partial only when its resume data is for this very address,
    // pins the bytes with a strong validator, and was written after the partial.
    FSDURLDownloadPtr transport;
    bool resumeUsable = false;
    if (auto data = readFSDResumeData(resumePath)) {
        struct timespec targetTime {
        }, resumeTime{};
        std::uint64_t partial = regularFileSize(target, &targetTime);
        resumeUsable = data->url == *url && fsdIsStrongValidator(data->validator) &&
                       data->offset > 0 && data->offset <= partial &&
                       regularFileSize(resumePath, &resumeTime) > 0 &&
                       notOlder(resumeTime, targetTime);
        if (resumeUsable)
            transport =
                FSDURLDownload::downloadWithResumeData(*data, file, gate, completion, queue_);
    }
    if (!transport) {
        if (!resumeUsable) fsdUnlinkFile(resumePath);
        fsdUnlinkFile(target);
        fsdUnlinkFile(platform::pathInFolder(downloadPath_, *name));
        transport = FSDURLDownload::downloadWithURL(url, file, gate, completion, queue_);
    }
    if (!transport) {
        platform::Error error(std::string(kFSDErrorDomain), kFSDErrorTransfer);
        error.setUnderlyingError(platform::makeURLError(platform::kURLErrorBadURL, *url));
        return failCurrentFile(error);
    }
    *slot = transport.get();
    transport->setFinishedHandler([weak] {
        if (auto self = weak.lock()) self->transportFinished();
    });
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        first = transfers_.empty();
        transfers_.push_back(transport);
        current_ = transport;
        ++activeTransports_;
    }
    startPingsForFirstTransfer(first);
    if (stopped()) transport->cancelDownload();
}

void FSDDownload::startPingsForFirstTransfer(bool first) {
    if (first && !isSetupFileAvailable_ && !gStartNotificationSent.exchange(true)) sendStartPing();
}

bool FSDDownload::takeUpCompleteArchive(const std::string& url, const std::string& name,
                                        const std::string& resumePath) {
    // A run stopped while unpacking leaves the finished archive and the record
    // of its completion (its address and size) behind.
    const std::string archive = platform::pathInFolder(downloadPath_, name);
    auto record = readFSDResumeData(resumePath);
    if (!record || record->url != url || record->offset == 0) return false;
    const std::uint64_t size = regularFileSize(archive, nullptr);
    if (size != record->offset || !zipReadsBackWhole(archive)) return false;
    PelLogging::logNoticeMessageWithFormat("Taking up the complete download at %@", archive);
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        first = transfers_.empty();
    }
    startPingsForFirstTransfer(first);
    bytesReceived_ = size;
    const auto total = static_cast<std::int64_t>(size);
    post(PelFSDOperation::downloadSize, [total](PelFSDProtocol& d) { d.downloadSize(total); });
    post(PelFSDOperation::downloadWithDataOfLength,
         [size](PelFSDProtocol& d) { d.downloadWithDataOfLength(size); });
    downloadCompleted(archive);
    return true;
}

void FSDDownload::advance() {
    auto self = shared_from_this();
    queue_->async([self] { self->nextFile(); });
}

void FSDDownload::removeFile() {
    PelFSDJobPtr job = currentJob();
    if (!job) return;
    bool jobDone = false;
    {
        std::lock_guard lock(mutex_);
        auto& files = job->fileArray();
        if (!files.empty()) files.pop_back();
        jobDone = files.empty();
        current_.reset();
    }
    if (!jobDone) return;
    sendOLPPing(job->olpEndURLString());
    if (auto pings = pingUtils_.lock()) {
        pings->sendFSDJobFinishedPing();
        pings->sendDownloadSuccessPing(low32(bytesReceived_), 0);
    }
    std::lock_guard lock(mutex_);
    if (!jobsArray_.empty() && jobsArray_.back() == job) jobsArray_.pop_back();
    transfers_.clear();
}

void FSDDownload::downloadCompleted(const std::string& path) {
    PelLogging::logDebugMessage("FSDDownloadDelegate:didFinishDownloadingToURL");
    PelFSDFilePtr file = currentFile();
    if (!file) return;
    auto url = file->downloadURL();
    auto name = url ? fsdFileNameForURL(*url) : std::nullopt;
    if (name) {
        const std::string finished = platform::pathInFolder(downloadPath_, *name);
        if (path != finished && ::rename(path.c_str(), finished.c_str()) != 0) {
            platform::Error underlying = platform::Error::posix(errno, finished);
            platform::Error error(std::string(kFSDErrorDomain), kFSDErrorTransfer);
            error.setUnderlyingError(underlying);
            return completeWithError(&error);
        }
        fsdUnlinkFile(fsdTargetPath(downloadPath_, *name));
        // Until it is unpacked, the archive is recorded as complete, so that a
        // run stopped meanwhile takes it up rather than fetching it again.
        platform::Error error;
        const std::string record = fsdResumeDataPath(downloadPath_, *name);
        if (!writeFSDResumeData({*url, {}, regularFileSize(finished, nullptr)}, record, &error))
            fsdUnlinkFile(record);
    }
    Unpacked result = Unpacked::Skipped;
    if (file->pkgName())
        result = unpackPackage();
    else if (file->appName())
        result = unpackWithTool();
    if (name) fsdUnlinkFile(fsdResumeDataPath(downloadPath_, *name));
    if (result == Unpacked::Failed) return;  // completeWithError() has moved on
    // The job's end requests go out before the screen hears of its last file.
    removeFile();
    post(PelFSDOperation::downloadDidFinish, [](PelFSDProtocol& d) { d.downloadDidFinish(); });
    advance();
}

void FSDDownload::failCurrentFile(const platform::Error& error) { completeWithError(&error); }

void FSDDownload::completeWithError(const platform::Error* given) {
    if (stopped()) return;
    PelFSDFilePtr file = currentFile();
    if (!file) return;
    platform::Error error;
    if (given) {
        error = *given;
    } else {
        // An answer that was neither 200 nor 206: say so rather than report nothing.
        int status = 0;
        {
            std::lock_guard lock(mutex_);
            if (current_) status = current_->statusCode();
        }
        platform::Error bad = platform::makeURLError(platform::kURLErrorBadServerResponse,
                                                     file->downloadURL().value_or(""));
        bad.setUserInfoValue("StatusCode", platform::Value(status));
        error = platform::Error(std::string(kFSDErrorDomain), kFSDErrorTransfer);
        error.setUnderlyingError(bad);
    }
    PelLogging::logErrorMessageWithFormat("FSDDownload:completeWithError:%@", error.description());
    const std::string path = fsdUnescapedURL(file->downloadURL().value_or(""));
    auto pings = pingUtils_.lock();
    if (file->filePriority() < 0) {
        if (pings)
            pings->sendOptionalPkgDownloadFailPing(low32(bytesReceived_), path,
                                                   file->filePriority(), &error);
        removeFile();
        post(PelFSDOperation::downloadDidFinish, [](PelFSDProtocol& d) { d.downloadDidFinish(); });
        return advance();
    }
    if (pings) pings->sendDownloadFailPing(low32(bytesReceived_), path, &error, 1);
    // Stop without closing the gate: the failure itself must still arrive.
    cancelled_ = true;
    std::vector<FSDURLDownloadPtr> transfers;
    {
        std::lock_guard lock(mutex_);
        transfers.swap(transfers_);
    }
    for (auto& transfer : transfers) transfer->cancelDownload();
    post(PelFSDOperation::downloadDidFailWithError,
         [error](PelFSDProtocol& d) { d.downloadDidFailWithError(error); });
}

void FSDDownload::sendStartPing() {
    PelFSDJobPtr job = currentJob();
    if (job) sendOLPPing(job->olpStartURLString());
    if (auto pings = pingUtils_.lock()) pings->sendFSDJobStartedPing();
}

void FSDDownload::sendOLPPing(const std::optional<std::string>& address) {
    if (!address) return;
    const std::string& text = *address;
    bool formsURL = !text.empty() && text.find_first_of(" \t\r\n") == std::string::npos &&
                    text.find(':') != std::string::npos;
    if (!formsURL) {
        PelLogging::logErrorMessageWithFormat("Could not create a valid URL for OLP URL :%@", text);
        return;
    }
    platform::HttpRequest request(text);
    request.setMaximumResponseLength(1 << 20);
    FSDURLDownload::downloadWithURLRequest(
        std::move(request),
        [text](const platform::Data*, const platform::HttpResponse*, const platform::Error* error) {
            if (error)
                PelLogging::logNoticeMessageWithFormat("Could not send OLP Ping to URL (%@)", text);
            else
                PelLogging::logNoticeMessageWithFormat("Sent OLP ping request for URL: %@", text);
        });
}
