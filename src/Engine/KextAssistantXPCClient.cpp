#include "Engine/KextAssistantXPCClient.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Engine/PelHardwareUtilities.h"
#include "Foundation/PelLogging.h"
#include "Platform/Dispatch/MainQueue.h"
#include "Platform/System/Bundle.h"
#include "Platform/System/Paths.h"
#include "Platform/System/ServiceManagement.h"

using platform::XpcObject;

platform::XpcRemoteInterface kextHelperInterface() {
    using T = XpcObject::Type;
    return platform::XpcRemoteInterface("KextHelperProtocol",
                                        {{"loadKext:withReply:", {T::String}, true, {T::Int64}},
                                         {"shutdownHelper", {}, false, {}}});
}

KextLoadStatus kextLoadStatusForCode(std::int64_t code) {
    const auto low = static_cast<std::uint32_t>(code);
    if (low == 0) return kKextLoadStatusLoaded;
    if (low == kOSKextReturnSystemPolicy) return kKextLoadStatusNeedsApproval;
    return kKextLoadStatusFailed;
}

KextAssistantXPCClient::KextAssistantXPCClient(platform::DispatchQueuePtr mainQueue,
                                               std::shared_ptr<platform::KernelModuleWatch> watch)
    : mainQueue_(mainQueue ? std::move(mainQueue) : platform::mainQueue()),
      watch_(watch ? std::move(watch) : platform::makeKernelModuleWatch()) {}

KextAssistantXPCClient::~KextAssistantXPCClient() {
    if (timer_) timer_->cancel();
    watch_->stop();
    if (connection_) connection_->invalidate();
}

bool KextAssistantXPCClient::productShipsKernelModule() {
    auto isFile = [](const std::string& path) {
        struct stat st;
        return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    };
    // The product's package put the module in place...
    if (!isFile(platform::Paths::resolve(std::string(kPelKorvexPath) + "/Contents/Info.plist")))
        return false;
    // ...and the helper that loads it is there: installed with the product,
    // or carried in the installer's bundle.
    if (isFile(platform::Paths::resolve(platform::SMHelperToolPath(kKextHelperLabel)))) return true;
    auto bundle = platform::Bundle::mainBundle();
    return bundle &&
           isFile(bundle->bundlePath() + "/Contents/Library/LaunchServices/" + kKextHelperLabel);
}

bool KextAssistantXPCClient::shouldShowKextMessage() {
    if (!productShipsKernelModule()) {
        PelLogging::logDebugMessage("The product ships no kernel module, skipping kext flow");
        return false;
    }
    const auto os = PelHardwareUtilities::sharedHardwareUtilities().currentOS();
    if (!os) {
        PelLogging::logDebugMessage("operatingSystemVersion not found, skipping kext flow");
        return false;
    }
    char* end = nullptr;
    const long major = std::strtol(os->c_str(), &end, 10);
    const long minor = *end == '.' ? std::strtol(end + 1, nullptr, 10) : 0;
    if (major == 10 && minor <= 12) {
        PelLogging::logDebugMessage("lesser macOS version, skipping kext flow");
        return false;
    }
    if (findService(nullptr)) {
        PelLogging::logDebugMessage("Service running, skipping kext flow");
        return false;
    }
    return true;
}

void KextAssistantXPCClient::initializeConnectionToService() {
    connection_ = platform::XpcRemoteConnection::createMachService(
        kKextHelperLabel, platform::kXpcConnectionPrivileged, kextHelperInterface());
    if (connection_) connection_->resume();
}

void KextAssistantXPCClient::requestFailed(const std::shared_ptr<LoadReply>& pending) {
    if (!pending || !*pending) return;
    LoadReply reply = std::move(*pending);
    *pending = nullptr;
    stopTimer();
    stopObserving();
    reply(kKextLoadStatusFailed);
}

