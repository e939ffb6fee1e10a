#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <thread>

#include "Platform/System/Bundle.h"
#include "Platform/Values/PropertyList.h"
#include "Platform/Values/StringsFile.h"
#include "support/TempDir.h"

using platform::Bundle;
using platform::Dictionary;
using platform::Error;
using platform::StringsTable;
using platform::Value;

namespace platform {
// Readable failure messages for Value comparisons.
inline void PrintTo(const Value& v, std::ostream* os) { *os << v.description(); }
}  // namespace platform

namespace {

std::string utf16(const std::string& ascii, bool bigEndian, bool bom) {
    std::string out;
    if (bom) out += bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (char c : ascii) {
        if (bigEndian) out += '\0';
        out += c;
        if (!bigEndian) out += '\0';
    }
    return out;
}

std::optional<StringsTable> parse(const std::string& text, Error* error = nullptr) {
    return platform::parseStringsFile(
        std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), error);
}

// Sets environment variables for one test and restores them afterwards.
class EnvironmentScope {
  public:
    EnvironmentScope() {
        for (const char* name : kNames) {
            const char* v = std::getenv(name);
            saved_.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
            ::unsetenv(name);
        }
    }
    ~EnvironmentScope() {
        for (const auto& [name, value] : saved_) {
            if (value)
                ::setenv(name, value->c_str(), 1);
            else
                ::unsetenv(name);
        }
    }
    static constexpr const char* kNames[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};

  private:
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

class BundleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Bundle::setPreferredLanguage("de");
        app_ = dir_.file("Ostrel Installer.app");
        std::filesystem::create_directories(app_ + "/Contents");
        platform::PropertyList::toFile(Value(Dictionary{
                                           {"CFBundleIdentifier", "com.pelgrave.installer"},
                                           {"CFBundleExecutable", "Installer"},
                                           {"CFBundleName", "Installer"},
                                           {"CFBundleDevelopmentRegion", "en"},
                                           {"PEL_PRODUCT_NAME", "Ostrel"},
                                       }),
                                       app_ + "/Contents/Info.plist",
                                       platform::PropertyListFormat::Binary, false, nullptr);
        for (const char* file :
             {"MacOS/Installer", "Resources/logo.png", "Resources/de.lproj/logo.png",
              "Resources/photo.jpeg", "Resources/icon.icns", "Resources/version.1.2",
              "Resources/PelSupportFolder/Requirements.plist", "Resources/de.lproj/only-de.txt",
              "Resources/de.lproj/Help/topic.txt", "Resources/Base.lproj/both.txt",
              "Resources/en.lproj/both.txt", "Resources/English.lproj/only-english.txt",
              "Resources/fr.lproj/only-fr.txt"})
            dir_.write(std::string("Ostrel Installer.app/Contents/") + file, "x");
        // The German table is UTF-16 with a byte-order mark, as tables often are.
        write("de.lproj/SharedInstaller.strings",
              utf16("/* Window */\n\"Restart\" = \"Neustart\";\n"
                    "\"Package %1$@ of %2$@\" = \"Paket %1$@ von %2$@\";\n"
                    "\"Quote\" = \"Er sagte \\\"Hallo\\\"\\n\\tEnde \\\\ \\U00e9\";\n",
                    false, true));
        write("en.lproj/SharedInstaller.strings", "\"Only in English\" = \"English text\";\n");
        write("de.lproj/Localizable.strings",
              "// default table\n\"My Ostrel\" = \"Mein Ostrel\";\n");
        write("de.lproj/InfoPlist.strings", "CFBundleName = \"Installationsprogramm\";\n");
        write("de.lproj/Broken.strings", "\"missing semicolon\" = \"x\"\n");
    }
    void TearDown() override { Bundle::setPreferredLanguage(""); }

    void write(const std::string& resource, const std::string& contents) {
        dir_.write("Ostrel Installer.app/Contents/Resources/" + resource, contents);
    }
    std::string resource(const std::string& relative) const {
        return app_ + "/Contents/Resources/" + relative;
    }

    testsupport::TempDir dir_;
    std::string app_;
};

}  // namespace

