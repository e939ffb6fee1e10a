#include "FoundationTestSupport.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "Foundation/PelLogging.h"

namespace foundationtest {

QuietLogging::QuietLogging() {
    PelLogChannel::Config config = PelLogging::installChannelConfig();
    config.copyToStderr = false;
    config.sendToSystemLog = false;
    PelLogging::setSharedChannel(std::make_shared<PelLogChannel>(config));
}

QuietLogging::~QuietLogging() { PelLogging::setSharedChannel(nullptr); }

bool canDropPrivileges() { return geteuid() == 0; }

std::optional<std::string> runInChild(const std::function<std::string()>& body, bool asNobody) {
    int fds[2];
    if (pipe(fds) != 0) return std::nullopt;
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return std::nullopt;
    }
    if (pid == 0) {
        close(fds[0]);
        if (asNobody && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(2);
        int status = 0;
        try {
            std::string out = body();
            for (std::size_t done = 0; done < out.size();) {
                ssize_t n = write(fds[1], out.data() + done, out.size() - done);
                if (n <= 0) _exit(3);
                done += static_cast<std::size_t>(n);
            }
        } catch (...) {
            status = 4;
        }
        _exit(status);
    }
    close(fds[1]);
    std::string out;
    char buf[256];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) != 0;) {
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        out.append(buf, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return out;
}

}  // namespace foundationtest
