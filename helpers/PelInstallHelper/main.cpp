// com.pelgrave.PelInstallHelper: the privileged install helper.
//
//   com.pelgrave.PelInstallHelper --client-uid UID
//
// Runs as root, put in place and started by the blessing of the installer.
// It listens on its System-scope service and serves one client at a time,
// which must be root or the user it was blessed for. Requests:
//   "102" copy the partner file (a property-list dictionary of at most
//         64 KiB) to
//         "/Library/Application Support/Pelgrave/com.pelgrave.partner.plist";
//   "100" / "101" install one package / a list of package descriptions
//         onto the target: "/" or the mount point of a mounted volume that
//         only root can change (anything else fails the request).
// Every path the client names is opened with the client's rights (its uid,
// gid and groups, and none of root's capabilities), never through a link at
// the last step nor through a magic link of /proc anywhere: what the client
// cannot open is not read, copied or described (no digest, no size).
// Each package is copied, verified and installed; its progress goes back as
// 201 phases, 200 percents and 202 reasons, its end as status 303 (or 306
// for a failed optional package, after a 204 failure record). A failed
// mandatory package sends 205 and status 302 and ends the run. After the
// last package the post-install tools run (paths, or dictionaries with the
// path under "pkgName"; only files that the packages of the request
// installed and that only root can change), status 304
// follows and the launch-daemon jobs the receipts list are started. While
// packages install, status 301 goes out every five minutes. The helper exits 60 seconds after its
// last client left.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <set>

#include "Engine/PelInstallerOutputParser.h"
#include "HelperKit/HelperService.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Dispatch/Timer.h"
#include "Platform/System/FileCopy.h"
#include "Platform/System/Paths.h"
#include "Platform/System/ServiceManagement.h"
#include "Platform/System/Task.h"
#include "Platform/System/UniqueFd.h"
#include "Platform/System/UserFileAccess.h"
#include "Platform/System/Volumes.h"
#include "Platform/Values/PropertyList.h"
#include "Platform/Xpc/XpcConnection.h"
#include "Platform/Xpc/XpcListener.h"
#include "installer/PelPkgInstall.h"

using namespace platform;

