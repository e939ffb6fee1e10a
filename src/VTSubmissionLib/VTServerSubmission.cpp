#include "VTSubmissionLib/VTServerSubmission.h"

#include <stdexcept>

VTServerSubmission::VTServerSubmission(std::shared_ptr<VTError> errorReport)
    : errorReport_(std::move(errorReport)) {
    if (!errorReport_)
        throw std::invalid_argument("Invalid parameter not satisfying: IsntNil (errReport)");
}

std::optional<std::string> VTServerSubmission::cookie() const {
    std::lock_guard lock(mutex_);
    return cookie_;
}
void VTServerSubmission::setCookie(std::optional<std::string> cookie) {
    std::lock_guard lock(mutex_);
    cookie_ = std::move(cookie);
}
bool VTServerSubmission::didPingSucceed() const {
    std::lock_guard lock(mutex_);
    return pingSucceeded_;
}
void VTServerSubmission::setPingSucceeded(bool value) {
    std::lock_guard lock(mutex_);
    pingSucceeded_ = value;
}
bool VTServerSubmission::shouldSubmitPayload() const {
    std::lock_guard lock(mutex_);
    return submitPayload_;
}
void VTServerSubmission::setSubmitPayload(bool value) {
    std::lock_guard lock(mutex_);
    submitPayload_ = value;
}
std::optional<platform::DispatchData> VTServerSubmission::compressedData() const {
    std::lock_guard lock(mutex_);
    return compressedData_;
}
void VTServerSubmission::setCompressedData(std::optional<platform::DispatchData> data) {
    std::lock_guard lock(mutex_);
    compressedData_ = std::move(data);
}
std::int64_t VTServerSubmission::uncompressedSize() const {
    std::lock_guard lock(mutex_);
    return uncompressedSize_;
}
void VTServerSubmission::setUncompressedSize(std::int64_t size) {
    std::lock_guard lock(mutex_);
    uncompressedSize_ = size;
}

std::shared_ptr<VTSettings> VTSubmissionContext::settings() const {
    if (!settingsClient) return nullptr;
    return std::dynamic_pointer_cast<VTSettings>(settingsClient->settings());
}

platform::HttpClientPtr VTSubmissionContext::http() const {
    return httpClient ? httpClient : platform::HttpClient::shared();
}
