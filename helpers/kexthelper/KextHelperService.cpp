#include "kexthelper/KextHelperService.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "Engine/KextAssistantXPCClient.h"
#include "HelperKit/HelperService.h"
#include "Platform/System/KernelModuleWatch.h"
#include "Platform/System/Paths.h"
#include "Platform/System/Task.h"
#include "Platform/System/UniqueFd.h"
#include "Platform/Values/PropertyList.h"
#include "Platform/Xpc/XpcRemoteObject.h"

using namespace platform;

namespace kexthelper {

namespace {

constexpr const char* kLabel = kKextHelperLabel;
constexpr const char* kBundleIdentifier = "com.pelgrave.PelKorvex";

bool rootOnly(int fd, bool directory) {
    struct stat info;
    return fstat(fd, &info) == 0 && (directory ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode)) &&
           info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The entry `name` of the open folder `folder`, never through a link, when
// it is a folder (`directory`) or a regular file of root's that only root
// can change. What is checked is what is then used: the descriptor.
UniqueFd rootOnlyAt(int folder, const char* name, bool directory) {
    UniqueFd fd(openat(
        folder, name,
        (directory ? O_RDONLY | O_DIRECTORY : O_RDONLY | O_NONBLOCK) | O_NOFOLLOW | O_CLOEXEC));
    if (fd && !rootOnly(fd.get(), directory)) {
        fd.reset();
        errno = EPERM;
    }
    return fd;
}

// Whether the approval stand-in holds the module back. A list that others
// could have written approves nothing.
bool heldBack() {
    const std::string path = Paths::resolve("/var/db/pelgrave/kext-approvals.plist");
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return errno != ENOENT;
    if (!rootOnly(fd.get(), false)) return true;
    std::string bytes;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd.get(), buffer, sizeof buffer)) > 0) bytes.append(buffer, std::size_t(n));
    const auto list = n == 0 ? PropertyList::fromData(bytes, nullptr, nullptr) : std::nullopt;
    if (!list || !list->isDictionary()) return true;
    const Dictionary& entries = *list->asDictionary();
    auto approved = entries.find("Approved");
    if (approved == entries.end() || !approved->second.isArray()) return true;
    for (const Value& entry : *approved->second.asArray())
        if (entry.isString() && entry.stringValue() == kBundleIdentifier) return false;
    return true;
}

}  // namespace

