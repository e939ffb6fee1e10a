#include "Downloader/FSDArchive.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

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

bool fsdEntryStaysInside(std::string_view name, std::string_view linkTarget) {
    auto depthAfter = [](std::string_view path, long depth) -> long {
        std::size_t i = 0;
        while (i <= path.size()) {
            std::size_t j = path.find('/', i);
            if (j == std::string_view::npos) j = path.size();
            std::string_view part = path.substr(i, j - i);
            if (part == "..") {
                if (--depth < 0) return -1;
            } else if (!part.empty() && part != ".") {
                ++depth;
            }
            i = j + 1;
        }
        return depth;
    };
    if (name.empty() || name.front() == '/' || name.find('\0') != std::string_view::npos)
        return false;
    std::string_view rest = name;
    for (std::size_t i = 0; i <= rest.size();) {
        std::size_t j = rest.find('/', i);
        if (j == std::string_view::npos) j = rest.size();
        if (rest.substr(i, j - i) == "..") return false;
        i = j + 1;
    }
    if (linkTarget.empty()) return true;
    if (linkTarget.front() == '/') return false;
    // A link resolves from the folder that holds it.
    std::string_view parent = name;
    while (!parent.empty() && parent.back() == '/') parent.remove_suffix(1);
    auto slash = parent.rfind('/');
    parent = slash == std::string_view::npos ? std::string_view() : parent.substr(0, slash);
    long depth = depthAfter(parent, 0);
    return depth >= 0 && depthAfter(linkTarget, depth) >= 0;
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
