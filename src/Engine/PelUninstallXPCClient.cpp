#include "Engine/PelUninstallXPCClient.h"

#include <cstdlib>
#include <mutex>

#include "Engine/PelULogging.h"
#include "Platform/Dispatch/MainQueue.h"

using platform::XpcObject;

namespace {

std::mutex gSharedMutex;
std::shared_ptr<PelUninstallXPCClient> gShared;

// The decimal value of a text; nullopt when it is absent or not a number.
std::optional<long> decimal(const std::string* text) {
    if (!text) return std::nullopt;
    const char* begin = text->c_str();
    char* end = nullptr;
    const long value = std::strtol(begin, &end, 10);
    if (end == begin) return std::nullopt;
    return value;
}

PelUninstallXPCProtocol::Text textOf(const XpcObject& message, std::string_view key) {
    const std::string* text = message.getString(key);
    return text ? PelUninstallXPCProtocol::Text(*text) : std::nullopt;
}

}  // namespace

PelUninstallXPCClient::PelUninstallXPCClient()
    : queue_(platform::SerialQueue::create("com.pelgrave.uninstall.serial.queue")) {}

PelUninstallXPCClient::~PelUninstallXPCClient() {
    if (timer_) timer_->cancel();
    if (connection_) connection_->cancel();
}

std::shared_ptr<PelUninstallXPCClient> PelUninstallXPCClient::sharedXPCClient() {
    std::lock_guard lock(gSharedMutex);
    if (!gShared) gShared = std::make_shared<PelUninstallXPCClient>();
    return gShared;
}

void PelUninstallXPCClient::setSharedXPCClient(std::shared_ptr<PelUninstallXPCClient> client) {
    std::lock_guard lock(gSharedMutex);
    gShared = std::move(client);
}

void PelUninstallXPCClient::setMainQueue(platform::DispatchQueuePtr queue) {
    std::lock_guard lock(mainQueueMutex_);
    mainQueue_ = std::move(queue);
}

platform::DispatchQueuePtr PelUninstallXPCClient::mainQueue() const {
    std::lock_guard lock(mainQueueMutex_);
    return mainQueue_ ? mainQueue_ : platform::mainQueue();
}

bool PelUninstallXPCClient::PelXPC_CreateMachService(const std::string& serviceName) {
    bool ok = false;
    queue_->sync([&] {
        if (connection_) {
            ok = true;
            return;
        }
        auto connection = platform::XpcConnection::createMachService(
            serviceName, queue_, platform::kXpcConnectionPrivileged, nullptr);
        if (!connection) {
            PelULogging::logNoticeMessage("[PelUninstallXPCClient] failed to create connection");
            return;
        }
        connection_ = connection;
        ended_ = false;
        const std::uint64_t generation = ++generation_;
        startTimerOnQueue();
        std::weak_ptr<PelUninstallXPCClient> weak = weak_from_this();
        connection_->setEventHandler([weak, generation](const platform::XpcEvent& event) {
            auto self = weak.lock();
            if (self && self->generation_ == generation) self->handleEvent(event);
        });
        connection_->resume();
        PelULogging::logNoticeMessage("Got a really good connection");
        ok = true;
    });
    return ok;
}

void PelUninstallXPCClient::handleEvent(const platform::XpcEvent& event) {
    if (!event.isError()) {
        handleServerResponse(event.message());
        return;
    }
    if (event.isInterrupted()) {
        // The watchdog ends a conversation whose helper does not come back.
        PelULogging::logNoticeMessage("XPC connection interupted.");
        return;
    }
    PelULogging::logNoticeMessage("XPC connection invalid, releasing.");
    if (connection_) closeConnection();
}

bool PelUninstallXPCClient::PelXPC_SendMessageWithReply(const XpcObject& message) {
    platform::XpcConnectionPtr connection;
    queue_->sync([&] { connection = connection_; });
    if (!connection) return false;
    connection->sendWithReply(message, mainQueue(), [](const platform::XpcEvent&) {});
    return true;
}

bool PelUninstallXPCClient::PelXPC_SendMessage(const XpcObject& message) {
    bool ok = false;
    queue_->sync([&] {
        if (!connection_) return;
        connection_->send(message);
        ok = true;
    });
    return ok;
}

XpcObject PelUninstallXPCClient::createXPCDictionaryFromNSDict(
    const std::optional<platform::Dictionary>& dictionary) {
    if (!dictionary || dictionary->empty()) return XpcObject();
    XpcObject out = XpcObject::makeDictionary();
    for (const auto& [key, value] : *dictionary)
        if (value.isString()) out.setString(key, value.stringValue());
    return out;
}

XpcObject PelUninstallXPCClient::createXPCArrayForStrings(
    const std::optional<std::vector<std::string>>& strings) {
    if (!strings || strings->empty()) return XpcObject();
    XpcObject out = XpcObject::makeArray();
    for (const std::string& text : *strings) out.append(XpcObject::makeString(text));
    return out;
}

bool PelUninstallXPCClient::uninstallProducts(
    const std::optional<std::vector<std::string>>& products,
    const std::optional<platform::Dictionary>& preUninstallTools,
    const std::optional<platform::Dictionary>& postUninstallTools) {
    if (!products || products->empty()) return false;
    if (!postUninstallTools || postUninstallTools->empty()) return uninstallProducts(products);
    XpcObject message = XpcObject::makeDictionary();
    message.setString("PelUninstallType", "502");
    message.set("PelUninstallProducts", createXPCArrayForStrings(products));
    if (XpcObject pre = createXPCDictionaryFromNSDict(preUninstallTools); !pre.isNull())
        message.set("PelUninstall_PreUninstallTools", std::move(pre));
    message.set("PelUninstall_PostUninstallTools",
                createXPCDictionaryFromNSDict(postUninstallTools));
    return PelXPC_SendMessage(message);
}

