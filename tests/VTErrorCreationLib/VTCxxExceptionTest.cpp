#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Foundation/PelException.h"
#include "Platform/Values/Exception.h"
#include "VTErrorCreationLib/VTCxxException.h"
#include "VTErrorCreationLib/VTCxxExceptionWrapperException.h"

// The throwing functions are exported (the test program is linked with
// ENABLE_EXPORTS), so that a return address can be named with dladdr.
extern "C" {
__attribute__((noinline)) void vtTestThrowRuntimeError() { throw std::runtime_error("boom T"); }
__attribute__((noinline)) void vtTestThrowCString() { throw "a C string"; }
__attribute__((noinline)) void vtTestThrowInt() { throw 7; }
__attribute__((noinline)) void vtTestThrowStdString() { throw std::string("a string object"); }
__attribute__((noinline)) void vtTestThrowPlatformException() {
    throw platform::Exception(std::string(platform::kGenericException), "platform reason");
}
__attribute__((noinline)) void vtTestThrowAndCatchEarlier() {
    try {
        throw std::runtime_error("caught long ago");
    } catch (const std::exception&) {
    }
}
__attribute__((noinline)) void vtTestMakeFoundationError(std::exception_ptr* out) {
    *out = std::make_exception_ptr(PelException::RuntimeError("made on another thread"));
}
}

