#include <errno.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "FVCrashReporter/Source/FVCrashHostInfo.h"
#include "FVCrashReporter/Source/FVCrashLog.h"
#include "FVCrashReporter/Source/FVCrashProcessInfo.h"
#include "FVCrashReporter/Source/FVCrashReporterError.h"
#include "FVCrashReporter/Source/FVCrashSysctl.h"
#include "FVCrashReporter/Source/crash/FVCrashUTF8.h"

namespace {

struct LogWatch {
    std::vector<std::string> messages;
    LogWatch() {
        FVCrashSetLogHookForTesting([this](int, const std::string& m) { messages.push_back(m); });
    }
    ~LogWatch() { FVCrashSetLogHookForTesting({}); }
};

TEST(FVCrashHostInfo, ScansTheKernelRelease) {
    struct Case {
        const char* release;
        unsigned major, minor, revision;
        bool logs;
    } cases[] = {
        {"19.6.0", 19, 6, 0, false},
        {"19.6", 19, 6, 0, true},
        {"6.1.0-18-amd64", 6, 1, 0, false},
        {"5.15.153.1-microsoft-standard-WSL2", 5, 15, 153, false},
        {"garbage", 0, 0, 0, true},
    };
    for (const Case& c : cases) {
        LogWatch log;
        auto info = FVCrashHostInfo::initWithRelease(c.release);
        ASSERT_TRUE(info) << c.release;
        EXPECT_EQ(info->darwinVersion().major, c.major) << c.release;
        EXPECT_EQ(info->darwinVersion().minor, c.minor) << c.release;
        EXPECT_EQ(info->darwinVersion().revision, c.revision) << c.release;
        if (c.logs) {
            ASSERT_EQ(log.messages.size(), 1u) << c.release;
            EXPECT_EQ(log.messages[0],
                      std::string("Unexpected kern.osrelease string format: ") + c.release);
        } else {
            EXPECT_TRUE(log.messages.empty()) << c.release;
        }
    }
    utsname names{};
    ASSERT_EQ(uname(&names), 0);
    auto current = FVCrashHostInfo::currentHostInfo();
    ASSERT_TRUE(current);
    EXPECT_EQ(current->darwinVersion().major, unsigned(std::atoi(names.release)));
}

TEST(FVCrashSysctl, AnswersTheNamesTheReporterAsks) {
    utsname names{};
    ASSERT_EQ(uname(&names), 0);
    for (const char* name : {"kern.osrelease", "kern.osversion"}) {
        char* value = fvcrash_sysctl_string(name);
        ASSERT_NE(value, nullptr) << name;
        EXPECT_STREQ(value, names.release);
        free(value);
    }
    char* model = fvcrash_sysctl_string("hw.model");
    ASSERT_NE(model, nullptr);
    EXPECT_GT(std::string(model).size(), 0u);
    free(model);

    int32_t value = 0;
    EXPECT_TRUE(fvcrash_sysctl_int("hw.cputype", &value));
    EXPECT_EQ(value, 0x1000007);
    EXPECT_TRUE(fvcrash_sysctl_int("hw.cpusubtype", &value));
    EXPECT_EQ(value, 3);
    int32_t logical = 0, physical = 0;
    EXPECT_TRUE(fvcrash_sysctl_int("hw.logicalcpu_max", &logical));
    EXPECT_EQ(logical, sysconf(_SC_NPROCESSORS_CONF));
    EXPECT_TRUE(fvcrash_sysctl_int("hw.physicalcpu_max", &physical));
    EXPECT_GE(physical, 1);
    EXPECT_LE(physical, logical);

    errno = 0;
    EXPECT_EQ(fvcrash_sysctl_string("kern.nosuchthing"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_FALSE(fvcrash_sysctl_int("hw.nosuchthing", &value));
    EXPECT_EQ(errno, ENOENT);
}

TEST(FVCrashProcessInfo, DescribesThisProcessAndItsParent) {
    auto self = FVCrashProcessInfo::currentProcessInfo();
    ASSERT_TRUE(self);
    EXPECT_EQ(self->processID(), getpid());
    EXPECT_EQ(self->parentProcessID(), getppid());
    std::string comm;
    std::getline(std::ifstream("/proc/self/comm"), comm);
    ASSERT_TRUE(self->processName());
    EXPECT_EQ(*self->processName(), comm);
    std::string status;
    {
        std::ifstream in("/proc/self/status");
        for (std::string line; std::getline(in, line);)
            if (line.rfind("TracerPid:", 0) == 0) status = line;
    }
    EXPECT_EQ(self->isTraced(), std::atoi(status.c_str() + 10) != 0);
    // Started within the last hour or so of this test, never in the future.
    const time_t now = time(nullptr);
    EXPECT_LE(self->startTime().tv_sec, now);
    EXPECT_GT(self->startTime().tv_sec, now - 3600);
    EXPECT_LT(self->startTime().tv_usec, 1000000);

    auto parent = FVCrashProcessInfo::initWithProcessID(getppid());
    ASSERT_TRUE(parent);
    EXPECT_EQ(parent->processID(), getppid());

    pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    EXPECT_FALSE(FVCrashProcessInfo::initWithProcessID(child));
    EXPECT_FALSE(FVCrashProcessInfo::initWithProcessID(0x7FFFFFF0));
    EXPECT_FALSE(FVCrashProcessInfo::initWithProcessID(-1));
}

TEST(FVCrashProcessInfo, NameIsCutBeforeASplitCharacter) {
    char saved[17] = {};
    prctl(PR_GET_NAME, saved);
    struct Case {
        const char* set;
        std::string expected;
    } cases[] = {
        {"abcdefghijklmn\xC3\xA9xyz", "abcdefghijklmn"},  // é split at byte 15
        {"a (b) c", "a (b) c"},                           // parentheses inside the name
        {"\xE2\x82\xAC"
         "euro",
         "\xE2\x82\xAC"
         "euro"},
    };
    for (const Case& c : cases) {
        prctl(PR_SET_NAME, c.set);
        auto self = FVCrashProcessInfo::currentProcessInfo();
        ASSERT_TRUE(self);
        ASSERT_TRUE(self->processName()) << c.set;
        EXPECT_EQ(*self->processName(), c.expected);
    }
    prctl(PR_SET_NAME, "\xC3");
    auto self = FVCrashProcessInfo::currentProcessInfo();
    ASSERT_TRUE(self);
    EXPECT_FALSE(self->processName());
    prctl(PR_SET_NAME, saved);
}

TEST(FVCrashUTF8, LongestValidPrefix) {
    struct Case {
        std::string bytes;
        size_t expected;
    } cases[] = {
        {"\xEF\xBB\xBF"
         "A",
         4},
        {"\xC3\x28", 0},
        {"abc", 3},
        {std::string("ab\0cd", 5), 2},
        {"a\xC3\xA9", 3},
        {"a\xC3", 1},
        {"a\xE2\x82", 1},
        {"\xE2\x82\xAC!", 4},
        {"\xF0\x9F\x98\x80", 4},
        {std::string("\xC3\0", 2), 0},
        {"x\x80", 1},
        {"\xF8\x88\x80\x80\x80", 0},
        {"\xEF\xBB", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(fvcrash_utf8_prefix_length(c.bytes.data(), c.bytes.size()), c.expected)
            << testing::PrintToString(c.bytes);
    EXPECT_EQ(fvcrash_utf8_prefix_length_of("\xEF\xBB\xBF"
                                            "ok\xC3"),
              5u);
}

TEST(FVCrashReporterError, WrapsOperatingSystemErrors) {
    platform::Error error;
    fvcrash_populate_posix_error(&error, ENOENT, "Could not open");
    EXPECT_EQ(error.domain(), "FVCrashReporterErrorDomain");
    EXPECT_EQ(error.code(), 1);
    EXPECT_EQ(error.localizedDescription(), "Could not open");
    ASSERT_TRUE(error.underlyingError());
    EXPECT_EQ(error.underlyingError()->domain(), platform::kPOSIXErrorDomain);
    EXPECT_EQ(error.underlyingError()->code(), ENOENT);

    fvcrash_populate_mach_error(&error, 5, "Mach");
    ASSERT_TRUE(error.underlyingError());
    EXPECT_EQ(error.underlyingError()->domain(), platform::kMachErrorDomain);

    fvcrash_populate_error(&error, 2, "Bad report", nullptr);
    EXPECT_EQ(error.code(), 2);
    EXPECT_FALSE(error.underlyingError());
    fvcrash_populate_error(nullptr, 2, "nobody listens", nullptr);
}

}  // namespace
