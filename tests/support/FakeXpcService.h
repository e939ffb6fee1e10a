// An in-process service for tests of code that talks to a helper program:
// it listens under a service name (under the current path root), records
// what clients send, answers and sends on request, and can drop its clients
// to make them see an interrupted connection.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Xpc/XpcConnection.h"
#include "Platform/Xpc/XpcListener.h"

namespace testsupport {

class FakeXpcService {
  public:
    struct Received {
        platform::XpcObject message;
        platform::XpcPeerCredentials peer;
        /// The event as delivered, for reply().
        platform::XpcEvent event;
        /// The peer connection that carried it.
        platform::XpcConnectionPtr connection;
    };

    /// Listens for `serviceName` at once (System scope: where privileged
    /// client connections look). Fails the current test when it cannot.
    explicit FakeXpcService(std::string serviceName,
                            platform::XpcServiceScope scope = platform::XpcServiceScope::System);
    ~FakeXpcService();
    FakeXpcService(const FakeXpcService&) = delete;
    FakeXpcService& operator=(const FakeXpcService&) = delete;

    /// The next message from any client, waiting up to `timeout`.
    std::optional<Received> nextMessage(
        std::chrono::milliseconds timeout = std::chrono::seconds(10));
    /// Waits until at least `count` clients have connected in total.
    bool waitForPeers(std::size_t count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));
    /// Waits until no client is connected any more.
    bool waitForNoPeers(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    /// Sends an unsolicited message to the most recent client still connected.
    bool send(const platform::XpcObject& message);
    /// Answers a message that expects a reply.
    bool reply(const Received& request, const platform::XpcObject& reply);
    /// Closes every client connection; their clients see ConnectionInterrupted.
    void dropPeers();
    /// Stops listening (clients then cannot connect); connections stay.
    void stopListening();

    const std::string& socketPath() const { return socketPath_; }

  private:
    // Shared with the handlers, which may still run after the service is gone.
    struct Core {
        std::mutex mutex;
        std::condition_variable changed;
        std::deque<Received> messages;
        std::vector<platform::XpcConnectionPtr> peers;
        std::size_t peersSeen = 0;
    };
    static void accept(const std::shared_ptr<Core>& core, platform::XpcConnectionPtr peer);

    std::string socketPath_;
    platform::XpcListenerPtr listener_;
    std::shared_ptr<Core> core_ = std::make_shared<Core>();
};

}  // namespace testsupport
