// One error on its way through a submission session, and what the parts of
// the session share: configuration, settings, client and HTTP client.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Platform/Dispatch/DispatchData.h"
#include "Platform/Http/HttpClient.h"
#include "VTErrorCreationLib/VTClient.h"
#include "VTErrorCreationLib/VTError.h"
#include "VTErrorCreationLib/VTSCDConfiguration.h"
#include "VTErrorCreationLib/VTSettingsClient.h"

class VTServerSubmission {
  public:
    /// `errorReport` must not be null (std::invalid_argument otherwise).
    explicit VTServerSubmission(std::shared_ptr<VTError> errorReport);

    const std::shared_ptr<VTError>& errorReport() const { return errorReport_; }

    std::optional<std::string> cookie() const;
    void setCookie(std::optional<std::string> cookie);
    bool didPingSucceed() const;
    void setPingSucceeded(bool value);
    bool shouldSubmitPayload() const;
    void setSubmitPayload(bool value);
    std::optional<platform::DispatchData> compressedData() const;
    void setCompressedData(std::optional<platform::DispatchData> data);
    std::int64_t uncompressedSize() const;
    void setUncompressedSize(std::int64_t size);

  private:
    const std::shared_ptr<VTError> errorReport_;
    mutable std::mutex mutex_;
    std::optional<std::string> cookie_;
    bool pingSucceeded_ = false;
    bool submitPayload_ = false;
    std::optional<platform::DispatchData> compressedData_;
    std::int64_t uncompressedSize_ = 0;
};

/// What the exchanges of one session read.
struct VTSubmissionContext {
    std::shared_ptr<const VTSCDConfiguration> configuration;
    std::shared_ptr<VTSettingsClient> settingsClient;  // may be null
    std::shared_ptr<VTClient> client;                  // may be null
    platform::HttpClientPtr httpClient;                // null: HttpClient::shared()

    /// The settings object of the settings client, when it is a VTSettings.
    std::shared_ptr<VTSettings> settings() const;
    platform::HttpClientPtr http() const;
};
