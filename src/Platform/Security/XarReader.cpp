#include "Platform/Security/XarReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>

#include "Platform/Security/XarToc.h"

namespace platform {

namespace {

constexpr std::uint32_t kMagic = 0x78617221;  // "xar!"
constexpr std::uint64_t kMinHeaderSize = 28;
// A table of contents lists names and checksums; even packages of many
// thousands of files stay far below this, and it bounds what a small
// compressed table of contents may inflate to.
constexpr std::uint64_t kMaxTocSize = 16 * 1024 * 1024;
// Signatures are a few hundred bytes; the bound keeps a lying size from
// making a large allocation.
constexpr std::uint64_t kMaxSignatureSize = 64 * 1024;
constexpr std::size_t kChunkSize = 1024 * 1024;

Error xarError(long code, std::string description) {
    return Error(
        std::string(kXarErrorDomain), code,
        Dictionary{{std::string(kLocalizedDescriptionKey), Value(std::move(description))}});
}

std::uint64_t bigEndian(const std::uint8_t* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = v << 8 | p[i];
    return v;
}

class FileSource final : public XarByteSource {
  public:
    FileSource(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
    ~FileSource() override { ::close(fd_); }
    std::uint64_t size() const override { return size_; }
    bool readAt(std::uint64_t offset, void* out, std::size_t length) const override {
        auto* p = static_cast<char*>(out);
        while (length > 0) {
            if (offset > std::uint64_t(std::numeric_limits<off_t>::max())) return false;
            const ssize_t n = ::pread(fd_, p, length, off_t(offset));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            p += n;
            offset += std::uint64_t(n);
            length -= std::size_t(n);
        }
        return true;
    }

  private:
    int fd_;
    std::uint64_t size_;
};

class MemorySource final : public XarByteSource {
  public:
    MemorySource(const void* bytes, std::size_t length)
        : bytes_(static_cast<const std::uint8_t*>(bytes)), size_(length) {}
    std::uint64_t size() const override { return size_; }
    bool readAt(std::uint64_t offset, void* out, std::size_t length) const override {
        if (offset > size_ || length > size_ - offset) return false;
        if (length) std::memcpy(out, bytes_ + offset, length);
        return true;
    }

  private:
    const std::uint8_t* bytes_;
    std::uint64_t size_;
};

class OwnedMemorySource final : public XarByteSource {
  public:
    explicit OwnedMemorySource(Data bytes)
        : bytes_(std::move(bytes)), view_(bytes_.data(), bytes_.size()) {}
    std::uint64_t size() const override { return view_.size(); }
    bool readAt(std::uint64_t offset, void* out, std::size_t length) const override {
        return view_.readAt(offset, out, length);
    }

