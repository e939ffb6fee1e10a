#include "Controllers/Core/WYFAccountRecords.h"

#include <string>

namespace wyf {
namespace {

using platform::Dictionary;
using platform::Error;
using platform::Value;

// The keyed decoder's "corrupt data" code.
constexpr long kCoderReadCorruptError = 4864;

bool reject(std::string_view key, std::string_view expected, Error* error) {
    if (error) {
        *error = Error(std::string(platform::kCocoaErrorDomain), kCoderReadCorruptError,
                       {{std::string(platform::kLocalizedDescriptionKey),
                         Value("value for key \"" + std::string(key) + "\" is not " +
                               std::string(expected))}});
    }
    return false;
}

bool decodeInteger(const Dictionary& coded, std::string_view key, std::int64_t& out, Error* error) {
    out = 0;
    auto it = coded.find(key);
    if (it == coded.end()) return true;
    if (it->second.isNumber()) {
        out = it->second.int64Value();
        return true;
    }
    if (it->second.isBool()) {
        out = it->second.boolValue() ? 1 : 0;
        return true;
    }
    return reject(key, "an integer", error);
}

bool decodeNumber(const Dictionary& coded, std::string_view key, Number& out, Error* error) {
    out.reset();
    auto it = coded.find(key);
    if (it == coded.end()) return true;
    if (it->second.isNumber()) {
        out = it->second;
        return true;
    }
    if (it->second.isBool()) {
        out = Value(it->second.boolValue() ? 1 : 0);
        return true;
    }
    return reject(key, "a number", error);
}

bool decodeString(const Dictionary& coded, std::string_view key, std::optional<std::string>& out,
                  Error* error) {
    out.reset();
    auto it = coded.find(key);
    if (it == coded.end()) return true;
    if (const std::string* s = it->second.asString()) {
        out = *s;
        return true;
    }
    return reject(key, "a string", error);
}

template <typename Record>
bool decodeRecord(const Dictionary& coded, std::string_view key, std::optional<Record>& out,
                  Error* error) {
    out.reset();
    auto it = coded.find(key);
    if (it == coded.end()) return true;
    const Dictionary* nested = it->second.asDictionary();
    if (!nested) return reject(key, "a record", error);
    out = Record::decode(*nested, error);
    return out.has_value();
}

void encodeNumber(Dictionary& coded, const char* key, const Number& value) {
    if (value) coded.insert_or_assign(key, *value);
}

void encodeString(Dictionary& coded, const char* key, const std::optional<std::string>& value) {
    if (value) coded.insert_or_assign(key, Value(*value));
}

template <typename Record>
void encodeRecord(Dictionary& coded, const char* key, const std::optional<Record>& value) {
    if (value) coded.insert_or_assign(key, Value(value->encode()));
}

std::string orNull(const std::optional<std::string>& s) { return s ? *s : std::string("(null)"); }

std::string enrolledText(const Number& enrolled) {
    if (!enrolled) return "null";
    return *enrolled == Value(1) ? "true" : "false";
}

std::string quoted(std::string_view s) { return "\"" + std::string(s) + "\""; }

std::string member(std::string_view key, std::string_view value) {
    return quoted(key) + " : " + std::string(value);
}

std::string statusName(std::int64_t status) {
    return nameInTable(WYFResponseStatusToString(), status);
}

std::string stateName(std::int64_t state) {
    return nameInTable(WYFFeatureEnrollmentStateToString(), state);
}

std::string fragment(std::string_view key, std::int64_t status,
                     const std::vector<std::string>& members) {
    std::string data;
    for (const std::string& m : members) {
        data += data.empty() ? " " : ", ";
        data += m;
    }
    return quoted(key) + " : { " + member("state", quoted(statusName(status))) + ", " +
           member("data", "{" + data + " }") + " }";
}

std::string numberText(const Number& n) { return n ? n->description() : std::string("null"); }

template <typename Record>
std::string describeOrNull(const std::optional<Record>& r) {
    return r ? r->description() : std::string("(null)");
}

}  // namespace

std::string nameInTable(const std::vector<std::string_view>& table, std::int64_t value) {
    if (value >= 0 && static_cast<std::uint64_t>(value) < table.size()) {
        return std::string(table[static_cast<std::size_t>(value)]);
    }
    return "UNKNOWN(" + std::to_string(value) + ")";
}

const std::vector<std::string_view>& WYFResponseStatusToString() {
    static const std::vector<std::string_view> table{"UNKNOWN",      "OK",        "PARTIAL_CONTENT",
                                                     "UNAUTHORIZED", "NOT_FOUND", "NOT_IMPLEMENTED",
                                                     "SERVER_ERROR", "TIMEOUT"};
    return table;
}

const std::vector<std::string_view>& WYFFeatureEnrollmentStateToString() {
    static const std::vector<std::string_view> table{"UNKNWON", "NOT_SETUP", "ENROLLED", "PENDING",
                                                     "ERROR"};
    return table;
}

const std::vector<std::string_view>& WYFStorageUnitToString() {
    static const std::vector<std::string_view> table{"UNKNWON", "B",  "KB", "MB",
                                                     "GB",      "TB", "PB", "EB"};
    return table;
}

std::string wyfAdditionalHeaderJson(const Dictionary& headers) {
    std::string out;
    bool first = true;
    for (const auto& [name, value] : headers) {
        if (!first) out += ",";
        first = false;
        out += "{ \"name\": \"" + name + "\", \"value\": \"" + value.description() + "\" }\n";
    }
    return out;
}

// ---- WYFBindInfo ----

Dictionary WYFBindInfo::encode() const {
    Dictionary coded;
    encodeString(coded, "access_token", accessToken);
    encodeString(coded, "refresh_token", refreshToken);
    encodeString(coded, "authority", authority);
    encodeNumber(coded, "channel", channel);
    encodeString(coded, "entityId", entityId);
    if (additionalHttpHeaders)
        coded.insert_or_assign("additionalhttpheader", *additionalHttpHeaders);
    return coded;
}

std::optional<WYFBindInfo> WYFBindInfo::decode(const Dictionary& coded, Error* error) {
    WYFBindInfo info;
    if (!decodeString(coded, "access_token", info.accessToken, error) ||
        !decodeString(coded, "refresh_token", info.refreshToken, error) ||
        !decodeString(coded, "authority", info.authority, error) ||
        !decodeNumber(coded, "channel", info.channel, error) ||
        !decodeString(coded, "entityId", info.entityId, error)) {
        return std::nullopt;
    }
    if (auto it = coded.find("additionalhttpheader"); it != coded.end()) {
        if (!it->second.isDictionary() && !it->second.isString()) {
            reject("additionalhttpheader", "a dictionary or a string", error);
            return std::nullopt;
        }
        info.additionalHttpHeaders = it->second;
    }
    return info;
}

std::string WYFBindInfo::description() const {
    std::string headers = "(null)";
    if (additionalHttpHeaders) {
        if (const Dictionary* d = additionalHttpHeaders->asDictionary()) {
            headers = wyfAdditionalHeaderJson(*d);
        } else {
            headers = additionalHttpHeaders->description();
        }
    }
    const std::string channelText = channel ? channel->description() : std::string("(null)");
    return "\n"
           "{\n"
           " \"data\":{\n"
           " \"bind\": {\n"
           " \"authentication\": {\n"
           " \"access_token\": \"" +
           orNull(accessToken) +
           "\",\n"
           " \"refresh_token\" : \"" +
           orNull(refreshToken) +
           "\", \n"
           " \"authority\":\"" +
           orNull(authority) +
           "\", \n"
           " \"additionalHttpHeaders\":\"" +
           headers +
           "\" }, \n"
           " \"spoc\" : {\n"
           " \"channel\": \"" +
           channelText + "\", \"entityId\": \"" + orNull(entityId) +
           "\"}\n"
           "}\n"
           "}\n"
           "}";
}

// ---- dashboard records ----

Dictionary WYFDashboardDarkWebMonitoring::encode() const {
    Dictionary coded{{"status", Value(status)}, {"enrollmentState", Value(enrollmentState)}};
    encodeNumber(coded, "enrolled", enrolled);
    encodeNumber(coded, "inboxAlertsCount", inboxAlertsCount);
    return coded;
}

std::optional<WYFDashboardDarkWebMonitoring> WYFDashboardDarkWebMonitoring::decode(
    const Dictionary& coded, Error* error) {
    WYFDashboardDarkWebMonitoring r;
    if (!decodeInteger(coded, "status", r.status, error) ||
        !decodeInteger(coded, "enrollmentState", r.enrollmentState, error) ||
        !decodeNumber(coded, "enrolled", r.enrolled, error) ||
        !decodeNumber(coded, "inboxAlertsCount", r.inboxAlertsCount, error)) {
        return std::nullopt;
    }
    return r;
}

std::string WYFDashboardDarkWebMonitoring::description() const {
    return fragment("darkWebMonitoring", status,
                    {member("enrolled", enrolledText(enrolled)),
                     member("enrollmentState", quoted(stateName(enrollmentState)))});
}

Dictionary WYFDashboardBackup::encode() const {
    Dictionary coded{{"status", Value(status)}, {"unit", Value(unit)}};
    encodeNumber(coded, "used", used);
    encodeNumber(coded, "limit", limit);
    encodeNumber(coded, "enrolled", enrolled);
    return coded;
}

std::optional<WYFDashboardBackup> WYFDashboardBackup::decode(const Dictionary& coded,
                                                             Error* error) {
    WYFDashboardBackup r;
    if (!decodeInteger(coded, "status", r.status, error) ||
        !decodeInteger(coded, "unit", r.unit, error) ||
        !decodeNumber(coded, "used", r.used, error) ||
        !decodeNumber(coded, "limit", r.limit, error) ||
        !decodeNumber(coded, "enrolled", r.enrolled, error)) {
        return std::nullopt;
    }
    return r;
}

std::string WYFDashboardBackup::description() const {
    return fragment("backup", status,
                    {member("enrolled", enrolledText(enrolled)), member("used", numberText(used)),
                     member("limit", numberText(limit)),
                     member("units", quoted(nameInTable(WYFStorageUnitToString(), unit)))});
}

Dictionary WYFDashboardIdentityProtection::encode() const {
    Dictionary coded{{"status", Value(status)}, {"enrollmentState", Value(enrollmentState)}};
    encodeNumber(coded, "enrolled", enrolled);
    encodeNumber(coded, "alert", inboxAlertsCount);
    return coded;
}

std::optional<WYFDashboardIdentityProtection> WYFDashboardIdentityProtection::decode(
    const Dictionary& coded, Error* error) {
    WYFDashboardIdentityProtection r;
    if (!decodeInteger(coded, "status", r.status, error) ||
        !decodeInteger(coded, "enrollmentState", r.enrollmentState, error) ||
        !decodeNumber(coded, "enrolled", r.enrolled, error) ||
        !decodeNumber(coded, "alert", r.inboxAlertsCount, error)) {
        return std::nullopt;
    }
    return r;
}

std::string WYFDashboardIdentityProtection::description() const {
    return fragment("identityProtection", status,
                    {member("enrolled", enrolledText(enrolled)),
                     member("enrollmentState", quoted(stateName(enrollmentState)))});
}

Dictionary WYFDashboardOnlineFamily::encode() const {
    Dictionary coded{{"status", Value(status)}};
    encodeNumber(coded, "enrolled", enrolled);
    return coded;
}

std::optional<WYFDashboardOnlineFamily> WYFDashboardOnlineFamily::decode(const Dictionary& coded,
                                                                         Error* error) {
    WYFDashboardOnlineFamily r;
    if (!decodeInteger(coded, "status", r.status, error) ||
        !decodeNumber(coded, "enrolled", r.enrolled, error)) {
        return std::nullopt;
    }
    return r;
}

std::string WYFDashboardOnlineFamily::description() const {
    return fragment("onlineFamily", status, {member("enrolled", enrolledText(enrolled))});
}

Dictionary WYFDashboardVPN::encode() const { return Dictionary{{"status", Value(status)}}; }

std::optional<WYFDashboardVPN> WYFDashboardVPN::decode(const Dictionary& coded, Error* error) {
    WYFDashboardVPN r;
    if (!decodeInteger(coded, "status", r.status, error)) return std::nullopt;
    return r;
}

std::string WYFDashboardVPN::description() const { return fragment("vpn", status, {}); }

Dictionary WYFDashboardPasswordManager::encode() const {
    return Dictionary{{"status", Value(status)}};
}

std::optional<WYFDashboardPasswordManager> WYFDashboardPasswordManager::decode(
    const Dictionary& coded, Error* error) {
    WYFDashboardPasswordManager r;
    if (!decodeInteger(coded, "status", r.status, error)) return std::nullopt;
    return r;
}

std::string WYFDashboardPasswordManager::description() const {
    return fragment("PasswordManager", status, {});
}

Dictionary WYFDashboardCreditScore::encode() const {
    Dictionary coded{{"status", Value(status)}, {"enrollmentState", Value(enrollmentState)}};
    encodeNumber(coded, "enrolled", enrolled);
    encodeNumber(coded, "bureaus", bureausCount);
    return coded;
}

std::optional<WYFDashboardCreditScore> WYFDashboardCreditScore::decode(const Dictionary& coded,
                                                                       Error* error) {
    WYFDashboardCreditScore r;
    if (!decodeInteger(coded, "status", r.status, error) ||
        !decodeInteger(coded, "enrollmentState", r.enrollmentState, error) ||
        !decodeNumber(coded, "enrolled", r.enrolled, error) ||
        !decodeNumber(coded, "bureaus", r.bureausCount, error)) {
        return std::nullopt;
    }
    return r;
}

std::string WYFDashboardCreditScore::description() const {
    return fragment("creditScore", status,
                    {member("enrolled", enrolledText(enrolled)),
                     member("enrollmentState", quoted(stateName(enrollmentState)))});
}

Dictionary WYFDashboardInfo::encode() const {
    Dictionary coded{{"status", Value(status)}};
    encodeRecord(coded, "darkWebMonitoring", darkWebMonitoring);
    encodeRecord(coded, "backup", backup);
    encodeRecord(coded, "identityProtection", identityProtection);
    encodeRecord(coded, "onlineFamily", onlineFamily);
    encodeRecord(coded, "vpn", vpn);
    encodeRecord(coded, "creditScore", creditScore);
    encodeRecord(coded, "passwordManager", passwordManager);
    return coded;
}

std::optional<WYFDashboardInfo> WYFDashboardInfo::decode(const Dictionary& coded, Error* error) {
    WYFDashboardInfo r;
    if (!decodeInteger(coded, "status", r.status, error) ||
        !decodeRecord(coded, "darkWebMonitoring", r.darkWebMonitoring, error) ||
        !decodeRecord(coded, "backup", r.backup, error) ||
        !decodeRecord(coded, "identityProtection", r.identityProtection, error) ||
        !decodeRecord(coded, "onlineFamily", r.onlineFamily, error) ||
        !decodeRecord(coded, "vpn", r.vpn, error) ||
        !decodeRecord(coded, "creditScore", r.creditScore, error) ||
        !decodeRecord(coded, "passwordManager", r.passwordManager, error)) {
        return std::nullopt;
    }
    return r;
}

std::string WYFDashboardInfo::description() const {
    const std::string fragments = describeOrNull(darkWebMonitoring) + "," + describeOrNull(backup) +
                                  "," + describeOrNull(identityProtection) + "," +
                                  describeOrNull(onlineFamily) + "," + describeOrNull(creditScore) +
                                  "," + describeOrNull(vpn) + "," + describeOrNull(passwordManager);
    return "\n"
           "{\n"
           " \"data\":{\n"
           " \"dashboard\": {\n"
           " \"status\": \"" +
           statusName(status) +
           "\", \n"
           " \"data\" : {" +
           fragments +
           "} \n"
           "}\n"
           "}\n"
           "}";
}

// ---- connection whitelists ----

const std::map<WYFXPCArgument, WYFXPCClassSet>& WYFXPCSetupInterface() {
    static const std::map<WYFXPCArgument, WYFXPCClassSet> table = [] {
        const WYFXPCClassSet common{"NSURL",   "NSNumber", "NSDate", "NSDictionary",
                                    "NSArray", "NSString", "NSError"};
        WYFXPCClassSet binding = common;
        binding.insert("WYFBindInfo");
        WYFXPCClassSet dashboard = common;
        dashboard.insert({"WYFDashboardPasswordManager", "WYFDashboardVPN", "WYFDashboardBackup",
                          "WYFDashboardCreditScore", "WYFDashboardOnlineFamily",
                          "WYFDashboardDarkWebMonitoring", "WYFDashboardIdentityProtection",
                          "WYFDashboardInfo"});
        const WYFXPCClassSet small{"NSString", "NSError"};

        std::map<WYFXPCArgument, WYFXPCClassSet> t;
        auto assign = [&t](const std::string& selector, const WYFXPCClassSet& classes,
                           unsigned replyArguments, std::vector<unsigned> callArguments) {
            for (unsigned i = 0; i < replyArguments; ++i) t[{selector, i, true}] = classes;
            for (unsigned i : callArguments) t[{selector, i, false}] = classes;
        };
        assign("bind:tokenValue:url:lcid:headerDict:withReply:", binding, 2, {1, 2, 3, 4});
        assign("update:tokenValue:withCache:url:lcid:headerDict:withReply:", dashboard, 2,
               {1, 2, 3, 4, 5});
        assign("fetchFeature:fromCache:url:lcid:headerDict:withReply:", dashboard, 2, {1, 2, 3, 4});
        assign("clearCache:withReply:", small, 1, {0});
        assign("clearAllCacheWithReply:", small, 1, {});
        return t;
    }();
    return table;
}

}  // namespace wyf
