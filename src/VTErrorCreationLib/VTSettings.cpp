#include "VTErrorCreationLib/VTSettings.h"

#include <limits>
#include <utility>

#include "Platform/Values/Exception.h"
#include "VTErrorCreationLib/Utilities/VTVersionUtilities.h"

namespace {

constexpr std::string_view kEnabledKey = "enabled";
constexpr std::string_view kConsentLevelKey = "consentLevel";
constexpr std::string_view kActionsKey = "actions";
constexpr std::string_view kNotificationsKey = "notifications";
constexpr std::string_view kLastSubmitKey = "lastSubmit";
constexpr std::string_view kLastDetailKey = "lastDetail";
constexpr std::string_view kStatisticsForBucketKey = "statisticsForBucket";
constexpr std::string_view kStatisticsForServerKey = "statisticsForServer";

void checkGatewayType(std::int32_t type) {
    if (type != kVTGatewayTypePing && type != kVTGatewayTypeUpload)
        throw platform::Exception(std::string(platform::kInternalInconsistencyException),
                                  "Invalid gateway type");
}

bool decodeArray(VTKeyedUnarchiver& coder, std::string_view key, platform::Array& out,
                 platform::Error* error) {
    std::optional<platform::Value> value;
    if (!coder.decodeValue(key, "NSArray", value, error)) return false;
    out = value && value->asArray() ? *value->asArray() : platform::Array{};
    return true;
}

bool decodeDate(VTKeyedUnarchiver& coder, std::string_view key, std::optional<platform::Date>& out,
                platform::Error* error) {
    std::optional<platform::Value> value;
    if (!coder.decodeValue(key, "NSDate", value, error)) return false;
    out.reset();
    if (value && value->asDate()) out = *value->asDate();
    return true;
}

}  // namespace

std::span<const VTField<VTBucketSettings>> VTBucketSettings::codingFields() {
    static const VTField<VTBucketSettings> fields[] = {
        VTMakeField<&VTBucketSettings::timesSeen>("timesSeen"),
        VTMakeField<&VTBucketSettings::timesThrottled>("timesThrottled"),
        VTMakeField<&VTBucketSettings::lastSeen>("lastSeen"),
        VTMakeField<&VTBucketSettings::firstSeen>("firstSeen"),
    };
    return fields;
}

std::span<const VTField<VTSubmissionStats>> VTSubmissionStats::codingFields() {
    static const VTField<VTSubmissionStats> fields[] = {
        VTMakeField<&VTSubmissionStats::submissionCount>("submissionCount"),
        VTMakeField<&VTSubmissionStats::lastReset>("lastReset"),
    };
    return fields;
}

std::span<const VTField<VTRemoteSettings>> VTRemoteSettings::codingFields() {
    static const VTField<VTRemoteSettings> fields[] = {
        VTMakeField<&VTRemoteSettings::enabled_>("enabled"),
        VTMakeField<&VTRemoteSettings::consentLevel_>("consentLevel"),
    };
    return fields;
}

VTSettings::VTSettings() : statisticsForServer_(2) {}

VTSettings::VTSettings(const VTSettings& other)
    : enabled_(other.enabled_),
      consentLevel_(other.consentLevel_),
      client_(other.client_),
      actions_(other.actions_),
      notifications_(other.notifications_),
      lastSubmit_(other.lastSubmit_),
      lastDetail_(other.lastDetail_) {
    std::lock_guard lock(other.statisticsMutex_);
    statisticsForBucket_ = other.statisticsForBucket_;
    statisticsForServer_ = other.statisticsForServer_;
}

VTSettings& VTSettings::operator=(const VTSettings& other) {
    if (this == &other) return *this;
    enabled_ = other.enabled_;
    consentLevel_ = other.consentLevel_;
    client_ = other.client_;
    actions_ = other.actions_;
    notifications_ = other.notifications_;
    lastSubmit_ = other.lastSubmit_;
    lastDetail_ = other.lastDetail_;
    std::scoped_lock lock(statisticsMutex_, other.statisticsMutex_);
    statisticsForBucket_ = other.statisticsForBucket_;
    statisticsForServer_ = other.statisticsForServer_;
    return *this;
}

std::optional<VTBucketSettings> VTSettings::settingsForBucket(std::uint64_t bucket) const {
    std::lock_guard lock(statisticsMutex_);
    auto it = statisticsForBucket_.find(bucket);
    if (it == statisticsForBucket_.end()) return std::nullopt;
    return it->second;
}

void VTSettings::setSettings(const VTBucketSettings& settings, std::uint64_t bucket) {
    std::lock_guard lock(statisticsMutex_);
    statisticsForBucket_.insert_or_assign(bucket, settings);
}

std::map<std::uint64_t, VTBucketSettings> VTSettings::statisticsForBucket() const {
    std::lock_guard lock(statisticsMutex_);
    return statisticsForBucket_;
}

