// Races against root in the shared error folders: a child at an unused uid
// swaps links and folders in a tight loop while root makes bases, saves and
// removes reports. Sound code passes however the scheduler runs them:
// nothing outside the tree changes, and every report root saved is where it
// should be.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>

#include "Platform/System/PathNames.h"
#include "Platform/System/SharedFolder.h"
#include "VTErrorCreationLib/Utilities/PelRmDir.h"
#include "VTErrorCreationLib/Utilities/VTLog.h"
#include "VTErrorCreationLib/VTErrorFolder.h"
#include "VTErrorInstanceTestSupport.h"
#include "support/TempDir.h"
#include "support/UnprivilegedChild.h"

namespace fs = std::filesystem;
using platform::SharedFolder;

namespace {

// Enough rounds to lose a race many times over, few enough for CI.
constexpr int kRounds = 300;
constexpr auto kTimeLimit = std::chrono::seconds(4);

std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Names, kinds, modes, owners and contents of `root` and everything below.
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> out;
    auto add = [&](const fs::path& path) {
        struct stat st {};
        ::lstat(path.c_str(), &st);
        std::string what = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid);
        if (S_ISREG(st.st_mode)) what += " " + read(path);
        out[fs::relative(path, root.parent_path()).string()] = what;
    };
    add(root);
    for (const auto& entry : fs::recursive_directory_iterator(root)) add(entry.path());
    return out;
}

// Whether every folder from `top` down to `path` is a real folder of root's.
bool rootsAllTheWay(const std::string& top, const std::string& path) {
    for (std::string p = path;; p = vtfolder::parentOf(p)) {
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != 0) return false;
        if (p == top) return true;
        if (p == "/" || p == ".") return false;
    }
}

// The shared folder (as /var/tmp), and a root-only folder whose files an
// attacker would like root to change.
class RaceTree {
  public:
    RaceTree() : pathRoot_(temp_.path().string()) {
        fs::create_directories(platform::Paths::temporaryDirectory());
        ::chmod(temp_.path().c_str(), 0755);
        ::mkdir(shared().c_str(), 0);
        ::chmod(shared().c_str(), 01777);
        ::mkdir(target().c_str(), 0700);
        temp_.write("target/precious", "secret");
        ::chmod(temp_.file("target/precious").c_str(), 0600);
        fs::create_directories(temp_.file("target/conf"));
        temp_.write("target/conf/precious", "settings");
        sharedFd_ = ::open(shared().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        before_ = snapshot(target());
        VTSetLogHookForTesting([](int, const std::string&) {});
    }
    ~RaceTree() {
        VTSetLogHookForTesting({});
        ::close(sharedFd_);
    }
    std::string shared() const { return temp_.file("shared"); }
    std::string target() const { return temp_.file("target"); }
    std::string base() const { return shared() + "/base"; }
    int sharedFd() const { return sharedFd_; }
    bool targetUnchanged() const { return snapshot(target()) == before_; }

    std::shared_ptr<vttest::FakeClient> client() {
        auto client = std::make_shared<vttest::FakeClient>();
        client->config = std::make_shared<VTSCDConfiguration>(
            VTSCDConfiguration::hardcodedConfigurationUsingPath(base()));
        return client;
    }
    static std::shared_ptr<VTErrorInstance> newError(const std::shared_ptr<VTErrorClient>& client) {
        auto error = std::make_shared<VTErrorInstance>(kVTFailureTypeLogicalError, 2, client);
        error->summaryData().setFailureUUID(VTUUID::UUID());
        error->summaryData().setBucketId(7);
        error->addDetailData(platform::Data{'l', 'o', 'g'}, "Log", std::nullopt, nullptr);
        return error;
    }

  private:
    testsupport::TempDir temp_;
    platform::Paths::ScopedRoot pathRoot_;
    int sharedFd_ = -1;
    std::map<std::string, std::string> before_;
};

bool timeLeft(std::chrono::steady_clock::time_point start) {
    return std::chrono::steady_clock::now() - start < kTimeLimit;
}

// One round of the attacker's swaps at `name` in the folder `dir`: their
// folder and a link to `target` take turns there. Plain system calls only
// (it runs in the attacker child).
void swapLinkAndFolder(int dir, const char* name, const char* target) {
    ::mkdirat(dir, "evil", 0777);
    ::symlinkat(target, dir, name);
    ::renameat2(dir, name, dir, "evil", RENAME_EXCHANGE);
    ::renameat2(dir, name, dir, "evil", RENAME_EXCHANGE);
    ::unlinkat(dir, name, 0);
}

}  // namespace

TEST(VTSharedFolderRace, NewBasesWhileTheBaseIsSwappedForALinkAndAFolder) {
    if (::geteuid() != 0) GTEST_SKIP() << "the attacker is played by a child at uid 65534";
    RaceTree tree;
    const std::string target = tree.target();
    const char* targetPath = target.c_str();
    const int shared = tree.sharedFd();
    testsupport::Attacker attacker([=] { swapLinkAndFolder(shared, "base", targetPath); });
    ASSERT_TRUE(attacker.running());
    auto sharedFolder = SharedFolder::open(tree.shared(), SharedFolder::Trust::Required, nullptr);
    ASSERT_TRUE(sharedFolder);
    int saved = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < kRounds && timeLeft(start); ++round) {
        auto client = tree.client();
        auto error = RaceTree::newError(client);
        if (error->save(nullptr)) {
            ++saved;
            EXPECT_TRUE(rootsAllTheWay(tree.shared(), vtfolder::parentOf(*error->fileURL())))
                << *error->fileURL();
            EXPECT_EQ(read(*error->fileURL() + "/Log"), "log");
            EXPECT_TRUE(error->remove(nullptr));
        }
        // Root clears the base, whatever is there now: its own, the
        // attacker's link (which goes, not what it leads to) or folder.
        sharedFolder->removeTree("base", true);
    }
    attacker.stop();
    EXPECT_TRUE(tree.targetUnchanged());
    RecordProperty("saved", saved);
}

