// An account as the user database (getpwuid_r) has it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace platform {

/// The parts of an account entry the installer uses.
struct UserAccount {
    std::string name;
    gid_t gid = static_cast<gid_t>(-1);  // primary group
    std::string home;                    // "" when the entry names none
};

/// The entry of the account `uid`; nullopt when the database does not know
/// it or cannot be read. Thread-safe.
std::optional<UserAccount> userAccount(uid_t uid);

}  // namespace platform