VTSubmissionStats VTSettings::statsForGatewayType(std::int32_t type) const {
    checkGatewayType(type);
    std::lock_guard lock(statisticsMutex_);
    return statisticsForServer_.at(static_cast<std::size_t>(type));
}

void VTSettings::setStats(const VTSubmissionStats& stats, std::int32_t type) {
    checkGatewayType(type);
    std::lock_guard lock(statisticsMutex_);
    statisticsForServer_.at(static_cast<std::size_t>(type)) = stats;
}

bool VTSettings::updateStats(std::int32_t type,
                             const std::function<bool(VTSubmissionStats&)>& change) {
    checkGatewayType(type);
    std::lock_guard lock(statisticsMutex_);
    return change(statisticsForServer_.at(static_cast<std::size_t>(type)));
}

void VTSettings::encodeWithCoder(VTKeyedArchiver& coder) const {
    coder.encodeBool(kEnabledKey, enabled_);
    coder.encodeSignedNumber(kConsentLevelKey, consentLevel_);
    coder.encodeValue(kActionsKey, platform::Value(actions_));
    coder.encodeValue(kNotificationsKey, platform::Value(notifications_));
    if (lastSubmit_) coder.encodeValue(kLastSubmitKey, platform::Value(*lastSubmit_));
    if (lastDetail_) coder.encodeValue(kLastDetailKey, platform::Value(*lastDetail_));
    std::lock_guard lock(statisticsMutex_);
    platform::Dictionary buckets;
    for (const auto& [bucket, settings] : statisticsForBucket_)
        buckets.emplace(VTStringUtilities::stringWithBucketID(bucket), settings.codingValue());
    coder.encodeValue(kStatisticsForBucketKey, platform::Value(std::move(buckets)));
    std::vector<const VTCodable*> servers;
    for (const auto& stats : statisticsForServer_) servers.push_back(&stats);
    coder.encodeObjects(kStatisticsForServerKey, servers);
}

bool VTSettings::initWithCoder(VTKeyedUnarchiver& coder, platform::Error* error) {
    std::optional<VTArchivedNumber> number;
    if (!coder.decodeNumber(kEnabledKey, number, error)) return false;
    if (number) enabled_ = number->boolValue();
    if (!coder.decodeNumber(kConsentLevelKey, number, error)) return false;
    if (number) consentLevel_ = static_cast<std::int32_t>(number->int64Value());
    if (!decodeArray(coder, kActionsKey, actions_, error) ||
        !decodeArray(coder, kNotificationsKey, notifications_, error) ||
        !decodeDate(coder, kLastSubmitKey, lastSubmit_, error) ||
        !decodeDate(coder, kLastDetailKey, lastDetail_, error))
        return false;

    std::optional<platform::Value> buckets;
    if (!coder.decodeValue(kStatisticsForBucketKey, "NSDictionary", buckets, error)) return false;
    std::map<std::uint64_t, VTBucketSettings> bucketStatistics;
    if (buckets && buckets->asDictionary()) {
        for (const auto& [text, value] : *buckets->asDictionary()) {
            auto settings = VTBucketSettings::fromCodingValue(value);
            if (!settings) {
                platform::setError(
                    error, VTKeyedUnarchiver::classMismatch(kStatisticsForBucketKey,
                                                            "VTBucketSettings", "NSObject"));
                return false;
            }
            bucketStatistics.insert_or_assign(VTStringUtilities::bucketIDValue(text), *settings);
        }
    }
    std::optional<std::vector<VTSubmissionStats>> servers;
    if (!coder.decodeObjectsOfClass<VTSubmissionStats>(kStatisticsForServerKey, servers, error))
        return false;
    std::vector<VTSubmissionStats> serverStatistics =
        servers ? *servers : std::vector<VTSubmissionStats>{};
    // Always one record per gateway type, whatever the file held.
    serverStatistics.resize(2);

    std::lock_guard lock(statisticsMutex_);
    statisticsForBucket_ = std::move(bucketStatistics);
    statisticsForServer_ = std::move(serverStatistics);
    return true;
}

std::string VTSettings::description() const {
    platform::Dictionary values;
    values.emplace(kEnabledKey, platform::Value(enabled_));
    values.emplace(kConsentLevelKey, platform::Value(consentLevel_));
    values.emplace(kActionsKey, platform::Value(actions_));
    values.emplace(kNotificationsKey, platform::Value(notifications_));
    if (lastSubmit_) values.emplace(kLastSubmitKey, platform::Value(*lastSubmit_));
    if (lastDetail_) values.emplace(kLastDetailKey, platform::Value(*lastDetail_));
    std::lock_guard lock(statisticsMutex_);
    platform::Dictionary buckets;
    for (const auto& [bucket, settings] : statisticsForBucket_)
        buckets.emplace(VTStringUtilities::stringWithBucketID(bucket), settings.codingValue());
    values.emplace(kStatisticsForBucketKey, platform::Value(std::move(buckets)));
    platform::Array servers;
    for (const auto& stats : statisticsForServer_) servers.push_back(stats.codingValue());
    values.emplace(kStatisticsForServerKey, platform::Value(std::move(servers)));
    return platform::Value(std::move(values)).description();
}

