#include <errno.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "Platform/System/SystemEvents.h"

extern char** environ;

namespace platform {
namespace {

int runChild(const std::vector<std::string>& argv) {
    if (argv.empty()) return -1;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) {
        // posix_spawnp reports a missing program as exit status 127.
        return WEXITSTATUS(status) == 127 ? -1 : WEXITSTATUS(status);
    }
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

}  // namespace

SessionManagerEventSender::SessionManagerEventSender(CommandRunner runner)
    : runner_(runner ? std::move(runner) : CommandRunner(runChild)) {}

std::vector<std::string> SessionManagerEventSender::commandFor(std::uint32_t eventId) {
    switch (eventId) {
        case kSystemEventShutDown:
            return {"systemctl", "poweroff"};
        case kSystemEventRestart:
            return {"systemctl", "reboot"};
        case kSystemEventLogOut: {
            const char* session = std::getenv("XDG_SESSION_ID");
            if (session && *session) return {"loginctl", "terminate-session", session};
            return {"loginctl", "terminate-user", std::to_string(::getuid())};
        }
        default:
            return {};
    }
}

int SessionManagerEventSender::send(std::uint32_t eventId) {
    auto argv = commandFor(eventId);
    if (argv.empty()) return kSystemEventNotHandled;
    int status = runner_(argv);
    if (status < 0) return kSystemEventNoReceiver;
    return status == 0 ? 0 : kSystemEventNotHandled;
}

}  // namespace platform
