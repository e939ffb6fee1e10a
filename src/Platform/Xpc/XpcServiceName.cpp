#include "Platform/Xpc/XpcServiceName.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "Platform/System/Paths.h"

namespace platform {

namespace {

// The two folders exactly as the system names them.
constexpr std::string_view kSystemServiceFolder = "/var/run/pelgrave";
constexpr std::string_view kUserRuntimeFolderPrefix = "/run/user/";
constexpr std::string_view kUserFallbackFolderPrefix = "/tmp/pelgrave-";

// Socket file names stay within this length, so that even the long form used
// for deep folders ("/proc/self/fd/<n>/<name>") fits a socket address.
constexpr std::size_t kMaxSocketFileName = 80;

std::string withUid(std::string_view prefix) {
    return std::string(prefix) + std::to_string(getuid());
}

std::string socketFileName(std::string_view name) {
    if (name.size() <= kMaxSocketFileName) return std::string(name);
    // FNV-1a over the whole name keeps long names apart after shortening.
    std::uint64_t h = 14695981039346656037ull;
    for (unsigned char c : name) {
        h ^= c;
        h *= 1099511628211ull;
    }
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(h));
    return std::string(name.substr(0, kMaxSocketFileName - 17)) + "-" + hash;
}

}  // namespace

bool isValidXpcServiceName(std::string_view name) {
    if (name.empty() || name.size() > kXpcMaxServiceNameLength) return false;
    if (name.front() == '.' || name.back() == '.') return false;
    if (name.find("..") != std::string_view::npos) return false;
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '-' || c == '_';
        if (!ok) return false;
    }
    return true;
}

std::string xpcServiceFolder(XpcServiceScope scope) {
    if (scope == XpcServiceScope::System) return Paths::resolve(kSystemServiceFolder);
    // Under a path root the user's runtime folder gets its usual place in
    // there, so that nothing reaches the real one.
    if (!Paths::root().empty())
        return Paths::resolve(withUid(kUserRuntimeFolderPrefix)) + "/pelgrave";
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/') return std::string(runtime) + "/pelgrave";
    return withUid(kUserFallbackFolderPrefix);
}

std::string xpcSocketPathForService(std::string_view name, XpcServiceScope scope, Error* error) {
    if (!isValidXpcServiceName(name)) {
        setError(error, Error(std::string(kXpcErrorDomain), kXpcErrorInvalidServiceName,
                              {{std::string(kLocalizedDescriptionKey),
                                Value("Invalid service name \"" + std::string(name) + "\"")}}));
        return {};
    }
    return xpcServiceFolder(scope) + "/" + socketFileName(name);
}

}  // namespace platform
