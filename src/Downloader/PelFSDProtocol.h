// The download screen's side of the downloader: progress and outcome of the
// files of a download.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Platform/Values/Error.h"

/// The calls of PelFSDProtocol, in declaration order.
enum class PelFSDOperation {
    numberOfJobs,
    downloadDidFinish,
    downloadDidFailWithError,
    downloadDidBegin,
    downloadSize,
    downloadDidCreateDestination,
    downloadWithDataOfLength,
};

/// The delegate of the downloader and of its transports. Every call comes on
/// the main queue, and only for the operations respondsTo() answers yes for:
/// the required ones always, the optional ones (default bodies) when the
/// implementation says it offers them. The downloader holds its delegate
/// weakly and relies on no result.
class PelFSDProtocol {
  public:
    virtual ~PelFSDProtocol() = default;

    /// Required calls: yes. Optional calls: no unless overridden.
    virtual bool respondsTo(PelFSDOperation operation) const {
        return operation == PelFSDOperation::numberOfJobs ||
               operation == PelFSDOperation::downloadDidFinish ||
               operation == PelFSDOperation::downloadDidFailWithError;
    }

    /// Once, after the driver is made: the jobs and their files (setup
    /// installers not counted).
    virtual void numberOfJobs(std::uint64_t jobs, std::uint64_t files) = 0;
    /// A file is done (unpacked, or an optional file that failed).
    virtual void downloadDidFinish() = 0;
    /// A mandatory file failed; the download has stopped.
    virtual void downloadDidFailWithError(const platform::Error& error) = 0;

    virtual void downloadDidBegin() {}
    /// The expected size of the current file (resume offset included), or -1.
    virtual void downloadSize(std::int64_t) {}
    virtual void downloadDidCreateDestination(const std::string&) {}
    /// Bytes of the current file received so far, resume offset included.
    virtual void downloadWithDataOfLength(std::uint64_t) {}
};

using PelFSDDelegateRef = std::weak_ptr<PelFSDProtocol>;

/// Posts `call` to the main queue, where it runs when the delegate is still
/// there and responds to `operation`.
void postToFSDDelegate(const PelFSDDelegateRef& delegate, PelFSDOperation operation,
                       std::function<void(PelFSDProtocol&)> call);
