// 7-Zip archives of error folders, on libarchive: two writers (into memory,
// into a file) and two readers (from memory, from a file).
//
// Writing stages the compressed data in a temporary file under $TMPDIR even
// for the memory writer (libarchive's 7-Zip writer works that way), so an
// unwritable temporary folder makes save() fail with code 5. 7-Zip keeps no
// owner ids or owner names: entries read back carry the reader's defaults.
//
// "URLs" are file-system paths; a "file://" prefix is accepted and any other
// scheme is refused.
//
// Readers take archives from outside: a 7-Zip archive is opened only when its
// header stays within fixed bounds (VTSevenZipBounds.h: at most 100,000
// entries, 64 MiB of header, 1 GiB of declared unpacked sizes), else refused
// with code 8. An entry is read into memory only up to
// kVTArchiveMaxEntryInMemory bytes, a reader stops after kVTArchiveMaxEntries
// entries of any format, and reading and extraction stop with code 8 once
// what they really decoded passes kVTArchiveMaxUnpackedBytes, however much
// the archive's data expands.
//
// An archive object is used by one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Dispatch/DispatchData.h"
#include "Platform/System/SharedFolder.h"
#include "Platform/System/UniqueFd.h"
#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"
#include "VTErrorCreationLib/Utilities/VTInputStream.h"

struct archive;
struct archive_entry;
struct stat;

inline constexpr std::string_view VTArchiveErrorDomain = "com.pelgrave.archive";
/// Domain of the underlying errors that carry libarchive's errno.
inline constexpr std::string_view VTLibarchiveErrorDomain = "org.libarchive";

/// Codes of VTArchiveErrorDomain.
enum VTArchiveErrorCode : long {
    kVTArchiveErrorSetup = 0,        // libarchive object, format or option set-up; memory open
    kVTArchiveErrorEntry = 1,        // an entry cannot be made
    kVTArchiveErrorAttributes = 2,   // no size, a file cannot be examined, header rejected
    kVTArchiveErrorOpen = 3,         // stream/file cannot be opened or read; bad hierarchy top
    kVTArchiveErrorWrite = 4,        // entry data cannot be written; fatal header on extraction
    kVTArchiveErrorClose = 5,        // save() cannot close the archive
    kVTArchiveErrorSaved = 6,        // the archive is already saved
    kVTArchiveErrorRead = 8,         // open, header, data or extraction failures when reading
    kVTArchiveErrorDestination = 9,  // bad writer target or extraction folder
    kVTArchiveErrorSource = 10,      // bad reader source
};

/// Flags given to the constructors.
enum VTArchiveFlags : std::uint64_t {
    kVTArchiveFlagPayload = 1,    // passed by the payload packer; no effect
    kVTArchiveFlagAnyFormat = 2,  // memory reader: every format libarchive knows
    kVTArchiveFlagStore = 4,      // writers: entries stored, not LZMA2-compressed
};

/// Options of addHierarchyAtURL: the low 32 bits are directory-walk options.
enum VTArchiveHierarchyOptions : std::uint64_t {
    kVTArchiveWalkSkipDescendants = 1,          // only the top folder's own items
    kVTArchiveWalkSkipHidden = 4,               // leave out names beginning with "."
    kVTArchiveHierarchyKeepLinks = 1ull << 32,  // symbolic links stored as links
    kVTArchiveHierarchyTopName = 1ull << 33,    // entries begin with the top folder's name
};

/// Readers: the most entries listed or read, the largest entry read into
/// memory, and the most bytes that reading entries and extracting them
/// produce, all entries together (a reader's default, see setUnpackedLimit).
inline constexpr std::uint64_t kVTArchiveMaxEntries = 100000;
inline constexpr std::uint64_t kVTArchiveMaxEntryInMemory = std::uint64_t{64} << 20;
inline constexpr std::uint64_t kVTArchiveMaxUnpackedBytes = std::uint64_t{1} << 30;

/// libarchive's restore-times, no-overwrite, unlink, extended-attributes and
/// Mac-metadata flags: extraction's default when no options are given.
inline constexpr int kVTArchiveDefaultExtractFlags = 0x209C;

