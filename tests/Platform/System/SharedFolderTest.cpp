#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>

#include "Platform/System/SharedFolder.h"
#include "support/FileMode.h"
#include "support/TempDir.h"
#include "support/UnprivilegedChild.h"

namespace fs = std::filesystem;
using platform::SharedFolder;
using testsupport::modeOf;

namespace {

SharedFolder openOrDie(const std::string& path) {
    auto folder = SharedFolder::open(path, SharedFolder::Trust::Any, nullptr);
    if (!folder) throw std::runtime_error("cannot open " + path);
    return std::move(*folder);
}

std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Names, kinds, modes, owners and contents of everything below `root`.
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        struct stat st {};
        ::lstat(entry.path().c_str(), &st);
        std::string what = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid);
        if (S_ISREG(st.st_mode)) what += " " + read(entry.path());
        out[fs::relative(entry.path(), root).string()] = what;
    }
    return out;
}

// Runs `step` once, the first time the walk reaches the step `name` (on the
// entry `entry`, when given).
struct OneStep {
    OneStep(std::string name, std::function<void()> step, std::string entry = {}) {
        SharedFolder::setStepHookForTesting(
            [name = std::move(name), step = std::move(step), entry = std::move(entry),
             done = false](std::string_view seen, const std::string&, std::string_view on) mutable {
                if (done || seen != name || (!entry.empty() && on != entry)) return;
                done = true;
                step();
            });
    }
    ~OneStep() { SharedFolder::setStepHookForTesting({}); }
};

}  // namespace

