// The statistics pings of installation and uninstallation events.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Downloader/StatPing.h"
#include "Platform/Values/Value.h"

/// Sends one ping per install or uninstall event: the base fields (product,
/// platform, version, language, build, machine identifier, OS, module and the
/// two option masks), the event's error and upgrade codes and its own
/// fields, as a query string through StatPing. The masks are read when a ping
/// is built, so each ping carries them as they stand then. Event methods may
/// be called from any thread; sending is asynchronous on the sender's queue.
class PelInstallPingUtils : public StatPing {
  public:
    /// Agent text used when the factory is given none.
    static constexpr const char* kDefaultUserAgent = "PelOstrelInstaller-Ping";
    /// Module of install pings and of package pings without their own.
    static constexpr int kInstallModule = 9000;

    /// A sender, or null when queue name, product name, version and build are
    /// all absent. A missing agent text becomes kDefaultUserAgent; the version
    /// is stored through versionWithDotForBuildChar(); the time-out is 5 s.
    static std::shared_ptr<PelInstallPingUtils> createInstallPingUtilsWithQueueName(
        const std::optional<std::string>& queueName, const std::optional<std::string>& productName,
        const std::optional<std::string>& version, const std::optional<std::string>& build,
        const std::optional<std::string>& userAgent, const std::optional<std::string>& mid);

    /// The version with its first build-stage letter ("f", "d", "F" or "D")
    /// replaced by "." ("8.4.2f12" -> "8.4.2.12"); later ones stay.
    static std::string versionWithDotForBuildChar(std::string_view version);
    /// The first three characters of each app code that has at least three,
    /// joined by "|"; absent when no code contributed.
    static std::optional<std::string> appCodesToString(const std::vector<std::string>* appCodes);

    const std::optional<std::string>& productName() const { return productName_; }
    void setProductName(std::optional<std::string> v) { productName_ = std::move(v); }
    const std::optional<std::string>& version() const { return version_; }
    void setVersion(std::optional<std::string> v) { version_ = std::move(v); }
    const std::optional<std::string>& build() const { return build_; }
    void setBuild(std::optional<std::string> v) { build_ = std::move(v); }
    const std::optional<std::string>& mid() const { return mid_; }
    void setMid(std::optional<std::string> v) { mid_ = std::move(v); }
    /// The mask of user-interface options clicked, sent as "U" ("%lx").
    std::uint64_t uParamValue() const;
    void setUParamValue(unsigned long value);
    /// The opt-in region mask, sent as "ofg" ("%llx").
    std::uint64_t ofgParamValue() const;
    void setOfgParamValue(unsigned long long value);

    /// The base fields with module 9000 and "U" and "ofg", as a query string.
    std::string baseDataFormat() const;
    /// The base fields with `module` and without "U" and "ofg".
    std::string baseDataFormatForOptional(const platform::Value& module) const;
    /// The base fields, then `extra` (replacing equal keys), then the members
    /// of the automation override file (replacing equal keys), joined as
    /// "key=value" pairs with "&".
    std::string constructBaseData(const platform::Dictionary& extra) const;

    void sendInstallLaunched();
    void sendInstallBegin();
    void sendInstallSuccessWithTime(int milliseconds);
    void sendInstallSuccessProductRemovedNoRebootWithTime(int milliseconds);
    void sendInstallSuccessSeamlessUpgradeWithTime(int milliseconds);
    /// The reason goes out with every occurrence of the user's home folder
    /// replaced by "~". An absent reason is sent as "(null)", as are the
    /// reasons of the other failure events.
    void sendInstallFailed(int code, std::optional<std::string_view> reason);
    void sendInstallFailedToRemoveProduct(int code, std::optional<std::string_view> reason);
    void sendInstallFailedSeamlessUpgrade(int code, std::optional<std::string_view> reason);
    /// Falls back to sendInstallFailed() when no app code has three characters.
    void sendInstallFailedHardBlock(int code, std::optional<std::string_view> reason,
                                    const std::vector<std::string>* appCodes);
    void sendInstallUpgradeSucessWithProductRemoveAndReboot(int milliseconds);
    void sendInstallUpgradeFailedWithProductRemoveAndReboot(int code,
                                                            std::optional<std::string_view> reason);
    void sendUninstallSucess();
    void sendUninstallFailure();
    void sendUninstallLaunch();
    void sendUninstallDuringInstallSucess();
    void sendUninstallDuringInstallFailure();
    void sendUninstallDuringInstallStarted();

    /// An event with the given codes and the fields "a" (when not 0), "b",
    /// "h" (when not 0) and "M" of `parameters`, in that order.
    void sendInstallPing(int error, int upgrade, const platform::Dictionary& parameters);

    /// A mandatory package failed: its module (or 9000), error 1 and `code`,
    /// then "E", "b" and "s" from the failure data's "termStatus",
    /// "failureReason" and "md5Hash" when present.
    void sendInstallMandatoryFailed(int code, const platform::Dictionary& failureData);
    /// An optional package failed: as above without the code.
    void sendInstallOptionalFailed(const platform::Dictionary& failureData);

  protected:
    PelInstallPingUtils(const char* queueName, std::optional<std::string> agent);

  private:
    /// Builds base + "&error=%d&upgrade=%d" + extra (+ "&mid=" when asked) and sends it.
    void sendEvent(int error, int upgrade, std::string_view extra, bool withMid);
    void send(const std::string& query);
    /// A package's failure: the optional base fields for its "pingModuleID",
    /// then `codes`, then "E", "b" and "s" from the failure data when present.
    void sendPackageFailure(const platform::Dictionary& data, const std::string& codes);

    std::optional<std::string> productName_;
    std::optional<std::string> version_;
    std::optional<std::string> build_;
    std::optional<std::string> mid_;
    std::atomic<std::uint64_t> uParamValue_{0};
    std::atomic<std::uint64_t> ofgParamValue_{0};
};
