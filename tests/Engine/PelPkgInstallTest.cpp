#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "EngineTestSupport.h"
#include "PackageFixtures.h"
#include "Platform/System/Task.h"
#include "Platform/Values/PropertyList.h"
#include "installer/PelPkgInstall.h"
#include "support/LinkCases.h"
#include "support/UnprivilegedChild.h"

namespace fs = std::filesystem;
using Kind = mkpkg::PayloadEntry::Kind;

namespace {

class PelPkgInstallTest : public enginetest::EngineFixture {
  protected:
    pkginstall::InstallResult install(const platform::Data& package,
                                      std::vector<std::string>* lines = nullptr) {
        const std::string path = enginetest::writePackage(dir_.file("in/p.pkg"), package);
        return pkginstall::installPackage(path, "/", [&](const std::string& line) {
            if (lines) lines->push_back(line);
        });
    }

    std::string read(const std::string& systemPath) const {
        std::ifstream in(rooted(systemPath));
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    enginetest::ScopedPackageTrust trust_;
};

TEST_F(PelPkgInstallTest, ComponentInstallsFilesAndReceiptAndReportsAsTheSystemInstaller) {
    auto component =
        enginetest::sampleComponent("com.pelgrave.sample", "opt/sample/data.txt", "hi");
    component.version = "2.5";
    component.payload.push_back({"./opt/sample/link", Kind::Symlink, "", "data.txt", 0777});
    const auto package = mkpkg::buildComponentPackage(component, trust_.signing());

    std::vector<std::string> lines;
    const auto result = install(package, &lines);
    ASSERT_EQ(result.status, 0) << ::testing::PrintToString(lines);
    EXPECT_EQ(read("/opt/sample/data.txt"), "hi");
    EXPECT_EQ(fs::read_symlink(rooted("/opt/sample/link")), "data.txt");
    struct stat info;
    ASSERT_EQ(stat(rooted("/opt/sample/data.txt").c_str(), &info), 0);
    if (geteuid() == 0) {
        EXPECT_EQ(info.st_uid, 0u);
    }

    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], "installer: Package name is com.pelgrave.sample");
    EXPECT_EQ(lines[1], "installer:PHASE:Preparing for installation\u2026");
    EXPECT_EQ(lines[2], "installer:PHASE:Writing files\u2026");
    EXPECT_EQ(lines[lines.size() - 2], "installer:%100.0");
    EXPECT_EQ(lines.back(), "installer:The software was successfully installed");

    const auto receipt = platform::PropertyList::dictionaryWithContentsOfFile(
        rooted("/var/db/receipts/com.pelgrave.sample.plist"));
    ASSERT_TRUE(receipt);
    EXPECT_EQ(receipt->at("PackageVersion").stringValue(), "2.5");
    EXPECT_EQ(receipt->at("InstallPrefixPath").stringValue(), "/");
    EXPECT_TRUE(receipt->at("InstallDate").isDate());
    EXPECT_EQ(receipt->at("Files"),
              platform::Value(
                  platform::Array{"opt", "opt/sample", "opt/sample/data.txt", "opt/sample/link"}));

    lines.clear();
    ASSERT_EQ(install(package, &lines).status, 0);
    EXPECT_EQ(lines.back(), "installer:The upgrade was successful.");
}

TEST_F(PelPkgInstallTest, DistributionInstallsEveryComponentAtItsLocationWithPercentsThatOnlyGrow) {
    auto first =
        enginetest::sampleComponent("com.pelgrave.one", "one.bin", std::string(300000, 'a'));
    first.installLocation = "/opt/one";
    auto second =
        enginetest::sampleComponent("com.pelgrave.two", "two.bin", std::string(100000, 'b'));
    std::vector<std::string> lines;
    const auto result = install(
        mkpkg::buildDistributionPackage("Sample", {first, second}, trust_.signing()), &lines);
    ASSERT_EQ(result.status, 0) << ::testing::PrintToString(lines);
    EXPECT_EQ(fs::file_size(rooted("/opt/one/one.bin")), 300000u);
    EXPECT_EQ(fs::file_size(rooted("/two.bin")), 100000u);
    EXPECT_TRUE(fs::exists(rooted("/var/db/receipts/com.pelgrave.two.plist")));
    double last = -1;
    int percents = 0;
    for (const auto& line : lines) {
        if (line.rfind("installer:%", 0) != 0) continue;
        const double p = std::stod(line.substr(11));
        EXPECT_GT(p, last);
        EXPECT_LE(p, 100.0);
        last = p;
        ++percents;
    }
    EXPECT_EQ(last, 100.0);
    EXPECT_LE(percents, 101);
    EXPECT_GE(percents, 3);
}