TEST(SharedFolder, MakesFoldersWithExactlyTheirModeAndOpensWithoutLinks) {
    testsupport::TempDir dir;
    const mode_t old = ::umask(077);
    bool made = false;
    auto folder = SharedFolder::make(dir.file("a/b/c"), 01777, nullptr, &made);
    ::umask(old);
    ASSERT_TRUE(folder);
    EXPECT_TRUE(made);
    EXPECT_EQ(modeOf(dir.file("a/b/c")), 01777u);
    EXPECT_EQ(folder->path(), dir.file("a/b/c"));
    ASSERT_TRUE(SharedFolder::make(dir.file("a/b/c"), 0700, nullptr, &made));
    EXPECT_FALSE(made);
    EXPECT_EQ(modeOf(dir.file("a/b/c")), 01777u) << "an existing folder keeps its mode";

    ASSERT_EQ(::symlink(dir.file("a").c_str(), dir.file("link").c_str()), 0);
    auto top = openOrDie(dir.path().string());
    platform::Error error;
    EXPECT_FALSE(top.child("link", SharedFolder::Trust::Any, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_GE(platform::openFolderBelow(top.fd(), "a/b/c"), 0);
    EXPECT_LT(platform::openFolderBelow(top.fd(), "link/b"), 0);
    EXPECT_LT(platform::openFolderBelow(top.fd(), "a/../.."), 0) << "never above the folder";

    // Files: written whole with their mode, never through a link; a FIFO
    // or link in a file's place is not read.
    auto c = openOrDie(dir.file("a/b/c"));
    EXPECT_TRUE(c.writeFile("f", platform::Data{'h', 'i'}, 0640, true));
    EXPECT_EQ(read(dir.file("a/b/c/f")), "hi");
    EXPECT_EQ(modeOf(dir.file("a/b/c/f")), 0640u);
    const std::string victim = dir.write("victim", "keep");
    ASSERT_EQ(::symlink(victim.c_str(), dir.file("a/b/c/l").c_str()), 0);
    EXPECT_FALSE(c.writeFile("l", platform::Data{'x'}, 0644, false));
    platform::Data data;
    EXPECT_FALSE(c.readFile("l", data));
    ASSERT_EQ(::mkfifo(dir.file("a/b/c/fifo").c_str(), 0600), 0);
    EXPECT_FALSE(c.readFile("fifo", data));
    EXPECT_EQ(read(victim), "keep");
}

TEST(SharedFolder, RemovesTreesWithoutFollowingLinksAndEmptyFoldersOnlyWhileTheyAreTheSame) {
    testsupport::TempDir dir;
    dir.write("outside/keep", "keep");
    dir.write("tree/sub/file", "x");
    ASSERT_EQ(::symlink(dir.file("outside").c_str(), dir.file("tree/sub/out").c_str()), 0);
    ASSERT_EQ(::mkfifo(dir.file("tree/fifo").c_str(), 0600), 0);
    auto top = openOrDie(dir.path().string());
    EXPECT_EQ(top.removeTree("tree", false), 0);
    EXPECT_FALSE(fs::exists(dir.file("tree")));
    EXPECT_EQ(read(dir.file("outside/keep")), "keep");
    EXPECT_EQ(top.removeTree("tree", false), ENOENT);

    fs::create_directories(dir.file("bucket"));
    auto bucket = openOrDie(dir.file("bucket"));
    dir.write("bucket/entry", "");
    EXPECT_FALSE(top.removeEmptyFolder("bucket", bucket)) << "not empty";
    fs::remove(dir.file("bucket/entry"));
    fs::rename(dir.file("bucket"), dir.file("old"));
    fs::create_directories(dir.file("bucket"));
    EXPECT_FALSE(top.removeEmptyFolder("bucket", bucket)) << "another folder by that name";
    EXPECT_TRUE(top.removeEmptyFolder("old", bucket));

    // A move never replaces.
    fs::create_directories(dir.file("from/x"));
    fs::create_directories(dir.file("to/x"));
    auto from = openOrDie(dir.file("from"));
    auto to = openOrDie(dir.file("to"));
    platform::Error error;
    EXPECT_FALSE(from.moveEntry("x", to, "x", true, &error));
    EXPECT_TRUE(from.moveEntry("x", to, "y", true, &error));
    EXPECT_TRUE(fs::is_directory(dir.file("to/y")));
}

TEST(SharedFolder, BindsSocketsWithExactlyTheirModeAndFollowsLinksOnlyInside) {
    testsupport::TempDir dir;
    dir.write("f/sub/file", "inside");
    const std::string outside = dir.write("outside", "outside");
    ASSERT_EQ(::symlink("sub/file", dir.file("f/in").c_str()), 0);
    ASSERT_EQ(::symlink(outside.c_str(), dir.file("f/out").c_str()), 0);
    ASSERT_EQ(::symlink("../outside", dir.file("f/up").c_str()), 0);
    auto f = openOrDie(dir.file("f"));
    struct Case {
        const char* name;
        int error;  // 0: opened
    } cases[] = {{"in", 0}, {"sub/file", 0}, {"out", EXDEV}, {"up", EXDEV}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int fd = f.openInside(c.name, O_RDONLY);
        EXPECT_EQ(fd < 0 ? errno : 0, c.error);
        if (fd >= 0) ::close(fd);
    }

    // The umask of the process neither narrows the socket's mode nor is
    // changed; neither is the working folder.
    const mode_t old = ::umask(077);
    const fs::path cwd = fs::current_path();
    const int socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    EXPECT_TRUE(f.bindSocket(socket, "s.sock", 0666)) << std::strerror(errno);
    EXPECT_EQ(::umask(old), 077u);
    EXPECT_EQ(fs::current_path(), cwd);
    EXPECT_TRUE(fs::is_socket(dir.file("f/s.sock")));
    EXPECT_EQ(modeOf(dir.file("f/s.sock")), 0666u);
    // A link at the name is never bound through.
    ASSERT_EQ(::symlink(dir.file("victim.sock").c_str(), dir.file("f/l.sock").c_str()), 0);
    const int second = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    EXPECT_FALSE(f.bindSocket(second, "l.sock", 0666));
    EXPECT_EQ(errno, EADDRINUSE);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir.file("victim.sock"))));
    ::close(socket);
    ::close(second);
}

