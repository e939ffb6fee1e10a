#include "VTSubmissionLib/VTSubmissionStatPingOperation.h"

#include <cctype>
#include <fstream>
#include <iterator>
#include <sstream>

#include "Downloader/StatPing.h"
#include "Foundation/PelRegistry.h"
#include "Foundation/PelRegistryModule.h"
#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Http/HttpError.h"
#include "Platform/System/OSRelease.h"
#include "Platform/System/Paths.h"
#include "Platform/Values/Json.h"
#include "VTErrorCreationLib/VTClient.h"
#include "VTSubmissionLib/VTSubmissionConnection.h"
#include "VTSubmissionLib/VTSubmissionFormat.h"
#include "VTSubmissionLib/VTSubmissionSession.h"

namespace {

constexpr const char* kOverrideFile =
    "/Library/Application Support/com.pelgrave.automation/StatPing.json";
constexpr double kTimeoutSeconds = 5;
constexpr double kTotalTimeoutSeconds = 20;
constexpr std::uint64_t kMaximumResponseLength = 64 * 1024;

std::mutex gHostMutex;
std::string gHost;

std::string escapeQuery(std::string_view text) { return VTFormEscape(text); }

}  // namespace

VTSubmissionStatPingOperation::VTSubmissionStatPingOperation(
    const std::shared_ptr<VTSubmissionSession>& session)
    : session_(session), client_(session->client()), httpClient_(session->context().http()) {
    setName("Submission StatPing");
    VTSubmissionSessionState& s = session->statistics();
    auto u32 = [](auto v) { return std::to_string(static_cast<std::uint32_t>(v)); };
    std::int64_t ms = 0;
    if (auto startTime = s.submissionStartTime())
        ms = static_cast<std::int64_t>(
            (session->now().secondsSince1970 - startTime->secondsSince1970) * 1000.0);
    parameters_ = {
        {"a", "5023"},
        {"b", u32(s.numErrorsQueued.load())},
        {"c", u32(s.numPingsSubmitted.load())},
        {"d", u32(s.numUploadsSubmitted.load())},
        {"e", u32(s.numberNewActionsFromGateway.load())},
        {"f", u32(s.numberActionsExecuted.load())},
        {"g", u32(s.numberActionsFailed.load())},
        {"h", u32(s.newLogicalErrors.load())},
        {"i", u32(s.newCrashes.load())},
        {"j", "0"},
        {"k", u32(ms)},
        {"module", "5023"},
        {"error", "2"},
    };
    baseURL_ = "http://" + host() + "/n/p";
}

void VTSubmissionStatPingOperation::setHost(std::string host) {
    std::lock_guard lock(gHostMutex);
    gHost = std::move(host);
}

std::string VTSubmissionStatPingOperation::host() {
    {
        std::lock_guard lock(gHostMutex);
        if (!gHost.empty()) return gHost;
    }
    return StatPing::primaryEndpointHost();
}

std::string VTSubmissionStatPingOperation::osVersion() {
    static const std::string version =
        platform::systemReleaseValue("VERSION_ID").value_or("Unknown");
    return version;
}

std::string VTSubmissionStatPingOperation::machineIdString() {
    std::string id = StatPing::machineIdString();
    return id == "0" ? std::string() : id;
}

