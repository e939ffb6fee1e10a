// The account records exchanged with the account gateway: the account binding
// (tokens and identity of the signed-in account) and the dashboard (the state
// of each account feature). They are plain values with keyed coding into a
// platform::Dictionary, text descriptions, and the table of classes that may
// cross the connection for each gateway method.
//
// Decoding is type-checked: a missing key gives 0 (integers) or an empty
// optional / null pointer (objects); a present value of another type is
// rejected with an error and nothing is returned.
//
// A WYFBindInfo description holds the account's tokens: never log it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

namespace wyf {

/// A number member (an NSNumber on the other side): empty when absent; when
/// present it holds an integer, unsigned or real Value.
using Number = std::optional<platform::Value>;

/// Name of `value` in `table`, or "UNKNOWN(<value>)" when it is out of range.
std::string nameInTable(const std::vector<std::string_view>& table, std::int64_t value);

const std::vector<std::string_view>& WYFResponseStatusToString();
const std::vector<std::string_view>& WYFFeatureEnrollmentStateToString();
const std::vector<std::string_view>& WYFStorageUnitToString();

/// Header text: one `{ "name": "<key>", "value": "<value>" }` line per pair,
/// joined by ",". Keys and values are inserted unescaped; an empty dictionary
/// gives "".
std::string wyfAdditionalHeaderJson(const platform::Dictionary& headers);

struct WYFBindInfo {
    std::optional<std::string> accessToken;   // "access_token"
    std::optional<std::string> refreshToken;  // "refresh_token"
    std::optional<std::string> authority;     // "authority" (a URL's absolute string)
    Number channel;                           // "channel"
    std::optional<std::string> entityId;      // "entityId"
    /// "additionalhttpheader": a dictionary (header name → value) or a string.
    std::optional<platform::Value> additionalHttpHeaders;

    platform::Dictionary encode() const;
    static std::optional<WYFBindInfo> decode(const platform::Dictionary& coded,
                                             platform::Error* error);
    std::string description() const;
    friend bool operator==(const WYFBindInfo&, const WYFBindInfo&) = default;
};

struct WYFDashboardDarkWebMonitoring {
    std::int64_t status = 0;
    std::int64_t enrollmentState = 0;
    Number enrolled;
    Number inboxAlertsCount;  // "inboxAlertsCount"

    platform::Dictionary encode() const;
    static std::optional<WYFDashboardDarkWebMonitoring> decode(const platform::Dictionary& coded,
                                                               platform::Error* error);
    std::string description() const;
    friend bool operator==(const WYFDashboardDarkWebMonitoring&,
                           const WYFDashboardDarkWebMonitoring&) = default;
};

struct WYFDashboardBackup {
    std::int64_t status = 0;
    std::int64_t unit = 0;
    Number used;
    Number limit;
    Number enrolled;

    platform::Dictionary encode() const;
    static std::optional<WYFDashboardBackup> decode(const platform::Dictionary& coded,
                                                    platform::Error* error);
    std::string description() const;
    friend bool operator==(const WYFDashboardBackup&, const WYFDashboardBackup&) = default;
};

struct WYFDashboardIdentityProtection {
    std::int64_t status = 0;
    std::int64_t enrollmentState = 0;
    Number enrolled;
    Number inboxAlertsCount;  // coded as "alert"

    platform::Dictionary encode() const;
    static std::optional<WYFDashboardIdentityProtection> decode(const platform::Dictionary& coded,
                                                                platform::Error* error);
    std::string description() const;
    friend bool operator==(const WYFDashboardIdentityProtection&,
                           const WYFDashboardIdentityProtection&) = default;
};

struct WYFDashboardOnlineFamily {
    std::int64_t status = 0;
    Number enrolled;

    platform::Dictionary encode() const;
    static std::optional<WYFDashboardOnlineFamily> decode(const platform::Dictionary& coded,
                                                          platform::Error* error);
    std::string description() const;
    friend bool operator==(const WYFDashboardOnlineFamily&,
                           const WYFDashboardOnlineFamily&) = default;
};

struct WYFDashboardVPN {
    std::int64_t status = 0;

    platform::Dictionary encode() const;
    static std::optional<WYFDashboardVPN> decode(const platform::Dictionary& coded,
                                                 platform::Error* error);
    std::string description() const;
    friend bool operator==(const WYFDashboardVPN&, const WYFDashboardVPN&) = default;
};

struct WYFDashboardPasswordManager {
    std::int64_t status = 0;

    platform::Dictionary encode() const;
    static std::optional<WYFDashboardPasswordManager> decode(const platform::Dictionary& coded,
                                                             platform::Error* error);
    std::string description() const;
    friend bool operator==(const WYFDashboardPasswordManager&,
                           const WYFDashboardPasswordManager&) = default;
};

struct WYFDashboardCreditScore {
    std::int64_t status = 0;
    std::int64_t enrollmentState = 0;
    Number enrolled;
    Number bureausCount;  // coded as "bureaus"

    platform::Dictionary encode() const;
    static std::optional<WYFDashboardCreditScore> decode(const platform::Dictionary& coded,
                                                         platform::Error* error);
    std::string description() const;
    friend bool operator==(const WYFDashboardCreditScore&,
                           const WYFDashboardCreditScore&) = default;
};

struct WYFDashboardInfo {
    std::int64_t status = 0;
    std::optional<WYFDashboardDarkWebMonitoring> darkWebMonitoring;
    std::optional<WYFDashboardBackup> backup;
    std::optional<WYFDashboardIdentityProtection> identityProtection;
    std::optional<WYFDashboardOnlineFamily> onlineFamily;
    std::optional<WYFDashboardVPN> vpn;
    std::optional<WYFDashboardCreditScore> creditScore;
    std::optional<WYFDashboardPasswordManager> passwordManager;

    platform::Dictionary encode() const;
    static std::optional<WYFDashboardInfo> decode(const platform::Dictionary& coded,
                                                  platform::Error* error);
    std::string description() const;
    friend bool operator==(const WYFDashboardInfo&, const WYFDashboardInfo&) = default;
};

/// Which classes may cross the connection for one argument of a gateway
/// method. `ofReply` selects the reply block's arguments.
struct WYFXPCArgument {
    std::string selector;
    unsigned argumentIndex = 0;
    bool ofReply = false;
    friend auto operator<=>(const WYFXPCArgument&, const WYFXPCArgument&) = default;
};

using WYFXPCClassSet = std::set<std::string>;

/// The account gateway's class whitelists, keyed by method and argument.
/// Arguments without an entry (the first argument of bind/update/fetch) have
/// no class list.
const std::map<WYFXPCArgument, WYFXPCClassSet>& WYFXPCSetupInterface();

}  // namespace wyf
