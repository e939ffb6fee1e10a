#include "VTSubmissionLib/Archive/VTArchive.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

#include "Platform/System/ContainedFolder.h"
#include "Platform/System/FileAttributes.h"
#include "Platform/System/UniqueFd.h"
#include "Platform/System/UserAccount.h"
#include "VTErrorCreationLib/Utilities/VTLog.h"
#include "VTSubmissionLib/Archive/VTSevenZipBounds.h"

namespace {

constexpr std::size_t kStreamBlock = 65536;
constexpr std::size_t kFileBlock = 65536;
constexpr std::size_t kEntryReadBlock = 32768;
// The longest destination prefix and prefixed entry path extraction accepts.
constexpr std::size_t kMaxPrefix = 1024;
constexpr std::size_t kMaxExtractPath = 2048;

platform::Error archiveError(long code, std::string description = {}) {
    platform::Dictionary info;
    if (!description.empty())
        info.emplace(std::string(platform::kLocalizedDescriptionKey), std::move(description));
    return platform::Error(std::string(VTArchiveErrorDomain), code, std::move(info));
}

platform::Error archiveErrorWithUnderlying(long code, platform::Error underlying,
                                           std::string_view url = {}) {
    platform::Error error = archiveError(code);
    if (!url.empty()) error.setUserInfoValue(std::string(platform::kURLErrorKey), std::string(url));
    error.setUnderlyingError(std::move(underlying));
    return error;
}

platform::Error cocoaNoSuchFile(std::string_view url) {
    platform::Error error(std::string(platform::kCocoaErrorDomain), platform::kFileNoSuchFileError);
    if (!url.empty()) error.setUserInfoValue(std::string(platform::kURLErrorKey), std::string(url));
    return error;
}

std::string lastComponent(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    const auto slash = trimmed.rfind('/');
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

std::string joinPath(const std::string& base, const std::string& name) {
    if (base.empty()) return name;
    if (base.back() == '/') return base + name;
    return base + "/" + name;
}

bool readFully(int fd, std::uint8_t* buffer, std::size_t length, std::size_t* got) {
    *got = 0;
    while (*got < length) {
        const ssize_t n = ::read(fd, buffer + *got, length - *got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        *got += static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<std::string> userName(uid_t uid) {
    auto account = platform::userAccount(uid);
    if (!account) return std::nullopt;
    return account->name;
}

}  // namespace

std::optional<std::string> VTArchiveFilePath(std::string_view url) {
    constexpr std::string_view kScheme = "file://";
    if (url.substr(0, kScheme.size()) == kScheme)
        url.remove_prefix(kScheme.size());
    else if (url.find("://") != std::string_view::npos)
        return std::nullopt;
    if (url.empty()) return std::nullopt;
    return std::string(url);
}

// --- VTArchive ------------------------------------------------------------------

VTArchive::~VTArchive() { releaseArchive(); }

void VTArchive::releaseArchive() {
    if (!archive_) return;
    if (reader_) {
        archive_read_close(archive_);
        archive_read_free(archive_);
    } else {
        // Freeing an unsaved writer closes it; the memory writer's bytes are
        // then no longer wanted, and a file writer's file is left as it is.
        archive_write_free(archive_);
    }
    archive_ = nullptr;
}

platform::Error VTArchive::libarchiveError(long code, std::string_view url) const {
    const char* text = archive_ ? archive_error_string(archive_) : nullptr;
    platform::Error error = archiveError(code);
    error.setUserInfoValue(std::string(platform::kLocalizedDescriptionKey),
                           std::string(text ? text : ""));
    if (!url.empty()) error.setUserInfoValue(std::string(platform::kURLErrorKey), std::string(url));
    error.setUnderlyingError(platform::Error(std::string(VTLibarchiveErrorDomain),
                                             archive_ ? archive_errno(archive_) : 0));
    return error;
}

// --- Writers ----------------------------------------------------------------------

bool VTArchiveCreation::setUpWriter(std::uint64_t flags, platform::Error* error) {
    archive_ = archive_write_new();
    if (!archive_) {
        platform::setError(error, archiveError(kVTArchiveErrorSetup));
        return false;
    }
    const char* compression = (flags & kVTArchiveFlagStore) ? "copy" : "lzma2";
    if (archive_write_set_format_7zip(archive_) != ARCHIVE_OK ||
        archive_write_add_filter_none(archive_) != ARCHIVE_OK ||
        archive_write_set_format_option(archive_, "7zip", "compression", compression) !=
            ARCHIVE_OK ||
        // No padding of the last block: the archive ends where 7-Zip's data does.
        archive_write_set_bytes_in_last_block(archive_, 1) != ARCHIVE_OK) {
        platform::setError(error, libarchiveError(kVTArchiveErrorSetup));
        return false;
    }
    return true;
}

void VTArchiveCreation::markFailed() {
    // Only our own flag: libarchive's failed state leaks the entry in
    // progress when the writer is freed.
    failed_ = true;
}

bool VTArchiveCreation::failIfSaved(platform::Error* error) const {
    if (saved_) {
        platform::setError(error, archiveError(kVTArchiveErrorSaved));
        return true;
    }
    if (failed_) {
        platform::setError(
            error, archiveError(kVTArchiveErrorWrite, "The archive lost the data of an entry"));
        return true;
    }
    return false;
}

struct archive_entry* VTArchiveCreation::createEntry(const std::string& name,
                                                     const std::optional<std::string>& originalPath,
                                                     const std::optional<std::string>& hierarchy,
                                                     platform::Error* error) {
    struct archive_entry* entry = archive_entry_new2(archive_);
    if (!entry) {
        platform::setError(error, libarchiveError(kVTArchiveErrorEntry));
        return nullptr;
    }
    const std::string path = hierarchy && !hierarchy->empty() ? joinPath(*hierarchy, name) : name;
    archive_entry_set_pathname(entry, path.c_str());
    archive_entry_set_mode(entry, AE_IFREG | 0644);
    if (originalPath) {
        if (auto source = VTArchiveFilePath(*originalPath))
            archive_entry_copy_sourcepath(entry, source->c_str());
    }
    return entry;
}

bool VTArchiveCreation::addStream(VTInputStream& stream, const std::string& name,
                                  const std::optional<std::string>& hierarchy,
                                  const std::optional<std::string>& originalPath,
                                  const platform::Dictionary& attributes, platform::Error* error) {
    if (failIfSaved(error)) return false;
    struct archive_entry* entry = createEntry(name, originalPath, hierarchy, error);
    if (!entry) return false;
    struct EntryFree {
        void operator()(struct archive_entry* e) const { archive_entry_free(e); }
    };
    std::unique_ptr<struct archive_entry, EntryFree> owned(entry);

    platform::Error openError;
    if (!stream.open(&openError)) {
        platform::setError(error,
                           archiveErrorWithUnderlying(kVTArchiveErrorOpen, std::move(openError)));
        return false;
    }
    auto sizeValue = attributes.find(platform::kFileSize);
    if (sizeValue == attributes.end() || !sizeValue->second.isNumber()) {
        platform::setError(error,
                           archiveError(kVTArchiveErrorAttributes, "No NSFileSizeKey provided"));
        return false;
    }
    const std::uint64_t size = sizeValue->second.uint64Value();
    archive_entry_set_size(entry, static_cast<la_int64_t>(size));
    if (auto found = attributes.find(platform::kFileModificationDate);
        found != attributes.end() && found->second.asDate())
        archive_entry_set_mtime(entry,
                                static_cast<time_t>(found->second.asDate()->secondsSince1970), 0);
    if (auto found = attributes.find(platform::kFileCreationDate);
        found != attributes.end() && found->second.asDate())
        archive_entry_set_ctime(entry,
                                static_cast<time_t>(found->second.asDate()->secondsSince1970), 0);
    if (auto found = attributes.find(platform::kFileOwnerAccountID); found != attributes.end())
        archive_entry_set_uid(entry, static_cast<std::uint16_t>(found->second.uint64Value()));
    if (auto found = attributes.find(platform::kFileGroupOwnerAccountID); found != attributes.end())
        archive_entry_set_gid(entry, static_cast<std::uint16_t>(found->second.uint64Value()));
    if (auto found = attributes.find("NSFileOwnerAccountName");
        found != attributes.end() && found->second.isString())
        archive_entry_set_uname(entry, found->second.stringValue().c_str());

    (void)archive_write_header(archive_, entry);
    owned.reset();

    // Exactly `size` bytes: libarchive would pad a short entry with zeros,
    // which would hand out bytes the file never held.
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(
        std::min<std::uint64_t>(std::max<std::uint64_t>(size, 1), kStreamBlock)));
    std::uint64_t remaining = size;
    while (remaining > 0) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(remaining, buffer.size()));
        platform::Error readError;
        const std::int64_t got = stream.read(buffer.data(), want, &readError);
        if (got <= 0) {
            markFailed();
            platform::Error failure = archiveError(kVTArchiveErrorWrite);
            if (got < 0) failure.setUnderlyingError(std::move(readError));
            platform::setError(error, std::move(failure));
            return false;
        }
        if (archive_write_data(archive_, buffer.data(), static_cast<std::size_t>(got)) <= 0) {
            markFailed();
            platform::setError(error, libarchiveError(kVTArchiveErrorWrite));
            return false;
        }
        remaining -= static_cast<std::uint64_t>(got);
    }
    std::uint8_t probe;
    if (stream.read(&probe, 1, nullptr) > 0)
        VTLog(LOG_NOTICE, "Archive entry %s: bytes past its size of %llu left out", name.c_str(),
              static_cast<unsigned long long>(size));
    ++numberOfFiles_;
    return true;
}

bool VTArchiveCreation::addURL(const std::string& url, const std::optional<std::string>& hierarchy,
                               const std::optional<std::string>& originalPath,
                               platform::Error* error,
                               const std::optional<std::string>& entryName) {
    auto path = VTArchiveFilePath(url);
    if (!path) {
        VTLog(LOG_ERR, "Invalid parameter not satisfying: %s", "[file isFileURL]");
        platform::setError(error, archiveErrorWithUnderlying(kVTArchiveErrorDestination,
                                                             cocoaNoSuchFile(url), url));
        return false;
    }
    if (failIfSaved(error)) return false;
    // The item is looked at and read below its folder, opened once: the
    // folders on the way may be ones other users write to (an error folder
    // packed by root), where a path checked now may lead elsewhere later.
    std::string name;
    platform::Error openError;
    auto folder = platform::SharedFolder::openHolder(*path, platform::SharedFolder::Trust::Any,
                                                     &name, &openError);
    if (!folder) {
        platform::setError(error, archiveErrorWithUnderlying(
                                      kVTArchiveErrorAttributes,
                                      platform::Error::posixForURL(
                                          platform::SharedFolder::errorCode(openError), url),
                                      url));
        return false;
    }
    return addItemIn(*folder, name, url, hierarchy, originalPath, entryName.value_or(name), error);
}

bool VTArchiveCreation::addItemInFolder(const platform::SharedFolder& folder,
                                        const std::string& name, platform::Error* error) {
    if (failIfSaved(error)) return false;
    return addItemIn(folder, name, folder.pathOf(name), std::nullopt, std::nullopt, name, error);
}

bool VTArchiveCreation::addItemIn(const platform::SharedFolder& folder, const std::string& name,
                                  const std::string& url,
                                  const std::optional<std::string>& hierarchy,
                                  const std::optional<std::string>& originalPath,
                                  const std::string& entryName, platform::Error* error) {
    struct stat info;
    if (!folder.statEntry(name, &info)) {
        platform::setError(
            error, archiveErrorWithUnderlying(kVTArchiveErrorAttributes,
                                              platform::Error::posixForURL(errno, url), url));
        return false;
    }
    if (S_ISLNK(info.st_mode)) {
        // The link's own size says how long its target is (some file
        // systems give 0: then as long as a path may be).
        if (info.st_size > PATH_MAX) {
            platform::setError(error, archiveErrorWithUnderlying(
                                          kVTArchiveErrorAttributes,
                                          platform::Error::posixForURL(ENAMETOOLONG, url), url));
            return false;
        }
        const std::size_t expected =
            info.st_size > 0 ? static_cast<std::size_t>(info.st_size) : PATH_MAX;
        std::string target(expected + 1, '\0');
        const ssize_t length =
            ::readlinkat(folder.fd(), name.c_str(), target.data(), target.size());
        if (length < 0 || static_cast<std::size_t>(length) > expected) {
            platform::setError(
                error,
                archiveErrorWithUnderlying(
                    kVTArchiveErrorAttributes,
                    platform::Error::posixForURL(length < 0 ? errno : ENAMETOOLONG, url), url));
            return false;
        }
        target.resize(static_cast<std::size_t>(length));
        return addOpened(-1, info, &target, entryName, hierarchy, originalPath, url, error);
    }
    // Only a regular file is opened (non-blocking, so that a FIFO put in its
    // place cannot stall us), never through a link; what is stored is what
    // the descriptor read shows.
    platform::UniqueFd fd;
    if (S_ISREG(info.st_mode)) {
        fd.reset(folder.openFile(name, O_RDONLY | O_NONBLOCK));
        if (!fd || ::fstat(fd.get(), &info) != 0) {
            platform::setError(
                error, archiveErrorWithUnderlying(kVTArchiveErrorOpen,
                                                  platform::Error::fileRead(errno, url), url));
            return false;
        }
    }
    return addOpened(fd.get(), info, nullptr, entryName, hierarchy, originalPath, url, error);
}

bool VTArchiveCreation::addOpened(int fd, const struct stat& info, const std::string* linkTarget,
                                  const std::string& entryName,
                                  const std::optional<std::string>& hierarchy,
                                  const std::optional<std::string>& originalPath,
                                  const std::string& url, platform::Error* error) {
    struct archive_entry* entry = createEntry(entryName, originalPath, hierarchy, error);
    if (!entry) return false;
    struct EntryFree {
        void operator()(struct archive_entry* e) const { archive_entry_free(e); }
    };
    std::unique_ptr<struct archive_entry, EntryFree> owned(entry);
    archive_entry_set_ctime(entry, info.st_ctim.tv_sec, info.st_ctim.tv_nsec);
    archive_entry_set_mtime(entry, info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
    archive_entry_set_atime(entry, info.st_atim.tv_sec, info.st_atim.tv_nsec);
    archive_entry_set_mode(entry, info.st_mode);
    archive_entry_set_uid(entry, info.st_uid);
    archive_entry_set_gid(entry, info.st_gid);
    archive_entry_set_ino64(entry, static_cast<la_int64_t>(info.st_ino));
    const bool regular = fd >= 0 && S_ISREG(info.st_mode);
    if (linkTarget) archive_entry_set_symlink(entry, linkTarget->c_str());
    archive_entry_set_size(entry, regular ? info.st_size : 0);
    if (auto name = userName(info.st_uid)) archive_entry_set_uname(entry, name->c_str());

    const int header = archive_write_header(archive_, entry);
    owned.reset();
    if (header != ARCHIVE_OK) {
        platform::setError(error, libarchiveError(kVTArchiveErrorAttributes, url));
        return false;
    }
    if (!regular) {
        ++numberOfFiles_;
        return true;
    }
    // Exactly the size examined above; a file that shrank meanwhile fails
    // rather than being padded, one that grew keeps its first bytes.
    std::vector<std::uint8_t> buffer(
        static_cast<std::size_t>(std::min<off_t>(info.st_size, kFileBlock)));
    std::uint64_t remaining = static_cast<std::uint64_t>(info.st_size);
    while (remaining > 0) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(remaining, buffer.size()));
        std::size_t got = 0;
        const bool readOK = readFully(fd, buffer.data(), want, &got);
        if (!readOK || got < want) {
            markFailed();
            platform::Error failure = archiveError(kVTArchiveErrorWrite);
            failure.setUserInfoValue(std::string(platform::kURLErrorKey), url);
            if (!readOK) failure.setUnderlyingError(platform::Error::fileRead(errno, url));
            platform::setError(error, std::move(failure));
            return false;
        }
        if (archive_write_data(archive_, buffer.data(), got) < 0) {
            markFailed();
            platform::setError(error, libarchiveError(kVTArchiveErrorWrite, url));
            return false;
        }
        remaining -= got;
    }
    ++numberOfFiles_;
    return true;
}

