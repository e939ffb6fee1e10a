#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "Engine/PelStandaloneInstaller.h"
#include "EngineTestSupport.h"
#include "PackageFixtures.h"
#include "support/FakeTaskLauncher.h"

namespace {

using platform::Array;
using platform::Dictionary;
using platform::Value;

/// Records every callback as text.
class RecordingProgress : public InstallProgressProtocol {
  public:
    bool respondsTo(InstallProgressOperation) const override { return true; }
    void installProgressPercent(double p) override { percents.push_back(p); }
    void installProgressPhaseString(const std::string& s) override { phases.push_back(s); }
    void installCompleteReason(const std::string& s) override { reasons.push_back(s); }
    std::vector<double> percents;
    std::vector<std::string> phases, reasons;
};

Value package(const std::string& path, int priority) {
    return Value(Dictionary{
        {"pkgName", Value(path)}, {"pkgPriority", Value(priority)}, {"pingModuleID", Value(7)}});
}

class PelStandaloneInstallerTest : public enginetest::EngineFixture {
  protected:
    std::string signedPackage(const std::string& name) {
        return enginetest::writePackage(
            dir_.file("pkgs/" + name),
            mkpkg::buildComponentPackage(enginetest::sampleComponent("com.x." + name, "f", "x"),
                                         trust_.signing()));
    }

    // The system installer stands in as a shell script that reads the
    // package name from its arguments.
    void installerScript(const std::string& body) {
        const std::string path = rooted("/usr/sbin/installer");
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path) << "#!/bin/sh\npkg=\"$5\"\n" << body;
        chmod(path.c_str(), 0755);
    }

    enginetest::ScopedPackageTrust trust_;
    RecordingProgress progress_;
};

TEST_F(PelStandaloneInstallerTest, OptionalFailuresNeverFailTheRunWhereverTheyCome) {
    installerScript(
        "case \"$pkg\" in *bad*) echo 'installer: Error - broken'; exit 1;; esac\n"
        "echo 'installer:%50.0'; echo 'installer:The software was successfully installed'\n");
    const std::string good = signedPackage("good.pkg"), bad = signedPackage("bad.pkg");
    struct Case {
        Array list;
        int expected;
    } cases[] = {
        {{package(bad, -1), package(good, 0)}, 0},
        {{package(good, 0), package(bad, -1)}, 0},
        {{package(bad, 0), package(good, 0)}, 1},
    };
    for (const auto& c : cases) {
        PelStandaloneInstaller installer;
        EXPECT_EQ(installer.installPackages(c.list, &progress_), c.expected);
    }
    PelStandaloneInstaller installer;
    EXPECT_EQ(installer.installPackages({}, &progress_), 1);
}

TEST_F(PelStandaloneInstallerTest, ExitStatusesOfTheToolReachTheCaller) {
    const std::string pkg = signedPackage("p.pkg");
    struct Case {
        const char* script;
        int expected;
    } cases[] = {
        {"echo 'installer:The software was successfully installed'; kill -9 $$\n", 128 + 9},
        {"exit 0\n", 0},
        {"exit 4\n", 4},
    };
    for (const auto& c : cases) {
        installerScript(c.script);
        PelStandaloneInstaller installer;
        EXPECT_EQ(installer.installPackages({package(pkg, 0)}, &progress_), c.expected) << c.script;
    }
    std::filesystem::remove(rooted("/usr/sbin/installer"));
    PelStandaloneInstaller installer;
    EXPECT_EQ(installer.installPackages({package(pkg, 0)}, &progress_), platform::kTaskCannotStart);
}

TEST_F(PelStandaloneInstallerTest, ABadSignatureStopsBeforeTheToolRuns) {
    devsign::PrivateKey stranger = devsign::PrivateKey::generateRSA(2048);
    const std::string pkg = enginetest::writePackage(
        dir_.file("bad.pkg"),
        mkpkg::buildComponentPackage(enginetest::sampleComponent("com.x.bad", "f", "x"),
                                     {&stranger, trust_.signing().certificates}));
    auto launcher = std::make_shared<testsupport::FakeTaskLauncher>();
    PelStandaloneInstaller installer(launcher);
    EXPECT_EQ(installer.installPackages({package(pkg, -1)}, &progress_), 1);
    EXPECT_TRUE(launcher->tasks().empty());
    ASSERT_EQ(progress_.reasons.size(), 1u);
    EXPECT_EQ(progress_.reasons[0].rfind("Failed to authenticate installer package at path:", 0),
              0u);
    EXPECT_NE(progress_.reasons[0].find(".\nError Code:-706"), std::string::npos);
}

