// A reader for xar archives (the container of installer packages), limited to
// what a signature check needs: the table of contents' checksum, the
// signatures with their certificates, and the archived checksums of the
// files' data.
//
// Layout of an archive: a big-endian header ("xar!", header size, version,
// compressed and uncompressed lengths of the table of contents, checksum
// algorithm and, for algorithm 3, its name), the zlib-compressed XML table of
// contents, and the heap, which every offset in the table of contents is
// relative to. Every length read from the file is checked against the file's
// real size before it is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Security/Crypto.h"
#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"

namespace platform {

/// Error domain of archive failures; codes are XarErrorCode.
inline constexpr std::string_view kXarErrorDomain = "com.pelgrave.xar";

enum XarErrorCode : long {
    kXarErrorOpen = 1,      // the file cannot be opened or read
    kXarErrorFormat = 2,    // the header is not that of a xar archive
    kXarErrorTOC = 3,       // the table of contents cannot be inflated or parsed
    kXarErrorRange = 4,     // an offset or size points outside the file
    kXarErrorChecksum = 5,  // a checksum is missing, unsupported or does not match
    kXarErrorNoMemory = 6
};

/// Random-access bytes an archive is read from.
class XarByteSource {
  public:
    virtual ~XarByteSource() = default;
    virtual std::uint64_t size() const = 0;
    /// Reads exactly `length` bytes at `offset`; false on any shortfall.
    virtual bool readAt(std::uint64_t offset, void* out, std::size_t length) const = 0;
};

/// One signature element of the table of contents.
struct XarSignature {
    std::string style;         // "RSA" for the signatures packages carry
    std::uint64_t offset = 0;  // in the heap, checked against the file size
    std::uint64_t size = 0;
    /// The certificates in order, the signing (leaf) certificate first, as
    /// DER. An entry is empty when its text was empty or not valid Base64.
    std::vector<Data> certificates;
};

/// The data of one file of the archive.
struct XarFileData {
    std::string name;  // path inside the archive, "/"-joined
    std::uint64_t offset = 0;
    std::uint64_t length = 0;  // archived (stored) length
    std::optional<DigestAlgorithm> archivedChecksumAlgorithm;
    std::string archivedChecksumStyle;  // as written, for messages
    Data archivedChecksum;              // empty when absent or not hex
    /// The encoding style ("application/octet-stream", "application/x-gzip",
    /// ...); "" when the table of contents names none (stored as is).
    std::string encoding;
    /// The extracted size when the table of contents gives one.
    std::optional<std::uint64_t> extractedSize;
};

class XarArchive {
  public:
    ~XarArchive();
    XarArchive(const XarArchive&) = delete;
    XarArchive& operator=(const XarArchive&) = delete;

    /// Opens the archive at `path` for reading and reads its header and table
    /// of contents. Null and `error` (kXarErrorDomain) on failure.
    static std::unique_ptr<XarArchive> open(const std::string& path, Error* error = nullptr);
    /// The same over bytes the caller keeps alive for the archive's life.
    static std::unique_ptr<XarArchive> openMemory(const void* bytes, std::size_t length,
                                                  Error* error = nullptr);
    /// The same over bytes the archive keeps.
    static std::unique_ptr<XarArchive> openData(Data bytes, Error* error = nullptr);
    /// The same over any byte source.
    static std::unique_ptr<XarArchive> openSource(std::unique_ptr<XarByteSource> source,
                                                  Error* error = nullptr);

    /// The table of contents' checksum algorithm from the header; nullopt for
    /// an archive without one (algorithm 0) or with a name this reader does
    /// not know.
    std::optional<DigestAlgorithm> checksumAlgorithm() const { return checksumAlgorithm_; }
    /// The algorithm name as the archive gives it ("none", "sha1", ...).
    const std::string& checksumName() const { return checksumName_; }

    /// The signatures in document order (x-signature elements are not read).
    const std::vector<XarSignature>& signatures() const { return signatures_; }
    /// signatures()[0], or null when the archive is not signed.
    const XarSignature* firstSignature() const;

    /// Reads the checksum stored in the heap (the value a signature signs)
    /// into `checksum`. False with `error` when the table of contents names
    /// none or it cannot be read.
    bool copyStoredChecksum(Data* checksum, Error* error = nullptr) const;
    /// Computes the checksum of the compressed table of contents with the
    /// header's algorithm and compares it with the stored one. False with
    /// `error` (kXarErrorChecksum) on mismatch or when there is none.
    bool verifyTableOfContentsChecksum(Error* error = nullptr) const;
    /// The signed checksum and the signature bytes of `signature`.
    bool copySignedData(const XarSignature& signature, Data* checksum, Data* signatureBytes,
                        Error* error = nullptr) const;

    /// Every file that has data, in document order.
    const std::vector<XarFileData>& files() const { return files_; }
    /// Hashes each file's archived bytes and compares them with its archived
    /// checksum. False with `error` at the first file that has no usable
    /// checksum, lies outside the heap or does not match.
    bool verifyFileChecksums(Error* error = nullptr) const;

    /// The file of that name, or null.
    const XarFileData* fileNamed(std::string_view name) const;
    /// Streams the extracted data of `file` to `sink` in pieces: stored data
    /// as is, "application/x-gzip" data inflated (zlib or gzip framing). The
    /// archived checksum is checked over the stored bytes; the data never
    /// grows past the extracted size the archive gives. False with `error`
    /// on any failure (an unknown encoding, a checksum mismatch, damaged
    /// data, or a sink that answers false); what reached the sink by then
    /// must be thrown away.
    bool copyFileData(const XarFileData& file,
                      const std::function<bool(const std::uint8_t*, std::size_t)>& sink,
                      Error* error = nullptr) const;

  private:
    XarArchive() = default;
    bool readHeap(std::uint64_t offset, std::uint64_t length, Data* out, Error* error) const;
    bool checkHeapRange(std::uint64_t offset, std::uint64_t length, Error* error) const;

    std::unique_ptr<XarByteSource> source_;
    std::uint64_t headerSize_ = 0;
    std::uint64_t tocCompressedLength_ = 0;
    std::uint64_t heapStart_ = 0;
    std::optional<DigestAlgorithm> checksumAlgorithm_;
    std::string checksumName_;
    bool hasTocChecksum_ = false;
    std::uint64_t tocChecksumOffset_ = 0;
    std::uint64_t tocChecksumSize_ = 0;
    std::vector<XarSignature> signatures_;
    std::vector<XarFileData> files_;
};

}  // namespace platform
