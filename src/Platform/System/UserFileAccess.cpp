#include "Platform/System/UserFileAccess.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace platform {

namespace {

// Takes the user's file access rights on the calling thread only. The raw
// system calls matter: glibc's setgroups() changes every thread of the
// process.
int takeRights(const UserIdentity& user) {
    if (::syscall(SYS_setgroups, user.groups.size(), user.groups.data()) != 0) return errno;
    ::syscall(SYS_setfsgid, user.gid);
    ::syscall(SYS_setfsuid, user.uid);
    // Both calls answer the previous value; an invalid id asks without changing.
    if (static_cast<uid_t>(::syscall(SYS_setfsuid, static_cast<uid_t>(-1))) != user.uid ||
        static_cast<gid_t>(::syscall(SYS_setfsgid, static_cast<gid_t>(-1))) != user.gid)
        return EPERM;
    return 0;
}

}  // namespace

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
            failure = takeRights(user);
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

int openAsUser(const UserIdentity& user, const std::string& path, int flags, Error* error) {
    int fd = -1, openErrno = 0;
    if (!withUserFileAccess(
            user,
            [&] {
                fd = ::open(path.c_str(), flags | O_CLOEXEC);
                openErrno = errno;
            },
            error))
        return -1;
    if (fd < 0) setError(error, Error::fileRead(openErrno, path));
    return fd;
}

}  // namespace platform