void KextAssistantXPCClient::loadPelKextWithReply(LoadReply reply) {
    if (!connection_) initializeConnectionToService();
    if (!connection_) {
        if (reply) reply(kKextLoadStatusFailed);
        return;
    }
    // The request's own token: whichever of reply and error comes first
    // answers the caller, once.
    auto pending = std::make_shared<LoadReply>(std::move(reply));
    std::weak_ptr<KextAssistantXPCClient> weak = weak_from_this();
    auto requestConnection = connection_;
    const auto mainQueue = mainQueue_;
    auto proxy = connection_->remoteObjectProxy(
        [weak, mainQueue, pending, requestConnection](const platform::Error& error) {
            mainQueue->async([weak, pending, requestConnection, error] {
                PelLogging::logNoticeMessageWithFormat("error in connection %@",
                                                       error.localizedDescription());
                auto self = weak.lock();
                if (!self) return;
                if (self->connection_ == requestConnection) self->connection_ = nullptr;
                self->requestFailed(pending);
            });
        });
    const bool sent = proxy.call(
        "loadKext:withReply:", {XpcObject::makeString(kPelKorvexPath)},
        [weak, mainQueue, pending, requestConnection](const platform::XpcArray& arguments) {
            const std::int64_t code =
                arguments.empty() || !arguments[0].asInt64() ? -1 : *arguments[0].asInt64();
            mainQueue->async([weak, pending, requestConnection, code] {
                char hex[16];
                std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(code));
                PelLogging::logNoticeMessage(std::string("Kext Load of PelKorvex returns: ") + hex);
                auto self = weak.lock();
                if (!self) return;
                requestConnection->invalidate();
                if (self->connection_ == requestConnection) self->connection_ = nullptr;
                const KextLoadStatus status = kextLoadStatusForCode(code);
                if (status == kKextLoadStatusFailed) {
                    self->stopTimer();
                    self->stopObserving();
                    self->shutdownHelper();
                }
                if (*pending) {
                    LoadReply reply = std::move(*pending);
                    *pending = nullptr;
                    reply(status);
                }
            });
        });
    if (!sent) {
        if (connection_ == requestConnection) connection_ = nullptr;
        requestFailed(pending);
    }
}

void KextAssistantXPCClient::shutdownHelper() {
    if (!connection_) initializeConnectionToService();
    if (!connection_) return;
    std::weak_ptr<KextAssistantXPCClient> weak = weak_from_this();
    auto requestConnection = connection_;
    const auto mainQueue = mainQueue_;
    auto proxy = connection_->remoteObjectProxy(
        [weak, mainQueue, requestConnection](const platform::Error& error) {
            mainQueue->async([weak, requestConnection, error] {
                PelLogging::logNoticeMessageWithFormat("error in connection %@",
                                                       error.localizedDescription());
                if (auto self = weak.lock(); self && self->connection_ == requestConnection)
                    self->connection_ = nullptr;
            });
        });
    proxy.call("shutdownHelper", {});
}

bool KextAssistantXPCClient::observingIOKitService(platform::Error* error) {
    // A second observation replaces the first.
    stopObserving();
    std::weak_ptr<KextAssistantXPCClient> weak = weak_from_this();
    if (!watch_->start(
            kPelKorvexService, mainQueue_,
            [weak] {
                if (auto self = weak.lock()) self->foundService();
            },
            error)) {
        stopObserving();
        return false;
    }
    observing_ = true;
    startTimer();
    if (watch_->isLoaded(kPelKorvexService)) foundService();
    return true;
}

void KextAssistantXPCClient::stopObserving() {
    watch_->stop();
    observing_ = false;
}

bool KextAssistantXPCClient::findService(platform::Error*) {
    return platform::makeKernelModuleWatch()->isLoaded(kPelKorvexService);
}

void KextAssistantXPCClient::foundService() {
    if (!observing_) return;
    stopTimer();
    stopObserving();
    shutdownHelper();
    if (delegate_) delegate_->preferenceUpdated();
}

void KextAssistantXPCClient::startTimer() {
    if (timer_) return;
    std::weak_ptr<KextAssistantXPCClient> weak = weak_from_this();
    timer_ = platform::Timer::create(mainQueue_, [weak] {
        if (auto self = weak.lock()) self->loadKextInTimer();
    });
    timer_->start(kKextLoadRetryInterval, kKextLoadRetryInterval);
}

void KextAssistantXPCClient::stopTimer() {
    if (!timer_) return;
    timer_->cancel();
    timer_ = nullptr;
}
