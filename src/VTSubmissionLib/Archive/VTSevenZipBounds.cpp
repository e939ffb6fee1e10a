#include "VTSubmissionLib/Archive/VTSevenZipBounds.h"

#include <lzma.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

namespace vtsevenzip {

namespace {

constexpr std::uint8_t kSignature[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
constexpr std::size_t kSignatureHeaderSize = 32;
// libarchive looks for the archive behind a self-extracting stub within the
// first few hundred KiB; this window covers its search.
constexpr std::size_t kStubWindow = std::size_t{1} << 20;

// Property ids of the header.
enum : std::uint8_t {
    kEnd = 0x00,
    kHeader = 0x01,
    kArchiveProperties = 0x02,
    kAdditionalStreamsInfo = 0x03,
    kMainStreamsInfo = 0x04,
    kFilesInfo = 0x05,
    kPackInfo = 0x06,
    kUnPackInfo = 0x07,
    kSubStreamsInfo = 0x08,
    kSize = 0x09,
    kCRC = 0x0A,
    kFolder = 0x0B,
    kCodersUnPackSize = 0x0C,
    kNumUnPackStream = 0x0D,
    kEncodedHeader = 0x17,
};

// Coder ids.
constexpr std::uint64_t kCopy = 0x00;
constexpr std::uint64_t kLzma2 = 0x21;
constexpr std::uint64_t kLzma = 0x030101;
constexpr std::uint64_t kPpmd = 0x030401;

struct Refusal {
    std::string reason;
};

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint64_t le64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(le32(p)) | static_cast<std::uint64_t>(le32(p + 4)) << 32;
}

std::uint32_t crc32Of(const std::uint8_t* bytes, std::size_t length) {
    return lzma_crc32(bytes, length, 0);
}

// Reads the header's numbers and bytes; any read past the end refuses.
class Cursor {
  public:
    Cursor(const std::uint8_t* bytes, std::size_t size) : bytes_(bytes), size_(size) {}

    std::uint8_t byte() {
        if (pos_ >= size_) throw Refusal{"Truncated 7-Zip header"};
        return bytes_[pos_++];
    }
    // The header's variable-length number: the leading one bits of the
    // first byte count the bytes that follow.
    std::uint64_t number() {
        const std::uint8_t first = byte();
        std::uint8_t mask = 0x80;
        std::uint64_t value = 0;
        for (int i = 0; i < 8; ++i) {
            if ((first & mask) == 0) {
                const std::uint64_t high = first & (mask - 1u);
                return value | (high << (8 * i));
            }
            value |= static_cast<std::uint64_t>(byte()) << (8 * i);
            mask >>= 1;
        }
        return value;
    }
    std::uint64_t count(const char* what) {
        const std::uint64_t n = number();
        if (n > kMaxEntries) throw Refusal{std::string("Too many ") + what + " in 7-Zip header"};
        return n;
    }
    const std::uint8_t* take(std::uint64_t length) {
        if (length > size_ - pos_) throw Refusal{"Truncated 7-Zip header"};
        const std::uint8_t* at = bytes_ + pos_;
        pos_ += static_cast<std::size_t>(length);
        return at;
    }
    void expect(std::uint8_t id) {
        if (byte() != id) throw Refusal{"Malformed 7-Zip header"};
    }

