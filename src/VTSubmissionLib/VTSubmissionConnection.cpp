#include "VTSubmissionLib/VTSubmissionConnection.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Http/HttpError.h"
#include "VTErrorCreationLib/Utilities/VTErrorUtilities.h"
#include "VTErrorCreationLib/Utilities/VTTrace.h"
#include "VTErrorCreationLib/Utilities/VTVersionUtilities.h"
#include "VTSubmissionLib/VTSubmissionFormat.h"

using platform::Error;
using platform::HttpRequest;
using platform::HttpResponse;

namespace {

bool failsOver(const Error& error) {
    if (error.domain() != platform::kURLErrorDomain) return false;
    switch (error.code()) {
        case platform::kURLErrorTimedOut:
        case platform::kURLErrorCannotFindHost:
        case platform::kURLErrorCannotConnectToHost:
        case platform::kURLErrorDNSLookupFailed:
            return true;
        default:
            return false;
    }
}

std::string upperBucket(std::uint64_t bucket) {
    std::string s = VTStringUtilities::stringWithBucketID(bucket);
    for (char& c : s)
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

}  // namespace

VTSubmissionConnection::VTSubmissionConnection(std::shared_ptr<VTServerSubmission> submission,
                                               std::int32_t type, VTSubmissionContext context)
    : submission_(std::move(submission)), type_(type), context_(std::move(context)) {
    if (context_.configuration) {
        for (const VTGateway& g : context_.configuration->gateways())
            if (g.type() == type_) gateways_.push_back(g);
        std::stable_sort(
            gateways_.begin(), gateways_.end(),
            [](const VTGateway& a, const VTGateway& b) { return a.priority() < b.priority(); });
    }
}

VTSubmissionConnection::~VTSubmissionConnection() {
    if (task_) task_->cancel();
}

void VTSubmissionConnection::setCompletionCallback(CompletionCallback callback) {
    std::lock_guard lock(mutex_);
    // An exchange that has ended calls nothing more; keeping the callback
    // would only keep what it holds alive.
    if (!delivered_) callback_ = std::move(callback);
}

std::int64_t VTSubmissionConnection::serverIndex() const {
    std::lock_guard lock(mutex_);
    return serverIndex_;
}

std::optional<VTGateway> VTSubmissionConnection::currentGateway() const {
    std::lock_guard lock(mutex_);
    if (serverIndex_ < 0 || static_cast<std::size_t>(serverIndex_) >= gateways_.size())
        return std::nullopt;
    return gateways_[static_cast<std::size_t>(serverIndex_)];
}

std::optional<HttpRequest> VTSubmissionConnection::requestForServerGateway(const VTGateway&) {
    return std::nullopt;
}

bool VTSubmissionConnection::prepareRequest(HttpRequest&, bool) { return true; }

std::string VTSubmissionConnection::urlForGateway(const VTGateway& gateway) {
    std::string url = gateway.useSSL() ? "https://" : "http://";
    url += gateway.host().value_or("");
    if (gateway.port() != 0) url += ":" + std::to_string(gateway.port());
    url += "/" + gateway.URI().value_or("");
    return url;
}

bool VTSubmissionConnection::start(Error* error) {
    if (nextGateway()) return true;
    platform::setError(error, VTErrorUtilities::errorWithVantrelError(kVTErrorNotConfigured));
    return false;
}

bool VTSubmissionConnection::nextGateway() {
    VT_TRACE(VTSubmission_ServerConnectionNextGateway_Enter);
    std::optional<VTGateway> gateway = currentGateway();
    if (!gateway) return false;
    std::optional<HttpRequest> request = requestForServerGateway(*gateway);
    if (!request) return false;
    request->setHeader("User-Agent", kVTSubmissionUserAgent);
    VT_TRACE(VTSubmission_ServerConnectionNextGateway_Exit, request->url().c_str());

    platform::HttpTaskPtr previous;
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        if (delivered_) return false;
        previous = std::move(task_);
        generation = ++generation_;
    }
    if (previous) previous->cancel();
    if (!prepareRequest(*request, true)) return false;

