#include <gmock/gmock.h>

#include <map>

#include "Engine/PelInstallAppUtilities.h"
#include "Engine/PelRequirement.h"
#include "EngineTestSupport.h"
#include "Platform/Text/Format.h"

namespace enginetest {
namespace {

class AppUtilitiesTest : public EngineFixture {
  protected:
    AppUtilitiesTest() {
        writePlist(app_ + "/Contents/Info.plist",
                   Value(Dictionary{{"CFBundleIdentifier", "com.pelgrave.installer"},
                                    {"CFBundleExecutable", "Installer"},
                                    {"PEL_PRODUCT_NAME", "Ostrel"}}));
        PelInstallAppUtilities::setCreationDateSource(
            [this](const std::string& path) -> std::optional<double> {
                auto it = dates_.find(path);
                if (it == dates_.end()) return 1000.0;
                return it->second;
            });
    }
    ~AppUtilitiesTest() override { PelInstallAppUtilities::setCreationDateSource(nullptr); }

    /// Writes the manifest pair into `folder`; `id` goes in as manifest_id.
    std::string manifestIn(const std::string& folder, const std::string& id = "{abc-1}",
                           bool withSig = true) {
        dir_.write(folder + "/.fsd/fsdmanifest.js",
                   R"({"fsd":{"global":{"manifest_id":")" + id + R"("}}})");
        if (withSig) dir_.write(folder + "/.fsd/fsdmanifest-sig.txt", "sig");
        return dir_.file(folder + "/.fsd/fsdmanifest.js");
    }
    std::unique_ptr<PelInstallAppUtilities> make() {
        return std::make_unique<PelInstallAppUtilities>(std::make_shared<platform::Bundle>(app_));
    }

