#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <thread>

#include "Engine/KextAssistantXPCClient.h"
#include "Platform/System/Paths.h"
#include "Platform/Xpc/XpcRemoteObject.h"
#include "kexthelper/KextHelperService.h"
#include "support/TempDir.h"

namespace {

using namespace platform;

// A helper that serves many short connections forgets each when it ends:
// its table holds the live ones only.
TEST(KextHelperServiceTest, ManyShortConnectionsLeaveABoundedTable) {
    testsupport::TempDir dir;
    Paths::ScopedRoot root(dir.file("root"));
    XpcConnection::setPrivilegedPeerPolicy(
        [uid = geteuid()](const XpcPeerCredentials& peer) { return peer.uid == uid; });
    kexthelper::KextHelperService service(0);
    Error error;
    ASSERT_TRUE(service.start(&error)) << error.description();

    constexpr int kConnections = 200;
    std::size_t most = 0;
    for (int i = 0; i < kConnections; ++i) {
        auto connection = XpcRemoteConnection::createMachService(
            kKextHelperLabel, kXpcConnectionPrivileged, kextHelperInterface());
        ASSERT_TRUE(connection);
        connection->resume();
        auto answer = std::make_shared<std::promise<std::int64_t>>();
        connection->remoteObjectProxy(nullptr).call(
            "loadKext:withReply:", {XpcObject::makeString("/Library/Extensions/Other.kext")},
            [answer](const XpcArray& reply) {
                answer->set_value(reply.empty() || !reply[0].asInt64() ? -1 : *reply[0].asInt64());
            });
        auto answered = answer->get_future();
        ASSERT_EQ(answered.wait_for(std::chrono::seconds(20)), std::future_status::ready)
            << "no answer to call " << i;
        EXPECT_EQ(answered.get(), EINVAL);
        connection->invalidate();
        most = std::max(most, service.connectionCount());
    }
    // The ends arrive on the connections' own queues; wait for the last.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (service.connectionCount() != 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(service.connectionCount(), 0u);
    EXPECT_LT(most, std::size_t(kConnections / 2));
    service.finish();
    XpcConnection::setPrivilegedPeerPolicy(nullptr);
}

}  // namespace
