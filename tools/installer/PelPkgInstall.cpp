#include "installer/PelPkgInstall.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <set>

#include "Foundation/PelSignature.h"
#include "Platform/Security/XarReader.h"
#include "Platform/System/ContainedFolder.h"
#include "Platform/System/FileCopy.h"
#include "Platform/System/Paths.h"
#include "Platform/System/PrivateFolder.h"
#include "Platform/System/SharedFolder.h"
#include "Platform/System/Volumes.h"
#include "Platform/Values/PropertyList.h"

namespace pkginstall {

namespace {

using platform::Paths;

constexpr std::size_t kMaxPackageInfoSize = 1 << 20;

// Copies the whole of the open file `in` (from its start) to the new file `to`.
bool copyRegularFile(int in, const std::string& to, std::string* reason) {
    struct stat info;
    if (fstat(in, &info) != 0 || !S_ISREG(info.st_mode)) {
        *reason = "The package is not a file";
        return false;
    }
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        *reason = "Cannot copy the package (" + std::string(std::strerror(errno)) + ")";
        return false;
    }
    int error = ::lseek(in, 0, SEEK_SET) < 0 ? errno : platform::copyDescriptorContents(in, out);
    if (close(out) != 0 && error == 0) error = errno;
    if (error != 0) *reason = "Cannot copy the package (" + std::string(std::strerror(error)) + ")";
    return error == 0;
}

struct Component {
    std::string prefix;  // "" or "<name>.pkg/"
    std::string identifier;
    std::string version;
    std::string installLocation = "/";
    std::string payloadPath;  // extracted into the private folder
    std::uint64_t payloadBytes = 0;
};

bool isSafeIdentifier(const std::string& id) {
    if (id.empty() || id.size() > 255 || id.front() == '.' || id.find("..") != std::string::npos)
        return false;
    for (char c : id)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_')
            return false;
    return true;
}

std::string xmlAttribute(xmlNode* node, const char* name) {
    xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
    if (!value) return {};
    std::string text(reinterpret_cast<const char*>(value));
    xmlFree(value);
    return text;
}

bool parsePackageInfo(const std::string& xml, Component* component, std::string* reason) {
    xmlDoc* doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), "PackageInfo", nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc) {
        *reason = "The package information cannot be read";
        return false;
    }
    xmlNode* root = xmlDocGetRootElement(doc);
    bool ok = !doc->intSubset && root &&
              std::strcmp(reinterpret_cast<const char*>(root->name), "pkg-info") == 0;
    if (ok) {
        component->identifier = xmlAttribute(root, "identifier");
        component->version = xmlAttribute(root, "version");
        const std::string location = xmlAttribute(root, "install-location");
        if (!location.empty()) component->installLocation = location;
    }
    xmlFreeDoc(doc);
    if (!ok) {
        *reason = "The package information is not valid";
        return false;
    }
    if (!isSafeIdentifier(component->identifier)) {
        *reason = "The package identifier \"" + component->identifier + "\" is not valid";
        return false;
    }
    const std::string& location = component->installLocation;
    if (location.front() != '/' ||
        !isSafeEntryName(location.substr(1).empty() ? "." : location.substr(1))) {
        *reason = "The install location \"" + location + "\" is not valid";
        return false;
    }
    return true;
}

std::string normalisedName(const char* raw) {
    std::string name = raw ? raw : "";
    while (name.rfind("./", 0) == 0) name.erase(0, 2);
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    return name;
}

// One pass over a payload: `visit` sees every entry; false stops with `reason`.
bool forEachEntry(const std::string& payload, std::string* reason,
                  const std::function<bool(archive*, archive_entry*, const std::string&)>& visit) {
    archive* reader = archive_read_new();
    archive_read_support_filter_all(reader);
    archive_read_support_format_cpio(reader);
    archive_read_support_format_tar(reader);
    if (archive_read_open_filename(reader, payload.c_str(), 1 << 16) != ARCHIVE_OK) {
        *reason = "The payload cannot be read (" +
                  std::string(archive_error_string(reader) ? archive_error_string(reader) : "") +
                  ")";
        archive_read_free(reader);
        return false;
    }
    bool ok = true;
    archive_entry* entry;
    for (;;) {
        const int rc = archive_read_next_header(reader, &entry);
        if (rc == ARCHIVE_EOF) break;
        if (rc < ARCHIVE_WARN) {
            const char* text = archive_error_string(reader);
            *reason = "The payload is damaged (" + std::string(text ? text : "") + ")";
            ok = false;
            break;
        }
        const std::string name = normalisedName(archive_entry_pathname(entry));
        if (!visit(reader, entry, name)) {
            ok = false;
            break;
        }
    }
    archive_read_free(reader);
    return ok;
}

