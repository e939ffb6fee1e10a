// Root listening on a socket whose folder another user could reach first: a
// child at uid 65534 lays out a folder and a link where root's folder
// goes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "Platform/Xpc/XpcSocket.h"
#include "support/FileMode.h"
#include "support/TempDir.h"
#include "support/UnprivilegedChild.h"

namespace fs = std::filesystem;
using testsupport::modeOf;
using namespace platform;

TEST(XpcSocketSharedFolder, RootListensOnlyInFoldersNoOtherUserCanChange) {
    if (::geteuid() != 0) GTEST_SKIP() << "the other user is played by a child at uid 65534";
    testsupport::TempDir dir;
    const std::string shared = dir.file("shared");
    const std::string target = dir.file("target");
    ASSERT_TRUE(testsupport::makeStickyFolder(dir.path(), shared));
    ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
    ASSERT_TRUE(testsupport::plantAsOtherUser(shared, "theirs", target));

    struct Case {
        const char* what;
        std::string folder;
        int error;
    } cases[] = {
        {"another user's folder", shared + "/theirs", EPERM},
        {"another user's link to root's folder", shared + "/link", ELOOP},
        {"root's own new folder in the sticky one", shared + "/mine", 0},
    };
    const mode_t old = ::umask(077);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int err = 0;
        UniqueFd listener = xpcListenSocket(c.folder + "/service", 0755, 0666, &err);
        EXPECT_EQ(listener ? 0 : err, c.error) << std::strerror(err);
    }
    ::umask(old);
    EXPECT_TRUE(fs::is_empty(shared + "/theirs"));
    EXPECT_TRUE(fs::is_empty(target));
    EXPECT_EQ(modeOf(target), 0700u);
    EXPECT_EQ(modeOf(shared + "/mine"), 0755u);
    EXPECT_TRUE(fs::is_socket(shared + "/mine/service"));
    EXPECT_EQ(modeOf(shared + "/mine/service"), 0666u) << "whatever the umask";
}