TEST_F(PelPkgInstallTest, UnsafePayloadsAndPackagesAreRefusedBeforeAnythingIsWritten) {
    struct Case {
        const char* what;
        mkpkg::PayloadEntry bad;
    } cases[] = {
        {"dot-dot", {"../../x", Kind::File, "evil", "", 0644}},
        {"inner dot-dot", {"./a/../../x", Kind::File, "evil", "", 0644}},
        {"absolute path", {"/x", Kind::File, "evil", "", 0644}},
        {"absolute symlink", {"./etc-link", Kind::Symlink, "", "/etc", 0777}},
        {"escaping symlink", {"./a/up", Kind::Symlink, "", "../../..", 0777}},
        {"device node", {"./null", Kind::CharDevice, "", "", 0666}},
        {"fifo", {"./pipe", Kind::Fifo, "", "", 0644}},
        {"outside hard link", {"./hard", Kind::Hardlink, "", "../outside", 0644}},
        {"hard link to nothing archived", {"./hard", Kind::Hardlink, "", "etc/passwd", 0644}},
    };
    for (const auto& c : cases) {
        auto component = enginetest::sampleComponent("com.pelgrave.bad", "a/first.txt", "first");
        component.payload.push_back(c.bad);
        component.tarPayload = c.bad.kind == Kind::Hardlink;
        std::vector<std::string> lines;
        const auto result =
            install(mkpkg::buildComponentPackage(component, trust_.signing()), &lines);
        EXPECT_EQ(result.status, 1) << c.what;
        ASSERT_FALSE(lines.empty()) << c.what;
        EXPECT_EQ(lines.back().rfind("installer: Error - ", 0), 0u)
            << c.what << ": " << lines.back();
        EXPECT_FALSE(fs::exists(rooted("/a"))) << c.what;
        EXPECT_FALSE(fs::exists(dir_.file("x"))) << c.what;
        EXPECT_FALSE(fs::exists(rooted("/var/db/receipts/com.pelgrave.bad.plist"))) << c.what;
    }

    auto scripted = enginetest::sampleComponent("com.pelgrave.scripted", "a.txt", "a");
    scripted.extraFiles.push_back({"Scripts", {'x'}});
    auto escaping = enginetest::sampleComponent("com.pelgrave.escape", "a.txt", "a");
    escaping.installLocation = "/opt/../..";
    auto relative = enginetest::sampleComponent("com.pelgrave.relative", "a.txt", "a");
    relative.installLocation = "opt";
    auto badId = enginetest::sampleComponent("../receipt", "a.txt", "a");
    devsign::PrivateKey stranger = devsign::PrivateKey::generateRSA(2048);
    devsign::XarSigning strangerSigning{&stranger, trust_.signing().certificates};
    const std::pair<const char*, platform::Data> packages[] = {
        {"scripts", mkpkg::buildComponentPackage(scripted, trust_.signing())},
        {"install location outside", mkpkg::buildComponentPackage(escaping, trust_.signing())},
        {"relative install location", mkpkg::buildComponentPackage(relative, trust_.signing())},
        {"bad identifier", mkpkg::buildComponentPackage(badId, trust_.signing())},
        {"bad signature", mkpkg::buildComponentPackage(scripted, strangerSigning)},
        {"not a package", platform::Data{'x', 'a', 'r'}},
    };
    for (const auto& [what, package] : packages) {
        std::vector<std::string> lines;
        EXPECT_EQ(install(package, &lines).status, 1) << what;
        ASSERT_FALSE(lines.empty()) << what;
        EXPECT_EQ(lines.back().rfind("installer: Error - ", 0), 0u) << what;
        EXPECT_FALSE(fs::exists(rooted("/a.txt"))) << what;
    }
}

