#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "Platform/System/FileAttributes.h"
#include "VTSubmissionLib/Archive/VTArchive.h"
#include "support/LinkCases.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using testsupport::TempDir;

namespace {

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeBytes(const std::string& path, const platform::Data& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return output;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
    const int status = ::pclose(pipe);
    if (status != 0) output += "\n<exit " + std::to_string(status) + ">";
    return output;
}

platform::Dictionary sizeAttributes(std::uint64_t size) {
    return {{std::string(platform::kFileSize), size}};
}

// Entry path -> bytes of every entry of an archive read from memory.
std::map<std::string, std::string> entriesOf(VTArchiveReading& reader) {
    std::map<std::string, std::string> entries;
    for (;;) {
        std::optional<std::string> path;
        platform::Error error;
        auto bytes = reader.dispatchDataForNextEntryWithPath(&path, nullptr, &error);
        EXPECT_TRUE(error.empty()) << error.description();
        if (!path) break;
        std::string text;
        if (bytes) {
            auto flat = bytes->contiguous();
            text.assign(flat.begin(), flat.end());
        }
        entries[*path] = text;
    }
    return entries;
}

// A small archive in any format libarchive writes, made entry by entry.
struct RawEntry {
    RawEntry(std::string name, unsigned type = AE_IFREG, std::string data = {},
             std::string link = {}, std::string hardlink = {})
        : name(std::move(name)),
          type(type),
          data(std::move(data)),
          link(std::move(link)),
          hardlink(std::move(hardlink)) {}
    std::string name;
    unsigned type;
    std::string data;
    std::string link;      // symbolic-link target
    std::string hardlink;  // hard-link target
};

platform::Data rawArchive(const std::vector<RawEntry>& entries, bool tar) {
    struct archive* a = archive_write_new();
    if (tar)
        archive_write_set_format_pax_restricted(a);
    else
        archive_write_set_format_7zip(a);
    archive_write_set_bytes_in_last_block(a, 1);
    std::vector<unsigned char> buffer(1 << 20);
    std::size_t used = 0;
    archive_write_open_memory(a, buffer.data(), buffer.size(), &used);
    for (const RawEntry& e : entries) {
        struct archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, e.name.c_str());
        archive_entry_set_filetype(entry, e.type);
        archive_entry_set_perm(entry, 0644);
        if (!e.link.empty()) archive_entry_set_symlink(entry, e.link.c_str());
        if (!e.hardlink.empty()) archive_entry_set_hardlink(entry, e.hardlink.c_str());
        archive_entry_set_size(entry, static_cast<la_int64_t>(e.data.size()));
        archive_write_header(a, entry);
        if (!e.data.empty()) archive_write_data(a, e.data.data(), e.data.size());
        archive_entry_free(entry);
    }
    archive_write_close(a);
    archive_write_free(a);
    return platform::Data(buffer.begin(), buffer.begin() + static_cast<long>(used));
}

// An archive of one folder holding "a" (text) and "sub/b".
struct Fixture {
    TempDir dir;
    std::string top;
    Fixture() {
        top = dir.file("top");
        dir.write("top/a", "alpha");
        dir.write("top/sub/b", "beta beta");
    }
};

class ScopedTmpdir {
  public:
    explicit ScopedTmpdir(const std::string& value) {
        if (const char* old = std::getenv("TMPDIR")) old_ = old;
        ::setenv("TMPDIR", value.c_str(), 1);
    }
    ~ScopedTmpdir() {
        if (old_)
            ::setenv("TMPDIR", old_->c_str(), 1);
        else
            ::unsetenv("TMPDIR");
    }

  private:
    std::optional<std::string> old_;
};

}  // namespace

