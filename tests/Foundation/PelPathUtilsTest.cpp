#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "Foundation/PelPathUtils.h"
#include "support/TempDir.h"

namespace {

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void setMtime(const std::string& path, time_t sec, long nsec) {
    timespec times[2] = {{sec, nsec}, {sec, nsec}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

platform::Value package(const std::string& path) {
    return platform::Dictionary{{"pkgName", platform::Value(path)}};
}

class PelPathUtilsTest : public ::testing::Test {
  protected:
    PelPathUtils& utils = PelPathUtils::sharedPathUtils();
    testsupport::TempDir dir;
};

}  // namespace

TEST_F(PelPathUtilsTest, AbsentAndMissingPaths) {
    const std::string missing = dir.file("missing");
    const PelOptionalPath none;
    platform::Error error("untouched", 1);

    EXPECT_FALSE(utils.fileExistsAtPath(none));
    EXPECT_FALSE(utils.fileExistsAtPath(missing));
    EXPECT_FALSE(utils.deleteFileAtPath(none).has_value());
    EXPECT_FALSE(utils.createDirAtPath(none).has_value());
    EXPECT_FALSE(utils.createFileAtPath(none));
    EXPECT_FALSE(utils.renameFileAtPath(none, missing));
    EXPECT_FALSE(utils.renameFileAtPath(missing, none));
    EXPECT_FALSE(utils.isWritableFileAtPath(none));
    EXPECT_EQ(utils.sizeOfFileAtPath(none, &error), 0u);
    EXPECT_EQ(utils.sizeOfFileAtPath(missing, &error), 0u);
    EXPECT_FALSE(utils.modifyTimeStampOfFile(none, missing, &error));
    EXPECT_EQ(error.domain(), "untouched");  // none of these is an error

    auto deleted = utils.deleteFileAtPath(missing);
    ASSERT_TRUE(deleted.has_value());
    EXPECT_EQ(deleted->domain(), platform::kCocoaErrorDomain);
    EXPECT_EQ(deleted->code(), platform::kFileNoSuchFileError);
    ASSERT_NE(deleted->underlyingError(), nullptr);
    EXPECT_EQ(deleted->underlyingError()->code(), ENOENT);

    // A failed rename of a missing source creates nothing.
    EXPECT_FALSE(utils.renameFileAtPath(missing, dir.file("to")));
    EXPECT_FALSE(utils.fileExistsAtPath(dir.file("to")));
}

TEST_F(PelPathUtilsTest, FilesExistInArrayOfDictionariesAndStrings) {
    auto a = dir.write("a.pkg", "a");
    auto b = dir.write("b.pkg", "b");
    using platform::Array;
    using platform::Value;
    struct {
        Value items;
        bool want;
    } cases[] = {
        {Array{package(a), Value(b)}, true},
        {Array{}, false},
        {Array{package(a), Value(dir.file("gone"))}, false},
        {Array{package(dir.file("gone")), Value(a)}, false},
        {Array{Value(platform::Dictionary{{"other", Value(a)}})}, false},
        {Array{Value(a), Value(3)}, false},
        {Value(a), false},  // not an array
        {Value(), false},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(utils.filesExistAtPathInArray(cases[i].items), cases[i].want) << "case " << i;
}

TEST_F(PelPathUtilsTest, CreateDeleteAndSize) {
    auto nested = dir.file("x/y/z");
    EXPECT_FALSE(utils.createDirAtPath(nested).has_value());
    EXPECT_FALSE(utils.createDirAtPath(nested).has_value());  // existing folder is fine
    auto file = dir.write("x/file", "12345");
    auto onFile = utils.createDirAtPath(file);
    ASSERT_TRUE(onFile.has_value());
    EXPECT_EQ(onFile->code(), platform::kFileWriteFileExistsError);

    EXPECT_EQ(utils.sizeOfFileAtPath(file, nullptr), 5u);
    EXPECT_TRUE(utils.createFileAtPath(file));
    EXPECT_EQ(utils.sizeOfFileAtPath(file, nullptr), 0u);
    EXPECT_TRUE(utils.createFileAtPath(dir.file("x/new")));
    EXPECT_TRUE(utils.fileExistsAtPath(dir.file("x/new")));
    EXPECT_FALSE(utils.createFileAtPath(dir.file("no/such/folder/file")));

    EXPECT_FALSE(utils.deleteFileAtPath(dir.file("x")).has_value());
    EXPECT_FALSE(utils.fileExistsAtPath(dir.file("x")));
}

TEST_F(PelPathUtilsTest, RenameIsCopyThenDelete) {
    auto from = dir.write("from.txt", "payload");
    chmod(from.c_str(), 0640);
    setMtime(from, 1000000000, 123456789);
    ASSERT_TRUE(utils.renameFileAtPath(from, dir.file("to.txt")));
    EXPECT_FALSE(utils.fileExistsAtPath(from));
    EXPECT_EQ(contents(dir.file("to.txt")), "payload");
    struct stat st {};
    ASSERT_EQ(stat(dir.file("to.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);

    // Folders move with their contents and links stay links.
    dir.write("tree/sub/f", "deep");
    ASSERT_EQ(symlink("sub/f", dir.file("tree/link").c_str()), 0);
    ASSERT_TRUE(utils.renameFileAtPath(dir.file("tree"), dir.file("moved")));
    EXPECT_EQ(contents(dir.file("moved/sub/f")), "deep");
    char target[32] = {};
    EXPECT_EQ(readlink(dir.file("moved/link").c_str(), target, sizeof target - 1), 5);
    EXPECT_STREQ(target, "sub/f");
    EXPECT_FALSE(utils.fileExistsAtPath(dir.file("tree")));
}

TEST_F(PelPathUtilsTest, RenameOntoAnExistingDestinationKeepsBoth) {
    auto from = dir.write("from.txt", "new");
    auto to = dir.write("to.txt", "old");
    EXPECT_FALSE(utils.renameFileAtPath(from, to));
    EXPECT_EQ(contents(from), "new");
    EXPECT_EQ(contents(to), "old");

    // A folder cannot be moved into itself; nothing is left behind.
    dir.write("loop/f", "x");
    EXPECT_FALSE(utils.renameFileAtPath(dir.file("loop"), dir.file("loop/inner")));
    EXPECT_FALSE(utils.fileExistsAtPath(dir.file("loop/inner")));
    EXPECT_TRUE(utils.fileExistsAtPath(dir.file("loop/f")));
}

TEST_F(PelPathUtilsTest, ModificationTimes) {
    auto a = dir.write("a", "");
    auto b = dir.write("b", "");
    struct {
        time_t aSec;
        long aNsec;
        time_t bSec;
        long bNsec;
        bool want;
    } cases[] = {
        {1000, 0, 1000, 0, true},    // equal
        {2000, 0, 1000, 0, true},    // newer
        {1000, 0, 2000, 0, false},   // older
        {1000, 10, 1000, 5, true},   // newer by nanoseconds
        {1000, 5, 1000, 10, false},  // older by nanoseconds
    };
    for (const auto& c : cases) {
        setMtime(a, c.aSec, c.aNsec);
        setMtime(b, c.bSec, c.bNsec);
        EXPECT_EQ(utils.modifyTimeStampOfFile(a, b, nullptr), c.want) << c.aSec << "." << c.aNsec;
    }
    EXPECT_FALSE(utils.modifyTimeStampOfFile(a, dir.file("missing"), nullptr));
}

TEST_F(PelPathUtilsTest, CopyItemIntoFolder) {
    auto source = dir.write("src/item.bin", "data");
    auto folder = dir.file("dest");
    platform::Error error("untouched", 1);

    // Preconditions not met: false, and an empty error.
    EXPECT_FALSE(utils.copyItemAtPath(source, folder, &error));
    EXPECT_TRUE(error.empty());
    ASSERT_FALSE(utils.createDirAtPath(folder).has_value());
    error = platform::Error("untouched", 1);
    EXPECT_FALSE(utils.copyItemAtPath(dir.file("src/none"), folder, &error));
    EXPECT_TRUE(error.empty());

    EXPECT_TRUE(utils.copyItemAtPath(source, folder + "/", &error));
    EXPECT_EQ(contents(dir.file("dest/item.bin")), "data");
    EXPECT_TRUE(utils.fileExistsAtPath(source));

    EXPECT_FALSE(utils.copyItemAtPath(source, folder, &error));
    EXPECT_EQ(error.domain(), platform::kCocoaErrorDomain);
    EXPECT_EQ(error.code(), platform::kFileWriteFileExistsError);
}

// The root user may write anywhere, so the read-only case runs in a child
// that has given up root.
TEST_F(PelPathUtilsTest, CopyIntoReadOnlyFolderIsNotTried) {
    auto source = dir.write("item", "data");
    auto folder = dir.file("readonly");
    ASSERT_EQ(mkdir(folder.c_str(), 0555), 0);
    chmod(dir.path().c_str(), 0755);
    chmod(source.c_str(), 0644);

    auto check = [&]() -> int {
        if (utils.isWritableFileAtPath(folder)) return 1;
        platform::Error error("untouched", 1);
        if (utils.copyItemAtPath(source, folder, &error)) return 2;
        if (!error.empty()) return 3;
        if (utils.fileExistsAtPath(folder + "/item")) return 4;
        return 0;
    };
    if (geteuid() != 0) {
        EXPECT_EQ(check(), 0);
        return;
    }
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
        _exit(check());
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 100) GTEST_SKIP() << "cannot drop root privileges to uid 65534 here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