    std::weak_ptr<VTSubmissionConnection> weak = weak_from_this();
    platform::HttpTaskHandlers handlers;
    // The connection stays alive until its exchange has ended.
    auto self = shared_from_this();
    handlers.onComplete = [self, generation](platform::HttpResult result) {
        self->handleResult(generation, std::move(result));
    };
    platform::HttpTaskPtr task = context_.http()->startDataTask(
        std::move(*request), platform::mainQueue(), std::move(handlers));
    bool cancelled = false;
    {
        std::lock_guard lock(mutex_);
        if (delivered_ || generation_ != generation)
            cancelled = true;
        else
            task_ = task;
    }
    if (cancelled) task->cancel();
    return !cancelled;
}

void VTSubmissionConnection::handleResult(std::uint64_t generation, platform::HttpResult result) {
    {
        std::lock_guard lock(mutex_);
        if (delivered_ || generation != generation_) return;
        task_.reset();
    }
    if (!result.succeeded()) return connectionDidFailWithError(std::move(result.error));
    if (!result.response) {
        Error error = platform::makeURLError(platform::kURLErrorBadServerResponse, "");
        deliver(std::nullopt, {}, error);
        return;
    }
    VT_TRACE(VTSubmission_ServerResponse, result.response->statusCode());
    connectionDidFinishLoading(*result.response, std::move(result.body));
}

void VTSubmissionConnection::connectionDidFailWithError(Error error) {
    VT_TRACE(VTSubmission_ServerConnectionFailure, error.code());
    if (failsOver(error)) {
        {
            std::lock_guard lock(mutex_);
            ++serverIndex_;
        }
        if (nextGateway()) return;
    }
    deliver(std::nullopt, {}, error);
}

void VTSubmissionConnection::connectionDidFinishLoading(const HttpResponse& response,
                                                        platform::Data body) {
    deliver(response, body, Error());
}

void VTSubmissionConnection::deliver(const std::optional<HttpResponse>& response,
                                     const platform::Data& body, const Error& error) {
    CompletionCallback callback;
    {
        std::lock_guard lock(mutex_);
        if (delivered_) return;
        delivered_ = true;
        callback = std::move(callback_);
    }
    VT_TRACE(VTSubmission_ServerConnectionFinished);
    stop();
    if (callback) callback(response, body, error);
}

void VTSubmissionConnection::cancel() {
    platform::HttpTaskPtr task;
    CompletionCallback callback;
    {
        std::lock_guard lock(mutex_);
        if (delivered_) return;
        delivered_ = true;
        ++generation_;
        task = std::move(task_);
        callback = std::move(callback_);
    }
    if (task) task->cancel();
    stop();
    if (callback)
        callback(std::nullopt, {}, platform::makeURLError(platform::kURLErrorCancelled, ""));
}

// --- the error ping ------------------------------------------------------------

VTSubmissionPing::VTSubmissionPing(std::shared_ptr<VTServerSubmission> submission,
                                   VTSubmissionContext context)
    : VTSubmissionConnection(std::move(submission), kVTGatewayTypePing, std::move(context)) {}

std::string VTFormBody(const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string out;
    for (const auto& [name, value] : fields) {
        if (!out.empty()) out += '&';
        out += VTFormEscape(name);
        out += '=';
        out += VTFormEscape(value);
    }
    return out;
}

