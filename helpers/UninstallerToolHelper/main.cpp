// com.pelgrave.UninstallerToolHelper: the privileged uninstall helper.
//
//   com.pelgrave.UninstallerToolHelper --client-uid UID
//
// Runs as root, put in place and started by the blessing of the installer,
// and serves one client at a time (root or the user it was blessed for).
// Requests ("PelUninstallType"): "500" one product, "501" a list, "502" a
// list with pre- and post-uninstall tools ({bundle path: tool path inside
// the bundle}). For each product P it removes the files of every package
// receipt whose identifier is P or starts with "P.", then the folders those
// emptied, then the receipt, then the registry modules of P (its own, its
// features' and its layout's). Tools run only from a verified root-owned
// copy. Progress goes back as 601 phases (800 started, 801 product, 802
// removed item, 803 error, 804 ended), 600 percents, 602 reasons and 603
// statuses (701 every minute while busy, then 703, or 702 when something
// failed or was left). Each tool run and every line a tool prints go to the
// helper's log. The helper exits 60 seconds after its last client.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>

#include "Foundation/PelSignature.h"
#include "HelperKit/HelperService.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Dispatch/Timer.h"
#include "Platform/System/ContainedFolder.h"
#include "Platform/System/Paths.h"
#include "Platform/System/PrivateFolder.h"
#include "Platform/System/ServiceManagement.h"
#include "Platform/System/Task.h"
#include "Platform/System/UniqueFd.h"
#include "Platform/System/UserFileAccess.h"
#include "Platform/System/Volumes.h"
#include "Platform/Values/PropertyList.h"
#include "installer/PelPkgInstall.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

constexpr const char* kLabel = "com.pelgrave.UninstallerToolHelper";
constexpr auto kKeepAlive = std::chrono::seconds(60);
// Where a tool is copied to be verified and run.
constexpr const char* kToolFolder = "/var/db/pelgrave";
constexpr const char* kReceiptsFolder = "/var/db/receipts";
constexpr const char* kRegistryFolder = "/Library/Application Support/Pelgrave/Registry";

// Sends the helper's messages to one client.
class Reporter {
  public:
    explicit Reporter(XpcConnectionPtr peer) : peer_(std::move(peer)) {}

    void phase(int key, const std::string& packageName = {}, const std::string& text = {}) {
        XpcObject m = typed(601);
        m.setString("PelUninstallPhaseKey", std::to_string(key));
        if (!packageName.empty()) m.setString("PelUninstallPackageName", packageName);
        if (!text.empty()) m.setString("PelUninstallPhase", text);
        peer_->send(m);
    }
    void error(const std::string& packageName, const std::string& text) {
        failed = true;
        phase(803, packageName, text);
    }
    void percent(int value) {
        XpcObject m = typed(600);
        m.setString("PelUninstallPercent", std::to_string(value));
        peer_->send(m);
    }
    void reason(const std::string& text) {
        XpcObject m = typed(602);
        m.setString("PelUninstallCompleteReason", text);
        peer_->send(m);
    }
    void status(int value) {
        XpcObject m = typed(603);
        m.setString("PelUninstallStatus", std::to_string(value));
        peer_->send(m);
    }

    bool failed = false;

  private:
    static XpcObject typed(int type) {
        XpcObject m = XpcObject::makeDictionary();
        m.setString("PelUServerMessageType", std::to_string(type));
        return m;
    }
    XpcConnectionPtr peer_;
};

// Whether `relative` is a plain relative path: no "..", not absolute, no NUL.
bool isPlainRelative(const std::string& relative) { return pkginstall::isSafeEntryName(relative); }

// Reads the whole of an open file.
bool readAll(int fd, std::string* out) {
    char buffer[1 << 16];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) out->append(buffer, std::size_t(n));
    return n == 0;
}

bool writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t w = write(fd, bytes.data() + done, bytes.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += std::size_t(w);
    }
    return true;
}

