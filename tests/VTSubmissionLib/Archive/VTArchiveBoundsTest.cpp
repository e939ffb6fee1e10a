// Hostile 7-Zip archives, made byte by byte: each asks libarchive for more
// than the readers allow (entries, sizes, coders, header memory) and must be
// refused on opening, with the archive error code, in a child process whose
// address space is limited.
#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "VTSubmissionLib/Archive/VTArchive.h"
#include "support/TempDir.h"

using testsupport::TempDir;

namespace {

using Bytes = std::string;

// The header's variable-length number.
Bytes num(std::uint64_t value) {
    int extra = 0;
    while (extra < 8 && value >= (std::uint64_t{1} << (7 * (extra + 1)))) ++extra;
    Bytes out;
    const std::uint8_t high = static_cast<std::uint8_t>(0xFF00u >> extra);
    const std::uint8_t top =
        extra == 8 ? 0 : static_cast<std::uint8_t>(value >> (8 * extra)) & ~high;
    out += static_cast<char>(high | top);
    for (int i = 0; i < extra; ++i) out += static_cast<char>(value >> (8 * i));
    return out;
}

Bytes le(std::uint64_t value, int bytes) {
    Bytes out;
    for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i));
    return out;
}

std::uint32_t crc(const Bytes& bytes) {
    return static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

// Signature header, packed data, then the header.
Bytes sevenZip(const Bytes& packed, const Bytes& header) {
    const Bytes tail = le(packed.size(), 8) + le(header.size(), 8) + le(crc(header), 4);
    return Bytes("7z\xBC\xAF\x27\x1C\x00\x04", 8) + le(crc(tail), 4) + tail + packed + header;
}

const Bytes kEnd(1, '\0');
Bytes id(int value) { return Bytes(1, static_cast<char>(value)); }
// Substream information of one stream per folder.
const Bytes kSubStreams = id(0x08) + kEnd;

// Pack info for one stream of `size` bytes at 0.
Bytes packInfo(std::uint64_t size) {
    return id(0x06) + num(0) + num(1) + id(0x09) + num(size) + kEnd;
}
// One folder of one coder (id bytes `coder`, properties `props`).
Bytes copyFolder() { return num(1) + id(0x01) + id(0x00); }
Bytes unpackInfo(const Bytes& folder, std::uint64_t size) {
    return id(0x07) + id(0x0B) + num(1) + id(0) + folder + id(0x0C) + num(size) + kEnd;
}
Bytes filesInfo(std::uint64_t files) { return id(0x05) + num(files) + kEnd; }

// A well-formed archive of one stored 10-byte file, from these parts.
Bytes storedArchive(const Bytes& streamsExtra = kSubStreams, std::uint64_t files = 1,
                    std::uint64_t unpackSize = 10, const Bytes& folder = copyFolder()) {
    const Bytes header = id(0x01) + id(0x04) + packInfo(10) + unpackInfo(folder, unpackSize) +
                         streamsExtra + kEnd + filesInfo(files) + kEnd;
    return sevenZip("0123456789", header);
}

// An archive whose header is stored as an encoded header (copy coder)
// declaring `declared` unpacked bytes.
Bytes encodedHeaderArchive(const Bytes& inner, std::uint64_t declared) {
    const Bytes outer =
        id(0x17) + packInfo(inner.size()) + unpackInfo(copyFolder(), declared) + kEnd;
    return sevenZip(inner, outer);
}

struct HostileCase {
    const char* name;
    Bytes bytes;
    const char* reason;  // part of the refusal's text
};

std::vector<HostileCase> hostileCases() {
    const Bytes manySubstreams = id(0x08) + id(0x0D) + num(99999999) + kEnd;
    const Bytes innerManyFiles = id(0x01) + filesInfo(99999999) + kEnd;
    Bytes manyCoders = num(5);
    for (int i = 0; i < 5; ++i) manyCoders += id(0x01) + id(0x00);
    // A coder with many input streams (complex flag, one id byte).
    const Bytes wideCoder = num(1) + id(0x11) + id(0x00) + num(1000) + num(1);
    // LZMA2 asking for a 4 GiB dictionary.
    const Bytes hugeDictionary = num(1) + id(0x21) + id(0x21) + num(1) + id(40);
    Bytes damaged = storedArchive();
    damaged[damaged.size() - 3] ^= 1;
    Bytes selfExtracting = Bytes("MZ") + Bytes(4096, '\0') + storedArchive();
    // Many folders, many pack streams.
    const Bytes manyFolders = sevenZip(
        "", id(0x01) + id(0x04) + id(0x07) + id(0x0B) + num(50000000) + id(0) + kEnd + kEnd);
    const Bytes manyPackStreams =
        sevenZip("", id(0x01) + id(0x04) + id(0x06) + num(0) + num(50000000) + kEnd);
    const Bytes farTail = le(0, 8) + le(std::uint64_t{1} << 40, 8) + le(0, 4);
    const Bytes headerPastTheFile =
        Bytes("7z\xBC\xAF\x27\x1C\x00\x04", 8) + le(crc(farTail), 4) + farTail + id(0x01);
    return {
        {"substreams", storedArchive(manySubstreams), "Too many substreams"},
        {"files", storedArchive(kSubStreams, 99999999), "Too many files"},
        {"declared size", storedArchive(kSubStreams, 1, std::uint64_t{1} << 40),
         "declared size too large"},
        {"stored size past what is packed", storedArchive(kSubStreams, 1, std::uint64_t{17} << 20),
         "declared size too large"},
        {"coders", storedArchive(kSubStreams, 1, 10, manyCoders), "Too many 7-Zip coders"},
        {"coder streams", storedArchive(kSubStreams, 1, 10, wideCoder), "coder streams"},
        {"dictionary", storedArchive(kSubStreams, 1, 10, hugeDictionary), "too much memory"},
        {"folders", manyFolders, "Too many folders"},
        {"pack streams", manyPackStreams, "Too many pack streams"},
        {"encoded header size", encodedHeaderArchive(innerManyFiles, std::uint64_t{1} << 32),
         "declared size too large"},
        {"encoded header contents", encodedHeaderArchive(innerManyFiles, innerManyFiles.size()),
         "Too many files"},
        {"damaged header", damaged, "Damaged 7-Zip header"},
        {"self-extracting", selfExtracting, "Self-extracting"},
        {"header past the file", headerPastTheFile, "outside the archive"},
    };
}

// Runs `body` in a child whose address space may grow by at most 256 MiB
// (unless a sanitizer reserves its own), with a 60 s hang guard; true when
// the child returned true.
bool inBoundedChild(const std::function<bool()>& body) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(60);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        long pages = 0;
        if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
            std::fclose(statm);
        }
        const rlim_t limit =
            static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) +
            (rlim_t{256} << 20);
        const struct rlimit bound = {limit, limit};
        ::setrlimit(RLIMIT_AS, &bound);
