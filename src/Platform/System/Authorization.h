// Administrator authorisation for privileged work.
//
// An Authoriser answers a request for rights with a status and, when it is
// granted, an Authorization: the handle through which privileged requests
// (putting a helper tool in place, removing one) are carried out as root.
//
// The system authoriser grants at once when the process already runs as
// root; the requests are then carried out in-process. Otherwise it starts
// the broker program of the application bundle through an elevator
// ("pkexec <bundle>/Contents/MacOS/PelAuthBroker --serve"), which asks the
// user for an administrator's password. The broker answers "ready" once it
// runs as root and then serves one request per line over its pipes:
//   bless <label>     ->  "ok" | "error <code> <text>"
//   remove <label>    ->  "ok" | "error <code> <text>"
// and exits when its standard input closes. Tests use a fake authoriser.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Values/Error.h"

namespace platform {

using OSStatus = std::int32_t;

inline constexpr OSStatus errAuthorizationSuccess = 0;
inline constexpr OSStatus errAuthorizationDenied = -60005;
inline constexpr OSStatus errAuthorizationCanceled = -60006;

enum AuthorizationFlags : std::uint32_t {
    kAuthorizationFlagDefaults = 0,
    kAuthorizationFlagInteractionAllowed = 1u << 0,
    kAuthorizationFlagExtendRights = 1u << 1,
    kAuthorizationFlagPartialRights = 1u << 2,
    kAuthorizationFlagDestroyRights = 1u << 3,
    kAuthorizationFlagPreAuthorize = 1u << 4,
};

/// One right or environment item: a name, a value of bytes (its length is
/// value.size()) and flags.
struct AuthorizationItem {
    std::string name;
    std::string value;
    std::uint32_t flags = 0;
    friend bool operator==(const AuthorizationItem&, const AuthorizationItem&) = default;
};

struct AuthorizationRequest {
    std::vector<AuthorizationItem> rights;
    /// Absent when the request passes no environment at all.
    std::optional<std::vector<AuthorizationItem>> environment;
    std::uint32_t flags = 0;
};

/// A granted authorisation.
class Authorization {
  public:
    virtual ~Authorization() = default;
    /// Blesses the helper tool `label` of the application bundle. False with
    /// `error` ("CFErrorDomainLaunchd") on failure.
    virtual bool blessHelper(const std::string& label, Error* error) = 0;
    /// Stops and removes the job `label`.
    virtual bool removeJob(const std::string& label, Error* error) = 0;
};

using AuthorizationRef = std::shared_ptr<Authorization>;

class Authoriser {
  public:
    virtual ~Authoriser() = default;
    /// Asks for the rights of `request`; on errAuthorizationSuccess `out`
    /// holds the authorisation. May block while the user answers.
    virtual OSStatus createAuthorization(const AuthorizationRequest& request,
                                         AuthorizationRef* out) = 0;
    /// Lets go of an authorisation (`flags` may hold DestroyRights).
    virtual void freeAuthorization(AuthorizationRef authorization, std::uint32_t flags) {
        (void)authorization;
        (void)flags;
    }
};

/// Carries out requests in this process, which must run as root; the helper
/// tools come from `bundlePath` and the job is written for `requesterUid`.
class RootAuthorization : public Authorization {
  public:
    RootAuthorization(std::string bundlePath, uid_t requesterUid)
        : bundlePath_(std::move(bundlePath)), requesterUid_(requesterUid) {}
    bool blessHelper(const std::string& label, Error* error) override;
    bool removeJob(const std::string& label, Error* error) override;

  private:
    std::string bundlePath_;
    uid_t requesterUid_;
};

/// The real authoriser of the running application (see the file comment).
class SystemAuthoriser : public Authoriser {
  public:
    /// `bundlePath` "" means the main bundle's. `elevator` is the command
    /// that runs the broker as root (empty: run it directly, as a process
    /// that is root already does).
    explicit SystemAuthoriser(std::string bundlePath = {},
                              std::vector<std::string> elevator = {"pkexec"});
    OSStatus createAuthorization(const AuthorizationRequest& request,
                                 AuthorizationRef* out) override;

    /// Grants in-process when the effective uid is 0 (the default); tests
    /// that want the broker as root switch it off.
    void setGrantInProcessAsRoot(bool grant) { grantInProcess_ = grant; }

  private:
    std::string bundlePath_;
    std::vector<std::string> elevator_;
    bool grantInProcess_ = true;
};

/// The broker's side: answers requests read from `inFd` on `outFd` until
/// the input ends, blessing helpers of `bundlePath` for `requesterUid`,
/// whose rights the bundle's tools are read with. Prints "ready" first. Answers the exit status for
/// the broker program.
int PelAuthBrokerServe(int inFd, int outFd, const std::string& bundlePath, uid_t requesterUid);

/// The process-wide authoriser (a SystemAuthoriser unless replaced).
std::shared_ptr<Authoriser> defaultAuthoriser();
/// Replaces it; null restores the real one.
void setDefaultAuthoriser(std::shared_ptr<Authoriser> authoriser);

}  // namespace platform