TEST_F(PelPkgInstallTest, TheTargetIsTheSystemOrAMountedVolumeOnlyRootCanChange) {
    if (geteuid() != 0) GTEST_SKIP() << "volumes must be root's";
    mountVolume("/proc", "proc");
    mountVolume("/Volumes/Extra");
    mountVolume("/Volumes/With Blank", "vfat");
    fs::permissions(mountVolume("/Volumes/Open"), fs::perms(0777));
    mountVolume("/Volumes/Link", "ext4", false);
    fs::create_symlink("Extra", rooted("/Volumes/Link"));
    fs::create_directories(rooted("/etc"));
    const auto package = mkpkg::buildComponentPackage(
        enginetest::sampleComponent("com.pelgrave.vol", "a.txt", "v"), trust_.signing());
    const std::string path = enginetest::writePackage(dir_.file("in/v.pkg"), package);
    struct Case {
        const char* target;
        bool accepted;
    } cases[] = {{"/etc", false},
                 {"/proc", false},
                 {"/Volumes/Open", false},
                 {"/Volumes/Link", false},
                 {"/Volumes/Extra/", false},
                 {"/Volumes/Extra/../Extra", false},
                 {"Volumes/Extra", false},
                 {"/Volumes/With Blank", true},
                 {"/Volumes/Extra", true}};
    for (const Case& c : cases) {
        std::vector<std::string> lines;
        const auto result = pkginstall::installPackage(
            path, c.target, [&](const std::string& line) { lines.push_back(line); });
        ASSERT_FALSE(lines.empty()) << c.target;
        if (!c.accepted) {
            EXPECT_EQ(result.status, 1) << c.target;
            EXPECT_EQ(
                lines.back().rfind("installer: Error - The target \"" + std::string(c.target), 0),
                0u)
                << lines.back();
            continue;
        }
        ASSERT_EQ(result.status, 0) << c.target << ::testing::PrintToString(lines);
        EXPECT_EQ(read(std::string(c.target) + "/a.txt"), "v");
        const auto receipt = platform::PropertyList::dictionaryWithContentsOfFile(
            rooted("/var/db/receipts/com.pelgrave.vol.plist"));
        ASSERT_TRUE(receipt);
        EXPECT_EQ(receipt->at("InstallVolume").stringValue(), c.target);
        EXPECT_EQ(receipt->at("InstallPrefixPath").stringValue(), "/");
    }
    EXPECT_FALSE(fs::exists(rooted("/etc/a.txt")));
    EXPECT_FALSE(fs::exists(rooted("/a.txt")));
    EXPECT_FALSE(fs::exists(rooted("/Volumes/Open/a.txt")));
}

TEST_F(PelPkgInstallTest, LinksInPayloadsResolveInsideTheInstallLocation) {
    int n = 0;
    for (const linkcases::Case& c : linkcases::cases()) {
        SCOPED_TRACE(c.what);
        const std::string top = "/opt/case" + std::to_string(++n);
        linkcases::Site site(rooted(top));
        mkpkg::Component component;
        component.identifier = "com.pelgrave.links" + std::to_string(n);
        component.installLocation = top + "/a/dest";
        component.tarPayload = c.hardLink;
        for (const auto& e : c.entries) {
            using E = linkcases::Entry;
            const Kind kind = e.kind == E::Folder     ? Kind::Directory
                              : e.kind == E::Link     ? Kind::Symlink
                              : e.kind == E::HardLink ? Kind::Hardlink
                                                      : Kind::File;
            component.payload.push_back({"./" + e.name, kind, e.kind == E::File ? e.value : "",
                                         e.kind == E::File ? "" : e.value,
                                         e.kind == E::Folder ? 0755u : 0644u});
        }
        std::vector<std::string> lines;
        const auto result =
            install(mkpkg::buildComponentPackage(component, trust_.signing()), &lines);
        site.expectOutcome(c, result.status != 0);
        EXPECT_EQ(fs::exists(rooted("/var/db/receipts/" + component.identifier + ".plist")),
                  !c.hostile);
        if (c.hostile) {
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(lines.back().rfind("installer: Error - ", 0), 0u) << lines.back();
        }
    }
}

TEST_F(PelPkgInstallTest, APackageThatFailsPartWayTakesBackWhatItMade) {
    // The first component installs, the second fails at its last entry: the
    // folders and files both made go, what was there before stays, and no
    // receipt is left.
    fs::create_directories(rooted("/opt/app/kept"));
    std::ofstream(rooted("/opt/app/kept/old")) << "old";
    auto first = enginetest::sampleComponent("com.pelgrave.first", "one/x.txt", "x");
    first.installLocation = "/opt/new/place";
    mkpkg::Component second;
    second.identifier = "com.pelgrave.second";
    second.installLocation = "/opt/app";
    second.tarPayload = true;
    second.payload = {{"./kept/new", Kind::File, "new", "", 0644},
                      {"./fresh", Kind::Directory, "", "", 0755},
                      {"./fresh/y", Kind::File, "y", "", 0644},
                      {"./d/s", Kind::Symlink, "", "..", 0777},
                      {"./h", Kind::Hardlink, "", "d/s", 0644}};
    std::vector<std::string> lines;
    const auto result = install(
        mkpkg::buildDistributionPackage("Sample", {first, second}, trust_.signing()), &lines);
    EXPECT_EQ(result.status, 1);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "installer: Error - The entry \"h\" is a hard link to a symbolic link");
    std::set<std::string> left;
    for (const auto& item : fs::recursive_directory_iterator(rooted("/opt")))
        left.insert(fs::relative(item.path(), rooted("/opt")).string());
    EXPECT_EQ(left, (std::set<std::string>{"app", "app/kept", "app/kept/old"}));
    EXPECT_EQ(read("/opt/app/kept/old"), "old");
    EXPECT_FALSE(fs::exists(rooted("/var/db/receipts/com.pelgrave.first.plist")));
    EXPECT_FALSE(fs::exists(rooted("/var/db/receipts/com.pelgrave.second.plist")));
}

