// Root packing and writing archives in a folder another user can write: a
// child at uid 65534 plants links and files first; nothing of root's that
// they lead to may end up in an archive or be written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "VTSubmissionLib/Archive/VTArchive.h"
#include "support/TempDir.h"
#include "support/UnprivilegedChild.h"

namespace fs = std::filesystem;

namespace {

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Entry path -> bytes.
std::map<std::string, std::string> entriesOf(const platform::Data& bytes) {
    std::map<std::string, std::string> entries;
    auto reader = VTImmutableMemoryArchive::archiveForReadingFromData(bytes, 0, nullptr);
    if (!reader) return entries;
    for (;;) {
        std::optional<std::string> path;
        auto data = reader->dispatchDataForNextEntryWithPath(&path, nullptr, nullptr);
        if (!path) break;
        std::string text;
        if (data) {
            auto flat = data->contiguous();
            text.assign(flat.begin(), flat.end());
        }
        entries[*path] = text;
    }
    return entries;
}

// A root-only folder with root's secrets, and a sticky folder everyone
// writes to, where the other user has laid out their links.
struct SharedTree {
    testsupport::TempDir dir;
    std::string shared = dir.file("shared");
    std::string secret = dir.file("secret");

    SharedTree() {
        dir.write("secret/summary.vterr", "root's summary");
        dir.write("secret/data.vterr", "root's data");
        dir.write("secret/key", "root's key");
        ::chmod(secret.c_str(), 0700);
        testsupport::makeStickyFolder(dir.path(), shared);
        planted = testsupport::runUnprivileged([&] {
            const std::string tree = shared + "/tree";
            const int file = ::open((shared + "/out.7z").c_str(), O_WRONLY | O_CREAT, 0666);
            const bool ok = ::symlink(secret.c_str(), (shared + "/error").c_str()) == 0 &&
                            ::mkdir(tree.c_str(), 0755) == 0 && file >= 0 &&
                            ::write(file, "theirs", 6) == 6 &&
                            ::symlink("a", (tree + "/in").c_str()) == 0 &&
                            ::symlink((secret + "/key").c_str(), (tree + "/out").c_str()) == 0 &&
                            ::symlink("../../secret/key", (tree + "/up").c_str()) == 0;
            const int a = ::open((tree + "/a").c_str(), O_WRONLY | O_CREAT, 0644);
            return ok && a >= 0 && ::write(a, "theirs", 6) == 6 ? 0 : 1;
        });
    }
    int planted = -1;
};

}  // namespace

TEST(VTArchiveSharedFolder, RootPacksNothingAnotherUsersLinkLeadsTo) {
    if (::geteuid() != 0) GTEST_SKIP() << "the other user is played by a child at uid 65534";
    SharedTree t;
    ASSERT_EQ(t.planted, 0);

    // A file whose folder is the other user's link to root's folder.
    auto archive = VTMemoryArchive::archiveWithFlags(kVTArchiveFlagStore, nullptr);
    platform::Error error;
    EXPECT_FALSE(archive->addURL(t.shared + "/error/summary.vterr", &error));
    EXPECT_EQ(error.code(), kVTArchiveErrorAttributes);
    ASSERT_TRUE(error.underlyingError());
    EXPECT_EQ(error.underlyingError()->code(), ELOOP);

    // Their tree: a link inside it gives its file; one that leads out (to
    // root's file, directly or by "..") is left out.
    EXPECT_EQ(archive->addHierarchyAtURL(t.shared + "/tree", 0, &error), 2u) << error.description();
    ASSERT_TRUE(archive->save(&error)) << error.description();
    const std::map<std::string, std::string> expected = {{"a", "theirs"}, {"in", "theirs"}};
    EXPECT_EQ(entriesOf(archive->archiveData().contiguous()), expected);
}

TEST(VTArchiveSharedFolder, RootWritesNoArchiveIntoAnotherUsersFileOrAHardLink) {
    if (::geteuid() != 0) GTEST_SKIP() << "the other user is played by a child at uid 65534";
    SharedTree t;
    ASSERT_EQ(t.planted, 0);
    // What the other user could do where fs.protected_hardlinks is 0.
    ASSERT_EQ(::link((t.secret + "/key").c_str(), (t.shared + "/linked.7z").c_str()), 0);
    for (const char* name : {"out.7z", "linked.7z"}) {
        SCOPED_TRACE(name);
        platform::Error error;
        EXPECT_FALSE(VTFileArchive::archiveWithDestination(t.shared + "/" + name, 0, &error));
        EXPECT_EQ(error.code(), kVTArchiveErrorRead);
    }
    EXPECT_EQ(readText(t.shared + "/out.7z"), "theirs");
    EXPECT_EQ(readText(t.secret + "/key"), "root's key");

    // A new file of root's own is written, and a failed one goes again.
    platform::Error error;
    auto mine = VTFileArchive::archiveWithDestination(t.shared + "/mine.7z", 0, &error);
    ASSERT_TRUE(mine) << error.description();
    EXPECT_TRUE(mine->addFile(t.secret + "/key", &error)) << error.description();
    ASSERT_TRUE(mine->save(&error));
    struct stat st {};
    ASSERT_EQ(::lstat((t.shared + "/mine.7z").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    auto discarded = VTFileArchive::archiveWithDestination(t.shared + "/gone.7z", 0, &error);
    ASSERT_TRUE(discarded);
    discarded->discard();
    discarded.reset();
    EXPECT_FALSE(fs::exists(t.shared + "/gone.7z"));
}
