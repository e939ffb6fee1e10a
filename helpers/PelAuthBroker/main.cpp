// PelAuthBroker: carries out the installer's privileged requests as root.
//
//   pkexec <bundle>/Contents/MacOS/PelAuthBroker --serve [--path-root DIR]
//
// Prints "ready" once it runs as root, then answers one request per line on
// standard input ("bless <label>", "remove <label>") with "ok" or
// "error <code> <text>", and exits when standard input closes. Helper tools
// come from the bundle the broker itself lies in; jobs are written for the
// user that pkexec names (PKEXEC_UID), or the real user.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "Platform/System/Authorization.h"
#include "Platform/System/Bundle.h"
#include "Platform/System/Paths.h"

int main(int argc, char** argv) {
    bool serve = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--serve")
            serve = true;
        else if (arg == "--path-root" && i + 1 < argc)
            platform::Paths::setRoot(argv[++i]);
        else {
            std::cerr << "PelAuthBroker: unknown argument " << arg << "\n";
            return 2;
        }
    }
    if (!serve) {
        std::cerr << "usage: PelAuthBroker --serve [--path-root DIR]\n";
        return 2;
    }
    std::error_code ec;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    if (ec) return 1;
    const std::string bundle = platform::Bundle::bundlePathForExecutable(self);
    uid_t requester = getuid();
    if (const char* pkexecUid = std::getenv("PKEXEC_UID")) requester = uid_t(std::atol(pkexecUid));
    return platform::PelAuthBrokerServe(0, 1, bundle, requester);
}
