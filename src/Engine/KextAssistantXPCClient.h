// The client of the kernel-module helper "com.pelgrave.kexthelper.TLW": asks
// it to load the product's kernel module, retries every 1380 seconds while
// the system holds the module back, and watches for the module to appear
// (its folder under /sys/module), which ends everything.
//
// Everything runs on the main queue (replies and connection errors hop
// there first). The module is "/Library/Extensions/PelKorvex.kext"; its
// service, the module's name, is "com_pelgrave_PelKorvex".
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Dispatch/Timer.h"
#include "Platform/System/KernelModuleWatch.h"
#include "Platform/Values/Error.h"
#include "Platform/Xpc/XpcRemoteObject.h"

enum KextLoadStatus : std::uint8_t {
    kKextLoadStatusLoaded = 0,
    /// The system holds the module until the user allows it.
    kKextLoadStatusNeedsApproval = 1,
    kKextLoadStatusFailed = 2,
};

inline constexpr const char* kKextHelperLabel = "com.pelgrave.kexthelper.TLW";
inline constexpr const char* kPelKorvexPath = "/Library/Extensions/PelKorvex.kext";
inline constexpr const char* kPelKorvexService = "com_pelgrave_PelKorvex";
/// The helper's code for a module the user has not allowed yet.
inline constexpr std::uint32_t kOSKextReturnSystemPolicy = 0xdc00801b;
inline constexpr std::chrono::seconds kKextLoadRetryInterval{1380};

/// The helper's interface: "loadKext:withReply:" {path} -> {code}, and
/// "shutdownHelper".
platform::XpcRemoteInterface kextHelperInterface();

/// The load status of a helper code: only its low 32 bits count, so the code
/// may arrive signed or unsigned.
KextLoadStatus kextLoadStatusForCode(std::int64_t code);

class KextAssistantXPCClientDelegate {
  public:
    virtual ~KextAssistantXPCClientDelegate() = default;
    /// The load result (the client itself does not send it).
    virtual void finshedInstallation(bool success) = 0;
    /// The module appeared; timer, watch and helper are already stopped.
    virtual void preferenceUpdated() = 0;
};

class KextAssistantXPCClient : public std::enable_shared_from_this<KextAssistantXPCClient> {
  public:
    using LoadReply = std::function<void(KextLoadStatus)>;

    /// Make it with std::make_shared. `mainQueue` null: the main queue;
    /// `watch` null: the Linux watch.
    explicit KextAssistantXPCClient(platform::DispatchQueuePtr mainQueue = nullptr,
                                    std::shared_ptr<platform::KernelModuleWatch> watch = nullptr);
    ~KextAssistantXPCClient();

    /// Not retained.
    void setDelegate(KextAssistantXPCClientDelegate* delegate) { delegate_ = delegate; }
    KextAssistantXPCClientDelegate* delegate() const { return delegate_; }

    /// Whether the approval screens are needed: only for a product that
    /// ships a kernel module, not before 10.13 (major 10), nor when the
    /// module is loaded already.
    bool shouldShowKextMessage();
    /// Whether the installed product ships a kernel module: the module's
    /// bundle (kPelKorvexPath with its Contents/Info.plist) and the helper
    /// that loads it ("/Library/PrivilegedHelperTools/<label>" or the
    /// installer bundle's Contents/Library/LaunchServices/<label>) exist.
    static bool productShipsKernelModule();

    void initializeConnectionToService();
    /// Asks the helper to load the module; `reply` (may be empty) gets the
    /// status once, 2 when the helper cannot be reached or dies first.
    void loadPelKextWithReply(LoadReply reply);
    void shutdownHelper();

    /// Starts watching for the module and the retry timer; reports a module
    /// that is already there (foundService) before it returns. False when
    /// the watch cannot be set up, leaving nothing installed.
    bool observingIOKitService(platform::Error* error);
    void stopObserving();
    static bool findService(platform::Error* error);
    void foundService();

    void loadKextInTimer() { loadPelKextWithReply(nullptr); }
    void startTimer();
    void stopTimer();
    platform::TimerPtr kextLoadTimer() const { return timer_; }
    bool isObserving() const { return observing_; }

  private:
    void requestFailed(const std::shared_ptr<LoadReply>& pending);

    platform::DispatchQueuePtr mainQueue_;
    std::shared_ptr<platform::KernelModuleWatch> watch_;
    KextAssistantXPCClientDelegate* delegate_ = nullptr;
    platform::XpcRemoteConnectionPtr connection_;
    platform::TimerPtr timer_;
    bool observing_ = false;
};
