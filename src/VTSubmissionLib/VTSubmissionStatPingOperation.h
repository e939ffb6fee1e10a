// The library's statistics ping: one GET at the end of a session that
// reports the session's counters, the machine and the reporting product.
// Its outcome goes nowhere.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Platform/Dispatch/Operation.h"
#include "Platform/Http/HttpClient.h"

class VTSubmissionSession;
class VTClient;

class VTSubmissionStatPingOperation : public platform::Operation {
  public:
    using Fields = std::vector<std::pair<std::string, std::string>>;

    /// Takes the session's counters now.
    explicit VTSubmissionStatPingOperation(const std::shared_ptr<VTSubmissionSession>& session);

    bool isAsynchronous() const override { return true; }
    void start() override;
    void cancel() override;

    const Fields& parameters() const { return parameters_; }
    /// The request to "<base URL>/n/p"-style base text with the query added.
    platform::HttpRequest requestForBaseURL(const std::string& baseURL) const;
    /// The number of requests sent so far.
    int attempts() const { return attempts_.load(); }

    /// VERSION_ID of os-release, read once; "Unknown" without one.
    static std::string osVersion();
    /// The machine's endpoint identifier, or "" without one.
    static std::string machineIdString();
    /// The language name of the current locale.
    static std::string languageString();
    /// The same for a locale identifier such as "pt_BR.UTF-8" or "zh-Hant-TW".
    static std::string languageNameForLocale(std::string_view identifier);
    /// Adds build, product and version of the reporting product.
    static void addProductInformation(Fields& fields, const std::shared_ptr<VTClient>& client);

    /// Host (and ":port") of the statistics endpoint; empty restores the
    /// default (the primary statistics host).
    static void setHost(std::string host);
    static std::string host();

  private:
    void send();
    void nextServer();
    void end();

    std::weak_ptr<VTSubmissionSession> session_;
    std::shared_ptr<VTClient> client_;
    platform::HttpClientPtr httpClient_;
    Fields parameters_;
    std::string baseURL_;
    std::mutex mutex_;
    platform::HttpTaskPtr task_;
    int serverIndex_ = 0;
    std::atomic<int> attempts_{0};
};
