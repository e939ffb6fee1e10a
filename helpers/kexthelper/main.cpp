// kexthelper: loads the product's kernel module for the installer.
//
//   kexthelper [--client-uid UID]
//
// Runs as root under the service "com.pelgrave.kexthelper.TLW", installed by
// the product package with its LaunchDaemons job and started by the install
// helper (which names its own client as UID). Any local client may ask for
// the load: the only thing it loads is the product's own module. Only root
// or UID may shut it down; the connection of anyone else who asks is ended,
// as for any other refused request. Calls ("loadKext:withReply:",
// "shutdownHelper"):
//   loadKext(path): path must be "/Library/Extensions/PelKorvex.kext", a
//   folder of root's with Contents/Info.plist, which only root can change.
//   When the approval list "/var/db/pelgrave/kext-approvals.plist" exists
//   and its "Approved" array lacks "com.pelgrave.PelKorvex" (or others could
//   have written it), answers 0xdc00801b and loads nothing.
//   A module already loaded answers 0. Otherwise it loads
//   Contents/Linux/com_pelgrave_PelKorvex.ko (it and its folders root-owned,
//   writable by root only) itself, or without that file runs "modprobe com_pelgrave_PelKorvex";
//   failures answer the errno or modprobe's exit status.
//   shutdownHelper: writes what is pending and exits.
// Every folder and file on the way to the module is opened without following
// a link and checked on the descriptor that is then used. Refused requests
// are logged within limits, and a connection is forgotten when it ends.
// All paths follow PEL_PATH_ROOT.
#include <signal.h>

#include <cstdlib>
#include <iostream>

#include "Engine/KextAssistantXPCClient.h"
#include "HelperKit/HelperService.h"
#include "kexthelper/KextHelperService.h"

int main(int argc, char** argv) {
    const auto clientUid = helperkit::startupCheck(kKextHelperLabel, argc, argv);
    if (!clientUid) return 1;
    signal(SIGPIPE, SIG_IGN);
    kexthelper::KextHelperService service(*clientUid);
    platform::Error error;
    if (!service.start(&error)) {
        helperkit::log(kKextHelperLabel, "cannot listen: " + error.description());
        return 1;
    }
    service.waitForShutdown();
    service.finish();
    std::cerr.flush();
    std::_Exit(0);
}
