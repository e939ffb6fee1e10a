#include "Engine/PelInstallXPCClient.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "Foundation/PelLogging.h"

using platform::XpcObject;

namespace {

std::mutex& sharedMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<PelInstallXPCClient>& sharedInstance() {
    static std::shared_ptr<PelInstallXPCClient> client;
    return client;
}

std::optional<double> finiteNumber(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    const double value = std::strtod(begin, &end);
    if (end == begin || !std::isfinite(value)) return std::nullopt;
    return value;
}

// The decimal value of a status text; 0 when it is not a number.
int statusValue(const std::string* text) {
    if (!text) return 0;
    const char* begin = text->c_str();
    char* end = nullptr;
    const long value = std::strtol(begin, &end, 10);
    if (end == begin || value < INT32_MIN || value > INT32_MAX) return 0;
    return static_cast<int>(value);
}

}  // namespace

PelInstallXPCClient::PelInstallXPCClient()
    : serialQueue_(platform::SerialQueue::create(kPelInstallSerialQueueLabel)) {}

PelInstallXPCClient::~PelInstallXPCClient() {
    if (timer_) timer_->cancel();
    if (connection_) connection_->cancel();
}

std::shared_ptr<PelInstallXPCClient> PelInstallXPCClient::sharedXPCClient() {
    std::lock_guard lock(sharedMutex());
    if (!sharedInstance()) sharedInstance() = std::make_shared<PelInstallXPCClient>();
    return sharedInstance();
}

void PelInstallXPCClient::setSharedXPCClient(std::shared_ptr<PelInstallXPCClient> client) {
    std::lock_guard lock(sharedMutex());
    sharedInstance() = std::move(client);
}

bool PelInstallXPCClient::productResponds(InstallProgressOperation operation) const {
    InstallProgressProtocol* product = product_.load();
    return product && product->conformsToInstallProgressProtocol() &&
           product->respondsTo(operation);
}

bool PelInstallXPCClient::PelXPC_CreateMachService(const std::string& serviceName) {
    bool ok = false;
    serialQueue_->sync([&] {
        if (connection_) {
            ok = true;
            return;
        }
        platform::Error error;
        auto connection = platform::XpcConnection::createMachService(
            serviceName, serialQueue_, platform::kXpcConnectionPrivileged, &error);
        if (!connection) {
            PelLogging::logDebugMessage("[PelInstallXPCClient] failed to create connection");
            return;
        }
        connection_ = connection;
        sessionEnded_ = false;
        cancelledByUs_ = false;
        const std::uint64_t generation = ++generation_;
        startInstallTimer();
        std::weak_ptr<PelInstallXPCClient> weak = weak_from_this();
        connection_->setEventHandler([weak, generation](const platform::XpcEvent& event) {
            auto self = weak.lock();
            if (self && self->generation_ == generation) self->handleEvent(event);
        });
        connection_->resume();
        PelLogging::logDebugMessage("Got a really good connection");
        ok = true;
    });
    return ok;
}

void PelInstallXPCClient::handleEvent(const platform::XpcEvent& event) {
    if (!event.isError()) {
        if (!sessionEnded_) handleServerResponse(event.message());
        return;
    }
    const int finalStatus = status_.load() == kPelInstallStatusCompleted
                                ? kPelInstallStatusCompleted
                                : kPelInstallStatusFailed;
    if (event.isInterrupted()) {
        PelLogging::logNoticeMessage("XPC connection interupted.");
        if (!sessionEnded_) sessionFinished(finalStatus);
        return;
    }
    PelLogging::logNoticeMessage("XPC connection invalid, releasing.");
    // A helper that is absent, refused or gone before its final word ends
    // the session now rather than at the watchdog.
    if (!cancelledByUs_ && !sessionEnded_)
        sessionFinished(finalStatus);
    else
        closeConnection();
}

