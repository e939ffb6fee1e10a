// The operating system's own crash log of a crash, found in the crash-log
// folders of the user, the machine and every account, and attached to the
// crash error.
//
// Those folders may be writable by others than the account whose crash is
// reported: the walk never follows a link, takes regular files only, opens
// the file it copies without following a link, and requires it to belong to
// the account or to root, so that nothing else can be made into a payload.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <mutex>
#include <thread>

#include "Platform/System/Paths.h"
#include "Platform/System/UniformTypes.h"
#include "Platform/System/UserAccount.h"
#include "VTErrorCreationLib/VTCrashError.h"
#include "VTErrorCreationLib/VTErrorData.h"
#include "VTErrorCreationLib/VTSCDConfiguration.h"

namespace {

struct SearchFolder {
    std::string path;
    uid_t account;
};

struct Found {
    std::string path;
    double distance;
};

std::mutex gSeamMutex;
VTCrashError::Sleeper gSleeper;
VTCrashError::CreationDateReader gCreationDateReader;

std::mutex gFoldersMutex;
std::optional<std::vector<SearchFolder>> gCrashFolders;

constexpr int kMaximumDepth = 64;

std::optional<double> fileCreationDate(const std::string& path) {
    {
        std::lock_guard<std::mutex> lock(gSeamMutex);
        if (gCreationDateReader) return gCreationDateReader(path);
    }
    struct statx info;
    if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &info) != 0 ||
        !(info.stx_mask & STATX_BTIME))
        return std::nullopt;
    return static_cast<double>(info.stx_btime.tv_sec) + info.stx_btime.tv_nsec / 1e9;
}

bool ownedBy(const struct stat& info, uid_t account) {
    return info.st_uid == account || info.st_uid == 0;
}

// The first `count` characters (code points) of UTF-8 text.
std::string leadingCharacters(const std::string& text, size_t count) {
    size_t at = 0;
    for (size_t seen = 0; at < text.size() && seen < count; ++seen) {
        ++at;
        while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
    }
    return text.substr(0, at);
}

struct Walk {
    std::string prefix;
    double failureTime;
    uid_t account;
    std::optional<Found> best;

    void consider(int directory, const std::string& path, const char* name) {
        const std::string_view entry(name);
        if (!entry.starts_with(prefix) || platform::pathExtension(entry) != "crash") return;
        struct stat info;
        if (fstatat(directory, name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode) ||
            !ownedBy(info, account))
            return;
        const auto created = fileCreationDate(path);
        if (!created) return;
        const double distance = std::fabs(*created - failureTime);
        if (static_cast<float>(distance) >= 8.0f) return;
        if (!best || distance < best->distance) best = Found{path, distance};
    }

    // Errors inside the tree are passed over; the walk goes on.
    void walk(int directory, const std::string& path, int depth) {
        DIR* stream = fdopendir(directory);
        if (!stream) {
            close(directory);
            return;
        }
        while (const dirent* entry = readdir(stream)) {
            if (entry->d_name[0] == '.') continue;  // hidden, "." and ".."
            const std::string child = path + "/" + entry->d_name;
            if (entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN) {
                const int sub = openat(dirfd(stream), entry->d_name,
                                       O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (sub >= 0) {
                    if (depth < kMaximumDepth)
                        walk(sub, child, depth + 1);
                    else
                        close(sub);
                    continue;
                }
                if (entry->d_type == DT_DIR) continue;
            }
            consider(dirfd(stream), child, entry->d_name);
        }
        closedir(stream);
    }
};

std::vector<SearchFolder> homeLibraryFolders() {
    const uid_t self = geteuid();
    std::vector<SearchFolder> folders = {{platform::Paths::userLibrary(""), self},
                                         {platform::Paths::resolve("/Library"), self}};
    // The account list first (getpwent keeps its place in shared state, so
    // the listing is serialised), then each home by the account's id.
    static std::mutex listMutex;
    std::vector<uid_t> accounts;
    {
        std::lock_guard<std::mutex> lock(listMutex);
        setpwent();
        while (const passwd* entry = getpwent()) accounts.push_back(entry->pw_uid);
        endpwent();
    }
    for (uid_t account : accounts) {
        const auto entry = platform::userAccount(account);
        if (!entry || entry->home.empty()) continue;
        folders.push_back(
            {platform::Paths::join(platform::Paths::resolve(entry->home), "Library"), account});
    }
    return folders;
}

std::vector<SearchFolder> crashFolders() {
    std::lock_guard<std::mutex> lock(gFoldersMutex);
    if (!gCrashFolders) {
        std::vector<SearchFolder> folders = homeLibraryFolders();
        for (SearchFolder& folder : folders)
            folder.path = platform::Paths::join(folder.path, "Logs/DiagnosticReports");
        gCrashFolders = std::move(folders);
    }
    return *gCrashFolders;
}

std::optional<Found> findInDirectory(const VTErrorProperties& summary, const std::string& directory,
                                     uid_t account) {
    if (!summary.processName() || summary.processName()->empty() || !summary.failureTime())
        return std::nullopt;
    const int top = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (top < 0) return std::nullopt;
    Walk walk{leadingCharacters(*summary.processName(), 16),
              summary.failureTime()->secondsSince1970, account, std::nullopt};
    walk.walk(top, directory, 0);
    return walk.best;
}

// The file's bytes, read through a descriptor that did not follow a link,
// when it is a regular file of the account or root; at most `limit` bytes
// (0: all).
std::optional<platform::Data> readOwnedFile(const std::string& path, uid_t account,
                                            std::uint64_t limit) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat info;
    std::optional<platform::Data> data;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ownedBy(info, account)) {
        data.emplace();
        char chunk[65536];
        for (;;) {
            size_t want = sizeof chunk;
            if (limit != 0) want = std::min<std::uint64_t>(want, limit - data->size());
            if (want == 0) break;
            const ssize_t got = read(fd, chunk, want);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                data.reset();
                break;
            }
            if (got == 0) break;
            data->insert(data->end(), chunk, chunk + got);
        }
    }
    close(fd);
    return data;
}

}  // namespace