std::optional<std::vector<std::pair<std::string, std::string>>> VTSubmissionPing::formFields() {
    VTError& error = *submission()->errorReport();
    const VTErrorProperties& s = error.summaryData();
    const std::shared_ptr<VTClient>& client = context().client;

    const auto productVersion =
        VTStringUtilities::canonicalVersionString(s.productVersion().value_or(""));
    if (!productVersion) return std::nullopt;

    std::vector<std::pair<std::string, std::string>> f;
    auto put = [&f](const char* name, std::optional<std::string> value,
                    std::optional<std::string> fallback = std::nullopt) {
        if (value && !value->empty())
            f.emplace_back(name, std::move(*value));
        else if (fallback)
            f.emplace_back(name, std::move(*fallback));
    };
    auto canonical = [&](const std::optional<std::string>& v) -> std::optional<std::string> {
        if (!v) return std::nullopt;
        return VTStringUtilities::canonicalVersionString(*v);
    };
    auto date = [](const std::optional<platform::Date>& d) -> std::optional<std::string> {
        if (!d) return std::nullopt;
        return VTSubmissionDateString(*d);
    };
    auto uuid = [](const std::optional<VTUUID>& u) -> std::optional<std::string> {
        if (!u) return std::nullopt;
        return u->UUIDString();
    };
    auto number = [](auto n) { return std::to_string(n); };
    auto orDefault = [&](auto n, const char* fallback) {
        return n != 0 ? std::to_string(n) : std::string(fallback);
    };

    put("version", productVersion);
    put("processors", number(s.processorCount()));
    put("os_build", s.osBuild());
    put("os_version", s.osVersion());
    put("cpu_info", s.processorName());
    put("country", s.country(), "US");
    put("language", s.language(), "English");
    put("machine_id", uuid(s.machineId()), client ? client->machineID() : std::nullopt);
    put("mid", uuid(s.mid()), client ? client->mid() : std::nullopt);
    put("locale_name", s.localeName(), "English");
    put("build_name", s.productBuildName());
    put("product", s.productName(), client ? client->productName() : std::nullopt);
    put("processor_friendly_name", s.processorBrandString());
    put("layout_type", s.productLayoutType());
    put("system_product", s.systemProductName());

    std::string languages;
    if (s.productLanguages()) {
        for (const platform::Value& v : *s.productLanguages()) {
            const std::string* name = v.asString();
            std::string_view code = name ? VTProductLanguageCode(*name) : std::string_view();
            if (code.empty()) continue;
            if (!languages.empty()) languages += ',';
            languages += code;
        }
    }
    put("product_lang_id", languages, "en-US");
    put("locale", number(s.windowsLocaleId()));

    std::uint32_t timesSeen = 0;
    if (auto settings = context().settings())
        if (auto bucket = settings->settingsForBucket(s.bucketId())) timesSeen = bucket->timesSeen;
    put("error_count", orDefault(timesSeen, "1"));
    put("event_time", date(s.failureTime()));
    put("process_time", date(s.processTimestamp()));
    put("module_time", date(s.moduleTimestamp()));
    if (s.stackHash() != 0) put("stack_hash", number(static_cast<std::int64_t>(s.stackHash())));
    if (s.additionalProducts() && !s.additionalProducts()->empty()) {
        std::string joined;
        for (const platform::Value& v : *s.additionalProducts()) {
            if (!joined.empty()) joined += ';';
            if (const std::string* t = v.asString()) joined += *t;
        }
        put("additional_products", joined);
    }
    put("bucket_id", upperBucket(s.bucketId()));
    put("class_id", orDefault(s.failureType(), "1"));
    put("submission_probability", orDefault(s.probability(), "1"));
    put("module_offset", number(s.moduleOffset()));
    put("error_id", "{" + uuid(s.failureUUID()).value_or("") + "}");
    put("process_name", s.processName());
    put("process_ver", canonical(s.processVersion()), productVersion);
    std::optional<std::string> moduleName;
    if (s.moduleName()) moduleName = VTDeletingPathExtension(*s.moduleName());
    put("module_name", moduleName);
    put("module_ver", canonical(s.moduleVersion()), productVersion);
    if (s.failureType() == 1 || s.failureType() == 6) {
        put("pel_module_ver", canonical(s.pelgraveModuleVersion()), productVersion);
        std::optional<std::string> pelName;
        if (s.pelgraveModuleName()) pelName = VTDeletingPathExtension(*s.pelgraveModuleName());
        put("pel_module_name", pelName);
        put("pel_module_offset", number(s.pelgraveModuleOffset()));
        put("exception_code", number(static_cast<std::int64_t>(s.exceptionCode())));
        put("pel_module_time", date(s.pelgraveModuleTimestamp()),
            VTSubmissionDateString(platform::Date::now()));
    } else {
        put("source", s.logicalComponentId(), moduleName);
        auto absolute = [](std::uint64_t v) {
            const auto sv = static_cast<std::int64_t>(v);
            return sv < 0 ? static_cast<std::uint64_t>(0) - v : v;
        };
        put("error_code", number(absolute(s.logicalFailureID())));
        put("ext_error_code", number(absolute(s.logicalErrorCode())));
        put("severity", orDefault(s.failureSeverity(), "1"));
    }
    int errorData = 0;
    if (error.infoForDetailDataWithIdentifier("AppleCrashReport") ||
        error.infoForDetailDataWithIdentifier("ApplePanicReport"))
        errorData += 1;
    if (error.infoForDetailDataWithIdentifier("FVCrashReport")) errorData += 2;
    put("error_data", number(errorData));
    put("detailed_data", s.detailedDataMask() != 0 ? "1" : "0");
    if (s.detailedDataMask() != 0) put("detailed_data_type", number(s.detailedDataMask()));
    put("submit_time", number(timeIntervalInWindowsTicks(platform::Date::now())));
    put("os_sp", "0");
    put("os_architecture", "x64");
    put("system_manufacturer", "Apple");
    put("platform_type", "2");
    put("client_version", canonical(s.clientVersion()));
    put("os_type", s.osXServer() ? "3" : "1");
    return f;
}