bool VTArchiveCreation::addHierarchyItem(const platform::SharedFolder& top,
                                         const platform::SharedFolder& folder,
                                         const std::string& below, const std::string& hierarchy,
                                         std::uint64_t options, platform::Error* error) {
    platform::Error listError;
    auto listed = folder.entries(&listError);
    if (!listed) {
        platform::setError(
            error, archiveErrorWithUnderlying(
                       kVTArchiveErrorOpen,
                       platform::Error::posixForURL(platform::SharedFolder::errorCode(listError),
                                                    folder.path()),
                       folder.path()));
        return false;
    }
    std::vector<std::string> names;
    for (std::string& name : *listed) {
        if ((options & kVTArchiveWalkSkipHidden) && name[0] == '.') continue;
        names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end());

    for (const std::string& name : names) {
        const std::string child = folder.pathOf(name);
        struct stat info;
        if (!folder.statEntry(name, &info)) {
            platform::setError(error, archiveErrorWithUnderlying(
                                          kVTArchiveErrorAttributes,
                                          platform::Error::posixForURL(errno, child), child));
            return false;
        }
        if (S_ISDIR(info.st_mode)) {
            if (options & kVTArchiveWalkSkipDescendants) continue;
            platform::Error openError;
            auto sub = folder.child(name, platform::SharedFolder::Trust::Any, &openError);
            if (!sub) {
                platform::setError(error,
                                   archiveErrorWithUnderlying(
                                       kVTArchiveErrorOpen,
                                       platform::Error::posixForURL(
                                           platform::SharedFolder::errorCode(openError), child),
                                       child));
                return false;
            }
            if (!addHierarchyItem(top, *sub, joinPath(below, name), joinPath(hierarchy, name),
                                  options, error))
                return false;
            continue;
        }
        std::optional<std::string> place;
        if (!hierarchy.empty()) place = hierarchy;
        if (S_ISLNK(info.st_mode) && !(options & kVTArchiveHierarchyKeepLinks)) {
            // The file the link points to, under the link's own name; a link
            // to anything but a readable file is left out. Root follows a
            // link only while it stays inside the folder packed: another
            // user's link must not make it pack a file they cannot read.
            platform::UniqueFd target(
                platform::SharedFolder::checksTrust()
                    ? top.openInside(joinPath(below, name), O_RDONLY | O_NONBLOCK)
                    : ::openat(folder.fd(), name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
            struct stat opened;
            if (!target || ::fstat(target.get(), &opened) != 0 || !S_ISREG(opened.st_mode))
                continue;
            if (!addOpened(target.get(), opened, nullptr, name, place, child, child, error))
                return false;
            continue;
        }
        if (!addItemIn(folder, name, child, place, std::nullopt, name, error)) return false;
    }
    return true;
}

std::uint64_t VTArchiveCreation::addHierarchyAtURL(const std::string& url, std::uint64_t options,
                                                   platform::Error* error) {
    if (failIfSaved(error)) return 0;
    auto path = VTArchiveFilePath(url);
    platform::Error openError;
    auto top =
        path ? platform::SharedFolder::open(*path, platform::SharedFolder::Trust::Any, &openError)
             : std::nullopt;
    if (!top) {
        platform::setError(error, archiveErrorWithUnderlying(
                                      kVTArchiveErrorOpen,
                                      path ? platform::Error::posixForURL(
                                                 platform::SharedFolder::errorCode(openError), url)
                                           : cocoaNoSuchFile(url),
                                      url));
        return 0;
    }
    const std::uint64_t before = numberOfFiles_;
    const std::string hierarchy =
        (options & kVTArchiveHierarchyTopName) ? lastComponent(*path) : "";
    if (!addHierarchyItem(*top, *top, "", hierarchy, options, error)) return 0;
    return numberOfFiles_ - before;
}

bool VTArchiveCreation::save(platform::Error* error) {
    if (saved_) {
        platform::setError(error, archiveError(kVTArchiveErrorSaved));
        return false;
    }
    if (failed_) {
        platform::setError(
            error, archiveError(kVTArchiveErrorClose, "The archive lost the data of an entry"));
        return false;
    }
    if (archive_write_close(archive_) != ARCHIVE_OK) {
        platform::setError(error, libarchiveError(kVTArchiveErrorClose));
        return false;
    }
    saved_ = true;
    return true;
}

struct VTMemoryArchiveCallbacks {
    static int open(struct archive*, void*) { return ARCHIVE_OK; }
    static int close(struct archive*, void*) { return ARCHIVE_OK; }
    static la_ssize_t write(struct archive* a, void* context, const void* bytes,
                            std::size_t length) {
        auto* self = static_cast<VTMemoryArchive*>(context);
        if (self->discarding_) return static_cast<la_ssize_t>(length);
        try {
            const auto* begin = static_cast<const std::uint8_t*>(bytes);
            self->archiveData_.append(
                std::make_shared<const platform::Data>(begin, begin + length));
        } catch (...) {
            archive_set_error(a, ENOMEM, "Out of memory");
            return -1;
        }
        return static_cast<la_ssize_t>(length);
    }
};

VTMemoryArchive::~VTMemoryArchive() {
    // Freeing an unsaved writer finishes it: nothing of that is wanted.
    discarding_ = true;
    releaseArchive();
}

VTFileArchive::~VTFileArchive() {
    releaseArchive();
    // A file that lost an entry's data is no archive of what was added; it
    // goes from the folder it was made in.
    if ((failed_ || discarded_) && folder_) folder_->removeFile(fileName_);
}

std::unique_ptr<VTMemoryArchive> VTMemoryArchive::archiveWithFlags(std::uint64_t flags,
                                                                   platform::Error* error) {
    std::unique_ptr<VTMemoryArchive> made(new VTMemoryArchive());
    made->flags_ = flags;
    if (!made->setUpWriter(flags, error)) return nullptr;
    // Blocks as large as libarchive hands them over: fewer, larger regions.
    archive_write_set_bytes_per_block(made->archive_, 0);
    if (archive_write_open(made->archive_, made.get(), VTMemoryArchiveCallbacks::open,
                           VTMemoryArchiveCallbacks::write,
                           VTMemoryArchiveCallbacks::close) != ARCHIVE_OK) {
        platform::setError(error, made->libarchiveError(kVTArchiveErrorSetup));
        return nullptr;
    }
    return made;
}

std::unique_ptr<VTFileArchive> VTFileArchive::archiveWithDestination(const std::string& url,
                                                                     std::uint64_t flags,
                                                                     platform::Error* error) {
    auto path = VTArchiveFilePath(url);
    if (!path) {
        platform::setError(error, archiveErrorWithUnderlying(kVTArchiveErrorDestination,
                                                             cocoaNoSuchFile(url), url));
        return nullptr;
    }
    std::unique_ptr<VTFileArchive> made(new VTFileArchive());
    made->archiveURL_ = url;
    if (!made->setUpWriter(flags, error)) return nullptr;
    // Made below its folder, opened once, never through a link; run by
    // root, a file at the name that is another user's, or that has another
    // name (a hard link), is not written into.
    auto cannotOpen = [&](int code) {
        platform::setError(
            error, archiveErrorWithUnderlying(kVTArchiveErrorRead,
                                              platform::Error::posixForURL(code, url), url));
        return nullptr;
    };
    platform::Error openError;
    made->folder_ = platform::SharedFolder::openHolder(*path, platform::SharedFolder::Trust::Any,
                                                       &made->fileName_, &openError);
    if (!made->folder_) return cannotOpen(platform::SharedFolder::errorCode(openError));
    made->fd_.reset(made->folder_->openFile(made->fileName_, O_WRONLY | O_CREAT, 0666));
    struct stat info;
    if (!made->fd_ || ::fstat(made->fd_.get(), &info) != 0) return cannotOpen(errno);
    if (!S_ISREG(info.st_mode)) return cannotOpen(EINVAL);
    if (platform::SharedFolder::checksTrust() && (info.st_uid != ::geteuid() || info.st_nlink != 1))
        return cannotOpen(EPERM);
    if (::ftruncate(made->fd_.get(), 0) != 0) return cannotOpen(errno);
    if (archive_write_open_fd(made->archive_, made->fd_.get()) != ARCHIVE_OK) {
        platform::setError(error, made->libarchiveError(kVTArchiveErrorRead, url));
        return nullptr;
    }
    return made;
}

std::unique_ptr<VTFileArchive> VTFileArchive::archiveHierarchy(const std::string& directory,
                                                               const std::string& url,
                                                               std::uint64_t flags,
                                                               platform::Error* error) {
    auto made = archiveWithDestination(url, flags, error);
    if (!made) return nullptr;
    if (made->addHierarchyAtURL(directory, 0, error) == 0) return nullptr;
    if (!made->save(error)) return nullptr;
    return made;
}

// --- Readers ----------------------------------------------------------------------

bool VTArchiveReading::setUpReader(bool otherFormats, platform::Error* error) {
    reader_ = true;
    archive_ = archive_read_new();
    if (!archive_) {
        platform::setError(error, archiveError(kVTArchiveErrorSetup));
        return false;
    }
    bool ok = true;
    if (otherFormats) {
        // Every format but 7-Zip, whose header is only read once checked: a
        // 7-Zip archive behind a compression filter would escape the check.
        for (int (*support)(struct archive*) :
             {archive_read_support_format_ar, archive_read_support_format_cab,
              archive_read_support_format_cpio, archive_read_support_format_empty,
              archive_read_support_format_iso9660, archive_read_support_format_lha,
              archive_read_support_format_mtree, archive_read_support_format_rar,
              archive_read_support_format_rar5, archive_read_support_format_tar,
              archive_read_support_format_warc, archive_read_support_format_xar,
              archive_read_support_format_zip})
            ok = ok && support(archive_) == ARCHIVE_OK;
        ok = ok && archive_read_support_filter_all(archive_) == ARCHIVE_OK;
    } else {
        ok = archive_read_support_format_7zip(archive_) == ARCHIVE_OK;
    }
    if (!ok) {
        platform::setError(error, libarchiveError(kVTArchiveErrorSetup));
        return false;
    }
    return true;
}

platform::Dictionary VTArchiveReading::attributesOfEntry(struct archive_entry* entry) {
    platform::Dictionary attributes;
    const auto type = archive_entry_filetype(entry);
    attributes.emplace(std::string(platform::kFileType),
                       std::string(type == AE_IFLNK   ? platform::kFileTypeSymbolicLink
                                   : type == AE_IFDIR ? platform::kFileTypeDirectory
                                                      : platform::kFileTypeRegular));
    if (type == AE_IFREG && archive_entry_size(entry) > 0)
        attributes.emplace(std::string(platform::kFileSize),
                           static_cast<std::uint64_t>(archive_entry_size(entry)));
    attributes.emplace(std::string(platform::kFileOwnerAccountID),
                       static_cast<std::int64_t>(archive_entry_uid(entry)));
    attributes.emplace(std::string(platform::kFileGroupOwnerAccountID),
                       static_cast<std::int64_t>(archive_entry_gid(entry)));
    attributes.emplace(std::string(platform::kFilePosixPermissions),
                       static_cast<std::uint64_t>(archive_entry_perm(entry)));
    return attributes;
}

std::uint64_t VTArchiveReading::enumerateEntriesWithBlock(const EntryBlock& block) {
    numberOfFiles_ = 0;
    struct archive_entry* entry = nullptr;
    for (;;) {
        if (numberOfFiles_ >= kVTArchiveMaxEntries) break;
        const int result = archive_read_next_header(archive_, &entry);
        if (result == ARCHIVE_EOF || result == ARCHIVE_FATAL) break;
        if (result != ARCHIVE_OK) continue;
        ++numberOfFiles_;
        bool stop = false;
        if (block) {
            const char* path = archive_entry_pathname(entry);
            block(path ? path : "", attributesOfEntry(entry), stop);
        }
        if (stop) break;
    }
    return numberOfFiles_;
}

std::optional<platform::DispatchData> VTArchiveReading::dispatchDataForNextEntryWithPath(
    std::optional<std::string>* path, platform::Dictionary* /*attributes*/,
    platform::Error* error) {
    struct archive_entry* entry = nullptr;
    if (numberOfFiles_ >= kVTArchiveMaxEntries) {
        platform::setError(error, archiveError(kVTArchiveErrorRead, "Too many archive entries"));
        return std::nullopt;
    }
    const int result = archive_read_next_header(archive_, &entry);
    if (result == ARCHIVE_EOF) return std::nullopt;
    if (result != ARCHIVE_OK) {
        platform::setError(error, libarchiveError(kVTArchiveErrorRead));
        return std::nullopt;
    }
    ++numberOfFiles_;
    if (path) {
        const char* name = archive_entry_pathname(entry);
        *path = name ? std::optional<std::string>(name) : std::nullopt;
    }
    const la_int64_t size = archive_entry_size(entry);
    if (size <= 0) return std::nullopt;
    if (static_cast<std::uint64_t>(size) > kVTArchiveMaxEntryInMemory) {
        platform::setError(error, archiveError(kVTArchiveErrorRead,
                                               "Archive entry too large to read into memory"));
        return std::nullopt;
    }
    platform::DispatchData bytes;
    std::uint64_t remaining = static_cast<std::uint64_t>(size);
    while (remaining > 0) {
        auto block = std::make_shared<platform::Data>(
            static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kEntryReadBlock)));
        const la_ssize_t got = archive_read_data(archive_, block->data(), block->size());
        if (got < 0) {
            platform::setError(error, libarchiveError(kVTArchiveErrorRead));
            return std::nullopt;
        }
        if (!countUnpacked(static_cast<std::size_t>(got), error)) return std::nullopt;
        if (got == 0) {
            // The data ended before the recorded size: the entry is damaged.
            platform::setError(error, archiveError(kVTArchiveErrorRead, "Truncated archive entry"));
            return std::nullopt;
        }
        block->resize(static_cast<std::size_t>(got));
        remaining -= static_cast<std::uint64_t>(got);
        bytes.append(std::move(block));
    }
    return bytes;
}

