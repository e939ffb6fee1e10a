// Running another program and reading what it prints.
//
// A Task names a program (a system path such as "/usr/sbin/installer",
// resolved through Paths) and its arguments. A TaskLauncher runs it to its
// end: the program's standard output and standard error share one pipe, and
// what arrives there is handed back as complete lines. Tests put a fake
// launcher in place of the real one.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

/// A program to run and its arguments (not counting the program itself).
struct Task {
    std::string program;
    std::vector<std::string> arguments;
};

/// Exit status of a task that could not be started.
inline constexpr int kTaskCannotStart = 127;
/// A task killed by signal n ends with kTaskSignalBase + n.
inline constexpr int kTaskSignalBase = 128;

/// Called with each line the program prints, without its line feed. Bytes
/// that are not UTF-8 come as U+FFFD; a last line without a line feed is
/// still delivered.
using TaskLineHandler = std::function<void(const std::string& line)>;

class TaskLauncher {
  public:
    virtual ~TaskLauncher() = default;
    /// Runs `task` to its end on the calling thread and answers its exit
    /// status: the exit code, kTaskSignalBase + n when killed by signal n,
    /// kTaskCannotStart when it could not be started.
    virtual int run(const Task& task, const TaskLineHandler& onLine) = 0;
};

/// The real launcher: posix_spawn with PEL_PATH_ROOT set to Paths::root()
/// (removed when there is no root), the program path resolved through Paths.
/// After the program has exited, output still buffered or written by
/// programs it left behind is read for at most `drainLimit`, so a
/// grandchild that keeps the pipe open cannot hold the caller.
class PosixTaskLauncher : public TaskLauncher {
  public:
    explicit PosixTaskLauncher(std::chrono::milliseconds drainLimit = std::chrono::seconds(2))
        : drainLimit_(drainLimit) {}
    int run(const Task& task, const TaskLineHandler& onLine) override;

  private:
    std::chrono::milliseconds drainLimit_;
};

/// Splits a byte stream into lines across reads. Each complete line is
/// decoded on its own: bytes that are not UTF-8 become U+FFFD.
class TaskLineBuffer {
  public:
    explicit TaskLineBuffer(TaskLineHandler onLine) : onLine_(std::move(onLine)) {}
    void append(const char* bytes, std::size_t length);
    /// Delivers what is left without a line feed.
    void finish();

  private:
    TaskLineHandler onLine_;
    std::string pending_;
};

/// `text` with every byte that does not start a valid UTF-8 sequence
/// replaced by U+FFFD.
std::string replacingInvalidUTF8(std::string_view text);

/// The process-wide launcher (a PosixTaskLauncher unless replaced).
std::shared_ptr<TaskLauncher> defaultTaskLauncher();
/// Replaces it; null restores the real one.
void setDefaultTaskLauncher(std::shared_ptr<TaskLauncher> launcher);

}  // namespace platform
