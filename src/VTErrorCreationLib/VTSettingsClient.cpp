#include "VTErrorCreationLib/VTSettingsClient.h"

#include "Platform/Dispatch/DistributedNotification.h"
#include "Platform/Dispatch/MainQueue.h"
#include "VTErrorCreationLib/VTLocalSettingsClient.h"
#include "VTErrorCreationLib/VTRemoteSettingsClient.h"

namespace {

std::mutex gNotificationQueueMutex;
platform::DispatchQueuePtr gNotificationQueue;

platform::DispatchQueuePtr notificationQueue() {
    std::lock_guard lock(gNotificationQueueMutex);
    return gNotificationQueue ? gNotificationQueue : platform::mainQueue();
}

}  // namespace

std::shared_ptr<VTSettingsClient> VTSettingsClient::clientWithSettingsFromConfig(
    std::shared_ptr<const VTSCDConfiguration> configuration, platform::Error* error) {
    return VTLocalSettingsClient::initWithConfiguration(std::move(configuration), error);
}

std::shared_ptr<VTSettingsClient> VTSettingsClient::clientWithSettingsFromServerUsingConfiguration(
    std::shared_ptr<const VTSCDConfiguration> configuration, platform::Error* error) {
    return VTRemoteSettingsClient::initWithConfiguration(std::move(configuration), error);
}

VTSettingsClient::VTSettingsClient(std::string className)
    : queue_(platform::SerialQueue::create(std::move(className))) {}

VTSettingsClient::~VTSettingsClient() {
    if (observer_)
        platform::DistributedNotificationCenter::defaultCenter().removeObserver(observer_);
}

bool VTSettingsClient::load(platform::Error*) { return false; }
bool VTSettingsClient::save(platform::Error*) { return false; }

bool VTSettingsClient::updateStats(std::int32_t type,
                                   const std::function<bool(VTSubmissionStats&)>& change,
                                   platform::Error*) {
    auto local = std::dynamic_pointer_cast<VTSettings>(settings());
    return local && local->updateStats(type, change);
}

std::shared_ptr<VTSettingsProtocol> VTSettingsClient::settings() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

void VTSettingsClient::setSettings(std::shared_ptr<VTSettingsProtocol> settings) {
    std::lock_guard lock(mutex_);
    settings_ = std::move(settings);
}

VTSettingsClient::ChangeCallback VTSettingsClient::settingsChangeCallback() const {
    std::lock_guard lock(mutex_);
    return changeCallback_;
}

void VTSettingsClient::setSettingsChangeCallback(ChangeCallback callback) {
    std::lock_guard lock(mutex_);
    changeCallback_ = std::move(callback);
}

platform::NotificationCenter::Handler VTSettingsClient::notificationHandler() {
    std::weak_ptr<VTSettingsClient> weak = weak_from_this();
    return [weak](const platform::Notification& notification) {
        auto self = weak.lock();
        if (!self) return;
        const platform::Value* sender = notification.userInfo.get(VTSettingsClientIDKey);
        // A client's own change is already what it holds.
        if (sender && sender->stringValue() == self->clientID_.UUIDString()) return;
        if (!self->load(nullptr)) return;
        if (auto callback = self->settingsChangeCallback()) callback(self->settings());
    };
}

void VTSettingsClient::setNotificationQueueForTesting(platform::DispatchQueuePtr queue) {
    std::lock_guard lock(gNotificationQueueMutex);
    gNotificationQueue = std::move(queue);
}

void VTSettingsClient::observeChanges() {
    observer_ = platform::DistributedNotificationCenter::defaultCenter().addObserver(
        std::string(VTSettingsChangedNotification), std::nullopt, notificationQueue(),
        notificationHandler());
}

void VTSettingsClient::announceChange() {
    platform::Dictionary userInfo{
        {std::string(VTSettingsClientIDKey), platform::Value(clientID_.UUIDString())}};
    platform::DistributedNotificationCenter::defaultCenter().post(
        std::string(VTSettingsChangedNotification), std::nullopt, userInfo,
        platform::kDistributedNotificationPostToAllSessions);
}