  private:
    const std::uint8_t* bytes_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

struct Coder {
    std::uint64_t id = 0;
    std::uint64_t inStreams = 1;
    std::uint64_t outStreams = 1;
    std::vector<std::uint8_t> properties;
};

struct Folder {
    std::vector<Coder> coders;
    std::uint64_t outStreams = 0;
    std::uint64_t packedStreams = 0;
    std::uint64_t unpackSize = 0;
    bool hasCrc = false;
    std::uint32_t crc = 0;
};

struct StreamsInfo {
    std::uint64_t packPos = 0;
    std::vector<std::uint64_t> packSizes;
    std::vector<Folder> folders;
};

// Refuses a coder that would take more decoder memory than allowed.
void checkCoderMemory(const Coder& coder) {
    std::uint64_t memory = 0;
    const auto& p = coder.properties;
    if (coder.id == kLzma || coder.id == kPpmd) {
        if (p.size() < 5) throw Refusal{"Malformed 7-Zip coder properties"};
        memory = le32(p.data() + 1);
    } else if (coder.id == kLzma2) {
        if (p.size() < 1 || p[0] > 40) throw Refusal{"Malformed 7-Zip coder properties"};
        memory = p[0] == 40 ? 0xFFFFFFFFu : (std::uint64_t{2} | (p[0] & 1u)) << (p[0] / 2 + 11);
    }
    if (memory > kMaxCoderMemory) throw Refusal{"7-Zip coder needs too much memory"};
}

// Per digest: a byte "all defined", else a bit per stream; then the CRCs.
std::vector<std::optional<std::uint32_t>> readDigests(Cursor& in, std::uint64_t count) {
    std::vector<bool> defined(count, true);
    if (in.byte() == 0) {
        const std::uint8_t* bits = in.take((count + 7) / 8);
        for (std::uint64_t i = 0; i < count; ++i)
            defined[i] = (bits[i / 8] & (0x80u >> (i % 8))) != 0;
    }
    std::vector<std::optional<std::uint32_t>> digests(count);
    for (std::uint64_t i = 0; i < count; ++i)
        if (defined[i]) digests[i] = le32(in.take(4));
    return digests;
}

Folder readFolder(Cursor& in) {
    Folder folder;
    const std::uint64_t numCoders = in.number();
    if (numCoders == 0 || numCoders > kMaxCoders) throw Refusal{"Too many 7-Zip coders"};
    std::uint64_t inStreams = 0;
    for (std::uint64_t i = 0; i < numCoders; ++i) {
        Coder coder;
        const std::uint8_t flags = in.byte();
        if (flags & 0x80) throw Refusal{"7-Zip alternative coders are not read"};
        const std::size_t idSize = flags & 0x0F;
        if (idSize > 8) throw Refusal{"Malformed 7-Zip coder id"};
        const std::uint8_t* id = in.take(idSize);
        for (std::size_t b = 0; b < idSize; ++b) coder.id = (coder.id << 8) | id[b];
        if (flags & 0x10) {
            coder.inStreams = in.number();
            coder.outStreams = in.number();
            if (coder.inStreams == 0 || coder.inStreams > kMaxCoderStreams ||
                coder.outStreams == 0 || coder.outStreams > kMaxCoderStreams)
                throw Refusal{"Too many 7-Zip coder streams"};
        }
        if (flags & 0x20) {
            const std::uint64_t length = in.number();
            if (length > 256) throw Refusal{"Malformed 7-Zip coder properties"};
            const std::uint8_t* bytes = in.take(length);
            coder.properties.assign(bytes, bytes + length);
        }
        checkCoderMemory(coder);
        inStreams += coder.inStreams;
        folder.outStreams += coder.outStreams;
        folder.coders.push_back(std::move(coder));
    }
    const std::uint64_t bindPairs = folder.outStreams - 1;
    if (bindPairs > inStreams) throw Refusal{"Malformed 7-Zip folder"};
    for (std::uint64_t i = 0; i < bindPairs; ++i) {
        if (in.number() >= inStreams || in.number() >= folder.outStreams)
            throw Refusal{"Malformed 7-Zip folder"};
    }
    folder.packedStreams = inStreams - bindPairs;
    if (folder.packedStreams == 0) throw Refusal{"Malformed 7-Zip folder"};
    if (folder.packedStreams > 1)
        for (std::uint64_t i = 0; i < folder.packedStreams; ++i)
            if (in.number() >= inStreams) throw Refusal{"Malformed 7-Zip folder"};
    return folder;
}

bool storesOnly(const Folder& folder) {
    return std::all_of(folder.coders.begin(), folder.coders.end(),
                       [](const Coder& coder) { return coder.id == kCopy; });
}

class Checker {
  public:
    Checker(const Source& read, std::uint64_t size) : read_(read), size_(size) {}

