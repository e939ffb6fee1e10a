// The base of the installer's statistics pings: a query string becomes an
// HTTP GET to the primary statistics endpoint, with one fall-back to the
// backup endpoint, and nothing is ever reported back to the caller.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Dispatch/OperationQueue.h"
#include "Platform/Http/HttpClient.h"

/// A ping sender. Each sender has an operation queue of its own, on which its
/// requests' completions (and the fall-back decision) run. Every method may
/// be called from any thread; none blocks.
class StatPing {
  public:
    /// Default request time-out, in seconds.
    static constexpr double kDefaultTimeOutInterval = 5.0;

    /// A sender whose operation queue is named `queueName` (UTF-8; null leaves
    /// the queue's default name), sending `headerValue` as agent text (none
    /// when absent) with the time-out `interval` in seconds.
    StatPing(const char* queueName, std::optional<std::string> headerValue, double interval);
    /// The same with the time-out kDefaultTimeOutInterval.
    StatPing(const char* queueName, std::optional<std::string> headerValue);
    virtual ~StatPing();
    StatPing(const StatPing&) = delete;
    StatPing& operator=(const StatPing&) = delete;

    const platform::OperationQueuePtr& operationQueue() const { return operationQueue_; }
    void setOperationQueue(platform::OperationQueuePtr queue) {
        operationQueue_ = std::move(queue);
    }
    const std::optional<std::string>& agentString() const { return agentString_; }
    void setAgentString(std::optional<std::string> agent) { agentString_ = std::move(agent); }
    double timeOutInterval() const { return timeOutInterval_; }
    void setTimeOutInterval(double seconds) { timeOutInterval_ = seconds; }

    /// The client the requests go through (HttpClient::shared() unless set).
    const platform::HttpClientPtr& httpClient() const { return httpClient_; }
    void setHttpClient(platform::HttpClientPtr client) { httpClient_ = std::move(client); }

    /// Sends the query `data` (with "&useragent=<agent>" appended when the
    /// sender has agent text) to "http://<primary host>/n/p?<query>", falling
    /// back once to the backup host. Returns at once.
    void submitWithDataString(std::string_view data);

    /// Sends a GET to `url`; when it fails (other than with the
    /// not-connected error) or answers with a status outside 200 to 203, sends
    /// the same request once to `backupURL`, whose outcome is ignored.
    void performPingWithURL(const std::string& url, const std::string& backupURL);

    // Values every ping carries. Each is computed on first use and kept for
    // the life of the process (fall-backs included); never empty-handed.
    /// The operating system's version (VERSION_ID of /etc/os-release), or "Unknown".
    static std::string osVersion();
    /// The machine identifier from the identifier source, or "0" when there is none.
    static std::string machineIdString();
    /// The language name for the current locale (see languageNameFor()).
    static std::string languageString();
    /// The main bundle's CFBundleShortVersionString, or "".
    static std::string bundleVersionString();
    /// The main bundle's CFBundleVersion, or "".
    static std::string buildNumberString();
    /// The main bundle's SubproductName, or "".
    static std::string subProductName();

    /// The language name for a locale: the language code, then language-script,
    /// then language_country, looked up in the pings' language table; "English"
    /// when none is there.
    static std::string languageNameFor(std::string_view language, std::string_view script,
                                       std::string_view country);
    /// The language name for a locale identifier such as "pt_BR.UTF-8",
    /// "zh-Hant-TW" or "sr_RS@latin".
    static std::string languageNameForLocale(std::string_view localeIdentifier);
    /// The identifier of the current locale: the first of LC_ALL, LC_MESSAGES
    /// and LANG that is set and not "C" or "POSIX"; "en_US" otherwise.
    static std::string currentLocaleIdentifier();

    /// Percent-escapes a whole URL text as UTF-8: the characters a URL may
    /// hold stay (letters, digits, "-_.!~*'()" and ";/?:@&=+$,"); every other
    /// byte, "%" and "#" included, becomes "%XX".
    static std::string escapeURLString(std::string_view text);

    /// The hosts (with an optional ":port") of the two statistics endpoints.
    static std::string primaryEndpointHost();
    static std::string backupEndpointHost();
    /// Points the pings at other hosts (tests, test labs); empty texts restore
    /// the defaults.
    static void setEndpointHosts(std::string primary, std::string backup);

    /// Where the machine identifier comes from: a function returning a
    /// NUL-terminated text it keeps owning, or null when there is none.
    using MachineIdSource = std::function<const char*()>;
    /// Sets the machine identifier source (null: none, so the value is "0").
    /// The default is UnsecuredTelemetryInfo::GetUnsecuredEndpointID with its
    /// default file. Must be set before the first machineIdString().
    static void setMachineIdSource(MachineIdSource source);

    /// Forgets every cached value (tests only; not while pings are built).
    static void resetCachedValuesForTesting();

  private:
    platform::OperationQueuePtr operationQueue_;
    std::optional<std::string> agentString_;
    double timeOutInterval_;
    platform::HttpClientPtr httpClient_;
};
