#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "Engine/PelLaunchdUtils.h"
#include "EngineTestSupport.h"
#include "support/UnprivilegedChild.h"

namespace enginetest {
namespace {

class LaunchAgentTest : public EngineFixture {
  protected:
    LaunchAgentTest() {
        writePlist(app_ + "/Contents/Info.plist",
                   Value(Dictionary{{"CFBundleIdentifier", "com.pelgrave.installer"},
                                    {"CFBundleExecutable", "Installer"}}));
        agents_.setRealUserId(0);
        std::filesystem::create_directories(home_);
        // The entry's place follows $XDG_CONFIG_HOME: the tests set it.
        if (const char* configured = std::getenv("XDG_CONFIG_HOME")) savedConfigHome_ = configured;
        unsetenv("XDG_CONFIG_HOME");
    }
    ~LaunchAgentTest() override {
        agents_.setRealUserId(std::nullopt);
        if (savedConfigHome_)
            setenv("XDG_CONFIG_HOME", savedConfigHome_->c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
    }

    std::string requirements(const std::string& version) {
        return writePlist(dir_.file("Requirements.plist"),
                          Value(Dictionary{{"PRODUCT_NAME", "Ostrel"},
                                           {"PRODUCT_VERSION", version},
                                           {"PRODUCT_ID", "com.pelgrave.brenmoor"}}));
    }
    std::optional<Value> agent() const {
        return platform::PropertyList::fromFile(agentPath_, nullptr, nullptr);
    }

    static std::string readFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string{std::istreambuf_iterator<char>(in), {}};
    }
    static uid_t ownerOf(const std::string& path) {
        struct stat info {};
        return ::lstat(path.c_str(), &info) == 0 ? info.st_uid : static_cast<uid_t>(-1);
    }