#endif
        ::_exit(body() ? 0 : 1);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool refusedWithReadCode(const platform::Error& error, const char* reason = "") {
    return error.domain() == VTArchiveErrorDomain && error.code() == kVTArchiveErrorRead &&
           error.description().find(reason) != std::string::npos;
}

platform::Data dataOf(const Bytes& bytes) { return platform::Data(bytes.begin(), bytes.end()); }

// An archive libarchive writes with `filter` (tar) or as 7-Zip.
platform::Data written(bool sevenZipFormat, const std::function<void(struct archive*)>& fill) {
    struct archive* a = archive_write_new();
    if (sevenZipFormat) {
        archive_write_set_format_7zip(a);
    } else {
        archive_write_set_format_pax_restricted(a);
        archive_write_add_filter_gzip(a);
    }
    archive_write_set_bytes_in_last_block(a, 1);
    platform::Data out;
    archive_write_open(
        a, &out, nullptr,
        [](struct archive*, void* context, const void* bytes, std::size_t length) -> la_ssize_t {
            auto* sink = static_cast<platform::Data*>(context);
            const auto* begin = static_cast<const std::uint8_t*>(bytes);
            sink->insert(sink->end(), begin, begin + length);
            return static_cast<la_ssize_t>(length);
        },
        nullptr);
    fill(a);
    archive_write_close(a);
    archive_write_free(a);
    return out;
}

