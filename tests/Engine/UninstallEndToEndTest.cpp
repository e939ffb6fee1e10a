// The uninstall helper for real: blessed into the test's root, driven by the
// uninstall client, removing what a sample package installed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "Engine/PelULogging.h"
#include "Engine/PelUninstallXPCClient.h"
#include "EngineTestSupport.h"
#include "PackageFixtures.h"
#include "Platform/System/ServiceManagement.h"
#include "UninstallRecorder.h"
#include "installer/PelPkgInstall.h"
#include "pelsign/DevSigning.h"
#include "support/FakeClientProcess.h"
#include "support/ParkedRootProcess.h"
#include "support/QueueHelpers.h"

namespace enginetest {
namespace {

namespace fs = std::filesystem;

class UninstallEndToEndTest : public EngineFixture {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "blessing needs root";
        PelLogChannel::Config config = PelULogging::channelConfig();
        config.copyToStderr = false;
        config.sendToSystemLog = false;
        PelULogging::setChannel(std::make_shared<PelLogChannel>(config));
        fs::create_directories(bundle_ + "/Contents/Library/LaunchServices");
        fs::copy_file(PEL_UNINSTALL_HELPER_PATH,
                      bundle_ + "/Contents/Library/LaunchServices/" + kPelUninstallHelperLabel);
        platform::Error error;
        ASSERT_TRUE(platform::SMBlessHelperAsRoot(bundle_, kPelUninstallHelperLabel, 501, &error))
            << error.description();
        client_->setProduct(&delegate_);
    }
    void TearDown() override {
        if (geteuid() != 0) return;
        client_->cancelInstallTimer();
        client_->closeConnection();
        platform::SMRemoveJobAsRoot(kPelUninstallHelperLabel, nullptr);
        platform::RunLoop::drainPending();
        PelULogging::setChannel(nullptr);
    }

    // Installs a sample product onto `volume`: a package and its registry module.
    void installSample(const std::string& volume = "/") {
        auto component = sampleComponent("com.pelgrave.sample.core", "opt/sample/bin/tool", "x");
        component.payload.push_back(
            {"./opt/sample/link", mkpkg::PayloadEntry::Kind::Symlink, "", "bin/tool", 0755});
        const std::string package = writePackage(
            dir_.file("Sample.pkg"), mkpkg::buildComponentPackage(component, developmentSigning()));
        ASSERT_EQ(pkginstall::installPackage(package, volume, [](const std::string&) {}).status, 0);
        writeModule("sample.plist", {{"Type", "Product"},
                                     {"Identifier", "com.pelgrave.sample"},
                                     {"Features", Array{"com.pelgrave.sample.feature"}}});
        writeModule("feature.plist",
                    {{"Type", "Feature"}, {"Identifier", "com.pelgrave.sample.feature"}});
        writeModule("other.plist", {{"Type", "Product"}, {"Identifier", "com.pelgrave.other"}});
    }
    // A tool inside the bundle that leaves a mark; signed unless told not to.
    std::string tool(const std::string& name, bool sign = true) {
        const std::string relative = "Contents/Resources/" + name;
        const std::string script = "#!/bin/sh\ntouch \"$PEL_PATH_ROOT/var/tmp/" + name + "-ran\"\n";
        fs::create_directories(bundle_ + "/Contents/Resources");
        devsign::writeFile(bundle_ + "/" + relative, script);
        chmod((bundle_ + "/" + relative).c_str(), 0755);
        const auto key = devsign::PrivateKey::loadPEM(std::string(PEL_DEV_KEYS_DIR) +
                                                      "/data-signing.DEVELOPMENT-ONLY.key.pem");
        const platform::Data signature =
            devsign::makeDetachedSignature(sign ? script : script + "changed", key);
        devsign::writeFile(bundle_ + "/" + relative + ".sig",
                           std::string(signature.begin(), signature.end()));
        return relative;
    }
    void uninstall(const std::vector<std::string>& products, const Dictionary& pre,
                   const Dictionary& post) {
        ASSERT_TRUE(client_->PelXPC_CreateMachService(kPelUninstallHelperLabel));
        ASSERT_TRUE(client_->uninstallProducts(products, pre, post));
        ASSERT_TRUE(delegate_.waitForEnd(std::chrono::seconds(30)))
            << ::testing::PrintToString(delegate_.calls());
        // Nothing follows the end.
        platform::RunLoop::runUntil([] { return false; }, std::chrono::milliseconds(100));
    }
    bool ran(const std::string& name) const {
        return fs::exists(rooted("/var/tmp/" + name + "-ran"));
    }