    void check(const std::uint8_t* signatureHeader) {
        if (signatureHeader[6] != 0) throw Refusal{"Unknown 7-Zip version"};
        if (crc32Of(signatureHeader + 12, 20) != le32(signatureHeader + 8))
            throw Refusal{"Damaged 7-Zip signature header"};
        const std::uint64_t offset = le64(signatureHeader + 12);
        const std::uint64_t length = le64(signatureHeader + 20);
        if (length == 0) return;  // an archive without entries
        const std::uint64_t room = size_ - kSignatureHeaderSize;
        if (offset > room || length > room - offset)
            throw Refusal{"7-Zip header lies outside the archive"};
        if (length > kMaxHeaderBytes) throw Refusal{"7-Zip header too large"};
        std::vector<std::uint8_t> header(static_cast<std::size_t>(length));
        if (!read_(kSignatureHeaderSize + offset, header.size(), header.data()))
            throw Refusal{"7-Zip header cannot be read"};
        if (crc32Of(header.data(), header.size()) != le32(signatureHeader + 28))
            throw Refusal{"Damaged 7-Zip header"};
        Cursor in(header.data(), header.size());
        const std::uint8_t id = in.byte();
        if (id == kHeader) return readHeader(in);
        if (id != kEncodedHeader) throw Refusal{"Malformed 7-Zip header"};
        // The header packed as a stream of its own: bounded like a header,
        // decoded here, and then checked as one.
        StreamsInfo streams = readStreamsInfo(in, kMaxHeaderBytes);
        std::vector<std::uint8_t> decoded = decodeHeader(streams);
        Cursor inner(decoded.data(), decoded.size());
        inner.expect(kHeader);
        readHeader(inner);
    }

  private:
    void readHeader(Cursor& in) {
        std::uint8_t id = in.byte();
        if (id == kArchiveProperties) {
            while (in.number() != 0) in.take(in.number());
            id = in.byte();
        }
        if (id == kAdditionalStreamsInfo) throw Refusal{"7-Zip additional streams are not read"};
        if (id == kMainStreamsInfo) {
            readStreamsInfo(in, kMaxUnpackedBytes);
            id = in.byte();
        }
        if (id == kFilesInfo) {
            in.count("files");
            // Each property carries its size; their contents are per file and
            // so bounded with the files and the header.
            while (in.number() != 0) in.take(in.number());
            id = in.byte();
        }
        if (id != kEnd) throw Refusal{"Malformed 7-Zip header"};
    }