platform::Data gzipped(const Bytes& bytes) {
    z_stream z = {};
    deflateInit2(&z, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);  // 31: gzip framing
    platform::Data out(deflateBound(&z, bytes.size()) + 32);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    z.avail_in = static_cast<uInt>(bytes.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

void addZeros(struct archive* a, const char* name, std::size_t size) {
    struct archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, name);
    archive_entry_set_filetype(entry, AE_IFREG);
    archive_entry_set_perm(entry, 0644);
    archive_entry_set_size(entry, static_cast<la_int64_t>(size));
    archive_write_header(a, entry);
    const std::vector<char> zeros(1 << 20, 0);
    for (std::size_t left = size; left > 0;) {
        const std::size_t n = std::min(left, zeros.size());
        archive_write_data(a, zeros.data(), n);
        left -= n;
    }
    archive_entry_free(entry);
}

}  // namespace

TEST(VTArchiveBoundsTest, HostileSevenZipHeadersAreRefusedOnOpeningWithinBoundedMemory) {
    TempDir dir;
    for (const HostileCase& c : hostileCases()) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file("hostile.7z");
        std::ofstream(path, std::ios::binary | std::ios::trunc) << c.bytes;
        EXPECT_TRUE(inBoundedChild([&] {
            const platform::Data bytes = dataOf(c.bytes);
            for (std::uint64_t flags : {std::uint64_t{0}, std::uint64_t{kVTArchiveFlagAnyFormat}}) {
                platform::Error error;
                if (VTImmutableMemoryArchive::archiveForReadingFromData(bytes, flags, &error) ||
                    !refusedWithReadCode(error, c.reason))
                    return false;
            }
            // Were it opened, listing it is where the memory would go.
            platform::Error error;
            if (auto reader = VTImmutableFileArchive::archiveWithSource(path, 0, &error)) {
                reader->enumerateEntriesWithBlock({});
                return false;
            }
            return refusedWithReadCode(error, c.reason);
        }));
    }
}

