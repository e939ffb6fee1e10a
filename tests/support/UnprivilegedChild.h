// Running part of a root test as an ordinary local user, the way an attacker
// on the same machine would try a privileged program.
#pragma once

#include <grp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>

namespace testsupport {

/// An id that no account uses ("nobody").
inline constexpr uid_t kUnprivilegedId = 65534;

/// Runs `attack` in a forked child that has given up root for good (no
/// supplementary groups, gid and uid kUnprivilegedId) and answers its exit
/// status, which is what `attack` returns (0-255); -1 when the child could
/// not give up root or did not exit. `attack` runs in the child of a
/// threaded process: plain system calls only.
inline int runUnprivileged(const std::function<int()>& attack) {
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(kUnprivilegedId) != 0 ||
            setuid(kUnprivilegedId) != 0 || setuid(0) == 0)
            _exit(255);
        _exit(attack() & 0xff);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 255) return -1;
    return WEXITSTATUS(status);
}

/// A child at kUnprivilegedId that runs `step` over and over until stopped
/// (at the latest when the object goes): the attacker of a race test.
/// `step` runs in the child of a threaded process: plain system calls only.
class Attacker {
  public:
    explicit Attacker(std::function<void()> step) {
        void* shared = ::mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE,
                              MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        stop_ = new (shared) std::atomic<int>(0);
        pid_ = ::fork();
        if (pid_ == 0) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(kUnprivilegedId) != 0 ||
                ::setuid(kUnprivilegedId) != 0)
                _exit(2);
            while (stop_->load(std::memory_order_relaxed) == 0) step();
            _exit(0);
        }
    }
    ~Attacker() {
        stop();
        ::munmap(stop_, sizeof(std::atomic<int>));
    }
    Attacker(const Attacker&) = delete;
    Attacker& operator=(const Attacker&) = delete;
    bool running() const { return pid_ > 0; }
    void stop() {
        if (pid_ <= 0) return;
        stop_->store(1);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }

  private:
    std::atomic<int>* stop_ = nullptr;
    pid_t pid_ = -1;
};

/// Makes `path` and every folder above it up to `base` (a test's own
/// temporary folder, included) enterable by others, so that an
/// unprivileged child reaches what the test laid out.
inline void letOthersEnter(const std::filesystem::path& base, const std::filesystem::path& path) {
    for (std::filesystem::path p = path;; p = p.parent_path()) {
        struct stat info;
        if (stat(p.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
            chmod(p.c_str(), (info.st_mode & 07777) | 0011);
        if (p == base || !p.has_relative_path()) return;
    }
}

/// Makes the folder `path` (below `base`, a test's own temporary folder) as
/// /tmp is: sticky and writable by everyone, and reachable by others. False
/// when it could not be made.
inline bool makeStickyFolder(const std::filesystem::path& base, const std::string& path) {
    if (mkdir(path.c_str(), 0) != 0 || chmod(path.c_str(), 01777) != 0) return false;
    letOthersEnter(base, path);
    return true;
}

/// What another user plants in the sticky folder `shared`, as a child at
/// kUnprivilegedId: their own folder `shared/<folder>` with `mode` and,
/// unless `linkTarget` is empty, their link `shared/link` to `linkTarget`.
/// True when all of it was made.
inline bool plantAsOtherUser(const std::string& shared, const std::string& folder,
                             const std::string& linkTarget, mode_t mode = 0777) {
    return runUnprivileged([&] {
               const bool made = mkdir((shared + "/" + folder).c_str(), mode) == 0;
               return made && (linkTarget.empty() ||
                               symlink(linkTarget.c_str(), (shared + "/link").c_str()) == 0)
                          ? 0
                          : 1;
           }) == 0;
}

}  // namespace testsupport