TEST_F(PelStandaloneInstallerTest, TheToolGetsAVerifiedRootOnlyCopyAndItsOutputInWholeLines) {
    // Split writes, an invalid byte and a grandchild that keeps the pipe open.
    installerScript(
        "[ \"$(stat -c %a:%u \"$(dirname \"$pkg\")\")\" = 700:0 ] || echo 'installer: Error - "
        "open'\n"
        "printf 'installer:PHA'; sleep 0.05; printf 'SE:Writing \\377 files\\ninstaller:%%50'\n"
        "sleep 0.05; printf '.0\\n'; (sleep 30 &); echo 'installer:The upgrade was successful.'\n");
    const std::string pkg = signedPackage("p.pkg");
    PelStandaloneInstaller installer;
    EXPECT_EQ(installer.installPackages({package(pkg, 0), package(pkg, 0)}, &progress_), 0);
    EXPECT_EQ(progress_.phases, (std::vector<std::string>{"Writing \xEF\xBF\xBD files",
                                                          "Writing \xEF\xBF\xBD files"}));
    EXPECT_EQ(progress_.percents, (std::vector<double>{25.0, 75.0}));
    EXPECT_EQ(progress_.reasons, (std::vector<std::string>{"The upgrade was successful.",
                                                           "The upgrade was successful."}));
    auto launcher = std::make_shared<testsupport::FakeTaskLauncher>();
    PelStandaloneInstaller recorded(launcher);
    recorded.installPackages({package(pkg, 0)}, nullptr);
    ASSERT_EQ(launcher->tasks().size(), 1u);
    const auto args = launcher->tasks()[0].arguments;
    ASSERT_EQ(args.size(), 5u);
    EXPECT_EQ(args[0], "-verboseR");
    EXPECT_NE(args[4], pkg);
    EXPECT_EQ(std::filesystem::path(args[4]).filename(), "p.pkg");
    EXPECT_FALSE(std::filesystem::exists(args[4]));  // removed after the run
}

TEST(PelInstallerOutputParserTest, LinesBecomePhasesPercentsAndReasons) {
    struct Case {
        const char* line;
        const char* kind;
        const char* text;
    } cases[] = {
        {"installer:%45.5", "percent", "45.5"},
        {"installer:PHASE:Validating packages\xE2\x80\xA6", "phase",
         "Validating packages\xE2\x80\xA6"},
        {"installer: Error - the disk is FULL", "reason", " Error - the disk is FULL"},
        {"installer: the package is Incompatible", "reason", " the package is Incompatible"},
        {"installer:THE UPGRADE WAS SUCCESSFUL.", "reason", "The upgrade was successful."},
        {"The Software Was Successfully Installed", "reason",
         "The software was successfully installed"},
        {"installer: Package name is x", "", ""},
    };
    for (const auto& c : cases) {
        std::string kind, text;
        PelInstallerOutputParser parser({[&](const std::string& t) { kind = "phase", text = t; },
                                         [&](const std::string& t) { kind = "percent", text = t; },
                                         [&](const std::string& t) { kind = "reason", text = t; }});
        parser.parseProgressString(c.line);
        EXPECT_EQ(kind, c.kind) << c.line;
        EXPECT_EQ(text, c.text) << c.line;
    }
}

TEST(PelStandaloneInstallerPercentTest, OverallPercentStaysWithinBounds) {
    auto launcher = std::make_shared<testsupport::FakeTaskLauncher>();
    PelStandaloneInstaller idle(launcher);
    // No run yet: the total is 0 and nothing is divided by it.
    EXPECT_EQ(idle.percentString("42"), 42.0);
    EXPECT_EQ(idle.percentString("250"), 100.0);
    EXPECT_EQ(idle.percentString("-3"), 0.0);
    EXPECT_EQ(idle.percentString("nan"), std::nullopt);
    EXPECT_EQ(idle.percentString("inf"), std::nullopt);
    EXPECT_EQ(idle.percentString("abc"), std::nullopt);
}

}  // namespace
