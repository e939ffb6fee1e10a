#include <gtest/gtest.h>
#include <unistd.h>

#include "Platform/System/Paths.h"
#include "Platform/Xpc/XpcServiceName.h"
#include "Platform/Xpc/XpcSocket.h"
#include "support/TempDir.h"

using namespace platform;

namespace {

class XpcServiceNameTest : public ::testing::Test {
  protected:
    testsupport::TempDir temp;
    Paths::ScopedRoot root{temp.path().string()};
};

}  // namespace

TEST_F(XpcServiceNameTest, ValidatesNames) {
    struct Case {
        std::string name;
        bool valid;
    } cases[] = {
        {"com.pelgrave.PelInstallHelper", true},
        {"com.pelgrave.vantrel.settings-xpc.TLW", true},
        {"com.pelgrave.kexthelper.TLW", true},
        {"a_b-c.d9", true},
        {std::string(127, 'a'), true},
        {std::string(128, 'a'), false},
        {"", false},
        {".com.pelgrave", false},
        {"com.pelgrave.", false},
        {"com..pelgrave", false},
        {"com/pelgrave", false},
        {"../etc/passwd", false},
        {"com pelgrave", false},
        {"com.pelgr\xC3\xA4ve", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isValidXpcServiceName(c.name), c.valid) << c.name;
        Error error;
        std::string path = xpcSocketPathForService(c.name, XpcServiceScope::System, &error);
        EXPECT_EQ(path.empty(), !c.valid) << c.name;
        if (!c.valid) {
            EXPECT_EQ(error.domain(), kXpcErrorDomain);
            EXPECT_EQ(error.code(), kXpcErrorInvalidServiceName);
        }
    }
}

TEST_F(XpcServiceNameTest, ScopesResolveUnderTheRoot) {
    const std::string root = temp.path().string();
    EXPECT_EQ(
        xpcSocketPathForService("com.pelgrave.PelInstallHelper", XpcServiceScope::System, nullptr),
        root + "/var/run/pelgrave/com.pelgrave.PelInstallHelper");
    EXPECT_EQ(xpcSocketPathForService("com.pelgrave.x", XpcServiceScope::User, nullptr),
              root + "/run/user/" + std::to_string(getuid()) + "/pelgrave/com.pelgrave.x");
    Paths::setRoot("");
    EXPECT_EQ(xpcServiceFolder(XpcServiceScope::System), "/var/run/pelgrave");
}

TEST_F(XpcServiceNameTest, LongNamesInDeepFoldersStillListenAndConnect) {
    // Deep enough that the plain path could not fit a socket address.
    Paths::setRoot(temp.file(std::string(60, 'd') + "/" + std::string(60, 'e')));
    std::string a = "com.pelgrave." + std::string(110, 'a');
    std::string b = "com.pelgrave." + std::string(109, 'a') + "b";
    std::string pathA = xpcSocketPathForService(a, XpcServiceScope::System, nullptr);
    std::string pathB = xpcSocketPathForService(b, XpcServiceScope::System, nullptr);
    EXPECT_NE(pathA, pathB);
    EXPECT_GT(pathA.size(), 108u);

    int err = 0;
    UniqueFd listener = xpcListenSocket(pathA, 0755, 0666, &err);
    ASSERT_TRUE(listener) << strerror(err);
    UniqueFd client = xpcConnectSocket(pathA, &err);
    EXPECT_TRUE(client) << strerror(err);
    EXPECT_FALSE(xpcConnectSocket(pathB, &err));
    EXPECT_EQ(err, ENOENT);
}

TEST_F(XpcServiceNameTest, ListenReplacesOnlyStaleSockets) {
    std::string path =
        xpcSocketPathForService("com.pelgrave.stale", XpcServiceScope::System, nullptr);
    int err = 0;
    {
        UniqueFd first = xpcListenSocket(path, 0755, 0666, &err);
        ASSERT_TRUE(first);
        // A second listener while the first is alive is refused.
        EXPECT_FALSE(xpcListenSocket(path, 0755, 0666, &err));
        EXPECT_EQ(err, EADDRINUSE);
    }
    // The first one's socket file is left behind; it is taken over.
    UniqueFd second = xpcListenSocket(path, 0755, 0666, &err);
    EXPECT_TRUE(second) << strerror(err);

    std::string file = temp.write("var/run/pelgrave/com.pelgrave.file", "not a socket");
    EXPECT_FALSE(xpcListenSocket(file, 0755, 0666, &err));
    EXPECT_EQ(err, EEXIST);
}
