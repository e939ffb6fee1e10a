#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "Controllers/Core/OptInRegions.h"
#include "Controllers/Core/SharedProductPluginUtilities.h"
#include "Engine/PelRequirement.h"
#include "Platform/System/Bundle.h"
#include "Platform/System/Paths.h"
#include "Platform/Values/PropertyList.h"
#include "support/TempDir.h"

namespace {

void writePlist(const std::string& path, platform::Dictionary dictionary) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    ASSERT_TRUE(platform::PropertyList::toFile(platform::Value(std::move(dictionary)), path,
                                               platform::PropertyListFormat::XML, false, nullptr));
}

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class ProductLinks : public ::testing::Test {
  protected:
    void TearDown() override {
        PluginLocale::setOverride(std::nullopt);
        RegionFacts::setOverride(std::nullopt);
        platform::Bundle::setMainBundle(nullptr);
    }

    /// A bundle with `version` as its short version and, when given, a
    /// bundled requirement list naming `productVersion`.
    void makeBundle(std::optional<std::string> version, std::optional<std::string> productVersion) {
        platform::Dictionary info{{"CFBundleIdentifier", "com.pelgrave.test"}};
        if (version) info["CFBundleShortVersionString"] = *version;
        writePlist(dir_.file("Test.app/Contents/Info.plist"), info);
        std::filesystem::create_directories(dir_.file("Test.app/Contents/Resources"));
        if (productVersion)
            writePlist(dir_.file("Test.app/Contents/Resources/PelSupportFolder/Requirements.plist"),
                       {{"PRODUCT_VERSION", *productVersion}});
        platform::Bundle::setMainBundle(std::make_shared<platform::Bundle>(dir_.file("Test.app")));
    }

    testsupport::TempDir dir_;
};

TEST_F(ProductLinks, LandingPageFollowsLocaleAndVersion) {
    struct Case {
        PluginLocale locale;
        std::optional<std::string> version, productVersion;
        std::string expectedTail;
    };
    const Case cases[] = {
        {{"nb", "NO"}, "8.4.2", std::nullopt, "version=8.4&ct=no&lg=no&"},
        {{"tr", "TR"}, "8.4.2", std::nullopt, "version=8.4&ct=tk&lg=tr&"},
        {{"el", "GR"}, "8.4.2", std::nullopt, "version=8.4&ct=el&lg=el&"},
        {{"es", "AR"}, "8.4.2", std::nullopt, "version=8.4&ct=us&lg=en&"},
        {{"pt", "BR"}, "8.4.2", std::nullopt, "version=8.4&ct=br&lg=pt&"},
        {{"de", "DE"}, "8", std::nullopt, "version=8&ct=de&lg=de&"},
        {{"de", "DE"}, std::nullopt, std::nullopt, "version=&ct=de&lg=de&"},
        {{"de", "DE"}, "8.4.2", "9.1.0.77", "version=9.1.0.77&ct=de&lg=de&"},
        {{"xx", ""}, "8.4.2", std::nullopt, "version=8.4&ct=us&lg=en&"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.locale.language + "_" + c.locale.country);
        std::filesystem::remove_all(dir_.file("Test.app"));
        makeBundle(c.version, c.productVersion);
        PluginLocale::setOverride(c.locale);
        std::string url =
            SharedProductPluginUtilities::sharedPluginUtilities().installerMenuHelpURL();
        EXPECT_EQ(url.rfind("https://", 0), 0u);
        EXPECT_NE(url.find("/sp/landing?product=Ostrel%20Security%20Mac&" + c.expectedTail +
                           "helpid=hvk_mac_cs_install_tlw"),
                  std::string::npos)
            << url;
    }
}

TEST_F(ProductLinks, LocaleParsing) {
    EXPECT_EQ(PluginLocale::parse("nb_NO.UTF-8").language, "nb");
    EXPECT_EQ(PluginLocale::parse("nb_NO.UTF-8").country, "NO");
    EXPECT_EQ(PluginLocale::parse("C.UTF-8").language, "en");
    EXPECT_EQ(PluginLocale::parse("sr_RS@latin").country, "RS");
    EXPECT_EQ(PluginLocale::parse("pt").country, "");
}

