#include "Downloader/FSDArchive.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <set>
#include <vector>

#include "Platform/System/ContainedFolder.h"

namespace {

// True for a ZIP archive without entries: nothing but its end record (and
// comment), which libarchive does not recognise as an archive at all.
bool isEmptyZip(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool empty = false;
    constexpr off_t kEndRecord = 22;
    if (::fstat(fd, &st) == 0 && st.st_size >= kEndRecord && st.st_size <= kEndRecord + 65535) {
        std::vector<unsigned char> bytes(static_cast<std::size_t>(st.st_size));
        if (::pread(fd, bytes.data(), bytes.size(), 0) == st.st_size) {
            auto u16 = [&](std::size_t at) { return bytes[at] | (bytes[at + 1] << 8); };
            empty = bytes[0] == 'P' && bytes[1] == 'K' && bytes[2] == 5 && bytes[3] == 6 &&
                    u16(8) == 0 && u16(10) == 0 &&
                    static_cast<std::size_t>(kEndRecord) + u16(20) == bytes.size();
        }
    }
    ::close(fd);
    return empty;
}

}  // namespace

std::unique_ptr<FSDZipReader> FSDZipReader::open(const std::string& path) {
    struct archive* a = archive_read_new();
    if (!a) return nullptr;
    // The seekable reader walks the central directory, as unzip does.
    archive_read_support_format_zip_seekable(a);
    if (archive_read_open_filename(a, path.c_str(), 64 * 1024) != ARCHIVE_OK) {
        archive_read_free(a);
        if (isEmptyZip(path)) return std::unique_ptr<FSDZipReader>(new FSDZipReader(nullptr));
        return nullptr;
    }
    return std::unique_ptr<FSDZipReader>(new FSDZipReader(a));
}

FSDZipReader::~FSDZipReader() {
    if (archive_) archive_read_free(archive_);
}

FSDZipReader::Next FSDZipReader::next(Entry* out) {
    if (!archive_) return Next::End;
    struct archive_entry* entry = nullptr;
    int rc = archive_read_next_header(archive_, &entry);
    if (rc == ARCHIVE_EOF) return Next::End;
    if (rc != ARCHIVE_OK && rc != ARCHIVE_WARN) return Next::Error;
    Entry e;
    const char* name = archive_entry_pathname_utf8(entry);
    if (!name) name = archive_entry_pathname(entry);
    e.name = name ? name : "";
    switch (archive_entry_filetype(entry)) {
        case AE_IFREG:
            e.kind = Kind::Regular;
            break;
        case AE_IFDIR:
            e.kind = Kind::Directory;
            break;
        case AE_IFLNK:
            e.kind = Kind::Symlink;
            break;
        default:
            e.kind = Kind::Other;
            break;
    }
    if (archive_entry_size_is_set(entry)) e.size = archive_entry_size(entry);
    if (const char* hard = archive_entry_hardlink(entry)) {
        e.linkTarget = hard;
        e.isHardLink = true;
    } else if (const char* target = archive_entry_symlink(entry)) {
        e.linkTarget = target;
    }
    if (out) *out = std::move(e);
    return Next::Entry;
}

bool FSDZipReader::readData(const std::function<bool(const void*, std::size_t)>& sink,
                            std::uint64_t limit) {
    if (!archive_) return false;
    std::uint64_t total = 0;
    for (;;) {
        const void* block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        int rc = archive_read_data_block(archive_, &block, &size, &offset);
        if (rc == ARCHIVE_EOF) return true;
        if (rc != ARCHIVE_OK) return false;
        // Sparse blocks never occur in ZIP; an offset that jumps is damage.
        if (offset < 0 || static_cast<std::uint64_t>(offset) != total) return false;
        total += size;
        if (total > limit) return false;
        if (size > 0 && !sink(block, size)) return false;
    }
}

std::string FSDZipReader::errorString() const {
    const char* s = archive_ ? archive_error_string(archive_) : nullptr;
    return s ? s : "";
}

bool fsdArchiveStaysInside(FSDZipReader& reader, const std::string& folder,
                           std::vector<std::string>* topNames) {
    // The layout is tried for real in a new folder of our own: folders,
    // empty files and the links themselves, in the archive's order, each
    // entry placed by the walk that resolves links already made.
    std::string scratch = folder + (folder.ends_with('/') ? "" : "/") + ".fsdlayout.XXXXXX";
    if (!::mkdtemp(scratch.data())) return false;
    struct Remove {
        const std::string& path;
        ~Remove() {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);  // does not follow links
        }
    } remove{scratch};
    platform::ContainedFolder layout;
    std::string reason;
    if (!layout.open(scratch, &reason)) return false;
    std::set<std::string> tops;
    for (FSDZipReader::Entry entry;;) {
        const auto next = reader.next(&entry);
        if (next == FSDZipReader::Next::End) break;
        if (next != FSDZipReader::Next::Entry || entry.isHardLink) return false;
        using Kind = platform::ContainedFolder::Kind;
        Kind kind;
        switch (entry.kind) {
            case FSDZipReader::Kind::Regular:
                kind = Kind::File;
                break;
            case FSDZipReader::Kind::Directory:
                kind = Kind::Folder;
                break;
            case FSDZipReader::Kind::Symlink:
                kind = Kind::SymbolicLink;
                break;
            default:
                return false;
        }
        if (!layout.make(entry.name, kind, entry.linkTarget, &reason)) return false;
        std::string_view name(entry.name);
        while (name.starts_with("./")) name.remove_prefix(2);
        if (const auto top = name.substr(0, name.find('/')); !top.empty() && top != ".")
            tops.emplace(top);
    }
    if (topNames) topNames->assign(tops.begin(), tops.end());
    return true;
}

bool fsdExtractEntryTo(FSDZipReader& reader, const std::string& folder,
                       const std::string& destination, std::uint64_t limit, int* savedErrno,
                       bool partialBesideDestination) {
    std::string temp;
    int fd = -1;
    if (partialBesideDestination) {
        temp = destination + ".partial";
        ::unlink(temp.c_str());
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    } else {
        temp = folder + (folder.ends_with('/') ? "" : "/") + ".fsdentry.XXXXXX";
        fd = ::mkstemp(temp.data());
    }
    if (fd < 0) {
        if (savedErrno) *savedErrno = errno;
        return false;
    }
    int writeErr = 0;
    bool ok = reader.readData(
        [&](const void* data, std::size_t size) {
            const char* p = static_cast<const char*>(data);
            while (size > 0) {
                ssize_t n = ::write(fd, p, size);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) {
                    writeErr = n < 0 ? errno : EIO;
                    return false;
                }
                p += n;
                size -= static_cast<std::size_t>(n);
            }
            return true;
        },
        limit);
    ok = ::fchmod(fd, 0644) == 0 && ok;
    if (::close(fd) != 0 && ok) {
        ok = false;
        writeErr = errno;
    }
    if (ok && ::rename(temp.c_str(), destination.c_str()) != 0) {
        ok = false;
        writeErr = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        if (savedErrno) *savedErrno = writeErr;
    }
    return ok;
}