bool PelInstallXPCClient::PelXPC_SendMessage(const XpcObject& message) {
    bool ok = false;
    serialQueue_->sync([&] {
        if (!connection_) {
            PelLogging::logNoticeMessage("Error occured while sending a message to the server");
            return;
        }
        PelLogging::logDebugMessage("Sending Message");
        ok = connection_->send(message);
        if (!ok)
            PelLogging::logNoticeMessage("Error occured while sending a message to the server");
    });
    return ok;
}

bool PelInstallXPCClient::PelXPC_SendMessageWithReply(const XpcObject& message) {
    platform::XpcConnectionPtr connection;
    serialQueue_->sync([&] { connection = connection_; });
    if (!connection) {
        PelLogging::logDebugMessage(
            "[PelInstallXPCClient] failed to create connection while PelXPC_SendMessageWithReply");
        return false;
    }
    PelLogging::logDebugMessage("Sending Message with Reply");
    return connection->sendWithReply(message, nullptr, [](const platform::XpcEvent& reply) {
        if (!reply.isError())
            PelLogging::logDebugMessage("Got a response");
        else if (reply.isInterrupted())
            PelLogging::logNoticeMessage("XPC connection interupted.");
        else
            PelLogging::logNoticeMessage("XPC connection invalid, releasing.");
    });
}

XpcObject PelInstallXPCClient::createXPCArrayFromArray(const platform::Array& array) {
    if (array.empty()) return XpcObject();
    XpcObject out = XpcObject::makeArray();
    for (const platform::Value& element : array) {
        if (element.isDictionary()) {
            XpcObject package = XpcObject::makeDictionary();
            const platform::Value* name = element.get("pkgName");
            const platform::Value* priority = element.get("pkgPriority");
            const platform::Value* module = element.get("pingModuleID");
            package.setString("pkgName", name ? name->stringValue() : "");
            package.setInt64("pkgPriority",
                             static_cast<std::int32_t>(priority ? priority->int64Value() : 0));
            package.setInt64("pingModuleID",
                             static_cast<std::int32_t>(module ? module->int64Value() : 0));
            out.append(std::move(package));
        } else if (element.isString()) {
            out.append(XpcObject::makeString(element.stringValue()));
        }
    }
    return out;
}

bool PelInstallXPCClient::sendInstallCopyPartnerFile(const std::optional<std::string>& path) {
    XpcObject message = XpcObject::makeDictionary();
    message.setString("PelInstallType", "102");
    message.setString("PelInstallPartnerPath", path.value_or(""));
    return PelXPC_SendMessage(message);
}

bool PelInstallXPCClient::sendInstallSetupPackage(const std::optional<std::string>& path,
                                                  const std::optional<std::string>& target,
                                                  const platform::Array& postInstallTools) {
    if (!path) return false;
    total_ = 1;
    remaining_ = 1;
    XpcObject message = XpcObject::makeDictionary();
    message.setString("PelInstallType", "100");
    message.setString("PelInstallPackage", *path);
    message.setString("PelInstallTarget", target.value_or("/"));
    if (XpcObject tools = createXPCArrayFromArray(postInstallTools); !tools.isNull())
        message.set("PelInstallPostInstallTools", std::move(tools));
    return PelXPC_SendMessage(message);
}

bool PelInstallXPCClient::sendInstallSetupPackages(const std::optional<platform::Array>& packages,
                                                   const std::optional<std::string>& target,
                                                   const platform::Array& postInstallTools) {
    if (!packages) return false;
    total_ = packages->size();
    remaining_ = packages->size();
    XpcObject message = XpcObject::makeDictionary();
    message.setString("PelInstallType", "101");
    if (XpcObject list = createXPCArrayFromArray(*packages); !list.isNull())
        message.set("PelInstallPackages", std::move(list));
    message.setString("PelInstallTarget", target.value_or("/"));
    if (XpcObject tools = createXPCArrayFromArray(postInstallTools); !tools.isNull())
        message.set("PelInstallPostInstallTools", std::move(tools));
    return PelXPC_SendMessage(message);
}

