// The payload upload: the packed payload framed as one multipart/form-data
// part and streamed to the upload gateways, read in place from its regions.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/Dispatch/DispatchData.h"
#include "Platform/Http/HttpRequest.h"
#include "VTSubmissionLib/VTSubmissionConnection.h"

/// Reads one region of the body without copying it; the region is kept
/// alive as long as the reader.
class VTSubmissionReadStream {
  public:
    VTSubmissionReadStream(platform::DispatchData::Region data);
    void open() { opened_ = true; }
    void close() { closed_ = true; }
    bool isOpen() const { return opened_ && !closed_; }
    bool wasOpened() const { return opened_; }
    bool hasBytesAvailable() const { return isOpen() && offset_ < data_->size(); }
    /// Bytes copied, 0 at the end, -1 when not open.
    long read(char* buffer, std::size_t capacity);
    void rewind() {
        offset_ = 0;
        opened_ = closed_ = false;
    }
    const platform::DispatchData::Region& data() const { return data_; }

  private:
    platform::DispatchData::Region data_;
    std::size_t offset_ = 0;
    bool opened_ = false;
    bool closed_ = false;
};

/// The whole body as a stream over its regions, in order. Also the body
/// source the HTTP layer pulls from (on its own thread).
class VTSubmissionStream : public platform::HttpBodySource {
  public:
    enum Status {
        kNotOpen = 0,
        kOpening = 1,
        kOpen = 2,
        kReading = 3,
        kAtEnd = 5,
        kClosed = 6,
        kError = 7
    };

    /// A stream over `data`'s regions.
    explicit VTSubmissionStream(platform::DispatchData data);
    ~VTSubmissionStream() override;

    void open();
    void close();
    /// As HttpBodySource::read; reading opens a stream that is not open. A
    /// closed or failed stream fails with kURLErrorCancelled.
    long read(char* buffer, std::size_t capacity, platform::Error* error) override;
    std::int64_t length() const override { return static_cast<std::int64_t>(data_.size()); }
    bool rewind() override;
    bool hasBytesAvailable() const;
    Status streamStatus() const;
    std::size_t regionCount() const { return streams_.size(); }

  private:
    const platform::DispatchData data_;
    mutable std::mutex mutex_;
    std::vector<VTSubmissionReadStream> streams_;
    std::size_t currentIndex_ = 0;
    Status status_ = kNotOpen;
};

class VTSubmissionUpload : public VTSubmissionConnection {
  public:
    /// Size of the multipart frame around the payload with a 36-character boundary.
    static constexpr std::size_t kPrefixLength = 152;
    static constexpr std::size_t kSuffixLength = 42;
    /// Largest answer of an upload gateway that is read (its body is unused).
    static constexpr std::uint64_t kMaximumResponseLength = 1024 * 1024;

    VTSubmissionUpload(std::shared_ptr<VTServerSubmission> submission, VTSubmissionContext context);
    ~VTSubmissionUpload() override;

    std::optional<platform::HttpRequest> requestForServerGateway(const VTGateway& gateway) override;
    /// Lets go of the body; harmless when there is none.
    void stop() override;
    /// The body of the request in flight, or null.
    std::shared_ptr<VTSubmissionStream> fileStream() const;

    /// The current time as the Date header gives it.
    static std::string RFCDateString();
    /// The frame around a payload with boundary `boundary`.
    static std::string bodyPrefix(const std::string& boundary);
    static std::string bodySuffix(const std::string& boundary);

  private:
    mutable std::mutex bodyMutex_;
    std::shared_ptr<VTSubmissionStream> fileStream_;
};