TEST_F(ProductLinks, FailureHelpLanguageCodes) {
    struct Case {
        PluginLocale locale;
        std::string code;
    };
    const Case cases[] = {{{"pt", "BR"}, "qbp"}, {{"pt", ""}, "eng"},   {{"pt", "PT"}, "qpp"},
                          {{"sk", "SK"}, "eng"}, {{"nb", "NO"}, "nor"}, {{"zh", "TW"}, "qct"},
                          {{"de", "AT"}, "deu"}, {{"xx", "YY"}, "eng"}};
    for (const Case& c : cases)
        EXPECT_EQ(pluginlinks::languageCode(c.locale), c.code) << c.locale.language;
}

TEST_F(ProductLinks, FailureHelpIdentifiers) {
    auto make = [](const char* type, platform::Dictionary dic, const char* ieType) {
        auto ie = std::make_shared<PelIE>("t", "m", ieType);
        return PelRequirement::createRequirement("APP", ie, platform::Value(), std::string(type),
                                                 platform::Value("id"),
                                                 platform::Value(std::move(dic)), nullptr);
    };
    struct Case {
        std::shared_ptr<PelRequirement> requirement;
        std::optional<std::string> id;
    };
    const Case cases[] = {
        {make("Hardware", {{"MIN_MEMORY", 4}, {"MIN_OS", "10.9"}}, "ERROR"), "system_requirements"},
        {make("Hardware", {{"MIN_MEMORY", 4}}, "WARNING"), "low_memory"},
        {make("Hardware", {{"MIN_OS", "10.9"}}, "ERROR"), "old_version"},
        {make("Hardware", {{"MIN_DISK_SPACE", 9}}, "ERROR"), "low_disk_space"},
        {make("Hardware", {{"BlockOnK32Bit", true}}, "ERROR"), "32bit_error"},
        {make("InstallMatrix", {{"IMType", "INSTALL_UPGRADE"}}, "ERROR"), "incompatible_ostrel"},
        {make("InstallMatrix", {{"IMType", "INSTALL_COMPETITIVE"}}, "ERROR"),
         "incompatiable_software"},
        {make("PathCheck", {{"Path", "/x"}}, "ERROR"), std::nullopt},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(c.requirement);
        EXPECT_EQ(pluginlinks::getHelpID(*c.requirement), c.id) << c.id.value_or("none");
    }
}

TEST_F(ProductLinks, SupportURLAddsLayoutMarkAndEmptyHelpID) {
    PluginLocale::setOverride(PluginLocale{"de", "DE"});
    std::string list = dir_.file("Requirements.plist");
    writePlist(list, {{"Layout", "GenericQRB"}});
    std::string download = pluginlinks::getSupportURL(nullptr, list);
    EXPECT_NE(
        download.find("displang=iso3:deu&displocale=iso3:deu&helpid=download_failure&ispid=5555"),
        std::string::npos)
        << download;
    auto requirement = PelRequirement::createRequirement(
        "APP", std::make_shared<PelIE>("t", "m", "ERROR"), platform::Value(),
        std::string("PathCheck"), platform::Value("id"),
        platform::Value(platform::Dictionary{{"Path", "/x"}}), nullptr);
    ASSERT_TRUE(requirement);
    std::string none = pluginlinks::getSupportURL(requirement.get(), dir_.file("missing.plist"));
    EXPECT_TRUE(none.ends_with("&helpid=")) << none;
}

TEST_F(ProductLinks, MachineIdentifierFromAgentPreferences) {
    platform::Paths::ScopedRoot root(dir_.file("root"), dir_.file("home"));
    EXPECT_EQ(pluginlinks::getMID(), std::nullopt);
    writePlist(pluginlinks::agentPreferencesPath(), {{"MID", "abc-123"}});
    EXPECT_EQ(pluginlinks::getMID(), "abc-123");
}