bool PelInstallXPCClient::sendInstallSetupPackages(const std::optional<platform::Array>& packages,
                                                   const platform::Array& postInstallTools) {
    if (!packages || packages->empty()) return false;
    return sendInstallSetupPackages(packages, std::nullopt, postInstallTools);
}

std::optional<double> PelInstallXPCClient::percentString(const std::string& text) const {
    const auto p = finiteNumber(text);
    if (!p) return std::nullopt;
    const std::uint64_t total = total_.load(), remaining = remaining_.load();
    double overall = *p;
    if (total > 0) {
        const std::uint64_t done = total > remaining ? total - remaining : 0;
        overall = double(done * 100 / total) + *p / double(total);
    }
    return std::clamp(overall, 0.0, 100.0);
}

platform::Dictionary PelInstallXPCClient::failureInfo(const XpcObject& message, bool optional) {
    platform::Dictionary info;
    if (optional)
        info["pingModuleID"] =
            platform::Value(static_cast<std::int32_t>(message.getInt64("pingModuleID")));
    info["termStatus"] = platform::Value(static_cast<std::int32_t>(message.getInt64("termStatus")));
    // A record cannot hold a missing text: the key is left out.
    if (const std::string* reason = message.getString("failureReason"))
        info["failureReason"] = platform::Value(*reason);
    if (const std::string* hash = message.getString("md5Hash"))
        info["md5Hash"] = platform::Value(*hash);
    return info;
}

void PelInstallXPCClient::handleServerResponse(const XpcObject& message) {
    const int type = statusValue(message.getString("PelServerMessageType"));
    InstallProgressProtocol* product = product_.load();
    switch (type) {
        case 200: {
            const std::string* text = message.getString("PelInstallPercent");
            if (!text) return;
            resetInstallTimer();
            const auto percent = percentString(*text);
            PelLogging::logDebugMessageWithFormat("PercentString:%f", percent.value_or(0));
            if (percent && productResponds(InstallProgressOperation::installProgressPercent))
                product->installProgressPercent(*percent);
            return;
        }
        case 201: {
            const std::string* text = message.getString("PelInstallPhase");
            if (!text) return;
            resetInstallTimer();
            if (productResponds(InstallProgressOperation::installProgressPhaseString))
                product->installProgressPhaseString(*text);
            return;
        }
        case 202: {
            const std::string* text = message.getString("PelInstallCompleteReason");
            if (!text) return;
            resetInstallTimer();
            if (productResponds(InstallProgressOperation::installCompleteReason))
                product->installCompleteReason(*text);
            return;
        }
        case 203:
            statusStep(message);
            return;
        case 204:
            if (productResponds(InstallProgressOperation::sendInstallFailedPingForOptionalPackage))
                product->sendInstallFailedPingForOptionalPackage(failureInfo(message, true));
            return;
        case 205:
            if (productResponds(
                    InstallProgressOperation::setInstallFailedPingDataForMandatoryPackage))
                product->setInstallFailedPingDataForMandatoryPackage(failureInfo(message, false));
            return;
        default:
            if (const std::string* reply = message.getString("reply"))
                PelLogging::logDebugMessageWithFormat("Message-Reply:%@", *reply);
            return;
    }
}

