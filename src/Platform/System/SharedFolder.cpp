#include "Platform/System/SharedFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <linux/openat2.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "Platform/System/PathNames.h"
#include "Platform/System/UserFileAccess.h"

namespace platform {

namespace {

// As many links as the kernel follows in one path.
constexpr int kMaxLinks = 40;
// Deeper trees are not removed: each level holds a descriptor.
constexpr int kMaxRemoveDepth = 128;

std::mutex gHookMutex;
std::atomic<bool> gHookSet{false};
SharedFolder::StepHook& hookSlot() {
    static SharedFolder::StepHook hook;
    return hook;
}

void runStep(std::string_view name, const std::string& folder, std::string_view entry) {
    if (!gHookSet.load()) return;
    SharedFolder::StepHook hook;
    {
        std::lock_guard lock(gHookMutex);
        hook = hookSlot();
    }
    if (hook) hook(name, folder, entry);
}

std::atomic<bool> gNoOpenat2{false};

// Opens `name` below `dir` without following any link and without leaving
// `dir`: openat2 where the kernel has it, else one part at a time.
int openBeneath(int dir, std::string name, int flags) {
    flags |= O_CLOEXEC | O_NOFOLLOW;
    if (name.empty()) name = ".";
    if (!gNoOpenat2.load(std::memory_order_relaxed)) {
        struct open_how how {};
        how.flags = static_cast<std::uint64_t>(flags);
        how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_BENEATH;
        const long fd = ::syscall(SYS_openat2, dir, name.c_str(), &how, sizeof how);
        if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return static_cast<int>(fd);
        // Not there, or refused by a sandbox's filter: the walk below is as
        // strict, one part at a time.
        if (errno == ENOSYS) gNoOpenat2.store(true, std::memory_order_relaxed);
    }
    const auto parts = pathParts(name);
    if (parts.empty()) return ::openat(dir, ".", flags & ~O_NOFOLLOW);
    UniqueFd current(::fcntl(dir, F_DUPFD_CLOEXEC, 0));
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (!current) return -1;
        if (parts[i] == "..") {
            errno = EXDEV;
            return -1;
        }
        const bool last = i + 1 == parts.size();
        current.reset(::openat(current.get(), parts[i].c_str(),
                               last ? flags : O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    return current.release();
}

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY;

int untrusted(const struct stat& st) {
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
    if (st.st_uid != 0) return EPERM;
    const bool othersWrite = (st.st_mode & S_IWOTH) || ((st.st_mode & S_IWGRP) && st.st_gid != 0);
    if (othersWrite && !(st.st_mode & S_ISVTX)) return EPERM;
    return 0;
}

bool fail(Error* error, int code, const std::string& path) {
    setError(error, Error::fileWrite(code, path));
    return false;
}

std::string randomSuffix() {
    static constexpr char kChars[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[6] = {};
    if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        static std::atomic<unsigned> counter{0};
        const unsigned seed = static_cast<unsigned>(::getpid()) * 2654435761u + counter++;
        for (std::size_t i = 0; i < sizeof bytes; ++i) bytes[i] = (seed >> (i * 5)) & 0xff;
    }
    std::string out;
    for (unsigned char b : bytes) out += kChars[b % (sizeof kChars - 1)];
    return out;
}

bool writeAll(int fd, const Data& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Clears the immutable flag of the entry `name` of `dir` when it is still a
// regular file or folder (opening anything else could have side effects).
void clearImmutable(int dir, const char* name) {
    UniqueFd fd(::openat(dir, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) return;
    int flags = 0;
    if (::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_IMMUTABLE_FL)) {
        flags &= ~FS_IMMUTABLE_FL;
        (void)::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags);
    }
}

std::optional<std::vector<std::string>> namesIn(int dir) {
    // A descriptor of its own: a duplicate would share the read position.
    const int fd = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::unique_ptr<DIR, int (*)(DIR*)> stream(::fdopendir(fd), &::closedir);
    if (!stream) {
        const int code = errno;
        ::close(fd);
        errno = code;
        return std::nullopt;
    }
    std::vector<std::string> names;
    errno = 0;
    while (dirent* entry = ::readdir(stream.get())) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
        errno = 0;
    }
    if (errno != 0) return std::nullopt;
    return names;
}

int removeBelow(int dir, const std::string& name, bool force, dev_t device, int depth);

// Empties the open folder `folder`.
int emptyFolder(int folder, bool force, dev_t device, int depth) {
    auto names = namesIn(folder);
    if (!names) return errno;
    for (const auto& name : *names)
        if (int code = removeBelow(folder, name, force, device, depth + 1)) return code;
    return 0;
}

int removeBelow(int dir, const std::string& name, bool force, dev_t device, int depth) {
    if (depth > kMaxRemoveDepth) return ELOOP;
    // Whatever is there when it is looked at: a folder is opened without
    // following a link and emptied through that descriptor; anything else,
    // links included, is unlinked as itself.
    for (int attempt = 0; attempt < 4; ++attempt) {
        struct stat st {};
        if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
        if (!S_ISDIR(st.st_mode)) {
            if (force && S_ISREG(st.st_mode)) clearImmutable(dir, name.c_str());
            if (::unlinkat(dir, name.c_str(), 0) == 0) return 0;
            if (errno == EISDIR || errno == EPERM) {
                struct stat now {};
                // Replaced by a folder meanwhile: look again.
                if (::fstatat(dir, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                    S_ISDIR(now.st_mode))
                    continue;
            }
            return errno;
        }
        if (st.st_dev != device) return EXDEV;
        runStep("remove", "", name);
        UniqueFd sub(::openat(dir, name.c_str(), kFolderFlags | O_NOFOLLOW | O_CLOEXEC));
        if (!sub) {
            if (errno == ELOOP || errno == ENOTDIR) continue;  // no longer a folder
            return errno;
        }
        struct stat opened {};
        if (::fstat(sub.get(), &opened) != 0) return errno;
        if (opened.st_dev != device) return EXDEV;
        if (force) clearImmutable(dir, name.c_str());
        if (int code = emptyFolder(sub.get(), force, device, depth)) return code;
        sub.reset();
        if (::unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0) return 0;
        if (errno == ENOTEMPTY || errno == EEXIST || errno == ENOTDIR) continue;
        return errno;
    }
    return EAGAIN;
}

int copyBelow(int from, const std::string& name, int to, const std::string& toName,
              std::string_view last, int depth);

int copyFile(int from, const std::string& name, const struct stat& st, int to,
             const std::string& toName) {
    UniqueFd in(::openat(from, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    struct stat opened {};
    if (!in || ::fstat(in.get(), &opened) != 0) return errno;
    if (!S_ISREG(opened.st_mode) || opened.st_ino != st.st_ino) return EAGAIN;
    UniqueFd out(
        ::openat(to, toName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out) return errno;
    std::vector<std::uint8_t> buffer(1 << 16);
    for (;;) {
        const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) break;
        if (!writeAll(out.get(), Data(buffer.begin(), buffer.begin() + n))) return errno;
    }
    if (::fchmod(out.get(), opened.st_mode & 07777) != 0) return errno;
    if (::close(out.release()) != 0) return errno;
    return 0;
}

int copyBelow(int from, const std::string& name, int to, const std::string& toName,
              std::string_view last, int depth) {
    if (depth > kMaxRemoveDepth) return ELOOP;
    struct stat st {};
    if (::fstatat(from, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    if (S_ISREG(st.st_mode)) return copyFile(from, name, st, to, toName);
    if (!S_ISDIR(st.st_mode)) return 0;  // links and special files stay behind
    UniqueFd source(::openat(from, name.c_str(), kFolderFlags | O_NOFOLLOW | O_CLOEXEC));
    if (!source) return errno;
    if (::mkdirat(to, toName.c_str(), 0700) != 0) return errno;
    UniqueFd copy(::openat(to, toName.c_str(), kFolderFlags | O_NOFOLLOW | O_CLOEXEC));
    if (!copy) return errno;
    auto names = namesIn(source.get());
    if (!names) return errno;
    bool hasLast = false;
    for (const auto& entry : *names) {
        if (depth == 0 && !last.empty() && entry == last) {
            hasLast = true;
            continue;
        }
        if (int code = copyBelow(source.get(), entry, copy.get(), entry, last, depth + 1))
            return code;
    }
    if (hasLast) {
        const std::string lastName(last);
        if (int code = copyBelow(source.get(), lastName, copy.get(), lastName, last, depth + 1))
            return code;
    }
    if (::fchmod(copy.get(), st.st_mode & 07777) != 0) return errno;
    return 0;
}

}  // namespace

int openFolderBelow(int base, std::string_view relative) {
    return openBeneath(base, std::string(relative), O_PATH | O_DIRECTORY);
}

bool SharedFolder::checksTrust() { return ::geteuid() == 0; }

int SharedFolder::untrustedReason(int fd) {
    if (!checksTrust()) return 0;
    struct stat st {};
    if (::fstat(fd, &st) != 0) return errno;
    return untrusted(st);
}

void SharedFolder::setStepHookForTesting(StepHook hook) {
    std::lock_guard lock(gHookMutex);
    hookSlot() = std::move(hook);
    gHookSet.store(static_cast<bool>(hookSlot()));
}

void SharedFolder::reachStep(std::string_view step, const std::string& folder,
                             std::string_view name) {
    runStep(step, folder, name);
}

std::optional<SharedFolder> SharedFolder::open(const std::string& path, Trust trust, Error* error) {
    return walk(path, false, 0, kDefaultMode, trust, error, nullptr, nullptr);
}

std::optional<SharedFolder> SharedFolder::openHolder(const std::string& path, Trust trust,
                                                     std::string* name, Error* error) {
    std::string_view own = path;
    while (own.size() > 1 && own.back() == '/') own.remove_suffix(1);
    const std::size_t slash = own.find_last_of('/');
    *name = std::string(slash == std::string_view::npos ? own : own.substr(slash + 1));
    const std::string holder = slash == std::string_view::npos ? "."
                               : slash == 0                    ? "/"
                                                               : std::string(own.substr(0, slash));
    return open(holder, trust, error);
}

int SharedFolder::errorCode(const Error& error) {
    const Error* cause = error.underlyingError();
    return cause && cause->code() > 0 ? static_cast<int>(cause->code()) : EIO;
}

std::optional<SharedFolder> SharedFolder::make(const std::string& path, mode_t mode, Error* error,
                                               bool* made, mode_t aboveMode,
                                               std::vector<std::string>* madePaths) {
    return walk(path, true, mode, aboveMode, Trust::Required, error, made, madePaths);
}

std::optional<SharedFolder> SharedFolder::walk(const std::string& path, bool makeMissing,
                                               mode_t mode, mode_t aboveMode, Trust trust,
                                               Error* error, bool* made,
                                               std::vector<std::string>* madePaths) {
    if (made) *made = false;
    auto checked = [trust](int fd) { return trust == Trust::Required ? untrustedReason(fd) : 0; };
    if (path.empty()) {
        fail(error, ENOENT, path);
        return std::nullopt;
    }
    const bool root = checksTrust();
    const bool absolute = path.front() == '/';
    std::string where = absolute ? "/" : ".";
    UniqueFd dir(::open(where.c_str(), kFolderFlags | O_CLOEXEC));
    int why = dir ? checked(dir.get()) : errno;
    if (why) {
        fail(error, why, where);
        return std::nullopt;
    }
    std::vector<std::string> pending = pathParts(path);
    std::reverse(pending.begin(), pending.end());
    int links = 0;
    while (!pending.empty()) {
        const std::string part = std::move(pending.back());
        pending.pop_back();
        const bool last = pending.empty();
        const mode_t wanted = last ? mode : aboveMode;
        const std::string here = pathInFolder(where, part);
        bool madeHere = false;
        struct stat st {};
        if (::fstatat(dir.get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT || !makeMissing) {
                fail(error, errno, here);
                return std::nullopt;
            }
            // Made private first; the mode wanted is set on the folder
            // opened below, never on whatever the name leads to later.
            if (::mkdirat(dir.get(), part.c_str(), wanted != kDefaultMode ? 0700 : 0777) == 0) {
                madeHere = true;
            } else if (errno != EEXIST) {
                fail(error, errno, here);
                return std::nullopt;
            }
            runStep("made", where, part);
        } else if (S_ISLNK(st.st_mode)) {
            // Only a link no other user could have made is followed.
            char target[PATH_MAX + 1];
            const ssize_t n = root && st.st_uid != 0 ? -1
                                                     : ::readlinkat(dir.get(), part.c_str(), target,
                                                                    sizeof target - 1);
            if (n <= 0 || ++links > kMaxLinks) {
                fail(error, ELOOP, here);
                return std::nullopt;
            }
            const std::string_view text(target, static_cast<std::size_t>(n));
            if (text.front() == '/') {
                where = "/";
                dir.reset(::open("/", kFolderFlags | O_CLOEXEC));
                if (!dir) {
                    fail(error, errno, where);
                    return std::nullopt;
                }
            }
            auto more = pathParts(text);
            for (auto it = more.rbegin(); it != more.rend(); ++it) pending.push_back(*it);
            continue;
        }
        UniqueFd next(::openat(dir.get(), part.c_str(), kFolderFlags | O_NOFOLLOW | O_CLOEXEC));
        why = next ? checked(next.get()) : errno;
        if (!why && madeHere && wanted != kDefaultMode && ::fchmod(next.get(), wanted) != 0)
            why = errno;
        if (why) {
            fail(error, why, here);
            return std::nullopt;
        }
        if (madeHere && last && made) *made = true;
        if (madeHere && madePaths) madePaths->push_back(here);
        dir = std::move(next);
        where = here;
    }
    std::string own = path;
    while (own.size() > 1 && own.back() == '/') own.pop_back();
    return SharedFolder(std::move(dir), std::move(own));
}

std::string SharedFolder::pathOf(std::string_view name) const { return pathInFolder(path_, name); }

bool SharedFolder::status(struct stat* st) const { return ::fstat(fd_.get(), st) == 0; }

bool SharedFolder::isSameFolder(const SharedFolder& other) const {
    struct stat a {
    }, b{};
    return status(&a) && other.status(&b) && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::optional<SharedFolder> SharedFolder::child(std::string_view name, Trust trust,
                                                Error* error) const {
    const std::string path = pathOf(name);
    if (!isPlainFileName(name)) {
        fail(error, EINVAL, path);
        return std::nullopt;
    }
    UniqueFd fd(openBeneath(fd_.get(), std::string(name), kFolderFlags));
    const int why = !fd ? errno : trust == Trust::Required ? untrustedReason(fd.get()) : 0;
    if (why) {
        fail(error, why, path);
        return std::nullopt;
    }
    runStep("opened", path_, name);
    return SharedFolder(std::move(fd), path);
}

std::optional<SharedFolder> SharedFolder::makeChild(std::string_view name, mode_t mode,
                                                    Error* error, bool* made) const {
    if (made) *made = false;
    const std::string path = pathOf(name);
    if (!isPlainFileName(name)) {
        fail(error, EINVAL, path);
        return std::nullopt;
    }
    // Root makes folders only where no other user could swap them.
    if (int why = untrustedReason(fd_.get())) {
        fail(error, why, path_);
        return std::nullopt;
    }
    const std::string own(name);
    // An entry that goes between our mkdirat and our open (another user's,
    // removed by its owner) is made again.
    for (int attempt = 0;; ++attempt) {
        bool madeHere = false;
        if (::mkdirat(fd_.get(), own.c_str(), 0700) == 0) {
            madeHere = true;
            runStep("made", path_, name);
        } else if (errno != EEXIST) {
            fail(error, errno, path);
            return std::nullopt;
        }
        Error openError;
        auto folder = child(name, Trust::Required, &openError);
        const Error* cause = openError.underlyingError();
        if (!folder && !madeHere && attempt < 8 && cause && cause->code() == ENOENT) continue;
        if (!folder) {
            setError(error, std::move(openError));
            return std::nullopt;
        }
        if (madeHere) {
            if (::fchmod(folder->fd(), mode) != 0) {
                fail(error, errno, path);
                return std::nullopt;
            }
            if (made) *made = true;
        }
        return folder;
    }
}

std::optional<SharedFolder> SharedFolder::makeUniqueChild(std::string_view prefix, mode_t mode,
                                                          std::string* name, Error* error) const {
    if (int why = untrustedReason(fd_.get())) {
        fail(error, why, path_);
        return std::nullopt;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = std::string(prefix) + randomSuffix();
        if (::mkdirat(fd_.get(), candidate.c_str(), 0700) != 0) {
            if (errno == EEXIST) continue;
            fail(error, errno, path_);
            return std::nullopt;
        }
        runStep("made", path_, candidate);
        auto folder = child(candidate, Trust::Required, error);
        if (!folder) return std::nullopt;
        if (::fchmod(folder->fd(), mode) != 0) {
            fail(error, errno, folder->path());
            return std::nullopt;
        }
        if (name) *name = std::move(candidate);
        return folder;
    }
    fail(error, EEXIST, path_);
    return std::nullopt;
}

bool SharedFolder::statEntry(std::string_view name, struct stat* st) const {
    if (!isPlainFileName(name)) {
        errno = EINVAL;
        return false;
    }
    return ::fstatat(fd_.get(), std::string(name).c_str(), st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool SharedFolder::hasEntry(std::string_view name) const {
    struct stat st {};
    return statEntry(name, &st);
}

std::optional<std::vector<std::string>> SharedFolder::entries(Error* error) const {
    auto names = namesIn(fd_.get());
    if (!names) setError(error, Error::fileRead(errno, path_));
    return names;
}

std::int64_t SharedFolder::countEntries() const {
    auto names = namesIn(fd_.get());
    return names ? static_cast<std::int64_t>(names->size()) : -1;
}

int SharedFolder::openFile(std::string_view name, int flags, mode_t mode) const {
    if (!isPlainFileName(name)) {
        errno = EINVAL;
        return -1;
    }
    return ::openat(fd_.get(), std::string(name).c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
}

int SharedFolder::openInside(std::string_view relative, int flags) const {
    const std::string own(relative.empty() ? std::string_view(".") : relative);
    return openWithoutMagicLinks(fd_.get(), own, flags, true);
}

bool SharedFolder::readFile(std::string_view name, Data& out, std::uint64_t limit) const {
    // Non-blocking, so that a FIFO put in the file's place cannot stall us.
    UniqueFd fd(openFile(name, O_RDONLY | O_NONBLOCK));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return false;
    }
    Data data;
    data.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(st.st_size, limit)));
    std::uint8_t buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        data.insert(data.end(), buffer, buffer + n);
        if (data.size() > limit) {
            errno = EFBIG;
            return false;
        }
    }
    out = std::move(data);
    return true;
}

bool SharedFolder::writeFile(std::string_view name, const Data& data, mode_t mode,
                             bool atomically) const {
    if (!isPlainFileName(name)) {
        errno = EINVAL;
        return false;
    }
    const std::string own(name);
    const std::string target = atomically ? own + ".vt" + randomSuffix() : own;
    const int flags = O_WRONLY | O_CREAT | (atomically ? O_EXCL : O_TRUNC);
    UniqueFd fd(openFile(target, flags, mode & 0666));
    if (!fd) return false;
    // An older file keeps its mode while it is rewritten: narrow it first.
    bool ok = ::fchmod(fd.get(), mode & 0666) == 0 && writeAll(fd.get(), data) &&
              ::fchmod(fd.get(), mode) == 0;
    int code = errno;
    if (::close(fd.release()) != 0 && ok) {
        ok = false;
        code = errno;
    }
    if (ok && atomically && ::renameat(fd_.get(), target.c_str(), fd_.get(), own.c_str()) != 0) {
        ok = false;
        code = errno;
    }
    if (!ok) {
        ::unlinkat(fd_.get(), target.c_str(), 0);
        errno = code;
    }
    return ok;
}

bool SharedFolder::removeFile(std::string_view name) const {
    if (!isPlainFileName(name)) {
        errno = EINVAL;
        return false;
    }
    return ::unlinkat(fd_.get(), std::string(name).c_str(), 0) == 0;
}

bool SharedFolder::bindSocket(int socket, std::string_view name, mode_t mode) const {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (!isPlainFileName(name) || name.size() >= sizeof address.sun_path) {
        errno = isPlainFileName(name) ? ENAMETOOLONG : EINVAL;
        return false;
    }
    std::memcpy(address.sun_path, name.data(), name.size());
    // The file bind makes takes the socket's own mode, less the umask.
    if (::fchmod(socket, mode) != 0) return false;
    // bind takes a path, never a folder: a child process whose working
    // folder is this one, and whose umask is 0, binds the socket (which it
    // shares) by the name alone, so no folder above is looked up again and
    // the file gets exactly `mode`. The child of a threaded process makes
    // system calls only; it reports through a pipe, which works even where
    // children are reaped by someone else.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return false;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(report[0]);
        int code = 0;
        if (::fchdir(fd_.get()) != 0) {
            code = errno;
        } else {
            ::umask(0);
            if (::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
                code = errno;
        }
        (void)!::write(report[1], &code, sizeof code);
        ::_exit(0);
    }
    const int forkError = child < 0 ? errno : 0;
    ::close(report[1]);
    int code = forkError ? forkError : EIO;
    if (!forkError) {
        int got = 0;
        ssize_t n;
        while ((n = ::read(report[0], &got, sizeof got)) < 0 && errno == EINTR) {
        }
        if (n == static_cast<ssize_t>(sizeof got)) code = got;
        while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    ::close(report[0]);
    errno = code;
    return code == 0;
}

bool SharedFolder::moveEntry(std::string_view name, const SharedFolder& to, std::string_view toName,
                             bool noReplace, Error* error) const {
    if (!isPlainFileName(name) || !isPlainFileName(toName))
        return fail(error, EINVAL, to.pathOf(toName));
    const std::string from(name), into(toName);
    runStep("move", path_, name);
    int rc = static_cast<int>(::syscall(SYS_renameat2, fd_.get(), from.c_str(), to.fd(),
                                        into.c_str(), noReplace ? RENAME_NOREPLACE : 0));
    if (rc != 0 && noReplace && errno == EINVAL) {
        // A file system without RENAME_NOREPLACE: the nearest equivalent.
        if (to.hasEntry(toName)) return fail(error, EEXIST, to.pathOf(toName));
        rc = ::renameat(fd_.get(), from.c_str(), to.fd(), into.c_str());
    }
    return rc == 0 || fail(error, errno, to.pathOf(toName));
}

bool SharedFolder::copyTree(std::string_view name, const SharedFolder& to, std::string_view toName,
                            std::string_view last, Error* error) const {
    if (!isPlainFileName(name) || !isPlainFileName(toName))
        return fail(error, EINVAL, to.pathOf(toName));
    if (to.hasEntry(toName)) return fail(error, EEXIST, to.pathOf(toName));
    const int code = copyBelow(fd_.get(), std::string(name), to.fd(), std::string(toName), last, 0);
    if (code == 0) return true;
    to.removeTree(toName, true);
    return fail(error, code, to.pathOf(toName));
}

int SharedFolder::removeTree(std::string_view name, bool force) const {
    if (!isPlainFileName(name)) return EINVAL;
    struct stat st {};
    if (!statEntry(name, &st)) return errno;
    return removeBelow(fd_.get(), std::string(name), force, st.st_dev, 0);
}

int SharedFolder::removeTreeAt(const std::string& path, bool force, struct stat* found) {
    struct stat st {};
    if (found) *found = st;
    std::string name;
    Error failure;
    auto holder = openHolder(path, Trust::Any, &name, &failure);
    if (!holder) return errorCode(failure);
    if (!holder->statEntry(name, &st)) return errno;
    if (found) *found = st;
    return removeBelow(holder->fd(), name, force, st.st_dev, 0);
}

bool SharedFolder::removeEmptyFolder(std::string_view name, const SharedFolder& expected) const {
    struct stat there {
    }, wanted{};
    runStep("removeEmpty", path_, name);
    if (!statEntry(name, &there) || !expected.status(&wanted) || there.st_dev != wanted.st_dev ||
        there.st_ino != wanted.st_ino)
        return false;
    return ::unlinkat(fd_.get(), std::string(name).c_str(), AT_REMOVEDIR) == 0;
}

}  // namespace platform
