// Work inside folders that other users of the machine can write to, by
// descriptor.
//
// In a folder another user can write, a path that was checked a moment ago
// may lead elsewhere now: an entry swapped for a link, another folder renamed
// into place. So a folder is opened once and every later step is taken
// relative to the descriptor held: each part is opened without following a
// link (openat2 with RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS |
// RESOLVE_BENEATH, or openat with O_NOFOLLOW where the kernel lacks openat2),
// folders are made with mkdirat and given their mode with fchmod on the
// opened folder, entries move with renameat2 between held folders, and trees
// are removed with an unlinkat walk that never follows a link. A path is
// only ever a name to look up once.
//
// A process running as root also checks whom it may trust: a folder it writes
// into must be root's and writable by nobody else unless sticky (then others
// add entries but cannot rename or remove root's). Removal and reading need
// no such trust: the walk stays inside the real folders it opened.
//
// Objects are used by one thread at a time; the functions keep no state
// besides the test hook.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/System/UniqueFd.h"
#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

namespace platform {

/// Opens the folder `relative` (a relative path, "" for `base` itself) below
/// the open folder `base`, never through a link and never above `base`, for
/// use with the *at() calls (an O_PATH descriptor). The descriptor, or -1
/// with errno set.
int openFolderBelow(int base, std::string_view relative);

/// An open folder, and the path it was opened by (for messages and for
/// naming what lies in it).
class SharedFolder {
  public:
    /// Whether a folder must be trusted: needed for what root writes into
    /// it, not for what it reads or removes.
    enum class Trust { Required, Any };

    /// Whether this process checks whom it trusts (it runs as root).
    static bool checksTrust();
    /// Why root may not write into the open folder `fd`: 0, ENOTDIR, or
    /// EPERM (owned by another user, or writable by others without the
    /// sticky bit). Always 0 for other processes.
    static int untrustedReason(int fd);

    /// Opens the folder `path`. Running as root: from "/" one part at a
    /// time, a link followed only when root owns it, and with
    /// Trust::Required every folder on the way must be trusted. Other
    /// processes follow links as the kernel would. Failure: nullopt with the
    /// file-system error (ELOOP for another user's link, ENOTDIR, EPERM, or
    /// the open's error) naming the refused part.
    static std::optional<SharedFolder> open(const std::string& path, Trust trust, Error* error);
    /// Opens the folder holding `path` as open() does; `name` receives the
    /// last part of `path`, to be used relative to it.
    static std::optional<SharedFolder> openHolder(const std::string& path, Trust trust,
                                                  std::string* name, Error* error);

    /// The errno a failure these functions report carries (EIO when it names
    /// none), for callers that pass a POSIX code on.
    static int errorCode(const Error& error);

    /// The mode of a folder made as mkdir would make it: 0777 less the umask.
    static constexpr mode_t kDefaultMode = static_cast<mode_t>(-1);

    /// Opens the folder `path`, making it and any missing folder above it
    /// (mkdirat, then opened and checked as open() with Trust::Required).
    /// The folder itself, when made, gets exactly `mode` (or kDefaultMode);
    /// folders made above it exactly `aboveMode`. `made` tells whether the
    /// folder itself was made; `madePaths`, when given, receives the path of
    /// every folder made, outermost first.
    static std::optional<SharedFolder> make(const std::string& path, mode_t mode, Error* error,
                                            bool* made = nullptr, mode_t aboveMode = kDefaultMode,
                                            std::vector<std::string>* madePaths = nullptr);

    SharedFolder(SharedFolder&&) noexcept = default;
    SharedFolder& operator=(SharedFolder&&) noexcept = default;

    int fd() const { return fd_.get(); }
    const std::string& path() const { return path_; }
    /// `path()` joined with `name`.
    std::string pathOf(std::string_view name) const;
    /// Whether this is the same folder (device and inode) as `other`.
    bool isSameFolder(const SharedFolder& other) const;
    /// The folder's own status, read from the descriptor.
    bool status(struct stat* st) const;

    /// Opens the folder `name` (one part, no link) in this folder; with
    /// Trust::Required a root run refuses it as open() does. Failure:
    /// nullopt with the error (ENOENT when missing).
    std::optional<SharedFolder> child(std::string_view name, Trust trust, Error* error) const;
    /// Opens the folder `name`, making it when it is missing; a folder made
    /// gets exactly `mode`, one that exists keeps its mode and must be
    /// trusted as child() with Trust::Required checks. `made` tells which.
    std::optional<SharedFolder> makeChild(std::string_view name, mode_t mode, Error* error,
                                          bool* made = nullptr) const;
    /// Makes a new folder `prefix` followed by six random characters, with
    /// exactly `mode`, as mkdtemp does; `name` receives its name.
    std::optional<SharedFolder> makeUniqueChild(std::string_view prefix, mode_t mode,
                                                std::string* name, Error* error) const;

