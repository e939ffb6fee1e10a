// The client of the privileged uninstall helper "com.pelgrave.UninstallerToolHelper".
//
// It connects to the helper's service, sends one removal request, turns the
// helper's messages into PelUninstallXPCProtocol calls and ends the
// conversation when the helper reports its end or falls silent for 180
// seconds.
//
// Wire format. Requests carry "PelUninstallType" as decimal text:
//   "500" PelUninstallProduct
//   "501" PelUninstallProducts (array of strings)
//   "502" PelUninstallProducts, PelUninstall_PreUninstallTools (left out when
//         empty), PelUninstall_PostUninstallTools (dictionaries of strings:
//         bundle path -> tool path inside it)
// Helper messages carry "PelUServerMessageType": 600 PelUninstallPercent,
// 601 PelUninstallPhaseKey / PelUninstallPackageName / PelUninstallPhase,
// 602 PelUninstallCompleteReason, 603 PelUninstallStatus (700 to 703);
// anything else may carry a "reply" text, which is logged.
//
// Every conversation ends exactly once for the delegate: phase 804, or
// status 703, with uninstallEnded(); status 702 or the watchdog with
// uninstallEndedWithError(). Connection events and the watchdog run on one
// serial queue; phase calls are made there, uninstallEndedWithError() on the
// main queue.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Engine/PelUninstallXPCProtocol.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Dispatch/Timer.h"
#include "Platform/Values/Value.h"
#include "Platform/Xpc/XpcConnection.h"

enum PelUninstallStatus : int {
    kPelUninstallStatusInitial = 700,
    kPelUninstallStatusInProgress = 701,
    kPelUninstallStatusFailed = 702,
    kPelUninstallStatusFinished = 703,
};

/// Phases of message 601.
enum PelUninstallPhase : int {
    kPelUninstallPhaseStarted = 800,
    kPelUninstallPhasePackage = 801,
    kPelUninstallPhaseReport = 802,
    kPelUninstallPhaseError = 803,
    kPelUninstallPhaseEnded = 804,
};

inline constexpr const char* kPelUninstallHelperLabel = "com.pelgrave.UninstallerToolHelper";
inline constexpr std::chrono::seconds kPelUninstallWatchdog{180};

class PelUninstallXPCClient : public std::enable_shared_from_this<PelUninstallXPCClient> {
  public:
    /// Make it with std::make_shared: handlers hold it weakly.
    PelUninstallXPCClient();
    ~PelUninstallXPCClient();
    PelUninstallXPCClient(const PelUninstallXPCClient&) = delete;
    PelUninstallXPCClient& operator=(const PelUninstallXPCClient&) = delete;

    static std::shared_ptr<PelUninstallXPCClient> sharedXPCClient();
    /// Replaces the shared client (tests); null makes a fresh one at next use.
    static void setSharedXPCClient(std::shared_ptr<PelUninstallXPCClient> client);

    /// The delegate; not retained, so it must outlive the conversation.
    void setProduct(PelUninstallXPCProtocol* product) { product_.store(product); }
    PelUninstallXPCProtocol* product() const { return product_.load(); }
    int pelUninstallStatus() const { return status_.load(); }
    const std::shared_ptr<platform::SerialQueue>& queue() const { return queue_; }
    /// The queue uninstallEndedWithError() is posted to (the main queue by default).
    void setMainQueue(platform::DispatchQueuePtr queue);

    /// Connects to the service (privileged) and starts the watchdog; true
    /// and nothing else when connected already.
    bool PelXPC_CreateMachService(const std::string& serviceName);
    bool PelXPC_SendMessageWithReply(const platform::XpcObject& message);
    bool PelXPC_SendMessage(const platform::XpcObject& message);

    /// The string pairs of `dictionary` (other values are left out); a null
    /// object for nothing or an empty dictionary.
    static platform::XpcObject createXPCDictionaryFromNSDict(
        const std::optional<platform::Dictionary>& dictionary);
    /// The strings in order; a null object for nothing or an empty list.
    static platform::XpcObject createXPCArrayForStrings(
        const std::optional<std::vector<std::string>>& strings);

    bool uninstallProducts(const std::optional<std::vector<std::string>>& products,
                           const std::optional<platform::Dictionary>& preUninstallTools,
                           const std::optional<platform::Dictionary>& postUninstallTools);
    bool uninstallProducts(const std::optional<std::vector<std::string>>& products);
    bool uninstallSetupPackage(const std::optional<std::string>& product);

    /// These run on queue() (in place when called there).
    void cancelInstallTimer();
    void startUninstallTimer();
    void resetUninstallTimer();
    void closeConnection();

    /// Handles one helper message (on queue()).
    void handleServerResponse(const platform::XpcObject& message);

  private:
    void handleEvent(const platform::XpcEvent& event);
    void watchdogFired();
    void startTimerOnQueue();
    // Runs `block` on queue_, in place when already there.
    void onQueue(const std::function<void()>& block);
    // Ends the conversation for the delegate, once.
    void endWithSuccess();
    void endWithError();
    platform::DispatchQueuePtr mainQueue() const;

    std::shared_ptr<platform::SerialQueue> queue_;
    std::atomic<int> status_{kPelUninstallStatusInitial};
    std::atomic<PelUninstallXPCProtocol*> product_{nullptr};
    mutable std::mutex mainQueueMutex_;
    platform::DispatchQueuePtr mainQueue_;

    // Touched on queue_ only.
    platform::XpcConnectionPtr connection_;
    platform::TimerPtr timer_;
    bool ended_ = false;
    std::uint64_t generation_ = 0;
};
