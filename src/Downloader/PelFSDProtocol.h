// The downloader's delegate: what the download screen hears of a download.
//
// Written in the manner of IFPluginProtocol: the delegate answers respondsTo()
// for the operations it implements and the downloader asks before every
// call. Every call is made on the main queue, and only when the delegate
// conforms to the protocol and responds to the operation.
#pragma once

#include <string>

#include "Platform/Values/Error.h"

/// The operations of PelFSDProtocol, in declaration order.
enum class PelFSDOperation {
    numberOfJobs,
    downloadDidFinish,
    downloadDidFailWithError,
    downloadDidBegin,
    downloadSize,
    downloadWithDataOfLength,
    downloadDidCreateDestination,
};

/// The number of operations in PelFSDOperation.
inline constexpr int kPelFSDOperationCount = 7;

class PelFSDProtocol {
  public:
    virtual ~PelFSDProtocol() = default;

    /// Whether the delegate implements `operation`.
    virtual bool respondsTo(PelFSDOperation operation) const = 0;
    /// Whether the delegate declares conformance to the protocol.
    virtual bool conformsToPelFSDProtocol() const { return true; }

    // Required.

    /// Once, when the download object is made.
    virtual void numberOfJobs(unsigned long jobs, unsigned long files) = 0;
    /// Once per file of the job: after it was downloaded and unpacked, and
    /// also after an optional file was given up.
    virtual void downloadDidFinish() = 0;
    /// A mandatory file failed; its failure ping has been sent and all
    /// transfers are cancelled.
    virtual void downloadDidFailWithError(const platform::Error& error) = 0;

    // Optional.

    /// A file transfer starts.
    virtual void downloadDidBegin() {}
    /// Expected size in bytes of the current file.
    virtual void downloadSize(long /*bytes*/) {}
    /// Bytes of the current file received so far (cumulative).
    virtual void downloadWithDataOfLength(long /*bytes*/) {}
    /// Path of the file being written.
    virtual void downloadDidCreateDestination(const std::string& /*path*/) {}
};
