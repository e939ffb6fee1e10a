// Opening files with a user's rights from a program that runs as root.
//
// A privileged helper must see a client's paths as the client would: every
// folder on the way counts, and so do the client's groups. The work runs on
// a thread of its own whose filesystem user and group ids and supplementary
// groups are the user's, and which holds no effective capability while it
// works (Linux keeps all of these per thread); the program's other threads
// keep theirs. Changing the filesystem user id away from 0 only drops the
// rights to bypass file permissions: a thread that kept root's others could
// still follow /proc/<pid>/cwd, /proc/<pid>/root or /proc/<pid>/fd/N of a
// root process straight past the closed folders above that process's
// working folder. What is opened there may be read anywhere afterwards.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "Platform/Values/Error.h"

namespace platform {

/// Whose rights a file access uses.
struct UserIdentity {
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    std::vector<gid_t> groups;  // supplementary groups
};

/// The overflow group: the group of ids no account has.
inline constexpr gid_t kOverflowGroup = 65534;

/// The identity of the user `uid` as the user database has it: its primary
/// group and the groups it belongs to. A uid the database does not know gets
/// `unknownGroup` (by default the overflow group) and no further groups.
UserIdentity userIdentity(uid_t uid, gid_t unknownGroup = kOverflowGroup);

/// Runs `work` with the file access rights of `user` and waits for it: on a
/// thread of its own, or on the calling thread when `user` is root. The
/// thread holds no effective capability while `work` runs (they are given
/// back after it). False, with `error` filled and `work` not run, when the
/// rights cannot be taken (the process is not root, or the thread cannot be
/// made); `work` must not throw.
bool withUserFileAccess(const UserIdentity& user, const std::function<void()>& work, Error* error);

/// openat(2) (O_CLOEXEC added) that never goes through a magic link
/// (/proc/<pid>/cwd, /proc/<pid>/root, /proc/<pid>/fd/N and the like): such
/// a link leads to its place without passing the folders above it. With
/// `beneath`, the walk also never leaves `folder` (no "..", absolute path or
/// link that leads above it). -1 with errno set when refused.
int openWithoutMagicLinks(int folder, const std::string& path, int flags, bool beneath = false);

/// Opens `path` as `user` would (`flags` as for open(2); O_CLOEXEC is
/// added), never through a magic link. Answers the descriptor, or -1 with
/// `error` filled.
int openAsUser(const UserIdentity& user, const std::string& path, int flags, Error* error);

}  // namespace platform
