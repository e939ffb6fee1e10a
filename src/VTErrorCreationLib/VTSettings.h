// The library's persistent state that outlives one run: whether errors may
// be recorded, the consent level, and the submission counters per bucket
// and per gateway type. Kept in "vtsettings.dat" (VTSettingsFile).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "Platform/Values/Value.h"
#include "VTErrorCreationLib/Utilities/VTCoding.h"
#include "VTErrorCreationLib/VTGateway.h"

class VTSettingsClient;

/// What every kind of settings answers.
class VTSettingsProtocol {
  public:
    virtual ~VTSettingsProtocol() = default;
    virtual bool enabled() const = 0;
    virtual void setEnabled(bool enabled) = 0;
    virtual std::int32_t consentLevel() const = 0;
    virtual void setConsentLevel(std::int32_t level) = 0;
};

/// Counters of one bucket.
class VTBucketSettings : public VTFieldCodable<VTBucketSettings> {
  public:
    static constexpr std::string_view kArchiveClassName = "VTBucketSettings";
    static std::span<const VTField<VTBucketSettings>> codingFields();

    std::uint32_t timesSeen = 0;
    std::uint32_t timesThrottled = 0;
    std::optional<platform::Date> lastSeen;
    std::optional<platform::Date> firstSeen;

    /// The description of the value dictionary.
    std::string description() const { return VTCodingUtilities::description(*this); }
    friend bool operator==(const VTBucketSettings& a, const VTBucketSettings& b) {
        return a.timesSeen == b.timesSeen && a.timesThrottled == b.timesThrottled &&
               a.lastSeen == b.lastSeen && a.firstSeen == b.firstSeen;
    }
};

/// Submissions to one kind of gateway.
class VTSubmissionStats : public VTFieldCodable<VTSubmissionStats> {
  public:
    static constexpr std::string_view kArchiveClassName = "VTSubmissionStats";
    static std::span<const VTField<VTSubmissionStats>> codingFields();

    std::int64_t submissionCount = 0;
    std::optional<platform::Date> lastReset;

    std::string description() const { return VTCodingUtilities::description(*this); }
    friend bool operator==(const VTSubmissionStats& a, const VTSubmissionStats& b) {
        return a.submissionCount == b.submissionCount && a.lastReset == b.lastReset;
    }
};

/// The settings as the local settings client keeps them. The bucket and
/// gateway counters are guarded by a lock of their own; the other fields by
/// the owner (the settings client's queue).
class VTSettings : public VTCodable, public VTSettingsProtocol {
  public:
    static constexpr std::string_view kArchiveClassName = "VTSettings";

    /// enabled YES, consent level 1, no actions, notifications or dates, no
    /// bucket entries, two zeroed gateway records.
    VTSettings();
    static VTSettings defaultSettings() { return VTSettings(); }
    VTSettings(const VTSettings& other);
    VTSettings& operator=(const VTSettings& other);

    bool enabled() const override { return enabled_; }
    void setEnabled(bool enabled) override { enabled_ = enabled; }
    std::int32_t consentLevel() const override { return consentLevel_; }
    void setConsentLevel(std::int32_t level) override { consentLevel_ = level; }

    /// The client the settings belong to (not archived).
    std::weak_ptr<VTSettingsClient> client() const { return client_; }
    void setClient(std::weak_ptr<VTSettingsClient> client) { client_ = std::move(client); }

    const platform::Array& actions() const { return actions_; }
    void setActions(platform::Array actions) { actions_ = std::move(actions); }
    const platform::Array& notifications() const { return notifications_; }
    void setNotifications(platform::Array notifications) {
        notifications_ = std::move(notifications);
    }
    const std::optional<platform::Date>& lastSubmit() const { return lastSubmit_; }
    void setLastSubmit(std::optional<platform::Date> date) { lastSubmit_ = date; }
    const std::optional<platform::Date>& lastDetail() const { return lastDetail_; }
    void setLastDetail(std::optional<platform::Date> date) { lastDetail_ = date; }

