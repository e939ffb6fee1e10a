// PelAuthBroker: carries out the installer's privileged requests as root.
//
//   pkexec <bundle>/Contents/MacOS/PelAuthBroker --serve
//   <bundle>/Contents/MacOS/PelAuthBroker --serve [--path-root DIR]    (as root)
//
// Prints "ready" once it runs as root, then answers one request per line on
// standard input ("bless <label>", "remove <label>") with "ok" or
// "error <code> <text>", and exits when standard input closes. Helper tools
// come from the bundle the broker itself lies in; jobs are written for the
// user that pkexec names (PKEXEC_UID), or root. It only runs through pkexec
// or when root starts it: a path root (--path-root or PEL_PATH_ROOT) is for
// tests that run it as root, and is refused under pkexec, where the caller
// would choose where root writes and what it runs.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>

#include "HelperKit/HelperService.h"
#include "Platform/System/Authorization.h"
#include "Platform/System/Bundle.h"
#include "Platform/System/Paths.h"

namespace {

constexpr const char* kName = "PelAuthBroker";

// The uid in PKEXEC_UID: digits only.
std::optional<uid_t> pkexecUid(const char* text) {
    const std::string value = text;
    if (value.empty() || value.size() > 9 ||
        value.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return uid_t(std::atol(value.c_str()));
}

}  // namespace

int main(int argc, char** argv) {
    bool serve = false;
    std::string root;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--serve")
            serve = true;
        else if (arg == "--path-root" && i + 1 < argc)
            root = argv[++i];
        else {
            std::cerr << "PelAuthBroker: unknown argument " << arg << "\n";
            return 2;
        }
    }
    if (!serve) {
        std::cerr << "usage: PelAuthBroker --serve [--path-root DIR]\n";
        return 2;
    }
    if (!helperkit::pathRootAllowed(kName, root)) return 2;
    // Set-user-ID, anyone could bless whatever bundle they link it into.
    if (getuid() != geteuid() || getgid() != getegid()) {
        helperkit::log(kName, "refusing to run set-user-ID: start it through pkexec");
        return 2;
    }
    if (!root.empty()) platform::Paths::setRoot(root);
    std::error_code ec;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    if (ec) return 1;
    const std::string bundle = platform::Bundle::bundlePathForExecutable(self);
    uid_t requester = getuid();
    if (const char* text = std::getenv("PKEXEC_UID")) {
        const auto uid = pkexecUid(text);
        if (!uid) {
            helperkit::log(kName, "PKEXEC_UID is not a user id");
            return 2;
        }
        requester = *uid;
    }
    return platform::PelAuthBrokerServe(0, 1, bundle, requester);
}