std::int64_t loadKext(const std::string& path) {
    if (path != kPelKorvexPath) return EINVAL;
    const std::string folder = path.substr(0, path.rfind('/'));
    const UniqueFd extensions = helperkit::openSystemFolder(folder);
    if (!extensions) return EPERM;
    const UniqueFd bundle =
        rootOnlyAt(extensions.get(), path.substr(folder.size() + 1).c_str(), true);
    const UniqueFd contents = bundle ? rootOnlyAt(bundle.get(), "Contents", true) : UniqueFd();
    if (!contents || !rootOnlyAt(contents.get(), "Info.plist", false)) return EPERM;
    if (heldBack()) return std::int64_t(kOSKextReturnSystemPolicy);
    if (makeKernelModuleWatch()->isLoaded(kPelKorvexService)) return 0;
    const std::string name = std::string(kPelKorvexService) + ".ko";
    struct stat info;
    const UniqueFd linuxFolder(
        openat(contents.get(), "Linux", O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const bool hasModule =
        linuxFolder ? fstatat(linuxFolder.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0
                    : fstatat(contents.get(), "Linux", &info, AT_SYMLINK_NOFOLLOW) == 0;
    if (hasModule) {
        // The module, and the folder that holds it, only root can change.
        const UniqueFd folder = rootOnlyAt(contents.get(), "Linux", true);
        const UniqueFd module = folder ? rootOnlyAt(folder.get(), name.c_str(), false) : UniqueFd();
        if (!module) return EPERM;
        const long result = syscall(SYS_finit_module, module.get(), "", 0);
        const int error = errno;
        return result == 0 || error == EEXIST ? 0 : error;
    }
    PosixTaskLauncher launcher;
    return launcher.run({"/usr/sbin/modprobe", {kPelKorvexService}}, {});
}

struct KextHelperService::State {
    std::mutex mutex;
    std::condition_variable shutdownAsked;
    bool shutdown = false;
    // The live connections, each dropped when it ends.
    std::uint64_t nextConnection = 0;
    std::map<std::uint64_t, std::weak_ptr<XpcConnection>> connections;
    helperkit::RefusalLog refusals;

    void refuse(const std::string& text) {
        std::vector<std::string> lines;
        {
            std::lock_guard lock(mutex);
            lines = refusals.note(helperkit::RefusalLog::Clock::now(), text);
        }
        for (const std::string& line : lines) helperkit::log(kLabel, line);
    }

    // Any client may ask for the load; one that may not stop the helper and
    // asks to has its connection ended, as any other refused request.
    static void serve(const std::shared_ptr<State>& state, const XpcConnectionPtr& peer,
                      bool mayStop) {
        std::uint64_t id;
        {
            std::lock_guard lock(state->mutex);
            id = state->nextConnection++;
            state->connections.emplace(id, peer);
        }
        std::weak_ptr<XpcConnection> weak = peer;
        auto object = XpcExportedObject::create(kextHelperInterface());
        object->implement("loadKext:withReply:",
                          [](const XpcArray& arguments, const XpcExportedObject::Reply& reply) {
                              const std::int64_t code = loadKext(*arguments[0].asString());
                              helperkit::log(kLabel, "loadKext answers " + std::to_string(code));
                              reply({XpcObject::makeInt64(code)});
                          });
        object->implement("shutdownHelper",
                          [state, mayStop, weak](const XpcArray&, const XpcExportedObject::Reply&) {
                              if (!mayStop) {
                                  state->refuse("refusing shutdownHelper from another user");
                                  if (auto connection = weak.lock()) connection->cancel();
                                  return;
                              }
                              std::lock_guard lock(state->mutex);
                              state->shutdown = true;
                              state->shutdownAsked.notify_all();
                          });
        object->serve(peer, [state, id] {
            std::lock_guard lock(state->mutex);
            state->connections.erase(id);
        });
    }
};

KextHelperService::KextHelperService(uid_t clientUid)
    : clientUid_(clientUid), state_(std::make_shared<State>()) {}

KextHelperService::~KextHelperService() {
    if (listener_) listener_->cancel();
}

bool KextHelperService::start(Error* error) {
    listener_ = XpcListener::create(kLabel, XpcServiceScope::System, nullptr, error);
    if (!listener_) return false;
    listener_->setNewConnectionHandler(
        [state = state_, clientUid = clientUid_](XpcConnectionPtr peer) {
            const auto credentials = peer->peerCredentials();
            State::serve(state, peer,
                         credentials && (credentials->uid == 0 || credentials->uid == clientUid));
        });
    listener_->resume();
    return true;
}

void KextHelperService::waitForShutdown() {
    std::unique_lock lock(state_->mutex);
    state_->shutdownAsked.wait(lock, [&] { return state_->shutdown; });
}

void KextHelperService::finish() {
    if (listener_) listener_->cancel();
    std::vector<XpcConnectionPtr> open;
    std::optional<std::string> summary;
    {
        std::lock_guard lock(state_->mutex);
        for (const auto& [id, weak] : state_->connections)
            if (auto peer = weak.lock()) open.push_back(peer);
        summary = state_->refusals.flush();
    }
    if (summary) helperkit::log(kLabel, *summary);
    // Replies already given reach their clients.
    for (const auto& peer : open) peer->flush(std::chrono::seconds(1));
}

std::size_t KextHelperService::connectionCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->connections.size();
}

}  // namespace kexthelper
