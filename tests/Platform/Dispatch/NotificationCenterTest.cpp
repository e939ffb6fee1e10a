#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Dispatch/NotificationCenter.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "support/QueueHelpers.h"

using platform::Notification;
using platform::NotificationCenter;
using platform::ObserverToken;
using platform::Value;

TEST(NotificationCenterTest, DeliversByNameAndObjectWithUserInfo) {
    NotificationCenter center;
    std::vector<std::string> got;
    center.addObserver("PelInstallCompleted", std::nullopt, nullptr,
                       [&](const Notification& n) { got.push_back("any:" + n.name); });
    center.addObserver("PelInstallCompleted", Value("silo"), nullptr, [&](const Notification& n) {
        got.push_back("silo:" + *n.userInfo.asDictionary()->at("k").asString());
    });
    center.addObserver("", std::nullopt, nullptr,
                       [&](const Notification& n) { got.push_back("all:" + n.name); });

    center.post("PelInstallCompleted", Value("silo"), Value(platform::Dictionary{{"k", "v"}}));
    center.post("PelInstallCompleted", Value("other"), Value(platform::Dictionary{{"k", "v"}}));
    center.post("Unrelated");
    EXPECT_EQ(got, (std::vector<std::string>{"any:PelInstallCompleted", "silo:v",
                                             "all:PelInstallCompleted", "any:PelInstallCompleted",
                                             "all:PelInstallCompleted", "all:Unrelated"}));
}

TEST(NotificationCenterTest, ObserversAddedOrRemovedDuringAPostAreSafe) {
    NotificationCenter center;
    std::vector<std::string> got;
    ObserverToken second;
    ObserverToken late;
    int owner = 0;
    // The first observer removes itself (as the Restart menu item does) and
    // the second one, and adds a new one; then posts again from inside.
    ObserverToken first = center.addObserver("n", std::nullopt, nullptr, [&](const Notification&) {
        got.push_back("first");
        center.removeObserver(first);
        center.removeObserver(second);
        late = center.addObserver("n", std::nullopt, nullptr,
                                  [&](const Notification&) { got.push_back("late"); });
        center.post("inner");
    });
    second = center.addObserver("n", std::nullopt, nullptr,
                                [&](const Notification&) { got.push_back("second"); });
    center.addObserver(&owner, "n", [&](const Notification&) { got.push_back("owned"); });

    center.post("n");
    EXPECT_EQ(got, (std::vector<std::string>{"first", "owned"}));
    got.clear();
    center.removeObserver(&owner, "n");
    center.removeObserver(first);  // removing twice is harmless
    center.post("n");
    EXPECT_EQ(got, (std::vector<std::string>{"late"}));
}

TEST(NotificationCenterTest, QueuedDeliveryIsDroppedWhenRemovedBeforeItRuns) {
    testsupport::MainQueueGuard guard;
    NotificationCenter center;
    int calls = 0;
    bool onMain = false;
    auto token =
        center.addObserver("n", std::nullopt, platform::mainQueue(), [&](const Notification&) {
            ++calls;
            onMain = platform::isMainThread();
        });
    std::thread poster([&] { center.post("n"); });
    poster.join();
    platform::RunLoop::drainPending();
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(onMain);

    center.post("n");
    center.removeObserver(token);
    platform::RunLoop::drainPending();
    EXPECT_EQ(calls, 1);
}

TEST(NotificationCenterTest, ConcurrentPostsAndRemovalsDoNotRace) {
    NotificationCenter center;
    auto serial = platform::SerialQueue::create("test.notify.serial");
    std::atomic<int> calls{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                auto token = center.addObserver("n", std::nullopt,
                                                (t % 2) ? serial : platform::DispatchQueuePtr(),
                                                [&](const Notification&) { calls.fetch_add(1); });
                center.post("n");
                center.removeObserver(token);
            }
        });
    }
    for (auto& th : threads) th.join();
    testsupport::flushSerialQueue(serial);
    // Each thread's own observer was registered for its own post.
    EXPECT_GE(calls.load(), 400);
}
