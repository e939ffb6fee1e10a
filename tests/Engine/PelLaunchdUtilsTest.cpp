#include <fstream>
#include <iterator>

#include "Engine/PelLaunchdUtils.h"
#include "EngineTestSupport.h"

namespace enginetest {
namespace {

class LaunchAgentTest : public EngineFixture {
  protected:
    LaunchAgentTest() {
        writePlist(app_ + "/Contents/Info.plist",
                   Value(Dictionary{{"CFBundleIdentifier", "com.pelgrave.installer"},
                                    {"CFBundleExecutable", "Installer"}}));
        agents_.setRealUserId(0);
    }
    ~LaunchAgentTest() override { agents_.setRealUserId(std::nullopt); }

    std::string requirements(const std::string& version) {
        return writePlist(dir_.file("Requirements.plist"),
                          Value(Dictionary{{"PRODUCT_NAME", "Ostrel"},
                                           {"PRODUCT_VERSION", version},
                                           {"PRODUCT_ID", "com.pelgrave.brenmoor"}}));
    }
    std::optional<Value> agent() const {
        return platform::PropertyList::fromFile(agentPath_, nullptr, nullptr);
    }

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