    /// The status of the entry `name` without following a link; false with
    /// errno set.
    bool statEntry(std::string_view name, struct stat* st) const;
    /// Whether an entry `name` exists (a dangling link counts).
    bool hasEntry(std::string_view name) const;
    /// The names of the entries ("." and ".." left out), in no order; nullopt
    /// with the error.
    std::optional<std::vector<std::string>> entries(Error* error) const;
    /// Number of entries, or -1 with errno set.
    std::int64_t countEntries() const;

    /// Opens the file `name` in this folder with `flags` (O_NOFOLLOW and
    /// O_CLOEXEC are added) and `mode`; -1 with errno set.
    int openFile(std::string_view name, int flags, mode_t mode = 0) const;
    /// Opens `relative` (a path below this folder) with `flags` (O_CLOEXEC
    /// added), following links only while they stay inside this folder
    /// (openat2 with RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS): -1 with errno,
    /// EXDEV for a way out, ENOSYS where the kernel lacks openat2.
    int openInside(std::string_view relative, int flags) const;
    /// Reads the whole regular file `name` (at most `limit` bytes), never
    /// through a link. False with errno set (EINVAL: not a regular file,
    /// EFBIG: over the limit).
    bool readFile(std::string_view name, Data& out,
                  std::uint64_t limit = std::uint64_t(1) << 30) const;
    /// Writes `data` to the file `name` with exactly `mode`, never through a
    /// link; while written the file has at most mode's read and write bits.
    /// `atomically`: through a new file beside it, renamed over it, so the
    /// name holds the old file or the whole new one. A failed write leaves no
    /// file of its own behind. False with errno set.
    bool writeFile(std::string_view name, const Data& data, mode_t mode, bool atomically) const;
    /// Removes the file (not folder) `name`; false with errno set.
    bool removeFile(std::string_view name) const;

    /// Binds the Unix-domain socket `socket` to the new entry `name` of this
    /// folder, made with exactly `mode` whatever the process's umask, never
    /// through a link (EADDRINUSE when something is at the name): by the
    /// name alone, in a short-lived child process whose working folder is
    /// this one. False with errno.
    bool bindSocket(int socket, std::string_view name, mode_t mode) const;

    /// Moves the entry `name` to `toName` in `to`. With `noReplace` an
    /// existing destination is never replaced (EEXIST). Across file systems
    /// (EXDEV) the caller decides: see copyTree.
    bool moveEntry(std::string_view name, const SharedFolder& to, std::string_view toName,
                   bool noReplace, Error* error) const;
    /// Copies the file or folder tree `name` to the new entry `toName` in
    /// `to`: folders and regular files with their modes, links and other
    /// files left out. A file named `last` in the top folder is copied
    /// after everything else. On failure the partial copy is removed.
    bool copyTree(std::string_view name, const SharedFolder& to, std::string_view toName,
                  std::string_view last, Error* error) const;
    /// Removes the entry `name` and, for a folder, everything in it: an
    /// unlinkat walk from held descriptors that never follows a link and
    /// never enters another file system. With `force` an immutable flag is
    /// cleared first. 0, or the errno of the first failure (what was removed
    /// before it stays removed).
    int removeTree(std::string_view name, bool force) const;
    /// Removes the item at `path` and everything below it as removeTree()
    /// does, from the folder holding it (opened as openHolder() does, with
    /// Trust::Any). 0, or the errno of the first failure, the open's
    /// included. `found`, when given, receives the item's status as it was
    /// before the removal (all zero when it could not be read).
    static int removeTreeAt(const std::string& path, bool force, struct stat* found = nullptr);
    /// Removes the folder `name` when it is empty and still `expected`; true
    /// when it went.
    bool removeEmptyFolder(std::string_view name, const SharedFolder& expected) const;

    /// Called between a check and the step that relies on it, with the
    /// step's name ("made", "opened", "move", "remove", "removeEmpty", and
    /// the callers' own through reachStep), the folder and the entry: tests
    /// run an attacker's move there. Null removes it.
    using StepHook = std::function<void(std::string_view step, const std::string& folder,
                                        std::string_view name)>;
    static void setStepHookForTesting(StepHook hook);
    /// Marks the point of a caller's own where a check on the entry `name`
    /// of `folder` has been made and the step relying on it comes next: the
    /// test hook runs there. Nothing without a hook.
    static void reachStep(std::string_view step, const std::string& folder, std::string_view name);

  private:
    SharedFolder(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
    static std::optional<SharedFolder> walk(const std::string& path, bool makeMissing, mode_t mode,
                                            mode_t aboveMode, Trust trust, Error* error, bool* made,
                                            std::vector<std::string>* madePaths);

    UniqueFd fd_;
    std::string path_;
};

}  // namespace platform
