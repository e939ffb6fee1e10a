// A small one-file downloader over the project's HTTP layer. The library
// provides it; nothing in the program calls it.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Http/HttpClient.h"
#include "Platform/Values/Error.h"

class VTDownloader : public std::enable_shared_from_this<VTDownloader> {
  public:
    /// Called once when the download ends: with no error when the file is
    /// at the local path, else with the failure.
    using CompletionCallback = std::function<void(const std::optional<platform::Error>& error)>;

    /// A downloader of `remoteURL` to the file `localPath`, calling back on a
    /// serial queue of its own (labelled with `debugInfoName` when given).
    /// nullptr for an empty remote URL.
    static std::shared_ptr<VTDownloader> downloaderToDownloadURL(
        const std::string& remoteURL, const std::string& localPath,
        const std::string& debugInfoName = {},
        platform::HttpClientPtr client = platform::HttpClient::shared());

    const std::string& remoteURL() const { return remoteURL_; }
    const std::string& localURL() const { return localPath_; }
    /// Set before start().
    void setCompletionCallback(CompletionCallback callback) {
        completionCallback_ = std::move(callback);
    }
    /// The failure kept when the finished file could not be moved into place.
    std::optional<platform::Error> error() const;
    const platform::DispatchQueuePtr& queue() const { return queue_; }

    /// Starts the transfer. The body goes to "<local path>.vtdownload" and is
    /// moved to the local path once complete; an HTTP status of 400 or above
    /// fails the download (NSURLErrorDomain -1011) and leaves the local file
    /// alone. Always returns true.
    bool start(platform::Error* error = nullptr);

  private:
    VTDownloader(std::string remoteURL, std::string localPath, platform::HttpClientPtr client,
                 platform::DispatchQueuePtr queue);
    void finish(platform::HttpResult result);

    std::string remoteURL_;
    std::string localPath_;
    platform::HttpClientPtr client_;
    platform::DispatchQueuePtr queue_;
    CompletionCallback completionCallback_;
    mutable std::mutex mutex_;
    std::optional<platform::Error> error_;
    platform::HttpTaskPtr task_;
};