void PelInstallXPCClient::statusStep(const XpcObject& message) {
    const int value = statusValue(message.getString("PelInstallStatus"));
    switch (value) {
        case 0:
            PelLogging::logDebugMessage(
                "Error occurred while trying to get the InstallStatus from server");
            return;
        case kPelInstallStatusFailed:
        case kPelInstallStatusPackageDone:
        case kPelInstallStatusCompleted:
        case kPelInstallStatusPackageDoneOther:
            status_ = value;
            break;
        case kPelInstallStatusInitial:
        case kPelInstallStatusAlive:
            status_ = value;
            resetInstallTimer();
            break;
        default:
            // Not a status the helper may set (305 included): nothing to act on.
            PelLogging::logDebugMessageWithFormat("PelInstall Status : %d", value);
            return;
    }
    switch (value) {
        case kPelInstallStatusFailed:
            PelLogging::logDebugMessage("Install Failed....Releasing Connection:");
            performClosingOperations();
            return;
        case kPelInstallStatusPackageDone:
        case kPelInstallStatusPackageDoneOther: {
            PelLogging::logNoticeMessageWithFormat(
                "A package installation is complete with status %d", value);
            std::uint64_t remaining = remaining_.load();
            if (remaining > 0) remaining_ = --remaining;
            if (remaining == 0) return;
            const std::uint64_t total = total_.load();
            if (productResponds(InstallProgressOperation::packagesCompleted))
                product_.load()->packagesCompleted(total > remaining ? total - remaining : 0);
            PelLogging::logNoticeMessageWithFormat("There are still remaining %d packages",
                                                   remaining);
            return;
        }
        case kPelInstallStatusCompleted:
            PelLogging::logNoticeMessage("Installation is completed");
            performClosingOperations();
            return;
        default:
            PelLogging::logDebugMessageWithFormat("PelInstall Status : %d", value);
            return;
    }
}

void PelInstallXPCClient::startInstallTimer() {
    std::weak_ptr<PelInstallXPCClient> weak = weak_from_this();
    timer_ = platform::Timer::create(serialQueue_, [weak] {
        auto self = weak.lock();
        if (!self) return;
        PelLogging::logDebugMessage(
            "Installer couldn't complete in certain amount of time.\nSend Install failed and "
            "cleanup");
        if (self->status_.load() != kPelInstallStatusCompleted)
            self->status_ = kPelInstallStatusTimedOut;
        self->sessionFinished(self->status_.load());
    });
    PelLogging::logDebugMessage("Starting Timer");
    timer_->start(kPelInstallWatchdog, std::chrono::seconds(1), std::chrono::seconds(1));
}

void PelInstallXPCClient::resetInstallTimer() {
    if (!timer_) return;
    PelLogging::logDebugMessage("Resetting Timer");
    timer_->reset(kPelInstallWatchdog, std::chrono::seconds(1), std::chrono::seconds(1));
}

void PelInstallXPCClient::cancelInstallTimer() {
    if (!timer_) return;
    timer_->cancel();
    timer_ = nullptr;
}

void PelInstallXPCClient::performClosingOperations() {
    sessionEnded_ = true;
    const bool success = status_.load() == kPelInstallStatusCompleted;
    IFPluginProtocol* plugin = plugin_.load();
    if (plugin && plugin->respondsTo(IFPluginOperation::installCompleteWithDelegate)) {
        plugin->installCompleteWithDelegate(success, this);
    } else {
        if (plugin && plugin->respondsTo(IFPluginOperation::installComplete))
            plugin->installComplete(success);
        pluginFinished(success);
    }
    cancelInstallTimer();
    closeConnection();
}

void PelInstallXPCClient::sessionFinished(int status) {
    sessionEnded_ = true;
    if (productResponds(InstallProgressOperation::installComplete))
        product_.load()->installComplete(status);
    cancelInstallTimer();
    closeConnection();
}

void PelInstallXPCClient::closeConnection() {
    if (!connection_) {
        PelLogging::logNoticeMessage("Error occurred while closing the client connection");
        return;
    }
    cancelledByUs_ = true;
    auto connection = std::move(connection_);
    connection_ = nullptr;
    connection->cancel();
}

void PelInstallXPCClient::abandonSession() {
    serialQueue_->sync([&] {
        sessionEnded_ = true;
        cancelInstallTimer();
        if (connection_) closeConnection();
    });
}

void PelInstallXPCClient::pluginFinished(bool success) {
    if (pluginFinishedOnce_.exchange(true)) return;
    if (!success) status_ = kPelInstallStatusFailed;
    InstallProgressProtocol* product = product_.load();
    if (product && product->conformsToInstallProgressProtocol() &&
        product->respondsTo(InstallProgressOperation::installComplete))
        product->installComplete(status_.load());
}
