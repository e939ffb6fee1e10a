#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "Foundation/PelGenericUtils.h"
#include "Foundation/PelLogging.h"
#include "Platform/System/Paths.h"
#include "support/TempDir.h"

using ::testing::ElementsAre;

TEST(PelGenericUtilsTest, WithoutASenderNothingIsSent) {
    testsupport::TempDir dir;
    platform::Paths::ScopedRoot root(dir.path().string(), dir.file("home"));
    PelLogChannel::Config config = PelLogging::installChannelConfig();
    config.copyToStderr = config.sendToSystemLog = false;
    config.effectiveUserId = 501;
    PelLogging::setSharedChannel(std::make_shared<PelLogChannel>(config));

    auto& utils = PelGenericUtils::sharedGenUtils();
    ASSERT_EQ(utils.systemEventSender(), nullptr);
    EXPECT_EQ(utils.performRestart(), platform::kSystemEventNoReceiver);
    PelLogging::setSharedChannel(nullptr);
    std::ifstream log(dir.file("home/Library/Logs/PelInstall.log"));
    std::string line;
    std::getline(log, line);
    EXPECT_THAT(line, ::testing::HasSubstr(
                          "no system-event sender is installed; event 0x72657374 not sent"));
}

TEST(PelGenericUtilsTest, RequestsReachTheInstalledSender) {
    auto& utils = PelGenericUtils::sharedGenUtils();
    auto recorder = std::make_shared<platform::RecordingEventSender>();
    utils.setSystemEventSender(recorder);
    EXPECT_EQ(utils.performShutdown(), 0);
    EXPECT_EQ(utils.performRestart(), 0);
    EXPECT_EQ(utils.performLogout(), 0);
    utils.setSystemEventSender(nullptr);
    EXPECT_THAT(recorder->events(), ElementsAre(0x73687574u, 0x72657374u, 0x6C6F676Fu));

    auto refusing =
        std::make_shared<platform::RecordingEventSender>(platform::kSystemEventNotHandled);
    utils.setSystemEventSender(refusing);
    EXPECT_EQ(utils.performLogout(), platform::kSystemEventNotHandled);
    utils.setSystemEventSender(nullptr);
}
