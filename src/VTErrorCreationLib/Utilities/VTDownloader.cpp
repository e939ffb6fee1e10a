#include "VTErrorCreationLib/Utilities/VTDownloader.h"

#include <cerrno>

#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Http/HttpError.h"
#include "Platform/System/SharedFolder.h"
#include "VTErrorCreationLib/Utilities/VTErrorUtilities.h"

namespace {
constexpr long kURLErrorBadServerResponse = -1011;
}

std::shared_ptr<VTDownloader> VTDownloader::downloaderToDownloadURL(
    const std::string& remoteURL, const std::string& localPath, const std::string& debugInfoName,
    platform::HttpClientPtr client) {
    if (remoteURL.empty() || !client) return nullptr;
    auto queue =
        platform::SerialQueue::create(debugInfoName.empty() ? "VTDownloader" : debugInfoName);
    return std::shared_ptr<VTDownloader>(
        new VTDownloader(remoteURL, localPath, std::move(client), std::move(queue)));
}

VTDownloader::VTDownloader(std::string remoteURL, std::string localPath,
                           platform::HttpClientPtr client, platform::DispatchQueuePtr queue)
    : remoteURL_(std::move(remoteURL)),
      localPath_(std::move(localPath)),
      client_(std::move(client)),
      queue_(std::move(queue)) {}

std::optional<platform::Error> VTDownloader::error() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

bool VTDownloader::start(platform::Error*) {
    auto self = shared_from_this();
    platform::HttpTaskHandlers handlers;
    // The downloader keeps itself alive until its transfer has completed.
    handlers.onComplete = [self](platform::HttpResult result) { self->finish(std::move(result)); };
    auto task = client_->startDownloadTask(platform::HttpRequest(remoteURL_),
                                           platform::HttpDownloadTarget(localPath_ + ".vtdownload"),
                                           queue_, std::move(handlers));
    std::lock_guard<std::mutex> lock(mutex_);
    task_ = std::move(task);
    return true;
}

void VTDownloader::finish(platform::HttpResult result) {
    std::optional<platform::Error> failure;
    // The finished file is moved into place, and a failed one removed, below
    // the folder held, never through a link.
    std::string name;
    auto folder = platform::SharedFolder::openHolder(
        localPath_, platform::SharedFolder::Trust::Required, &name, nullptr);
    const std::string partial = name + ".vtdownload";
    if (!result.succeeded()) {
        failure = result.error;
    } else if (result.response && result.response->statusCode() >= 400) {
        failure =
            platform::Error(std::string(platform::kURLErrorDomain), kURLErrorBadServerResponse,
                            {{std::string(platform::kURLErrorFailingURLStringErrorKey),
                              platform::Value(remoteURL_)}});
    } else if (!folder || !folder->moveEntry(partial, *folder, name, false, nullptr)) {
        if (!folder) errno = ENOENT;
        platform::Error moveError = VTErrorUtilities::errorWithPOSIXErrnoForPath(localPath_);
        std::lock_guard<std::mutex> lock(mutex_);
        error_ = moveError;
    }
    if ((failure || error()) && folder) folder->removeFile(partial);
    CompletionCallback callback;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (error_) failure = error_;
        task_.reset();
        callback = completionCallback_;
    }
    if (callback) callback(failure);
}