TEST(VTArchiveTest, RoundTripThroughBothReadersAndSevenZip) {
    struct Case {
        std::uint64_t flags;
        const char* method;
    };
    for (const Case& c : {Case{kVTArchiveFlagPayload, "LZMA2"},
                          Case{kVTArchiveFlagPayload | kVTArchiveFlagStore, "Copy"}}) {
        SCOPED_TRACE(c.method);
        Fixture f;
        ::chmod(f.dir.file("top/a").c_str(), 0640);
        const std::string streamed(10000, 'x');
        const std::string streamPath = f.dir.write("log", streamed);

        platform::Error error;
        auto memory = VTMemoryArchive::archiveWithFlags(c.flags, &error);
        ASSERT_TRUE(memory);
        ASSERT_TRUE(memory->addURL(f.dir.file("top/a"), &error)) << error.description();
        VTInputStream stream(streamPath);
        ASSERT_TRUE(memory->addStream(stream, "stream", std::string("logs"), std::nullopt,
                                      sizeAttributes(streamed.size()), &error))
            << error.description();
        ASSERT_TRUE(memory->save(&error)) << error.description();
        EXPECT_EQ(memory->numberOfFiles(), 2u);

        const platform::Data bytes = memory->archiveData().contiguous();
        const std::map<std::string, std::string> expected = {{"a", "alpha"},
                                                             {"logs/stream", streamed}};
        auto reader = VTImmutableMemoryArchive::archiveForReadingFromData(bytes, 0, &error);
        ASSERT_TRUE(reader) << error.description();
        EXPECT_EQ(entriesOf(*reader), expected);

        const std::string file = f.dir.file("out.7z");
        writeBytes(file, bytes);
        auto fileReader = VTImmutableFileArchive::archiveWithSource(file, 0, &error);
        ASSERT_TRUE(fileReader) << error.description();
        std::map<std::string, platform::Dictionary> attributes;
        EXPECT_EQ(fileReader->enumerateEntriesWithBlock([&](const char* path,
                                                            const platform::Dictionary& a,
                                                            bool&) { attributes[path] = a; }),
                  2u);
        ASSERT_EQ(attributes.count("a"), 1u);
        EXPECT_EQ(attributes["a"].at(std::string(platform::kFilePosixPermissions)).uint64Value(),
                  0640u);
        EXPECT_EQ(attributes["a"].at(std::string(platform::kFileSize)).uint64Value(), 5u);
        EXPECT_EQ(attributes["a"].at(std::string(platform::kFileType)).stringValue(),
                  platform::kFileTypeRegular);

#ifdef VT_7ZZ
        EXPECT_NE(run(std::string(VT_7ZZ) + " t " + file).find("Everything is Ok"),
                  std::string::npos);
        const std::string listing = run(std::string(VT_7ZZ) + " l -slt " + file);
        EXPECT_NE(listing.find("Method = " + std::string(c.method)), std::string::npos) << listing;
        EXPECT_NE(listing.find("Path = logs/stream"), std::string::npos) << listing;
#endif
    }
}

TEST(VTArchiveTest, FileWriterPacksAHierarchy) {
    Fixture f;
    struct Case {
        std::uint64_t options;
        std::set<std::string> names;
    };
    for (const Case& c :
         {Case{0, {"a", "sub/b"}}, Case{kVTArchiveHierarchyTopName, {"top/a", "top/sub/b"}}}) {
        platform::Error error;
        const std::string out = f.dir.file("h.7z");
        fs::remove(out);
        auto archive = VTFileArchive::archiveWithDestination(out, kVTArchiveFlagPayload, &error);
        ASSERT_TRUE(archive) << error.description();
        EXPECT_EQ(archive->addHierarchyAtURL(f.top, c.options, &error), 2u) << error.description();
        ASSERT_TRUE(archive->save(&error));
        auto reader = VTImmutableFileArchive::archiveWithSource("file://" + out, 0, &error);
        ASSERT_TRUE(reader) << error.description();
        std::set<std::string> names;
        reader->enumerateEntriesWithBlock(
            [&](const char* path, const platform::Dictionary&, bool&) { names.insert(path); });
        EXPECT_EQ(names, c.names);
    }
    platform::Error error;
    EXPECT_FALSE(VTFileArchive::archiveHierarchy(f.dir.file("empty-missing"), f.dir.file("x.7z"), 0,
                                                 &error));
    EXPECT_EQ(error.code(), kVTArchiveErrorOpen);
    auto notFolder = VTFileArchive::archiveWithDestination(f.dir.file("y.7z"), 0, &error);
    EXPECT_EQ(notFolder->addHierarchyAtURL(f.dir.file("top/a"), 0, &error), 0u);
    EXPECT_EQ(error.code(), kVTArchiveErrorOpen);
    ASSERT_TRUE(error.underlyingError());
    EXPECT_EQ(error.underlyingError()->code(), ENOTDIR);
}

