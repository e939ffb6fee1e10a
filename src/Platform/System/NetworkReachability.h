// Whether a host could be reached without sending anything to it.
//
// Linux implementation (networkReachability()): sends nothing and resolves
// no name. A host is reachable when the routing table
// ("/proc/net/route") has a default route through an interface other than
// the loopback one; no connection ever needs to be made first.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

/// Flag bits, numbered as the system numbers them.
inline constexpr std::uint32_t kReachabilityReachable = 0x2;
inline constexpr std::uint32_t kReachabilityConnectionRequired = 0x4;

class NetworkReachability {
  public:
    virtual ~NetworkReachability() = default;
    /// Whether a reachability reference for `host` can be made at all.
    virtual bool canCheckHost(const std::string& host) const = 0;
    /// The flags for `host`; false when they cannot be read.
    virtual bool flagsForHost(const std::string& host, std::uint32_t* flags) const = 0;
};

/// The running system's implementation (shared, stateless).
std::shared_ptr<NetworkReachability> networkReachability();

}  // namespace platform