    // Pack streams must lie inside the archive; every declared size within
    // `allowance`, and so their sum.
    StreamsInfo readStreamsInfo(Cursor& in, std::uint64_t allowance) {
        StreamsInfo streams;
        std::uint8_t id = in.byte();
        if (id == kPackInfo) {
            streams.packPos = in.number();
            streams.packSizes.assign(in.count("pack streams"), 0);
            std::uint64_t packed = 0;
            for (id = in.byte(); id != kEnd; id = in.byte()) {
                if (id == kSize) {
                    for (auto& size : streams.packSizes) {
                        size = in.number();
                        if (size > size_) throw Refusal{"7-Zip pack stream past the archive"};
                        packed += size;
                    }
                } else if (id == kCRC) {
                    readDigests(in, streams.packSizes.size());
                } else {
                    throw Refusal{"Malformed 7-Zip pack information"};
                }
            }
            const std::uint64_t room = size_ - kSignatureHeaderSize;
            if (streams.packPos > room || packed > room - streams.packPos)
                throw Refusal{"7-Zip pack stream past the archive"};
            id = in.byte();
        }
        if (id == kUnPackInfo) {
            in.expect(kFolder);
            streams.folders.resize(in.count("folders"));
            if (in.byte() != 0) throw Refusal{"7-Zip external folders are not read"};
            std::uint64_t packedStreams = 0;
            for (auto& folder : streams.folders) {
                folder = readFolder(in);
                packedStreams += folder.packedStreams;
            }
            if (packedStreams > streams.packSizes.size())
                throw Refusal{"7-Zip folders use more streams than are packed"};
            in.expect(kCodersUnPackSize);
            std::uint64_t total = 0;
            std::size_t firstPacked = 0;
            for (auto& folder : streams.folders) {
                for (std::uint64_t i = 0; i < folder.outStreams; ++i) {
                    const std::uint64_t size = in.number();
                    if (size > allowance) throw Refusal{"7-Zip declared size too large"};
                    folder.unpackSize = std::max(folder.unpackSize, size);
                }
                total += folder.unpackSize;
                if (total > allowance) throw Refusal{"7-Zip declared size too large"};
                // What a stored folder unpacks is what it packs: no more.
                const std::size_t packed = static_cast<std::size_t>(folder.packedStreams);
                if (storesOnly(folder)) {
                    std::uint64_t stored = 0;
                    for (std::size_t i = firstPacked; i < firstPacked + packed; ++i)
                        stored += streams.packSizes[i];
                    if (folder.unpackSize > stored) throw Refusal{"7-Zip declared size too large"};
                }
                firstPacked += packed;
            }
            id = in.byte();
            if (id == kCRC) {
                auto digests = readDigests(in, streams.folders.size());
                for (std::size_t i = 0; i < digests.size(); ++i)
                    if (digests[i]) {
                        streams.folders[i].hasCrc = true;
                        streams.folders[i].crc = *digests[i];
                    }
                id = in.byte();
            }
            if (id != kEnd) throw Refusal{"Malformed 7-Zip folder information"};
            id = in.byte();
        }
        if (id == kSubStreamsInfo) {
            std::vector<std::uint64_t> perFolder(streams.folders.size(), 1);
            id = in.byte();
            if (id == kNumUnPackStream) {
                std::uint64_t total = 0;
                for (auto& n : perFolder) {
                    n = in.number();
                    if (n > kMaxEntries || (total += n) > kMaxEntries)
                        throw Refusal{"Too many substreams in 7-Zip header"};
                }
                id = in.byte();
            }
            if (id == kSize) {
                for (std::size_t f = 0; f < perFolder.size(); ++f) {
                    std::uint64_t sum = 0;
                    for (std::uint64_t i = 1; i < perFolder[f]; ++i) {
                        const std::uint64_t size = in.number();
                        if (size > streams.folders[f].unpackSize ||
                            (sum += size) > streams.folders[f].unpackSize)
                            throw Refusal{"7-Zip substreams larger than their folder"};
                    }
                }
                id = in.byte();
            }
            for (; id != kEnd; id = in.byte()) {
                if (id != kCRC) throw Refusal{"Malformed 7-Zip substream information"};
                std::uint64_t unknown = 0;
                for (std::size_t f = 0; f < perFolder.size(); ++f)
                    if (perFolder[f] != 1 || !streams.folders[f].hasCrc) unknown += perFolder[f];
                readDigests(in, unknown);
            }
            id = in.byte();
        }
        if (id != kEnd) throw Refusal{"Malformed 7-Zip streams information"};
        return streams;
    }

    std::vector<std::uint8_t> decodeHeader(const StreamsInfo& streams) {
        if (streams.folders.size() != 1 || streams.packSizes.empty())
            throw Refusal{"Malformed 7-Zip encoded header"};
        const Folder& folder = streams.folders[0];
        if (folder.coders.size() != 1 || folder.packedStreams != 1)
            throw Refusal{"7-Zip header coding is not read"};
        const Coder& coder = folder.coders[0];
        const std::uint64_t packedSize = streams.packSizes[0];
        if (packedSize > kMaxHeaderBytes) throw Refusal{"7-Zip header too large"};
        std::vector<std::uint8_t> packed(static_cast<std::size_t>(packedSize));
        if (!read_(kSignatureHeaderSize + streams.packPos, packed.size(), packed.data()))
            throw Refusal{"7-Zip header cannot be read"};
        std::vector<std::uint8_t> decoded(static_cast<std::size_t>(folder.unpackSize));
        if (coder.id == kCopy) {
            if (packed.size() < decoded.size()) throw Refusal{"Truncated 7-Zip header"};
            std::copy_n(packed.begin(), decoded.size(), decoded.begin());
        } else if (coder.id == kLzma || coder.id == kLzma2) {
            decodeLzma(coder, packed, decoded);
        } else {
            throw Refusal{"7-Zip header coding is not read"};
        }
        if (folder.hasCrc && crc32Of(decoded.data(), decoded.size()) != folder.crc)
            throw Refusal{"Damaged 7-Zip header"};
        return decoded;
    }

