#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "HelperKit/HelperService.h"
#include "Platform/System/Paths.h"
#include "support/ParkedRootProcess.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using helperkit::RefusalLog;
using Lines = std::vector<std::string>;

TEST(RefusalLogTest, LogsTheFirstFewOfEachIntervalAndCountsTheRest) {
    RefusalLog log(2, std::chrono::seconds(60));
    const RefusalLog::Clock::time_point t0{};
    auto at = [&](int seconds) { return t0 + std::chrono::seconds(seconds); };
    EXPECT_EQ(log.note(at(0), "a"), Lines{"a"});
    EXPECT_EQ(log.note(at(1), "b"), Lines{"b"});
    for (int i = 0; i < 1000; ++i) EXPECT_TRUE(log.note(at(2), "flood").empty());
    EXPECT_TRUE(log.note(at(59), "c").empty());
    // The next interval starts with the count of what went unlogged.
    EXPECT_EQ(log.note(at(60), "d"), (Lines{"1001 refused connections not logged", "d"}));
    EXPECT_EQ(log.note(at(61), "e"), Lines{"e"});
    EXPECT_TRUE(log.note(at(62), "f").empty());
    EXPECT_EQ(log.flush(), "1 refused connections not logged");
    EXPECT_EQ(log.flush(), std::nullopt);
    // A quiet interval in between changes nothing: a fresh one begins.
    EXPECT_EQ(log.note(at(1000), "g"), Lines{"g"});
    EXPECT_EQ(log.flush(), std::nullopt);
}

// A client's file inside its folder: the walk stays inside, opens regular
// files only, and takes no /proc road past a folder the client cannot enter.
TEST(HelperKitTest, AClientsFileInsideItsFolderIsOpenedWithItsRightsAndStaysInside) {
    if (geteuid() != 0) GTEST_SKIP() << "taking another user's rights needs root";
    testsupport::TempDir dir;
    chmod(dir.path().c_str(), 0755);
    const std::string outside = dir.write("outside", "not the bundle's");
    const std::string bundle = dir.file("Mine.app");
    dir.write("Mine.app/Contents/tool", "tool");
    dir.write("Mine.app/Contents/Other/tool", "other");
    fs::create_symlink("Other", bundle + "/Contents/Inside");
    fs::create_symlink("../../outside", bundle + "/Contents/Out");
    fs::create_symlink(outside, bundle + "/Contents/Absolute");
    fs::create_symlink("tool", bundle + "/Contents/last");
    fs::create_directories(bundle + "/Contents/Folder");
    mkfifo((bundle + "/Contents/fifo").c_str(), 0666);
    dir.write("closed/open/Hidden.app/Contents/tool", "hidden");
    chmod(dir.file("closed").c_str(), 0700);
    testsupport::ParkedRootProcess parked(dir.file("closed/open"), {});
    ASSERT_TRUE(parked.valid());
    fs::create_symlink(parked.spellings("Hidden.app")[0], bundle + "/Contents/Proc");

    const platform::UserIdentity nobody{65534, 65534, {}};
    struct Case {
        std::string folder, relative;
        const char* contents;  // nullptr: refused
    };
    std::vector<Case> cases{{bundle, "Contents/tool", "tool"},
                            {bundle, "Contents/Inside/tool", "other"},
                            {bundle, "Contents/Out", nullptr},
                            {bundle, "Contents/Absolute", nullptr},
                            {bundle, "Contents/last", nullptr},
                            {bundle, "Contents/Folder", nullptr},
                            {bundle, "Contents/fifo", nullptr},
                            {bundle, "../outside", nullptr},
                            {bundle, "Contents/Proc/Contents/tool", nullptr},
                            {dir.file("closed/open/Hidden.app"), "Contents/tool", nullptr}};
    for (const std::string& spelling : parked.spellings("Hidden.app"))
        cases.push_back({spelling, "Contents/tool", nullptr});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder + " " + c.relative);
        const platform::UniqueFd fd = helperkit::openClientFileInside(nobody, c.folder, c.relative);
        ASSERT_EQ(fd.valid(), c.contents != nullptr);
        if (!fd) continue;
        char buffer[32];
        const ssize_t n = read(fd.get(), buffer, sizeof buffer);
        EXPECT_EQ(std::string(buffer, std::size_t(std::max<ssize_t>(n, 0))), c.contents);
    }
}

// A system folder is made and reached one folder at a time, never through
// a link: a link planted on the way stops it, and the file put there
// replaces a link under its name instead of writing through it.
TEST(HelperKitTest, SystemFoldersAndFilesAreReachedThroughDescriptorsOnly) {
    testsupport::TempDir dir;
    platform::Paths::ScopedRoot root(dir.file("root"));
    fs::create_directories(dir.file("root"));
    const std::string elsewhere = dir.file("elsewhere");
    fs::create_directories(elsewhere);
    const std::string victim = dir.write("victim", "keep");

    const mode_t previous = umask(077);
    platform::UniqueFd folder = helperkit::openSystemFolder("/Library/Application Support/X", true);
    umask(previous);
    ASSERT_TRUE(folder);
    struct stat info;
    ASSERT_EQ(stat(dir.file("root/Library/Application Support/X").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u);

    fs::create_symlink(victim, dir.file("root/Library/Application Support/X/f.plist"));
    ASSERT_TRUE(helperkit::replaceFileIn(folder.get(), "f.plist", "new", 0644));
    const std::string written = dir.file("root/Library/Application Support/X/f.plist");
    ASSERT_EQ(lstat(written.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    std::ifstream in(written);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "new");
    std::ifstream kept(victim);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "keep");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.file("root/Library/Application Support/X")),
                            fs::directory_iterator()),
              1);

    // A link on the way, and ".." are refused; nothing is made through them.
    fs::create_symlink(elsewhere, dir.file("root/Library/Link"));
    EXPECT_FALSE(helperkit::openSystemFolder("/Library/Link/Y", true));
    EXPECT_FALSE(helperkit::openSystemFolder("/Library/../Library/Y", true));
    EXPECT_TRUE(fs::is_empty(elsewhere));
    EXPECT_FALSE(fs::exists(dir.file("root/Library/Y")));
}

}  // namespace
