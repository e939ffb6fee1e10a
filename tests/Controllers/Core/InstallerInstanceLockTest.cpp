// The installer's single-instance lock between real processes: the lock
// belongs to an open file, so only separate programs show whether two
// copies see each other.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "Controllers/Core/InstallerInstanceLock.h"
#include "Platform/System/Paths.h"
#include "support/FakeHelperProcess.h"
#include "support/TempDir.h"

namespace {

constexpr const char* kIdentifier = "com.pelgrave.installer";

// A probe program holding (or failing to take) the lock on `root` until it
// is stopped.
class LockProbe {
  public:
    explicit LockProbe(const std::string& root) {
        platform::Paths::ScopedRoot scoped(root);
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
        std::vector<std::string> args = {PEL_INSTANCE_LOCK_PROBE, kIdentifier};
        std::vector<std::string> env = testsupport::environmentUnderRoot();
        std::vector<char*> argv = testsupport::execArray(args);
        std::vector<char*> envp = testsupport::execArray(env);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
    }
    ~LockProbe() { stop(); }

    /// The probe's answer ("held", "another", "unavailable"); "" when none
    /// came within the hang guard.
    std::string answer() {
        std::string line;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < end) {
            pollfd p{stdout_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char buffer[64];
            const ssize_t n = ::read(stdout_, buffer, sizeof buffer);
            if (n <= 0) break;
            line.append(buffer, static_cast<std::size_t>(n));
        }
        return line.substr(0, line.find('\n'));
    }
    pid_t pid() const { return pid_; }
    /// Ends the probe (its lock with it) and waits for it.
    void stop() {
        if (stdin_ >= 0) ::close(stdin_);
        stdin_ = -1;
        if (stdout_ >= 0) ::close(stdout_);
        stdout_ = -1;
        if (pid_ > 0) {
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    int stdin_ = -1, stdout_ = -1;
};

class InstallerInstanceLockTest : public ::testing::Test {
  protected:
    void TearDown() override { InstallerInstanceLock::releaseShared(); }
    testsupport::TempDir dir_;
    std::string rootA_ = dir_.file("a"), rootB_ = dir_.file("b");
};

TEST_F(InstallerInstanceLockTest, CopiesOnOneRootSeeEachOtherAndOnOtherRootsDoNot) {
    LockProbe first(rootA_);
    ASSERT_EQ(first.answer(), "held");
    LockProbe second(rootA_);
    EXPECT_EQ(second.answer(), "another");
    LockProbe elsewhere(rootB_);
    EXPECT_EQ(elsewhere.answer(), "held");

    // The holder's id is in the file; this process, too, finds it held.
    platform::Paths::ScopedRoot scoped(rootA_);
    const std::string path = InstallerInstanceLock::lockPath(kIdentifier);
    EXPECT_EQ(path.rfind(rootA_, 0), 0u) << path;
    std::string holder;
    std::ifstream(path) >> holder;
    EXPECT_EQ(holder, std::to_string(first.pid()));
    EXPECT_EQ(InstallerInstanceLock::acquireShared(kIdentifier),
              InstanceLockState::kHeldByAnotherCopy);

    // Once the first copy is gone (however it ended) the lock is free.
    ::kill(first.pid(), SIGKILL);
    first.stop();
    EXPECT_EQ(InstallerInstanceLock::acquireShared(kIdentifier), InstanceLockState::kHeld);
    EXPECT_EQ(InstallerInstanceLock::acquireShared(kIdentifier), InstanceLockState::kHeld);
    LockProbe third(rootA_);
    EXPECT_EQ(third.answer(), "another");
}

TEST_F(InstallerInstanceLockTest, AFileThatCannotBeOpenedBlocksNothingAndALinkIsNotFollowed) {
    platform::Paths::ScopedRoot scoped(rootA_);
    const std::string path = InstallerInstanceLock::lockPath(kIdentifier);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    const std::string target = dir_.write("elsewhere.txt", "keep");
    std::filesystem::create_symlink(target, path);
    InstallerInstanceLock lock(path);
    platform::Error error;
    EXPECT_EQ(lock.tryLock(&error), InstanceLockState::kUnavailable);
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(lock.isHeld());
    std::string kept;
    std::ifstream(target) >> kept;
    EXPECT_EQ(kept, "keep");
    // No identifier, no lock to take.
    EXPECT_EQ(InstallerInstanceLock::acquireShared(""), InstanceLockState::kHeld);
}

}  // namespace
