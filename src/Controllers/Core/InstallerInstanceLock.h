// One installer at a time: an exclusive lock (flock) on a file in the
// user's run folder, taken at launch and held for the life of the process.
// A second copy of the installer on the same path root finds it held and
// shows "The Installer Is Already Running"; copies on other roots, and
// programs that merely share the bundle identifier elsewhere on the
// machine, use other files and never meet.
//
// The lock belongs to the open file: it ends when the process does,
// however it ends, so a crashed copy never blocks the next one.
#pragma once

#include <mutex>
#include <string>

#include "Platform/System/UniqueFd.h"
#include "Platform/Values/Error.h"

/// What trying to take the lock found.
enum class InstanceLockState {
    kHeld,               ///< this process holds it
    kHeldByAnotherCopy,  ///< another process holds it
    kUnavailable,        ///< the lock file cannot be opened: nothing is known
};

class InstallerInstanceLock {
  public:
    /// The folder of the lock files: "/var/run" for root; for other users
    /// (who cannot write there) $XDG_RUNTIME_DIR when it names an absolute
    /// folder, else the home folder's ".cache". System paths resolve through
    /// the path root; the home folder already lies under it.
    static std::string runFolder();
    /// runFolder() + "/" + `bundleIdentifier` + ".lock".
    static std::string lockPath(const std::string& bundleIdentifier);

    explicit InstallerInstanceLock(std::string path);
    ~InstallerInstanceLock() = default;
    InstallerInstanceLock(const InstallerInstanceLock&) = delete;
    InstallerInstanceLock& operator=(const InstallerInstanceLock&) = delete;

    const std::string& path() const { return path_; }
    bool isHeld() const { return fd_.valid(); }

    /// Takes the lock when it is free (creating the folder and the file,
    /// 0600, when missing; never through a link) and writes this process's
    /// id into the file. Answers kHeld when it was held already. Fills
    /// `error` on kUnavailable.
    InstanceLockState tryLock(platform::Error* error = nullptr);
    /// Lets the lock go (closing the file ends it).
    void unlock() { fd_.reset(); }

    /// The process-wide lock of `bundleIdentifier` on the current path
    /// root, taken when free and then kept until the process ends. A root or
    /// identifier that changed since the last call lets the old lock go
    /// first. An empty identifier has no lock: kHeld. Thread-safe.
    static InstanceLockState acquireShared(const std::string& bundleIdentifier,
                                           platform::Error* error = nullptr);
    /// Lets the process-wide lock go (tests).
    static void releaseShared();

  private:
    std::string path_;
    platform::UniqueFd fd_;
};