  private:
    Data bytes_;
    MemorySource view_;
};

// Inflates exactly `compressed` into exactly `expected` bytes: a stream that
// ends early, runs long or leaves input unused is refused.
bool inflateExactly(const Data& compressed, std::uint64_t expected, Data* out) {
    out->resize(std::size_t(expected));
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) return false;
    stream.next_in = const_cast<Bytef*>(compressed.data());
    stream.avail_in = uInt(compressed.size());
    stream.next_out = out->data();
    stream.avail_out = uInt(out->size());
    const int rc = inflate(&stream, Z_FINISH);
    const bool ok = rc == Z_STREAM_END && stream.avail_in == 0 && stream.avail_out == 0;
    inflateEnd(&stream);
    return ok;
}

bool sameBytes(const Data& a, const Data& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

XarArchive::~XarArchive() = default;

std::unique_ptr<XarArchive> XarArchive::open(const std::string& path, Error* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        setError(error, xarError(kXarErrorOpen, "The archive cannot be opened."));
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        setError(error, xarError(kXarErrorOpen, "The archive is not a readable regular file."));
        return nullptr;
    }
    std::unique_ptr<XarByteSource> source;
    try {
        source = std::make_unique<FileSource>(fd, std::uint64_t(st.st_size));
    } catch (const std::bad_alloc&) {
        ::close(fd);
        setError(error, xarError(kXarErrorNoMemory, "Out of memory."));
        return nullptr;
    }
    return openSource(std::move(source), error);
}

std::unique_ptr<XarArchive> XarArchive::openMemory(const void* bytes, std::size_t length,
                                                   Error* error) {
    return openSource(std::make_unique<MemorySource>(bytes, length), error);
}

std::unique_ptr<XarArchive> XarArchive::openData(Data bytes, Error* error) {
    return openSource(std::make_unique<OwnedMemorySource>(std::move(bytes)), error);
}

std::unique_ptr<XarArchive> XarArchive::openSource(std::unique_ptr<XarByteSource> source,
                                                   Error* error) try {
    std::unique_ptr<XarArchive> archive(new XarArchive());
    const std::uint64_t fileSize = source->size();
    std::uint8_t header[kMinHeaderSize];
    if (fileSize < kMinHeaderSize || !source->readAt(0, header, sizeof header) ||
        bigEndian(header, 4) != kMagic) {
        setError(error, xarError(kXarErrorFormat, "The file is not a xar archive."));
        return nullptr;
    }
    const std::uint64_t headerSize = bigEndian(header + 4, 2);
    const std::uint64_t version = bigEndian(header + 6, 2);
    const std::uint64_t tocCompressed = bigEndian(header + 8, 8);
    const std::uint64_t tocUncompressed = bigEndian(header + 16, 8);
    const std::uint64_t algorithm = bigEndian(header + 24, 4);
    if (headerSize < kMinHeaderSize || headerSize > fileSize || version != 1) {
        setError(error, xarError(kXarErrorFormat, "The archive header is malformed."));
        return nullptr;
    }
    if (tocCompressed == 0 || tocCompressed > fileSize - headerSize ||
        tocCompressed > kMaxTocSize || tocUncompressed == 0 || tocUncompressed > kMaxTocSize) {
        setError(error, xarError(kXarErrorRange, "The table of contents' lengths are wrong."));
        return nullptr;
    }
    switch (algorithm) {
        case 0:
            archive->checksumName_ = "none";
            break;
        case 1:
            archive->checksumName_ = "sha1";
            break;
        case 2:
            archive->checksumName_ = "md5";
            break;
        case 3: {
            // The name follows the fixed fields, NUL-terminated within the header.
            std::string name(std::size_t(headerSize - kMinHeaderSize), '\0');
            if (!source->readAt(kMinHeaderSize, name.data(), name.size()) ||
                name.find('\0') == std::string::npos || name.front() == '\0') {
                setError(error, xarError(kXarErrorFormat, "The checksum name is malformed."));
                return nullptr;
            }
            name.resize(name.find('\0'));
            archive->checksumName_ = name;
            break;
        }
        default:
            setError(error, xarError(kXarErrorFormat, "The checksum algorithm is unknown."));
            return nullptr;
    }
    if (algorithm != 0)
        archive->checksumAlgorithm_ = xarDigestAlgorithmNamed(archive->checksumName_);

    Data compressed(static_cast<std::size_t>(tocCompressed));
    Data xml;
    if (!source->readAt(headerSize, compressed.data(), compressed.size())) {
        setError(error, xarError(kXarErrorOpen, "The table of contents cannot be read."));
        return nullptr;
    }
    if (!inflateExactly(compressed, tocUncompressed, &xml)) {
        setError(error, xarError(kXarErrorTOC,
                                 "The table of contents does not inflate to its "
                                 "stated length."));
        return nullptr;
    }
    XarToc toc;
    if (!parseXarToc(xml.data(), xml.size(), &toc, error)) return nullptr;

    archive->source_ = std::move(source);
    archive->headerSize_ = headerSize;
    archive->tocCompressedLength_ = tocCompressed;
    archive->heapStart_ = headerSize + tocCompressed;
    archive->hasTocChecksum_ = toc.hasChecksum;
    archive->tocChecksumOffset_ = toc.checksumOffset;
    archive->tocChecksumSize_ = toc.checksumSize;
    archive->signatures_ = std::move(toc.signatures);
    archive->files_ = std::move(toc.files);

    if (toc.hasChecksum && !archive->checkHeapRange(toc.checksumOffset, toc.checksumSize, error))
        return nullptr;
    for (const XarSignature& signature : archive->signatures_) {
        if (signature.size > kMaxSignatureSize) {
            setError(error, xarError(kXarErrorRange, "A signature is too large."));
            return nullptr;
        }
        if (!archive->checkHeapRange(signature.offset, signature.size, error)) return nullptr;
    }
    return archive;
} catch (const std::bad_alloc&) {
    setError(error, xarError(kXarErrorNoMemory, "Out of memory."));
    return nullptr;
}

const XarSignature* XarArchive::firstSignature() const {
    return signatures_.empty() ? nullptr : &signatures_.front();
}

bool XarArchive::checkHeapRange(std::uint64_t offset, std::uint64_t length, Error* error) const {
    const std::uint64_t heapSize = source_->size() - heapStart_;
    if (offset > heapSize || length > heapSize - offset) {
        setError(error, xarError(kXarErrorRange, "An item lies outside the archive."));
        return false;
    }
    return true;
}

bool XarArchive::readHeap(std::uint64_t offset, std::uint64_t length, Data* out,
                          Error* error) const {
    if (!checkHeapRange(offset, length, error)) return false;
    out->resize(std::size_t(length));
    if (!source_->readAt(heapStart_ + offset, out->data(), out->size())) {
        setError(error, xarError(kXarErrorOpen, "The archive cannot be read."));
        return false;
    }
    return true;
}

bool XarArchive::copyStoredChecksum(Data* checksum, Error* error) const {
    if (!hasTocChecksum_) {
        setError(error, xarError(kXarErrorChecksum, "The archive has no checksum."));
        return false;
    }
    if (tocChecksumSize_ > kMaxSignatureSize) {
        setError(error, xarError(kXarErrorChecksum, "The checksum is too large."));
        return false;
    }
    return readHeap(tocChecksumOffset_, tocChecksumSize_, checksum, error);
}

bool XarArchive::verifyTableOfContentsChecksum(Error* error) const try {
    Data stored, compressed, computed;
    if (!checksumAlgorithm_) {
        setError(error, xarError(kXarErrorChecksum, "The checksum algorithm is not supported."));
        return false;
    }
    if (!copyStoredChecksum(&stored, error)) return false;
    compressed.resize(std::size_t(tocCompressedLength_));
    if (!source_->readAt(headerSize_, compressed.data(), compressed.size())) {
        setError(error, xarError(kXarErrorOpen, "The archive cannot be read."));
        return false;
    }
    if (!computeDigest(*checksumAlgorithm_, compressed.data(), compressed.size(), &computed, error))
        return false;
    if (!sameBytes(stored, computed)) {
        setError(error, xarError(kXarErrorChecksum,
                                 "The table of contents' checksum does not "
                                 "match."));
        return false;
    }
    return true;
} catch (const std::bad_alloc&) {
    setError(error, xarError(kXarErrorNoMemory, "Out of memory."));
    return false;
}

bool XarArchive::copySignedData(const XarSignature& signature, Data* checksum, Data* signatureBytes,
                                Error* error) const try {
    return copyStoredChecksum(checksum, error) &&
           readHeap(signature.offset, signature.size, signatureBytes, error);
} catch (const std::bad_alloc&) {
    setError(error, xarError(kXarErrorNoMemory, "Out of memory."));
    return false;
}

bool XarArchive::verifyFileChecksums(Error* error) const try {
    Data chunk(kChunkSize), computed;
    for (const XarFileData& file : files_) {
        if (!file.archivedChecksumAlgorithm || file.archivedChecksum.empty()) {
            setError(error, xarError(kXarErrorChecksum,
                                     "The file \"" + file.name + "\" has no usable checksum."));
            return false;
        }
        if (!checkHeapRange(file.offset, file.length, error)) return false;
        const DigestAlgorithm algorithm = *file.archivedChecksumAlgorithm;
        if (file.archivedChecksum.size() != digestLength(algorithm)) {
            setError(error, xarError(kXarErrorChecksum,
                                     "The checksum of \"" + file.name + "\" is malformed."));
            return false;
        }
        // Stream the data: files in packages can be far larger than memory
        // should hold at once.
        Digester digester(algorithm);
        std::uint64_t remaining = file.length, offset = heapStart_ + file.offset;
        while (remaining > 0) {
            const std::size_t n = std::size_t(std::min<std::uint64_t>(remaining, chunk.size()));
            if (!source_->readAt(offset, chunk.data(), n) || !digester.update(chunk.data(), n)) {
                setError(error, xarError(kXarErrorOpen, "The archive cannot be read."));
                return false;
            }
            offset += n;
            remaining -= n;
        }
        if (!digester.finish(&computed) || !sameBytes(computed, file.archivedChecksum)) {
            setError(error, xarError(kXarErrorChecksum, "The data of \"" + file.name +
                                                            "\" does not match its "
                                                            "checksum."));
            return false;
        }
    }
    return true;
} catch (const std::bad_alloc&) {
    setError(error, xarError(kXarErrorNoMemory, "Out of memory."));
    return false;
}

}  // namespace platform

namespace platform {

const XarFileData* XarArchive::fileNamed(std::string_view name) const {
    for (const XarFileData& file : files_)
        if (file.name == name) return &file;
    return nullptr;
}

bool XarArchive::copyFileData(const XarFileData& file,
                              const std::function<bool(const std::uint8_t*, std::size_t)>& sink,
                              Error* error) const try {
    const bool stored = file.encoding.empty() || file.encoding == "application/octet-stream";
    const bool gzip = file.encoding == "application/x-gzip";
    if (!stored && !gzip) {
        setError(error, xarError(kXarErrorFormat, "The data of \"" + file.name +
                                                      "\" has an unknown encoding " +
                                                      file.encoding + "."));
        return false;
    }
    if (!file.archivedChecksumAlgorithm || file.archivedChecksum.empty() ||
        file.archivedChecksum.size() != digestLength(*file.archivedChecksumAlgorithm)) {
        setError(error, xarError(kXarErrorChecksum,
                                 "The file \"" + file.name + "\" has no usable checksum."));
        return false;
    }
    if (!checkHeapRange(file.offset, file.length, error)) return false;

    Digester digester(*file.archivedChecksumAlgorithm);
    z_stream zs{};
    if (gzip && inflateInit2(&zs, 15 + 32) != Z_OK) {
        setError(error, xarError(kXarErrorNoMemory, "Out of memory."));
        return false;
    }
    struct InflateEnd {
        z_stream* zs;
        bool active;
        ~InflateEnd() {
            if (active) inflateEnd(zs);
        }
    } inflateEnd{&zs, gzip};

    const std::uint64_t limit =
        file.extractedSize ? *file.extractedSize : std::numeric_limits<std::uint64_t>::max();
    std::uint64_t produced = 0;
    auto deliver = [&](const std::uint8_t* bytes, std::size_t n) {
        produced += n;
        if (produced > limit) {
            setError(error, xarError(kXarErrorFormat,
                                     "The data of \"" + file.name + "\" is longer than its size."));
            return false;
        }
        if (!sink(bytes, n)) {
            setError(error, xarError(kXarErrorOpen,
                                     "The data of \"" + file.name + "\" could not be written."));
            return false;
        }
        return true;
    };

    Data chunk(kChunkSize), out(gzip ? kChunkSize : 0);
    bool streamEnded = !gzip;
    std::uint64_t remaining = file.length, offset = heapStart_ + file.offset;
    while (remaining > 0) {
        const std::size_t n = std::size_t(std::min<std::uint64_t>(remaining, chunk.size()));
        if (!source_->readAt(offset, chunk.data(), n) || !digester.update(chunk.data(), n)) {
            setError(error, xarError(kXarErrorOpen, "The archive cannot be read."));
            return false;
        }
        offset += n;
        remaining -= n;
        if (!gzip) {
            if (!deliver(chunk.data(), n)) return false;
            continue;
        }
        zs.next_in = chunk.data();
        zs.avail_in = static_cast<uInt>(n);
        while (zs.avail_in > 0 && !streamEnded) {
            zs.next_out = out.data();
            zs.avail_out = static_cast<uInt>(out.size());
            const int rc = inflate(&zs, Z_NO_FLUSH);
            if (rc != Z_OK && rc != Z_STREAM_END) {
                setError(error, xarError(kXarErrorFormat,
                                         "The data of \"" + file.name + "\" is damaged."));
                return false;
            }
            if (!deliver(out.data(), out.size() - zs.avail_out)) return false;
            if (rc == Z_STREAM_END) streamEnded = true;
        }
    }
    if (gzip) {
        // Output still held inside the inflater.
        while (!streamEnded) {
            zs.next_out = out.data();
            zs.avail_out = static_cast<uInt>(out.size());
            const int rc = inflate(&zs, Z_FINISH);
            if (rc != Z_STREAM_END && (rc != Z_BUF_ERROR || zs.avail_out != 0)) break;
            if (!deliver(out.data(), out.size() - zs.avail_out)) return false;
            if (rc == Z_STREAM_END) streamEnded = true;
        }
    }
    Data computed;
    if (!digester.finish(&computed) || !sameBytes(computed, file.archivedChecksum)) {
        setError(error, xarError(kXarErrorChecksum,
                                 "The data of \"" + file.name + "\" does not match its checksum."));
        return false;
    }
    if (!streamEnded) {
        setError(error,
                 xarError(kXarErrorFormat, "The data of \"" + file.name + "\" is cut short."));
        return false;
    }
    return true;
} catch (const std::bad_alloc&) {
    setError(error, xarError(kXarErrorNoMemory, "Out of memory."));
    return false;
}

}  // namespace platform