bool PelUninstallXPCClient::uninstallProducts(
    const std::optional<std::vector<std::string>>& products) {
    if (!products || products->empty()) return false;
    XpcObject message = XpcObject::makeDictionary();
    message.setString("PelUninstallType", "501");
    message.set("PelUninstallProducts", createXPCArrayForStrings(products));
    return PelXPC_SendMessage(message);
}

bool PelUninstallXPCClient::uninstallSetupPackage(const std::optional<std::string>& product) {
    XpcObject message = XpcObject::makeDictionary();
    message.setString("PelUninstallType", "500");
    if (product) message.setString("PelUninstallProduct", *product);
    return PelXPC_SendMessage(message);
}

void PelUninstallXPCClient::handleServerResponse(const XpcObject& message) {
    const auto type = decimal(message.getString("PelUServerMessageType"));
    PelUninstallXPCProtocol* product = product_.load();
    switch (type.value_or(0)) {
        case 600:
            if (message.getString("PelUninstallPercent")) resetUninstallTimer();
            return;
        case 602:
            if (message.getString("PelUninstallCompleteReason")) resetUninstallTimer();
            return;
        case 601: {
            // Phases tell the delegate; they are no sign of life for the watchdog.
            if (!product || ended_) return;
            const auto packageName = textOf(message, "PelUninstallPackageName");
            switch (decimal(message.getString("PelUninstallPhaseKey")).value_or(0)) {
                case kPelUninstallPhaseStarted:
                    product->uninstallStarted();
                    return;
                case kPelUninstallPhasePackage:
                    product->startedUninstallingPackage(packageName);
                    return;
                case kPelUninstallPhaseReport:
                    product->appendToReport(textOf(message, "PelUninstallPhase"), packageName);
                    return;
                case kPelUninstallPhaseError:
                    product->appendError(textOf(message, "PelUninstallPhase"), packageName);
                    return;
                case kPelUninstallPhaseEnded:
                    endWithSuccess();
                    return;
                default:
                    return;
            }
        }
        case 603: {
            const long value = decimal(message.getString("PelUninstallStatus")).value_or(0);
            if (value == kPelUninstallStatusInitial || value == kPelUninstallStatusInProgress) {
                status_ = int(value);
                resetUninstallTimer();
            } else if (value == kPelUninstallStatusFailed || value == kPelUninstallStatusFinished) {
                status_ = int(value);
            }
            const int status = status_.load();
            if (status == kPelUninstallStatusFailed || status == kPelUninstallStatusFinished) {
                if (status == kPelUninstallStatusFinished)
                    endWithSuccess();
                else
                    endWithError();
                cancelInstallTimer();
                closeConnection();
            }
            return;
        }
        default:
            if (auto reply = textOf(message, "reply"))
                PelULogging::logNoticeMessage("Message-Reply:" + *reply);
            return;
    }
}

void PelUninstallXPCClient::endWithSuccess() {
    if (ended_) return;
    ended_ = true;
    if (PelUninstallXPCProtocol* product = product_.load()) product->uninstallEnded();
}

void PelUninstallXPCClient::endWithError() {
    if (ended_) return;
    ended_ = true;
    PelUninstallXPCProtocol* product = product_.load();
    if (!product) return;
    mainQueue()->async([product] { product->uninstallEndedWithError(); });
}

void PelUninstallXPCClient::startUninstallTimer() {
    onQueue([this] { startTimerOnQueue(); });
}

void PelUninstallXPCClient::startTimerOnQueue() {
    if (timer_) timer_->cancel();
    std::weak_ptr<PelUninstallXPCClient> weak = weak_from_this();
    timer_ = platform::Timer::create(queue_, [weak] {
        if (auto self = weak.lock()) self->watchdogFired();
    });
    PelULogging::logNoticeMessage("Starting Timer");
    timer_->start(kPelUninstallWatchdog, kPelUninstallWatchdog, std::chrono::seconds(1));
}

void PelUninstallXPCClient::resetUninstallTimer() {
    onQueue([this] {
        if (!timer_) return;
        PelULogging::logNoticeMessage("Resetting Timer");
        timer_->reset(kPelUninstallWatchdog, kPelUninstallWatchdog, std::chrono::seconds(1));
    });
}

void PelUninstallXPCClient::onQueue(const std::function<void()>& block) {
    if (queue_->isCurrent())
        block();
    else
        queue_->sync(block);
}

void PelUninstallXPCClient::cancelInstallTimer() {
    onQueue([this] {
        if (!timer_) return;
        timer_->cancel();
        timer_ = nullptr;
    });
}

void PelUninstallXPCClient::watchdogFired() {
    if (status_.load() != kPelUninstallStatusFinished) status_ = kPelUninstallStatusFailed;
    cancelInstallTimer();
    closeConnection();
    endWithError();
}

void PelUninstallXPCClient::closeConnection() {
    onQueue([this] {
        if (!connection_) return;
        auto connection = std::move(connection_);
        connection_ = nullptr;
        connection->cancel();
    });
}
