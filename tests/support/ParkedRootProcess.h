// A root process parked where another user cannot reach: its working folder
// and its root folder (it is chrooted there) lie below a folder only root
// may enter, and it holds files of that folder open. Its /proc links lead
// straight to that folder, past the closed one above it: the road a
// privileged program must not take for a client.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace testsupport {

class ParkedRootProcess {
  public:
    /// Parks a child in `folder`, holding each of `held` (names in it) open.
    /// The test must run as root; valid() tells whether the child is ready.
    ParkedRootProcess(const std::string& folder, const std::vector<std::string>& held) {
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            // Plain system calls only: the parent has threads.
            // The count of held descriptors, then the descriptors.
            int fds[17] = {0};
            if (chdir(folder.c_str()) != 0) _exit(1);
            for (const std::string& name : held) {
                if (fds[0] == 16) _exit(1);
                const int fd = open(name.c_str(), O_RDONLY);
                if (fd < 0) _exit(1);
                fds[++fds[0]] = fd;
            }
            if (chroot(".") != 0) _exit(1);
            const std::size_t size = sizeof(int) * std::size_t(fds[0] + 1);
            if (write(ready[1], fds, size) != ssize_t(size)) _exit(1);
            for (;;) pause();
        }
        close(ready[1]);
        std::vector<int> told(held.size() + 1);
        const ssize_t want = ssize_t(sizeof(int) * told.size());
        if (pid_ > 0 && read(ready[0], told.data(), std::size_t(want)) == want) {
            fds_.assign(told.begin() + 1, told.end());
            ready_ = true;
        }
        close(ready[0]);
    }
    ~ParkedRootProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    ParkedRootProcess(const ParkedRootProcess&) = delete;
    ParkedRootProcess& operator=(const ParkedRootProcess&) = delete;

    bool valid() const { return ready_; }
    pid_t pid() const { return pid_; }

    /// The ways through /proc to `name` in the parked folder: through the
    /// process's working folder and its root, of the process and of its
    /// thread, and, for the `heldIndex`th held file, its descriptor.
    std::vector<std::string> spellings(const std::string& name, int heldIndex = -1) const {
        const std::string process = "/proc/" + std::to_string(pid_);
        const std::string thread = process + "/task/" + std::to_string(pid_);
        std::vector<std::string> out{process + "/cwd/" + name, process + "/root/" + name,
                                     thread + "/cwd/" + name, thread + "/root/" + name,
                                     process + "/cwd/./" + name};
        if (heldIndex >= 0 && std::size_t(heldIndex) < fds_.size())
            out.push_back(process + "/fd/" + std::to_string(fds_[std::size_t(heldIndex)]));
        return out;
    }

  private:
    pid_t pid_ = -1;
    bool ready_ = false;
    std::vector<int> fds_;
};

}  // namespace testsupport
