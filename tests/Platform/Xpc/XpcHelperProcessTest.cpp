// Connections to a real second process: the scriptable fake helper.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "Platform/System/Paths.h"
#include "Platform/Xpc/XpcConnection.h"
#include "support/FakeHelperProcess.h"
#include "support/TempDir.h"
#include "support/XpcEventRecorder.h"

using namespace platform;
using testsupport::FakeHelperProcess;
using testsupport::XpcEventRecorder;

namespace {

constexpr const char* kService = "com.pelgrave.UninstallerToolHelper";

class XpcHelperProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        XpcConnection::setPrivilegedPeerPolicy(
            [uid = getuid()](const XpcPeerCredentials& p) { return p.uid == uid; });
    }
    void TearDown() override { XpcConnection::setPrivilegedPeerPolicy(nullptr); }

    XpcConnectionPtr connect(const std::shared_ptr<XpcEventRecorder>& events) {
        auto c = XpcConnection::createMachService(kService, nullptr, kXpcConnectionPrivileged);
        c->setEventHandler(events->handler());
        c->resume();
        return c;
    }

    testsupport::TempDir temp;
    Paths::ScopedRoot root{temp.path().string()};
};

bool diedOf(const std::optional<int>& status, int signal) {
    return status && WIFSIGNALED(*status) && WTERMSIG(*status) == signal;
}

}  // namespace

TEST_F(XpcHelperProcessTest, ScriptedConversation) {
    FakeHelperProcess helper;
    ASSERT_TRUE(
        helper.start({kService,
                      XpcServiceScope::System,
                      {R"(expect {"PelUninstallType": "501", "PelUninstallProducts": ["a", "b"]})",
                       R"(send {"PelUServerMessageType": "601", "PelUninstallPhaseKey": "800"})",
                       R"(expect-any)", R"(reply {"answer": {"$uint64": 42}})", "wait-close"},
                      std::nullopt}));
    auto events = XpcEventRecorder::create();
    auto client = connect(events);
    XpcObject request = xpcDictionary(
        {{"PelUninstallType", XpcObject::makeString("501")},
         {"PelUninstallProducts",
          XpcObject::makeArray({XpcObject::makeString("a"), XpcObject::makeString("b")})}});
    ASSERT_TRUE(client->send(request));
    ASSERT_TRUE(events->waitForCount(1));
    EXPECT_EQ(*events->events()[0].message().getString("PelUninstallPhaseKey"), "800");
    EXPECT_EQ(events->events()[0].peer().pid, helper.pid());

    auto reply = XpcEventRecorder::create();
    ASSERT_TRUE(client->sendWithReply(xpcDictionary({{"q", XpcObject::makeBool(true)}}), nullptr,
                                      reply->handler()));
    ASSERT_TRUE(reply->waitForCount(1));
    EXPECT_EQ(reply->events()[0].message().getUint64("answer"), 42u);
    client->cancel();

    auto status = helper.wait();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
        << FakeHelperProcess::describeStatus(*status) << helper.errorOutput();
    auto received = helper.receivedMessages();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0], request);
}

TEST_F(XpcHelperProcessTest, HelperKilledWithSigkillGivesInterrupted) {
    FakeHelperProcess helper;
    ASSERT_TRUE(helper.start(
        {kService,
         XpcServiceScope::System,
         {R"(send {"PelUServerMessageType": "600", "PelUninstallPercent": "10"})", "hang"},
         std::nullopt}));
    auto events = XpcEventRecorder::create();
    auto client = connect(events);
    ASSERT_TRUE(events->waitForCount(1));
    auto reply = XpcEventRecorder::create();
    ASSERT_TRUE(client->sendWithReply(xpcDictionary(), nullptr, reply->handler()));

    ASSERT_TRUE(helper.kill(SIGKILL));
    EXPECT_TRUE(diedOf(helper.wait(), SIGKILL));
    ASSERT_TRUE(events->waitForCount(2));
    EXPECT_TRUE(events->events()[1].isInterrupted()) << events->events()[1].errorDescription();
    ASSERT_TRUE(reply->waitForCount(1));
    EXPECT_TRUE(reply->events()[0].isInterrupted());

    // With the helper gone for good, the reconnect of the next send fails.
    client->setConnectTimeout(Duration::zero());
    ASSERT_TRUE(client->send(xpcDictionary()));
    ASSERT_TRUE(events->waitForCount(3));
    EXPECT_TRUE(events->events()[2].isInvalid());
}

TEST_F(XpcHelperProcessTest, LastWordsBeforeACrashArriveBeforeTheInterruption) {
    FakeHelperProcess helper;
    ASSERT_TRUE(helper.start(
        {kService,
         XpcServiceScope::System,
         {"accept", R"(send {"PelUServerMessageType": "603", "PelUninstallStatus": "703"})",
          "crash"},
         std::nullopt}));
    auto events = XpcEventRecorder::create();
    auto client = connect(events);
    EXPECT_TRUE(diedOf(helper.wait(), SIGSEGV)) << helper.errorOutput();
    ASSERT_TRUE(events->waitForCount(2));
    EXPECT_EQ(*events->events()[0].message().getString("PelUninstallStatus"), "703");
    EXPECT_TRUE(events->events()[1].isInterrupted());
    client->cancel();
}

TEST_F(XpcHelperProcessTest, UnmetExpectationEndsTheHelperWithStatus2) {
    FakeHelperProcess helper;
    ASSERT_TRUE(helper.start({kService,
                              XpcServiceScope::System,
                              {R"(expect {"PelUninstallType": "500"})"},
                              std::nullopt}));
    auto events = XpcEventRecorder::create();
    auto client = connect(events);
    // An int64 500 is not the text "500".
    ASSERT_TRUE(client->send(xpcDictionary({{"PelUninstallType", XpcObject::makeInt64(500)}})));
    auto status = helper.wait();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 2)
        << FakeHelperProcess::describeStatus(*status);
    EXPECT_NE(helper.errorOutput().find("expected"), std::string::npos);
    client->cancel();
}

TEST_F(XpcHelperProcessTest, DefaultPolicyRefusesAHelperThatIsNotRoot) {
    XpcConnection::setPrivilegedPeerPolicy(nullptr);
    FakeHelperProcess helper;
    FakeHelperProcess::Options options{kService, XpcServiceScope::System, {"hang"}, std::nullopt};
    if (getuid() == 0) {
        // Let an ordinary user reach the service folder inside the test's root.
        constexpr uid_t kNobody = 65534;
        options.uid = kNobody;
        std::filesystem::path folder = Paths::resolve("/var/run/pelgrave");
        std::filesystem::create_directories(folder);
        ::chmod(temp.path().c_str(), 0755);
        ::chmod(folder.c_str(), 0777);
    }
    ASSERT_TRUE(helper.start(options));
    auto events = XpcEventRecorder::create();
    auto client = connect(events);
    ASSERT_TRUE(events->waitForCount(1));
    EXPECT_TRUE(events->events()[0].isInvalid());
    EXPECT_NE(events->events()[0].errorDescription().find("refused"), std::string::npos)
        << events->events()[0].errorDescription();
}