    testsupport::MainQueueGuard mainGuard_;
    std::string bundle_ = dir_.file("Test.app");
    std::shared_ptr<PelUninstallXPCClient> client_ = std::make_shared<PelUninstallXPCClient>();
    RecordingUninstall delegate_;
};

TEST_F(UninstallEndToEndTest, RemovesFilesReceiptAndModulesBetweenSignedTools) {
    installSample();
    fs::create_directories(rooted("/var/tmp"));
    const auto begin = std::chrono::steady_clock::now();
    uninstall({"com.pelgrave.sample"}, {{bundle_, Value(tool("pre"))}},
              {{bundle_, Value(tool("post"))}});
    RecordProperty("uninstall_ms",
                   std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - begin)
                                      .count()));
    EXPECT_EQ(delegate_.calls(),
              (std::vector<std::string>{"started", "package com.pelgrave.sample",
                                        "report Removed %@ / com.pelgrave.sample.core",
                                        "report Removed %@ / com.pelgrave.sample.feature",
                                        "report Removed %@ / com.pelgrave.sample", "ended"}));
    EXPECT_EQ(client_->pelUninstallStatus(), 703);
    EXPECT_TRUE(ran("pre"));
    EXPECT_TRUE(ran("post"));
    EXPECT_FALSE(fs::exists(rooted("/opt/sample")));
    EXPECT_TRUE(fs::exists(rooted("/opt")));  // folders right under the root stay
    EXPECT_FALSE(fs::exists(rooted("/var/db/receipts/com.pelgrave.sample.core.plist")));
    const std::string registry = rooted("/Library/Application Support/Pelgrave/Registry/");
    EXPECT_FALSE(fs::exists(registry + "sample.plist"));
    EXPECT_FALSE(fs::exists(registry + "feature.plist"));
    EXPECT_TRUE(fs::exists(registry + "other.plist"));
    // The tools' copies are gone.
    EXPECT_TRUE(fs::is_empty(rooted("/var/db/pelgrave")));
}

TEST_F(UninstallEndToEndTest, AnUnsignedToolOrOneOutsideTheBundleIsNotRun) {
    installSample();
    fs::create_directories(rooted("/var/tmp"));
    devsign::writeFile(dir_.file("outside.sh"),
                       "#!/bin/sh\ntouch \"$PEL_PATH_ROOT/var/tmp/outside-ran\"\n");
    chmod(dir_.file("outside.sh").c_str(), 0755);
    struct Case {
        const char* name;
        std::string tool;
    } cases[] = {{"bad signature", tool("unsigned", false)},
                 {"leaves the bundle", "../outside.sh"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        delegate_.clear();
        uninstall({"com.pelgrave.sample"}, {{bundle_, Value(c.tool)}},
                  {{bundle_, Value(tool("post"))}});
        const auto calls = delegate_.calls();
        ASSERT_EQ(calls.size(), 3u) << ::testing::PrintToString(calls);
        EXPECT_EQ(calls[0], "started");
        EXPECT_EQ(calls[1].rfind("error ", 0), 0u);
        EXPECT_EQ(calls[2], "endedWithError");
        EXPECT_EQ(client_->pelUninstallStatus(), 702);
    }
    EXPECT_FALSE(ran("unsigned"));
    EXPECT_FALSE(ran("outside"));
    EXPECT_FALSE(ran("post"));
    EXPECT_TRUE(fs::exists(rooted("/var/db/receipts/com.pelgrave.sample.core.plist")));
}

TEST_F(UninstallEndToEndTest, AReceiptCannotReachOutsideTheRootOrThroughALink) {
    const std::string outside = dir_.file("outside.txt");
    devsign::writeFile(outside, "keep");
    fs::create_directories(rooted("/opt/keep"));
    devsign::writeFile(rooted("/opt/keep/file"), "keep");
    fs::create_directories(rooted("/opt/evil"));
    fs::create_symlink(dir_.path(), rooted("/opt/evil/up"));
    fs::create_symlink(rooted("/opt/keep/file"), rooted("/opt/evil/link"));
    writePlist(rooted("/var/db/receipts/com.pelgrave.evil.plist"),
               Value(Dictionary{{"PackageIdentifier", "com.pelgrave.evil"},
                                {"InstallPrefixPath", "/"},
                                {"Files", Array{"../../outside.txt", "opt/evil/up/outside.txt",
                                                "opt/evil/link", "/opt/keep/file"}}}));
    // An install location that is itself a link.
    writePlist(rooted("/var/db/receipts/com.pelgrave.evil.linked.plist"),
               Value(Dictionary{{"PackageIdentifier", "com.pelgrave.evil.linked"},
                                {"InstallPrefixPath", "/opt/evil/up"},
                                {"Files", Array{"outside.txt"}}}));
    uninstall({"com.pelgrave.evil"}, {}, {});
    EXPECT_TRUE(fs::exists(outside));
    EXPECT_TRUE(fs::exists(rooted("/opt/keep/file")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(rooted("/opt/evil/link"))));  // the link itself goes
    // The helper finished, reporting what it left.
    const auto calls = delegate_.calls();
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                            [](const std::string& c) { return c.rfind("error ", 0) == 0; }),
              4)
        << ::testing::PrintToString(calls);
    EXPECT_EQ(calls.back(), "ended");
    EXPECT_EQ(client_->pelUninstallStatus(), 702);
    // What could not be removed keeps its receipt.
    EXPECT_TRUE(fs::exists(rooted("/var/db/receipts/com.pelgrave.evil.plist")));
}