TEST(VTSharedFolderRace, SavesWhileTheBucketIsSwappedForALinkAndAFolder) {
    if (::geteuid() != 0) GTEST_SKIP() << "the attacker is played by a child at uid 65534";
    RaceTree tree;
    auto client = tree.client();
    const int errors = ::open((tree.base() + "/Errors").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    const int submissions =
        ::open((tree.base() + "/Submissions").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(errors, 0);
    ASSERT_GE(submissions, 0);
    const std::string target = tree.target();
    const char* targetPath = target.c_str();
    testsupport::Attacker attacker([=] {
        for (int root : {errors, submissions}) swapLinkAndFolder(root, "00000007", targetPath);
    });
    ASSERT_TRUE(attacker.running());
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < kRounds && timeLeft(start); ++round) {
        auto error = RaceTree::newError(client);
        platform::Error failure;
        // A swapped bucket never costs root its report.
        ASSERT_TRUE(error->save(&failure)) << failure.description();
        std::string folder = *error->fileURL();
        EXPECT_TRUE(rootsAllTheWay(tree.base() + "/Errors", vtfolder::parentOf(folder))) << folder;
        if (round % 2 == 1) {
            ASSERT_TRUE(error->finalize(&failure)) << failure.description();
            folder = *error->fileURL();
            EXPECT_TRUE(rootsAllTheWay(tree.base() + "/Submissions", vtfolder::parentOf(folder)))
                << folder;
        }
        EXPECT_EQ(read(folder + "/Log"), "log");
        EXPECT_EQ(
            vtfolder::findErrorFolder(platform::pathInFolder(
                platform::pathInFolder(vtfolder::parentOf(vtfolder::parentOf(folder)), "00000007"),
                vtfolder::nameOf(folder))),
            folder)
            << "the readers find it";
        EXPECT_TRUE(error->remove(&failure)) << failure.description();
    }
    attacker.stop();
    ::close(errors);
    ::close(submissions);
    EXPECT_TRUE(tree.targetUnchanged());
}

TEST(VTSharedFolderRace, RemovesWhileATreeInTheBucketIsSwappedForALink) {
    if (::geteuid() != 0) GTEST_SKIP() << "the attacker is played by a child at uid 65534";
    RaceTree tree;
    auto client = tree.client();
    // Root's bucket, kept by a report of root's that stays.
    auto keeper = RaceTree::newError(client);
    ASSERT_TRUE(keeper->save(nullptr));
    const std::string bucket = vtfolder::parentOf(*keeper->fileURL());
    const int bucketFd = ::open(bucket.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(bucketFd, 0);
    const std::string target = tree.target();
    const char* targetPath = target.c_str();
    // The attacker's "error folder" in root's bucket: a folder whose files
    // bear the names of the target's, swapped with a link to the target.
    testsupport::Attacker attacker([=] {
        ::mkdirat(bucketFd, "theirs", 0777);
        const int theirs = ::openat(bucketFd, "theirs", O_PATH | O_DIRECTORY | O_NOFOLLOW);
        if (theirs < 0) return;
        if (::mkdirat(theirs, "sub", 0777) == 0) {
            const int sub = ::openat(theirs, "sub", O_PATH | O_DIRECTORY | O_NOFOLLOW);
            if (sub >= 0) {
                ::close(::openat(sub, "precious", O_CREAT | O_WRONLY | O_NOFOLLOW, 0666));
                ::mkdirat(sub, "conf", 0777);
                ::close(sub);
            }
        }
        ::symlinkat(targetPath, theirs, "link");
        ::renameat2(theirs, "sub", theirs, "link", RENAME_EXCHANGE);
        ::renameat2(theirs, "sub", theirs, "link", RENAME_EXCHANGE);
        ::close(theirs);
    });
    ASSERT_TRUE(attacker.running());
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < kRounds && timeLeft(start); ++round) {
        auto error = RaceTree::newError(client);
        platform::Error failure;
        ASSERT_TRUE(error->save(&failure)) << failure.description();
        EXPECT_EQ(vtfolder::parentOf(*error->fileURL()), bucket);
        EXPECT_TRUE(error->remove(&failure)) << failure.description();
        // Root removes the other user's error folder as a submission would,
        // by the error and by the tree remover in turn.
        if (round % 2 == 0) {
            VTErrorInstance theirs(bucket + "/theirs", client, 1);
            theirs.remove(nullptr);
        } else {
            PelRmDir((bucket + "/theirs").c_str(), true);
        }
    }
    attacker.stop();
    ::close(bucketFd);
    EXPECT_TRUE(tree.targetUnchanged());
    EXPECT_EQ(read(*keeper->fileURL() + "/Log"), "log");
    EXPECT_TRUE(rootsAllTheWay(tree.shared(), bucket));
}
