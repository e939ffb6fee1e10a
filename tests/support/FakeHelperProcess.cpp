#include "support/FakeHelperProcess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "Platform/System/Paths.h"
#include "support/XpcJson.h"

extern char** environ;

namespace testsupport {

std::string fakeHelperPath() { return PEL_FAKE_HELPER_PATH; }

FakeHelperProcess::FakeHelperProcess() = default;

FakeHelperProcess::~FakeHelperProcess() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    if (pidFd_ >= 0) ::close(pidFd_);
}

bool FakeHelperProcess::start(const Options& options) {
    std::string logPath = files_.file("received.jsonl");
    std::string errPath = files_.file("stderr.txt");
    if (options.uid) {
        // The helper writes its record after giving up root.
        ::chmod(files_.path().c_str(), 0711);
        std::ofstream(logPath).close();
        ::chmod(logPath.c_str(), 0666);
    }

    std::vector<std::string> args = {fakeHelperPath(), "--service", options.serviceName, "--log",
                                     logPath};
    if (options.scope == platform::XpcServiceScope::User) args.push_back("--user-scope");
    if (options.uid) {
        args.push_back("--uid");
        args.push_back(std::to_string(*options.uid));
    }
    args.push_back("--");
    args.insert(args.end(), options.steps.begin(), options.steps.end());
    std::vector<char*> argv = execArray(args);

    // The helper resolves its socket under the same root as this process.
    std::vector<std::string> env = environmentUnderRoot();
    std::vector<char*> envp = execArray(env);

    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ready[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(ready[1]);
    if (rc != 0) {
        ::close(ready[0]);
        pid_ = -1;
        ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(rc);
        return false;
    }
    pidFd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));

    // Wait for its "ready" line, or for it to end.
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (out.find("ready\n") == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{ready[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buf[64];
        ssize_t n = ::read(ready[0], buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(ready[0]);
    if (out.find("ready\n") == std::string::npos) {
        ADD_FAILURE() << "the fake helper did not start listening: " << errorOutput();
        return false;
    }
    return true;
}

bool FakeHelperProcess::kill(int signal) {
    return pid_ > 0 && !status_ && ::kill(pid_, signal) == 0;
}

std::optional<int> FakeHelperProcess::wait(std::chrono::milliseconds timeout) {
    if (status_ || pid_ <= 0) return status_;
    if (pidFd_ >= 0) {
        pollfd p{pidFd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    }
    int status = 0;
    if (::waitpid(pid_, &status, 0) != pid_) return std::nullopt;
    status_ = status;
    return status_;
}

std::vector<platform::XpcObject> FakeHelperProcess::receivedMessages() const {
    std::vector<platform::XpcObject> out;
    std::ifstream in(files_.file("received.jsonl"));
    for (std::string line; std::getline(in, line);) {
        platform::XpcObject message;
        if (xpcFromJsonText(line, message)) out.push_back(std::move(message));
    }
    return out;
}

std::string FakeHelperProcess::errorOutput() const {
    std::ifstream in(files_.file("stderr.txt"));
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string FakeHelperProcess::describeStatus(int status) {
    if (WIFEXITED(status)) return "exited with " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

std::vector<std::string> environmentUnderRoot() {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "PEL_PATH_ROOT=", 14) != 0) env.emplace_back(*e);
    env.push_back("PEL_PATH_ROOT=" + platform::Paths::root());
    return env;
}

std::vector<char*> execArray(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (auto& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace testsupport
