#include <gtest/gtest.h>

#include <cstdlib>

#include "Controllers/Core/PelEULAUtils.h"
#include "Platform/System/Paths.h"
#include "Platform/Values/PropertyList.h"
#include "support/TempDir.h"

namespace {

using Prefixes = std::vector<std::string>;

TEST(PelEULAUtilsPrefixes, FollowCountryAndLocale) {
    struct Case {
        std::optional<std::string> country;
        std::string locale;
        Prefixes expected;
    };
    const Case cases[] = {
        {"CA", "fr_CA", {"usca", "ieng"}},
        {"US", "de_DE", {"usca", "ieng"}},
        {std::nullopt, "fr_FR", {"fr_FR", "fr", "ieng"}},
        {std::nullopt, "en_US", {"usca", "ieng"}},
        {"DE", "en_US", {"en_US", "en", "ieng"}},  // the system country wins
        {std::nullopt, "zh-Hans_CN", {"zh-Hans_CN", "zh_CN", "zh-Hans", "zh", "ieng"}},
        {std::nullopt, "de", {"de", "ieng"}},
        {"US", "de", {"usca", "ieng"}},
        {std::nullopt, "zh-Hant", {"zh-Hant", "zh", "ieng"}},
        // A second "_": the country is between the two, the full form the language.
        {std::nullopt, "sr_RS_Latn", {"sr", "sr", "ieng"}},
        {std::nullopt, "en_CA_x", {"usca", "ieng"}},
        {std::nullopt, "", {"", "ieng"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PelEULAUtils::prefixesFor(c.country, c.locale), c.expected)
            << c.locale << " / " << c.country.value_or("(none)");
    }
}

class PelEULAUtilsFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        root_.emplace(dir_.file("root"));
        setenv("LANG", "fr_FR.UTF-8", 1);
        unsetenv("LC_ALL");
        unsetenv("LC_MESSAGES");
    }
    void TearDown() override { root_.reset(); }

    void setPreferences(platform::Dictionary preferences) {
        ASSERT_TRUE(platform::PropertyList::toFile(
            platform::Value(std::move(preferences)),
            dir_.write("root/Library/Preferences/.GlobalPreferences.plist", ""),
            platform::PropertyListFormat::XML, false, nullptr));
    }
    std::string resource(const std::string& name) {
        return dir_.write("bundle/Contents/Resources/" + name, "{\\rtf1}");
    }
    std::optional<std::string> chosen() {
        dir_.write("bundle/Contents/Info.plist", "");
        auto utils = PelEULAUtils::createEULAUtilsWith(
            std::make_shared<platform::Bundle>(dir_.file("bundle")));
        if (!utils->supportedEULAExists()) return std::nullopt;
        return utils->pathToEULARTF();
    }

    testsupport::TempDir dir_;
    std::optional<platform::Paths::ScopedRoot> root_;
};

TEST_F(PelEULAUtilsFiles, LocaleFromTheEnvironmentWithoutPreferences) {
    EXPECT_EQ(PelEULAUtils::currentLocaleIdentifier(), "fr_FR");
    EXPECT_EQ(chosen(), std::nullopt);
    std::string ieng = resource("ieng_License.rtf");
    EXPECT_EQ(chosen(), ieng);
    std::string fr = resource("fr_License.rtf");
    EXPECT_EQ(chosen(), fr);
    std::string frFR = resource("fr_FR_License.rtf");
    EXPECT_EQ(chosen(), frFR);
}

TEST_F(PelEULAUtilsFiles, SystemCountryCanadaTakesUscaThenIeng) {
    setPreferences({{"Country", "CA"}, {"AppleLocale", "fr_CA"}});
    resource("fr_CA_License.rtf");
    std::string ieng = resource("ieng_License.rtf");
    EXPECT_EQ(chosen(), ieng);
    std::string usca = resource("usca_License.rtf");
    EXPECT_EQ(chosen(), usca);
}

TEST_F(PelEULAUtilsFiles, RichTextPackageWithD) {
    setPreferences({{"AppleLocale", "de_DE"}});
    std::string package = resource("ieng_License.rtfd");
    EXPECT_EQ(chosen(), package);
}

TEST_F(PelEULAUtilsFiles, PreferencesLocaleOverridesTheEnvironment) {
    setPreferences({{"AppleLocale", "it_IT"}});
    resource("fr_FR_License.rtf");
    EXPECT_EQ(chosen(), std::nullopt);
    std::string it = resource("it_License.rtf");
    EXPECT_EQ(chosen(), it);
}

}  // namespace
