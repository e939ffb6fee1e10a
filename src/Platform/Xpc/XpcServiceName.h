// Where a named service listens.
//
// Helper programs are reached by a reverse-DNS service name such as
// "com.pelgrave.PelInstallHelper". Each name maps to a Unix-domain socket:
// services that run as root listen in the root-owned system folder
// "/var/run/pelgrave", other services in the user's runtime folder. Both
// follow the path root of Paths, so tests move them under a temporary folder.
#pragma once

#include <string>
#include <string_view>

#include "Platform/Values/Error.h"

namespace platform {

/// Error domain of the messaging layer; codes below.
inline constexpr std::string_view kXpcErrorDomain = "com.pelgrave.xpc";
inline constexpr long kXpcErrorInvalidServiceName = 1;
inline constexpr long kXpcErrorListenFailed = 2;

/// Where a service's socket lives.
enum class XpcServiceScope {
    System,  // services running as root: "/var/run/pelgrave"
    User,    // services of the current user: the user's runtime folder
};

/// Longest accepted service name, in bytes.
inline constexpr std::size_t kXpcMaxServiceNameLength = 127;

/// True for 1 to 127 bytes of letters, digits, '.', '-' and '_' that neither
/// start nor end with '.' and contain no "..".
bool isValidXpcServiceName(std::string_view name);

/// The folder holding the sockets of a scope: "/var/run/pelgrave" for System;
/// "$XDG_RUNTIME_DIR/pelgrave" for User, or "/tmp/pelgrave-<uid>" when that
/// variable is unset or not absolute. With a path root set (Paths::setRoot),
/// System is resolved under it and User is <root>/run/user/<uid>/pelgrave.
std::string xpcServiceFolder(XpcServiceScope scope);

/// The socket path of a valid service name. Very long names map to a
/// shortened file name with a hash, so that every valid name gives a path
/// short enough to connect to. Answers "" and fills `error`
/// (kXpcErrorDomain, kXpcErrorInvalidServiceName) for an invalid name.
std::string xpcSocketPathForService(std::string_view name, XpcServiceScope scope, Error* error);

}  // namespace platform
