#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "Platform/System/PrivateFolder.h"
#include "support/TempDir.h"
#include "support/UnprivilegedChild.h"

namespace fs = std::filesystem;
using platform::PrivateFolder;

TEST(PrivateFolder, IsOnlyItsOwnersAndGoesWithEverythingInIt) {
    testsupport::TempDir dir;
    std::string path;
    {
        const mode_t old = ::umask(077);
        PrivateFolder folder;
        platform::Error error;
        ASSERT_TRUE(folder.create(dir.file("var/tmp"), "work.", &error)) << error.description();
        ::umask(old);
        path = folder.path();
        EXPECT_EQ(fs::path(path).parent_path(), fs::path(dir.file("var/tmp")));
        EXPECT_EQ(fs::path(path).filename().string().rfind("work.", 0), 0u);
        struct stat st {};
        ASSERT_EQ(::lstat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0700u);
        fs::create_directories(path + "/sub");
        std::ofstream(path + "/sub/file") << "x";
        EXPECT_FALSE(folder.create(dir.file("var/tmp"), "again.", &error));
        EXPECT_EQ(error.code(), EEXIST);
    }
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(fs::is_empty(dir.file("var/tmp")));
}

TEST(PrivateFolder, RootMakesItOnlyBelowFoldersNoOtherUserCanChange) {
    if (::geteuid() != 0) GTEST_SKIP() << "the other user is played by a child at uid 65534";
    testsupport::TempDir dir;
    const std::string shared = dir.file("shared");
    ASSERT_TRUE(testsupport::makeStickyFolder(dir.path(), shared));
    ASSERT_TRUE(testsupport::plantAsOtherUser(shared, "theirs", ""));
    PrivateFolder refused, taken;
    platform::Error error;
    EXPECT_FALSE(refused.create(shared + "/theirs", "work.", &error));
    EXPECT_EQ(error.code(), EPERM);
    EXPECT_TRUE(fs::is_empty(shared + "/theirs"));
    EXPECT_TRUE(taken.create(shared, "work.", &error)) << "a sticky folder of root's";
}
