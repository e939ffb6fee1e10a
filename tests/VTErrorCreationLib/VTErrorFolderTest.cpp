#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "VTErrorCreationLib/Utilities/VTLog.h"
#include "VTErrorCreationLib/VTErrorFolder.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

using platform::SharedFolder;

int renameAcrossFileSystems(int, const char*, int, const char*) {
    errno = EXDEV;
    return -1;
}

// Removes one file of the tree, then fails as a busy file system would.
int removeHalfThenFail(const SharedFolder& folder, std::string_view name, bool) {
    for (const auto& entry : fs::recursive_directory_iterator(folder.pathOf(name)))
        if (entry.is_regular_file()) {
            fs::remove(entry.path());
            break;
        }
    return EBUSY;
}

SharedFolder open(const fs::path& path) {
    auto folder = SharedFolder::open(path.string(), SharedFolder::Trust::Any, nullptr);
    if (!folder) throw std::runtime_error("cannot open " + path.string());
    return std::move(*folder);
}

std::string read(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream out;
    out << in.rdbuf();
    return out.str();
}

class VTErrorFolderMove : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_.write("tmp/E/summary.vterr", "summary");
        dir_.write("tmp/E/data.vterr", "data");
        dir_.write("tmp/E/ProcessLaunch", "launch");
        VTSetLogHookForTesting([this](int, const std::string& message) {
            std::lock_guard<std::mutex> lock(mutex_);
            logged_.push_back(message);
        });
    }
    void TearDown() override { VTSetLogHookForTesting({}); }

    void expectCompleteCopy() {
        EXPECT_EQ(read(to_ / "summary.vterr"), "summary");
        EXPECT_EQ(read(to_ / "data.vterr"), "data");
        EXPECT_EQ(read(to_ / "ProcessLaunch"), "launch");
    }
    std::vector<std::string> logged() {
        std::lock_guard<std::mutex> lock(mutex_);
        return logged_;
    }

    testsupport::TempDir dir_;
    const fs::path from_ = dir_.path() / "tmp/E";
    const fs::path to_ = dir_.path() / "Errors/1/E";
    std::mutex mutex_;
    std::vector<std::string> logged_;
};

TEST_F(VTErrorFolderMove, AcrossFileSystemsCopiesThenRemovesTheOriginal) {
    fs::create_directories(to_.parent_path());
    platform::Error error;
    ASSERT_TRUE(vtfolder::moveItem(open(from_.parent_path()), "E", open(to_.parent_path()), "E",
                                   &error, {.rename = renameAcrossFileSystems}))
        << error.description();
    expectCompleteCopy();
    EXPECT_FALSE(fs::exists(from_));
    EXPECT_TRUE(logged().empty());
}

TEST_F(VTErrorFolderMove, OriginalThatCannotBeRemovedKeepsTheCompleteCopy) {
    fs::create_directories(to_.parent_path());
    platform::Error error;
    ASSERT_TRUE(
        vtfolder::moveItem(open(from_.parent_path()), "E", open(to_.parent_path()), "E", &error,
                           {.rename = renameAcrossFileSystems, .removeTree = removeHalfThenFail}));
    expectCompleteCopy();
    EXPECT_TRUE(fs::exists(from_)) << "the leftover stays where it was";
    const auto messages = logged();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find(from_.string()), std::string::npos) << messages[0];
}

TEST_F(VTErrorFolderMove, FailuresLeaveTheOriginalWhole) {
    // Another failure of the rename (the destination exists, and is never
    // replaced): nothing is copied.
    fs::create_directories(to_);
    platform::Error error;
    EXPECT_FALSE(
        vtfolder::moveItem(open(from_.parent_path()), "E", open(to_.parent_path()), "E", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(fs::is_empty(to_));
    // The copy fails (the destination exists): the original stays whole.
    error = platform::Error();
    EXPECT_FALSE(vtfolder::moveItem(open(from_.parent_path()), "E", open(to_.parent_path()), "E",
                                    &error, {.rename = renameAcrossFileSystems}));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(fs::is_empty(to_));
    EXPECT_EQ(read(from_ / "ProcessLaunch"), "launch");
}

}  // namespace