    std::string app_ = dir_.file("Volume/Installer.app");
    std::string downloads_ = "home/Downloads/";
    std::map<std::string, double> dates_;
};

TEST_F(AppUtilitiesTest, ManifestBesideTheApplicationWins) {
    std::string manifest = manifestIn("Volume");
    manifestIn(downloads_ + "Install Ostrel.localized");
    auto utilities = make();
    EXPECT_EQ(utilities->manifestPath(), manifest);
    EXPECT_EQ(utilities->sigPath(), dir_.file("Volume/.fsd/fsdmanifest-sig.txt"));
    EXPECT_TRUE(utilities->isFSDBasedInstall());
    EXPECT_EQ(utilities->installerDirWithManifestTimeStamp(),
              std::nullopt);  // that search never ran
}

TEST_F(AppUtilitiesTest, DownloadsSearchChoosesTheNewestManifestAndStampsEveryInstallerFolder) {
    manifestIn("Volume", "x", false);  // a manifest without its signature does not count
    std::string older = manifestIn(downloads_ + "Install Ostrel.localized", "{old}");
    std::string newer = manifestIn(downloads_ + "Install Ostrel-2.localized copy", "{new}");
    manifestIn(downloads_ + "Install Ostrel-3.localized", "{}", false);  // no pair: no entry
    dir_.write(downloads_ + "Install Ostrel-4.localized/readme", "x");
    manifestIn(downloads_ + "Other.localized");  // does not match the pattern
    struct Case {
        double olderDate, newerDate;
        std::string chosen;
    } cases[] = {{100, 200, newer}, {300, 200, older}, {200, 200, newer}};
    for (const auto& c : cases) {
        dates_ = {{older, c.olderDate},
                  {newer, c.newerDate},
                  {dir_.file(downloads_ + "Install Ostrel.localized"), 5.5},
                  {dir_.file(downloads_ + "Install Ostrel-2.localized copy"), 7.25}};
        auto utilities = make();
        EXPECT_EQ(utilities->manifestPath(), c.chosen);
        EXPECT_EQ(
            utilities->installerDirWithManifestTimeStamp(),
            "Install Ostrel-2.localized copy_7.250000_new,Install Ostrel.localized_5.500000_old");
    }
}

TEST_F(AppUtilitiesTest, FallbackSearchTakesAnyDownloadsFolderWithThePair) {
    writePlist(app_ + "/Contents/Info.plist",
               Value(Dictionary{{"CFBundleIdentifier", "com.pelgrave.installer"}}));
    std::string manifest = manifestIn(downloads_ + "Anything");
    auto utilities = make();
    EXPECT_EQ(utilities->manifestPath(), manifest);
    EXPECT_EQ(utilities->installerDirWithManifestTimeStamp(), std::nullopt);
}

TEST_F(AppUtilitiesTest, NoManifestAnywhereAndAProductNameThatIsNoPattern) {
    writePlist(app_ + "/Contents/Info.plist",
               Value(Dictionary{{"PEL_PRODUCT_NAME", "Ostrel (C++"}}));
    dir_.write(downloads_ + "Install Ostrel (C++.localized/x", "x");
    auto utilities = make();
    EXPECT_FALSE(utilities->isFSDBasedInstall());
    EXPECT_EQ(utilities->manifestPath(), std::nullopt);
    EXPECT_EQ(utilities->installerDirWithManifestTimeStamp(), "");
}

TEST_F(AppUtilitiesTest, ApplicationCopiesSearch) {
    std::string copy = dir_.file("Elsewhere/Installer.app");
    std::string stranger = dir_.file("Stranger/Installer.app");
    writePlist(stranger + "/Contents/Info.plist",
               Value(Dictionary{{"CFBundleIdentifier", "other"}}));
    manifestIn("Stranger");
    std::filesystem::create_directories(dir_.file("Elsewhere"));
    std::filesystem::copy(app_, copy, std::filesystem::copy_options::recursive);
    std::string manifest = manifestIn("Elsewhere");
    platform::Bundle running(app_);
    std::optional<std::string> found, sig;
    EXPECT_TRUE(PelInstallAppUtilities::isManifestExistsGreater10_11(
        {stranger, dir_.file("gone"), copy}, running, &found, &sig));
    EXPECT_EQ(found, manifest);
}

TEST_F(AppUtilitiesTest, BasePackagesAndRequirementList) {
    auto utilities = make();
    EXPECT_EQ(utilities->basePkgDir(), dir_.file("Volume"));
    EXPECT_EQ(utilities->basePkgPath("Ostrel"), std::nullopt);
    dir_.write("Volume/Ostrel SKU.mpkg", "x");
    dir_.write("Volume/Ostrel.mpkg", "x");
    EXPECT_EQ(utilities->basePkgPath("ignored"), dir_.file("Volume/Ostrel.mpkg"));

    std::string bundled = app_ + "/Contents/Resources/PelSupportFolder";
    dir_.write("Volume/Installer.app/Contents/Resources/PelSupportFolder/Ostrel for Mac.mpkg", "x");
    EXPECT_EQ(utilities->basePkgDir(), bundled);
    EXPECT_EQ(utilities->basePkgPath("ignored"), bundled + "/Ostrel for Mac.mpkg");

    EXPECT_EQ(utilities->pathToRequirementsPlist(), std::nullopt);
    std::string own = dir_.write(
        "Volume/Installer.app/Contents/Resources/PelSupportFolder/Requirements.plist", "x");
    std::string downloaded = dir_.write("fsd/Requirements.plist", "x");
    utilities->setPathToRequirementsPlist(downloaded);
    EXPECT_EQ(utilities->pathToRequirementsPlist(), downloaded);
    // A stored path whose file has gone is forgotten; the next call falls back.
    std::filesystem::remove(downloaded);
    EXPECT_EQ(utilities->pathToRequirementsPlist(), std::nullopt);
    dir_.write("fsd/Requirements.plist", "x");
    EXPECT_EQ(utilities->pathToRequirementsPlist(), own);

    manifestIn("Volume");
    auto fsd = make();
    EXPECT_EQ(fsd->basePkgDir(), dir_.file("home") + "/Library/Application Support/Pelgrave/FSD");
    dir_.write("home/Library/Application Support/Pelgrave/FSD/Ostrel.mpkg", "x");
    EXPECT_EQ(fsd->basePkgPath("Ostrel"),
              dir_.file("home") + "/Library/Application Support/Pelgrave/FSD/Ostrel.mpkg");
    EXPECT_EQ(fsd->basePkgPath("Missing"), std::nullopt);
}

class RequirementTextTest : public AppUtilitiesTest {
  protected:
    RequirementTextTest() {
        writePlist(app_ + "/Contents/Info.plist", Value(Dictionary{{"PEL_BRAND", "Brand"}}));
        dir_.write("Volume/Installer.app/Contents/Resources/en.lproj/SharedInstaller.strings",
                   "\"MIN_OS_title\" = \"Needs %@ or later.\";\n"
                   "\"MIN_OS_body\" = \"Update first.\";\n"
                   "\"MIN_MEMORY_ERROR_title\" = \"Needs %@ for %@.\";\n"
                   "\"MIN_MEMORY_WARNING_title\" = \"Below %@\";\n"
                   "\"MIN_MEMORY_WARNING_body\" = \"Works best with %@.\";\n"
                   "\"Brand\" = \"Ostrel Pro\";\n"
                   "\"RIVAL_title\" = \"Rival found.\";\n"
                   "\"RIVAL_body\" = \"Remove %@.\";\n"
                   "\"Rival\" = \"Rival Suite\";\n"
                   "\"%@ GB\" = \"%@ Go\";\n");
        dir_.write("Volume/Installer.app/Contents/Resources/en.lproj/Localizable.strings",
                   "\"MIN_MEMORY_ERROR_body\" = \"Default body.\";\n"
                   "\"MIN_MEMORY_ERROR_title\" = \"Default %@ / %@\";\n"
                   "\"PATH_title\" = \"Old app.\";\n"
                   "\"PATH_body\" = \"Quit it.\";\n");
        platform::Bundle::setPreferredLanguage("en");
    }
    ~RequirementTextTest() override { platform::Bundle::setPreferredLanguage(""); }

