#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "HelperKit/HelperService.h"
#include "support/ParkedRootProcess.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;

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

}  // namespace