TEST(SharedFolder, RootTrustsOnlyFoldersNoOtherUserCanChange) {
    if (::geteuid() != 0) GTEST_SKIP() << "the trust checks are root's";
    testsupport::TempDir dir;
    const std::string shared = dir.file("shared");
    ASSERT_TRUE(testsupport::makeStickyFolder(dir.path(), shared));
    ASSERT_TRUE(testsupport::plantAsOtherUser(shared, "theirs", "/"));
    ASSERT_EQ(::mkdir(dir.file("open").c_str(), 0777), 0);
    ASSERT_EQ(::chmod(dir.file("open").c_str(), 0777), 0);

    platform::Error error;
    EXPECT_TRUE(SharedFolder::open(shared, SharedFolder::Trust::Required, &error))
        << "sticky and root's";
    EXPECT_FALSE(SharedFolder::open(shared + "/theirs", SharedFolder::Trust::Required, &error));
    ASSERT_TRUE(error.underlyingError());
    EXPECT_EQ(error.underlyingError()->code(), EPERM);
    EXPECT_TRUE(SharedFolder::open(shared + "/theirs", SharedFolder::Trust::Any, nullptr))
        << "to read or remove";
    EXPECT_FALSE(SharedFolder::open(shared + "/link", SharedFolder::Trust::Any, &error))
        << "another user's link is never followed";
    EXPECT_EQ(error.underlyingError()->code(), ELOOP);
    EXPECT_FALSE(SharedFolder::open(dir.file("open"), SharedFolder::Trust::Required, nullptr))
        << "writable by all without the sticky bit";
    EXPECT_FALSE(SharedFolder::make(shared + "/theirs/mine", 0755, nullptr));
    EXPECT_FALSE(fs::exists(shared + "/theirs/mine"));
    // Root's own link is followed.
    ASSERT_EQ(::symlink(shared.c_str(), dir.file("root-link").c_str()), 0);
    EXPECT_TRUE(SharedFolder::open(dir.file("root-link"), SharedFolder::Trust::Required, nullptr));
}

TEST(SharedFolder, AnAttackerBetweenCheckAndUseChangesNothingOutside) {
    if (::geteuid() != 0) GTEST_SKIP() << "the attacker is played by a child at uid 65534";
    testsupport::TempDir dir;
    const std::string shared = dir.file("shared");
    const std::string target = dir.file("target");
    ASSERT_TRUE(testsupport::makeStickyFolder(dir.path(), shared));
    ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
    dir.write("target/file", "secret");
    ::chmod(dir.file("target/file").c_str(), 0600);
    const auto before = snapshot(target);
    auto attacker = [](std::function<bool()> act) {
        return testsupport::runUnprivileged([&] { return act() ? 0 : 1; });
    };

    {
        // Root's new folder in a sticky folder cannot be swapped for a link
        // between its making and the mode given to it.
        OneStep swap("made", [&] {
            EXPECT_EQ(attacker([&] {
                          return ::symlink(target.c_str(), (shared + "/evil").c_str()) == 0 &&
                                 ::renameat2(AT_FDCWD, (shared + "/evil").c_str(), AT_FDCWD,
                                             (shared + "/base").c_str(), RENAME_EXCHANGE) == 0;
                      }),
                      1);
        });
        auto base = SharedFolder::make(shared + "/base", 01777, nullptr);
        ASSERT_TRUE(base);
        EXPECT_EQ(modeOf(shared + "/base"), 01777u);
    }
    {
        // A folder of the tree swapped for a link while root removes the
        // tree: the link goes, not what it leads to.
        ASSERT_EQ(attacker([&] {
                      return ::mkdir((shared + "/base/theirs").c_str(), 0777) == 0 &&
                             ::mkdir((shared + "/base/theirs/sub").c_str(), 0777) == 0 &&
                             ::close(::open((shared + "/base/theirs/sub/file").c_str(),
                                            O_CREAT | O_WRONLY, 0666)) == 0;
                  }),
                  0);
        OneStep swap(
            "remove",
            [&] {
                EXPECT_EQ(attacker([&] {
                              return ::symlink(target.c_str(),
                                               (shared + "/base/theirs/link").c_str()) == 0 &&
                                     ::renameat2(AT_FDCWD, (shared + "/base/theirs/sub").c_str(),
                                                 AT_FDCWD, (shared + "/base/theirs/link").c_str(),
                                                 RENAME_EXCHANGE) == 0;
                          }),
                          0);
            },
            "sub");
        auto base = openOrDie(shared + "/base");
        EXPECT_EQ(base.removeTree("theirs", true), 0);
        EXPECT_FALSE(fs::exists(shared + "/base/theirs"));
    }
    {
        // A bucket filled between the count and its removal stays.
        auto base = openOrDie(shared + "/base");
        auto bucket = base.makeChild("bucket", 01777, nullptr);
        ASSERT_TRUE(bucket);
        OneStep fill("removeEmpty", [&] {
            EXPECT_EQ(attacker([&] {
                          return ::mkdir((shared + "/base/bucket/theirs").c_str(), 0777) == 0;
                      }),
                      0);
        });
        EXPECT_FALSE(base.removeEmptyFolder("bucket", *bucket));
        EXPECT_TRUE(fs::exists(shared + "/base/bucket/theirs"));
    }
    EXPECT_EQ(snapshot(target), before);
    EXPECT_EQ(modeOf(target), 0700u);
}
