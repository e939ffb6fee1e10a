#include <gtest/gtest.h>
#include <unistd.h>

#include "Platform/System/Paths.h"
#include "Platform/Xpc/XpcListener.h"
#include "Platform/Xpc/XpcRemoteObject.h"
#include "support/TempDir.h"
#include "support/WaitFlag.h"
#include "support/XpcEventRecorder.h"

using namespace platform;

namespace {

constexpr const char* kService = "com.pelgrave.kexthelper.TLW";
constexpr std::int64_t kSystemPolicy = 0xdc00801b;

XpcRemoteInterface kextHelperInterface() {
    using T = XpcObject::Type;
    return XpcRemoteInterface("KextHelperProtocol",
                              {{"loadKext:withReply:", {T::String}, true, {T::Int64}},
                               {"shutdownHelper", {}, false, {}}});
}

// What a client's calls came to: replies and errors, waited for with bounds.
struct Outcome {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<XpcArray> replies;
    std::vector<Error> errors;

    std::function<void(const XpcArray&)> onReply() {
        return [this](const XpcArray& a) {
            std::lock_guard lock(mutex);
            replies.push_back(a);
            changed.notify_all();
        };
    }
    std::function<void(const Error&)> onError() {
        return [this](const Error& e) {
            std::lock_guard lock(mutex);
            errors.push_back(e);
            changed.notify_all();
        };
    }
    bool waitForAny() {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10),
                                [&] { return !replies.empty() || !errors.empty(); });
    }
};

class XpcRemoteObjectTest : public ::testing::Test {
  protected:
    void SetUp() override {
        XpcConnection::setPrivilegedPeerPolicy(
            [uid = getuid()](const XpcPeerCredentials& p) { return p.uid == uid; });
        exported = XpcExportedObject::create(kextHelperInterface());
        listener = XpcListener::create(kService, XpcServiceScope::System, nullptr);
        ASSERT_TRUE(listener);
        listener->setNewConnectionHandler([this](XpcConnectionPtr peer) {
            {
                std::lock_guard lock(peersMutex);
                peers.push_back(peer);
            }
            exported->serve(peer);
        });
        listener->resume();
        client = XpcRemoteConnection::createMachService(kService, kXpcConnectionPrivileged,
                                                        kextHelperInterface());
        client->resume();
    }
    void TearDown() override {
        client->invalidate();
        listener->cancel();
        std::lock_guard lock(peersMutex);
        for (auto& p : peers) p->cancel();
        XpcConnection::setPrivilegedPeerPolicy(nullptr);
    }

    testsupport::TempDir temp;
    Paths::ScopedRoot root{temp.path().string()};
    std::shared_ptr<XpcExportedObject> exported;
    XpcListenerPtr listener;
    XpcRemoteConnectionPtr client;
    std::mutex peersMutex;
    std::vector<XpcConnectionPtr> peers;
};

}  // namespace

TEST_F(XpcRemoteObjectTest, CallsReachTheExportedObjectAndRepliesComeBack) {
    testsupport::WaitFlag shutdown;
    exported->implement("loadKext:withReply:",
                        [](const XpcArray& args, const XpcExportedObject::Reply& reply) {
                            bool ours = *args[0].asString() == "/Library/Extensions/PelKorvex.kext";
                            reply({XpcObject::makeInt64(ours ? kSystemPolicy : 1)});
                        });
    exported->implement("shutdownHelper",
                        [&](const XpcArray&, const XpcExportedObject::Reply&) { shutdown.set(); });

    Outcome outcome;
    auto proxy = client->remoteObjectProxy(outcome.onError());
    ASSERT_TRUE(proxy.call(
        "loadKext:withReply:", {XpcObject::makeString("/Library/Extensions/PelKorvex.kext")},
        outcome.onReply()));
    ASSERT_TRUE(outcome.waitForAny());
    ASSERT_EQ(outcome.replies.size(), 1u);
    EXPECT_EQ(*outcome.replies[0][0].asInt64(), kSystemPolicy);

    ASSERT_TRUE(proxy.call("shutdownHelper", {}));
    EXPECT_TRUE(shutdown.wait());

    // Calls that do not fit the interface are not sent.
    EXPECT_FALSE(proxy.call("loadKext:withReply:", {XpcObject::makeInt64(1)}, outcome.onReply()));
    EXPECT_FALSE(proxy.call("loadKext:withReply:", {}, outcome.onReply()));
    EXPECT_FALSE(proxy.call("unloadKext", {}));
}

