#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "Engine/PelULogging.h"
#include "Engine/PelUninstallXPCClient.h"
#include "EngineTestSupport.h"
#include "UninstallRecorder.h"
#include "support/FakeClock.h"
#include "support/FakeHelperProcess.h"

using platform::Dictionary;
using platform::Value;

namespace {

class PelUninstallXPCClientTest : public enginetest::EngineFixture {
  protected:
    PelUninstallXPCClientTest() {
        PelLogChannel::Config config = PelULogging::channelConfig();
        config.copyToStderr = false;
        config.sendToSystemLog = false;
        PelULogging::setChannel(std::make_shared<PelLogChannel>(config));
        client_->setProduct(&delegate_);
    }
    ~PelUninstallXPCClientTest() override {
        client_->cancelInstallTimer();
        client_->closeConnection();
        platform::RunLoop::drainPending();
        PelULogging::setChannel(nullptr);
    }

    bool startHelper(std::vector<std::string> steps) {
        return helper_.start(
            {kPelUninstallHelperLabel, platform::XpcServiceScope::System, std::move(steps), {}});
    }
    void finishHelper() {
        const auto status = helper_.wait();
        ASSERT_TRUE(status) << helper_.errorOutput();
        EXPECT_EQ(*status, 0) << helper_.errorOutput();
    }

    testsupport::ScopedFakeClock clock_;
    std::shared_ptr<PelUninstallXPCClient> client_ = std::make_shared<PelUninstallXPCClient>();
    enginetest::RecordingUninstall delegate_;
    testsupport::FakeHelperProcess helper_;
};

TEST_F(PelUninstallXPCClientTest, RequestsAreTypedAndPhasesReachTheDelegateOnce) {
    ASSERT_TRUE(startHelper(
        {R"(expect {"PelUninstallType": "502", "PelUninstallProducts": ["com.a", "com.b"],
                   "PelUninstall_PreUninstallTools": {"/App.app": "Contents/pre"},
                   "PelUninstall_PostUninstallTools": {"/App.app": "Contents/post"}})",
         // Pre-tools without post-tools go as a plain list.
         R"(expect {"PelUninstallType": "501", "PelUninstallProducts": ["com.a"]})",
         R"(expect {"PelUninstallType": "500", "PelUninstallProduct": "com.c"})",
         R"(send {"PelUServerMessageType": "601", "PelUninstallPhaseKey": "800"})",
         R"(send {"PelUServerMessageType": "601", "PelUninstallPhaseKey": "801", "PelUninstallPackageName": "com.a"})",
         R"(send {"PelUServerMessageType": "601", "PelUninstallPhaseKey": "802", "PelUninstallPhase": "Removed %@ 100%"})",
         R"(send {"PelUServerMessageType": "601", "PelUninstallPhaseKey": "803", "PelUninstallPhase": "x", "PelUninstallPackageName": "com.a"})",
         R"(send {"PelUServerMessageType": "601", "PelUninstallPhaseKey": "899"})",
         R"(send {"reply": "hello"})",
         R"(send {"PelUServerMessageType": "603", "PelUninstallStatus": "705"})",
         R"(send {"PelUServerMessageType": "601", "PelUninstallPhaseKey": "804"})",
         R"(send {"PelUServerMessageType": "603", "PelUninstallStatus": "703"})", "wait-close"}));
    ASSERT_TRUE(client_->PelXPC_CreateMachService(kPelUninstallHelperLabel));
    ASSERT_TRUE(client_->PelXPC_CreateMachService(kPelUninstallHelperLabel));
    EXPECT_FALSE(
        client_->uninstallProducts(std::vector<std::string>{}, Dictionary{}, Dictionary{}));
    ASSERT_TRUE(client_->uninstallProducts(
        std::vector<std::string>{"com.a", "com.b"},
        Dictionary{{"/App.app", Value("Contents/pre")}, {"/bad", Value(3)}},
        Dictionary{{"/App.app", Value("Contents/post")}}));
    ASSERT_TRUE(client_->uninstallProducts(std::vector<std::string>{"com.a"},
                                           Dictionary{{"/App.app", Value("Contents/pre")}},
                                           std::nullopt));
    ASSERT_TRUE(client_->uninstallSetupPackage("com.c"));
    finishHelper();
    ASSERT_TRUE(delegate_.waitForEnd());
    clock_->advance(kPelUninstallWatchdog * 3);
    client_->queue()->sync([] {});
    platform::RunLoop::drainPending();
    EXPECT_EQ(delegate_.calls(),
              (std::vector<std::string>{"started", "package com.a", "report Removed %@ 100% / nil",
                                        "error x / com.a", "ended"}));
    EXPECT_EQ(client_->pelUninstallStatus(), 703);
    EXPECT_FALSE(client_->uninstallSetupPackage("com.c"));  // the connection is closed
}

