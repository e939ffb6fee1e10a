#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/Dispatch/DistributedNotification.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/System/Paths.h"
#include "support/QueueHelpers.h"
#include "support/TempDir.h"

using namespace platform;

namespace {

std::span<const std::uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(DistributedNotificationWire, OnlyWellFormedNotificationsAreRead) {
    Notification sent{"com.example.changed", Value("sender"),
                      Value(Dictionary{{"VTClientID", Value("ABC")}, {"n", Value(3)}})};
    auto wire = encodeDistributedNotification(sent);
    ASSERT_TRUE(wire);
    auto read = decodeDistributedNotification(bytesOf(*wire));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->name, sent.name);
    EXPECT_EQ(read->object, sent.object);
    EXPECT_EQ(read->userInfo, sent.userInfo);

    const char* malformed[] = {
        "",
        "not json",
        "[1,2]",
        R"({"object":null,"userInfo":{}})",
        R"({"name":"","userInfo":{}})",
        R"({"name":5})",
        R"({"name":"n","object":7})",
        R"({"name":"n","userInfo":[]})",
    };
    for (const char* text : malformed) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(decodeDistributedNotification(bytesOf(text)));
    }
    std::string huge = R"({"name":"n","userInfo":{"k":")" +
                       std::string(kMaxDistributedNotificationSize, 'x') + "\"}}";
    EXPECT_FALSE(decodeDistributedNotification(bytesOf(huge)));
    EXPECT_FALSE(encodeDistributedNotification(
        {"n", Value(),
         Value(Dictionary{{"k", Value(std::string(kMaxDistributedNotificationSize, 'x'))}})}));
    EXPECT_FALSE(
        encodeDistributedNotification({"n", Value(), Value(Dictionary{{"d", Value(Data{1})}})}))
        << "data has no wire form";
}

// Collects notifications on a queue of its own.
struct Collector {
    std::shared_ptr<SerialQueue> queue = SerialQueue::create("collector");
    testsupport::Event arrived;
    std::mutex mutex;
    std::vector<Notification> received;

    NotificationCenter::Handler handler() {
        return [this](const Notification& n) {
            {
                std::lock_guard lock(mutex);
                received.push_back(n);
            }
            arrived.notify();
        };
    }
};

TEST(DistributedNotificationCenter, ObserversGetWhatTheyAskFor) {
    testsupport::TempDir temp;
    Paths::ScopedRoot root(temp.path().string());
    DistributedNotificationCenter center;
    Collector any, byObject;
    auto t1 = center.addObserver("changed", std::nullopt, any.queue, any.handler());
    auto t2 =
        center.addObserver("changed", std::string("mine"), byObject.queue, byObject.handler());
    ASSERT_TRUE(std::filesystem::exists(DistributedNotificationCenter::folder()));

    ASSERT_TRUE(center.post("changed", std::string("other"), {{"k", Value("v")}},
                            kDistributedNotificationPostToAllSessions));
    ASSERT_TRUE(center.post("changed", std::string("mine"), {}, 0));
    ASSERT_TRUE(center.post("unrelated", std::nullopt, {}, 0));
    ASSERT_TRUE(any.arrived.waitFor(2));
    ASSERT_TRUE(byObject.arrived.waitFor(1));

    center.removeObserver(t1);
    ASSERT_TRUE(center.post("changed", std::string("mine"), {}, 0));
    ASSERT_TRUE(byObject.arrived.waitFor(2));
    testsupport::flushSerialQueue(any.queue);
    std::lock_guard lock(any.mutex);
    ASSERT_EQ(any.received.size(), 2u) << "nothing after removal, nothing of another name";
    EXPECT_EQ(any.received[0].userInfo, Value(Dictionary{{"k", Value("v")}}));
    center.removeObserver(t2);
}

TEST(DistributedNotificationCenter, SocketsOfGoneProcessesAreCleanedUp) {
    testsupport::TempDir temp;
    Paths::ScopedRoot root(temp.path().string());
    DistributedNotificationCenter center;
    Collector c;
    auto token = center.addObserver("n", std::nullopt, c.queue, c.handler());
    // A socket file whose process has gone: bound, then closed.
    std::string stale = DistributedNotificationCenter::folder() + "/99999999-0.sock";
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, stale.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(fd);

    ASSERT_TRUE(center.post("n", std::nullopt, {}, 0));
    EXPECT_TRUE(c.arrived.waitFor(1));
    EXPECT_FALSE(std::filesystem::exists(stale));
    center.removeObserver(token);
}

// The folder shared with the child process of the test below.
constexpr const char* kSharedRootVariable = "PEL_TEST_NOTIFICATION_ROOT";

TEST(DistributedNotificationCenterDeathTest, NotificationsReachOtherProcesses) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The child runs this test again from the start: it must find the same
    // root, so the parent names it in the environment.
    std::unique_ptr<testsupport::TempDir> temp;
    std::string rootPath;
    if (const char* shared = std::getenv(kSharedRootVariable)) {
        rootPath = shared;
    } else {
        temp = std::make_unique<testsupport::TempDir>();
        rootPath = temp->path().string();
        setenv(kSharedRootVariable, rootPath.c_str(), 1);
    }
    Paths::ScopedRoot root(rootPath);
    Collector c;
    auto token = DistributedNotificationCenter::defaultCenter().addObserver(
        "cross-process", std::nullopt, c.queue, c.handler());

    EXPECT_EXIT(
        {
            bool posted = DistributedNotificationCenter::defaultCenter().post(
                "cross-process", std::nullopt, {{"pid", Value(static_cast<long long>(getpid()))}},
                kDistributedNotificationPostToAllSessions);
            _exit(posted ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    unsetenv(kSharedRootVariable);

    ASSERT_TRUE(c.arrived.waitFor(1));
    DistributedNotificationCenter::defaultCenter().removeObserver(token);
    testsupport::flushSerialQueue(c.queue);
    std::lock_guard lock(c.mutex);
    ASSERT_FALSE(c.received.empty());
    const Value* pid = c.received.front().userInfo.get("pid");
    ASSERT_TRUE(pid);
    EXPECT_NE(pid->int64Value(), getpid()) << "posted by the other process";
}

}  // namespace