class VTArchive {
  public:
    virtual ~VTArchive();
    VTArchive(const VTArchive&) = delete;
    VTArchive& operator=(const VTArchive&) = delete;

    bool isSaved() const { return saved_; }
    std::uint64_t numberOfFiles() const { return numberOfFiles_; }

  protected:
    VTArchive() = default;
    /// Closes (readers) and frees the libarchive object; idempotent.
    void releaseArchive();
    /// An error of VTArchiveErrorDomain carrying libarchive's error text and
    /// errno (and the URL when given).
    platform::Error libarchiveError(long code, std::string_view url = {}) const;

    struct archive* archive_ = nullptr;
    bool reader_ = false;
    bool saved_ = false;
    // A writer whose entry data failed: it can no longer be saved.
    bool failed_ = false;
    std::uint64_t numberOfFiles_ = 0;
};

// --- Writers ------------------------------------------------------------------

class VTArchiveCreation : public VTArchive {
  public:
    /// Adds `stream` as the entry `name` (under `hierarchy` when given).
    /// Attributes: NSFileSize (required: code 2 "No NSFileSizeKey
    /// provided"), NSFileModificationDate, NSFileCreationDate (change time),
    /// NSFileOwnerAccountID, NSFileGroupOwnerAccountID,
    /// NSFileOwnerAccountName. Exactly NSFileSize bytes are stored: a stream
    /// that ends before them fails with code 4, after which every add fails
    /// with code 4 and save() with code 5; bytes past them are left out (and
    /// logged). The same holds for the files of addURL.
    bool addStream(VTInputStream& stream, const std::string& name,
                   const std::optional<std::string>& hierarchy,
                   const std::optional<std::string>& originalPath,
                   const platform::Dictionary& attributes, platform::Error* error);
    /// Adds the item at `url` (a symbolic link as a link) under `hierarchy`,
    /// named by its last path component (or by `entryName`). The item is
    /// examined and read below its folder, opened once (for root, through
    /// no other user's link), never through a link of its own; only a
    /// regular file's contents are stored.
    bool addURL(const std::string& url, const std::optional<std::string>& hierarchy,
                const std::optional<std::string>& originalPath, platform::Error* error,
                const std::optional<std::string>& entryName = std::nullopt);
    bool addURL(const std::string& url, platform::Error* error) {
        return addURL(url, std::nullopt, std::nullopt, error);
    }
    bool addFile(const std::string& path, const std::optional<std::string>& hierarchy,
                 const std::optional<std::string>& originalPath, platform::Error* error) {
        return addURL(path, hierarchy, originalPath, error);
    }
    bool addFile(const std::string& path, platform::Error* error) { return addURL(path, error); }
    /// Adds the item `name` of the open folder `folder` at the root, as
    /// addURL adds a path: the files of a folder opened once.
    bool addItemInFolder(const platform::SharedFolder& folder, const std::string& name,
                         platform::Error* error);
    /// Adds every file below the folder `url` (VTArchiveHierarchyOptions),
    /// walked by descriptor from the folder opened once; a link (without
    /// kVTArchiveHierarchyKeepLinks) gives the regular file it leads to,
    /// for root only a file inside the folder. The number of entries added,
    /// 0 on failure.
    std::uint64_t addHierarchyAtURL(const std::string& url, std::uint64_t options,
                                    platform::Error* error);
    std::uint64_t addHierarchyAtPath(const std::string& path, std::uint64_t options,
                                     platform::Error* error) {
        return addHierarchyAtURL(path, options, error);
    }
    /// Finishes the archive: code 6 when already saved, 5 when closing fails.
    bool save(platform::Error* error);

  protected:
    /// Sets up a libarchive 7-Zip writer; false with code 0.
    bool setUpWriter(std::uint64_t flags, platform::Error* error);

