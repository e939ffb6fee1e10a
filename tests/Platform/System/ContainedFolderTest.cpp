#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "Platform/System/ContainedFolder.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using platform::ContainedFolder;
using Kind = ContainedFolder::Kind;

namespace {

struct Step {
    const char* name;
    Kind kind;
    const char* link;
};

// The rules the extractors' shared link table does not reach: each layout is
// made in a fresh folder and its last step alone is refused.
TEST(ContainedFolderTest, RefusesWhatCouldLeadOutLaterAndNothingElse) {
    struct Case {
        const char* what;
        std::vector<Step> steps;
    } cases[] = {
        {"\"..\" after a folder that does not exist yet",
         {{"a", Kind::SymbolicLink, "m/x"}, {"b", Kind::SymbolicLink, "m/x/.."}}},
        {"a link made here replaced by another",
         {{"d", Kind::Folder, ""}, {"l", Kind::SymbolicLink, "d"}, {"l", Kind::SymbolicLink, "."}}},
        {"a folder replaced by a link", {{"d", Kind::Folder, ""}, {"d", Kind::SymbolicLink, "."}}},
        {"an entry below a file", {{"f", Kind::File, ""}, {"f/x", Kind::File, ""}}},
        {"a hard link to a folder", {{"d", Kind::Folder, ""}, {"h", Kind::HardLink, "d"}}},
        {"a loop of links, then a file through it",
         {{"p", Kind::SymbolicLink, "q"}, {"q", Kind::SymbolicLink, "p"}, {"p/x", Kind::File, ""}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::TempDir dir;
        const std::string top = dir.file("top");
        fs::create_directories(top);
        ContainedFolder folder;
        std::string reason;
        ASSERT_TRUE(folder.open(top, &reason)) << reason;
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const Step& step = c.steps[i];
            const bool last = i + 1 == c.steps.size();
            EXPECT_EQ(folder.make(step.name, step.kind, step.link, &reason), !last)
                << step.name << ": " << reason;
        }
        std::set<std::string> beside;
        for (const auto& item : fs::directory_iterator(dir.path()))
            beside.insert(item.path().filename().string());
        EXPECT_EQ(beside, std::set<std::string>{"top"});
    }
}

TEST(ContainedFolderTest, PlacesThroughLinksAndRemovesOnlyWhatItMade) {
    testsupport::TempDir dir;
    const std::string top = dir.file("top");
    dir.write("top/kept/old", "old");
    ContainedFolder folder;
    std::string reason, path, unused;
    ASSERT_TRUE(folder.open(top, &reason)) << reason;
    ASSERT_TRUE(folder.make("kept/l", Kind::SymbolicLink, "../made", &reason)) << reason;
    // Through a link to a folder that does not exist yet: it is made where
    // the link leads, and the path handed back holds no link.
    ASSERT_TRUE(folder.place("kept/l/deep/x", Kind::File, "", &path, &unused, &reason)) << reason;
    EXPECT_EQ(path, "made/deep/x");
    EXPECT_TRUE(fs::is_directory(top + "/made/deep"));
    dir.write("top/made/deep/x", "x");
    folder.placed();
    ASSERT_TRUE(folder.make("kept/new", Kind::File, "", &reason)) << reason;

    folder.removeMade();
    std::set<std::string> left;
    for (const auto& item : fs::recursive_directory_iterator(top))
        left.insert(fs::relative(item.path(), top).string());
    EXPECT_EQ(left, (std::set<std::string>{"kept", "kept/old"}));
}

}  // namespace