// Runs the tool `relative` of `bundle` from a verified root-owned copy.
// The bundle and the tool are the client's: both are looked at and opened
// with the client's rights, so that nothing it could not read itself is
// read, and the answer tells nothing about such files. Answers the error
// text, or "" when the tool ran and succeeded.
std::string runTool(const UserIdentity& client, const std::string& bundle,
                    const std::string& relative) {
    if (!isPlainRelative(relative)) return "The tool " + relative + " is not inside " + bundle;
    const UniqueFd tool = helperkit::openClientFileInside(client, bundle, relative);
    if (!tool) return "The tool " + relative + " is not inside " + bundle;
    const UniqueFd sigFd = helperkit::openClientFileInside(client, bundle, relative + ".sig");
    struct stat info;
    std::string bytes;
    const bool read = readAll(tool.get(), &bytes);
    std::string signature;
    const bool sigRead = sigFd && fstat(sigFd.get(), &info) == 0 && info.st_size <= 1024 &&
                         readAll(sigFd.get(), &signature);
    if (!read) return "Cannot read the tool " + relative;
    if (!sigRead) return "The tool " + relative + " has no signature";

    // The copy lives in a folder of root's that only root can enter; what
    // is done there by name stays root's own once the folder and every
    // folder above it are root's alone.
    const UniqueFd baseFd = helperkit::openSystemFolder(kToolFolder, true);
    if (!baseFd || fstat(baseFd.get(), &info) != 0 || info.st_uid != 0 ||
        fchmod(baseFd.get(), 0700) != 0 || !SMIsRootOnlyPath(Paths::resolve(kToolFolder)))
        return "Cannot make a folder for the tool";
    // Made and removed (with everything in it) by descriptor.
    platform::PrivateFolder folder;
    if (!folder.create(Paths::resolve(kToolFolder), "tool.", nullptr))
        return "Cannot make a folder for the tool";
    const std::string copy = folder.path() + "/tool", sigCopy = folder.path() + "/tool.sig";
    std::string error;
    const int out = folder.folder().openFile("tool", O_WRONLY | O_CREAT | O_EXCL, 0700);
    const int sigOut = folder.folder().openFile("tool.sig", O_WRONLY | O_CREAT | O_EXCL, 0600);
    const bool copied =
        out >= 0 && sigOut >= 0 && writeAll(out, bytes) && writeAll(sigOut, signature);
    if (out >= 0) close(out);
    if (sigOut >= 0) close(sigOut);
    if (!copied) {
        error = "Cannot copy the tool " + relative;
    } else if (PelVerifyDetachedSignatureFile(copy.c_str(), sigCopy.c_str()) != 0) {
        error = "The tool " + relative + " is not signed";
    } else {
        Task task;
        task.program = copy;
        PosixTaskLauncher launcher;
        // What the tool prints goes to the helper's log, marked with its name.
        helperkit::log(kLabel, "running " + relative);
        const int status = launcher.run(
            task, [&](const std::string& line) { helperkit::log(kLabel, relative + ": " + line); });
        if (status != 0) error = "The tool " + relative + " ended with " + std::to_string(status);
    }
    return error;
}

// Removes the file or link `relative` under the open volume folder, never
// following a link on the way or at the end; a folder stays (folders go once
// emptied). A file that is already gone counts as removed. False with a
// reason when it cannot be removed.
bool removeEntry(int volume, const std::string& relative, std::string* reason) {
    const fs::path path(relative);
    const int parent = openFolderBelow(volume, path.parent_path().string());
    if (parent < 0) {
        if (errno == ENOENT) return true;
        *reason = errno == ELOOP || errno == ENOTDIR ? "a link or file is on the way"
                                                     : std::string(std::strerror(errno));
        return false;
    }
    const std::string name = path.filename().string();
    struct stat info;
    bool ok = true;
    if (fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        ok = errno == ENOENT;
        if (!ok) *reason = std::strerror(errno);
    } else if (!S_ISDIR(info.st_mode) && unlinkat(parent, name.c_str(), 0) != 0) {
        ok = false;
        *reason = std::strerror(errno);
    }
    close(parent);
    return ok;
}

// Removes the folder `relative` under the open volume folder when it is empty.
void removeEmptyFolder(int volume, const std::string& relative) {
    const fs::path path(relative);
    const int parent = openFolderBelow(volume, path.parent_path().string());
    if (parent < 0) return;
    unlinkat(parent, path.filename().c_str(), AT_REMOVEDIR);
    close(parent);
}

// A property list of a system folder, read through the folder's descriptor.
struct FolderPlist {
    std::string name;                 // its name in the folder
    std::optional<Dictionary> value;  // nothing when it is no readable dictionary
};

// The files named "*.plist" right in the system folder `systemPath`, sorted
// by name, read through descriptors: the folder is reached without following
// a link on the way, and each file is opened without following a link and
// read only when it is a regular file. `folder` receives the open folder, for
// removing what was read by its name there.
std::vector<FolderPlist> readFolderPlists(const std::string& systemPath, UniqueFd* folder) {
    std::vector<FolderPlist> plists;
    *folder = helperkit::openSystemFolder(systemPath);
    if (!*folder) return plists;
    DIR* listing = fdopendir(fcntl(folder->get(), F_DUPFD_CLOEXEC, 0));
    if (!listing) return plists;
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name.size() < 7 || name.compare(name.size() - 6, 6, ".plist") != 0) continue;
        FolderPlist plist{name, std::nullopt};
        const UniqueFd file(
            openat(folder->get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat info;
        std::string bytes;
        if (file && fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode) &&
            readAll(file.get(), &bytes))
            if (auto value = PropertyList::fromData(bytes, nullptr, nullptr);
                value && value->isDictionary())
                plist.value = *value->asDictionary();
        plists.push_back(std::move(plist));
    }
    closedir(listing);
    std::sort(plists.begin(), plists.end(),
              [](const FolderPlist& a, const FolderPlist& b) { return a.name < b.name; });
    return plists;
}

