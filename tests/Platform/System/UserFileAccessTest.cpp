#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "Platform/System/UserFileAccess.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using platform::UserIdentity;

// A user's rights count the folders on the way and the user's groups, and
// the rest of the process keeps root's.
TEST(UserFileAccessTest, OpensAsTheUserWouldWithItsGroupsAndLeavesOtherThreadsAlone) {
    if (geteuid() != 0) GTEST_SKIP() << "taking another user's rights needs root";
    testsupport::TempDir dir;
    chmod(dir.path().c_str(), 0755);
    const gid_t group = 4242;
    const std::string hidden = dir.write("hidden/file", "x");  // 0644 in a 0700 folder
    chmod(dir.file("hidden").c_str(), 0700);
    const std::string grouped = dir.write("grouped/file", "x");  // only the group may read
    chown(grouped.c_str(), 0, group);
    chmod(grouped.c_str(), 0640);
    const std::string open = dir.write("open/file", "x");
    fs::create_symlink(open, dir.file("open/link"));

    std::vector<gid_t> before(getgroups(0, nullptr));
    getgroups(int(before.size()), before.data());
    const UserIdentity nobody{65534, 65534, {}}, member{65534, 65534, {group}};
    struct Case {
        const char* what;
        UserIdentity user;
        std::string path;
        int flags;
        bool opens;
    } cases[] = {
        {"file in a root-only folder", nobody, hidden, O_RDONLY, false},
        {"readable file", nobody, open, O_RDONLY, true},
        {"not writable", nobody, open, O_WRONLY, false},
        {"group file, not a member", nobody, grouped, O_RDONLY, false},
        {"group file, a member", member, grouped, O_RDONLY, true},
        {"root", UserIdentity{0, 0, {}}, hidden, O_RDONLY, true},
        {"link at the end, not followed", nobody, dir.file("open/link"), O_RDONLY | O_NOFOLLOW,
         false},
    };
    for (const Case& c : cases) {
        platform::Error error;
        const int fd = platform::openAsUser(c.user, c.path, c.flags, &error);
        EXPECT_EQ(fd >= 0, c.opens) << c.what << ": " << error.description();
        if (fd >= 0) close(fd);
        if (!c.opens) {
            EXPECT_FALSE(error.empty()) << c.what;
        }
    }
    // This thread still reads as root, and the process's groups are unchanged.
    EXPECT_EQ(access(hidden.c_str(), R_OK), 0);
    std::vector<gid_t> after(getgroups(0, nullptr));
    getgroups(int(after.size()), after.data());
    EXPECT_EQ(after, before);
}

}  // namespace