  private:
    struct archive_entry* createEntry(const std::string& name,
                                      const std::optional<std::string>& originalPath,
                                      const std::optional<std::string>& hierarchy,
                                      platform::Error* error);
    bool failIfSaved(platform::Error* error) const;
    void markFailed();
    bool addItemIn(const platform::SharedFolder& folder, const std::string& name,
                   const std::string& url, const std::optional<std::string>& hierarchy,
                   const std::optional<std::string>& originalPath, const std::string& entryName,
                   platform::Error* error);
    /// Adds an item examined as `info`: the link `linkTarget`, or the open
    /// regular file `fd` (-1 for anything else, stored without data).
    bool addOpened(int fd, const struct stat& info, const std::string* linkTarget,
                   const std::string& entryName, const std::optional<std::string>& hierarchy,
                   const std::optional<std::string>& originalPath, const std::string& url,
                   platform::Error* error);
    /// Adds what the open `folder` holds; `below` is its path below `top`.
    bool addHierarchyItem(const platform::SharedFolder& top, const platform::SharedFolder& folder,
                          const std::string& below, const std::string& hierarchy,
                          std::uint64_t options, platform::Error* error);
};

class VTMemoryArchive : public VTArchiveCreation {
  public:
    /// A writer into memory, or null when libarchive's set-up fails.
    static std::unique_ptr<VTMemoryArchive> archiveWithFlags(std::uint64_t flags,
                                                             platform::Error* error = nullptr);
    /// The archive bytes written so far; complete after a successful save().
    const platform::DispatchData& archiveData() const { return archiveData_; }
    std::uint64_t flags() const { return flags_; }

    ~VTMemoryArchive() override;

  private:
    VTMemoryArchive() = default;
    platform::DispatchData archiveData_;
    bool discarding_ = false;
    std::uint64_t flags_ = 0;
    friend struct VTMemoryArchiveCallbacks;
};

class VTFileArchive : public VTArchiveCreation {
  public:
    /// A writer of the file `url`: code 9 when `url` is no file URL, code 8
    /// when the file cannot be opened (made below its folder, never through
    /// a link; for root, an existing file must be root's with one name),
    /// code 0 when set-up fails.
    static std::unique_ptr<VTFileArchive> archiveWithDestination(const std::string& url,
                                                                 std::uint64_t flags,
                                                                 platform::Error* error);
    /// Packs the folder `directory` into `url` and saves it; null when
    /// creating, adding or saving fails, or when nothing was added.
    static std::unique_ptr<VTFileArchive> archiveHierarchy(const std::string& directory,
                                                           const std::string& url,
                                                           std::uint64_t flags,
                                                           platform::Error* error);
    const std::string& archiveURL() const { return archiveURL_; }
    /// Has the file removed when the archive is freed: what was written is
    /// not wanted.
    void discard() { discarded_ = true; }
    /// Removes the file when an entry's data was lost or it was discarded.
    ~VTFileArchive() override;

  private:
    VTFileArchive() = default;
    std::string archiveURL_;
    std::optional<platform::SharedFolder> folder_;
    std::string fileName_;
    platform::UniqueFd fd_;
    bool discarded_ = false;
};

// --- Readers ------------------------------------------------------------------

class VTArchiveReading : public VTArchive {
  public:
    /// Called with an entry's path and attributes (NSFileType, NSFileSize for
    /// non-empty regular entries, NSFileOwnerAccountID,
    /// NSFileGroupOwnerAccountID, NSFilePosixPermissions).
    using EntryBlock =
        std::function<void(const char* path, const platform::Dictionary& attributes, bool& stop)>;
    /// Asked before each entry is extracted (its destination path and
    /// attributes); false skips the entry.
    using ExtractBlock =
        std::function<bool(const char* path, const platform::Dictionary& attributes)>;

    /// Reads every header (entries whose header gives a warning are skipped)
    /// and calls `block` for each until it sets `stop`, at most
    /// kVTArchiveMaxEntries; the number seen.
    std::uint64_t enumerateEntriesWithBlock(const EntryBlock& block);

