// Root observing and posting distributed notifications in the folder every
// user shares: another user (a child at uid 65534) makes the folder first,
// plants a link in its place, or swaps their socket for a link while root
// posts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "Platform/Dispatch/DistributedNotification.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/System/Paths.h"
#include "Platform/System/SharedFolder.h"
#include "support/FileMode.h"
#include "support/TempDir.h"
#include "support/UnprivilegedChild.h"

namespace fs = std::filesystem;
using testsupport::modeOf;
using namespace platform;

namespace {

// A path root whose "/tmp" is sticky and writable by everyone, as the real
// one is.
struct SharedRoot {
    testsupport::TempDir temp;
    Paths::ScopedRoot root{temp.path().string()};
    std::string tmp = temp.file("tmp");
    SharedRoot() { testsupport::makeStickyFolder(temp.path(), tmp); }
};

// A datagram socket bound at `path`, with `mode`.
int boundSocket(const std::string& path, mode_t mode) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(path.c_str(), mode) != 0)
        return -1;
    return fd;
}

bool hasDatagram(int fd) {
    char byte;
    return ::recv(fd, &byte, 1, MSG_DONTWAIT | MSG_TRUNC) >= 0;
}

}  // namespace

TEST(DistributedNotificationSharedFolder, RootObservesOnlyInAFolderNoOtherUserCanChange) {
    if (::geteuid() != 0) GTEST_SKIP() << "the other user is played by a child at uid 65534";
    enum class Plant { Nothing, TheirFolder, TheirLink };
    struct Case {
        const char* what;
        Plant plant;
        int error;
    } cases[] = {{"the folder is missing", Plant::Nothing, 0},
                 {"another user made the folder", Plant::TheirFolder, EPERM},
                 {"another user's link to root's folder", Plant::TheirLink, ELOOP}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SharedRoot root;
        const std::string target = root.temp.file("target");
        ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
        const std::string folder = DistributedNotificationCenter::folder();
        ASSERT_EQ(testsupport::runUnprivileged([&] {
                      if (c.plant == Plant::TheirFolder) return ::mkdir(folder.c_str(), 0777);
                      if (c.plant == Plant::TheirLink)
                          return ::symlink(target.c_str(), folder.c_str());
                      return 0;
                  }),
                  0);

        const mode_t old = ::umask(077);
        DistributedNotificationCenter center;
        Error error;
        auto token = center.addObserver(
            "n", std::nullopt, SerialQueue::create("observer"), [](const Notification&) {}, &error);
        ::umask(old);
        const Error* cause = error.empty() ? nullptr : &error;
        EXPECT_EQ(cause ? static_cast<int>(cause->code()) : 0, c.error) << error.description();
        EXPECT_TRUE(fs::is_empty(target));
        EXPECT_EQ(modeOf(target), 0700u);
        if (c.plant == Plant::TheirFolder) {
            EXPECT_TRUE(fs::is_empty(folder));
        } else if (c.plant == Plant::Nothing) {
            EXPECT_EQ(modeOf(folder), 01777u) << "whatever the umask";
            int sockets = 0;
            for (const auto& entry : fs::directory_iterator(folder)) {
                EXPECT_EQ(modeOf(entry.path().string()), 0666u) << "every user may post to it";
                ++sockets;
            }
            EXPECT_EQ(sockets, 1);
        }
        center.removeObserver(token);
    }
}

// Another user swaps their socket, once root has seen it is one, for a link
// to a socket only root may write to. Root posts to another user's socket
// with their rights alone, so never reaches root's; their real socket still
// gets the notification.
TEST(DistributedNotificationSharedFolder, RootPostsToAnotherUsersSocketWithTheirRightsOnly) {
    if (::geteuid() != 0) GTEST_SKIP() << "the other user is played by a child at uid 65534";
    SharedRoot root;
    const std::string folder = DistributedNotificationCenter::folder();
    ASSERT_EQ(::mkdir(folder.c_str(), 0), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 01777), 0);
    const std::string privateFolder = root.temp.file("private");
    ASSERT_EQ(::mkdir(privateFolder.c_str(), 0711), 0);
    const int rootOnly = boundSocket(privateFolder + "/root.sock", 0600);
    ASSERT_GE(rootOnly, 0);
    const int theirs = boundSocket(folder + "/theirs.sock", 0666);
    ASSERT_GE(theirs, 0);
    ASSERT_EQ(::lchown((folder + "/theirs.sock").c_str(), testsupport::kUnprivilegedId,
                       testsupport::kUnprivilegedId),
              0);
    const std::string swapped = folder + "/swapped.sock", link = folder + "/.link";
    ASSERT_EQ(testsupport::runUnprivileged([&] {
                  return ::mknod(swapped.c_str(), S_IFSOCK | 0666, 0) == 0 &&
                                 ::symlink((privateFolder + "/root.sock").c_str(), link.c_str()) ==
                                     0
                             ? 0
                             : 1;
              }),
              0);
    SharedFolder::setStepHookForTesting(
        [&](std::string_view step, const std::string&, std::string_view name) {
            if (step != "send" || name != "swapped.sock") return;
            EXPECT_EQ(testsupport::runUnprivileged(
                          [&] { return ::rename(link.c_str(), swapped.c_str()) == 0 ? 0 : 1; }),
                      0);
        });
    DistributedNotificationCenter center;
    EXPECT_TRUE(center.post("n", std::nullopt, {}, 0));
    SharedFolder::setStepHookForTesting({});

    EXPECT_TRUE(fs::is_symlink(swapped)) << "the swap happened";
    EXPECT_FALSE(hasDatagram(rootOnly)) << "root's own socket got another user's link's post";
    EXPECT_TRUE(hasDatagram(theirs));
    ::close(rootOnly);
    ::close(theirs);
}
