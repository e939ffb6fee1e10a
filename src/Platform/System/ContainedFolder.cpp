#include "Platform/System/ContainedFolder.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Platform/System/PathNames.h"
#include "Platform/System/UniqueFd.h"

namespace platform {

namespace {

// As many links as the kernel follows in one path.
constexpr int kMaxLinks = 40;

std::string join(const std::vector<std::string>& parts) {
    std::string path;
    for (const auto& part : parts) {
        if (!path.empty()) path += '/';
        path += part;
    }
    return path;
}

bool readLink(int dir, const std::string& name, std::string* target) {
    char buffer[PATH_MAX + 1];
    const ssize_t n = ::readlinkat(dir, name.c_str(), buffer, sizeof buffer);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof buffer) return false;
    target->assign(buffer, static_cast<std::size_t>(n));
    return true;
}

std::string quoted(std::string_view name) { return "\"" + std::string(name) + "\""; }

}  // namespace

// Where a walk stands: the real folders from the top (no link among them),
// the open folder at their end, and the names below it that do not exist.
struct ContainedFolder::Walk {
    std::vector<std::string> parts;
    UniqueFd dir;
    std::size_t missingFrom = SIZE_MAX;
    bool endsOnFile = false;
    bool missing() const { return missingFrom != SIZE_MAX; }
};

ContainedFolder::~ContainedFolder() {
    if (root_ >= 0) ::close(root_);
}

bool ContainedFolder::open(const std::string& path, std::string* reason) {
    if (root_ >= 0) ::close(root_);
    root_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    char real[PATH_MAX];
    if (root_ < 0 || !::realpath(path.c_str(), real)) {
        *reason = "Cannot open " + path + " (" + std::strerror(errno) + ")";
        return false;
    }
    realPath_ = real;
    made_.clear();
    linksMade_.clear();
    pending_.clear();
    return true;
}

bool ContainedFolder::openBelow(const std::vector<std::string>& parts, int* fd) const {
    const int dir = openFolderBelow(root_, join(parts));
    if (dir < 0) return false;
    *fd = dir;
    return true;
}

