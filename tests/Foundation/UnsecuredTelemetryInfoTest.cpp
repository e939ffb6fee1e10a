#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <latch>
#include <sstream>
#include <thread>

#include "Foundation/PelErrReporting.h"
#include "Foundation/PelErrReportingTesting.h"
#include "Foundation/UnsecuredTelemetryInfo.h"
#include "FoundationTestSupport.h"
#include "Platform/System/Paths.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

constexpr char kUpper[] = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";
constexpr char kLower[] = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
constexpr char kOther[] = "11111111-2222-3333-4444-555555555555";
constexpr char kMalformed[] = "this is not an identifier, but 36 ch";
constexpr std::int32_t kUTif = 0x55546966;

bool isNewIdentifier(const std::string& id) {
    if (id.size() != 36) return false;
    for (std::size_t i = 0; i < id.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        unsigned char c = static_cast<unsigned char>(id[i]);
        if (dash ? c != '-' : !(std::isdigit(c) || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

std::optional<std::string> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class UnsecuredTelemetryInfoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        UnsecuredTelemetryInfo::ResetForTesting();
        fs::create_directories(root_ + "/Library/Application Support");
        fs::create_directories(root_ + "/var/tmp");
    }
    void TearDown() override { UnsecuredTelemetryInfo::ResetForTesting(); }

    std::string primaryFolder() const {
        return root_ + "/Library/Application Support/Pelgrave/Daemon";
    }
    std::string primary() const { return primaryFolder() + "/Data2.chk"; }
    std::string fallback() const { return root_ + "/var/tmp/Data2.chk"; }
    void writeFile(const std::string& path, const std::string& text) const {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }
    /// Lets user 65534 reach the test's folders.
    void openToOthers() const {
        fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::group_read |
                                         fs::perms::group_exec | fs::perms::others_read |
                                         fs::perms::others_exec);
        for (const char* sub : {"/", "/Library", "/Library/Application Support", "/var"})
            chmod((root_ + sub).c_str(), 0755);
        chmod((root_ + "/var/tmp").c_str(), 01777);
    }

    testsupport::TempDir dir_;
    std::string root_ = dir_.file("root");
    platform::Paths::ScopedRoot pathRoot_{root_, dir_.file("home")};
    foundationtest::QuietLogging logging_;
    PelErrReportingRecorder reports_;
};

}  // namespace

