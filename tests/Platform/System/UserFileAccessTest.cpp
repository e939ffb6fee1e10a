#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "Platform/System/UserFileAccess.h"
#include "support/ParkedRootProcess.h"
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

// The calling thread's effective capabilities, both words.
std::uint64_t effectiveCapabilities() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0) return ~std::uint64_t(0);
    return data[0].effective | (std::uint64_t(data[1].effective) << 32);
}

// A root process whose working folder and root lie below a folder only root
// may enter: each of its /proc links to a file there is refused to another
// user. Two things close that road, each on its own: the open never takes a
// magic link, and the thread that acts for the user holds no capability
// (CAP_SYS_PTRACE would open another process's links).
TEST(UserFileAccessTest, NoProcLinkOfARootProcessLeadsAnotherUserPastAClosedFolder) {
    if (geteuid() != 0) GTEST_SKIP() << "taking another user's rights needs root";
    testsupport::TempDir dir;
    chmod(dir.path().c_str(), 0755);
    const std::string secret = dir.write("closed/open/secret", "root's");  // 0644
    chmod(dir.file("closed").c_str(), 0700);
    testsupport::ParkedRootProcess parked(dir.file("closed/open"), {"secret"});
    ASSERT_TRUE(parked.valid());
    const UserIdentity nobody{65534, 65534, {}};

    std::vector<std::string> paths = parked.spellings("secret", 0);
    paths.push_back(secret);
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        // The spelling leads to the file: root reaches it, though not
        // through a magic link when it says so.
        const int asRoot = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_GE(asRoot, 0);
        if (asRoot >= 0) close(asRoot);
        if (path != secret) {
            const int guarded = platform::openWithoutMagicLinks(AT_FDCWD, path, O_RDONLY);
            EXPECT_TRUE(guarded < 0 && errno == ELOOP) << guarded;
            if (guarded >= 0) close(guarded);
        }

        platform::Error error;
        const int fd = platform::openAsUser(nobody, path, O_RDONLY, &error);
        EXPECT_LT(fd, 0);
        if (fd >= 0) close(fd);
        EXPECT_FALSE(error.empty());

        // Without the magic-link guard, the missing capabilities alone refuse it.
        int plain = -2;
        std::uint64_t capabilities = 1;
        ASSERT_TRUE(platform::withUserFileAccess(
            nobody,
            [&] {
                capabilities = effectiveCapabilities();
                plain = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            },
            &error));
        EXPECT_EQ(capabilities, 0u);
        EXPECT_LT(plain, 0);
        if (plain >= 0) close(plain);
    }
    // The caller's thread kept its capabilities.
    EXPECT_NE(effectiveCapabilities(), 0u);
}

TEST(UserFileAccessTest, AUsersIdentityComesFromTheUserDatabase) {
    const UserIdentity root = platform::userIdentity(0);
    EXPECT_EQ(root.uid, 0u);
    EXPECT_EQ(root.gid, 0u);
    // An id no account has gets the overflow group and no other.
    const UserIdentity stranger = platform::userIdentity(3999999);
    EXPECT_EQ(stranger.uid, 3999999u);
    EXPECT_EQ(stranger.gid, 65534u);
    EXPECT_TRUE(stranger.groups.empty());
}

}  // namespace
