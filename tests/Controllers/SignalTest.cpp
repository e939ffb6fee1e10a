// The shell's signals, with the shell in a child process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "ShellFakes.h"

extern char** environ;

namespace shelltest {
namespace {

class Probe {
  public:
    Probe(const std::string& bundle, const std::string& root, int status) {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        std::string statusText = std::to_string(status);
        std::string program = PEL_SHELL_SIGNAL_PROBE;
        char* argv[] = {program.data(), const_cast<char*>(bundle.c_str()),
                        const_cast<char*>(root.c_str()), statusText.data(), nullptr};
        EXPECT_EQ(posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        out_ = fds[0];
    }
    ~Probe() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
    }

    /// Reads output until `text` appears or 20 s pass.
    bool waitFor(const std::string& text) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (output_.find(text) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
            char buffer[256];
            ssize_t n = read(out_, buffer, sizeof buffer);
            if (n <= 0) return output_.find(text) != std::string::npos;
            output_.append(buffer, static_cast<size_t>(n));
        }
        return true;
    }
    bool running() {
        if (exited_) return false;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            exited_ = true;
            status_ = status;
        }
        return !exited_;
    }
    /// The exit code (waits at most 20 s); -1 when it did not exit normally.
    int exitCode() {
        for (int i = 0; i < 2000 && running(); ++i) usleep(10000);
        return exited_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }
    pid_t pid() const { return pid_; }
    const std::string& output() const { return output_; }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
    bool exited_ = false;
    int status_ = 0;
};

class SignalTest : public ::testing::Test {
  protected:
    std::string bundle() {
        return writeBundle(
            dir_, {{"PEL_PRODUCT_NAME", "Ostrel Test"}, {"PEL_PRODUCT_PLUGIN_CLASS", "TestPlugin"}},
            false);
    }
    testsupport::TempDir dir_;
};

TEST_F(SignalTest, ChildExitsLeaveTheShellRunningAndSigtermAtLaunchQuits) {
    Probe probe(bundle(), dir_.file("root"), 500);
    ASSERT_TRUE(probe.waitFor("ready")) << probe.output();
    // Its own child's exit status is collected, and a further SIGCHLD from
    // outside changes nothing.
    ASSERT_TRUE(probe.waitFor("child 7")) << probe.output();
    kill(probe.pid(), SIGCHLD);
    usleep(200000);
    EXPECT_TRUE(probe.running()) << probe.output();
    kill(probe.pid(), SIGTERM);
    EXPECT_EQ(probe.exitCode(), 0);
    EXPECT_TRUE(probe.waitFor("exited 0")) << probe.output();
}

TEST_F(SignalTest, SigtermWhileInstallingShowsTheOverlay) {
    Probe probe(bundle(), dir_.file("root"), 502);
    ASSERT_TRUE(probe.waitFor("ready")) << probe.output();
    kill(probe.pid(), SIGTERM);
    EXPECT_TRUE(probe.waitFor("overlay: Installation in progress")) << probe.output();
    EXPECT_EQ(probe.exitCode(), 3);
}

}  // namespace
}  // namespace shelltest