// An install location below a folder everyone writes to: root makes its
// own folders there, but goes through no folder or link of another user's.
TEST_F(PelPkgInstallTest, AnInstallLocationThroughAnotherUsersFolderOrLinkIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "the other user is played by a child at uid 65534";
    const std::string shared = rooted("/shared");
    const std::string target = rooted("/secret");
    fs::create_directories(fs::path(shared).parent_path());
    fs::create_directories(target);
    fs::permissions(target, fs::perms(0700));
    ASSERT_TRUE(testsupport::makeStickyFolder(dir_.path(), shared));
    ASSERT_TRUE(testsupport::plantAsOtherUser(shared, "theirs", target));
    struct Case {
        const char* location;
        int status;
    } cases[] = {{"/shared/theirs/app", 1}, {"/shared/link/app", 1}, {"/shared/mine/app", 0}};
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.location);
        auto component = enginetest::sampleComponent("com.pelgrave.shared" + std::to_string(++n),
                                                     "file.txt", "root's");
        component.installLocation = c.location;
        std::vector<std::string> lines;
        EXPECT_EQ(install(mkpkg::buildComponentPackage(component, trust_.signing()), &lines).status,
                  c.status)
            << ::testing::PrintToString(lines);
    }
    EXPECT_TRUE(fs::is_empty(target));
    EXPECT_TRUE(fs::is_empty(shared + "/theirs"));
    EXPECT_EQ(read("/shared/mine/app/file.txt"), "root's");
}

TEST_F(PelPkgInstallTest, TheToolRunsWithTheDevelopmentKeysAndAnswersZeroOrOne) {
    const std::string tool = rooted("/usr/sbin/installer");
    fs::create_directories(fs::path(tool).parent_path());
    fs::copy_file(PEL_INSTALLER_TOOL_PATH, tool);
    const auto component = enginetest::sampleComponent("com.pelgrave.tool", "t.txt", "tool");
    const std::string good = enginetest::writePackage(
        dir_.file("good.pkg"),
        mkpkg::buildComponentPackage(component, enginetest::developmentSigning()));
    const std::string bad = enginetest::writePackage(
        dir_.file("bad.pkg"), mkpkg::buildComponentPackage(component, trust_.signing()));
    platform::PosixTaskLauncher launcher;
    std::vector<std::string> lines;
    auto collect = [&](const std::string& line) { lines.push_back(line); };
    EXPECT_EQ(launcher.run({"/usr/sbin/installer", {"-verboseR", "-target", "/", "-package", bad}},
                           collect),
              1);
    EXPECT_FALSE(fs::exists(rooted("/t.txt")));
    lines.clear();
    EXPECT_EQ(launcher.run({"/usr/sbin/installer", {"-verboseR", "-target", "/", "-package", good}},
                           collect),
              0)
        << ::testing::PrintToString(lines);
    EXPECT_EQ(read("/t.txt"), "tool");
    EXPECT_EQ(launcher.run({"/usr/sbin/installer", {"-verboseR", "-target", "/"}}, collect), 1);
    // The tool takes the same targets as the helper.
    fs::create_directories(rooted("/etc"));
    lines.clear();
    EXPECT_EQ(
        launcher.run({"/usr/sbin/installer", {"-verboseR", "-target", "/etc", "-package", good}},
                     collect),
        1);
    EXPECT_NE(::testing::PrintToString(lines).find("is not a mounted volume"), std::string::npos)
        << ::testing::PrintToString(lines);
    EXPECT_FALSE(fs::exists(rooted("/etc/t.txt")));
}

TEST(PelPkgInstallNamesTest, LinkTargetsMustStayInside) {
    struct Case {
        const char* entry;
        const char* target;
        bool safe;
    } cases[] = {{"a/b/link", "../c", true},   {"a/link", "../c", true},
                 {"a/link", "../../c", false}, {"link", "..", false},
                 {"a/link", "/etc", false},    {"a/link", "./x/../../y", true},
                 {"a/link", "", false},        {"link", "x/../../y", false}};
    for (const auto& c : cases)
        EXPECT_EQ(pkginstall::isSafeLinkTarget(c.entry, c.target), c.safe)
            << c.entry << " -> " << c.target;
}

}  // namespace