bool checkPayload(Component* component, std::string* reason) {
    std::set<std::string> seen;
    component->payloadBytes = 0;
    return forEachEntry(
        component->payloadPath, reason,
        [&](archive*, archive_entry* entry, const std::string& name) {
            if (name.empty() || name == ".") return true;
            if (!isSafeEntryName(name)) {
                *reason = "The payload entry \"" + name + "\" leaves the install location";
                return false;
            }
            const mode_t type = archive_entry_filetype(entry);
            if (const char* link = archive_entry_hardlink(entry)) {
                const std::string target = normalisedName(link);
                if (!isSafeEntryName(target) || !seen.count(target)) {
                    *reason = "The payload entry \"" + name + "\" links outside the payload";
                    return false;
                }
            } else if (type == AE_IFLNK) {
                const char* target = archive_entry_symlink(entry);
                if (!target || !isSafeLinkTarget(name, target)) {
                    *reason =
                        "The payload link \"" + name + "\" points outside the install location";
                    return false;
                }
            } else if (type != AE_IFREG && type != AE_IFDIR) {
                *reason = "The payload entry \"" + name + "\" is not a file, folder or link";
                return false;
            }
            seen.insert(name);
            if (type == AE_IFREG && archive_entry_size(entry) > 0)
                component->payloadBytes += std::uint64_t(archive_entry_size(entry));
            return true;
        });
}

class PercentReporter {
  public:
    PercentReporter(std::uint64_t total, const OutputLine& out,
                    const std::function<void(double)>& callback)
        : total_(total), out_(out), callback_(callback) {}
    void add(std::uint64_t bytes) {
        done_ += bytes;
        const double percent =
            total_ == 0 ? 100.0 : std::min(100.0, 100.0 * double(done_) / double(total_));
        const int whole = static_cast<int>(std::floor(percent));
        if (whole <= last_) return;
        last_ = whole;
        char text[32];
        std::snprintf(text, sizeof text, "installer:%%%.1f", percent);
        if (out_) out_(text);
        if (callback_) callback_(percent);
    }

  private:
    std::uint64_t total_, done_ = 0;
    int last_ = -1;
    const OutputLine& out_;
    const std::function<void(double)>& callback_;
};

// Writes one payload into `folder`. Where each entry goes is decided by the
// folder's walk (links already made resolve inside it); libarchive then gets
// a path with no link on it, and its own checks stay on as a second guard.
// `files` receives the paths written, relative to the install location.
bool extractPayload(const Component& component, platform::ContainedFolder& folder,
                    PercentReporter& percent, std::vector<std::string>* files,
                    std::string* reason) {
    const int saved = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fchdir(folder.descriptor()) != 0) {
        *reason = "Cannot enter " + folder.realPath() + " (" + std::strerror(errno) + ")";
        if (saved >= 0) close(saved);
        return false;
    }
    archive* writer = archive_write_disk_new();
    int flags = ARCHIVE_EXTRACT_SECURE_NODOTDOT | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS | ARCHIVE_EXTRACT_PERM |
                ARCHIVE_EXTRACT_TIME;
    if (geteuid() == 0) flags |= ARCHIVE_EXTRACT_OWNER;
    archive_write_disk_set_options(writer, flags);
    const bool ok = forEachEntry(
        component.payloadPath, reason,
        [&](archive* reader, archive_entry* entry, const std::string& name) {
            if (name.empty() || name == ".") return true;
            using Kind = platform::ContainedFolder::Kind;
            const char* hardLink = archive_entry_hardlink(entry);
            const char* symLink = archive_entry_symlink(entry);
            const mode_t type = archive_entry_filetype(entry);
            const Kind kind = hardLink           ? Kind::HardLink
                              : type == AE_IFLNK ? Kind::SymbolicLink
                              : type == AE_IFDIR ? Kind::Folder
                                                 : Kind::File;
            const std::string link = hardLink  ? normalisedName(hardLink)
                                     : symLink ? std::string(symLink)
                                               : std::string();
            std::string path, linkPath;
            if (!folder.place(name, kind, link, &path, &linkPath, reason)) return false;
            archive_entry_set_pathname(entry, path.c_str());
            if (kind == Kind::HardLink) archive_entry_set_hardlink(entry, linkPath.c_str());
            archive_entry_set_uid(entry, 0);
            archive_entry_set_gid(entry, 0);
            archive_entry_set_uname(entry, "root");
            archive_entry_set_gname(entry, "root");
            archive_entry_set_perm(entry, archive_entry_perm(entry) & 0755);
            if (archive_write_header(writer, entry) < ARCHIVE_WARN) {
                const char* text = archive_error_string(writer);
                *reason = "Cannot write \"" + name + "\" (" + (text ? text : "") + ")";
                return false;
            }
            // Once its header is written the entry exists, even if its data
            // fails next: it is the package's to remove.
            folder.placed();
            const void* block;
            size_t size;
            la_int64_t offset;
            for (;;) {
                const int rc = archive_read_data_block(reader, &block, &size, &offset);
                if (rc == ARCHIVE_EOF) break;
                if (rc < ARCHIVE_WARN ||
                    archive_write_data_block(writer, block, size, offset) < ARCHIVE_WARN) {
                    const char* text = archive_error_string(rc < ARCHIVE_WARN ? reader : writer);
                    *reason = "Cannot write \"" + name + "\" (" + (text ? text : "") + ")";
                    return false;
                }
                percent.add(size);
            }
            if (archive_write_finish_entry(writer) < ARCHIVE_WARN) {
                const char* text = archive_error_string(writer);
                *reason = "Cannot finish \"" + name + "\" (" + (text ? text : "") + ")";
                return false;
            }
            if (path != ".") files->push_back(path);
            return true;
        });
    archive_write_close(writer);
    archive_write_free(writer);
    if (saved >= 0) {
        if (fchdir(saved) != 0) { /* the old folder is gone; stay where we are */
        }
        close(saved);
    }
    return ok;
}