TEST_F(UninstallEndToEndTest, FilesGoFromTheVolumeTheReceiptNamesAndNowhereElse) {
    const std::string volume = mountVolume("/Volumes/Extra");
    installSample("/Volumes/Extra");
    ASSERT_TRUE(fs::exists(volume + "/opt/sample/bin/tool"));
    // Unrelated files where the package would have gone on the system volume.
    fs::create_directories(rooted("/opt/sample/bin"));
    devsign::writeFile(rooted("/opt/sample/bin/tool"), "unrelated");
    // A receipt whose volume is not (or no longer) mounted removes nothing.
    fs::create_directories(rooted("/etc"));
    devsign::writeFile(rooted("/etc/passwd"), "keep");
    writePlist(rooted("/var/db/receipts/com.pelgrave.sample.gone.plist"),
               Value(Dictionary{{"PackageIdentifier", "com.pelgrave.sample.gone"},
                                {"InstallPrefixPath", "/"},
                                {"InstallVolume", "/etc"},
                                {"Files", Array{"passwd"}}}));
    uninstall({"com.pelgrave.sample"}, {}, {});
    EXPECT_FALSE(fs::exists(volume + "/opt/sample"));
    EXPECT_TRUE(fs::exists(volume + "/opt"));  // folders right under the volume stay
    EXPECT_FALSE(fs::exists(rooted("/var/db/receipts/com.pelgrave.sample.core.plist")));
    EXPECT_EQ(devsign::readFile(rooted("/opt/sample/bin/tool")), "unrelated");
    EXPECT_EQ(devsign::readFile(rooted("/etc/passwd")), "keep");
    EXPECT_TRUE(fs::exists(rooted("/var/db/receipts/com.pelgrave.sample.gone.plist")));
    const std::string calls = ::testing::PrintToString(delegate_.calls());
    EXPECT_NE(calls.find("is not a mounted volume"), std::string::npos) << calls;
    EXPECT_EQ(client_->pelUninstallStatus(), 702);
}

TEST_F(UninstallEndToEndTest, AnotherUsersToolInAFolderItCannotReadIsNeitherReadNorRun) {
    // The helper serves the unprivileged user, who names a signed tool
    // inside a bundle below a root-only folder, next to one it may read:
    // plainly, and through the /proc links of a root process parked beside
    // the bundle, which lead past the closed folder.
    platform::Error error;
    ASSERT_TRUE(platform::SMBlessHelperAsRoot(bundle_, kPelUninstallHelperLabel, 65534, &error))
        << error.description();
    installSample();
    fs::create_directories(rooted("/var/tmp"));
    const std::string secret = tool("secret");
    const std::string hidden = dir_.file("hidden/in");
    fs::create_directories(hidden);
    fs::copy(bundle_, hidden + "/Test.app", fs::copy_options::recursive);
    chmod(dir_.file("hidden").c_str(), 0700);
    const std::string open = tool("open");
    chmod(dir_.path().c_str(), 0711);
    testsupport::ParkedRootProcess parked(hidden, {});
    ASSERT_TRUE(parked.valid());
    std::vector<std::string> bundles = parked.spellings("Test.app");
    const std::string mine = dir_.file("mine");
    fs::create_directories(mine);
    chmod(mine.c_str(), 0755);
    fs::create_symlink(parked.spellings("Test.app")[0], mine + "/Test.app");
    bundles.push_back(mine + "/Test.app");
    bundles.push_back(hidden + "/Test.app");
    auto request = [](const std::string& products, const std::string& bundle,
                      const std::string& tool) {
        return R"({"PelUninstallType": "502", "PelUninstallProducts": [)" + products +
               R"(], "PelUninstall_PreUninstallTools": {")" + bundle + R"(": ")" + tool + R"("}})";
    };
    std::vector<std::string> requests;
    for (const std::string& bundle : bundles) {
        ASSERT_TRUE(fs::exists(bundle + "/" + secret)) << "root does not reach " << bundle;
        requests.push_back(request(R"("com.pelgrave.sample")", bundle, secret));
    }
    // The last request shows that the helper still serves the user, and
    // that the same kind of tool runs when that user can read it.
    requests.push_back(request("", bundle_, open));
    const auto run = testsupport::runFakeClient(
        {kPelUninstallHelperLabel, 65534, R"({"PelUninstallStatus": "703"})", requests});
    ASSERT_EQ(run.status, 0) << run.errors;
    EXPECT_FALSE(ran("secret"));
    EXPECT_TRUE(ran("open"));
    EXPECT_TRUE(fs::exists(rooted("/var/db/receipts/com.pelgrave.sample.core.plist")));
    // Each answer is the one for a tool that is not there at all.
    std::string texts;
    for (const auto& message : run.received)
        if (const std::string* text = message.getString("PelUninstallPhase")) texts += *text + "\n";
    std::size_t refused = 0;
    for (auto at = texts.find("The tool " + secret + " is not inside"); at != std::string::npos;
         at = texts.find("The tool " + secret + " is not inside", at + 1))
        ++refused;
    EXPECT_EQ(refused, bundles.size()) << texts;
}

}  // namespace
}  // namespace enginetest