TEST_F(BundleTest, InfoPlistValuesAndPaths) {
    Bundle bundle(app_ + "/");
    EXPECT_EQ(bundle.bundlePath(), app_);
    EXPECT_EQ(bundle.resourcePath(), app_ + "/Contents/Resources");
    EXPECT_EQ(bundle.executablePath(), app_ + "/Contents/MacOS/Installer");
    EXPECT_EQ(bundle.bundleIdentifier(), "com.pelgrave.installer");
    EXPECT_EQ(bundle.objectForInfoDictionaryKey("PEL_PRODUCT_NAME"), Value("Ostrel"));
    EXPECT_TRUE(bundle.objectForInfoDictionaryKey("PEL_BRAND").isNull());
    // Localized keys come from InfoPlist.strings; the raw dictionary is untouched.
    EXPECT_EQ(bundle.objectForInfoDictionaryKey("CFBundleName"), Value("Installationsprogramm"));
    EXPECT_EQ(bundle.infoDictionary().at("CFBundleName"), Value("Installer"));
    Dictionary localized = bundle.localizedInfoDictionary();
    EXPECT_EQ(localized.at("CFBundleName"), Value("Installationsprogramm"));
    EXPECT_EQ(localized.at("PEL_PRODUCT_NAME"), Value("Ostrel"));

    EXPECT_FALSE(Bundle::bundleWithPath(dir_.file("nowhere")));
    // A flat folder without Info.plist is a bundle with an empty dictionary.
    auto flat = Bundle::bundleWithPath(dir_.path().string());
    ASSERT_TRUE(flat);
    EXPECT_TRUE(flat->infoDictionary().empty());
    EXPECT_EQ(flat->resourcePath(), dir_.path().string());
    EXPECT_EQ(flat->executablePath(), "");
}

TEST_F(BundleTest, ResourcesAreSearchedInOrder) {
    Bundle bundle(app_);
    struct Case {
        const char* name;
        const char* type;
        const char* subdirectory;
        const char* expected;  // relative to Resources, "" when not found
    } cases[] = {
        {"logo", "png", "", "logo.png"},  // Resources before de.lproj
        {"logo.png", "", "", "logo.png"},
        {"logo", ".png", "", "logo.png"},
        {"only-de", "txt", "", "de.lproj/only-de.txt"},
        {"both", "txt", "", "Base.lproj/both.txt"},
        {"only-english", "txt", "", "English.lproj/only-english.txt"},
        {"only-fr", "txt", "", ""},  // another language is never used
        {"Requirements", "plist", "PelSupportFolder", "PelSupportFolder/Requirements.plist"},
        {"PelSupportFolder", "", "", "PelSupportFolder"},
        {"topic", "txt", "Help", "de.lproj/Help/topic.txt"},
        {"Requirements", "plist", "", ""},
        {"", "png", "", ""},
    };
    for (const auto& c : cases) {
        std::string expected = *c.expected ? resource(c.expected) : "";
        EXPECT_EQ(bundle.pathForResource(c.name, c.type, c.subdirectory), expected)
            << c.name << "." << c.type;
    }
    struct ImageCase {
        const char* name;
        const char* expected;
    } images[] = {
        {"logo", "logo.png"},           {"logo.png", "logo.png"}, {"photo", "photo.jpeg"},
        {"icon", "icon.icns"},          {"missing", ""},          {"photo.gif", ""},
        {"version.1.2", "version.1.2"},
    };
    for (const auto& c : images)
        EXPECT_EQ(bundle.pathForImageResource(c.name), *c.expected ? resource(c.expected) : "")
            << c.name;
}

