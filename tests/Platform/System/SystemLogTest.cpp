#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "Platform/System/SystemLog.h"
#include "support/TempDir.h"

using platform::RecordingLogSink;
using platform::SystemLogSink;

namespace {

std::vector<std::string> lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

}  // namespace

TEST(SystemLogTest, LevelMaskFilters) {
    RecordingLogSink sink;
    sink.setLevelMask(platform::logUpTo(platform::kLogNotice));
    EXPECT_EQ(sink.levelMask(), 0x3Fu);
    for (int level = 0; level < 8; ++level) sink.log(level, "m" + std::to_string(level), "who");
    EXPECT_THAT(sink.messages(), ::testing::ElementsAre("m0", "m1", "m2", "m3", "m4", "m5"));
    EXPECT_EQ(sink.entries()[3].level, platform::kLogError);
    EXPECT_EQ(sink.entries()[3].sender, "who");
}

TEST(SystemLogTest, CopiesEachMessageAsOneLineToEveryDescriptor) {
    testsupport::TempDir dir;
    int fd = ::open(dir.file("a.log").c_str(), O_RDWR | O_APPEND | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    {
        SystemLogSink sink({"Ident", "Ident Messages", false, false});
        sink.addFileDescriptor(fd, true);
        sink.log(platform::kLogWarning, "50% done %@ literally");
        sink.log(platform::kLogNotice, "from elsewhere", "Other");
    }
    auto got = lines(dir.file("a.log"));
    ASSERT_EQ(got.size(), 2u);
    std::regex shape(R"(^[A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \S+ (\S+)\[\d+\] <(\w+)>: (.*)$)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(got[0], m, shape)) << got[0];
    EXPECT_EQ(m[1], "Ident");
    EXPECT_EQ(m[2], "Warning");
    EXPECT_EQ(m[3], "50% done %@ literally");
    ASSERT_TRUE(std::regex_match(got[1], m, shape)) << got[1];
    EXPECT_EQ(m[1], "Other");
    EXPECT_EQ(m[2], "Notice");
}

TEST(SystemLogTest, LinesOfManyThreadsAreNotInterleaved) {
    testsupport::TempDir dir;
    int fd = ::open(dir.file("t.log").c_str(), O_RDWR | O_APPEND | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    constexpr int kThreads = 6, kPerThread = 200;
    const std::string payload(300, 'x');
    {
        SystemLogSink sink({"T", "T", false, false});
        sink.addFileDescriptor(fd, true);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < kPerThread; ++i)
                    sink.log(platform::kLogError, "<" + std::to_string(t) + ":" + payload + ">");
            });
        for (auto& th : threads) th.join();
    }
    auto got = lines(dir.file("t.log"));
    ASSERT_EQ(got.size(), static_cast<std::size_t>(kThreads * kPerThread));
    std::regex shape(".*<Error>: <[0-5]:x{300}>$");
    for (const auto& line : got) ASSERT_TRUE(std::regex_match(line, shape)) << line;
}