namespace {

// Counts read from the file can be any number: their sums and differences
// stop at the ends of the range instead of overflowing.
std::int64_t saturatedAdd(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (!__builtin_add_overflow(a, b, &sum)) return sum;
    return b > 0 ? std::numeric_limits<std::int64_t>::max()
                 : std::numeric_limits<std::int64_t>::min();
}

std::int64_t saturatedSubtract(std::int64_t a, std::int64_t b) {
    std::int64_t difference = 0;
    if (!__builtin_sub_overflow(a, b, &difference)) return difference;
    return b < 0 ? std::numeric_limits<std::int64_t>::max()
                 : std::numeric_limits<std::int64_t>::min();
}

// `stored` plus what this process added to `base`, between 0 and the
// largest count.
template <class T>
T addedCount(T stored, T base, T mine) {
    const std::int64_t sum = saturatedAdd(
        static_cast<std::int64_t>(stored),
        saturatedSubtract(static_cast<std::int64_t>(mine), static_cast<std::int64_t>(base)));
    if (sum < 0) return T{0};
    return std::cmp_greater(sum, std::numeric_limits<T>::max()) ? std::numeric_limits<T>::max()
                                                                : static_cast<T>(sum);
}

std::optional<platform::Date> earlier(const std::optional<platform::Date>& a,
                                      const std::optional<platform::Date>& b) {
    if (!a || !b) return a ? a : b;
    return a->secondsSince1970 <= b->secondsSince1970 ? a : b;
}

std::optional<platform::Date> later(const std::optional<platform::Date>& a,
                                    const std::optional<platform::Date>& b) {
    if (!a || !b) return a ? a : b;
    return a->secondsSince1970 >= b->secondsSince1970 ? a : b;
}

}  // namespace

VTSubmissionStats VTSettings::mergedStats(const VTSubmissionStats& stored,
                                          const VTSubmissionStats& base,
                                          const VTSubmissionStats& mine) {
    if (mine == base) return stored;
    if (mine.lastReset == base.lastReset) {
        VTSubmissionStats out = stored;
        out.submissionCount =
            addedCount(stored.submissionCount, base.submissionCount, mine.submissionCount);
        return out;
    }
    // This process began a new day's period.
    if (stored.lastReset == base.lastReset) return mine;
    VTSubmissionStats out;
    out.lastReset = later(stored.lastReset, mine.lastReset);
    out.submissionCount = saturatedAdd(stored.submissionCount, mine.submissionCount);
    return out;
}

VTSettings VTSettings::merged(const VTSettings& stored, const VTSettings& base,
                              const VTSettings& mine) {
    VTSettings out(stored);
    out.client_ = mine.client_;
    if (mine.enabled_ != base.enabled_) out.enabled_ = mine.enabled_;
    if (mine.consentLevel_ != base.consentLevel_) out.consentLevel_ = mine.consentLevel_;
    if (mine.actions_ != base.actions_) out.actions_ = mine.actions_;
    if (mine.notifications_ != base.notifications_) out.notifications_ = mine.notifications_;
    if (mine.lastSubmit_ != base.lastSubmit_) out.lastSubmit_ = mine.lastSubmit_;
    if (mine.lastDetail_ != base.lastDetail_) out.lastDetail_ = mine.lastDetail_;

    const auto mineBuckets = mine.statisticsForBucket();
    const auto baseBuckets = base.statisticsForBucket();
    const std::vector<VTSubmissionStats> mineServers = {mine.statsForGatewayType(0),
                                                        mine.statsForGatewayType(1)};
    const std::vector<VTSubmissionStats> baseServers = {base.statsForGatewayType(0),
                                                        base.statsForGatewayType(1)};
    std::lock_guard lock(out.statisticsMutex_);
    for (const auto& [bucket, counters] : mineBuckets) {
        auto found = baseBuckets.find(bucket);
        const VTBucketSettings before =
            found == baseBuckets.end() ? VTBucketSettings{} : found->second;
        if (counters == before) continue;
        VTBucketSettings& target = out.statisticsForBucket_[bucket];
        target.timesSeen = addedCount(target.timesSeen, before.timesSeen, counters.timesSeen);
        target.timesThrottled =
            addedCount(target.timesThrottled, before.timesThrottled, counters.timesThrottled);
        target.lastSeen = later(target.lastSeen, counters.lastSeen);
        target.firstSeen = earlier(target.firstSeen, counters.firstSeen);
    }
    for (std::size_t type = 0; type < 2; ++type)
        out.statisticsForServer_[type] =
            mergedStats(out.statisticsForServer_[type], baseServers[type], mineServers[type]);
    return out;
}