namespace {

constexpr const char* kLabel = "com.pelgrave.PelInstallHelper";
constexpr auto kKeepAlive = std::chrono::minutes(5);
constexpr off_t kMaxPartnerFileSize = 64 * 1024;
constexpr const char* kPartnerFolder = "/Library/Application Support/Pelgrave";
constexpr const char* kPartnerFileName = "com.pelgrave.partner.plist";

void log(const std::string& text) { helperkit::log(kLabel, text); }

std::string lowerHex(const Data& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (auto b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// The md5 of the whole of the open file `fd`, read from its start.
std::string md5OfFile(int fd) {
    auto digest = descriptorDigest(fd, DigestAlgorithm::kMD5);
    return digest ? lowerHex(*digest) : std::string();
}

bool isSafeSystemPath(const std::string& path) {
    return !path.empty() && path.front() == '/' &&
           (path == "/" || pkginstall::isSafeEntryName(path.substr(1)));
}

class InstallHelper {
  public:
    explicit InstallHelper(uid_t clientUid) : service_(kLabel, clientUid) {
        // An installation under way runs to its end.
        service_.setBeforeExit([this] { work_->sync([] {}); });
    }

    bool start() {
        return service_.start(
            [this](const XpcConnectionPtr& peer, const XpcEvent& event) { handle(peer, event); });
    }

    void waitUntilDone() { service_.waitUntilDone(); }

  private:
    void handle(const XpcConnectionPtr& peer, const XpcEvent& event) {
        const XpcObject& message = event.message();
        const std::string* type = message.getString("PelInstallType");
        if (!type) return;
        log("request " + *type);
        if (*type == "102") {
            const std::string* path = message.getString("PelInstallPartnerPath");
            copyPartnerFile(path ? *path : "", helperkit::clientIdentity(event.peer()));
        } else if (*type == "100" || *type == "101") {
            std::vector<Package> packages;
            if (*type == "100") {
                if (const std::string* path = message.getString("PelInstallPackage"))
                    packages.push_back({*path, 0, 0});
            } else if (const XpcObject* list = message.get("PelInstallPackages");
                       list && list->asArray()) {
                for (const XpcObject& entry : *list->asArray()) {
                    const std::string* name = entry.getString("pkgName");
                    if (!name) continue;
                    packages.push_back({*name, std::int32_t(entry.getInt64("pkgPriority")),
                                        std::int32_t(entry.getInt64("pingModuleID"))});
                }
            }
            const std::string* target = message.getString("PelInstallTarget");
            std::vector<XpcObject> tools;
            if (const XpcObject* list = message.get("PelInstallPostInstallTools");
                list && list->asArray())
                tools = *list->asArray();
            const std::string targetPath = target ? *target : "/";
            const UserIdentity client = helperkit::clientIdentity(event.peer());
            work_->async([this, peer, packages, targetPath, tools, client] {
                install(peer, client, packages, targetPath, tools);
            });
        }
    }

    void copyPartnerFile(const std::string& path, const UserIdentity& client) {
        const UniqueFd file = helperkit::openClientFile(client, path);
        if (!file) {
            log("cannot open the partner file " + path);
            return;
        }
        struct stat info;
        std::string bytes;
        const bool small = fstat(file.get(), &info) == 0 && info.st_size <= kMaxPartnerFileSize;
        if (small) {
            char buffer[4096];
            ssize_t n;
            while ((n = read(file.get(), buffer, sizeof buffer)) > 0 &&
                   bytes.size() <= std::size_t(kMaxPartnerFileSize))
                bytes.append(buffer, std::size_t(n));
        }
        if (!small || bytes.size() > std::size_t(kMaxPartnerFileSize)) {
            log("the partner file is not acceptable: " + path);
            return;
        }
        const auto value = PropertyList::fromData(bytes, nullptr, nullptr);
        if (!value || !value->isDictionary()) {
            log("the partner file is not a dictionary: " + path);
            return;
        }
        Error error;
        const auto data = PropertyList::toData(*value, PropertyListFormat::XML, &error);
        // Others may write in the folder: it is written through descriptors.
        const UniqueFd folder = helperkit::openSystemFolder(kPartnerFolder, true);
        if (!data || !folder ||
            !helperkit::replaceFileIn(folder.get(), kPartnerFileName,
                                      std::string(data->begin(), data->end()), 0644))
            log("cannot write the partner file: " +
                (data ? std::string(std::strerror(errno)) : error.description()));
    }

    struct Package {
        std::string path;
        std::int32_t priority;
        std::int32_t moduleID;
    };

    static void send(const XpcConnectionPtr& peer, XpcObject message) { peer->send(message); }

    static XpcObject typed(int type) {
        XpcObject m = XpcObject::makeDictionary();
        m.setString("PelServerMessageType", std::to_string(type));
        return m;
    }

    static void sendStatus(const XpcConnectionPtr& peer, int status) {
        XpcObject m = typed(203);
        m.setString("PelInstallStatus", std::to_string(status));
        send(peer, std::move(m));
    }

    // On work_.
    void install(const XpcConnectionPtr& peer, const UserIdentity& client,
                 const std::vector<Package>& packages, const std::string& target,
                 const std::vector<XpcObject>& tools) {
        std::string reason = "Invalid install request";
        if (!isSafeSystemPath(target) || packages.empty() || !isInstallVolume(target, &reason)) {
            log("refusing the install request: " + reason);
            XpcObject m = typed(202);
            m.setString("PelInstallCompleteReason", "installer: Error - " + reason);
            send(peer, std::move(m));
            sendStatus(peer, 302);
            return;
        }
        // The packages occupy work_, so the keep-alive runs on a queue of its own.
        auto keepAlive = Timer::create(keepAliveQueue_, [peer] { sendStatus(peer, 301); });
        keepAlive->start(kKeepAlive, kKeepAlive);
        std::vector<pkginstall::InstalledComponent> installed;
        for (const Package& package : packages) {
            XpcObject phase = typed(201);
            phase.setString(
                "PelInstallPhase",
                "Preparing " + std::filesystem::path(package.path).filename().string() + "\u2026");
            send(peer, std::move(phase));
            const UniqueFd packageFd = helperkit::openClientFile(client, package.path);
            const bool readable = packageFd.valid();
            std::string lastReason;
            PelInstallerOutputParser parser({[&](const std::string& text) {
                                                 XpcObject m = typed(201);
                                                 m.setString("PelInstallPhase", text);
                                                 send(peer, std::move(m));
                                             },
                                             [&](const std::string& text) {
                                                 XpcObject m = typed(200);
                                                 m.setString("PelInstallPercent", text);
                                                 send(peer, std::move(m));
                                             },
                                             [&](const std::string& text) {
                                                 lastReason = text;
                                                 XpcObject m = typed(202);
                                                 m.setString("PelInstallCompleteReason", text);
                                                 send(peer, std::move(m));
                                             }});
            pkginstall::InstallResult result;
            if (readable) {
                result = pkginstall::installPackage(
                    packageFd.get(), target,
                    [&](const std::string& line) { parser.parseProgressString(line); });
            } else {
                parser.parseProgressString("installer: Error - The package cannot be read");
            }
            // Only a failure reports the package's digest, taken from the
            // descriptor it was installed from.
            const std::string md5 =
                readable && result.status != 0 ? md5OfFile(packageFd.get()) : std::string();
            if (result.status == 0) {
                installed.insert(installed.end(), result.components.begin(),
                                 result.components.end());
                sendStatus(peer, 303);
                continue;
            }
            XpcObject failure = typed(package.priority < 0 ? 204 : 205);
            if (package.priority < 0) failure.setInt64("pingModuleID", package.moduleID);
            failure.setInt64("termStatus", result.status);
            failure.setString("failureReason", lastReason);
            if (!md5.empty()) failure.setString("md5Hash", md5);
            send(peer, std::move(failure));
            if (package.priority >= 0) {
                keepAlive->cancel();
                sendStatus(peer, 302);
                return;
            }
            sendStatus(peer, 306);
        }
        keepAlive->cancel();
        runPostInstallTools(tools, installedPaths(target, installed));
        sendStatus(peer, 304);
        startJobs(target, installed, service_.clientUid());
    }

    // The system paths of what the packages of this request installed.
    static std::set<std::string> installedPaths(
        const std::string& target, const std::vector<pkginstall::InstalledComponent>& components) {
        std::set<std::string> paths;
        for (const auto& component : components)
            for (const std::string& file : component.files)
                paths.insert(Paths::join(Paths::join(target, component.installLocation), file));
        return paths;
    }

    // Only a tool that the packages of this request installed runs: the
    // client cannot make root run any other program of the system.
    static void runPostInstallTools(const std::vector<XpcObject>& tools,
                                    const std::set<std::string>& installed) {
        PosixTaskLauncher launcher;
        for (const XpcObject& tool : tools) {
            // A tool is a path, or a dictionary that travels like a package
            // description, its path under "pkgName".
            Task task;
            if (const std::string* path = tool.asString())
                task.program = *path;
            else if (const std::string* path = tool.getString("pkgName"))
                task.program = *path;
            if (!isSafeSystemPath(task.program)) continue;
            if (!installed.count(task.program)) {
                log("not running " + task.program + ": no package of this request installed it");
                continue;
            }
            if (!SMIsRootOnlyPath(Paths::resolve(task.program))) {
                log("not running " + task.program + ": others can change it");
                continue;
            }
            const int status = launcher.run(task, {});
            if (status != 0) log(task.program + " ended with " + std::to_string(status));
        }
    }

    // Each job learns the helper's client, who may then stop it.
    static void startJobs(const std::string& target,
                          const std::vector<pkginstall::InstalledComponent>& components,
                          uid_t clientUid) {
        for (const auto& component : components) {
            for (const std::string& file : component.files) {
                const std::string prefix = "Library/LaunchDaemons/";
                const std::string full =
                    Paths::join(Paths::join(target, component.installLocation), file);
                const auto at = full.find("/" + prefix);
                if (at != 0 || full.size() < 7 || full.compare(full.size() - 6, 6, ".plist") != 0 ||
                    full.find('/', prefix.size() + 1) != std::string::npos)
                    continue;
                Error error;
                if (!SMStartJobAsRoot(Paths::resolve(full), &error, clientUid))
                    log("cannot start " + full + ": " + error.description());
            }
        }
    }

    helperkit::HelperService service_;
    std::shared_ptr<SerialQueue> work_ = SerialQueue::create("com.pelgrave.PelInstallHelper.work");
    std::shared_ptr<SerialQueue> keepAliveQueue_ =
        SerialQueue::create("com.pelgrave.PelInstallHelper.keepalive");
};

}  // namespace

int main(int argc, char** argv) {
    const auto clientUid = helperkit::startupCheck(kLabel, argc, argv);
    if (!clientUid) return 1;
    signal(SIGPIPE, SIG_IGN);
    InstallHelper helper(*clientUid);
    if (!helper.start()) return 1;
    helper.waitUntilDone();
    std::cerr.flush();
    std::_Exit(0);
}
