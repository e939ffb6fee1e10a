#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include "Platform/System/SystemEvents.h"

using ::testing::ElementsAre;

TEST(SessionManagerEventSenderTest, MapsEventsToCommandsAndResults) {
    std::vector<std::vector<std::string>> ran;
    int exitStatus = 0;
    platform::SessionManagerEventSender sender([&](const std::vector<std::string>& argv) {
        ran.push_back(argv);
        return exitStatus;
    });
    const char* session = getenv("XDG_SESSION_ID");
    std::string savedSession = session ? session : "";
    setenv("XDG_SESSION_ID", "c7", 1);

    EXPECT_EQ(sender.send(platform::kSystemEventShutDown), 0);
    EXPECT_EQ(sender.send(platform::kSystemEventRestart), 0);
    EXPECT_EQ(sender.send(platform::kSystemEventLogOut), 0);
    exitStatus = 1;
    EXPECT_EQ(sender.send(platform::kSystemEventRestart), platform::kSystemEventNotHandled);
    exitStatus = -1;
    EXPECT_EQ(sender.send(platform::kSystemEventRestart), platform::kSystemEventNoReceiver);
    EXPECT_EQ(sender.send(0x61626364), platform::kSystemEventNotHandled);
    unsetenv("XDG_SESSION_ID");
    auto outside = platform::SessionManagerEventSender::commandFor(platform::kSystemEventLogOut);
    if (session) setenv("XDG_SESSION_ID", savedSession.c_str(), 1);

    using V = std::vector<std::string>;
    EXPECT_THAT(ran, ElementsAre(V{"systemctl", "poweroff"}, V{"systemctl", "reboot"},
                                 V{"loginctl", "terminate-session", "c7"}, V{"systemctl", "reboot"},
                                 V{"systemctl", "reboot"}));
    EXPECT_THAT(outside, ElementsAre("loginctl", "terminate-user", std::to_string(getuid())));
}
