// The client of the privileged install helper "com.pelgrave.PelInstallHelper".
//
// It connects to the helper's service, sends the install requests, turns the
// helper's messages into InstallProgressProtocol callbacks, runs a one-hour
// watchdog that ends an installation whose helper falls silent, and at the
// end lets the product plug-in finish before the progress object learns the
// final status.
//
// Wire format. Requests carry "PelInstallType" as decimal text:
//   "102" PelInstallPartnerPath
//   "100" PelInstallPackage, PelInstallTarget[, PelInstallPostInstallTools]
//   "101" PelInstallPackages, PelInstallTarget[, PelInstallPostInstallTools]
// Package descriptions travel as dictionaries of pkgName (string),
// pkgPriority and pingModuleID (int64). Helper messages carry
// "PelServerMessageType": 200 PelInstallPercent, 201 PelInstallPhase, 202
// PelInstallCompleteReason, 203 PelInstallStatus (all decimal text or text),
// 204 pingModuleID, termStatus (int64), failureReason, md5Hash, and 205 the
// same without pingModuleID.
//
// Threads: connection events, the watchdog and every send run on the serial
// queue "com.xpcinstall.serial.queue"; sends are made synchronously on it.
// pluginFinished() may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Controllers/IFPluginProtocol.h"
#include "Engine/InstallProgressProtocol.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Dispatch/Timer.h"
#include "Platform/Values/Value.h"
#include "Platform/Xpc/XpcConnection.h"

/// Install statuses (decimal text on the wire).
enum PelInstallStatus : int {
    kPelInstallStatusInitial = 300,
    kPelInstallStatusAlive = 301,
    kPelInstallStatusFailed = 302,
    kPelInstallStatusPackageDone = 303,
    kPelInstallStatusCompleted = 304,
    kPelInstallStatusTimedOut = 305,
    kPelInstallStatusPackageDoneOther = 306,
};

inline constexpr const char* kPelInstallHelperLabel = "com.pelgrave.PelInstallHelper";
inline constexpr const char* kPelInstallSerialQueueLabel = "com.xpcinstall.serial.queue";
/// The helper may stay silent this long before the installation is given up.
inline constexpr std::chrono::seconds kPelInstallWatchdog{3600};

class PelInstallXPCClient : public IFPluginDelegate,
                            public std::enable_shared_from_this<PelInstallXPCClient> {
  public:
    /// Make it with std::make_shared: handlers hold it weakly.
    PelInstallXPCClient();
    ~PelInstallXPCClient() override;
    PelInstallXPCClient(const PelInstallXPCClient&) = delete;
    PelInstallXPCClient& operator=(const PelInstallXPCClient&) = delete;

    /// The process-wide client, made on first use.
    static std::shared_ptr<PelInstallXPCClient> sharedXPCClient();
    /// Replaces it (tests); null makes a fresh one at next use.
    static void setSharedXPCClient(std::shared_ptr<PelInstallXPCClient> client);

    int pelInstallStatus() const { return status_.load(); }
    const std::shared_ptr<platform::SerialQueue>& serialQueue() const { return serialQueue_; }
    /// Not retained; set before connecting.
    void setProduct(InstallProgressProtocol* product) { product_.store(product); }
    void setPlugin(IFPluginProtocol* plugin) { plugin_.store(plugin); }
    InstallProgressProtocol* product() const { return product_.load(); }
    IFPluginProtocol* plugin() const { return plugin_.load(); }
    std::uint64_t remaningPackagesToInstall() const { return remaining_.load(); }

    /// Connects to the service (privileged) and arms the watchdog; true and
    /// nothing else when connected already.
    bool PelXPC_CreateMachService(const std::string& serviceName);

    bool sendInstallCopyPartnerFile(const std::optional<std::string>& path);
    bool sendInstallSetupPackage(const std::optional<std::string>& path,
                                 const std::optional<std::string>& target,
                                 const platform::Array& postInstallTools);
    bool sendInstallSetupPackage(const std::optional<std::string>& path,
                                 const platform::Array& postInstallTools) {
        return sendInstallSetupPackage(path, std::nullopt, postInstallTools);
    }
    bool sendInstallSetupPackages(const std::optional<platform::Array>& packages,
                                  const std::optional<std::string>& target,
                                  const platform::Array& postInstallTools);
    bool sendInstallSetupPackages(const std::optional<platform::Array>& packages,
                                  const platform::Array& postInstallTools);

    /// Sends one message synchronously on the serial queue.
    bool PelXPC_SendMessage(const platform::XpcObject& message);
    /// Sends a message whose reply is only logged.
    bool PelXPC_SendMessageWithReply(const platform::XpcObject& message);

    /// Handles one helper message (on the serial queue).
    void handleServerResponse(const platform::XpcObject& message);

    void startInstallTimer();
    void resetInstallTimer();
    void cancelInstallTimer();

    /// The overall percent for the current package's percent text, in
    /// [0, 100]; nullopt for a text that is not a finite number.
    std::optional<double> percentString(const std::string& text) const;

    void performClosingOperations();
    void sessionFinished(int status);
    void closeConnection();
    /// Ends a session that the caller gave up on (a request could not be
    /// sent): the watchdog stops and the connection closes, and nothing more
    /// is reported.
    void abandonSession();

    void pluginFinished(bool success) override;

    /// Array conversion for requests: null for an empty array.
    static platform::XpcObject createXPCArrayFromArray(const platform::Array& array);

  private:
    void handleEvent(const platform::XpcEvent& event);
    void statusStep(const platform::XpcObject& message);
    bool productResponds(InstallProgressOperation operation) const;
    static platform::Dictionary failureInfo(const platform::XpcObject& message, bool optional);

    std::shared_ptr<platform::SerialQueue> serialQueue_;
    std::atomic<int> status_{kPelInstallStatusInitial};
    std::atomic<InstallProgressProtocol*> product_{nullptr};
    std::atomic<IFPluginProtocol*> plugin_{nullptr};
    std::atomic<std::uint64_t> remaining_{0};
    std::atomic<std::uint64_t> total_{0};
    std::atomic<bool> pluginFinishedOnce_{false};

    // Touched on the serial queue only.
    platform::XpcConnectionPtr connection_;
    platform::TimerPtr timer_;
    bool sessionEnded_ = false;
    bool cancelledByUs_ = false;
    std::uint64_t generation_ = 0;
};