bool VTArchiveReading::countUnpacked(std::size_t bytes, platform::Error* error) {
    unpacked_ += bytes;
    if (unpacked_ <= unpackedLimit_) return true;
    VTLog(LOG_ERR, "Archive refused: it unpacks to more than %llu bytes",
          static_cast<unsigned long long>(unpackedLimit_));
    platform::setError(
        error, archiveError(kVTArchiveErrorRead, "Archive unpacks to more than the readers allow"));
    return false;
}

int VTArchiveReading::extractEntry(struct archive_entry* entry, struct archive* disk,
                                   platform::Error* error) {
    int result = archive_write_header(disk, entry);
    if (result != ARCHIVE_OK) {
        archive_copy_error(archive_, disk);
    } else if (!archive_entry_size_is_set(entry) || archive_entry_size(entry) > 0) {
        for (;;) {
            const void* block = nullptr;
            std::size_t size = 0;
            la_int64_t offset = 0;
            const int read = archive_read_data_block(archive_, &block, &size, &offset);
            if (read == ARCHIVE_EOF) break;
            if (read != ARCHIVE_OK) {
                result = read;
                break;
            }
            // Counted before it is written: a bomb stops within one block.
            if (!countUnpacked(size, error)) {
                result = ARCHIVE_FATAL;
                break;
            }
            if (archive_write_data_block(disk, block, size, offset) < ARCHIVE_OK) {
                archive_copy_error(archive_, disk);
                result = ARCHIVE_WARN;
                break;
            }
        }
    }
    const int finished = archive_write_finish_entry(disk);
    if (finished != ARCHIVE_OK && result == ARCHIVE_OK) {
        archive_copy_error(archive_, disk);
        result = finished;
    }
    return result;
}