    /// The next entry's bytes. Nullopt without an error at the end of the
    /// archive and for an empty entry; nullopt with code 8 when a header or
    /// the data cannot be read (also when the data ends early), when the
    /// entry is larger than kVTArchiveMaxEntryInMemory, past
    /// kVTArchiveMaxEntries entries, or once this reader has produced more
    /// than its unpacked limit. `path` receives the entry's path (nullopt
    /// when it has none).
    std::optional<platform::DispatchData> dispatchDataForNextEntryWithPath(
        std::optional<std::string>* path, platform::Dictionary* attributes, platform::Error* error);

    /// Extracts every entry below the folder `url` with libarchive's
    /// extraction flags `options` (kVTArchiveDefaultExtractFlags when 0);
    /// the flags that refuse ".." and writing through symbolic links are
    /// always added. Each entry is placed by walking the folder on disk,
    /// links already extracted resolved inside it (platform::ContainedFolder),
    /// and libarchive gets the resulting path, which holds no link. Entries
    /// with an absolute path, a path too long for the destination, a hard
    /// link, a device, a FIFO or a socket, and links whose target is absolute
    /// or leads out of the folder (directly or through other links) are
    /// refused. On failure whatever this extraction made is removed again.
    /// Extraction stops (code 8) as soon as the data written passes the
    /// reader's unpacked limit. The number extracted, or -1: code 9 for a
    /// bad folder, code 4 for a fatal header, code 8 for a refused or failed
    /// entry.
    std::int64_t extractToDirectory(const std::string& url, int options, const ExtractBlock& block,
                                    platform::Error* error);

    /// The most bytes this reader's reading and extraction produce, counted
    /// as they are decoded (kVTArchiveMaxUnpackedBytes unless set).
    void setUnpackedLimit(std::uint64_t limit) { unpackedLimit_ = limit; }

  protected:
    /// Sets up a libarchive reader: 7-Zip only, or every other format and
    /// filter (a 7-Zip archive is only read after its header was checked).
    bool setUpReader(bool otherFormats, platform::Error* error);

  private:
    static platform::Dictionary attributesOfEntry(struct archive_entry* entry);
    /// Counts `bytes` more produced; false with code 8 past the limit.
    bool countUnpacked(std::size_t bytes, platform::Error* error);
    /// Writes the current entry through `disk` as archive_read_extract does,
    /// counting its data; libarchive's result, with `error` filled when the
    /// limit was passed.
    int extractEntry(struct archive_entry* entry, struct archive* disk, platform::Error* error);

    std::uint64_t unpacked_ = 0;
    std::uint64_t unpackedLimit_ = kVTArchiveMaxUnpackedBytes;
};

class VTImmutableMemoryArchive : public VTArchiveReading {
  public:
    /// A reader of `bytes`, which must outlive it; null with code 0 when
    /// they cannot be opened (with kVTArchiveFlagAnyFormat clear, anything
    /// but 7-Zip), with code 8 for a 7-Zip archive past the readers' bounds
    /// or a self-extracting one.
    static std::unique_ptr<VTImmutableMemoryArchive> archiveForReadingFromData(
        const platform::Data& bytes, std::uint64_t flags, platform::Error* error);

  private:
    VTImmutableMemoryArchive() = default;
};

class VTImmutableFileArchive : public VTArchiveReading {
  public:
    /// A reader of the 7-Zip file `url`: code 10 when it is missing or no
    /// file URL, code 8 when it cannot be opened or is past the readers'
    /// bounds. The header bytes checked are the ones read, even when the
    /// file changes meanwhile. `flags` are not used.
    static std::unique_ptr<VTImmutableFileArchive> archiveWithSource(const std::string& url,
                                                                     std::uint64_t flags,
                                                                     platform::Error* error);
    ~VTImmutableFileArchive() override;

  private:
    VTImmutableFileArchive() = default;
    struct Source;
    std::unique_ptr<Source> source_;
    friend struct VTImmutableFileArchiveCallbacks;
};

/// The path of a file URL: "file://" removed; nullopt for an empty text or
/// another scheme.
std::optional<std::string> VTArchiveFilePath(std::string_view url);
