#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "Platform/System/Paths.h"
#include "Platform/System/Task.h"
#include "support/TempDir.h"

using platform::PosixTaskLauncher;
using platform::Task;

namespace {

class TaskTest : public ::testing::Test {
  protected:
    // A shell script at the system path `systemPath` under the root.
    void script(const std::string& systemPath, const std::string& body) {
        const std::string path = dir_.write("root" + systemPath, "#!/bin/sh\n" + body);
        chmod(path.c_str(), 0755);
    }

    std::vector<std::string> run(const Task& task, int* status) {
        std::vector<std::string> lines;
        *status = launcher_.run(task, [&](const std::string& line) { lines.push_back(line); });
        return lines;
    }

    testsupport::TempDir dir_;
    platform::Paths::ScopedRoot root_{dir_.file("root")};
    PosixTaskLauncher launcher_{std::chrono::milliseconds(300)};
};

TEST_F(TaskTest, LinesOfBothStreamsArriveWholeAcrossWritesAndTheRootIsPassedOn) {
    script("/bin/tool",
           "printf 'one\\ntw'; sleep 0.05; printf 'o\\n' >&2; echo \"root=$PEL_PATH_ROOT\"; "
           "printf 'bad \\377 byte\\nlast without feed'\n");
    int status = -1;
    const auto lines = run({"/bin/tool", {}}, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(lines, (std::vector<std::string>{"one", "two", "root=" + dir_.file("root"),
                                               "bad \xEF\xBF\xBD byte", "last without feed"}));
}

TEST_F(TaskTest, StatusTellsExitCodeSignalAndMissingProgram) {
    struct Case {
        const char* body;
        int expected;
    } cases[] = {
        {"exit 3\n", 3},
        {"echo done; kill -9 $$\n", 128 + 9},
        {"kill -TERM $$\n", 128 + 15},
    };
    for (const auto& c : cases) {
        script("/bin/case", c.body);
        int status = -1;
        run({"/bin/case", {}}, &status);
        EXPECT_EQ(status, c.expected) << c.body;
    }
    int status = -1;
    run({"/bin/absent", {}}, &status);
    EXPECT_EQ(status, platform::kTaskCannotStart);
}

TEST_F(TaskTest, AGrandchildHoldingThePipeDoesNotHoldTheCaller) {
    script("/bin/parent",
           "echo started; (sleep 300 & echo $! > \"$PEL_PATH_ROOT/grandchild\") ; echo leaving\n");
    const auto begin = std::chrono::steady_clock::now();
    int status = -1;
    const auto lines = run({"/bin/parent", {}}, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(lines, (std::vector<std::string>{"started", "leaving"}));
    // Waiting for the grandchild would take 300 s.
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(60));
    std::ifstream pidFile(dir_.file("root/grandchild"));
    pid_t grandchild = 0;
    if (pidFile >> grandchild && grandchild > 0) kill(grandchild, SIGKILL);
}

TEST(TaskLineBufferTest, ReplacesEveryInvalidByteAndKeepsValidSequences) {
    EXPECT_EQ(platform::replacingInvalidUTF8("a\xC3\xA9z"), "a\xC3\xA9z");
    EXPECT_EQ(platform::replacingInvalidUTF8("\xC3(\xED\xA0\x80"),
              "\xEF\xBF\xBD(\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(platform::replacingInvalidUTF8("\xF0\x9F\x98"),
              "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

}  // namespace
