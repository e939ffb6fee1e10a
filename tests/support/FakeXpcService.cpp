#include "support/FakeXpcService.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace platform;

namespace testsupport {

FakeXpcService::FakeXpcService(std::string serviceName, XpcServiceScope scope) {
    Error error;
    listener_ = XpcListener::create(serviceName, scope, nullptr, &error);
    if (!listener_) {
        ADD_FAILURE() << "cannot listen for " << serviceName << ": " << error.description()
                      << (error.underlyingError() ? " " + error.underlyingError()->description()
                                                  : "");
        return;
    }
    socketPath_ = listener_->socketPath();
    listener_->setNewConnectionHandler(
        [core = core_](XpcConnectionPtr peer) { accept(core, std::move(peer)); });
    listener_->resume();
}

FakeXpcService::~FakeXpcService() {
    if (listener_) listener_->cancel();
    std::vector<XpcConnectionPtr> peers;
    {
        std::lock_guard lock(core_->mutex);
        peers.swap(core_->peers);
    }
    for (auto& p : peers) p->cancel();
}

void FakeXpcService::accept(const std::shared_ptr<Core>& core, XpcConnectionPtr peer) {
    std::weak_ptr<XpcConnection> weak = peer;
    std::weak_ptr<Core> weakCore = core;
    peer->setEventHandler([weakCore, weak](const XpcEvent& event) {
        auto core = weakCore.lock();
        if (!core) return;
        auto connection = weak.lock();
        std::lock_guard lock(core->mutex);
        if (event.isError()) {
            core->peers.erase(std::remove(core->peers.begin(), core->peers.end(), connection),
                              core->peers.end());
        } else {
            core->messages.push_back({event.message(), event.peer(), event, connection});
        }
        core->changed.notify_all();
    });
    {
        std::lock_guard lock(core->mutex);
        core->peers.push_back(peer);
        ++core->peersSeen;
        core->changed.notify_all();
    }
    peer->resume();
}

std::optional<FakeXpcService::Received> FakeXpcService::nextMessage(
    std::chrono::milliseconds timeout) {
    std::unique_lock lock(core_->mutex);
    if (!core_->changed.wait_for(lock, timeout, [&] { return !core_->messages.empty(); }))
        return std::nullopt;
    Received r = std::move(core_->messages.front());
    core_->messages.pop_front();
    return r;
}

bool FakeXpcService::waitForPeers(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(core_->mutex);
    return core_->changed.wait_for(lock, timeout, [&] { return core_->peersSeen >= count; });
}

bool FakeXpcService::waitForNoPeers(std::chrono::milliseconds timeout) {
    std::unique_lock lock(core_->mutex);
    return core_->changed.wait_for(lock, timeout, [&] { return core_->peers.empty(); });
}

bool FakeXpcService::send(const XpcObject& message) {
    XpcConnectionPtr peer;
    {
        std::lock_guard lock(core_->mutex);
        if (core_->peers.empty()) return false;
        peer = core_->peers.back();
    }
    return peer->send(message);
}

bool FakeXpcService::reply(const Received& request, const XpcObject& reply) {
    return request.connection && request.connection->reply(request.event, reply);
}

void FakeXpcService::dropPeers() {
    std::vector<XpcConnectionPtr> peers;
    {
        std::lock_guard lock(core_->mutex);
        peers.swap(core_->peers);
        core_->changed.notify_all();
    }
    for (auto& p : peers) p->cancel();
}

void FakeXpcService::stopListening() {
    if (listener_) listener_->cancel();
}

}  // namespace testsupport
