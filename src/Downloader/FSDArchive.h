// Reading ZIP archives for the downloader, over libarchive: entries in
// central-directory order, their data streamed with checksums checked.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct archive;
struct archive_entry;

/// One ZIP archive opened for reading.
class FSDZipReader {
  public:
    enum class Kind { Regular, Directory, Symlink, Other };
    struct Entry {
        std::string name;
        Kind kind = Kind::Other;
        /// Declared uncompressed size, or -1 when unknown.
        std::int64_t size = -1;
        /// Symbolic-link target or hard-link source ("" for none).
        std::string linkTarget;
        bool isHardLink = false;
    };
    enum class Next { Entry, End, Error };

    /// Opens `path`; null when it is not a ZIP archive (or cannot be read).
    static std::unique_ptr<FSDZipReader> open(const std::string& path);
    ~FSDZipReader();
    FSDZipReader(const FSDZipReader&) = delete;
    FSDZipReader& operator=(const FSDZipReader&) = delete;

    /// Moves to the next entry.
    Next next(Entry* entry);
    /// Streams the current entry's data to `sink` (which returns false to
    /// stop); false on a damaged entry (bad checksum included), a sink that
    /// stopped, or more than `limit` bytes.
    bool readData(const std::function<bool(const void*, std::size_t)>& sink,
                  std::uint64_t limit = UINT64_MAX);
    /// libarchive's last message.
    std::string errorString() const;

  private:
    explicit FSDZipReader(struct archive* a) : archive_(a) {}
    struct archive* archive_;
};

/// True when every entry that `reader` has left stays inside `folder` once
/// unpacked there: the layout (folders, empty files, links) is made for real
/// in a new folder inside `folder`, in the archive's order, each entry
/// resolved against the links made before it, then removed. False for
/// absolute or ".." names, a link whose target leaves, a path through a link
/// that leaves, hard links, special files and damaged entries. `topNames`
/// receives the first name of every entry path.
bool fsdArchiveStaysInside(FSDZipReader& reader, const std::string& folder,
                           std::vector<std::string>* topNames = nullptr);

/// Streams the current entry into a temporary file (a new one in `folder`,
/// or "<destination>.partial"), then renames it to `destination`, so that
/// what is there is only replaced by a complete file. False (nothing left
/// behind, errno in `savedErrno` when there was one) on failure.
bool fsdExtractEntryTo(FSDZipReader& reader, const std::string& folder,
                       const std::string& destination, std::uint64_t limit, int* savedErrno,
                       bool partialBesideDestination = false);
