// Putting privileged helper tools in place and taking them away.
//
// Blessing a helper copies the program "<bundle>/Contents/Library/
// LaunchServices/<label>" (never through a link) to
// "/Library/PrivilegedHelperTools/<label>" (owner root, mode 0544, replaced
// atomically), checks that the copy is root's, writable by nobody else and
// holds the bytes read from the bundle's tool, writes its job description
// "/Library/LaunchDaemons/<label>.plist" and starts that checked copy
// detached, as root; it has started once it listens on its System-scope
// service socket. A job that runs already under that label is stopped first.
// Every folder written to (and every folder above it) must be one that only
// root can change; the pid file "/var/run/<label>.pid" ("<pid>\n<program>\n")
// is written without following links and trusted only when it and its
// folders are root's, and then only for a process whose program is exactly
// the one it names. There is no service manager behind this: jobs are not
// started on demand, and a helper ends itself when it has nothing more to
// do. Every path follows Paths.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/System/Authorization.h"
#include "Platform/System/UserFileAccess.h"
#include "Platform/Values/Error.h"

namespace platform {

inline constexpr std::string_view kSMDomainSystemLaunchd = "kSMDomainSystemLaunchd";
inline constexpr std::string_view kCFErrorDomainLaunchd = "CFErrorDomainLaunchd";

enum SMErrorCode : long {
    kSMErrorInternalFailure = 2,
    kSMErrorAuthorizationFailure = 4,
    kSMErrorToolNotValid = 5,
    kSMErrorServiceUnavailable = 7,
};

/// How long a stopped job gets to end before it is killed, and how long a
/// started one gets to listen.
inline constexpr std::chrono::seconds kSMJobStopTimeout{5};
inline constexpr std::chrono::seconds kSMJobStartTimeout{5};

/// Blesses `label` under `authorization` (an error 4 without one).
bool SMJobBless(std::string_view domain, std::string_view label,
                const AuthorizationRef& authorization, Error* error);
/// Stops the job `label` and removes its description; `wait` is accepted
/// for the caller's sake (stopping always waits).
bool SMJobRemove(std::string_view domain, std::string_view label,
                 const AuthorizationRef& authorization, bool wait, Error* error);

/// The work itself, as root, for `requesterUid` (written as the helper's
/// "--client-uid"). The bundle's tool is opened with the rights of `reader`
/// (root's when none is given: the bundle is the program's own); a tool
/// that `reader` cannot open is reported as absent.
bool SMBlessHelperAsRoot(const std::string& bundlePath, const std::string& label,
                         uid_t requesterUid, Error* error,
                         std::optional<UserIdentity> reader = std::nullopt);
bool SMRemoveJobAsRoot(const std::string& label, Error* error);

/// Starts the job that the description at `jobPlistPath` (a real path)
/// names, as root and detached, unless it runs already: "Label" and
/// "ProgramArguments", whose program is a system path. The description and
/// the program must be safe to trust as root (SMIsRootOnlyPath). With `clientUid`, the job is told
/// the user it serves besides root: "--client-uid UID" follows its
/// arguments (unless they name one). Does not wait for it to listen.
bool SMStartJobAsRoot(const std::string& jobPlistPath, Error* error,
                      std::optional<uid_t> clientUid = std::nullopt);

/// True when the file at `path` (absolute; not itself a link) and every
/// folder above it are owned by root and writable by nobody else (a sticky
/// folder may be writable by all). Links among the folders are followed, and
/// the folders they lead through must be root-only too.
bool SMIsRootOnlyPath(const std::string& path);

/// The places of a job's files (system paths, not yet resolved).
std::string SMHelperToolPath(std::string_view label);
std::string SMJobPlistPath(std::string_view label);
std::string SMJobPidPath(std::string_view label);
/// The pid of the running job `label`, or -1 (also when its pid file is
/// not one that only root could have written).
pid_t SMRunningJobPid(std::string_view label);

}  // namespace platform
