#include <gtest/gtest.h>
#include <stdlib.h>

#include "Platform/System/Paths.h"

using platform::Paths;

namespace {

// Leaves the process-wide settings as it found them.
class PathsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* env = getenv("PEL_PATH_ROOT");
        savedEnv_ = env ? std::optional<std::string>(env) : std::nullopt;
        const char* home = getenv("HOME");
        savedHome_ = home ? std::optional<std::string>(home) : std::nullopt;
        unsetenv("PEL_PATH_ROOT");
        Paths::reset();
    }
    void TearDown() override {
        if (savedEnv_)
            setenv("PEL_PATH_ROOT", savedEnv_->c_str(), 1);
        else
            unsetenv("PEL_PATH_ROOT");
        if (savedHome_)
            setenv("HOME", savedHome_->c_str(), 1);
        else
            unsetenv("HOME");
        Paths::reset();
    }
    std::optional<std::string> savedEnv_;
    std::optional<std::string> savedHome_;
};

}  // namespace

TEST_F(PathsTest, RootPrefixesEveryAbsoluteSystemPath) {
    Paths::setRoot("/tmp/r/");
    struct {
        const char* in;
        const char* want;
    } cases[] = {
        {"/Library/Logs", "/tmp/r/Library/Logs"},
        {"/Library/Application Support/Pelgrave/Silo/TLW",
         "/tmp/r/Library/Application Support/Pelgrave/Silo/TLW"},
        {"/var/tmp/com.pelgrave.installer", "/tmp/r/var/tmp/com.pelgrave.installer"},
        {"/Library/LaunchAgents/", "/tmp/r/Library/LaunchAgents/"},
        {"/", "/tmp/r/"},
        // Relative paths are not system paths; resolved ones stay as they are.
        {"Library/Logs", "Library/Logs"},
        {"", ""},
        {"/tmp/r/Library/Logs", "/tmp/r/Library/Logs"},
        {"/tmp/r", "/tmp/r"},
        // Only a whole leading folder counts as "inside the root".
        {"/tmp/rr/x", "/tmp/r/tmp/rr/x"},
    };
    for (const auto& c : cases) EXPECT_EQ(Paths::resolve(c.in), c.want) << c.in;
    EXPECT_EQ(Paths::resolve(Paths::resolve("/Library/Logs")), "/tmp/r/Library/Logs");
}

TEST_F(PathsTest, NoRootLeavesPathsAsWritten) {
    EXPECT_EQ(Paths::root(), "");
    EXPECT_EQ(Paths::resolve("/Library/Logs"), "/Library/Logs");
    Paths::setRoot("/");
    EXPECT_EQ(Paths::resolve("/Library/Logs"), "/Library/Logs");
}

TEST_F(PathsTest, EnvironmentRootIsReadAtFirstUseAndAfterReset) {
    setenv("PEL_PATH_ROOT", "/env/root", 1);
    Paths::reset();
    EXPECT_EQ(Paths::resolve("/Library"), "/env/root/Library");
    Paths::setRoot("/other");
    EXPECT_EQ(Paths::resolve("/Library"), "/other/Library");
    Paths::reset();
    EXPECT_EQ(Paths::root(), "/env/root");
}

TEST_F(PathsTest, HomeFolderAndItsSubfolders) {
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(Paths::homeDirectory(), "/home/someone");
    EXPECT_EQ(Paths::userLibrary("Logs"), "/home/someone/Library/Logs");
    EXPECT_EQ(Paths::userLibrary("Application Support/Pelgrave/FSD"),
              "/home/someone/Library/Application Support/Pelgrave/FSD");
    EXPECT_EQ(Paths::downloadsDirectory(), "/home/someone/Downloads");

    // Under a root the home folder is inside it, never the real one.
    Paths::setRoot("/tmp/r");
    EXPECT_EQ(Paths::homeDirectory(), "/tmp/r/home/someone");
    EXPECT_EQ(Paths::userLibrary("Logs"), "/tmp/r/home/someone/Library/Logs");

    // An override is taken as it is.
    Paths::setHomeDirectory("/tmp/r/h");
    EXPECT_EQ(Paths::userLibrary("Logs"), "/tmp/r/h/Library/Logs");
    {
        Paths::ScopedRoot scoped("/tmp/s", std::string("/tmp/s/me"));
        EXPECT_EQ(Paths::resolve("/Library"), "/tmp/s/Library");
        EXPECT_EQ(Paths::downloadsDirectory(), "/tmp/s/me/Downloads");
    }
    EXPECT_EQ(Paths::root(), "/tmp/r");
    EXPECT_EQ(Paths::homeDirectory(), "/tmp/r/h");
}

TEST_F(PathsTest, TemporaryFolder) {
    const char* saved = getenv("TMPDIR");
    std::string keep = saved ? saved : "";
    setenv("TMPDIR", "/var/scratch/", 1);
    EXPECT_EQ(Paths::temporaryDirectory(), "/var/scratch");
    unsetenv("TMPDIR");
    EXPECT_EQ(Paths::temporaryDirectory(), "/tmp");
    Paths::setRoot("/tmp/r");
    EXPECT_EQ(Paths::temporaryDirectory(), "/tmp/r/tmp");
    if (saved) setenv("TMPDIR", keep.c_str(), 1);
}

TEST(PathsJoinTest, ExactlyOneSlash) {
    EXPECT_EQ(Paths::join("/a/", "/b"), "/a/b");
    EXPECT_EQ(Paths::join("/a", "b/c"), "/a/b/c");
    EXPECT_EQ(Paths::join("/", "b"), "/b");
    EXPECT_EQ(Paths::join("", "b"), "b");
    EXPECT_EQ(Paths::join("/a", ""), "/a");
}