TEST_F(UnsecuredTelemetryInfoTest, FileStates) {
    struct Case {
        const char* name;
        std::optional<std::string> primary, fallback;
        // The identifier expected; empty: a new one.
        std::string want;
        // The one data entry the single expected report carries, if any.
        const char* reportKey;
        platform::Value reportValue;
        bool fallbackRemains;
    } cases[] = {
        {"upper case", kUpper, std::nullopt, kUpper, nullptr, {}, false},
        {"lower case", kLower, std::nullopt, kLower, nullptr, {}, false},
        {"longer file", std::string(kUpper) + "\n", std::nullopt, kUpper, nullptr, {}, false},
        {"malformed is taken", kMalformed, std::nullopt, kMalformed, "Bad endpointID", kMalformed,
         false},
        {"short file", "0123456789", std::nullopt, "", "bytesRead", 10, false},
        {"empty file", "", std::nullopt, "", "bytesRead", 0, false},
        {"no file", std::nullopt, std::nullopt, "", nullptr, {}, false},
        {"only the fallback", std::nullopt, kLower, kLower, nullptr, {}, false},
        {"short primary, fallback", "0123456789", kOther, kOther, "bytesRead", 10, false},
        {"primary wins, fallback left", kUpper, kOther, kUpper, nullptr, {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UnsecuredTelemetryInfo::ResetForTesting();
        reports_.clear();
        fs::remove_all(root_ + "/Library/Application Support/Pelgrave");
        fs::remove(fallback());
        if (c.primary) writeFile(primary(), *c.primary);
        if (c.fallback) writeFile(fallback(), *c.fallback);

        std::string id = UnsecuredTelemetryInfo::GetUnsecuredEndpointID(nullptr);

        if (c.want.empty()) {
            EXPECT_TRUE(isNewIdentifier(id)) << id;
        } else {
            EXPECT_EQ(id, c.want);
        }
        // A file holding a usable identifier is left as it is; otherwise the
        // identifier in use is written to the primary file.
        std::string primaryWant = c.primary && c.primary->size() >= 36 ? *c.primary : id;
        EXPECT_EQ(readFile(primary()), primaryWant);
        EXPECT_EQ(fs::exists(fallback()), c.fallbackRemains);

        auto records = reports_.records();
        ASSERT_EQ(records.size(), c.reportKey ? 1u : 0u);
        if (c.reportKey) {
            EXPECT_EQ(records[0].failureCode, kUTif);
            EXPECT_EQ(records[0].severity, 0);
            EXPECT_EQ(records[0].component, "");
            ASSERT_TRUE(records[0].data.count(c.reportKey));
            EXPECT_EQ(records[0].data.at(c.reportKey), c.reportValue);
        }
    }
}

TEST_F(UnsecuredTelemetryInfoTest, NewIdentifierIsStoredReadableByAllInItsFolders) {
    bool root = geteuid() == 0;
    std::string savedGroup = UnsecuredTelemetryInfo::AdminGroupName();
    UnsecuredTelemetryInfo::SetAdminGroupName("nogroup");
    mode_t oldMask = umask(077);  // the file must be readable by all whatever the umask
    std::string id = UnsecuredTelemetryInfo::GetUnsecuredEndpointID(nullptr);
    umask(oldMask);
    UnsecuredTelemetryInfo::SetAdminGroupName(savedGroup);

    EXPECT_TRUE(isNewIdentifier(id)) << id;
    EXPECT_EQ(readFile(primary()), id);
    EXPECT_EQ(modeOf(primary()), 0664u);
    EXPECT_EQ(modeOf(primaryFolder()), 0771u);
    EXPECT_EQ(modeOf(root_ + "/Library/Application Support/Pelgrave"), 0771u);
    if (root) {
        struct stat st {};
        ASSERT_EQ(stat(primaryFolder().c_str(), &st), 0);
        EXPECT_EQ(st.st_gid, 65534u);
    }
    // Stable across calls, even when the file changes under it.
    writeFile(primary(), kOther);
    EXPECT_EQ(UnsecuredTelemetryInfo::GetUnsecuredEndpointID(nullptr), id);
}

TEST_F(UnsecuredTelemetryInfoTest, GivenPathIsOnlyRead) {
    std::string path = dir_.file("elsewhere/Data2.chk");
    EXPECT_STREQ(UnsecuredTelemetryInfo::GetUnsecuredEndpointID(path.c_str()), "");
    EXPECT_FALSE(fs::exists(primary()));
    EXPECT_FALSE(fs::exists(fallback()));

    writeFile(path, kLower);
    EXPECT_STREQ(UnsecuredTelemetryInfo::GetUnsecuredEndpointID(path.c_str()), kLower);
    EXPECT_FALSE(fs::exists(primary()));
}

TEST_F(UnsecuredTelemetryInfoTest, PlantedLinksAndPipesInTheFallbackFolderAreNotFollowed) {
    std::string target = dir_.file("secret");
    for (const char* planted : {"fifo", "symbolic link", "hard link"}) {
        SCOPED_TRACE(planted);
        UnsecuredTelemetryInfo::ResetForTesting();
        fs::remove_all(root_ + "/Library/Application Support/Pelgrave");
        fs::remove(fallback());
        writeFile(target, kOther);
        if (std::string(planted) == "fifo") {
            ASSERT_EQ(mkfifo(fallback().c_str(), 0666), 0);
        } else if (std::string(planted) == "symbolic link") {
            fs::create_symlink(target, fallback());
        } else {
            fs::create_hard_link(target, fallback());
        }

        std::string id = UnsecuredTelemetryInfo::GetUnsecuredEndpointID(nullptr);

        EXPECT_TRUE(isNewIdentifier(id)) << id;
        EXPECT_NE(id, kOther);
        EXPECT_EQ(readFile(target), kOther);
        EXPECT_EQ(readFile(primary()), id);
    }
}

TEST_F(UnsecuredTelemetryInfoTest, TwoThreadsGetOneIdentifier) {
    constexpr int kThreads = 8;
    std::latch start(kThreads);
    std::string ids[kThreads];
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            ids[i] = UnsecuredTelemetryInfo::GetUnsecuredEndpointID(nullptr);
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_TRUE(isNewIdentifier(ids[0]));
    for (const std::string& id : ids) EXPECT_EQ(id, ids[0]);
    EXPECT_EQ(readFile(primary()), ids[0]);
    EXPECT_FALSE(fs::exists(fallback()));
}

TEST_F(UnsecuredTelemetryInfoTest, IdentifierIsSharedWithOtherProcessesAndUsers) {
    std::string id = UnsecuredTelemetryInfo::GetUnsecuredEndpointID(nullptr);
    ASSERT_TRUE(isNewIdentifier(id));
    bool otherUser = foundationtest::canDropPrivileges();
    if (otherUser) openToOthers();
    auto seen = foundationtest::runInChild(
        [] {
            UnsecuredTelemetryInfo::ResetForTesting();
            return std::string(UnsecuredTelemetryInfo::GetUnsecuredEndpointID(nullptr));
        },
        otherUser);
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(*seen, id);
    // Nobody wrote a second identifier.
    EXPECT_FALSE(fs::exists(fallback()));
}

TEST_F(UnsecuredTelemetryInfoTest, WithoutPermissionTheFallbackIsUsed) {
    std::string locked = root_ + "/Library/Application Support";
    std::optional<std::string> id;
    if (foundationtest::canDropPrivileges()) {
        openToOthers();
        id = foundationtest::runInChild(
            [] {
                UnsecuredTelemetryInfo::ResetForTesting();
                std::string first = UnsecuredTelemetryInfo::GetUnsecuredEndpointID(nullptr);
                std::string again = UnsecuredTelemetryInfo::GetUnsecuredEndpointID(nullptr);
                return first == again ? first : std::string("changed");
            },
            true);
    } else {
        chmod(locked.c_str(), 0555);
        id = UnsecuredTelemetryInfo::GetUnsecuredEndpointID(nullptr);
        chmod(locked.c_str(), 0755);
    }
    ASSERT_TRUE(id.has_value());
    EXPECT_TRUE(isNewIdentifier(*id)) << *id;
    EXPECT_EQ(readFile(fallback()), *id);
    EXPECT_FALSE(fs::exists(root_ + "/Library/Application Support/Pelgrave"));
    EXPECT_EQ(modeOf(fallback()), 0664u);

    // A process that may write the primary folder moves it there.
    UnsecuredTelemetryInfo::ResetForTesting();
    EXPECT_EQ(UnsecuredTelemetryInfo::GetUnsecuredEndpointID(nullptr), *id);
    EXPECT_EQ(readFile(primary()), *id);
    EXPECT_FALSE(fs::exists(fallback()));
}
