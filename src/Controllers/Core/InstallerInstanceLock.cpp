#include "Controllers/Core/InstallerInstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "Platform/System/Paths.h"

std::string InstallerInstanceLock::runFolder() {
    if (::geteuid() == 0) return platform::Paths::resolve("/var/run");
    // A user's own run folder: private to the user and emptied at log-out,
    // so no other user can hold or plant the lock file.
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/')
        return platform::Paths::resolve(runtime);
    return platform::Paths::join(platform::Paths::homeDirectory(), ".cache");
}

std::string InstallerInstanceLock::lockPath(const std::string& bundleIdentifier) {
    return platform::Paths::join(runFolder(), bundleIdentifier + ".lock");
}

InstallerInstanceLock::InstallerInstanceLock(std::string path) : path_(std::move(path)) {}

InstanceLockState InstallerInstanceLock::tryLock(platform::Error* error) {
    if (fd_.valid()) return InstanceLockState::kHeld;
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ignored);
    platform::UniqueFd fd(
        ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600));
    if (!fd.valid()) {
        platform::setError(error, platform::Error::posix(errno, path_));
        return InstanceLockState::kUnavailable;
    }
    int rc;
    do {
        rc = ::flock(fd.get(), LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        if (errno == EWOULDBLOCK) return InstanceLockState::kHeldByAnotherCopy;
        platform::setError(error, platform::Error::posix(errno, path_));
        return InstanceLockState::kUnavailable;
    }
    // Who holds it, for whoever looks (the lock itself is what counts).
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd.get(), 0) == 0) {
        ssize_t written = ::pwrite(fd.get(), pid.data(), pid.size(), 0);
        (void)written;
    }
    fd_ = std::move(fd);
    return InstanceLockState::kHeld;
}

namespace {

std::mutex& sharedMutex() {
    static std::mutex mutex;
    return mutex;
}

std::unique_ptr<InstallerInstanceLock>& sharedLock() {
    static std::unique_ptr<InstallerInstanceLock> lock;
    return lock;
}

}  // namespace

InstanceLockState InstallerInstanceLock::acquireShared(const std::string& bundleIdentifier,
                                                       platform::Error* error) {
    if (bundleIdentifier.empty()) return InstanceLockState::kHeld;
    const std::string path = lockPath(bundleIdentifier);
    std::lock_guard guard(sharedMutex());
    auto& lock = sharedLock();
    if (!lock || lock->path() != path) lock = std::make_unique<InstallerInstanceLock>(path);
    return lock->tryLock(error);
}

void InstallerInstanceLock::releaseShared() {
    std::lock_guard guard(sharedMutex());
    sharedLock().reset();
}