TEST_F(PelUninstallXPCClientTest, AFailureStatusAloneEndsWithErrorAndCloses) {
    ASSERT_TRUE(startHelper(
        {"expect-any", R"(send {"PelUServerMessageType": "603", "PelUninstallStatus": "702"})",
         "wait-close"}));
    ASSERT_TRUE(client_->PelXPC_CreateMachService(kPelUninstallHelperLabel));
    ASSERT_TRUE(client_->uninstallProducts(std::vector<std::string>{"com.a"}));
    finishHelper();  // the helper saw the client close
    ASSERT_TRUE(delegate_.waitForEnd());
    clock_->advance(kPelUninstallWatchdog * 2);
    client_->queue()->sync([] {});
    platform::RunLoop::drainPending();
    EXPECT_EQ(delegate_.calls(), std::vector<std::string>{"endedWithError"});
    EXPECT_EQ(client_->pelUninstallStatus(), 702);
}

TEST_F(PelUninstallXPCClientTest, OnlyPhasesForThreeMinutesEndsWithErrorOnTheMainThread) {
    ASSERT_TRUE(startHelper(
        {"expect-any", R"(send {"PelUServerMessageType": "603", "PelUninstallStatus": "701"})",
         R"(send {"PelUServerMessageType": "601", "PelUninstallPhaseKey": "800"})", "hang"}));
    ASSERT_TRUE(client_->PelXPC_CreateMachService(kPelUninstallHelperLabel));
    ASSERT_TRUE(client_->uninstallProducts(std::vector<std::string>{"com.a"}));
    ASSERT_TRUE(platform::RunLoop::runUntil([&] { return !delegate_.calls().empty(); }));
    // The status reset the watchdog; the phase did not.
    clock_->advance(kPelUninstallWatchdog - std::chrono::seconds(1));
    client_->queue()->sync([] {});
    platform::RunLoop::drainPending();
    EXPECT_EQ(delegate_.ends(), 0);
    clock_->advance(std::chrono::seconds(2));
    ASSERT_TRUE(delegate_.waitForEnd());
    EXPECT_EQ(delegate_.calls(), (std::vector<std::string>{"started", "endedWithError"}));
    EXPECT_EQ(client_->pelUninstallStatus(), 702);
}

TEST_F(PelUninstallXPCClientTest, NoConnectionSendsNothing) {
    EXPECT_FALSE(client_->uninstallProducts(std::vector<std::string>{"com.a"}));
    EXPECT_FALSE(client_->PelXPC_SendMessageWithReply(platform::XpcObject::makeDictionary()));
    EXPECT_TRUE(PelUninstallXPCClient::createXPCArrayForStrings(std::nullopt).isNull());
    EXPECT_TRUE(PelUninstallXPCClient::createXPCDictionaryFromNSDict(Dictionary{}).isNull());
}

TEST(PelULoggingTest, TextIsWrittenUnformattedToItsOwnFile) {
    testsupport::TempDir dir;
    platform::Paths::ScopedRoot root(dir.file("root"), dir.file("home"));
    PelLogChannel::Config config = PelULogging::channelConfig();
    config.copyToStderr = false;
    config.sendToSystemLog = false;
    config.effectiveUserId = 501;
    PelULogging::setChannel(std::make_shared<PelLogChannel>(config));
    PelULogging::logNoticeMessage("Removed 100%s %@ %n");
    PelULogging::logMessage("dropped", 7);
    PelULogging::logDebugMessage("dropped");
    const std::string path = PelULogging::channel()->logFilePath();
    PelULogging::setChannel(nullptr);
    EXPECT_EQ(path, dir.file("home") + "/Library/Logs/PelUninstall.log");
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("Removed 100%s %@ %n"), std::string::npos) << text.str();
    EXPECT_EQ(text.str().find("dropped"), std::string::npos);
}

}  // namespace
