#include "Downloader/StatPing.h"

#include <mutex>

#include "Downloader/PingSupport.h"
#include "Platform/Http/HttpError.h"

namespace {

// Our statistics endpoints, in this one place.
constexpr const char* kDefaultPrimaryHost = "stats.pelgrave.com";
constexpr const char* kDefaultBackupHost = "stats2.pelgrave.com";
constexpr const char* kPingPath = "/n/p?";

std::mutex gHostsMutex;
std::string gPrimaryHost = kDefaultPrimaryHost;
std::string gBackupHost = kDefaultBackupHost;

bool arrived(const platform::HttpResult& result) {
    if (!result.succeeded() || !result.response) return false;
    int status = result.response->statusCode();
    return status >= 200 && status <= 203;
}

bool offline(const platform::HttpResult& result) {
    return result.error.domain() == platform::kURLErrorDomain &&
           result.error.code() == platform::kURLErrorNotConnectedToInternet;
}

}  // namespace

StatPing::StatPing(const char* queueName, std::optional<std::string> headerValue, double interval)
    : operationQueue_(platform::OperationQueue::create(queueName ? queueName : "")),
      agentString_(std::move(headerValue)),
      timeOutInterval_(interval),
      httpClient_(platform::HttpClient::shared()) {}

StatPing::StatPing(const char* queueName, std::optional<std::string> headerValue)
    : StatPing(queueName, std::move(headerValue), kDefaultTimeOutInterval) {}

StatPing::~StatPing() = default;

std::string StatPing::primaryEndpointHost() {
    std::lock_guard lock(gHostsMutex);
    return gPrimaryHost;
}

std::string StatPing::backupEndpointHost() {
    std::lock_guard lock(gHostsMutex);
    return gBackupHost;
}

void StatPing::setEndpointHosts(std::string primary, std::string backup) {
    std::lock_guard lock(gHostsMutex);
    gPrimaryHost = primary.empty() ? kDefaultPrimaryHost : std::move(primary);
    gBackupHost = backup.empty() ? kDefaultBackupHost : std::move(backup);
}

std::string StatPing::escapeURLString(std::string_view text) {
    static constexpr std::string_view kKept =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.!~*'();/?:@&=+$,";
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c != '\0' && kKept.find(c) != std::string_view::npos) {
            out += c;
        } else {
            auto b = static_cast<unsigned char>(c);
            out += '%';
            out += kHex[b >> 4];
            out += kHex[b & 0xF];
        }
    }
    return out;
}

void StatPing::submitWithDataString(std::string_view data) {
    std::string query(data);
    if (agentString_) query += "&useragent=" + *agentString_;
    // The whole URL is escaped at once, so field values are not escaped on
    // their own: "&" or "=" inside a value starts another field.
    std::string primary = escapeURLString("http://" + primaryEndpointHost() + kPingPath + query);
    std::string backup = escapeURLString("http://" + backupEndpointHost() + kPingPath + query);
    performPingWithURL(primary, backup);
}

void StatPing::performPingWithURL(const std::string& url, const std::string& backupURL) {
    platform::HttpRequest request(url);
    request.setMethod("GET");
    request.setTimeoutInterval(timeOutInterval_);
    request.setFollowsRedirects(false);
    if (agentString_) request.setHeader("useragent", *agentString_);

    // The completion keeps what it needs: the sender may be gone by then.
    auto client = httpClient_;
    auto queue = pings::dispatchQueueOnOperationQueue(operationQueue_);
    platform::HttpTaskHandlers handlers;
    handlers.onComplete = [client, queue, request, backupURL](platform::HttpResult result) {
        if (offline(result) || arrived(result)) return;
        platform::HttpRequest retry = request;
        retry.setURL(backupURL);
        client->startDataTask(std::move(retry), queue, {});
    };
    client->startDataTask(std::move(request), queue, std::move(handlers));
}
