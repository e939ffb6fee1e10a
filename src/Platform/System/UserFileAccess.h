// Opening files with a user's rights from a program that runs as root.
//
// A privileged helper must see a client's paths as the client would: every
// folder on the way counts, and so do the client's groups. The work runs on
// a thread of its own whose filesystem user and group ids and supplementary
// groups are the user's (Linux keeps these per thread, and changing the
// filesystem user id away from 0 drops the thread's right to bypass file
// permissions); the program's other threads keep theirs. What is opened there
// may be read anywhere afterwards.
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

/// Runs `work` with the file access rights of `user` and waits for it: on a
/// thread of its own, or on the calling thread when `user` is root. False,
/// with `error` filled and `work` not run, when the rights cannot be taken
/// (the process is not root, or the thread cannot be made); `work` must not
/// throw.
bool withUserFileAccess(const UserIdentity& user, const std::function<void()>& work, Error* error);

/// Opens `path` as `user` would (`flags` as for open(2); O_CLOEXEC is
/// added). Answers the descriptor, or -1 with `error` filled.
int openAsUser(const UserIdentity& user, const std::string& path, int flags, Error* error);

}  // namespace platform