    std::string text(const std::string& kind, const Dictionary& check, const std::string& title,
                     const std::string& message, const std::string& type = "ERROR") {
        auto requirement =
            PelRequirement::createRequirement("APP", std::make_shared<PelIE>(title, message, type),
                                              Value(), kind, 1, Value(check), nullptr);
        platform::Bundle bundle(app_);
        return PelInstallAppUtilities::localizedStringForRequirement(*requirement, bundle);
    }
};

TEST_F(RequirementTextTest, TextsByKind) {
    EXPECT_EQ(text("Hardware", {{"MIN_OS", "10.12"}}, "MIN_OS_title", "MIN_OS_body"),
              "Needs 10.12 or later. Update first.");
    // The body is missing from the installer's table: both come from the default table.
    EXPECT_EQ(text("Hardware", {{"MIN_MEMORY", "4gb"}}, "MIN_MEMORY_ERROR_title",
                   "MIN_MEMORY_ERROR_body"),
              "Default 4 Go / Ostrel Pro Default body.");
    EXPECT_EQ(text("Hardware", {{"MIN_MEMORY", "3GB"}}, "MIN_MEMORY_WARNING_title",
                   "MIN_MEMORY_WARNING_body", "WARNING"),
              "Below 3 Go Works best with 3 Go.");
    EXPECT_EQ(text("InstallMatrix", {{"IMType", "INSTALL_COMPETITIVE"}, {"Name", "Rival"}},
                   "RIVAL_title", "RIVAL_body"),
              "Rival found. Remove Rival Suite.");
    EXPECT_EQ(text("PathCheck", {{"Path", "/x"}}, "PATH_title", "PATH_body"), "Old app. Quit it.");
    EXPECT_EQ(text("PathCheck", {{"Path", "/x"}}, "MIN_OS_title", "PATH_body"),
              "MIN_OS_title Quit it.");
}

TEST_F(RequirementTextTest, MemoryText) {
    platform::Bundle bundle(app_);
    EXPECT_EQ(PelInstallAppUtilities::localizedMemoryString("4gb", bundle), "4 Go");
    EXPECT_EQ(PelInstallAppUtilities::localizedMemoryString("512MB", bundle), "512 MB");
    EXPECT_EQ(PelInstallAppUtilities::localizedMemoryString("512", bundle), std::nullopt);
}

}  // namespace
}  // namespace enginetest