// Makes `path` and the folders above it that are missing, remembering them
// (outermost first) so that a failed install can remove them again. Each is
// made (0755, whatever the umask) and opened by descriptor
// (platform::SharedFolder), and every folder on the way must be one no other
// user can change: an install location below a folder of another user's, or
// through their link, is refused.
bool makeFolders(const std::string& path, std::vector<std::string>* made, std::string* reason) {
    platform::Error error;
    if (!platform::SharedFolder::make(path, 0755, &error, nullptr, 0755, made)) {
        *reason = "Cannot create " + path + " (" +
                  std::strerror(platform::SharedFolder::errorCode(error)) + ")";
        return false;
    }
    return true;
}

bool readArchivedText(const platform::XarArchive& archive, const platform::XarFileData& file,
                      std::string* text, std::string* reason) {
    text->clear();
    platform::Error error;
    if (!archive.copyFileData(
            file,
            [&](const std::uint8_t* bytes, std::size_t n) {
                if (text->size() + n > kMaxPackageInfoSize) return false;
                text->append(reinterpret_cast<const char*>(bytes), n);
                return true;
            },
            &error)) {
        *reason = "Cannot read \"" + file.name + "\" (" + error.description() + ")";
        return false;
    }
    return true;
}

bool extractArchivedFile(const platform::XarArchive& archive, const platform::XarFileData& file,
                         const std::string& to, std::string* reason) {
    const int fd = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        *reason = "Cannot extract \"" + file.name + "\"";
        return false;
    }
    platform::Error error;
    const bool ok = archive.copyFileData(
        file,
        [&](const std::uint8_t* bytes, std::size_t n) {
            while (n > 0) {
                const ssize_t w = write(fd, bytes, n);
                if (w < 0 && errno == EINTR) continue;
                if (w < 0) return false;
                bytes += w;
                n -= std::size_t(w);
            }
            return true;
        },
        &error);
    close(fd);
    if (!ok) *reason = "Cannot extract \"" + file.name + "\" (" + error.description() + ")";
    return ok;
}

// Writes the component's receipt below the receipts folder held, never
// through a link; `existed` tells whether it replaces an earlier one.
bool writeReceipt(const platform::SharedFolder& receipts, const Component& component,
                  const std::string& volume, const std::vector<std::string>& files, bool* existed,
                  std::string* reason) {
    const std::string name = component.identifier + ".plist";
    struct stat st {};
    *existed = receipts.statEntry(name, &st);
    platform::Array list;
    for (const auto& f : files) list.emplace_back(f);
    platform::Dictionary receipt{{"PackageIdentifier", platform::Value(component.identifier)},
                                 {"PackageVersion", platform::Value(component.version)},
                                 {"InstallPrefixPath", platform::Value(component.installLocation)},
                                 {"InstallVolume", platform::Value(volume)},
                                 {"InstallDate", platform::Value(platform::Date::now())},
                                 {"Files", platform::Value(list)}};
    platform::Error error;
    const auto data = platform::PropertyList::toData(platform::Value(receipt),
                                                     platform::PropertyListFormat::XML, &error);
    if (!data || !receipts.writeFile(name, *data, 0644, true)) {
        *reason = "Cannot write the receipt of " + component.identifier;
        return false;
    }
    return true;
}

}  // namespace

