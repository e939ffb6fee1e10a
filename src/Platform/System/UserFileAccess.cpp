#include "Platform/System/UserFileAccess.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <linux/openat2.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "Platform/System/UserAccount.h"

namespace platform {

namespace {

// The calling thread's capabilities (the raw calls: they act on one thread,
// and the project does not depend on libcap).
struct Capabilities {
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3] = {};
};

bool getCapabilities(Capabilities* out) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(SYS_capget, &header, out->sets) == 0;
}

bool setCapabilities(const Capabilities& caps) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(SYS_capset, &header, caps.sets) == 0;
}

// The user's file access rights on the calling thread only, given back when
// it ends. The raw system calls matter: glibc's setgroups() and friends
// change every thread of the process.
class ThreadRights {
  public:
    ThreadRights() = default;
    ThreadRights(const ThreadRights&) = delete;
    ThreadRights& operator=(const ThreadRights&) = delete;
    ~ThreadRights() { giveBack(); }

    // 0, or the errno of the step that failed (what was taken is given back).
    int take(const UserIdentity& user) {
        if (!getCapabilities(&saved_)) return errno;
        const long count = ::syscall(SYS_getgroups, 0, nullptr);
        if (count < 0) return errno;
        savedGroups_.resize(std::size_t(count));
        if (::syscall(SYS_getgroups, count, savedGroups_.data()) != count) return EPERM;
        // Both calls answer the previous value; an invalid id asks without changing.
        savedFsuid_ = static_cast<uid_t>(::syscall(SYS_setfsuid, static_cast<uid_t>(-1)));
        savedFsgid_ = static_cast<gid_t>(::syscall(SYS_setfsgid, static_cast<gid_t>(-1)));
        taken_ = true;
        if (::syscall(SYS_setgroups, user.groups.size(), user.groups.data()) != 0) return errno;
        ::syscall(SYS_setfsgid, user.gid);
        ::syscall(SYS_setfsuid, user.uid);
        if (static_cast<uid_t>(::syscall(SYS_setfsuid, static_cast<uid_t>(-1))) != user.uid ||
            static_cast<gid_t>(::syscall(SYS_setfsgid, static_cast<gid_t>(-1))) != user.gid)
            return EPERM;
        // The capabilities stay permitted, to be given back, but none is in
        // force: CAP_SYS_PTRACE alone would open other processes' /proc links.
        Capabilities none = saved_;
        for (auto& set : none.sets) set.effective = 0;
        Capabilities now;
        if (!setCapabilities(none) || !getCapabilities(&now)) return errno ? errno : EPERM;
        for (const auto& set : now.sets)
            if (set.effective != 0) return EPERM;
        return 0;
    }

    void giveBack() {
        if (!taken_) return;
        taken_ = false;
        // The capabilities first: changing ids and groups needs them.
        setCapabilities(saved_);
        ::syscall(SYS_setfsuid, savedFsuid_);
        ::syscall(SYS_setfsgid, savedFsgid_);
        ::syscall(SYS_setgroups, savedGroups_.size(), savedGroups_.data());
    }

  private:
    bool taken_ = false;
    Capabilities saved_;
    std::vector<gid_t> savedGroups_;
    uid_t savedFsuid_ = 0;
    gid_t savedFsgid_ = 0;
};

}  // namespace

UserIdentity userIdentity(uid_t uid, gid_t unknownGroup) {
    UserIdentity user{uid, unknownGroup, {}};
    const auto account = userAccount(uid);
    if (!account) return user;
    user.gid = account->gid;
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    if (getgrouplist(account->name.c_str(), account->gid, groups.data(), &count) < 0) {
        groups.resize(std::size_t(count));
        if (getgrouplist(account->name.c_str(), account->gid, groups.data(), &count) < 0) count = 0;
    }
    groups.resize(std::size_t(count));
    user.groups = std::move(groups);
    return user;
}

bool withUserFileAccess(const UserIdentity& user, const std::function<void()>& work, Error* error) {
    if (user.uid == 0) {
        work();
        return true;
    }
    if (user.uid == static_cast<uid_t>(-1) || user.gid == static_cast<gid_t>(-1)) {
        setError(error, Error::posix(EINVAL));
        return false;
    }
    int failure = 0;
    try {
        std::thread thread([&] {
            ThreadRights rights;
            failure = rights.take(user);
            if (failure == 0) work();
        });
        thread.join();
    } catch (...) {
        failure = EAGAIN;
    }
    if (failure != 0) {
        setError(error, Error::posix(failure));
        return false;
    }
    return true;
}

int openWithoutMagicLinks(int folder, const std::string& path, int flags, bool beneath) {
    open_how how{};
    how.flags = std::uint64_t(flags | O_CLOEXEC);
    how.resolve = RESOLVE_NO_MAGICLINKS | (beneath ? RESOLVE_BENEATH : 0);
    // No kernel before openat2 (Linux 5.6) can say no to magic links: such a
    // system opens nothing for a client (ENOSYS).
    return int(::syscall(SYS_openat2, folder, path.c_str(), &how, sizeof how));
}

int openAsUser(const UserIdentity& user, const std::string& path, int flags, Error* error) {
    int fd = -1, openErrno = 0;
    if (!withUserFileAccess(
            user,
            [&] {
                fd = openWithoutMagicLinks(AT_FDCWD, path, flags);
                openErrno = errno;
            },
            error))
        return -1;
    if (fd < 0) setError(error, Error::fileRead(openErrno, path));
    return fd;
}

}  // namespace platform
