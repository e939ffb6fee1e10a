#include "Platform/System/UserAccount.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace platform {

std::optional<UserAccount> userAccount(uid_t uid) {
    const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    int result;
    // A long entry (a long comment field or home) wants more room.
    while ((result = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < (std::size_t(1) << 20))
        buffer.resize(buffer.size() * 2);
    if (result != 0 || !found) return std::nullopt;
    return UserAccount{found->pw_name ? found->pw_name : "", found->pw_gid,
                       found->pw_dir ? found->pw_dir : ""};
}

}  // namespace platform