class UninstallHelper {
  public:
    explicit UninstallHelper(uid_t clientUid) : service_(kLabel, clientUid) {
        service_.setBeforeExit([this] { work_->sync([] {}); });
    }

    bool start() {
        return service_.start(
            [this](const XpcConnectionPtr& peer, const XpcEvent& event) { handle(peer, event); });
    }
    void waitUntilDone() { service_.waitUntilDone(); }

  private:
    struct Request {
        UserIdentity client;
        std::vector<std::string> products;
        std::vector<std::pair<std::string, std::string>> preTools, postTools;
    };

    static std::vector<std::pair<std::string, std::string>> tools(const XpcObject* dictionary) {
        std::vector<std::pair<std::string, std::string>> out;
        if (!dictionary || !dictionary->asDictionary()) return out;
        for (const auto& [key, value] : *dictionary->asDictionary())
            if (const std::string* text = value.asString()) out.emplace_back(key, *text);
        return out;
    }

    void handle(const XpcConnectionPtr& peer, const XpcEvent& event) {
        const XpcObject& message = event.message();
        const std::string* type = message.getString("PelUninstallType");
        if (!type) return;
        service_.log("request " + *type);
        Request request;
        if (*type == "500") {
            if (const std::string* product = message.getString("PelUninstallProduct"))
                request.products.push_back(*product);
        } else if (*type == "501" || *type == "502") {
            if (const XpcObject* list = message.get("PelUninstallProducts");
                list && list->asArray())
                for (const XpcObject& entry : *list->asArray())
                    if (const std::string* text = entry.asString())
                        request.products.push_back(*text);
            if (*type == "502") {
                request.preTools = tools(message.get("PelUninstall_PreUninstallTools"));
                request.postTools = tools(message.get("PelUninstall_PostUninstallTools"));
            }
        } else {
            return;
        }
        request.client = helperkit::clientIdentity(event.peer());
        work_->async([peer, request] { uninstall(peer, request); });
    }

    // On work_.
    static void uninstall(const XpcConnectionPtr& peer, const Request& request) {
        Reporter report(peer);
        auto keepAliveQueue = SerialQueue::create("com.pelgrave.UninstallerToolHelper.keepalive");
        auto keepAlive = Timer::create(keepAliveQueue, [peer] { Reporter(peer).status(701); });
        keepAlive->start(kKeepAlive, kKeepAlive);
        report.phase(800);
        auto end = [&](int status) {
            keepAlive->cancel();
            report.status(status);
        };
        for (const auto& [bundle, tool] : request.preTools) {
            const std::string error = runTool(request.client, bundle, tool);
            if (!error.empty()) {
                report.error(tool, error);
                end(702);
                return;
            }
        }
        const int count = int(request.products.size());
        for (int i = 0; i < count; ++i) {
            removeProduct(request.products[std::size_t(i)], report);
            report.percent((i + 1) * 100 / std::max(count, 1));
        }
        bool toolsFailed = false;
        for (const auto& [bundle, tool] : request.postTools) {
            const std::string error = runTool(request.client, bundle, tool);
            if (!error.empty()) {
                report.error(tool, error);
                toolsFailed = true;
            }
        }
        if (toolsFailed) {
            end(702);
            return;
        }
        report.reason(report.failed ? "Uninstall finished with errors" : "Uninstall finished");
        report.phase(804);
        end(report.failed ? 702 : 703);
    }

    static void removeProduct(const std::string& product, Reporter& report) {
        report.phase(801, product);
        if (product.empty() || product.find('/') != std::string::npos) {
            report.error(product, "Not a product identifier");
            return;
        }
        UniqueFd receipts;
        for (const FolderPlist& receipt : readFolderPlists(kReceiptsFolder, &receipts)) {
            const std::string id = receipt.name.substr(0, receipt.name.size() - 6);
            if (id == product || id.compare(0, product.size() + 1, product + ".") == 0)
                removeReceipt(receipts.get(), receipt, product, report);
        }
        removeModules(product, report);
    }

