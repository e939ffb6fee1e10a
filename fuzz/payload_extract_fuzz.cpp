// Drives archive extraction to a folder (as a payload is unpacked for
// submission) with arbitrary bytes: the memory reader of any format (7-Zip
// gets its header CRCs made right first, SevenZipCrc.h) extracts into a
// fresh, empty folder with the payload unpacker's flags and entry filter.
//
// Every run extracts into <private folder>/guard/dest and checks what the
// extraction promises:
//  - nothing appears beside "dest" (nor beside "guard");
//  - every symbolic link left in "dest" resolves inside it, or nowhere;
//  - a failed extraction leaves "dest" empty, as it found it.
// A broken promise aborts the run. "guard" is then removed without following
// any link, and the private folder itself when the process exits.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "SevenZipCrc.h"
#include "VTSubmissionLib/Archive/VTArchive.h"

namespace {

[[noreturn]] void broken(const char* promise, const std::string& detail) {
    std::fprintf(stderr, "payload_extract_fuzz: %s: %s\n", promise, detail.c_str());
    std::abort();
}

// Removes the item `name` in the folder `dir` and everything below it,
// never following a link; folders are made searchable first, whatever mode
// the archive gave them.
void removeItem(int dir, const char* name) {
    struct stat info;
    if (::fstatat(dir, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (S_ISDIR(info.st_mode)) {
        const int fd = ::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            ::fchmod(fd, 0700);
            if (DIR* listing = ::fdopendir(fd)) {
                std::vector<std::string> names;
                while (const dirent* e = ::readdir(listing))
                    if (std::string_view(e->d_name) != "." && std::string_view(e->d_name) != "..")
                        names.emplace_back(e->d_name);
                for (const std::string& child : names) removeItem(::dirfd(listing), child.c_str());
                ::closedir(listing);
            } else {
                ::close(fd);
            }
        }
        ::unlinkat(dir, name, AT_REMOVEDIR);
    } else {
        ::unlinkat(dir, name, 0);
    }
}

std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* listing = ::opendir(folder.c_str())) {
        while (const dirent* e = ::readdir(listing))
            if (std::string_view(e->d_name) != "." && std::string_view(e->d_name) != "..")
                names.emplace_back(e->d_name);
        ::closedir(listing);
    }
    return names;
}

std::vector<std::string> split(std::string_view path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (end > start) parts.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// Resolves `parts` below `root` one component at a time, following links
// (at most 40) the way the kernel would. False when the walk ever stands
// above `root` or a link's target is absolute. Past a missing component the
// rest is resolved by name only: that is where the link would lead once
// the missing part is made.
bool staysInside(const std::string& root, std::vector<std::string> parts) {
    std::vector<std::string> at;  // where the walk stands, below root
    int links = 0;
    bool missing = false;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string part = parts[i];
        if (part == ".") continue;
        if (part == "..") {
            if (at.empty()) return false;
            at.pop_back();
            continue;
        }
        at.push_back(part);
        if (missing) continue;
        std::string path = root;
        for (const std::string& p : at) path += "/" + p;
        struct stat info;
        if (::lstat(path.c_str(), &info) != 0) {
            missing = true;
            continue;
        }
        if (!S_ISLNK(info.st_mode)) continue;
        if (++links > 40) return true;  // a loop leads nowhere
        std::string target(4096, '\0');
        const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n < 0) return false;
        target.resize(static_cast<std::size_t>(n));
        if (target.empty() || target.front() == '/') return false;
        at.pop_back();
        std::vector<std::string> rest = split(target);
        rest.insert(rest.end(), parts.begin() + static_cast<std::ptrdiff_t>(i) + 1, parts.end());
        parts = std::move(rest);
        i = static_cast<std::size_t>(-1);
    }
    return true;
}

// Every link below `folder` (`relative` is its path from `root`).
void checkLinks(const std::string& root, const std::string& relative) {
    const std::string folder = relative.empty() ? root : root + "/" + relative;
    for (const std::string& name : namesIn(folder)) {
        const std::string item = relative.empty() ? name : relative + "/" + name;
        struct stat info;
        if (::lstat((root + "/" + item).c_str(), &info) != 0) continue;
        if (S_ISDIR(info.st_mode)) {
            checkLinks(root, item);
        } else if (S_ISLNK(info.st_mode) && !staysInside(root, split(item))) {
            broken("a link leads out of the folder", item);
        }
    }
}

struct PrivateFolder {
    std::string path;
    PrivateFolder() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/pel-extract-fuzz.XXXXXX";
        if (!::mkdtemp(pattern.data())) broken("no private folder", pattern);
        path = pattern;
    }
    ~PrivateFolder() {
        const std::size_t slash = path.rfind('/');
        const int parent =
            ::open(path.substr(0, slash ? slash : 1).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (parent >= 0) {
            removeItem(parent, path.c_str() + slash + 1);
            ::close(parent);
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static PrivateFolder base;
    platform::Data bytes(data, data + size);
    fuzz7z::repairCrcs(bytes.data(), bytes.size());
    auto reader = VTImmutableMemoryArchive::archiveForReadingFromData(
        bytes, kVTArchiveFlagAnyFormat, nullptr);
    if (!reader) return 0;

    const std::string guard = base.path + "/guard";
    const std::string destination = guard + "/dest";
    if (::mkdir(guard.c_str(), 0700) != 0 || ::mkdir(destination.c_str(), 0700) != 0)
        broken("cannot make the destination", destination);
    // The payload unpacker's flags (restore times) and entry filter.
    platform::Error error;
    const std::int64_t extracted = reader->extractToDirectory(
        destination, 4,
        [](const char* path, const platform::Dictionary&) {
            const std::string_view name(path);
            return name.substr(name.rfind('/') + 1) != ".DS_Store";
        },
        &error);

    if (namesIn(guard) != std::vector<std::string>{"dest"} ||
        namesIn(base.path) != std::vector<std::string>{"guard"})
        broken("an entry landed outside the folder", guard);
    if (extracted < 0 && !namesIn(destination).empty())
        broken("a failed extraction left entries behind", error.description());
    checkLinks(destination, "");

    const int fd = ::open(base.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) broken("cannot open the private folder", base.path);
    removeItem(fd, "guard");
    ::close(fd);
    return 0;
}