bool parsePackageInfo(const std::string& xml, PackageInfo* info, std::string* reason) {
    Component component;
    if (!parsePackageInfo(xml, &component, reason)) return false;
    *info = {component.identifier, component.version, component.installLocation};
    return true;
}

bool checkPayloadFile(const std::string& path, std::uint64_t* bytes, std::string* reason) {
    Component component;
    component.payloadPath = path;
    const bool ok = checkPayload(&component, reason);
    if (bytes) *bytes = component.payloadBytes;
    return ok;
}

bool isSafeEntryName(const std::string& name) {
    if (name.empty() || name.front() == '/' || name.find('\0') != std::string::npos) return false;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        if (name.compare(start, end - start, "..") == 0 && end - start == 2) return false;
        start = end + 1;
    }
    return true;
}

bool isSafeLinkTarget(const std::string& entryName, const std::string& target) {
    if (target.empty() || target.front() == '/' || target.find('\0') != std::string::npos)
        return false;
    // Depth of the link's folder below the install location.
    long depth = 0;
    auto walk = [&depth](const std::string& path, bool lastIsName) {
        std::size_t start = 0;
        while (start <= path.size()) {
            std::size_t end = path.find('/', start);
            if (end == std::string::npos) end = path.size();
            const std::string part = path.substr(start, end - start);
            const bool last = end == path.size();
            if (!(last && lastIsName)) {
                if (part == "..") {
                    if (--depth < 0) return false;
                } else if (!part.empty() && part != ".") {
                    ++depth;
                }
            }
            start = end + 1;
        }
        return true;
    };
    return walk(entryName, true) && walk(target, false);
}

InstallResult installPackage(const std::string& packagePath, const std::string& target,
                             const OutputLine& out,
                             const std::function<void(double)>& payloadPercent) {
    // Non-blocking, so that a fifo cannot hold the open.
    const int fd = open(packagePath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        if (out)
            out("installer: Error - Cannot open the package (" + std::string(std::strerror(errno)) +
                ")");
        return {};
    }
    InstallResult result = installPackage(fd, target, out, payloadPercent);
    close(fd);
    return result;
}