std::string VTSubmissionStatPingOperation::languageNameForLocale(std::string_view identifier) {
    // "ll[_-]Ssss[_-]CC[.charset][@modifier]"
    std::string_view id = identifier.substr(0, identifier.find_first_of(".@"));
    std::vector<std::string> parts;
    std::string part;
    for (char c : id) {
        if (c == '_' || c == '-') {
            parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    parts.push_back(part);
    std::string language, script, country;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        std::string p = parts[i];
        if (i == 0) {
            for (char& c : p) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            language = p;
        } else if (p.size() == 4 && script.empty() && country.empty()) {
            for (std::size_t k = 0; k < 4; ++k)
                p[k] = static_cast<char>(k == 0 ? std::toupper(static_cast<unsigned char>(p[k]))
                                                : std::tolower(static_cast<unsigned char>(p[k])));
            script = p;
        } else if (country.empty() && (p.size() == 2 || p.size() == 3)) {
            for (char& c : p) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            country = p;
        }
    }
    static const std::pair<std::string_view, std::string_view> kTable[] = {
        {"ja", "Japanese"},  {"pt_BR", "Brazilian"},
        {"en", "English"},   {"ru", "Russian"},
        {"ar", "Arabic"},    {"ro", "Romanian"},
        {"de", "German"},    {"es", "Spanish"},
        {"da", "Danish"},    {"sk", "Slovak"},
        {"cs", "Czech"},     {"tr", "Turkish"},
        {"fi", "Finnish"},   {"sv", "Swedish"},
        {"nl", "Dutch"},     {"zh-Hant", "TraditionalChinese"},
        {"el", "Greek"},     {"zh-Hans", "Chinese"},
        {"fr", "French"},    {"zh_TW", "TraditionalChinese"},
        {"hu", "Hungarian"}, {"zh_CN", "Chinese"},
        {"he", "Hebrew"},    {"ko", "Korean"},
        {"it", "Italian"},   {"pt_PT", "Portuguese"},
        {"no", "Norwegian"}, {"pl", "Polish"},
    };
    auto lookup = [](const std::string& key) -> std::optional<std::string_view> {
        for (const auto& [k, v] : kTable)
            if (k == key) return v;
        return std::nullopt;
    };
    if (auto v = lookup(language)) return std::string(*v);
    if (!script.empty())
        if (auto v = lookup(language + "-" + script)) return std::string(*v);
    if (!country.empty())
        if (auto v = lookup(language + "_" + country)) return std::string(*v);
    return "English";
}

std::string VTSubmissionStatPingOperation::languageString() {
    return languageNameForLocale(StatPing::currentLocaleIdentifier());
}

void VTSubmissionStatPingOperation::addProductInformation(Fields& fields,
                                                          const std::shared_ptr<VTClient>& client) {
    std::optional<std::string> build, product, version;
    auto set = [&fields](const char* name, std::optional<std::string> value, const char* fallback) {
        fields.emplace_back(name, value && !value->empty() ? *value : std::string(fallback));
    };
    std::shared_ptr<VTClient> c =
        client ? client : VTClient::clientWithInstalledConfiguration(nullptr);
    if (c && c->isEmbedded() && !c->productRegistryID()) {
        // Missing values take the defaults rather than stopping the process.
        set("build", "Retail", "Retail");
        set("product", c->productName(), "Unknown");
        set("version", c->productVersion(), "Unknown");
        return;
    }
    try {
        PelRegistry::Registry* registry = PelRegistry::Registry::get();
        PelRegistry::Module* module = nullptr;
        if (c && c->isEmbedded()) {
            if (registry) module = registry->copyModuleWithId(*c->productRegistryID());
            if (!module) return;  // a product the registry does not know: nothing
        } else if (registry) {
            PelRegistry::Module** modules = nullptr;
            const unsigned count = registry->copyModules(&modules);
            for (unsigned i = 0; i < count; ++i) {
                if (modules[i]->getType() == PelRegistry::kModuleTypeProduct) {
                    if (module) module->Release();
                    module = modules[i];
                } else {
                    modules[i]->Release();
                }
            }
            delete[] modules;
        }
        if (module) {
            auto* productModule = dynamic_cast<PelRegistry::Product*>(module);
            PelRegistry::Layout* layout =
                productModule && module->getType() == PelRegistry::kModuleTypeProduct
                    ? productModule->copyLayout()
                    : nullptr;
            auto nameOf = [](PelRegistry::Module* m) -> std::optional<std::string> {
                std::unique_ptr<std::string> name(m->copyName());
                return name ? std::optional<std::string>(*name) : std::nullopt;
            };
            auto versionOf = [](PelRegistry::Module* m) -> std::optional<std::string> {
                const std::string* v = m->getVersion();
                return v ? std::optional<std::string>(*v) : std::nullopt;
            };
            if (layout) {
                const std::string* language = layout->getLanguage();
                if (language && *language != "PelAllLanguages")
                    for (auto& field : fields)
                        if (field.first == "language") field.second = *language;
                if (const std::string* b = layout->getBuildName()) build = *b;
                product = nameOf(layout);
                version = versionOf(layout);
                if (!product) {
                    product = nameOf(module);
                    version = versionOf(module);
                }
                layout->Release();
            } else {
                product = nameOf(module);
                version = versionOf(module);
            }
            module->Release();
        }
    } catch (...) {
        // A registry that cannot be read: the defaults.
    }
    set("build", build, "Retail");
    set("product", product, "Unknown");
    set("version", version, "Unknown");
}

platform::HttpRequest VTSubmissionStatPingOperation::requestForBaseURL(
    const std::string& baseURL) const {
    Fields fields = parameters_;
    fields.emplace_back("os", osVersion());
    if (std::string mid = machineIdString(); !mid.empty()) fields.emplace_back("mid", mid);
    fields.emplace_back("language", languageString());
    addProductInformation(fields, client_);

    std::ifstream in(platform::Paths::resolve(kOverrideFile), std::ios::binary);
    if (in) {
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (auto value = platform::json::parse(text, nullptr))
            if (const platform::Dictionary* object = value->asDictionary())
                for (const auto& [key, v] : *object) {
                    const std::string* s = v.asString();
                    std::string text = s ? *s : v.description();
                    bool replaced = false;
                    for (auto& field : fields)
                        if (field.first == key) field.second = text, replaced = true;
                    if (!replaced) fields.emplace_back(key, text);
                }
    }
    std::string query;
    for (const auto& [name, value] : fields) {
        if (!query.empty()) query += '&';
        query += escapeQuery(name) + "=" + escapeQuery(value);
    }
    platform::HttpRequest request(baseURL + "?" + query);
    request.setTimeoutInterval(kTimeoutSeconds);
    request.setTotalTimeout(kTotalTimeoutSeconds);
    request.setMaximumResponseLength(kMaximumResponseLength);
    request.setHeader("User-Agent", kVTSubmissionUserAgent);
    return request;
}

void VTSubmissionStatPingOperation::start() {
    if (isCancelled()) {
        markFinished();
        return;
    }
    markExecuting();
    send();
}

void VTSubmissionStatPingOperation::cancel() {
    Operation::cancel();
    platform::HttpTaskPtr task;
    {
        std::lock_guard lock(mutex_);
        task = task_;
    }
    if (task) task->cancel();
    // Its completion waits for the main queue, which a cancelling main
    // thread may not drain: the operation ends here.
    if (isExecuting()) end();
}

void VTSubmissionStatPingOperation::send() {
    ++attempts_;
    auto self = std::static_pointer_cast<VTSubmissionStatPingOperation>(shared_from_this());
    platform::HttpTaskHandlers handlers;
    handlers.onComplete = [self](platform::HttpResult result) {
        {
            std::lock_guard lock(self->mutex_);
            self->task_.reset();
        }
        if (self->isCancelled()) return self->end();
        if (!result.succeeded()) {
            const platform::Error& e = result.error;
            const long c = e.code();
            if (e.domain() == platform::kURLErrorDomain &&
                (c == platform::kURLErrorTimedOut || c == platform::kURLErrorCannotFindHost ||
                 c == platform::kURLErrorCannotConnectToHost ||
                 c == platform::kURLErrorNetworkConnectionLost ||
                 c == platform::kURLErrorDNSLookupFailed))
                return self->nextServer();
            return self->end();
        }
        if (!result.response || result.response->statusCode() < 200 ||
            result.response->statusCode() > 208)
            return self->nextServer();
        self->end();
    };
    auto task = httpClient_->startDataTask(requestForBaseURL(baseURL_), platform::mainQueue(),
                                           std::move(handlers));
    std::lock_guard lock(mutex_);
    task_ = std::move(task);
}

void VTSubmissionStatPingOperation::nextServer() {
    if (serverIndex_ == 1) return end();
    serverIndex_ = 1;
    send();
}

void VTSubmissionStatPingOperation::end() { markFinished(); }