bool ContainedFolder::resolve(Walk& walk, std::vector<std::string> pending, bool allowMissing,
                              std::string* reason) const {
    // `pending` is used from its end: the next part is at the back.
    std::reverse(pending.begin(), pending.end());
    int links = 0;
    while (!pending.empty()) {
        std::string part = std::move(pending.back());
        pending.pop_back();
        if (part == "..") {
            // Past a missing folder there is no telling where ".." leads once
            // something is made there.
            if (walk.missing()) {
                *reason = "leads through a missing folder to its parent";
                return false;
            }
            if (walk.parts.empty()) {
                *reason = "leads out of the destination";
                return false;
            }
            walk.parts.pop_back();
            int fd = -1;
            if (!openBelow(walk.parts, &fd)) {
                *reason = std::string("cannot be followed (") + std::strerror(errno) + ")";
                return false;
            }
            walk.dir.reset(fd);
            continue;
        }
        if (walk.missing()) {
            walk.parts.push_back(std::move(part));
            continue;
        }
        struct stat info;
        if (::fstatat(walk.dir.get(), part.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT && allowMissing) {
                walk.missingFrom = walk.parts.size();
                walk.parts.push_back(std::move(part));
                continue;
            }
            *reason = "cannot be followed at " + quoted(part) + " (" + std::strerror(errno) + ")";
            return false;
        }
        if (S_ISLNK(info.st_mode)) {
            std::string target;
            if (++links > kMaxLinks || !readLink(walk.dir.get(), part, &target)) {
                *reason = "goes through too many links or an unreadable one";
                return false;
            }
            if (target.empty() || target.front() == '/') {
                *reason = "goes through the link " + quoted(part) + " to an absolute path";
                return false;
            }
            auto more = pathParts(target);
            for (auto it = more.rbegin(); it != more.rend(); ++it) pending.push_back(*it);
            continue;
        }
        if (!S_ISDIR(info.st_mode)) {
            if (pending.empty()) {
                // A file at the end: nothing is walked beyond it.
                walk.parts.push_back(std::move(part));
                walk.endsOnFile = true;
                return true;
            }
            *reason = "goes through " + quoted(part) + ", which is not a folder";
            return false;
        }
        const int next =
            ::openat(walk.dir.get(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            *reason = "cannot be followed at " + quoted(part) + " (" + std::strerror(errno) + ")";
            return false;
        }
        walk.dir.reset(next);
        walk.parts.push_back(std::move(part));
    }
    return true;
}

bool ContainedFolder::place(std::string_view name, Kind kind, std::string_view link,
                            std::string* path, std::string* linkPath, std::string* reason) {
    pending_.clear();
    auto refuse = [&](const std::string& why) {
        *reason = "The entry " + quoted(name) + " " + why;
        return false;
    };
    if (root_ < 0) return refuse("has no destination");
    if (name.empty() || name.find('\0') != std::string_view::npos)
        return refuse("has no usable name");
    if (name.front() == '/') return refuse("has an absolute path");
    std::vector<std::string> parts = pathParts(name);
    for (const auto& part : parts)
        if (part == "..") return refuse("leads out of the destination");
    if (parts.empty()) {
        if (kind != Kind::Folder) return refuse("has no usable name");
        *path = ".";
        return true;
    }
    // A folder entry is walked to its end like the folders above any entry:
    // an existing link to a folder inside is that folder.
    const std::string leaf = kind == Kind::Folder ? std::string() : parts.back();
    if (kind != Kind::Folder) parts.pop_back();

    Walk walk;
    walk.dir.reset(::fcntl(root_, F_DUPFD_CLOEXEC, 0));
    std::string why;
    if (walk.dir.get() < 0 || !resolve(walk, parts, true, &why)) return refuse(why);
    if (walk.endsOnFile)
        return refuse("goes through " + quoted(walk.parts.back()) + ", which is not a folder");
    if (walk.missing()) {
        for (std::size_t i = walk.missingFrom; i < walk.parts.size(); ++i) {
            const std::string& folder = walk.parts[i];
            const bool madeHere = ::mkdirat(walk.dir.get(), folder.c_str(), 0755) == 0;
            if (!madeHere && errno != EEXIST)
                return refuse("cannot get its folder (" + std::string(std::strerror(errno)) + ")");
            const int next = ::openat(walk.dir.get(), folder.c_str(),
                                      O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (next < 0)
                return refuse("cannot get its folder (" + std::string(std::strerror(errno)) + ")");
            walk.dir.reset(next);
            if (madeHere)
                made_.push_back(join({walk.parts.begin(), walk.parts.begin() + long(i) + 1}));
        }
        walk.missingFrom = SIZE_MAX;
    }
    if (kind == Kind::Folder) {
        *path = walk.parts.empty() ? "." : join(walk.parts);
        return true;
    }

    struct stat existing;
    bool existed = true;
    if (::fstatat(walk.dir.get(), leaf.c_str(), &existing, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT)
            return refuse("cannot be examined (" + std::string(std::strerror(errno)) + ")");
        existed = false;
    } else if (S_ISLNK(existing.st_mode) && linksMade_.count({existing.st_dev, existing.st_ino})) {
        return refuse("would replace a link the same archive made");
    } else if (S_ISDIR(existing.st_mode)) {
        return refuse("would replace a folder");
    }

    if (kind == Kind::SymbolicLink) {
        if (link.empty() || link.find('\0') != std::string_view::npos)
            return refuse("is a link without a target");
        if (link.front() == '/') return refuse("is a link to an absolute path");
        Walk target;
        target.parts = walk.parts;
        target.dir.reset(::fcntl(walk.dir.get(), F_DUPFD_CLOEXEC, 0));
        if (target.dir.get() < 0 || !resolve(target, pathParts(link), true, &why))
            return refuse("is a link that " + why);
    } else if (kind == Kind::HardLink) {
        if (link.empty() || link.front() == '/' || link.find('\0') != std::string_view::npos)
            return refuse("is a hard link outside the destination");
        std::vector<std::string> targetParts = pathParts(link);
        bool climbs = targetParts.empty();
        for (const auto& part : targetParts) climbs = climbs || part == "..";
        if (climbs) return refuse("is a hard link outside the destination");
        const std::string targetLeaf = targetParts.back();
        targetParts.pop_back();
        Walk target;
        target.dir.reset(::fcntl(root_, F_DUPFD_CLOEXEC, 0));
        if (target.dir.get() < 0 || !resolve(target, targetParts, false, &why))
            return refuse("is a hard link that " + why);
        if (target.endsOnFile) return refuse("is a hard link through a file");
        struct stat info;
        if (::fstatat(target.dir.get(), targetLeaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            return refuse("is a hard link to nothing");
        if (S_ISLNK(info.st_mode)) return refuse("is a hard link to a symbolic link");
        if (!S_ISREG(info.st_mode)) return refuse("is a hard link to something other than a file");
        target.parts.push_back(targetLeaf);
        *linkPath = join(target.parts);
    }

    walk.parts.push_back(leaf);
    *path = join(walk.parts);
    pending_ = *path;
    pendingExisted_ = existed;
    return true;
}

void ContainedFolder::placed() {
    if (pending_.empty()) return;
    struct stat info;
    if (::fstatat(root_, pending_.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(info.st_mode))
        linksMade_.insert({info.st_dev, info.st_ino});
    if (!pendingExisted_) made_.push_back(pending_);
    pending_.clear();
}

bool ContainedFolder::make(std::string_view name, Kind kind, std::string_view link,
                           std::string* reason) {
    std::string path, linkPath;
    if (!place(name, kind, link, &path, &linkPath, reason)) return false;
    if (path == ".") return true;
    int rc = 0;
    switch (kind) {
        case Kind::Folder:
            rc = ::mkdirat(root_, path.c_str(), 0755);
            if (rc != 0 && errno == EEXIST) rc = 0;
            break;
        case Kind::File: {
            const int fd =
                ::openat(root_, path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
            rc = fd < 0 ? -1 : ::close(fd);
            break;
        }
        case Kind::SymbolicLink: {
            const std::string target(link);
            struct stat info;
            if (::fstatat(root_, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                !S_ISDIR(info.st_mode))
                ::unlinkat(root_, path.c_str(), 0);
            rc = ::symlinkat(target.c_str(), root_, path.c_str());
            break;
        }
        case Kind::HardLink:
            rc = ::linkat(root_, linkPath.c_str(), root_, path.c_str(), 0);
            break;
    }
    if (rc != 0) {
        *reason = "The entry " + quoted(name) + " cannot be made (" + std::strerror(errno) + ")";
        pending_.clear();
        return false;
    }
    placed();
    return true;
}

void ContainedFolder::removeMade() {
    for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
        std::vector<std::string> parts = pathParts(*it);
        const std::string leaf = parts.back();
        parts.pop_back();
        int fd = -1;
        if (!openBelow(parts, &fd)) continue;
        struct stat info;
        if (::fstatat(fd, leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
            ::unlinkat(fd, leaf.c_str(), S_ISDIR(info.st_mode) ? AT_REMOVEDIR : 0);
        ::close(fd);
    }
    made_.clear();
}

}  // namespace platform