TEST_F(XpcRemoteObjectTest, FailedCallsGoToTheErrorHandlerInsteadOfTheReply) {
    struct Case {
        const char* name;
        XpcExportedObject::Implementation implementation;
        bool cancelClient;
        long code;
    } cases[] = {
        {"reply dropped unanswered", [](const XpcArray&, const XpcExportedObject::Reply&) {}, false,
         kXpcConnectionReplyInvalidError},
        {"reply of the wrong type",
         [](const XpcArray&, const XpcExportedObject::Reply& r) {
             r({XpcObject::makeString("0")});
         },
         false, kXpcConnectionReplyInvalidError},
        {"service went away",
         [this](const XpcArray&, const XpcExportedObject::Reply&) {
             std::lock_guard lock(peersMutex);
             for (auto& p : peers) p->cancel();
         },
         false, kXpcConnectionInterruptedError},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        exported->implement("loadKext:withReply:", c.implementation);
        Outcome outcome;
        auto proxy = client->remoteObjectProxy(outcome.onError());
        ASSERT_TRUE(
            proxy.call("loadKext:withReply:", {XpcObject::makeString("/x")}, outcome.onReply()));
        ASSERT_TRUE(outcome.waitForAny());
        EXPECT_TRUE(outcome.replies.empty());
        ASSERT_EQ(outcome.errors.size(), 1u);
        EXPECT_EQ(outcome.errors[0].domain(), kCocoaErrorDomain);
        EXPECT_EQ(outcome.errors[0].code(), c.code);
        EXPECT_NE(outcome.errors[0].localizedDescription().find(kService), std::string::npos);
    }
}

TEST_F(XpcRemoteObjectTest, InvalidatingFailsPendingCallsAndTellsTheInvalidationHandler) {
    testsupport::WaitFlag called;
    auto held = std::make_shared<std::vector<XpcExportedObject::Reply>>();
    exported->implement("loadKext:withReply:",
                        [&, held](const XpcArray&, const XpcExportedObject::Reply& r) {
                            held->push_back(r);  // answered never, while the client waits
                            called.set();
                        });
    testsupport::WaitFlag invalidated;
    client->setInvalidationHandler([&] { invalidated.set(); });
    Outcome outcome;
    auto proxy = client->remoteObjectProxy(outcome.onError());
    ASSERT_TRUE(
        proxy.call("loadKext:withReply:", {XpcObject::makeString("/x")}, outcome.onReply()));
    ASSERT_TRUE(called.wait());
    client->invalidate();
    ASSERT_TRUE(outcome.waitForAny());
    ASSERT_EQ(outcome.errors.size(), 1u);
    EXPECT_EQ(outcome.errors[0].code(), kXpcConnectionInvalidError);
    EXPECT_TRUE(invalidated.wait());
    EXPECT_FALSE(proxy.call("shutdownHelper", {}));
}

TEST_F(XpcRemoteObjectTest, AClientThatBreaksTheInterfaceIsDisconnected) {
    exported->implement("shutdownHelper", [](const XpcArray&, const XpcExportedObject::Reply&) {});
    testsupport::WaitFlag interrupted;
    client->setInterruptionHandler([&] { interrupted.set(); });
    // Bypass the proxy's checks: arguments where the method takes none.
    ASSERT_TRUE(client->connection()->send(xpcDictionary(
        {{"method", XpcObject::makeString("shutdownHelper")},
         {"arguments", XpcObject::makeArray({XpcObject::makeString("unexpected")})}})));
    EXPECT_TRUE(interrupted.wait());
}