namespace {

// The exported function that holds a return address (looked up one byte
// before it, as a call at the very end of a function returns past it).
std::string functionAt(std::uint64_t returnAddress) {
    Dl_info info{};
    if (returnAddress == 0 || !dladdr(reinterpret_cast<void*>(returnAddress - 1), &info) ||
        !info.dli_sname)
        return "?";
    return info.dli_sname;
}

// What the reporting handlers of the child processes print.
void printingHandler(VTCxxExceptionInfo* info) {
    std::fprintf(
        stderr, "handler1 name=%s desc=%s first=%s frames=%u\n", info->name ? info->name : "<none>",
        info->description ? info->description : "<none>",
        info->frameCount ? functionAt(info->frames[0]).c_str() : "<none>", info->frameCount);
    int earlier = 0;
    for (std::uint32_t i = 0; i < info->frameCount; ++i) {
        std::string function = functionAt(info->frames[i]);
        std::fprintf(stderr, "frame %s\n", function.c_str());
        if (function == "vtTestThrowAndCatchEarlier") ++earlier;
    }
    std::fprintf(stderr, "frames in the earlier throw: %d\n", earlier);
    std::fflush(stderr);
}
void secondHandler(VTCxxExceptionInfo*) {
    std::fprintf(stderr, "handler2\n");
    std::fflush(stderr);
}
void exitingHandler(VTCxxExceptionInfo*) { _exit(3); }

// The death tests' statements run inside a catch-all of the test framework,
// so each exception is left to escape a thread of its own.
template <class F>
void uncaught(F statement) {
    std::thread(std::move(statement)).join();
}

void runUncaught(void (*thrower)()) {
    VTUncaughtCxxExceptionHandlerManager::addCxxExceptionHandler(printingHandler);
    VTUncaughtCxxExceptionHandlerManager::addCxxExceptionHandler(secondHandler);
    uncaught(thrower);
}

class VTCxxExceptionDeathTest : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

struct UncaughtCase {
    const char* title;
    void (*thrower)();
    const char* expected;  // regex over the child's error output
};

TEST_F(VTCxxExceptionDeathTest, UncaughtExceptionsReachTheHandlersWithTheThrowSite) {
    const UncaughtCase cases[] = {
        {"runtime error", vtTestThrowRuntimeError,
         "handler1 name=St13runtime_error desc=boom T first=vtTestThrowRuntimeError "
         "frames=[1-9][0-9]*\n(frame [^\n]*\n)*frames in the earlier throw: 0\nhandler2\n"},
        {"C string", vtTestThrowCString,
         "handler1 name=PKc desc=a C string first=vtTestThrowCString .*handler2"},
        {"integer", vtTestThrowInt, "handler1 name=i desc=<none> first=vtTestThrowInt .*handler2"},
        {"string object", vtTestThrowStdString,
         "desc=a string object first=vtTestThrowStdString .*handler2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        EXPECT_EXIT(runUncaught(c.thrower), ::testing::KilledBySignal(SIGABRT), c.expected);
    }
}

TEST_F(VTCxxExceptionDeathTest, PlatformExceptionsSkipTheHandlers) {
    // A handler that ran would end the child with status 3 instead.
    EXPECT_EXIT(
        {
            VTUncaughtCxxExceptionHandlerManager::addCxxExceptionHandler(exitingHandler);
            uncaught(vtTestThrowPlatformException);
        },
        ::testing::KilledBySignal(SIGABRT), "platform::Exception");
}

TEST_F(VTCxxExceptionDeathTest, ARecordOfAnEarlierCaughtThrowIsNotReported) {
    // The uncaught exception is thrown inside the C++ runtime, which the hook
    // does not see; the thread's record still holds the caught throw.
    EXPECT_EXIT(
        {
            VTUncaughtCxxExceptionHandlerManager::addCxxExceptionHandler(printingHandler);
            uncaught([] {
                vtTestThrowAndCatchEarlier();
                std::vector<int> empty;
                (void)empty.at(3);
            });
        },
        ::testing::KilledBySignal(SIGABRT),
        "name=St12out_of_range .*frames in the earlier throw: 0\n");
}

TEST_F(VTCxxExceptionDeathTest, FoundationErrorsWithoutARecordBringTheirOwnStack) {
    // Made and rethrown on another thread than the one it ends: no record
    // belongs to it, so the stack it captured when made is reported.
    EXPECT_EXIT(
        {
            VTUncaughtCxxExceptionHandlerManager::addCxxExceptionHandler(printingHandler);
            std::exception_ptr error;
            std::thread([&] { vtTestMakeFoundationError(&error); }).join();
            uncaught([&] { std::rethrow_exception(error); });
        },
        ::testing::KilledBySignal(SIGABRT),
        "name=N12PelException12RuntimeErrorE desc=made on another thread .*"
        "frame vtTestMakeFoundationError\n");
}

TEST(VTCxxException, WithoutHandlersThrowsAreNotRecorded) {
    const VTThrowRecord* seen = reinterpret_cast<const VTThrowRecord*>(1);
    std::thread([&] {
        try {
            vtTestThrowRuntimeError();
        } catch (const std::runtime_error&) {
        }
        seen = VTCurrentThreadThrowRecord();
    }).join();
    EXPECT_EQ(seen, nullptr);
}

TEST(VTCxxException, WithAHandlerEachThrowRecordsItsObjectAndStack) {
    VTUncaughtCxxExceptionHandlerManager::addCxxExceptionHandler(secondHandler);
    std::string firstFrame;
    std::string secondThrowFrame;
    bool objectMatches = false;
    std::thread([&] {
        try {
            vtTestThrowRuntimeError();
        } catch (const std::runtime_error& e) {
            const VTThrowRecord* record = VTCurrentThreadThrowRecord();
            ASSERT_NE(record, nullptr);
            ASSERT_GT(record->frameCount, 1);
            objectMatches = record->thrownObject == static_cast<const void*>(&e) &&
                            *record->thrownType == typeid(std::runtime_error);
            firstFrame = functionAt(record->frames[1]);
        }
        try {
            vtTestThrowInt();
        } catch (int) {
            const VTThrowRecord* record = VTCurrentThreadThrowRecord();
            if (record && record->frameCount > 1) secondThrowFrame = functionAt(record->frames[1]);
        }
    }).join();
    VTUncaughtCxxExceptionHandlerManager::removeCxxExceptionHandler(secondHandler);
    EXPECT_TRUE(objectMatches);
    EXPECT_EQ(firstFrame, "vtTestThrowRuntimeError");
    EXPECT_EQ(secondThrowFrame, "vtTestThrowInt");
}

void otherTerminateHandler() { std::abort(); }
void yetAnotherTerminateHandler() { std::abort(); }

TEST(VTCxxException, RemovingTheLastHandlerPutsTheEarlierTerminateHandlerBack) {
    std::terminate_handler original = std::set_terminate(otherTerminateHandler);

    VTUncaughtCxxExceptionHandlerManager::addCxxExceptionHandler(secondHandler);
    VTUncaughtCxxExceptionHandlerManager::addCxxExceptionHandler(secondHandler);
    EXPECT_NE(std::get_terminate(), otherTerminateHandler);
    VTUncaughtCxxExceptionHandlerManager::removeCxxExceptionHandler(secondHandler);
    EXPECT_NE(std::get_terminate(), otherTerminateHandler) << "one registration is left";
    VTUncaughtCxxExceptionHandlerManager::removeCxxExceptionHandler(secondHandler);
    EXPECT_EQ(std::get_terminate(), otherTerminateHandler);

    // A handler installed over the library's stays when the list empties.
    VTUncaughtCxxExceptionHandlerManager::addCxxExceptionHandler(secondHandler);
    std::set_terminate(yetAnotherTerminateHandler);
    VTUncaughtCxxExceptionHandlerManager::removeCxxExceptionHandler(secondHandler);
    EXPECT_EQ(std::get_terminate(), yetAnotherTerminateHandler);
    // The library's part has ended: no throw is recorded, and the next
    // handler installs the library's terminate handler again.
    const VTThrowRecord* seen = reinterpret_cast<const VTThrowRecord*>(1);
    std::thread([&] {
        try {
            vtTestThrowRuntimeError();
        } catch (const std::runtime_error&) {
        }
        seen = VTCurrentThreadThrowRecord();
    }).join();
    EXPECT_EQ(seen, nullptr);
    VTUncaughtCxxExceptionHandlerManager::addCxxExceptionHandler(secondHandler);
    EXPECT_NE(std::get_terminate(), yetAnotherTerminateHandler);
    VTUncaughtCxxExceptionHandlerManager::removeCxxExceptionHandler(secondHandler);
    EXPECT_EQ(std::get_terminate(), yetAnotherTerminateHandler);

    std::set_terminate(original);
}

TEST(VTCxxExceptionWrapperException, ShowsTheRecordAsAPlatformException) {
    std::uint64_t frames[] = {0x1000, 0x2000, 0x3000};
    struct Case {
        const char* name;
        const char* description;
        const char* expectedName;
        const char* expectedReason;
    } cases[] = {
        {"St13runtime_error", "boom", "std::runtime_error", "boom"},
        {"not a mangled name", nullptr, "not a mangled name", ""},
        {nullptr, nullptr, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expectedName);
        VTCxxExceptionInfo info{nullptr, c.name, c.description, frames, 3};
        VTCxxExceptionWrapperException wrapper(&info);
        EXPECT_EQ(wrapper.name(), c.expectedName);
        EXPECT_EQ(wrapper.reason(), c.expectedReason);
        EXPECT_TRUE(wrapper.userInfo().empty());
        EXPECT_EQ(wrapper.callStackReturnAddresses(),
                  (std::vector<std::uintptr_t>{0x1000, 0x2000, 0x3000}));
        EXPECT_EQ(wrapper.cxxExceptionInfo(), &info);
    }
}

}  // namespace
