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
//   root-owned folder with Contents/Info.plist. When the approval list
//   "/var/db/pelgrave/kext-approvals.plist" exists and its "Approved" array
//   lacks "com.pelgrave.PelKorvex", answers 0xdc00801b and loads nothing.
//   A module already loaded answers 0. Otherwise it loads
//   Contents/Linux/com_pelgrave_PelKorvex.ko (root-owned, writable by root
//   only) itself, or without that file runs "modprobe com_pelgrave_PelKorvex";
//   failures answer the errno or modprobe's exit status.
//   shutdownHelper: writes what is pending and exits.
// All paths follow PEL_PATH_ROOT.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "Engine/KextAssistantXPCClient.h"
#include "HelperKit/HelperService.h"
#include "Platform/System/KernelModuleWatch.h"
#include "Platform/System/Paths.h"
#include "Platform/System/Task.h"
#include "Platform/Values/PropertyList.h"
#include "Platform/Xpc/XpcListener.h"

using namespace platform;

namespace {

constexpr const char* kLabel = kKextHelperLabel;
constexpr const char* kBundleIdentifier = "com.pelgrave.PelKorvex";

bool rootOwned(const std::string& path, bool directory) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 &&
           (directory ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode)) && info.st_uid == 0 &&
           (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Whether the approval stand-in holds the module back.
bool heldBack() {
    const std::string path = Paths::resolve("/var/db/pelgrave/kext-approvals.plist");
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return false;
    const auto list = PropertyList::dictionaryWithContentsOfFile(path);
    if (!list) return true;
    auto approved = list->find("Approved");
    if (approved == list->end() || !approved->second.isArray()) return true;
    for (const Value& entry : *approved->second.asArray())
        if (entry.isString() && entry.stringValue() == kBundleIdentifier) return false;
    return true;
}

std::int64_t loadKext(const std::string& path) {
    if (path != kPelKorvexPath) return EINVAL;
    const std::string bundle = Paths::resolve(path);
    if (!rootOwned(bundle, true) || !rootOwned(bundle + "/Contents/Info.plist", false))
        return EPERM;
    if (heldBack()) return std::int64_t(kOSKextReturnSystemPolicy);
    if (makeKernelModuleWatch()->isLoaded(kPelKorvexService)) return 0;
    const std::string module = bundle + "/Contents/Linux/" + kPelKorvexService + ".ko";
    struct stat info;
    if (lstat(module.c_str(), &info) == 0) {
        if (!rootOwned(module, false)) return EPERM;
        const int fd = open(module.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) return errno;
        const long result = syscall(SYS_finit_module, fd, "", 0);
        const int error = errno;
        close(fd);
        return result == 0 || error == EEXIST ? 0 : error;
    }
    PosixTaskLauncher launcher;
    return launcher.run({"/usr/sbin/modprobe", {kPelKorvexService}}, {});
}

}  // namespace

int main(int argc, char** argv) {
    const auto clientUid = helperkit::startupCheck(kLabel, argc, argv);
    if (!clientUid) return 1;
    signal(SIGPIPE, SIG_IGN);
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;

    // A client that may not stop the helper and asks to has its connection
    // ended, as any other refused request.
    auto exported = [&](bool mayStop, std::weak_ptr<XpcConnection> peer) {
        auto object = XpcExportedObject::create(kextHelperInterface());
        object->implement("loadKext:withReply:",
                          [](const XpcArray& arguments, const XpcExportedObject::Reply& reply) {
                              const std::int64_t code = loadKext(*arguments[0].asString());
                              helperkit::log(kLabel, "loadKext answers " + std::to_string(code));
                              reply({XpcObject::makeInt64(code)});
                          });
        object->implement(
            "shutdownHelper", [&, mayStop, peer](const XpcArray&, const XpcExportedObject::Reply&) {
                if (!mayStop) {
                    helperkit::log(kLabel, "refusing shutdownHelper from another user");
                    if (auto connection = peer.lock()) connection->cancel();
                    return;
                }
                std::lock_guard lock(mutex);
                done = true;
                changed.notify_all();
            });
        return object;
    };
    Error error;
    auto listener = XpcListener::create(kLabel, XpcServiceScope::System, nullptr, &error);
    if (!listener) {
        helperkit::log(kLabel, "cannot listen: " + error.description());
        return 1;
    }
    std::vector<std::weak_ptr<XpcConnection>> peers;
    listener->setNewConnectionHandler([&](XpcConnectionPtr peer) {
        {
            std::lock_guard lock(mutex);
            peers.push_back(peer);
        }
        const auto credentials = peer->peerCredentials();
        const bool mayStop =
            credentials && (credentials->uid == 0 || credentials->uid == *clientUid);
        exported(mayStop, peer)->serve(peer);
    });
    listener->resume();
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return done; });
    }
    listener->cancel();
    std::vector<std::weak_ptr<XpcConnection>> open;
    {
        std::lock_guard lock(mutex);
        open = peers;
    }
    // Replies already given reach their clients.
    for (const auto& weak : open)
        if (auto peer = weak.lock()) peer->flush(std::chrono::seconds(1));
    std::cerr.flush();
    std::_Exit(0);
}
