#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "VTErrorCreationLib/Utilities/VTBinaryPlist.h"
#include "VTErrorCreationLib/Utilities/VTBundleUtilities.h"
#include "VTErrorCreationLib/Utilities/VTCoding.h"
#include "VTErrorCreationLib/Utilities/VTErrorUtilities.h"
#include "VTErrorCreationLib/Utilities/VTExecutableInfo.h"
#include "support/MachOBuilder.h"
#include "support/TempDir.h"

namespace {

using platform::Data;
using platform::Dictionary;
using platform::Value;
using testsupport::fat;
using testsupport::machO;
using testsupport::put;

TEST(VTBundleVersion, FollowsTheBuildNumberRules) {
    struct Case {
        Dictionary info;
        std::optional<std::string> bundle;
        std::optional<std::string> executable;
    } cases[] = {
        {{{"CFBundleShortVersionString", Value("8.4.2")}, {"BuildVersion", Value("21")}},
         "8.4.2f21",
         "8.4.2f21"},
        {{{"CFBundleShortVersionString", Value("8.4.2")}, {"CFBundleVersion", Value("21")}},
         "8.4.2f21",
         "8.4.2f21"},
        {{{"CFBundleShortVersionString", Value("8.4.2f21")}, {"BuildVersion", Value("30")}},
         "8.4.2f21",
         "8.4.2f21"},
        {{{"CFBundleShortVersionString", Value("8.4.2")}}, "8.4.2", "8.4.2"},
        {{{"CFBundleShortVersionString", Value("8.4.2b3")}, {"BuildVersion", Value("21")}},
         "8.4.2b3",
         "8.4.2b3"},
        {{{"CFBundleShortVersionString", Value("8.4.2")},
          {"BuildVersion", Value("0")},
          {"CFBundleVersion", Value("9")}},
         "8.4.2",
         "8.4.2"},
        {{{"CFBundleVersion", Value("1.2.3")}}, "1.2.3", "1.2.3"},
        {{{"CFBundleVersion", Value("123")}, {"SourceVersion", Value("4.5")}}, "4.5", "4.5"},
        {{{"CFBundleVersion", Value("123")}}, std::nullopt, "123"},
        {{}, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(VTBundleUtilities::bundleVersion(c.info), c.bundle)
            << Value(c.info).description();
        EXPECT_EQ(VTBundleUtilities::executableVersion(c.info), c.executable)
            << Value(c.info).description();
    }
}

TEST(VTBundlePath, FindsTheBundleOfAnExecutable) {
    struct Case {
        const char* path;
        std::optional<std::string> bundle;
    } cases[] = {
        {"/Applications/X.app/Contents/MacOS/X", "/Applications/X.app"},
        {"/Applications/X.app/Contents/Executables/MacOS/X", "/Applications/X.app"},
        {"/Library/Frameworks/Y.framework/Versions/A/Y", "/Library/Frameworks/Y.framework"},
        {"/usr/lib/libz.dylib", std::nullopt},
        {"/X.app/MacOS/X", std::nullopt},
        {"/x", std::nullopt},
        {"Tool.bundle/tool", "Tool.bundle"},
        {"/MacOS/X", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(VTBundleUtilities::bundlePathFromExecutablePath(c.path), c.bundle) << c.path;
    std::string text = "/Applications/X.app/Contents/MacOS/X";
    EXPECT_EQ(VTBundleUtilities::bundlePathFromExecutableFileSystemRepresentation(text.data(),
                                                                                  text.size()),
              "/Applications/X.app");

    testsupport::TempDir dir;
    EXPECT_EQ(VTBundleUtilities::bundlePathFromExecutablePath(dir.path().string()),
              dir.path().string());
    dir.write("B.app/Contents/Info.plist",
              R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)"
              R"(<key>CFBundleShortVersionString</key><string>8.4.2</string>)"
              R"(<key>BuildVersion</key><string>21</string></dict></plist>)");
    EXPECT_EQ(VTBundleUtilities::bundleVersionAtPath(dir.file("B.app")), "8.4.2f21");
}

Data infoPlist(const std::string& shortVersion) {
    Dictionary info{{"CFBundleShortVersionString", Value(shortVersion)},
                    {"CFBundleVersion", Value("7")}};
    VTPlistNode node;
    VTPlistNodeFromValue(Value(info), &node);
    return VTWriteBinaryPlist(node);
}

// A 64-bit little-endian ELF file with the sections (name, bytes).
Data elf(const std::vector<std::pair<std::string, Data>>& sections) {
    Data d(64, 0);
    d[0] = 0x7f, d[1] = 'E', d[2] = 'L', d[3] = 'F', d[4] = 2, d[5] = 1, d[6] = 1;
    std::string strtab(1, '\0');
    std::vector<std::size_t> nameOffsets, dataOffsets;
    for (const auto& [name, bytes] : sections) {
        nameOffsets.push_back(strtab.size());
        strtab += name + '\0';
        dataOffsets.push_back(d.size());
        d.insert(d.end(), bytes.begin(), bytes.end());
    }
    std::size_t strOffset = d.size();
    d.insert(d.end(), strtab.begin(), strtab.end());
    std::size_t shoff = d.size();
    std::size_t count = sections.size() + 2;  // null section, sections, string table
    d.resize(shoff + count * 64, 0);
    for (std::size_t i = 0; i < sections.size(); ++i) {
        std::size_t at = shoff + (i + 1) * 64;
        put(d, at, nameOffsets[i], 4);
        put(d, at + 4, 1, 4);  // SHT_PROGBITS
        put(d, at + 24, dataOffsets[i], 8);
        put(d, at + 32, sections[i].second.size(), 8);
    }
    std::size_t strIndex = count - 1;
    put(d, shoff + strIndex * 64 + 4, 3, 4);  // SHT_STRTAB
    put(d, shoff + strIndex * 64 + 24, strOffset, 8);
    put(d, shoff + strIndex * 64 + 32, strtab.size(), 8);
    put(d, 40, shoff, 8);
    put(d, 58, 64, 2);
    put(d, 60, count, 2);
    put(d, 62, strIndex, 2);
    return d;
}

std::optional<std::string> versionOf(const Data& bytes, platform::Error* error = nullptr) {
    testsupport::TempDir dir;
    std::string path = dir.file("exe");
    VTCodingUtilities::writeFile(path, bytes, false, nullptr);
    auto info = VTBundleUtilities::infoPlistForURL(path, error);
    if (!info) return std::nullopt;
    return VTBundleUtilities::executableVersion(*info);
}

TEST(VTEmbeddedInfoPlist, ReadsARealMachOExecutable) {
    std::string path = std::string(VT_FIXTURE_DIR) + "/info_plist_x86_64.macho";
    EXPECT_EQ(VTBundleUtilities::executableVersionForURL(path), "8.4.2f21");
    platform::Error error;
    auto info = VTBundleUtilities::infoPlistForURL(path, &error);
    ASSERT_TRUE(info) << error.description();
    EXPECT_EQ(info->at("CFBundleIdentifier"), Value("com.pelgrave.fixture"));

    std::ifstream in(path, std::ios::binary);
    Data real((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The same image as the second slice of a universal file, after one
    // slice without the section.
    EXPECT_EQ(versionOf(fat({machO(false, {}, 0), real})), "8.4.2f21");
}

TEST(VTEmbeddedInfoPlist, ReadsHandMadeImages) {
    EXPECT_EQ(versionOf(machO(true, infoPlist("1.2"), 3)), "1.2f7");
    EXPECT_EQ(versionOf(machO(false, infoPlist("3.4"))), "3.4f7");
    EXPECT_EQ(versionOf(fat({machO(false, infoPlist("5.6")), machO(true, infoPlist("7.8"))})),
              "5.6f7");
    EXPECT_EQ(versionOf(elf({{".text", Data(10, 0x90)}, {"__info_plist", infoPlist("9.1")}})),
              "9.1f7");

    platform::Error error;
    EXPECT_FALSE(versionOf(elf({{".text", Data(10, 0x90)}}), &error));
    EXPECT_TRUE(error.empty());
    EXPECT_FALSE(versionOf(Data(4096, 0), &error));  // not an image
    EXPECT_TRUE(error.empty());
}

TEST(VTEmbeddedInfoPlist, RejectsTruncatedAndInconsistentImages) {
    Data good = machO(true, infoPlist("1.2"));
    Data badCommand = good;
    put(badCommand, 32 + 4, 100000, 4);  // load command runs past the end
    Data zeroCommand = good;
    put(zeroCommand, 32 + 4, 0, 4);
    Data fatBadOffset = fat({good});
    put(fatBadOffset, 16, fatBadOffset.size(), 4, true);
    Data fatTooMany = fat({good});
    put(fatTooMany, 4, 5000, 4, true);
    Data elfBad = elf({{"__info_plist", infoPlist("1")}});
    put(elfBad, 40, 1u << 30, 8);

    struct Case {
        const char* name;
        Data bytes;
        std::string domain;
        long code;
    } cases[] = {
        {"tiny", Data{1, 2, 3}, std::string(VTUtilitiesErrorDomain), 2},
        {"short", Data(20, 0xAB), std::string(platform::kMachErrorDomain), 29},
        {"section past the end", machO(true, infoPlist("1.2"), 1, 1u << 20),
         std::string(VTUtilitiesErrorDomain), 2},
        {"command past the end", badCommand, std::string(VTUtilitiesErrorDomain), 2},
        {"empty command", zeroCommand, std::string(VTUtilitiesErrorDomain), 2},
        {"slice offset past the end", fatBadOffset, std::string(VTUtilitiesErrorDomain), 2},
        {"too many slices", fatTooMany, std::string(VTUtilitiesErrorDomain), 2},
        {"section table past the end", elfBad, std::string(VTUtilitiesErrorDomain), 2},
        {"section is no property list", machO(true, Data(40, 'x')),
         std::string(platform::kCocoaErrorDomain), 3840},
    };
    for (const auto& c : cases) {
        platform::Error error;
        EXPECT_FALSE(versionOf(c.bytes, &error)) << c.name;
        EXPECT_EQ(error.domain(), c.domain) << c.name;
        EXPECT_EQ(error.code(), c.code) << c.name;
    }
    platform::Error error;
    EXPECT_FALSE(VTBundleUtilities::infoPlistForURL("/no/such/file", &error));
    EXPECT_EQ(error.domain(), platform::kPOSIXErrorDomain);
}

}  // namespace