    std::string home_ = dir_.file("home");
    std::optional<std::string> savedConfigHome_;
    std::string app_ = dir_.file("Volume/Installer.app");
    std::string agentPath_ = rooted("/Library/LaunchAgents/com.pelgrave.installer.plist");
    PelLaunchdUtils& agents_ = PelLaunchdUtils::sharedLaunchdUtils();
    // Made after the constructor has written the Info.plist.
    std::optional<platform::Bundle> bundleStorage_;
    const platform::Bundle& bundle() {
        if (!bundleStorage_) bundleStorage_.emplace(app_);
        return *bundleStorage_;
    }
};

TEST_F(LaunchAgentTest, AgentFileHoldsExactlyItsThreeKeysAndReplacesAnOldOne) {
    writePlist(agentPath_, Value(Dictionary{{"Label", "old"}, {"KeepAlive", true}}));
    platform::Error error;
    ASSERT_TRUE(agents_.writeLaunchAgentWithBundle(&bundle(), "com.pelgrave.installer", &error))
        << error.description();
    Value expected = Dictionary{{"Label", "com.pelgrave.installer"},
                                {"RunAtLoad", true},
                                {"Program", app_ + "/Contents/MacOS/Installer"}};
    EXPECT_EQ(agent(), expected);

    EXPECT_TRUE(agents_.deleteLaunchAgentWithDomainName("com.pelgrave.installer", &error));
    EXPECT_FALSE(std::filesystem::exists(agentPath_));
    EXPECT_FALSE(agents_.deleteLaunchAgentWithDomainName("com.pelgrave.installer", &error));
    EXPECT_FALSE(error.empty());
}

// The agent is not read at log-in here: the autostart entry beside it is
// what starts the installer again, and it lives and goes with the agent.
TEST_F(LaunchAgentTest, AnAutostartEntryLivesAndGoesWithTheAgent) {
    const std::string entry = dir_.file("home/.config/autostart/com.pelgrave.installer.desktop");
    EXPECT_EQ(agents_.autostartEntryPath("com.pelgrave.installer"), entry);
    ASSERT_TRUE(agents_.writeLaunchAgentWithBundle(&bundle(), "com.pelgrave.installer", nullptr));
    std::ifstream in(entry, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u) << text;
    EXPECT_NE(text.find("\nType=Application\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nExec=\"" + app_ + "/Contents/MacOS/Installer\"\n"), std::string::npos)
        << text;
    EXPECT_TRUE(agents_.deleteLaunchAgentWithDomainName("com.pelgrave.installer", nullptr));
    EXPECT_FALSE(std::filesystem::exists(entry));
    EXPECT_FALSE(std::filesystem::exists(agentPath_));

    // Program paths are quoted for the Exec key; a line break cannot be.
    struct Case {
        const char* program;
        const char* exec;
    } cases[] = {
        {"/Apps/My Installer.app/Contents/MacOS/Installer",
         "Exec=\"/Apps/My Installer.app/Contents/MacOS/Installer\"\n"},
        {"/a/$x`y\"z", "Exec=\"/a/\\\\$x\\\\`y\\\\\"z\"\n"},
        {"/a/b\\c", "Exec=\"/a/b\\\\\\\\c\"\n"},
        {"/a/100%", "Exec=\"/a/100%%\"\n"},
    };
    for (const Case& c : cases) {
        auto text = PelLaunchdUtils::autostartEntryText("l", c.program);
        ASSERT_TRUE(text) << c.program;
        EXPECT_NE(text->find(c.exec), std::string::npos) << *text;
    }
    EXPECT_FALSE(PelLaunchdUtils::autostartEntryText("l", "/a\nExec=/bin/evil"));
    auto named = PelLaunchdUtils::autostartEntryText("a\\b", "/p");
    ASSERT_TRUE(named);
    EXPECT_NE(named->find("\nName=a\\\\b\n"), std::string::npos) << *named;
}

TEST_F(LaunchAgentTest, TheAutostartEntryGoesWhereXdgConfigHomeSays) {
    struct Case {
        const char* configHome;  // nullptr: unset
        std::string entry;
    } cases[] = {
        {nullptr, home_ + "/.config/autostart/com.pelgrave.installer.desktop"},
        {"", home_ + "/.config/autostart/com.pelgrave.installer.desktop"},
        {"relative/cfg", home_ + "/.config/autostart/com.pelgrave.installer.desktop"},
        {"/srv/cfg", rooted("/srv/cfg/autostart/com.pelgrave.installer.desktop")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.configHome ? c.configHome : "(unset)");
        if (c.configHome)
            setenv("XDG_CONFIG_HOME", c.configHome, 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        EXPECT_EQ(agents_.autostartEntryPath("com.pelgrave.installer"), c.entry);
        ASSERT_TRUE(
            agents_.writeLaunchAgentWithBundle(&bundle(), "com.pelgrave.installer", nullptr));
        EXPECT_NE(readFile(c.entry).find("\nExec=\"" + app_ + "/Contents/MacOS/Installer\"\n"),
                  std::string::npos);
        EXPECT_TRUE(agents_.deleteLaunchAgentWithDomainName("com.pelgrave.installer", nullptr));
        EXPECT_FALSE(std::filesystem::exists(c.entry));
    }
}

// sudo -E keeps the user's $HOME (and $XDG_CONFIG_HOME): the entry is that
// user's, and so is every folder made for it, or it is not written at all.
TEST_F(LaunchAgentTest, ARootRunWritesInAnotherUsersHomeOnlyAsThatUser) {
    if (geteuid() != 0) GTEST_SKIP() << "a root run with another user's home";
    const uid_t user = testsupport::kUnprivilegedId;
    testsupport::letOthersEnter(dir_.path(), home_);
    ASSERT_EQ(chown(home_.c_str(), user, user), 0);
    const std::string entry = home_ + "/.config/autostart/com.pelgrave.installer.desktop";
    ASSERT_TRUE(agents_.writeLaunchAgentWithBundle(&bundle(), "com.pelgrave.installer", nullptr));
    for (const std::string& made : {home_ + "/.config", home_ + "/.config/autostart", entry})
        EXPECT_EQ(ownerOf(made), user) << made;
    EXPECT_NE(readFile(entry).find("\nExec="), std::string::npos);
    EXPECT_EQ(ownerOf(agentPath_), 0u) << "the machine's agent stays root's";
    EXPECT_TRUE(agents_.deleteLaunchAgentWithDomainName("com.pelgrave.installer", nullptr));
    EXPECT_FALSE(std::filesystem::exists(entry));

    // $XDG_CONFIG_HOME in that user's home while $HOME is root's own.
    const std::string rootsHome = dir_.file("roothome");
    std::filesystem::create_directories(rootsHome);
    platform::Paths::setHomeDirectory(rootsHome);
    const std::string config = rooted("/users/u/cfg");
    std::filesystem::create_directories(rooted("/users/u"));
    testsupport::letOthersEnter(dir_.path(), rooted("/users/u"));
    ASSERT_EQ(chown(rooted("/users/u").c_str(), user, user), 0);
    setenv("XDG_CONFIG_HOME", "/users/u/cfg", 1);
    ASSERT_TRUE(agents_.writeLaunchAgentWithBundle(&bundle(), "com.pelgrave.installer", nullptr));
    for (const std::string& made :
         {config, config + "/autostart", config + "/autostart/com.pelgrave.installer.desktop"})
        EXPECT_EQ(ownerOf(made), user) << made;
    unsetenv("XDG_CONFIG_HOME");

    // A home that does not exist: root makes nothing for it; the agent,
    // which lives outside it, is still written.
    const std::string missing = dir_.file("gone/home");
    platform::Paths::setHomeDirectory(missing);
    EXPECT_TRUE(agents_.writeLaunchAgentWithBundle(&bundle(), "com.pelgrave.installer", nullptr));
    EXPECT_TRUE(std::filesystem::exists(agentPath_));
    EXPECT_FALSE(std::filesystem::exists(dir_.file("gone")));
}

TEST_F(LaunchAgentTest, FolderFollowsTheRealUser) {
    EXPECT_EQ(agents_.plistDestName("a.plist"), rooted("/Library/LaunchAgents/a.plist"));
    agents_.setRealUserId(501);
    EXPECT_EQ(agents_.plistDestName("a.plist"),
              dir_.file("home") + "/Library/LaunchAgents/a.plist");
    EXPECT_TRUE(agents_.writeLaunchAgentWithBundle(&bundle(), "com.pelgrave.installer", nullptr));
    EXPECT_TRUE(std::filesystem::exists(
        dir_.file("home/Library/LaunchAgents/com.pelgrave.installer.plist")));
}

TEST_F(LaunchAgentTest, RefusedInputsLeaveNoFileBehind) {
    EXPECT_FALSE(agents_.writeLaunchAgentWithBundle(nullptr, "com.pelgrave.installer", nullptr));
    for (const char* label : {"../escape", "", ".."})
        EXPECT_FALSE(agents_.writeLaunchAgentWithBundle(&bundle(), std::string(label), nullptr))
            << label;
    EXPECT_FALSE(agents_.writeLaunchAgentWithBundle(&bundle(), std::nullopt, nullptr));
    EXPECT_FALSE(std::filesystem::exists(rooted("/Library/escape.plist")));

    // Without an executable there is nothing to run: no half-written agent stays.
    writePlist(app_ + "/Contents/Info.plist",
               Value(Dictionary{{"CFBundleIdentifier", "com.pelgrave.installer"}}));
    platform::Bundle noProgram(app_);
    platform::Error error;
    EXPECT_FALSE(agents_.writeLaunchAgentWithBundle(&noProgram, "com.pelgrave.installer", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(std::filesystem::exists(agentPath_));
}

TEST_F(LaunchAgentTest, RefusedWhenTheSameOrANewerVersionIsInstalled) {
    struct Case {
        const char* name;
        std::optional<Dictionary> installed;
        std::string listVersion;
        bool written;
    } cases[] = {
        {"not installed", std::nullopt, "5.2", true},
        {"same version", Dictionary{{"Version", "5.2.0"}}, "5.2", false},
        {"newer installed", Dictionary{{"Version", "6.0"}}, "5.2", false},
        {"older installed", Dictionary{{"Version", "5.1.9"}}, "5.2", true},
        {"installed without version", Dictionary{}, "5.2", true},
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(rooted("/Library/Application Support/Pelgrave/Registry"));
        std::filesystem::create_directories(
            rooted("/Library/Application Support/Pelgrave/Registry"));
        std::filesystem::remove(agentPath_);
        if (c.installed) {
            Dictionary module = *c.installed;
            module["Type"] = "Product";
            module["Identifier"] = "com.pelgrave.brenmoor";
            writeModule("product.plist", module);
        }
        platform::Error error;
        EXPECT_EQ(agents_.writeLaunchAgent(requirements(c.listVersion), bundle(), &error),
                  c.written)
            << c.name;
        EXPECT_EQ(std::filesystem::exists(agentPath_), c.written) << c.name;
        if (!c.written) {
            EXPECT_EQ(error.domain(), "InstallErrorDomain");
            EXPECT_EQ(error.code(), -394);
            EXPECT_EQ(error.userInfoValue("InstallErrorInformation")->stringValue(),
                      "Error in writing the launch agent file. A higher version of the product is "
                      "already "
                      "installed.");
        }
    }
}

TEST_F(LaunchAgentTest, RequirementListDecidesWhetherTheVersionIsTested) {
    writeModule("product.plist", Dictionary{{"Type", "Product"},
                                            {"Identifier", "com.pelgrave.brenmoor"},
                                            {"Version", "9.0"}});
    // No list, or none at the path: written without a test.
    EXPECT_TRUE(agents_.writeLaunchAgent(std::nullopt, bundle(), nullptr));
    EXPECT_TRUE(agents_.writeLaunchAgent(dir_.file("missing.plist"), bundle(), nullptr));
    // A list that cannot be read hands on the container's error.
    platform::Error error;
    EXPECT_FALSE(agents_.writeLaunchAgent(dir_.write("bad.plist", "garbage"), bundle(), &error));
    EXPECT_EQ(error.code(), -389);
    // Without a bundle identifier there is no label.
    writePlist(app_ + "/Contents/Info.plist",
               Value(Dictionary{{"CFBundleExecutable", "Installer"}}));
    EXPECT_FALSE(agents_.writeLaunchAgent(std::nullopt, platform::Bundle(app_), nullptr));
}

}  // namespace
}  // namespace enginetest
