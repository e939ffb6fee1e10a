#include "VTErrorCreationLib/VTErrorFolder.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Platform/System/PathNames.h"
#include "VTErrorCreationLib/Utilities/VTLog.h"

namespace vtfolder {

std::string parentOf(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string_view::npos) return ".";
    if (slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

std::string nameOf(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    std::size_t slash = path.find_last_of('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::optional<SharedFolder> openFolder(const std::string& path, SharedFolder::Trust trust,
                                       platform::Error* error) {
    std::string name;
    auto parent = SharedFolder::openHolder(path, trust, &name, error);
    if (!parent) return std::nullopt;
    return parent->child(name, trust, error);
}

bool isBucketFolderOf(std::string_view name, std::string_view bucket) {
    return name == bucket ||
           (name.size() > bucket.size() + 1 && name.substr(0, bucket.size()) == bucket &&
            name[bucket.size()] == '.');
}

std::optional<SharedFolder> bucketForSaving(const SharedFolder& root, const std::string& bucket,
                                            std::string* name, bool* made, platform::Error* error) {
    if (made) *made = false;
    platform::Error refused;
    if (auto folder = root.makeChild(bucket, kSharedFolderMode, &refused, made)) {
        *name = bucket;
        return folder;
    }
    const long code = refused.underlyingError() ? refused.underlyingError()->code() : 0;
    if (!SharedFolder::checksTrust() || (code != EPERM && code != ELOOP && code != ENOTDIR)) {
        platform::setError(error, std::move(refused));
        return std::nullopt;
    }
    // Another user holds the bucket's name (their folder, a link, a file):
    // root's report goes into a bucket of root's own beside it, never into
    // theirs, and is not lost.
    VTLog(LOG_WARNING, "Vantrel does not save into %s (%s); using a bucket of its own",
          root.pathOf(bucket).c_str(), refused.localizedDescription().c_str());
    if (auto names = root.entries(nullptr)) {
        std::sort(names->begin(), names->end());
        for (const auto& entry : *names) {
            if (entry == bucket || !isBucketFolderOf(entry, bucket)) continue;
            if (auto folder = root.child(entry, SharedFolder::Trust::Required, nullptr)) {
                *name = entry;
                return folder;
            }
        }
    }
    auto folder = root.makeUniqueChild(bucket + ".", kSharedFolderMode, name, error);
    if (folder && made) *made = true;
    return folder;
}

bool isPlaceOf(const std::string& current, const std::string& destination) {
    const std::string bucket = parentOf(current), wanted = parentOf(destination);
    return nameOf(current) == nameOf(destination) && parentOf(bucket) == parentOf(wanted) &&
           isBucketFolderOf(nameOf(bucket), nameOf(wanted));
}

std::optional<std::string> findErrorFolder(const std::string& destination) {
    const std::string bucketPath = parentOf(destination);
    const std::string bucket = nameOf(bucketPath), uuid = nameOf(destination);
    auto root = SharedFolder::open(parentOf(bucketPath), SharedFolder::Trust::Any, nullptr);
    if (!root) return std::nullopt;
    auto names = root->entries(nullptr);
    if (!names) return std::nullopt;
    // The bucket itself first, then root's buckets beside it.
    std::sort(names->begin(), names->end());
    auto own = std::find(names->begin(), names->end(), bucket);
    if (own != names->end()) std::rotate(names->begin(), own, own + 1);
    for (const auto& entry : *names) {
        if (!isBucketFolderOf(entry, bucket)) continue;
        auto folder = root->child(entry, SharedFolder::Trust::Any, nullptr);
        struct stat st {};
        if (folder && folder->statEntry(uuid, &st) && S_ISDIR(st.st_mode))
            return platform::pathInFolder(folder->path(), uuid);
    }
    return std::nullopt;
}

namespace {

int removeTreeOf(const SharedFolder& folder, std::string_view name, bool force) {
    return folder.removeTree(name, force);
}

}  // namespace

bool moveItem(const SharedFolder& from, std::string_view name, const SharedFolder& to,
              std::string_view toName, platform::Error* error, const MoveSteps& steps) {
    auto removeTree = steps.removeTree ? steps.removeTree : removeTreeOf;
    if (!steps.rename) {
        platform::Error moveError;
        if (from.moveEntry(name, to, toName, true, &moveError)) return true;
        const platform::Error* underlying = moveError.underlyingError();
        if (!underlying || underlying->code() != EXDEV) {
            platform::setError(error, std::move(moveError));
            return false;
        }
    } else {
        const std::string a(name), b(toName);
        if (steps.rename(from.fd(), a.c_str(), to.fd(), b.c_str()) == 0) return true;
        if (errno != EXDEV) {
            platform::setError(error, platform::Error::fileWrite(errno, to.pathOf(toName)));
            return false;
        }
    }
    // The temporary folder and the error tree may lie on different file
    // systems. The summary goes last: a copy cut short has none, and is
    // never listed or submitted as a whole error.
    platform::Error copyError;
    if (!from.copyTree(name, to, toName, kSummaryFileName, &copyError)) {
        platform::setError(error, std::move(copyError));
        return false;
    }
    // The copy is whole: it is the error now. An original that cannot be
    // removed entirely is only a leftover; deleting the copy as well would
    // leave no complete error anywhere.
    if (int removed = removeTree(from, name, true); removed != 0)
        VTLog(LOG_WARNING, "Vantrel moved %s to %s but could not remove all of the original (%s)",
              from.pathOf(name).c_str(), to.pathOf(toName).c_str(), std::strerror(removed));
    return true;
}

bool removeEmptyBucket(const SharedFolder& bucket) {
    if (bucket.countEntries() != 0) return false;
    auto root = SharedFolder::open(parentOf(bucket.path()), SharedFolder::Trust::Any, nullptr);
    return root && root->removeEmptyFolder(nameOf(bucket.path()), bucket);
}

bool isValidDetailIdentifier(std::string_view name) {
    return platform::isPlainFileName(name) && name != kSummaryFileName && name != kDataFileName;
}

}  // namespace vtfolder