std::string VTSubmissionPing::userDefinedHeader() {
    VTError& error = *submission()->errorReport();
    const VTErrorProperties& s = error.summaryData();
    if (s.systemUptime() > 0) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.4lf", s.systemUptime());
        error.addParameterDataWithKey("system_uptime", buf, nullptr);
    }
    if (s.threadNumber() > 0)
        error.addParameterDataWithKey("thread_number", std::to_string(s.threadNumber()), nullptr);
    if (s.threadName() && !s.threadName()->empty())
        error.addParameterDataWithKey("thread_name", *s.threadName(), nullptr);

    std::string header;
    const std::array<std::int64_t, 1> sections = {kVTErrorDataKindParameter};
    error.enumerateData(sections, 0,
                        [&header](const std::string& key, const VTErrorDataValue& value,
                                  const platform::Dictionary*, bool&) {
                            const std::string* text = value.value.asString();
                            std::string v = text ? *text : value.value.description();
                            v = VTTruncateUTF8(v, 512);
                            if (!header.empty()) header += '&';
                            header += VTFormEscape(key) + "=" + VTFormEscape(v);
                        });
    return header;
}

std::optional<HttpRequest> VTSubmissionPing::requestForServerGateway(const VTGateway& gateway) {
    if (gateway.type() != kVTGatewayTypePing || !gateway.host() || gateway.host()->empty())
        return std::nullopt;
    auto fields = formFields();
    if (!fields) return std::nullopt;
    HttpRequest request(urlForGateway(gateway));
    std::string userDefined = userDefinedHeader();
    if (!userDefined.empty()) request.setHeader("X-User-Defined", userDefined);
    request.setHeader("Content-Type", "application/x-www-form-urlencoded");
    request.setMethod("POST");
    request.setBody(VTFormBody(*fields));
    const auto& config = context().configuration;
    const double connect = config && config->networkConnectTimeoutSeconds() > 0
                               ? config->networkConnectTimeoutSeconds()
                               : 30.0;
    request.setTimeoutInterval(connect);
    request.setTotalTimeout(4 * connect);
    request.setMaximumResponseLength(kVTMaximumPingResponseLength);
    request.setFollowsRedirects(true);
    return request;
}

void VTSubmissionPing::connectionDidFinishLoading(const HttpResponse& response,
                                                  platform::Data body) {
    if (response.statusCode() != 200) return deliver(response, body, Error());
    const std::string* wanted = response.headers().get("X-Submit-Error-Payload");
    if (!wanted)
        return connectionDidFailWithError(
            platform::makeURLError(platform::kURLErrorNotConnectedToInternet, response.url()));
    const bool submit = std::strtoll(wanted->c_str(), nullptr, 10) != 0;
    submission()->setSubmitPayload(submit);
    if (submit) {
        const std::string* cookie = response.headers().get("X-Error-Cookie");
        if (!cookie) {
            platform::Dictionary info;
            for (const auto& [name, value] : response.headers().fields()) info[name] = value;
            return deliver(std::nullopt, {},
                           Error(std::string(platform::kURLErrorDomain),
                                 platform::kURLErrorBadServerResponse, std::move(info)));
        }
        submission()->setCookie(*cookie);
    }
    deliver(response, body, Error());
}