TEST(VTArchiveTest, SymbolicLinksAreKeptOnlyWhenAsked) {
    Fixture f;
    fs::create_symlink("a", f.top + "/link");
    for (bool keep : {false, true}) {
        platform::Error error;
        auto archive = VTMemoryArchive::archiveWithFlags(0, &error);
        ASSERT_EQ(archive->addHierarchyAtURL(
                      f.top, keep ? std::uint64_t{kVTArchiveHierarchyKeepLinks} : 0, &error),
                  3u)
            << error.description();
        ASSERT_TRUE(archive->save(&error));
        const platform::Data bytes = archive->archiveData().contiguous();
        auto reader = VTImmutableMemoryArchive::archiveForReadingFromData(bytes, 0, &error);
        std::string type;
        reader->enumerateEntriesWithBlock(
            [&](const char* path, const platform::Dictionary& a, bool&) {
                if (std::string(path) == "link")
                    type = a.at(std::string(platform::kFileType)).stringValue();
            });
        EXPECT_EQ(type, keep ? platform::kFileTypeSymbolicLink : platform::kFileTypeRegular);
    }
}

TEST(VTArchiveTest, WriterErrors) {
    TempDir dir;
    const std::string path = dir.write("f", "12345");
    platform::Error error;
    auto archive = VTMemoryArchive::archiveWithFlags(0, &error);
    VTInputStream stream(path);
    EXPECT_FALSE(archive->addStream(stream, "s", std::nullopt, std::nullopt, {}, &error));
    EXPECT_EQ(error.code(), kVTArchiveErrorAttributes);
    EXPECT_EQ(error.localizedDescription(), "No NSFileSizeKey provided");

    VTInputStream missing(dir.file("missing"));
    EXPECT_FALSE(
        archive->addStream(missing, "m", std::nullopt, std::nullopt, sizeAttributes(1), &error));
    EXPECT_EQ(error.code(), kVTArchiveErrorOpen);
    EXPECT_FALSE(archive->addURL(dir.file("missing"), &error));
    EXPECT_EQ(error.code(), kVTArchiveErrorAttributes);
    EXPECT_FALSE(archive->addURL("http://example.invalid/f", &error));

    ASSERT_TRUE(archive->addURL(path, &error));
    ASSERT_TRUE(archive->save(&error));
    EXPECT_FALSE(archive->addURL(path, &error));
    EXPECT_EQ(error.code(), kVTArchiveErrorSaved);
    EXPECT_FALSE(archive->save(&error));
    EXPECT_EQ(error.code(), kVTArchiveErrorSaved);

    EXPECT_FALSE(VTFileArchive::archiveWithDestination("https://host/x.7z", 0, &error));
    EXPECT_EQ(error.code(), kVTArchiveErrorDestination);
    EXPECT_FALSE(VTImmutableFileArchive::archiveWithSource(dir.file("none.7z"), 0, &error));
    EXPECT_EQ(error.code(), kVTArchiveErrorSource);
    EXPECT_FALSE(VTImmutableFileArchive::archiveWithSource(path, 0, &error));
    EXPECT_EQ(error.code(), kVTArchiveErrorRead);
}

