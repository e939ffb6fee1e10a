// Starts the scriptable fake helper (tests/support/fake_helper) as a real
// second process, for tests of code that drives a helper program.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Xpc/XpcObject.h"
#include "Platform/Xpc/XpcServiceName.h"
#include "support/TempDir.h"

namespace testsupport {

class FakeHelperProcess {
  public:
    struct Options {
        std::string serviceName;
        platform::XpcServiceScope scope = platform::XpcServiceScope::System;
        /// The script, one step per element (see fake_helper/main.cpp), e.g.
        /// R"(expect {"PelInstallType": "102"})", R"(send {"a": 1})", "crash".
        std::vector<std::string> steps;
        /// Runs the helper under this user id (the test must run as root).
        std::optional<uid_t> uid;
    };

    FakeHelperProcess();
    /// Kills (SIGKILL) and reaps a helper that is still running.
    ~FakeHelperProcess();
    FakeHelperProcess(const FakeHelperProcess&) = delete;
    FakeHelperProcess& operator=(const FakeHelperProcess&) = delete;

    /// Starts the helper under the current path root (Paths::root()) and
    /// waits until it listens. False, with a test failure added, when it
    /// does not get there.
    bool start(const Options& options);

    pid_t pid() const { return pid_; }
    /// Sends `signal` to the helper.
    bool kill(int signal);
    /// Waits for the helper to end and answers its wait status (as waitpid
    /// gives it), or nullopt when it still runs after `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    /// The messages the helper took in so far (by its expect steps), in order.
    std::vector<platform::XpcObject> receivedMessages() const;
    /// What the helper wrote to its standard error.
    std::string errorOutput() const;
    /// "exited with 2", "killed by signal 9", ... for assertion messages.
    static std::string describeStatus(int status);

  private:
    TempDir files_;
    pid_t pid_ = -1;
    int pidFd_ = -1;
    std::optional<int> status_;
};

/// The path of the fake helper program.
std::string fakeHelperPath();

/// This process's environment with PEL_PATH_ROOT naming the current path
/// root, so that a child resolves its paths where this process does.
std::vector<std::string> environmentUnderRoot();
/// The null-terminated pointer array exec and spawn take; `strings` must
/// outlive it.
std::vector<char*> execArray(std::vector<std::string>& strings);

}  // namespace testsupport
