#include "Platform/System/Task.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>

#include "Platform/System/Paths.h"

extern char** environ;

namespace platform {

namespace {

std::mutex& launcherMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<TaskLauncher>& launcherOverride() {
    static std::shared_ptr<TaskLauncher> launcher;
    return launcher;
}

int statusFromWait(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return kTaskSignalBase + WTERMSIG(status);
    return kTaskCannotStart;
}

// The length of the valid UTF-8 sequence at the start of `s`, or 0.
std::size_t validSequenceLength(std::string_view s) {
    const auto b0 = static_cast<unsigned char>(s[0]);
    if (b0 < 0x80) return 1;
    std::size_t length;
    std::uint32_t min;
    if ((b0 & 0xE0) == 0xC0) {
        length = 2;
        min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        length = 3;
        min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        length = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (s.size() < length) return 0;
    std::uint32_t cp = b0 & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return length;
}

std::vector<std::string> childEnvironment() {
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        if (std::strncmp(*e, "PEL_PATH_ROOT=", 14) != 0) env.emplace_back(*e);
    }
    const std::string root = Paths::root();
    if (!root.empty()) env.push_back("PEL_PATH_ROOT=" + root);
    return env;
}

int openPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

}  // namespace

std::string replacingInvalidUTF8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const std::size_t n = validSequenceLength(text);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            text.remove_prefix(1);
        } else {
            out.append(text.data(), n);
            text.remove_prefix(n);
        }
    }
    return out;
}

void TaskLineBuffer::append(const char* bytes, std::size_t length) {
    pending_.append(bytes, length);
    std::size_t start = 0;
    for (std::size_t nl; (nl = pending_.find('\n', start)) != std::string::npos; start = nl + 1) {
        if (onLine_)
            onLine_(replacingInvalidUTF8(std::string_view(pending_).substr(start, nl - start)));
    }
    pending_.erase(0, start);
}

void TaskLineBuffer::finish() {
    if (!pending_.empty() && onLine_) onLine_(replacingInvalidUTF8(pending_));
    pending_.clear();
}

int PosixTaskLauncher::run(const Task& task, const TaskLineHandler& onLine) {
    const std::string program = Paths::resolve(task.program);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return kTaskCannotStart;

    std::vector<std::string> args;
    args.push_back(program);
    args.insert(args.end(), task.arguments.begin(), task.arguments.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = childEnvironment();
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // The child starts with default signal handling, whatever the caller set.
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    const int spawned =
        posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(fds[1]);
    if (spawned != 0) {
        close(fds[0]);
        return kTaskCannotStart;
    }

    TaskLineBuffer lines(onLine);
    const int pidFd = openPidFd(pid);
    std::optional<int> status;
    auto reap = [&](int flags) {
        int raw = 0;
        pid_t r;
        do r = waitpid(pid, &raw, flags);
        while (r < 0 && errno == EINTR);
        if (r == pid)
            status = statusFromWait(raw);
        else if (r < 0)
            status = kTaskCannotStart;
    };
    using Clock = std::chrono::steady_clock;
    Clock::time_point drainUntil{};
    char buffer[16384];
    for (;;) {
        int timeout = -1;
        if (status) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(drainUntil - Clock::now());
            if (left.count() <= 0) break;
            timeout = static_cast<int>(left.count());
        } else if (pidFd < 0) {
            timeout = 50;  // no process descriptor: look at the child now and then
        }
        pollfd polled[2] = {{fds[0], POLLIN, 0}, {pidFd, POLLIN, 0}};
        const nfds_t count = (!status && pidFd >= 0) ? 2 : 1;
        const int ready = poll(polled, count, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (count == 2 && (polled[1].revents & POLLIN)) {
            reap(0);
            drainUntil = Clock::now() + drainLimit_;
        } else if (!status && pidFd < 0) {
            reap(WNOHANG);
            if (status) drainUntil = Clock::now() + drainLimit_;
        }
        if (polled[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = read(fds[0], buffer, sizeof buffer);
            if (n > 0) {
                lines.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            break;  // end of file: every writer has closed the pipe
        }
    }
    close(fds[0]);
    if (pidFd >= 0) close(pidFd);
    if (!status) reap(0);
    lines.finish();
    return *status;
}

std::shared_ptr<TaskLauncher> defaultTaskLauncher() {
    std::lock_guard lock(launcherMutex());
    if (!launcherOverride()) launcherOverride() = std::make_shared<PosixTaskLauncher>();
    return launcherOverride();
}

void setDefaultTaskLauncher(std::shared_ptr<TaskLauncher> launcher) {
    std::lock_guard lock(launcherMutex());
    launcherOverride() = std::move(launcher);
}

}  // namespace platform