TEST_F(BundleTest, LocalizedStringsFollowTheKeyIsEnglishRule) {
    Bundle bundle(app_);
    struct Case {
        const char* key;
        const char* value;
        const char* table;
        const char* expected;
    } cases[] = {
        {"Restart", "", "SharedInstaller", "Neustart"},
        {"Package %1$@ of %2$@", "", "SharedInstaller", "Paket %1$@ von %2$@"},
        {"Quote", "", "SharedInstaller", "Er sagte \"Hallo\"\n\tEnde \\ \u00e9"},
        {"Only in English", "", "SharedInstaller", "English text"},  // falls back per key
        {"Not translated", "", "SharedInstaller", "Not translated"},
        {"Not translated", "Fallback", "SharedInstaller", "Fallback"},
        {"My Ostrel", "", "", "Mein Ostrel"},  // "" is the default table
        {"Restart", "", "NoSuchTable", "Restart"},
        {"missing semicolon", "", "Broken", "missing semicolon"},  // a bad table counts as absent
    };
    for (const auto& c : cases)
        EXPECT_EQ(bundle.localizedString(c.key, c.value, c.table), c.expected)
            << c.key << " in " << c.table;

    // A language without its own folder uses the development region's table.
    Bundle::setPreferredLanguage("it");
    EXPECT_EQ(bundle.localizedString("Only in English", "", "SharedInstaller"), "English text");
    EXPECT_EQ(bundle.localizedString("Restart", "", "SharedInstaller"), "Restart");
}

TEST_F(BundleTest, ConcurrentLookupsShareOneCache) {
    Bundle bundle(app_);
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                if (bundle.localizedString("Restart", "", "SharedInstaller") != "Neustart") ++wrong;
                if (bundle.localizedString("x" + std::to_string(i), "",
                                           "Table" + std::to_string(i % 7)) !=
                    "x" + std::to_string(i))
                    ++wrong;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong, 0);
}