    static void removeReceipt(int folder, const FolderPlist& plist, const std::string& product,
                              Reporter& report) {
        const std::string receiptPath = Paths::resolve(kReceiptsFolder) + "/" + plist.name;
        const auto& receipt = plist.value;
        if (!receipt) {
            report.error(product, "Cannot read the receipt " + receiptPath);
            return;
        }
        auto text = [&](const char* key) {
            auto it = receipt->find(key);
            return it != receipt->end() && it->second.isString() ? it->second.stringValue()
                                                                 : std::string();
        };
        const std::string identifier = text("PackageIdentifier");
        std::string prefix = text("InstallPrefixPath");
        if (prefix.empty()) prefix = "/";
        if (prefix.front() != '/') prefix = "/" + prefix;
        if (prefix != "/" && !pkginstall::isSafeEntryName(prefix.substr(1))) {
            report.error(identifier, "The receipt's location is not acceptable");
            return;
        }
        // The files are where the installer put them: on the receipt's volume
        // (older receipts name none: "/"), which must still be mounted.
        std::string volume = text("InstallVolume");
        if (volume.empty()) volume = "/";
        std::string volumeReason;
        if (!isInstallVolume(volume, &volumeReason)) {
            report.error(identifier, volumeReason);
            return;
        }
        // Reached as it was checked: one folder at a time, never through a link.
        const UniqueFd volumeFolder = helperkit::openSystemFolder(volume);
        const int volumeFd = volumeFolder.get();
        if (volumeFd < 0) {
            report.error(identifier, "Cannot open the volume " + volume);
            return;
        }
        std::vector<std::string> folders;
        bool left = false;
        auto files = receipt->find("Files");
        if (files != receipt->end() && files->second.isArray()) {
            for (const Value& file : *files->second.asArray()) {
                if (!file.isString()) continue;
                std::string name = file.stringValue();
                while (name.rfind("./", 0) == 0) name.erase(0, 2);
                // Relative to the volume.
                const std::string relative = prefix == "/" ? name : prefix.substr(1) + "/" + name;
                std::string why = "its name leaves the install location";
                if (!pkginstall::isSafeEntryName(name) || !removeEntry(volumeFd, relative, &why)) {
                    report.error(identifier, "Not removing " + name + ": " + why);
                    left = true;
                    continue;
                }
                // Folders right under the volume ("/opt", "/usr") are shared: they stay.
                for (fs::path parent = fs::path(relative).parent_path();
                     parent.string().size() + 1 > prefix.size() && parent.has_parent_path();
                     parent = parent.parent_path())
                    folders.push_back(parent.string());
            }
        }
        // Deepest first; a folder that still holds something stays.
        std::sort(folders.begin(), folders.end(), [](const std::string& a, const std::string& b) {
            return a.size() != b.size() ? a.size() > b.size() : a < b;
        });
        folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
        for (const std::string& folder : folders) removeEmptyFolder(volumeFd, folder);
        if (left) return;
        if (unlinkat(folder, plist.name.c_str(), 0) != 0) {
            report.error(identifier, "Cannot remove the receipt");
            return;
        }
        report.phase(802, identifier, "Removed %@");
    }

    static void removeModules(const std::string& product, Reporter& report) {
        UniqueFd folder;
        std::vector<std::pair<std::string, Dictionary>> modules;
        for (FolderPlist& plist : readFolderPlists(kRegistryFolder, &folder))
            if (plist.value) modules.emplace_back(plist.name, std::move(*plist.value));
        auto text = [](const Dictionary& d, const char* key) {
            auto it = d.find(key);
            return it != d.end() && it->second.isString() ? it->second.stringValue()
                                                          : std::string();
        };
        std::set<std::string> identifiers{product};
        for (const auto& [path, module] : modules) {
            if (text(module, "Identifier") != product) continue;
            if (auto features = module.find("Features");
                features != module.end() && features->second.isArray())
                for (const Value& feature : *features->second.asArray())
                    if (feature.isString()) identifiers.insert(feature.stringValue());
            if (std::string layout = text(module, "Layout"); !layout.empty())
                identifiers.insert(layout);
        }
        for (const auto& [name, module] : modules) {
            const std::string identifier = text(module, "Identifier");
            if (!identifiers.count(identifier)) continue;
            if (unlinkat(folder.get(), name.c_str(), 0) != 0)
                report.error(identifier, "Cannot remove the module " +
                                             Paths::resolve(kRegistryFolder) + "/" + name);
            else
                report.phase(802, identifier, "Removed %@");
        }
    }

    helperkit::HelperService service_;
    std::shared_ptr<SerialQueue> work_ =
        SerialQueue::create("com.pelgrave.UninstallerToolHelper.work");
};

}  // namespace

int main(int argc, char** argv) {
    const auto clientUid = helperkit::startupCheck(kLabel, argc, argv);
    if (!clientUid) return 1;
    signal(SIGPIPE, SIG_IGN);
    UninstallHelper helper(*clientUid);
    if (!helper.start()) return 1;
    helper.waitUntilDone();
    std::_Exit(0);
}