TEST(VTArchiveTest, UnwritableTemporaryFolderFailsSave) {
    TempDir dir;
    const std::string path = dir.write("f", "some bytes");
    platform::Error error;
    auto archive = VTMemoryArchive::archiveWithFlags(0, &error);
    ASSERT_TRUE(archive->addURL(path, &error));
    ScopedTmpdir tmp(dir.file("no/such/folder"));
    EXPECT_FALSE(archive->save(&error));
    EXPECT_EQ(error.code(), kVTArchiveErrorClose);
    EXPECT_EQ(error.domain(), VTArchiveErrorDomain);
}

TEST(VTArchiveTest, StreamsCopyExactlyTheirDeclaredSize) {
    TempDir dir;
    const std::string path = dir.write("log", "0123456789");
    {
        // The file grew after its size was taken: only the declared bytes.
        platform::Error error;
        auto archive = VTMemoryArchive::archiveWithFlags(0, &error);
        VTInputStream stream(path);
        ASSERT_TRUE(archive->addStream(stream, "log", std::nullopt, std::nullopt, sizeAttributes(4),
                                       &error));
        ASSERT_TRUE(archive->save(&error));
        const platform::Data bytes = archive->archiveData().contiguous();
        auto reader = VTImmutableMemoryArchive::archiveForReadingFromData(bytes, 0, &error);
        EXPECT_EQ(entriesOf(*reader), (std::map<std::string, std::string>{{"log", "0123"}}));
    }
    {
        // It shrank: the add fails and the archive cannot be finished.
        platform::Error error;
        auto archive = VTMemoryArchive::archiveWithFlags(0, &error);
        VTInputStream stream(path);
        EXPECT_FALSE(archive->addStream(stream, "log", std::nullopt, std::nullopt,
                                        sizeAttributes(25), &error));
        EXPECT_EQ(error.code(), kVTArchiveErrorWrite);
        EXPECT_FALSE(archive->addURL(path, &error));
        EXPECT_EQ(error.code(), kVTArchiveErrorWrite);
        EXPECT_FALSE(archive->save(&error));
        EXPECT_EQ(error.code(), kVTArchiveErrorClose);
    }
    {
        // A file archive that lost data does not stay behind.
        const std::string out = dir.file("lost.7z");
        platform::Error error;
        auto archive = VTFileArchive::archiveWithDestination(out, 0, &error);
        VTInputStream stream(path);
        EXPECT_FALSE(archive->addStream(stream, "log", std::nullopt, std::nullopt,
                                        sizeAttributes(25), &error));
        archive.reset();
        EXPECT_FALSE(fs::exists(out));
    }
}

TEST(VTArchiveTest, MemoryReaderAcceptsOtherFormatsOnlyWithFlag) {
    // A ZIP archive of one entry, made with libarchive.
    struct archive* a = archive_write_new();
    archive_write_set_format_zip(a);
    std::vector<unsigned char> buffer(4096);
    std::size_t used = 0;
    archive_write_open_memory(a, buffer.data(), buffer.size(), &used);
    struct archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, "z");
    archive_entry_set_filetype(entry, AE_IFREG);
    archive_entry_set_size(entry, 3);
    archive_write_header(a, entry);
    archive_write_data(a, "zip", 3);
    archive_entry_free(entry);
    archive_write_close(a);
    archive_write_free(a);
    const platform::Data zip(buffer.begin(), buffer.begin() + static_cast<long>(used));

    platform::Error error;
    EXPECT_FALSE(VTImmutableMemoryArchive::archiveForReadingFromData(zip, 0, &error));
    EXPECT_EQ(error.code(), kVTArchiveErrorSetup);
    auto reader =
        VTImmutableMemoryArchive::archiveForReadingFromData(zip, kVTArchiveFlagAnyFormat, &error);
    ASSERT_TRUE(reader);
    EXPECT_EQ(entriesOf(*reader), (std::map<std::string, std::string>{{"z", "zip"}}));
}