namespace {

struct DiskWriterFree {
    void operator()(struct archive* disk) const { archive_write_free(disk); }
};

// Why an entry may not be extracted at all, or nullptr. Where a kept entry
// may go is the destination walk's to decide.
const char* refusalOfEntry(struct archive_entry* entry, const std::string& name) {
    if (name.empty()) return "Entry without a name";
    if (name.front() == '/') return "Entry with an absolute path";
    if (archive_entry_hardlink(entry)) return "Hard-link entry";
    switch (archive_entry_filetype(entry)) {
        case AE_IFREG:
        case AE_IFDIR:
        case AE_IFLNK:
            return nullptr;
        default:
            return "Entry of a special file type";
    }
}

}  // namespace

std::int64_t VTArchiveReading::extractToDirectory(const std::string& url, int options,
                                                  const ExtractBlock& block,
                                                  platform::Error* error) {
    auto path = VTArchiveFilePath(url);
    struct stat info;
    if (!path || ::stat(path->c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        platform::Error failure = archiveError(kVTArchiveErrorDestination);
        failure.setUserInfoValue(std::string(platform::kURLErrorKey), url);
        platform::setError(error, std::move(failure));
        return -1;
    }
    // The real folder: libarchive refuses to write through any link on the
    // way, so the prefix must hold none of its own.
    platform::ContainedFolder folder;
    std::string reason;
    if (!folder.open(*path, &reason)) {
        platform::setError(
            error, archiveErrorWithUnderlying(kVTArchiveErrorDestination,
                                              platform::Error::posixForURL(errno, url), url));
        return -1;
    }
    std::string prefix = folder.realPath();
    if (prefix.empty() || prefix.back() != '/') prefix += '/';
    // libarchive's own extraction, but with the data passing through here to
    // be counted. The writer sets folder times when it is freed.
    std::unique_ptr<struct archive, DiskWriterFree> disk(archive_write_disk_new());
    // A failed extraction takes back what it made; what was there stays.
    auto fail = [&](platform::Error failure) -> std::int64_t {
        disk.reset();
        folder.removeMade();
        platform::setError(error, std::move(failure));
        return -1;
    };
    if (!disk) return fail(archiveError(kVTArchiveErrorRead, "Cannot extract"));
    archive_write_disk_set_standard_lookup(disk.get());
    archive_write_disk_set_options(disk.get(), (options ? options : kVTArchiveDefaultExtractFlags) |
                                                   ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                                                   ARCHIVE_EXTRACT_SECURE_SYMLINKS);

    numberOfFiles_ = 0;
    struct archive_entry* entry = nullptr;
    for (;;) {
        const int result = archive_read_next_header(archive_, &entry);
        if (result == ARCHIVE_EOF) {
            disk.reset();
            return static_cast<std::int64_t>(numberOfFiles_);
        }
        if (result == ARCHIVE_WARN) continue;
        if (result != ARCHIVE_OK) return fail(libarchiveError(kVTArchiveErrorWrite));
        const char* rawName = archive_entry_pathname(entry);
        const std::string name = rawName ? rawName : "";
        if (const char* refusal = refusalOfEntry(entry, name))
            return fail(archiveError(kVTArchiveErrorRead, std::string(refusal) + ": " + name));
        const std::string destination = prefix + name;
        if (prefix.size() >= kMaxPrefix || destination.size() >= kMaxExtractPath)
            return fail(archiveError(kVTArchiveErrorRead, "Entry path too long: " + name));
        if (block && !block(destination.c_str(), attributesOfEntry(entry))) continue;
        const auto type = archive_entry_filetype(entry);
        const auto kind = type == AE_IFLNK   ? platform::ContainedFolder::Kind::SymbolicLink
                          : type == AE_IFDIR ? platform::ContainedFolder::Kind::Folder
                                             : platform::ContainedFolder::Kind::File;
        const char* target = archive_entry_symlink(entry);
        std::string placed, unused;
        if (!folder.place(name, kind, target ? target : "", &placed, &unused, &reason))
            return fail(archiveError(kVTArchiveErrorRead, reason));
        const std::string real = prefix + placed;
        if (real.size() >= kMaxExtractPath)
            return fail(archiveError(kVTArchiveErrorRead, "Entry path too long: " + name));
        archive_entry_set_pathname(entry, real.c_str());
        platform::Error overLimit;
        const int extracted = extractEntry(entry, disk.get(), &overLimit);
        // Whatever libarchive got as far as making is this extraction's.
        folder.placed();
        if (!overLimit.empty()) return fail(std::move(overLimit));
        if (extracted != ARCHIVE_OK) return fail(libarchiveError(kVTArchiveErrorRead));
        ++numberOfFiles_;
    }
}

namespace {

// What the header check found, as the readers act on it: true to read the
// archive (`sevenZip` tells whether it is one); false with code 8.
bool admitArchive(const vtsevenzip::Source& read, std::uint64_t size, bool* sevenZip,
                  std::string_view url, platform::Error* error) {
    std::string reason;
    const vtsevenzip::Verdict verdict = vtsevenzip::checkArchive(read, size, &reason);
    *sevenZip = verdict == vtsevenzip::Verdict::Acceptable;
    if (verdict != vtsevenzip::Verdict::Refused) return true;
    VTLog(LOG_ERR, "Archive refused: %s", reason.c_str());
    platform::Error refusal = archiveError(kVTArchiveErrorRead, reason);
    if (!url.empty())
        refusal.setUserInfoValue(std::string(platform::kURLErrorKey), std::string(url));
    platform::setError(error, std::move(refusal));
    return false;
}

}  // namespace

std::unique_ptr<VTImmutableMemoryArchive> VTImmutableMemoryArchive::archiveForReadingFromData(
    const platform::Data& bytes, std::uint64_t flags, platform::Error* error) {
    bool sevenZip = false;
    const vtsevenzip::Source read = [&bytes](std::uint64_t offset, std::size_t length,
                                             std::uint8_t* out) {
        if (offset > bytes.size() || length > bytes.size() - offset) return false;
        std::copy_n(bytes.data() + offset, length, out);
        return true;
    };
    if (!admitArchive(read, bytes.size(), &sevenZip, {}, error)) return nullptr;
    std::unique_ptr<VTImmutableMemoryArchive> made(new VTImmutableMemoryArchive());
    if (!made->setUpReader((flags & kVTArchiveFlagAnyFormat) && !sevenZip, error)) return nullptr;
    if (archive_read_open_memory(made->archive_, bytes.data(), bytes.size()) != ARCHIVE_OK) {
        platform::setError(error, made->libarchiveError(kVTArchiveErrorSetup));
        return nullptr;
    }
    return made;
}

// The file as libarchive reads it: the bytes the header check read are
// served from the copies it checked, and nothing past the size it checked.
struct VTImmutableFileArchive::Source {
    int fd = -1;
    std::uint64_t size = 0;
    std::uint64_t position = 0;
    std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>> checked;
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(kFileBlock);

    ~Source() {
        if (fd >= 0) ::close(fd);
    }
    bool readAt(std::uint64_t offset, std::size_t length, std::uint8_t* out) const {
        std::size_t done = 0;
        while (done < length) {
            const ssize_t n =
                ::pread(fd, out + done, length - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
};

struct VTImmutableFileArchiveCallbacks {
    using Source = VTImmutableFileArchive::Source;
    static la_ssize_t read(struct archive* a, void* context, const void** block) {
        auto* source = static_cast<Source*>(context);
        *block = source->buffer.data();
        if (source->position >= source->size) return 0;
        const std::size_t want = static_cast<std::size_t>(
            std::min<std::uint64_t>(source->buffer.size(), source->size - source->position));
        const ssize_t got =
            ::pread(source->fd, source->buffer.data(), want, static_cast<off_t>(source->position));
        if (got < 0) {
            archive_set_error(a, errno, "Read error");
            return -1;
        }
        const std::uint64_t begin = source->position;
        const std::uint64_t end = begin + static_cast<std::uint64_t>(got);
        for (const auto& [offset, bytes] : source->checked) {
            const std::uint64_t from = std::max(begin, offset);
            const std::uint64_t to = std::min(end, offset + bytes.size());
            if (from < to)
                std::copy(bytes.begin() + static_cast<std::ptrdiff_t>(from - offset),
                          bytes.begin() + static_cast<std::ptrdiff_t>(to - offset),
                          source->buffer.begin() + static_cast<std::ptrdiff_t>(from - begin));
        }
        source->position = end;
        return got;
    }
    static la_int64_t seek(struct archive*, void* context, la_int64_t offset, int whence) {
        auto* source = static_cast<Source*>(context);
        std::int64_t base = whence == SEEK_SET   ? 0
                            : whence == SEEK_CUR ? static_cast<std::int64_t>(source->position)
                                                 : static_cast<std::int64_t>(source->size);
        if (offset < -base) return ARCHIVE_FATAL;
        source->position = static_cast<std::uint64_t>(base + offset);
        return static_cast<la_int64_t>(source->position);
    }
    static la_int64_t skip(struct archive*, void* context, la_int64_t request) {
        auto* source = static_cast<Source*>(context);
        if (request <= 0) return 0;
        const std::uint64_t left =
            source->position < source->size ? source->size - source->position : 0;
        const std::uint64_t skipped =
            std::min<std::uint64_t>(left, static_cast<std::uint64_t>(request));
        source->position += skipped;
        return static_cast<la_int64_t>(skipped);
    }
};

VTImmutableFileArchive::~VTImmutableFileArchive() {
    // libarchive reads through the source until it is closed.
    releaseArchive();
}

std::unique_ptr<VTImmutableFileArchive> VTImmutableFileArchive::archiveWithSource(
    const std::string& url, std::uint64_t /*flags*/, platform::Error* error) {
    auto path = VTArchiveFilePath(url);
    struct stat info;
    if (!path || ::stat(path->c_str(), &info) != 0) {
        platform::setError(
            error, archiveErrorWithUnderlying(kVTArchiveErrorSource, cocoaNoSuchFile(url), url));
        return nullptr;
    }
    std::unique_ptr<VTImmutableFileArchive> made(new VTImmutableFileArchive());
    auto source = std::make_unique<Source>();
    // Opened below its folder, never through a link of its own, and only a
    // regular file (non-blocking, so that a FIFO cannot stall us).
    std::string name;
    auto folder = platform::SharedFolder::openHolder(*path, platform::SharedFolder::Trust::Any,
                                                     &name, nullptr);
    source->fd = folder ? folder->openFile(name, O_RDONLY | O_NONBLOCK) : -1;
    if (source->fd < 0 || ::fstat(source->fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        platform::setError(
            error, archiveErrorWithUnderlying(
                       kVTArchiveErrorRead,
                       platform::Error::fileRead(source->fd < 0 ? errno : EISDIR, *path), url));
        return nullptr;
    }
    source->size = static_cast<std::uint64_t>(info.st_size);
    bool sevenZip = false;
    Source& checked = *source;
    const vtsevenzip::Source read = [&checked](std::uint64_t offset, std::size_t length,
                                               std::uint8_t* out) {
        if (!checked.readAt(offset, length, out)) return false;
        checked.checked.emplace_back(offset, std::vector<std::uint8_t>(out, out + length));
        return true;
    };
    if (!admitArchive(read, source->size, &sevenZip, url, error)) return nullptr;
    made->source_ = std::move(source);
    // 7-Zip only: a payload is never anything else, and other formats carry
    // entry kinds (hard links, devices) that have no place in one.
    if (!made->setUpReader(false, error)) return nullptr;
    struct archive* a = made->archive_;
    if (archive_read_set_callback_data(a, made->source_.get()) != ARCHIVE_OK ||
        archive_read_set_read_callback(a, VTImmutableFileArchiveCallbacks::read) != ARCHIVE_OK ||
        archive_read_set_seek_callback(a, VTImmutableFileArchiveCallbacks::seek) != ARCHIVE_OK ||
        archive_read_set_skip_callback(a, VTImmutableFileArchiveCallbacks::skip) != ARCHIVE_OK ||
        archive_read_open1(a) != ARCHIVE_OK) {
        platform::setError(error, made->libarchiveError(kVTArchiveErrorRead, url));
        return nullptr;
    }
    return made;
}
