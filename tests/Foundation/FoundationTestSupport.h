// Helpers for the Foundation tests: a quiet log channel, and running a function in a child process,
// optionally as an unprivileged user.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace foundationtest {

/// Keeps PelLogging's messages out of the system log and standard error while
/// it exists; its log file follows the path root and home folder of the test.
class QuietLogging {
  public:
    QuietLogging();
    ~QuietLogging();
    QuietLogging(const QuietLogging&) = delete;
    QuietLogging& operator=(const QuietLogging&) = delete;
};

/// True when the process may change its user (it runs as root).
bool canDropPrivileges();

/// Runs `body` in a forked child and returns the text it returned; nothing
/// when the child failed (or, with `asNobody`, could not become the user and
/// group 65534). The child ends with _exit and never returns into the test.
std::optional<std::string> runInChild(const std::function<std::string()>& body, bool asNobody);

}  // namespace foundationtest