TEST(VTArchiveTest, ExtractionRefusesHostileEntries) {
    struct Case {
        const char* what;
        std::vector<RawEntry> entries;
        bool tar;
    };
    const std::string longName = std::string(1500, 'd') + "/" + std::string(1499, 'f');
    const std::vector<Case> cases = {
        {"parent folder", {{"../x", AE_IFREG, "out"}}, false},
        {"nested parent folder", {{"a/../../x", AE_IFREG, "out"}}, false},
        {"absolute path", {{"/abs-x", AE_IFREG, "out"}}, false},
        {"link out, then through it",
         {{"l", AE_IFLNK, "", "../"}, {"l/x", AE_IFREG, "out"}},
         false},
        {"absolute link, then through it",
         {{"l", AE_IFLNK, "", "/tmp"}, {"l/x", AE_IFREG, "out"}},
         false},
        {"hard link", {{"h", AE_IFREG, "", "", "/etc/passwd"}}, true},
        {"fifo", {{"p", AE_IFIFO}}, false},
        {"character device", {{"c", AE_IFCHR}}, true},
        {"3000-byte path", {{longName, AE_IFREG, "out"}}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string destination = dir.file("dest/inner");
        fs::create_directories(destination);
        const platform::Data bytes = rawArchive(c.entries, c.tar);
        platform::Error error;
        auto reader = VTImmutableMemoryArchive::archiveForReadingFromData(
            bytes, c.tar ? std::uint64_t{kVTArchiveFlagAnyFormat} : 0, &error);
        ASSERT_TRUE(reader) << error.description();
        EXPECT_EQ(reader->extractToDirectory(destination, 0, nullptr, &error), -1);
        EXPECT_EQ(error.code(), kVTArchiveErrorRead) << error.description();
        // Nothing landed beside the destination, nor at the absolute path.
        std::set<std::string> outside;
        for (const auto& item : fs::directory_iterator(dir.file("dest")))
            outside.insert(item.path().filename().string());
        EXPECT_EQ(outside, std::set<std::string>{"inner"});
        EXPECT_FALSE(fs::exists("/abs-x"));
        EXPECT_FALSE(fs::exists("/tmp/x") && readText("/tmp/x") == "out");
    }
}

TEST(VTArchiveTest, ExtractionWritesThroughALinkOnlyWhereItLeadsInside) {
    // A later entry below a link that stays inside goes where the link leads.
    TempDir dir;
    const platform::Data bytes = rawArchive(
        {{"d/keep", AE_IFREG, "in"}, {"l", AE_IFLNK, "", "d"}, {"l/x", AE_IFREG, "out"}}, false);
    platform::Error error;
    auto reader = VTImmutableMemoryArchive::archiveForReadingFromData(bytes, 0, &error);
    EXPECT_EQ(reader->extractToDirectory(dir.path().string(), 0, nullptr, &error), 3);
    EXPECT_TRUE(fs::is_symlink(dir.file("l")));
    EXPECT_EQ(readText(dir.file("d/x")), "out");
}

TEST(VTArchiveTest, ExtractionResolvesEveryLinkInsideTheDestination) {
    for (const linkcases::Case& c : linkcases::cases()) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        linkcases::Site site(dir.file("top"));
        std::vector<RawEntry> entries;
        for (const auto& e : c.entries) {
            using E = linkcases::Entry;
            if (e.kind == E::Folder) entries.push_back({e.name, AE_IFDIR});
            if (e.kind == E::File) entries.push_back({e.name, AE_IFREG, e.value});
            if (e.kind == E::Link) entries.push_back({e.name, AE_IFLNK, "", e.value});
            if (e.kind == E::HardLink) entries.push_back({e.name, AE_IFREG, "", "", e.value});
        }
        // 7-Zip holds no hard links: those cases come in a tar archive.
        const platform::Data bytes = rawArchive(entries, c.hardLink);
        platform::Error error;
        auto reader = VTImmutableMemoryArchive::archiveForReadingFromData(
            bytes, c.hardLink ? std::uint64_t{kVTArchiveFlagAnyFormat} : 0, &error);
        ASSERT_TRUE(reader) << error.description();
        const auto extracted = reader->extractToDirectory(site.destination(), 0, nullptr, &error);
        if (extracted < 0) {
            EXPECT_EQ(error.code(), kVTArchiveErrorRead) << error.description();
        }
        site.expectOutcome(c, extracted < 0);
    }
}