void VTCrashError::setCollectSleeper(Sleeper sleeper) {
    std::lock_guard<std::mutex> lock(gSeamMutex);
    gSleeper = std::move(sleeper);
}

void VTCrashError::setCreationDateReader(CreationDateReader reader) {
    std::lock_guard<std::mutex> lock(gSeamMutex);
    gCreationDateReader = std::move(reader);
}

void VTCrashError::resetCrashDirectories() {
    std::lock_guard<std::mutex> lock(gFoldersMutex);
    gCrashFolders.reset();
}

std::vector<std::string> VTCrashError::allHomeLibraryDirectories() {
    std::vector<std::string> paths;
    for (SearchFolder& folder : homeLibraryFolders()) paths.push_back(std::move(folder.path));
    return paths;
}

std::vector<std::string> VTCrashError::allCrashDirectories() {
    std::vector<std::string> paths;
    for (SearchFolder& folder : crashFolders()) paths.push_back(std::move(folder.path));
    return paths;
}

std::optional<std::string> VTCrashError::URLForAppleCrashReportInDirectory(
    const std::string& directory, uid_t account) const {
    auto found = findInDirectory(summaryData(), directory, account);
    if (!found) return std::nullopt;
    return found->path;
}

std::optional<std::string> VTCrashError::URLForAppleCrashReportInDirectory(
    const std::string& directory) const {
    return URLForAppleCrashReportInDirectory(directory, geteuid());
}

std::optional<std::string> VTCrashError::URLForAppleCrashReport() const {
    for (const SearchFolder& folder : crashFolders())
        if (auto found = URLForAppleCrashReportInDirectory(folder.path, folder.account))
            return found;
    return std::nullopt;
}

std::int64_t VTCrashError::collect(platform::Error*) {
    if (infoForDetailDataWithIdentifier(VTErrorStreamIDAppleCrashReport)) return 0;
    // The operating system writes its log a few seconds after the crash.
    Sleeper sleeper;
    {
        std::lock_guard<std::mutex> lock(gSeamMutex);
        sleeper = gSleeper;
    }
    if (sleeper)
        sleeper(std::chrono::seconds(10));
    else
        std::this_thread::sleep_for(std::chrono::seconds(10));

    for (const SearchFolder& folder : crashFolders()) {
        auto found = findInDirectory(summaryData(), folder.path, folder.account);
        if (!found) continue;
        auto config = configuration();
        auto data = readOwnedFile(found->path, folder.account,
                                  config ? config->maxFileAttachmentSizeBytes() : 0);
        if (!data) return -1;
        platform::Dictionary info;
        info.emplace(VTErrorDataInfoDescriptionKey, platform::Value("Apple CrashReport file"));
        info.emplace(VTErrorDataInfoOriginalPathKey, platform::Value(found->path));
        if (auto mime =
                platform::preferredMIMETypeForExtension(platform::pathExtension(found->path)))
            info.emplace(VTErrorDataInfoMIMETypeKey, platform::Value(*mime));
        return addDetailDataWithAttributes(*data, std::string(VTErrorStreamIDAppleCrashReport),
                                           info, nullptr)
                   ? 1
                   : -1;
    }
    return 0;
}
