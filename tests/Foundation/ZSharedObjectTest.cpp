#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "Foundation/ZCFObject.h"
#include "Foundation/ZSharedObject.h"
#include "Foundation/ZStSharedObject.h"
#include "SharedObjectProbe.h"

namespace {

using testsupport::Probe;

TEST(ZSharedObject, CountsFromOneAndDiesAtZero) {
    Probe::Tracker tracker;
    Probe* object = new Probe(tracker);
    EXPECT_EQ(Probe::countOf(object), 1);
    EXPECT_EQ(object->Attach(), 2);
    EXPECT_TRUE(object->TryAttach());
    EXPECT_EQ(object->Release(), 2);
    EXPECT_EQ(object->Release(), 1);
    EXPECT_EQ(tracker.destroyed, 0);
    EXPECT_EQ(object->Release(), 0);
    EXPECT_EQ(tracker.destroyed, 1);
}

TEST(ZSharedObject, ADyingObjectCannotBeAttached) {
    Probe::Tracker tracker;
    auto* object = new Probe(tracker);
    object->onDestroy = [](Probe* self) {
        // The count has fallen to 0 while the destructor runs.
        EXPECT_FALSE(self->TryAttach());
        EXPECT_EQ(self->Attach(), 0);
        EXPECT_FALSE(self->TryAttach());
    };
    EXPECT_EQ(object->Release(), 0);
    EXPECT_EQ(tracker.destroyed, 1);
}

TEST(ZSharedObject, ConcurrentAttachAndReleaseDestroyOnce) {
    Probe::Tracker tracker;
    auto* object = new Probe(tracker);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([object] {
            for (int i = 0; i < 10000; ++i) {
                if (i % 2) {
                    object->Attach();
                } else {
                    ASSERT_TRUE(object->TryAttach());
                }
                object->Release();
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(Probe::countOf(object), 1);
    object->Release();
    EXPECT_EQ(tracker.destroyed, 1);
}

TEST(ZStSharedObject, HolderReleasesWhatItHolds) {
    struct Case {
        const char* name;
        bool attach;
        int countWhileHeld;
        int countAfter;  // -1: destroyed
    };
    const Case cases[] = {
        {"attaching", true, 2, 1},
        {"adopting", false, 1, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Probe::Tracker tracker;
        auto* object = new Probe(tracker);
        {
            ZStSharedObject holder(object, c.attach);
            EXPECT_EQ(holder.get(), object);
            EXPECT_EQ(Probe::countOf(object), c.countWhileHeld);
        }
        if (c.countAfter < 0) {
            EXPECT_EQ(tracker.destroyed, 1);
        } else {
            EXPECT_EQ(Probe::countOf(object), c.countAfter);
            object->Release();
        }
    }
    ZStSharedObject empty(nullptr, true);  // holds nothing, releases nothing
    EXPECT_EQ(empty.get(), nullptr);
}

struct CountedString {
    static inline int live = 0;
    std::string text;
    explicit CountedString(std::string t) : text(std::move(t)) { ++live; }
    ~CountedString() { --live; }
};

TEST(ZCFObject, RequiredNullThrowsInTypeRef) {
    try {
        ZCFObject<std::string> url(nullptr, true);
        FAIL() << "no exception";
    } catch (const PelException::LogicError& e) {
        EXPECT_STREQ(e.what(), "inTypeRef");
    }
    ZCFObject<std::string> optional(nullptr, false);
    EXPECT_FALSE(optional);
}

TEST(ZCFObject, OwnsAndResetsItsObject) {
    {
        ZCFObject<CountedString> held(new CountedString("a"), true);
        EXPECT_EQ(held->text, "a");
        held.reset(held.get());  // the same object is left alone
        EXPECT_EQ(CountedString::live, 1);
        held.reset(new CountedString("b"));
        EXPECT_EQ(CountedString::live, 1);
        EXPECT_EQ(held->text, "b");
        held.reset(nullptr);
        EXPECT_EQ(CountedString::live, 0);
        held.reset(new CountedString("c"));
    }
    EXPECT_EQ(CountedString::live, 0);
}

}  // namespace