    static void decodeLzma(const Coder& coder, const std::vector<std::uint8_t>& packed,
                           std::vector<std::uint8_t>& decoded) {
        lzma_filter filters[2] = {};
        filters[0].id = coder.id == kLzma ? LZMA_FILTER_LZMA1 : LZMA_FILTER_LZMA2;
        filters[1].id = LZMA_VLI_UNKNOWN;
        if (lzma_properties_decode(&filters[0], nullptr, coder.properties.data(),
                                   coder.properties.size()) != LZMA_OK)
            throw Refusal{"Malformed 7-Zip coder properties"};
        // The output is known to be small: no larger dictionary is needed.
        auto* options = static_cast<lzma_options_lzma*>(filters[0].options);
        options->dict_size = static_cast<std::uint32_t>(std::clamp<std::uint64_t>(
            decoded.size(), LZMA_DICT_SIZE_MIN,
            std::max<std::uint64_t>(options->dict_size, LZMA_DICT_SIZE_MIN)));
        lzma_stream stream = LZMA_STREAM_INIT;
        const lzma_ret made = lzma_raw_decoder(&stream, filters);
        free(filters[0].options);
        if (made != LZMA_OK) throw Refusal{"7-Zip header cannot be decoded"};
        stream.next_in = packed.data();
        stream.avail_in = packed.size();
        stream.next_out = decoded.data();
        stream.avail_out = decoded.size();
        lzma_ret result = LZMA_OK;
        while (stream.avail_out > 0 && result == LZMA_OK) {
            const std::size_t before = stream.avail_in + stream.avail_out;
            result = lzma_code(&stream, stream.avail_in ? LZMA_RUN : LZMA_FINISH);
            if (result == LZMA_OK && stream.avail_in + stream.avail_out == before) break;
        }
        const bool complete =
            stream.avail_out == 0 && (result == LZMA_OK || result == LZMA_STREAM_END);
        lzma_end(&stream);
        if (!complete) throw Refusal{"7-Zip header cannot be decoded"};
    }

    const Source& read_;
    const std::uint64_t size_;
};

bool startsLikeAProgram(const std::uint8_t* bytes, std::size_t length) {
    return (length >= 2 && bytes[0] == 'M' && bytes[1] == 'Z') ||
           (length >= 4 && std::memcmp(bytes,
                                       "\x7F"
                                       "ELF",
                                       4) == 0);
}

}  // namespace

Verdict checkArchive(const Source& read, std::uint64_t size, std::string* reason) {
    std::uint8_t start[kSignatureHeaderSize] = {};
    const std::size_t got = static_cast<std::size_t>(std::min<std::uint64_t>(size, sizeof start));
    if (!read(0, got, start)) {
        if (reason) *reason = "Archive cannot be read";
        return Verdict::Refused;
    }
    if (got < sizeof kSignature || std::memcmp(start, kSignature, sizeof kSignature) != 0) {
        if (!startsLikeAProgram(start, got)) return Verdict::NotSevenZip;
        std::vector<std::uint8_t> window(
            static_cast<std::size_t>(std::min<std::uint64_t>(size, kStubWindow)));
        if (!read(0, window.size(), window.data())) return Verdict::NotSevenZip;
        if (std::search(window.begin(), window.end(), std::begin(kSignature),
                        std::end(kSignature)) == window.end())
            return Verdict::NotSevenZip;
        if (reason) *reason = "Self-extracting 7-Zip archives are not read";
        return Verdict::Refused;
    }
    try {
        if (got < kSignatureHeaderSize) throw Refusal{"Truncated 7-Zip archive"};
        Checker(read, size).check(start);
        return Verdict::Acceptable;
    } catch (const Refusal& refusal) {
        if (reason) *reason = refusal.reason;
    } catch (const std::bad_alloc&) {
        if (reason) *reason = "Out of memory checking the 7-Zip header";
    }
    return Verdict::Refused;
}

}  // namespace vtsevenzip
