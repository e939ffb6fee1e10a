#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>

#include "VTErrorCreationLib/Utilities/PelRmDir.h"
#include "VTErrorCreationLib/Utilities/VTCoding.h"
#include "VTErrorCreationLib/Utilities/VTErrorUtilities.h"
#include "VTErrorCreationLib/Utilities/VTExtendedAttributes.h"
#include "VTErrorCreationLib/Utilities/VTFileManagerUtilities.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

using platform::Value;

// Sets or clears the immutable flag; false when the file system or the
// privileges do not allow it.
bool setImmutable(const std::string& path, bool on) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return ok;
}

// Clears the flag again however the test ends, so the folder can go.
struct ImmutableGuard {
    std::string path;
    ~ImmutableGuard() { setImmutable(path, false); }
};

TEST(PelRmDir, RemovesTreesWithSpecialFilesAndLinks) {
    testsupport::TempDir dir;
    std::string root = dir.file("tree");
    dir.write("tree/a/b/file", "x");
    dir.write("outside", "keep");
    ASSERT_EQ(::mkfifo(dir.file("tree/a/fifo").c_str(), 0600), 0);
    fs::create_symlink(dir.file("outside"), dir.file("tree/a/link"));
    fs::create_symlink(dir.file("nowhere"), dir.file("tree/dangling"));
    int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string sockPath = dir.file("tree/s");
    ASSERT_LT(sockPath.size(), sizeof addr.sun_path);
    std::copy(sockPath.begin(), sockPath.end(), addr.sun_path);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(sock);

    EXPECT_EQ(PelRmDir(root.c_str(), false), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(root)));
    EXPECT_TRUE(fs::exists(dir.file("outside")));  // links are not followed
}

TEST(PelRmDir, ForceClearsTheImmutableFlag) {
    testsupport::TempDir dir;
    std::string root = dir.file("tree");
    std::string locked = dir.write("tree/sub/locked", "x");
    dir.write("tree/a-first", "x");
    ImmutableGuard guard{locked};
    if (!setImmutable(locked, true))
        GTEST_SKIP() << "the file system or the privileges do not allow immutable files";

    EXPECT_EQ(PelRmDir(root.c_str(), false), EPERM);
    EXPECT_TRUE(fs::exists(locked));
    EXPECT_EQ(PelRmDir(root.c_str(), true), 0);
    EXPECT_FALSE(fs::exists(root));
}

TEST(VTFileManagerUtilities, RemovesFilesFoldersAndReportsMissingPaths) {
    testsupport::TempDir dir;
    std::string file = dir.write("plain", "x");
    platform::Error error;
    EXPECT_TRUE(VTFileManagerUtilities::removeDirectoryHierarchyAtPath(file, false, &error));
    EXPECT_FALSE(fs::exists(file));
    dir.write("tree/x/y", "z");
    EXPECT_TRUE(
        VTFileManagerUtilities::removeDirectoryHierarchyAtPath(dir.file("tree"), false, &error));
    EXPECT_FALSE(fs::exists(dir.file("tree")));
    EXPECT_FALSE(
        VTFileManagerUtilities::removeDirectoryHierarchyAtPath(dir.file("tree"), false, &error));
    EXPECT_EQ(error.domain(), platform::kCocoaErrorDomain);
    EXPECT_EQ(error.code(), 4);
    EXPECT_EQ(*error.userInfoValue(platform::kFilePathErrorKey), Value(dir.file("tree")));
}