TEST(BundleMainTest, DiscoveredFromTheExecutableAndReplaceable) {
    EXPECT_EQ(Bundle::bundlePathForExecutable("/Applications/Ostrel.app/Contents/MacOS/Ostrel"),
              "/Applications/Ostrel.app");
    EXPECT_EQ(Bundle::bundlePathForExecutable("/opt/ostrel/bin/installer"), "/opt/ostrel/bin");
    EXPECT_EQ(Bundle::bundlePathForExecutable("/opt/Contents/MacOS/installer"),
              "/opt/Contents/MacOS");

    char exe[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    auto discovered = Bundle::mainBundle();
    EXPECT_EQ(discovered->executablePath(), exe);
    EXPECT_EQ(discovered->bundlePath(), Bundle::bundlePathForExecutable(exe));

    testsupport::TempDir dir;
    auto replacement = std::make_shared<const Bundle>(dir.path().string());
    Bundle::setMainBundle(replacement);
    EXPECT_EQ(Bundle::mainBundle(), replacement);
    Bundle::setMainBundle(nullptr);
    EXPECT_EQ(Bundle::mainBundle()->bundlePath(), discovered->bundlePath());
}

TEST(BundleMainTest, PreferredLanguageComesFromTheEnvironment) {
    EnvironmentScope scope;
    struct Case {
        const char* language;
        const char* lcAll;
        const char* lang;
        const char* expected;
    } cases[] = {
        {nullptr, nullptr, nullptr, "en"},       {nullptr, nullptr, "de_DE.UTF-8", "de"},
        {nullptr, "fr_CA", "de_DE.UTF-8", "fr"}, {"pt_BR:de", "fr_CA", "de_DE", "pt"},
        {":", "C", "ja_JP.eucJP@x", "ja"},       {nullptr, "POSIX", "C.UTF-8", "en"},
    };
    for (const auto& c : cases) {
        for (auto [name, value] :
             {std::pair{"LANGUAGE", c.language}, {"LC_ALL", c.lcAll}, {"LANG", c.lang}}) {
            if (value)
                ::setenv(name, value, 1);
            else
                ::unsetenv(name);
        }
        EXPECT_EQ(Bundle::preferredLanguage(), c.expected) << (c.lang ? c.lang : "-");
    }
    Bundle::setPreferredLanguage("nl");
    EXPECT_EQ(Bundle::preferredLanguage(), "nl");
    Bundle::setPreferredLanguage("");
    EXPECT_EQ(Bundle::preferredLanguage(), "en");
}

TEST(StringsFileTest, ParsesTheOldTextForm) {
    auto table = parse(
        "/* A comment with \"quotes\" = ; */\n"
        "\"plain\" = \"value\";  // trailing comment\n"
        "'single' = 'it\\'s';\n"
        "unquoted.key-1 = word_2;\n"
        "\"key only\";\n"
        "\"escapes\" = \"\\\"q\\\" \\\\ \\n\\t\\r \\101 \\U00e9 \\UD83D\\UDE00 \\UD800x \\z\";\n"
        "\"dup\" = \"first\"; \"dup\" = \"second\";\n"
        "\"utf8 \u00fc\" = \"\u2713\";");
    ASSERT_TRUE(table);
    EXPECT_EQ(table->at("plain"), "value");
    EXPECT_EQ(table->at("single"), "it's");
    EXPECT_EQ(table->at("unquoted.key-1"), "word_2");
    EXPECT_EQ(table->at("key only"), "key only");
    EXPECT_EQ(table->at("escapes"), "\"q\" \\ \n\t\r A \u00e9 \U0001F600 \uFFFDx z");
    EXPECT_EQ(table->at("dup"), "second");
    EXPECT_EQ(table->at("utf8 \u00fc"), "\u2713");
}

TEST(StringsFileTest, AcceptsEveryEncodingAndPropertyLists) {
    const std::string text = "\"k\" = \"v\";";
    const std::string forms[] = {
        text,
        "\xEF\xBB\xBF" + text,
        utf16(text, false, true),
        utf16(text, true, true),
        utf16(text, false, false),
        utf16(text, true, false),
        "{ " + text + " }",
        "<?xml version=\"1.0\"?><plist><dict><key>k</key><string>v</string>"
        "<key>n</key><integer>1</integer></dict></plist>",
    };
    for (const auto& form : forms) {
        Error error;
        auto table = parse(form, &error);
        ASSERT_TRUE(table) << error.description();
        EXPECT_EQ(*table, (StringsTable{{"k", "v"}}));
    }
    auto binary = platform::PropertyList::toData(Value(Dictionary{{"k", "v"}}),
                                                 platform::PropertyListFormat::Binary, nullptr);
    ASSERT_TRUE(binary);
    EXPECT_EQ(platform::parseStringsFile(*binary, nullptr), (StringsTable{{"k", "v"}}));
    EXPECT_EQ(parse(""), StringsTable{});
    EXPECT_EQ(parse("/* only a comment */"), StringsTable{});
}

TEST(StringsFileTest, MalformedTablesNameTheLine) {
    struct Case {
        std::string text;
        const char* expectedInDescription;
    } cases[] = {
        {"\"a\" = \"b\";\n\"c\" = \"d\"", "missing ';' on line 2"},
        {"\"a\" = \"b", "unterminated string"},
        {"\"a\" = \"b\"; /* open", "unterminated comment"},
        {"\"a\" \"b\";", "expected '='"},
        {"\"a\" = ;", "unexpected character"},
        {"= \"b\";", "unexpected character"},
        {"{ \"a\" = \"b\";", "missing '}'"},
        {"\"a\" = \"\\U\";", "\\U without"},
        {"\"a\" = \"\xff\";", "neither UTF-8 nor UTF-16"},
        {"\xFF\xFE\x22", "odd number of bytes"},
        {"<plist><array/></plist>", "not a dictionary"},
    };
    for (const auto& c : cases) {
        Error error;
        EXPECT_FALSE(parse(c.text, &error)) << c.text;
        EXPECT_EQ(error.code(), platform::kPropertyListReadCorruptError) << c.text;
        const Value* debug = error.userInfoValue(platform::kDebugDescriptionErrorKey);
        ASSERT_TRUE(debug) << c.text;
        EXPECT_NE(debug->stringValue().find(c.expectedInDescription), std::string::npos)
            << debug->stringValue();
    }
}