InstallResult installPackage(int packageFd, const std::string& target, const OutputLine& out,
                             const std::function<void(double)>& payloadPercent) {
    InstallResult result;
    auto emit = [&](const std::string& line) {
        if (out) out(line);
    };
    std::string reason;
    auto failed = [&]() {
        emit("installer: Error - " + reason);
        result.status = 1;
        return result;
    };

    // Files go onto the system volume or a mounted volume, nowhere else: the
    // receipt records the volume, and the uninstaller looks for them there.
    if (!platform::isInstallVolume(target, &reason)) return failed();
    // A work folder only root can enter, below /var/tmp by descriptor.
    platform::PrivateFolder work;
    platform::Error workError;
    if (!work.create(Paths::resolve("/var/tmp"), "pel_pkginstall.", &workError)) {
        reason = "Cannot create a work folder (" +
                 std::string(std::strerror(static_cast<int>(workError.code()))) + ")";
        return failed();
    }
    const std::string copy = work.path() + "/package.pkg";
    if (!copyRegularFile(packageFd, copy, &reason)) return failed();
    if (const int status = PelVerifyPackageSignature(copy.c_str(), 1); status != 0) {
        reason = "The package is not signed by a trusted signer (" + std::to_string(status) + ")";
        return failed();
    }
    platform::Error error;
    auto archive = platform::XarArchive::open(copy, &error);
    if (!archive) {
        reason = "The package cannot be opened (" + error.description() + ")";
        return failed();
    }

    std::vector<Component> components;
    if (archive->fileNamed("PackageInfo")) {
        components.push_back(Component{});
    } else if (archive->fileNamed("Distribution")) {
        for (const auto& file : archive->files()) {
            const std::string suffix = ".pkg/PackageInfo";
            if (file.name.size() > suffix.size() &&
                file.name.compare(file.name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
                file.name.find('/') == file.name.size() - std::string("/PackageInfo").size()) {
                Component component;
                component.prefix =
                    file.name.substr(0, file.name.size() - std::string("PackageInfo").size());
                components.push_back(component);
            }
        }
    }
    if (components.empty()) {
        reason = "The package holds no component";
        return failed();
    }
    for (std::size_t i = 0; i < components.size(); ++i) {
        Component& component = components[i];
        for (const auto& file : archive->files()) {
            if (file.name.rfind(component.prefix + "Scripts", 0) == 0) {
                reason = "Packages with scripts are not supported";
                return failed();
            }
        }
        std::string xml;
        const auto* info = archive->fileNamed(component.prefix + "PackageInfo");
        const auto* payload = archive->fileNamed(component.prefix + "Payload");
        if (!info || !payload) {
            reason = "The component \"" + component.prefix + "\" is incomplete";
            return failed();
        }
        if (!readArchivedText(*archive, *info, &xml, &reason) ||
            !parsePackageInfo(xml, &component, &reason))
            return failed();
        if (i == 0) emit("installer: Package name is " + component.identifier);
        component.payloadPath = work.path() + "/payload" + std::to_string(i);
        if (!extractArchivedFile(*archive, *payload, component.payloadPath, &reason))
            return failed();
    }

    emit("installer:PHASE:Preparing for installation\u2026");
    std::uint64_t total = 0;
    for (auto& component : components) {
        if (!checkPayload(&component, &reason)) return failed();
        total += component.payloadBytes;
    }

    emit("installer:PHASE:Writing files\u2026");
    PercentReporter percent(total, out, payloadPercent);
    // Everything the package makes is removed again when it fails part-way:
    // nothing may stay behind without a receipt that lists it.
    std::vector<std::string> madeFolders;
    std::vector<std::unique_ptr<platform::ContainedFolder>> folders;
    std::optional<platform::SharedFolder> receipts;
    std::vector<std::string> newReceipts;
    auto undo = [&]() {
        for (const auto& receipt : newReceipts) receipts->removeFile(receipt);
        for (auto it = folders.rbegin(); it != folders.rend(); ++it) (*it)->removeMade();
        for (auto it = madeFolders.rbegin(); it != madeFolders.rend(); ++it) ::rmdir(it->c_str());
        return failed();
    };
    std::vector<InstalledComponent> installed;
    for (const auto& component : components) {
        const std::string destination =
            Paths::resolve(Paths::join(target, component.installLocation));
        if (!makeFolders(destination, &madeFolders, &reason)) return undo();
        folders.push_back(std::make_unique<platform::ContainedFolder>());
        if (!folders.back()->open(destination, &reason)) return undo();
        installed.push_back(
            {component.identifier, component.version, component.installLocation, {}});
        if (!extractPayload(component, *folders.back(), percent, &installed.back().files, &reason))
            return undo();
    }
    // The receipts folder is made when missing and held: receipts are written
    // and taken back below it.
    receipts = platform::SharedFolder::make(Paths::resolve("/var/db/receipts"),
                                            platform::SharedFolder::kDefaultMode, nullptr);
    if (!receipts) {
        reason = "Cannot write the receipt of " + components.front().identifier;
        return undo();
    }
    bool upgrade = false;
    for (std::size_t i = 0; i < components.size(); ++i) {
        bool existed = false;
        if (!writeReceipt(*receipts, components[i], target, installed[i].files, &existed, &reason))
            return undo();
        if (!existed) newReceipts.push_back(components[i].identifier + ".plist");
        upgrade = upgrade || existed;
    }
    result.components = std::move(installed);
    percent.add(0);
    emit(upgrade ? "installer:The upgrade was successful."
                 : "installer:The software was successfully installed");
    result.status = 0;
    return result;
}

int installerMain(int argc, char** argv) {
    std::string target, package;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "-target" || arg == "-tgt") && i + 1 < argc) {
            target = argv[++i];
        } else if ((arg == "-package" || arg == "-pkg") && i + 1 < argc) {
            package = argv[++i];
        } else if (arg == "-verboseR" || arg == "-verbose") {
        } else {
            std::cout << "installer: Error - unknown argument " << arg << std::endl;
            return 1;
        }
    }
    if (target.empty() || package.empty()) {
        std::cout << "usage: installer -verboseR -target <dir> -package <path>" << std::endl;
        return 1;
    }
    const InstallResult result = installPackage(
        package, target, [](const std::string& line) { std::cout << line << std::endl; });
    return result.status == 0 ? 0 : 1;
}

}  // namespace pkginstall