TEST(VTFileManagerUtilities, MakesPrivateTemporaryFoldersAndCountsEntries) {
    testsupport::TempDir dir;
    platform::Error error;
    auto made = VTFileManagerUtilities::createTemporaryDirectoryAtPath(dir.path().string(), &error);
    ASSERT_TRUE(made) << error.description();
    EXPECT_EQ(fs::path(*made).parent_path(), dir.path());
    EXPECT_EQ(fs::path(*made).filename().string().rfind("vantrel.", 0), 0u);
    EXPECT_EQ(fs::path(*made).filename().string().size(), 14u);
    EXPECT_EQ(fs::status(*made).permissions() & fs::perms::all, fs::perms::owner_all);

    EXPECT_FALSE(
        VTFileManagerUtilities::createTemporaryDirectoryAtPath(dir.file("missing"), &error));
    EXPECT_EQ(error.domain(), platform::kPOSIXErrorDomain);
    EXPECT_EQ(error.code(), ENOENT);

    dir.write("count/a", "");
    dir.write("count/b/c", "");
    EXPECT_EQ(VTFileManagerUtilities::countFilesInDirectory(dir.file("count"), &error), 2);
    EXPECT_EQ(VTFileManagerUtilities::countFilesInDirectory(dir.file("nope"), &error), -1);
    EXPECT_EQ(error.code(), ENOENT);
}

TEST(VTFileManagerUtilities, CopiesWithASizeLimit) {
    testsupport::TempDir dir;
    std::string source = dir.write("source", std::string(2000, 'a'));
    std::string target = dir.file("copy");
    platform::Error error;

    EXPECT_FALSE(VTFileManagerUtilities::copyItemAtURL(source, target,
                                                       {{"NSFileSize", Value(1000)}}, &error));
    EXPECT_EQ(error.domain(), VTErrorDomain);
    EXPECT_EQ(error.code(), 5003);
    EXPECT_FALSE(fs::exists(target));

    EXPECT_TRUE(VTFileManagerUtilities::copyItemAtURL(
        source, target, {{"NSFileSize", Value(1000)}, {"VTFileCopyAttributeTruncate", Value(true)}},
        &error));
    EXPECT_EQ(fs::file_size(target), 1000u);

    EXPECT_TRUE(VTFileManagerUtilities::copyItemAtURL(
        source, target, {{"NSFileSize", Value(5000)}, {"NSFilePosixPermissions", Value(0640)}},
        &error));
    EXPECT_EQ(fs::file_size(target), 2000u);
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    EXPECT_FALSE(VTFileManagerUtilities::copyItemAtURL(dir.file("none"), target, {}, &error));
    EXPECT_EQ(error.code(), 260);
    EXPECT_FALSE(
        VTFileManagerUtilities::copyItemAtURL(source, dir.file("no/such/copy"), {}, &error));
    EXPECT_EQ(error.code(), 260);
    EXPECT_FALSE(VTFileManagerUtilities::copyItemAtURL(source, "", {}, &error));
    EXPECT_EQ(error.code(), EFAULT);

    // A link at the destination is not followed when asked.
    fs::create_symlink(dir.file("elsewhere"), dir.file("link"));
    EXPECT_FALSE(VTFileManagerUtilities::copyItemAtURL(
        source, dir.file("link"), {{"VTFileCopyAttributeNoFollowDst", Value(true)}}, &error));
    EXPECT_FALSE(fs::exists(dir.file("elsewhere")));
}

TEST(VTFileManagerUtilities, PacksExtendedAttributesBesideTheCopy) {
    testsupport::TempDir dir;
    std::string source = dir.write("source", "data");
    if (::setxattr(source.c_str(), "user.test", "v", 1, 0) != 0)
        GTEST_SKIP() << "the file system does not store user extended attributes";
    platform::Error error;
    ASSERT_TRUE(VTFileManagerUtilities::copyItemAtURL(
        source, dir.file("copy"), {{"VTFileCopyAttributePack", Value(true)}}, &error))
        << error.description();
    EXPECT_TRUE(VTExtendedAttributes::hasExtendedAttribute(dir.file("._copy"), "test"));
    EXPECT_FALSE(VTExtendedAttributes::hasExtendedAttribute(dir.file("copy"), "test"));
}