TEST(VTArchiveTest, AFailedExtractionTakesBackWhatItMadeAndNothingElse) {
    TempDir dir;
    const std::string destination = dir.file("dest");
    dir.write("dest/kept/old", "old");
    const platform::Data bytes = rawArchive({{"kept/new", AE_IFREG, "new"},
                                             {"fresh/deeper/x", AE_IFREG, "x"},
                                             {"l1", AE_IFLNK, "", "."},
                                             {"Notes", AE_IFLNK, "", "l1/l1/../../secret.txt"}},
                                            false);
    platform::Error error;
    auto reader = VTImmutableMemoryArchive::archiveForReadingFromData(bytes, 0, &error);
    EXPECT_EQ(reader->extractToDirectory(destination, 0, nullptr, &error), -1);
    std::set<std::string> left;
    for (const auto& item : fs::recursive_directory_iterator(destination))
        left.insert(fs::relative(item.path(), destination).string());
    EXPECT_EQ(left, (std::set<std::string>{"kept", "kept/old"}));
    EXPECT_EQ(readText(destination + "/kept/old"), "old");
}

TEST(VTArchiveTest, ExtractionRestoresTimesUnlessOtherFlagsAreGiven) {
    TempDir dir;
    const std::string path = dir.write("old", "from long ago");
    const struct timespec times[2] = {{978307200, 0}, {978307200, 0}};  // 2001-01-01
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    platform::Error error;
    auto archive = VTMemoryArchive::archiveWithFlags(0, &error);
    ASSERT_TRUE(archive->addURL(path, &error));
    ASSERT_TRUE(archive->save(&error));
    const platform::Data bytes = archive->archiveData().contiguous();
    for (int options : {0, ARCHIVE_EXTRACT_PERM}) {
        const std::string destination = dir.file("out" + std::to_string(options));
        fs::create_directories(destination);
        auto reader = VTImmutableMemoryArchive::archiveForReadingFromData(bytes, 0, &error);
        ASSERT_EQ(reader->extractToDirectory(destination, options, nullptr, &error), 1);
        struct stat info;
        ASSERT_EQ(::stat((destination + "/old").c_str(), &info), 0);
        EXPECT_EQ(info.st_mtime == 978307200, options == 0) << options;
    }
}

TEST(VTArchiveTest, ExtractionCallsTheBlock) {
    TempDir dir;
    const std::string destination = dir.file("dest");
    fs::create_directories(destination);
    const platform::Data bytes = rawArchive(
        {{"skip", AE_IFREG, "s"}, {"keep", AE_IFREG, "k"}, {"sub/x", AE_IFREG, "x"}}, false);
    platform::Error error;
    auto reader = VTImmutableMemoryArchive::archiveForReadingFromData(bytes, 0, &error);
    std::vector<std::string> seen;
    EXPECT_EQ(reader->extractToDirectory(
                  "file://" + destination, 0,
                  [&](const char* path, const platform::Dictionary&) {
                      seen.push_back(path);
                      return fs::path(path).filename() != "skip";
                  },
                  &error),
              2);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0], fs::canonical(destination).string() + "/skip");
    EXPECT_FALSE(fs::exists(destination + "/skip"));
    EXPECT_EQ(readText(destination + "/sub/x"), "x");

    dir.write("file", "mine");
    auto third = VTImmutableMemoryArchive::archiveForReadingFromData(bytes, 0, &error);
    EXPECT_EQ(third->extractToDirectory(dir.file("file"), 0, nullptr, &error), -1);
    EXPECT_EQ(error.code(), kVTArchiveErrorDestination);
}