    /// A copy of the bucket's counters, or nullopt.
    std::optional<VTBucketSettings> settingsForBucket(std::uint64_t bucket) const;
    void setSettings(const VTBucketSettings& settings, std::uint64_t bucket);
    /// Bucket id -> counters, a copy.
    std::map<std::uint64_t, VTBucketSettings> statisticsForBucket() const;

    /// A copy of the counters of a gateway type; a type other than ping or
    /// upload is a programming error (platform::Exception
    /// NSInternalInconsistencyException "Invalid gateway type").
    VTSubmissionStats statsForGatewayType(std::int32_t type) const;
    void setStats(const VTSubmissionStats& stats, std::int32_t type);
    /// Reads and changes the counters of a gateway type in one step, under
    /// the counters' lock (so concurrent submissions cannot lose updates);
    /// returns what `change` returns.
    bool updateStats(std::int32_t type, const std::function<bool(VTSubmissionStats&)>& change);

    // Archiving: "enabled", "consentLevel", "actions", "notifications",
    // "lastSubmit", "lastDetail", "statisticsForBucket" (a dictionary from
    // the bucket id's text to the counters' value dictionary) and
    // "statisticsForServer" (two VTSubmissionStats).
    std::string_view archiveClassName() const override { return kArchiveClassName; }
    void encodeWithCoder(VTKeyedArchiver& coder) const override;
    bool initWithCoder(VTKeyedUnarchiver& coder, platform::Error* error) override;

    /// The description of the archived values.
    std::string description() const;

    /// What to store when this process's settings, `mine`, began as `base`
    /// and the file now holds `stored` (other processes may have written in
    /// between): every field this process changed comes from `mine`, every
    /// other from `stored`, and counters add this process's increments to the
    /// stored counts (mergedStats; bucket counters likewise).
    static VTSettings merged(const VTSettings& stored, const VTSettings& base,
                             const VTSettings& mine);
    /// One gateway type's counters merged so: unchanged, the stored ones;
    /// within the same day's period, the stored count plus this process's
    /// increments; when this process began a new period, its own unless
    /// another process began one too (then the later start, counts added).
    static VTSubmissionStats mergedStats(const VTSubmissionStats& stored,
                                         const VTSubmissionStats& base,
                                         const VTSubmissionStats& mine);

  private:
    bool enabled_ = true;
    std::int32_t consentLevel_ = 1;
    std::weak_ptr<VTSettingsClient> client_;
    platform::Array actions_;
    platform::Array notifications_;
    std::optional<platform::Date> lastSubmit_;
    std::optional<platform::Date> lastDetail_;
    mutable std::mutex statisticsMutex_;
    std::map<std::uint64_t, VTBucketSettings> statisticsForBucket_;
    std::vector<VTSubmissionStats> statisticsForServer_;
};

/// The part of the settings that a settings service takes: enabled and the
/// consent level. Sent to the service as a plain keyed archive.
class VTRemoteSettings : public VTFieldCodable<VTRemoteSettings>, public VTSettingsProtocol {
  public:
    static constexpr std::string_view kArchiveClassName = "VTRemoteSettings";
    static std::span<const VTField<VTRemoteSettings>> codingFields();

    VTRemoteSettings() = default;
    VTRemoteSettings(bool enabled, std::int32_t consentLevel)
        : enabled_(enabled), consentLevel_(consentLevel) {}
    /// Copies both values from any settings.
    explicit VTRemoteSettings(const VTSettingsProtocol& settings)
        : enabled_(settings.enabled()), consentLevel_(settings.consentLevel()) {}

    bool enabled() const override { return enabled_; }
    void setEnabled(bool enabled) override { enabled_ = enabled; }
    std::int32_t consentLevel() const override { return consentLevel_; }
    void setConsentLevel(std::int32_t level) override { consentLevel_ = level; }

  private:
    bool enabled_ = false;
    std::int32_t consentLevel_ = 0;
};