TEST(VTExtendedAttributes, StoresPropertyListValues) {
    testsupport::TempDir dir;
    std::string file = dir.write("f", "");
    if (::setxattr(file.c_str(), "user.probe", "", 0, 0) != 0)
        GTEST_SKIP() << "the file system does not store user extended attributes";
    ::removexattr(file.c_str(), "user.probe");
    platform::Error error;

    Value structured(platform::Dictionary{{"n", Value(0xF000000000000000ull)}, {"s", Value("x")}});
    EXPECT_TRUE(VTExtendedAttributes::setExtendedAttributeValue(file, structured, "com.pelgrave.a",
                                                                &error));
    EXPECT_EQ(
        *VTExtendedAttributes::valueOfExtendedAttribute(file, "com.pelgrave.a", &error)->get("s"),
        Value("x"));
    EXPECT_TRUE(VTExtendedAttributes::hasExtendedAttribute(file, "com.pelgrave.a"));
    EXPECT_FALSE(VTExtendedAttributes::hasExtendedAttribute(file, ""));

    // Not a property list.
    ASSERT_TRUE(
        VTExtendedAttributes::setExtendedAttributeData(file, {'r', 'a', 'w'}, "raw", &error));
    EXPECT_FALSE(VTExtendedAttributes::valueOfExtendedAttribute(file, "raw", &error));
    EXPECT_EQ(*error.userInfoValue(VTExtendedAttributeNameKey), Value("raw"));
    EXPECT_FALSE(VTExtendedAttributes::extendedAttributes(file, &error));
    EXPECT_EQ(error.code(), ENAMETOOLONG);
    ASSERT_TRUE(error.underlyingError());
    auto partial = VTExtendedAttributes::extendedAttributes(file, nullptr);
    ASSERT_TRUE(partial);

    EXPECT_FALSE(VTExtendedAttributes::dataForExtendedAttribute(file, "absent", &error));
    EXPECT_EQ(error.code(), ENODATA);
    EXPECT_TRUE(VTExtendedAttributes::removeExtendedAttribute(file, "absent", &error));
    EXPECT_TRUE(VTExtendedAttributes::removeExtendedAttribute(file, "raw", &error));
    auto all = VTExtendedAttributes::extendedAttributes(file, &error);
    ASSERT_TRUE(all);
    EXPECT_EQ(all->size(), 1u);
    EXPECT_EQ(all->at("com.pelgrave.a"), structured);
}

TEST(VTExtendedAttributes, ReportsFailedEntriesOfAMultiWrite) {
    testsupport::TempDir dir;
    std::string file = dir.write("f", "");
    if (::setxattr(file.c_str(), "user.b", "x", 1, 0) != 0)
        GTEST_SKIP() << "the file system does not store user extended attributes";
    platform::Dictionary attributes{
        {"a", Value("text")},
        {"b", Value(nullptr)},
        {"c", Value(platform::Array{Value(nullptr)})},  // holds no property-list value
    };
    platform::Error error;
    EXPECT_FALSE(VTExtendedAttributes::setExtendedAttributes(file, attributes, &error));
    EXPECT_EQ(error.domain(), VTUtilitiesErrorDomain);
    EXPECT_EQ(error.code(), 0);
    const auto* failures = error.errorsForKey(VTUnderlyingErrorsKey);
    ASSERT_TRUE(failures);
    ASSERT_EQ(failures->size(), 1u);
    EXPECT_EQ(failures->front().code(), 3852);
    EXPECT_EQ(failures->front().localizedDescription(), "NSArray cannot be serialized to plist");
    EXPECT_EQ(*VTExtendedAttributes::valueOfExtendedAttribute(file, "a", nullptr), Value("text"));
    EXPECT_FALSE(VTExtendedAttributes::hasExtendedAttribute(file, "b"));

    // A caller without an error out-parameter still learns of the failure.
    EXPECT_FALSE(VTExtendedAttributes::setExtendedAttributes(file, attributes, nullptr));
    EXPECT_TRUE(VTExtendedAttributes::setExtendedAttributes(file, {}, nullptr));
}

}  // namespace