TEST_F(ProductLinks, RegionMaskFromFacts) {
    std::string list = dir_.file("Regions.plist");
    writePlist(list, {{"Countries", platform::Array{"DE", "FR"}},
                      {"TimeZones", platform::Array{"Europe/Berlin"}},
                      {"KeyboardLayouts", platform::Array{"xkb:de"}}});
    struct Case {
        RegionFacts facts;
        bool restricted;
        std::uint64_t mask;
    };
    const Case cases[] = {
        {{"DE", "DE", "FR", std::nullopt, std::nullopt}, true, 0x1110},
        {{std::nullopt, "FR", std::nullopt, "xkb:de", "Europe/Berlin"}, true, 0x110100},
        {{"US", "US", "US", "xkb:us", "America/New_York"}, false, 1},
        {{}, false, 1},
    };
    for (const Case& c : cases) {
        RegionFacts::setOverride(c.facts);
        std::uint64_t mask = 99;
        EXPECT_EQ(GetRegionRestrictionMask(list, &mask), c.restricted);
        EXPECT_EQ(mask, c.mask);
    }
    // Countries only: the keyboard and time zone cannot match.
    writePlist(list, {{"Countries", platform::Array{"DE"}}, {"TimeZones", "Europe/Berlin"}});
    RegionFacts::setOverride(
        RegionFacts{std::nullopt, std::nullopt, std::nullopt, "xkb:de", "Europe/Berlin"});
    std::uint64_t mask = 99;
    EXPECT_FALSE(GetRegionRestrictionMask(list, &mask));
    EXPECT_EQ(mask, 1u);
    // No list, or no "Countries": mask 0.
    writePlist(list, {{"TimeZones", platform::Array{"Europe/Berlin"}}});
    EXPECT_FALSE(GetRegionRestrictionMask(list, &mask));
    EXPECT_EQ(mask, 0u);
    EXPECT_FALSE(GetRegionRestrictionMask(dir_.file("none.plist"), &mask));
    EXPECT_EQ(mask, 0u);
}

TEST_F(ProductLinks, MachineFactsFromSystemFiles) {
    platform::Paths::ScopedRoot root(dir_.file("root"), dir_.file("home"));
    dir_.write("root/etc/default/locale", "# comment\nLANG=\"fr_CH.UTF-8\"\n");
    dir_.write("root/etc/default/keyboard", "XKBMODEL=\"pc105\"\nXKBLAYOUT=\"ch\"\n");
    RegionFacts facts = RegionFacts::current();
    EXPECT_EQ(facts.systemLocaleCountry, "CH");
    EXPECT_EQ(facts.systemCountry, std::nullopt);
    EXPECT_EQ(facts.keyboardLayout, "xkb:ch");
    writePlist(dir_.file("root/Library/Preferences/.GlobalPreferences.plist"),
               {{"AppleLocale", "de_AT"}, {"Country", "AT"}});
    facts = RegionFacts::current();
    EXPECT_EQ(facts.systemLocaleCountry, "AT");
    EXPECT_EQ(facts.systemCountry, "AT");
}

TEST_F(ProductLinks, FlagFilesOverwriteFirstByteAndRefuseLinks) {
    platform::Paths::ScopedRoot root(dir_.file("root"), dir_.file("home"));
    std::string optIn = platform::Paths::resolve(kOptInFlagFilePath);
    std::string region = platform::Paths::resolve(kRegionFlagFilePath);
    // Missing folders: silently nothing.
    WriteOptInFlagFile(1);
    EXPECT_FALSE(std::filesystem::exists(optIn));

    std::filesystem::create_directories(std::filesystem::path(optIn).parent_path());
    std::filesystem::create_directories(std::filesystem::path(region).parent_path());
    WriteOptInFlagFile(0x101);
    EXPECT_EQ(readAll(optIn), std::string(1, '\x01'));
    struct stat st;
    ASSERT_EQ(::stat(optIn.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0400u);

    dir_.write(
        "root/Library/Application Support/Pelgrave/Silo/TLW/Fellowguard/RegionsFlags/RegionFlag",
        "xyz");
    WriteRegionFlagFile(0);
    EXPECT_EQ(readAll(region), std::string("\0yz", 3));

    // A planted link is not followed.
    std::string victim = dir_.write("victim", "precious");
    std::filesystem::remove(region);
    std::filesystem::create_symlink(victim, region);
    WriteRegionFlagFile(1);
    EXPECT_EQ(readAll(victim), "precious");
}

}  // namespace
