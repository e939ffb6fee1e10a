#include "VTSubmissionLib/VTSubmissionUpload.h"

#include <algorithm>
#include <cstring>

#include "Platform/Http/HttpError.h"
#include "VTErrorCreationLib/Utilities/VTTrace.h"
#include "VTErrorCreationLib/Utilities/VTVersionUtilities.h"
#include "VTErrorCreationLib/VTUUID.h"
#include "VTSubmissionLib/VTSubmissionFormat.h"

using platform::Error;

// --- one region ---------------------------------------------------------------

VTSubmissionReadStream::VTSubmissionReadStream(platform::DispatchData::Region data)
    : data_(std::move(data)) {}

long VTSubmissionReadStream::read(char* buffer, std::size_t capacity) {
    if (!isOpen()) return -1;
    const std::size_t n = std::min(capacity, data_->size() - offset_);
    if (n > 0) std::memcpy(buffer, data_->data() + offset_, n);
    offset_ += n;
    return static_cast<long>(n);
}

// --- the whole body -------------------------------------------------------------

VTSubmissionStream::VTSubmissionStream(platform::DispatchData data) : data_(std::move(data)) {
    for (const auto& region : data_.regions()) streams_.emplace_back(region);
}

VTSubmissionStream::~VTSubmissionStream() { close(); }

void VTSubmissionStream::open() {
    std::lock_guard lock(mutex_);
    if (status_ != kNotOpen) return;
    status_ = kOpening;
    if (!streams_.empty()) streams_[0].open();
    status_ = kOpen;
}

void VTSubmissionStream::close() {
    std::lock_guard lock(mutex_);
    for (auto& s : streams_)
        if (s.wasOpened()) s.close();
    status_ = kClosed;
}

bool VTSubmissionStream::rewind() {
    std::lock_guard lock(mutex_);
    if (status_ == kClosed || status_ == kError) return false;
    for (auto& s : streams_) s.rewind();
    currentIndex_ = 0;
    status_ = kNotOpen;
    return true;
}

bool VTSubmissionStream::hasBytesAvailable() const {
    std::lock_guard lock(mutex_);
    return std::any_of(streams_.begin(), streams_.end(),
                       [](const VTSubmissionReadStream& s) { return s.hasBytesAvailable(); });
}

VTSubmissionStream::Status VTSubmissionStream::streamStatus() const {
    std::lock_guard lock(mutex_);
    return status_;
}

long VTSubmissionStream::read(char* buffer, std::size_t capacity, Error* error) {
    // The regions are in memory: reading them under the lock costs nothing.
    std::lock_guard lock(mutex_);
    if (currentIndex_ == streams_.size()) status_ = kAtEnd;
    switch (status_) {
        case kNotOpen:
        case kOpening:
            if (!streams_.empty()) streams_[0].open();
            break;
        case kOpen:
        case kReading:
            break;
        case kAtEnd:
            return 0;
        default:
            platform::setError(error, platform::makeURLError(platform::kURLErrorCancelled, ""));
            return -1;
    }
    for (;;) {
        status_ = kReading;
        VTSubmissionReadStream& current = streams_[currentIndex_];
        const long n = current.read(buffer, capacity);
        if (n < 0) {
            status_ = kError;
            platform::setError(error, platform::makeURLError(platform::kURLErrorCancelled, ""));
            return -1;
        }
        if (n == 0) {
            ++currentIndex_;
            VT_TRACE(VTSubmission_StreamReadSubstream, static_cast<std::int64_t>(currentIndex_),
                     static_cast<std::int64_t>(streams_.size()));
            if (currentIndex_ < streams_.size()) {
                streams_[currentIndex_].open();
                continue;
            }
            status_ = kAtEnd;
            return 0;
        }
        const bool last = currentIndex_ + 1 == streams_.size();
        status_ = last && !current.hasBytesAvailable() ? kAtEnd : kOpen;
        return n;
    }
}

// --- the upload -------------------------------------------------------------------

VTSubmissionUpload::VTSubmissionUpload(std::shared_ptr<VTServerSubmission> submission,
                                       VTSubmissionContext context)
    : VTSubmissionConnection(std::move(submission), kVTGatewayTypeUpload, std::move(context)) {}

VTSubmissionUpload::~VTSubmissionUpload() { stop(); }

std::string VTSubmissionUpload::bodyPrefix(const std::string& boundary) {
    return "\r\n--" + boundary +
           "\r\nContent-Disposition: form-data; name=\"upload\"; filename=\"file.dat\"\r\n"
           "Content-Type: application/octet-stream\r\n\r\n";
}

std::string VTSubmissionUpload::bodySuffix(const std::string& boundary) {
    return "\r\n--" + boundary + "\r\n";
}

std::string VTSubmissionUpload::RFCDateString() {
    return VTSubmissionRFCDateString(platform::Date::now());
}

std::shared_ptr<VTSubmissionStream> VTSubmissionUpload::fileStream() const {
    std::lock_guard lock(bodyMutex_);
    return fileStream_;
}

void VTSubmissionUpload::stop() {
    std::shared_ptr<VTSubmissionStream> stream;
    {
        std::lock_guard lock(bodyMutex_);
        stream = std::move(fileStream_);
    }
    if (stream) stream->close();
}

std::optional<platform::HttpRequest> VTSubmissionUpload::requestForServerGateway(
    const VTGateway& gateway) {
    std::optional<platform::DispatchData> payload = submission()->compressedData();
    if (!payload || !gateway.host() || gateway.host()->empty()) return std::nullopt;
    stop();
    const std::string boundary = VTUUID().UUIDString();
    const std::string prefix = bodyPrefix(boundary);
    const std::string suffix = bodySuffix(boundary);
    platform::DispatchData body(platform::Data(prefix.begin(), prefix.end()));
    body.append(*payload);  // shares the payload's regions
    body.append(platform::DispatchData(platform::Data(suffix.begin(), suffix.end())));
    auto stream = std::make_shared<VTSubmissionStream>(std::move(body));

    const VTErrorProperties& s = submission()->errorReport()->summaryData();
    std::string bucket = VTStringUtilities::stringWithBucketID(s.bucketId());
    for (char& c : bucket)
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');

    platform::HttpRequest request(urlForGateway(gateway));
    request.setMethod("POST");
    request.setHeader("Expect", "100-Continue");
    request.setHeader("Date", RFCDateString());
    request.setHeader("X-Error-Cookie", submission()->cookie().value_or(""));
    request.setHeader(
        "X-Error-ID",
        "{" + (s.failureUUID() ? s.failureUUID()->UUIDString() : std::string()) + "}");
    request.setHeader("X-Bucket-ID", bucket);
    request.setHeader("Content-Type", "multipart/form-data; boundary=\"" + boundary + "\"");
    // Content-Length comes from the body's length.
    const auto& config = context().configuration;
    const double timeout = config && config->networkUploadTimeoutSeconds() > 0
                               ? config->networkUploadTimeoutSeconds()
                               : 1200.0;
    request.setTimeoutInterval(timeout);
    request.setTotalTimeout(timeout);
    request.setMaximumResponseLength(kMaximumResponseLength);
    stream->open();
    request.setBodySource(stream);
    {
        std::lock_guard lock(bodyMutex_);
        fileStream_ = std::move(stream);
    }
    return request;
}
