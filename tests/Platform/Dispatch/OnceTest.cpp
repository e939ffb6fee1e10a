#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Platform/Dispatch/Once.h"

using platform::OnceToken;

TEST(OnceTest, ConcurrentCallersRunTheFunctionOnceAndSeeItsResult) {
    OnceToken token;
    std::atomic<int> calls{0};
    int value = 0;
    std::vector<std::thread> threads;
    std::vector<int> seen(16);
    for (int i = 0; i < 16; ++i) {
        threads.emplace_back([&, i] {
            platform::dispatchOnce(token, [&] {
                calls.fetch_add(1);
                value = 42;
            });
            seen[i] = value;  // the once-function happens before every return
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(calls.load(), 1);
    for (int v : seen) EXPECT_EQ(v, 42);
}

TEST(OnceTest, ThrowLeavesTheTokenUnsetAndResetAllowsAnotherRun) {
    OnceToken token;
    EXPECT_THROW(token.callOnce([] { throw std::runtime_error("first try"); }), std::runtime_error);
    EXPECT_FALSE(token.done());
    int calls = 0;
    token.callOnce([&] { ++calls; });
    token.callOnce([&] { ++calls; });
    EXPECT_EQ(calls, 1);
    token.reset();
    token.callOnce([&] { ++calls; });
    EXPECT_EQ(calls, 2);
}
