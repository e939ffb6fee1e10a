#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "Foundation/PelException.h"

namespace {

using PelException::ExceptionData;
using PelException::LogicError;
using PelException::RuntimeError;

template <class E>
class ExceptionFamilyTest : public ::testing::Test {};
using ExceptionTypes = ::testing::Types<LogicError, RuntimeError>;
TYPED_TEST_SUITE(ExceptionFamilyTest, ExceptionTypes);

TYPED_TEST(ExceptionFamilyTest, CapturesTheStackWhereItIsMade) {
    TypeParam error("broken");
    std::size_t count = 0;
    void* const* frames = error.callStackReturnAddresses(count);
    ASSERT_NE(frames, nullptr);
    EXPECT_GT(count, 1u);
    EXPECT_LE(count, 256u);
    EXPECT_STREQ(error.what(), "broken");
}

TYPED_TEST(ExceptionFamilyTest, KeptPastItsCatchAndThrownAgainWithTypeMessageAndStack) {
    ExceptionData* kept = nullptr;
    std::vector<void*> original;
    try {
        throw TypeParam("kept for later");
    } catch (const ExceptionData& caught) {
        std::size_t count = 0;
        void* const* frames = caught.callStackReturnAddresses(count);
        original.assign(frames, frames + count);
        kept = caught.copyThis();
    }
    ASSERT_NE(kept, nullptr);
    try {
        kept->deleteAndRethrow();
        FAIL() << "deleteAndRethrow returned";
    } catch (const TypeParam& again) {
        EXPECT_STREQ(again.what(), "kept for later");
        std::size_t count = 0;
        void* const* frames = again.callStackReturnAddresses(count);
        EXPECT_EQ(std::vector<void*>(frames, frames + count), original);
    }
}

// Allocation failures for the captured stack.
class FailingFrameAllocator : public ::testing::Test {
  protected:
    static inline std::vector<std::size_t> requests;
    static inline std::size_t failAbove = 0;  // bytes

    static void* allocate(std::size_t bytes) {
        requests.push_back(bytes);
        return bytes > failAbove ? nullptr : std::malloc(bytes);
    }
    void SetUp() override {
        requests.clear();
        previous_ = PelException::setFrameAllocatorForTesting(allocate);
    }
    void TearDown() override { PelException::setFrameAllocatorForTesting(previous_); }

  private:
    PelException::FrameAllocator previous_ = nullptr;
};

TEST_F(FailingFrameAllocator, HalvesTheRoomTwiceThenGoesWithoutAStack) {
    failAbove = 0;
    LogicError error("no memory");
    std::size_t count = 99;
    EXPECT_EQ(error.callStackReturnAddresses(count), nullptr);
    EXPECT_EQ(count, 0u);
    const std::size_t word = sizeof(void*);
    EXPECT_EQ(requests, (std::vector<std::size_t>{256 * word, 128 * word, 64 * word}));

    // A copy of a stackless exception has no stack either.
    ExceptionData* copy = error.copyThis();
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->callStackReturnAddresses(count), nullptr);
    EXPECT_EQ(count, 0u);
    delete copy;
}

TEST_F(FailingFrameAllocator, SettlesForTheRoomItCanGet) {
    failAbove = 64 * sizeof(void*);
    RuntimeError error("little memory");
    std::size_t count = 0;
    EXPECT_NE(error.callStackReturnAddresses(count), nullptr);
    EXPECT_GT(count, 0u);
    EXPECT_LE(count, 64u);
    EXPECT_EQ(requests.size(), 3u);
}

}  // namespace
