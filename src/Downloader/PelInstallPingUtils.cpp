#include "Downloader/PelInstallPingUtils.h"

#include <exception>
#include <fstream>
#include <sstream>

#include "Downloader/PingSupport.h"
#include "Foundation/PelLogging.h"
#include "Platform/Text/Format.h"
#include "Platform/Values/Exception.h"
#include "Platform/Values/Json.h"

namespace {

// The text a field value is sent as.
std::string fieldText(const platform::Value& v) {
    if (v.isNull()) return "<null>";
    return v.description();
}

// The members of the automation override file, when it holds a JSON object.
std::optional<platform::Dictionary> automationOverrides() {
    std::ifstream in(pings::resolveSystemPath(pings::kAutomationOverridePath), std::ios::binary);
    if (!in) return std::nullopt;
    std::stringstream text;
    text << in.rdbuf();
    auto parsed = platform::json::parse(text.str(), nullptr);
    if (!parsed || !parsed->isDictionary()) return std::nullopt;
    return *parsed->asDictionary();
}

std::string reasonText(std::optional<std::string_view> reason) {
    return reason ? std::string(*reason) : std::string("(null)");
}

std::string replaceAll(std::string text, std::string_view what, std::string_view with) {
    if (what.empty()) return text;
    for (std::size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
    return text;
}

// The text of a failure-data value that is present, or null.
const platform::Value* present(const platform::Dictionary& d, std::string_view key) {
    auto it = d.find(key);
    return it == d.end() || it->second.isNull() ? nullptr : &it->second;
}

}  // namespace

PelInstallPingUtils::PelInstallPingUtils(const char* queueName, std::optional<std::string> agent)
    : StatPing(queueName, std::move(agent)) {}

std::shared_ptr<PelInstallPingUtils> PelInstallPingUtils::createInstallPingUtilsWithQueueName(
    const std::optional<std::string>& queueName, const std::optional<std::string>& productName,
    const std::optional<std::string>& version, const std::optional<std::string>& build,
    const std::optional<std::string>& userAgent, const std::optional<std::string>& mid) {
    if (!queueName && !productName && !version && !build) return nullptr;
    std::shared_ptr<PelInstallPingUtils> sender(new PelInstallPingUtils(
        queueName ? queueName->c_str() : nullptr, userAgent ? *userAgent : kDefaultUserAgent));
    sender->setTimeOutInterval(5.0);
    sender->productName_ = productName;
    if (version) sender->version_ = versionWithDotForBuildChar(*version);
    sender->build_ = build;
    sender->mid_ = mid;
    return sender;
}

std::string PelInstallPingUtils::versionWithDotForBuildChar(std::string_view version) {
    std::string out(version);
    auto at = out.find_first_of("fdFD");
    if (at != std::string::npos) out[at] = '.';
    return out;
}

std::optional<std::string> PelInstallPingUtils::appCodesToString(
    const std::vector<std::string>* appCodes) {
    if (!appCodes) return std::nullopt;
    std::string joined;
    for (const std::string& code : *appCodes) {
        // Count characters, not bytes, and never cut one in half.
        std::size_t end = 0;
        int characters = 0;
        while (end < code.size() && characters < 3) {
            ++end;
            while (end < code.size() && (static_cast<unsigned char>(code[end]) & 0xC0) == 0x80)
                ++end;
            ++characters;
        }
        if (characters < 3) continue;
        joined += code.substr(0, end);
        joined += '|';
    }
    if (joined.empty()) return std::nullopt;
    joined.pop_back();
    return joined;
}

std::uint64_t PelInstallPingUtils::uParamValue() const { return uParamValue_.load(); }
void PelInstallPingUtils::setUParamValue(unsigned long value) { uParamValue_.store(value); }
std::uint64_t PelInstallPingUtils::ofgParamValue() const { return ofgParamValue_.load(); }
void PelInstallPingUtils::setOfgParamValue(unsigned long long value) {
    ofgParamValue_.store(value);
}

std::string PelInstallPingUtils::constructBaseData(const platform::Dictionary& extra) const {
    platform::Dictionary fields;
    // A field without a value (a sender made without it) is left out.
    if (productName_) fields["product"] = *productName_;
    fields["platform"] = "mac";
    if (version_) fields["version"] = *version_;
    fields["language"] = languageString();
    if (build_) fields["build"] = *build_;
    fields["mid"] = machineIdString();
    fields["OS"] = osVersion();
    fields["g"] = machineIdString();
    for (const auto& [key, value] : extra) fields[key] = value;
    if (auto overrides = automationOverrides())
        for (const auto& [key, value] : *overrides) fields[key] = value;

    std::string query;
    for (const auto& [key, value] : fields) {
        if (!query.empty()) query += '&';
        query += key + "=" + fieldText(value);
    }
    return query;
}

std::string PelInstallPingUtils::baseDataFormat() const {
    return constructBaseData({{"module", platform::Value(kInstallModule)},
                              {"U", platform::format("%lx", uParamValue())},
                              {"ofg", platform::format("%llx", ofgParamValue())}});
}

std::string PelInstallPingUtils::baseDataFormatForOptional(const platform::Value& module) const {
    return constructBaseData({{"module", module}});
}

void PelInstallPingUtils::send(const std::string& query) {
    PelLogging::logDebugMessageWithFormat("%s: %@", __func__, query);
    submitWithDataString(query);
}

void PelInstallPingUtils::sendEvent(int error, int upgrade, std::string_view extra, bool withMid) {
    std::string query =
        baseDataFormat() + "&" + platform::format("error=%d&upgrade=%d", error, upgrade);
    query += extra;
    if (withMid && mid_) query += "&mid=" + *mid_;
    send(query);
}

void PelInstallPingUtils::sendInstallLaunched() { sendEvent(2, 0, "", true); }
void PelInstallPingUtils::sendInstallBegin() { sendEvent(100, 0, "", true); }

void PelInstallPingUtils::sendInstallSuccessWithTime(int ms) {
    sendEvent(0, 0, platform::format("&h=%d", ms), true);
}
void PelInstallPingUtils::sendInstallSuccessProductRemovedNoRebootWithTime(int ms) {
    sendEvent(0, 2, platform::format("&h=%d", ms), false);
}
void PelInstallPingUtils::sendInstallSuccessSeamlessUpgradeWithTime(int ms) {
    sendEvent(0, 4, platform::format("&h=%d", ms), false);
}

void PelInstallPingUtils::sendInstallFailed(int code, std::optional<std::string_view> reason) {
    std::string text = reasonText(reason);
    std::string home = pings::homeDirectory();
    // The reason often names files in the user's folder: keep the user's name out.
    if (home.size() > 1) text = replaceAll(std::move(text), home, "~");
    sendEvent(1, 0, platform::format("&a=%d&b=%@", code, text), false);
}
void PelInstallPingUtils::sendInstallFailedToRemoveProduct(int code,
                                                           std::optional<std::string_view> reason) {
    sendEvent(1, 3, platform::format("&a=%d&b=%@", code, reasonText(reason)), false);
}
void PelInstallPingUtils::sendInstallFailedSeamlessUpgrade(int code,
                                                           std::optional<std::string_view> reason) {
    sendEvent(1, 5, platform::format("&a=%d&b=%@", code, reasonText(reason)), false);
}

void PelInstallPingUtils::sendInstallFailedHardBlock(int code,
                                                     std::optional<std::string_view> reason,
                                                     const std::vector<std::string>* appCodes) {
    auto codes = appCodes && !appCodes->empty() ? appCodesToString(appCodes) : std::nullopt;
    if (!codes) return sendInstallFailed(code, reason);
    sendEvent(1, 0, platform::format("&a=%d&b=%@&M=%@", code, reasonText(reason), *codes), false);
}

void PelInstallPingUtils::sendInstallUpgradeSucessWithProductRemoveAndReboot(int ms) {
    sendEvent(250, 1, platform::format("&h=%d", ms), false);
}
void PelInstallPingUtils::sendInstallUpgradeFailedWithProductRemoveAndReboot(
    int code, std::optional<std::string_view> reason) {
    sendEvent(251, 1, platform::format("&a=%d&b=%@", code, reasonText(reason)), false);
}

void PelInstallPingUtils::sendUninstallSucess() { sendEvent(3, 0, "", false); }
void PelInstallPingUtils::sendUninstallFailure() { sendEvent(4, 0, "", false); }
void PelInstallPingUtils::sendUninstallLaunch() { sendEvent(5, 0, "", false); }
void PelInstallPingUtils::sendUninstallDuringInstallSucess() { sendEvent(6, 0, "", false); }
void PelInstallPingUtils::sendUninstallDuringInstallFailure() { sendEvent(7, 0, "", false); }
void PelInstallPingUtils::sendUninstallDuringInstallStarted() { sendEvent(8, 0, "", false); }

void PelInstallPingUtils::sendInstallPing(int error, int upgrade,
                                          const platform::Dictionary& parameters) {
    std::string extra;
    try {
        if (!parameters.empty()) {
            auto get = [&](std::string_view key) { return present(parameters, key); };
            if (auto a = get("a"); a && a->int64Value() != 0)
                extra += platform::format("&a=%d", static_cast<int>(a->int64Value()));
            if (auto b = get("b")) extra += platform::format("&b=%@", fieldText(*b));
            if (auto h = get("h"); h && h->int64Value() != 0)
                extra += platform::format("&h=%d", static_cast<int>(h->int64Value()));
            if (auto m = get("M")) extra += platform::format("&M=%@", fieldText(*m));
        }
    } catch (const platform::Exception& e) {
        PelLogging::logNoticeMessageWithFormat(
            "Exception occurred:\nException Type:%@\nException Message:%@", e.name(), e.reason());
    } catch (const std::exception& e) {
        PelLogging::logNoticeMessageWithFormat(
            "Exception occurred:\nException Type:%@\nException Message:%@", "std::exception",
            e.what());
    }
    sendEvent(error, upgrade, extra, false);
}

void PelInstallPingUtils::sendInstallMandatoryFailed(int code, const platform::Dictionary& data) {
    sendPackageFailure(data, platform::format("&error=%d&a=%d", 1, code));
}

void PelInstallPingUtils::sendInstallOptionalFailed(const platform::Dictionary& data) {
    sendPackageFailure(data, platform::format("&error=%d", 1));
}

void PelInstallPingUtils::sendPackageFailure(const platform::Dictionary& data,
                                             const std::string& codes) {
    const platform::Value* module = present(data, "pingModuleID");
    std::string query =
        baseDataFormatForOptional(module ? *module : platform::Value(kInstallModule)) + codes;
    if (auto v = present(data, "termStatus")) query += "&E=" + fieldText(*v);
    if (auto v = present(data, "failureReason")) query += "&b=" + fieldText(*v);
    if (auto v = present(data, "md5Hash")) query += "&s=" + fieldText(*v);
    send(query);
}