TEST(VTArchiveBoundsTest, WellFormedHandMadeArchivesStillRead) {
    // The same builders, within the bounds: the archives open and list.
    const Bytes plainHeader = id(0x01) + id(0x04) + packInfo(10) + unpackInfo(copyFolder(), 10) +
                              kSubStreams + kEnd + filesInfo(1) + kEnd;
    const struct {
        const char* name;
        Bytes bytes;
        std::uint64_t entries;
    } cases[] = {
        {"stored", storedArchive(), 1},
        {"two substreams",
         storedArchive(id(0x08) + id(0x0D) + num(2) + id(0x09) + num(4) + kEnd, 2), 2},
        {"encoded header", encodedHeaderArchive(plainHeader, plainHeader.size()), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        platform::Error error;
        const platform::Data bytes = dataOf(c.bytes);
        auto reader = VTImmutableMemoryArchive::archiveForReadingFromData(bytes, 0, &error);
        ASSERT_TRUE(reader) << error.description();
        EXPECT_EQ(reader->enumerateEntriesWithBlock({}), c.entries);
    }
}

TEST(VTArchiveBoundsTest, CompressedDataIsBoundByWhatItProducesNotByItsRatio) {
    // 32 MiB of zeros packs into a few KiB, as repetitive logs nearly do: far
    // past any ratio a bomb could be told apart by, and read back whole.
    const platform::Data zeros =
        written(true, [](struct archive* a) { addZeros(a, "zeros", 32 << 20); });
    ASSERT_LT(zeros.size(), std::size_t{16} << 10);
    platform::Error error;
    auto reader = VTImmutableMemoryArchive::archiveForReadingFromData(zeros, 0, &error);
    ASSERT_TRUE(reader) << error.description();
    std::optional<std::string> path;
    auto bytes = reader->dispatchDataForNextEntryWithPath(&path, nullptr, &error);
    ASSERT_TRUE(bytes) << error.description();
    EXPECT_EQ(bytes->size(), std::size_t{32} << 20);

    // What is really decoded is bounded, in memory and on disk, in 7-Zip and
    // in other formats alike: reading stops once it passes the limit, and
    // extraction leaves nothing behind.
    const platform::Data tarBomb =
        written(false, [](struct archive* a) { addZeros(a, "zeros", 32 << 20); });
    constexpr std::uint64_t kLimit = std::uint64_t{8} << 20;
    for (const auto& [name, archive, flags] :
         {std::tuple{"7-Zip", &zeros, std::uint64_t{0}},
          std::tuple{"tar.gz", &tarBomb, std::uint64_t{kVTArchiveFlagAnyFormat}}}) {
        SCOPED_TRACE(name);
        reader = VTImmutableMemoryArchive::archiveForReadingFromData(*archive, flags, &error);
        ASSERT_TRUE(reader) << error.description();
        reader->setUnpackedLimit(kLimit);
        error = {};
        EXPECT_FALSE(reader->dispatchDataForNextEntryWithPath(&path, nullptr, &error));
        EXPECT_TRUE(refusedWithReadCode(error, "unpacks to more")) << error.description();

        TempDir dir;
        reader = VTImmutableMemoryArchive::archiveForReadingFromData(*archive, flags, &error);
        ASSERT_TRUE(reader) << error.description();
        reader->setUnpackedLimit(kLimit);
        error = {};
        EXPECT_EQ(reader->extractToDirectory(dir.path().string(), 0, {}, &error), -1);
        EXPECT_TRUE(refusedWithReadCode(error, "unpacks to more")) << error.description();
        EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    }

    // An entry in another format is never held whole in memory.
    const platform::Data big = written(
        false, [](struct archive* a) { addZeros(a, "big", kVTArchiveMaxEntryInMemory + 1); });
    reader =
        VTImmutableMemoryArchive::archiveForReadingFromData(big, kVTArchiveFlagAnyFormat, &error);
    ASSERT_TRUE(reader) << error.description();
    error = {};
    EXPECT_FALSE(reader->dispatchDataForNextEntryWithPath(&path, nullptr, &error));
    EXPECT_EQ(path, "big");
    EXPECT_TRUE(refusedWithReadCode(error)) << error.description();

    // A 7-Zip archive behind a compression filter is not read as one: its
    // header would escape the check.
    const Bytes hostile = hostileCases()[0].bytes;
    EXPECT_FALSE(VTImmutableMemoryArchive::archiveForReadingFromData(
        gzipped(hostile), kVTArchiveFlagAnyFormat, nullptr));
}

TEST(VTArchiveBoundsTest, EntryCountIsCappedForEveryFormat) {
    const platform::Data many = written(false, [](struct archive* a) {
        for (std::uint64_t i = 0; i <= kVTArchiveMaxEntries; ++i) {
            struct archive_entry* entry = archive_entry_new();
            archive_entry_set_pathname(entry, ("e" + std::to_string(i)).c_str());
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_size(entry, 0);
            archive_write_header(a, entry);
            archive_entry_free(entry);
        }
    });
    auto reader =
        VTImmutableMemoryArchive::archiveForReadingFromData(many, kVTArchiveFlagAnyFormat, nullptr);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->enumerateEntriesWithBlock({}), kVTArchiveMaxEntries);
    reader =
        VTImmutableMemoryArchive::archiveForReadingFromData(many, kVTArchiveFlagAnyFormat, nullptr);
    ASSERT_TRUE(reader);
    platform::Error error;
    std::uint64_t read = 0;
    for (;;) {
        std::optional<std::string> path;
        reader->dispatchDataForNextEntryWithPath(&path, nullptr, &error);
        if (!error.empty() || !path) break;
        ++read;
    }
    EXPECT_EQ(read, kVTArchiveMaxEntries);
    EXPECT_TRUE(refusedWithReadCode(error)) << error.description();
}

#ifdef VT_7ZZ
TEST(VTArchiveBoundsTest, SevenZipsOwnArchivesWithPackedHeadersRead) {
    // 7-Zip packs the header of an archive of many files with LZMA: the check
    // decodes it and lets the archive through.
    TempDir dir;
    for (int i = 0; i < 60; ++i)
        dir.write("many/f" + std::to_string(i), "file " + std::to_string(i));
    const std::string path = dir.file("many.7z");
    ASSERT_EQ(std::system((std::string(VT_7ZZ) + " a -bso0 -bsp0 " + path + " " + dir.file("many") +
                           " > /dev/null")
                              .c_str()),
              0);
    std::ifstream in(path, std::ios::binary);
    const Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 32u);
    platform::Error error;
    const platform::Data data = dataOf(bytes);
    auto memory = VTImmutableMemoryArchive::archiveForReadingFromData(data, 0, &error);
    ASSERT_TRUE(memory) << error.description();
    EXPECT_EQ(memory->enumerateEntriesWithBlock({}), 61u);  // the folder and its files
    auto file = VTImmutableFileArchive::archiveWithSource(path, 0, &error);
    ASSERT_TRUE(file) << error.description();
    EXPECT_EQ(file->enumerateEntriesWithBlock({}), 61u);
}
#endif
