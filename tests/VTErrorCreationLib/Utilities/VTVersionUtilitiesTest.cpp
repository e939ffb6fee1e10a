#include <gtest/gtest.h>

#include <clocale>

#include "VTErrorCreationLib/Utilities/VTProbability.h"
#include "VTErrorCreationLib/Utilities/VTVersionUtilities.h"

namespace {

using platform::Value;

// Components as text: numbers in decimal, placeholders as they are.
std::string joined(const std::optional<VTVersionComponents>& c) {
    if (!c) return "(not a version)";
    std::string out;
    for (std::size_t i = 0; i < 4; ++i) {
        if (i) out += ' ';
        out += (*c)[i].description();
        if ((*c)[i].isString()) out += "s";  // mark text placeholders
    }
    return out;
}

TEST(VTVersionComponents, ParsesTheVersionForms) {
    struct Case {
        const char* text;
        const char* expected;  // with no wildcard and "0" for missing components
    } cases[] = {
        {"8.4.2f21", "8 4 2 21"},
        {"8.4.2.21", "8 4 2 21"},
        {"8.4f21", "8 4 0s 21"},
        {"8.4", "8 4 0s 0s"},
        {"8", "8 0s 0s 0s"},
        {"8.4.2.21.5", "8 4 2 21"},
        {"8.4.2b3", "8 4 2 3"},
        {"65535.0", "65535 0 0s 0s"},
        {"0.1", "(not a version)"},
        {"8.4.2fa21", "(not a version)"},
        {"8.70000", "(not a version)"},
        {"8.4f2f3", "(not a version)"},
        {"8,4", "(not a version)"},
        {"8..4", "(not a version)"},
        {"", "(not a version)"},
        {"x", "(not a version)"},
        {"8.*", "(not a version)"},
        {"99999999999999999999.1", "(not a version)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(joined(VTStringUtilities::versionComponents(c.text)), c.expected) << c.text;
}

TEST(VTVersionComponents, WildcardsAndCanonicalForm) {
    auto c = VTStringUtilities::versionComponents("8.*", Value("*"), Value("0"));
    EXPECT_EQ(joined(c), "8 *s 0s 0s");
    EXPECT_EQ(VTStringUtilities::canonicalVersionString("8.*"), "8.*.0.0");
    EXPECT_EQ(VTStringUtilities::canonicalVersionString("8.4"), "8.4.0.0");
    EXPECT_EQ(VTStringUtilities::canonicalVersionString("8.4.2f21"), "8.4.2.21");
    EXPECT_EQ(VTStringUtilities::canonicalVersionString("*"), "*.0.0.0");
    EXPECT_FALSE(VTStringUtilities::canonicalVersionString("0.1"));
}

TEST(VTVersionComponents, StageCharacterIsTheLastStageLetter) {
    EXPECT_EQ(VTStringUtilities::stageCharacterRange("8.4.2f21"), 5u);
    EXPECT_EQ(VTStringUtilities::stageCharacterRange("a.b"), 2u);
    EXPECT_FALSE(VTStringUtilities::stageCharacterRange("8.4.2.21"));
}

TEST(VTHexValue, ScansLikeAHexScanner) {
    struct Case {
        const char* text;
        std::uint64_t value;
    } cases[] = {
        {"1234", 0x1234},
        {"0x1F", 0x1F},
        {"  \tdeadBEEF", 0xdeadbeef},
        {"12zz", 0x12},
        {"zz", 0},
        {"", 0},
        {"0x", 0},
        {"ffffffffffffffff", UINT64_MAX},
        {"1ffffffffffffffff", UINT64_MAX},
    };
    for (const auto& c : cases) EXPECT_EQ(VTStringUtilities::hexValue(c.text), c.value) << c.text;
}

TEST(VTBucketID, PrintsAtLeastEightLowerCaseDigitsInAnyLocale) {
    // Number formatting must not follow the process locale.
    const char* previous = std::setlocale(LC_ALL, nullptr);
    std::string saved = previous ? previous : "C";
    std::setlocale(LC_ALL, "de_DE.UTF-8");
    EXPECT_EQ(VTStringUtilities::stringWithBucketID(0x1234), "00001234");
    EXPECT_EQ(VTStringUtilities::stringWithBucketID(0xABCDEF0123ull), "abcdef0123");
    EXPECT_EQ(VTStringUtilities::stringWithBucketIDNumber(Value(0xFFFFFFFFull)), "ffffffff");
    EXPECT_EQ(VTStringUtilities::bucketIDValue("00001234"), 0x1234u);
    std::setlocale(LC_ALL, saved.c_str());
}

TEST(VTTestProbability, OneInN) {
    int calls = 0;
    VTRandomUniform zero = [&](std::uint32_t bound) {
        ++calls;
        EXPECT_EQ(bound, 7u);
        return 0u;
    };
    VTRandomUniform nonZero = [](std::uint32_t bound) { return bound - 1; };
    EXPECT_TRUE(VTTestProbability(7, zero));
    EXPECT_FALSE(VTTestProbability(7, nonZero));
    EXPECT_EQ(calls, 1);
    for (int i = 0; i < 50; ++i) {
        EXPECT_TRUE(VTTestProbability(1));
        EXPECT_FALSE(VTTestProbability(0));
        EXPECT_FALSE(VTTestProbability(-5));
    }
    VTSetRandomSourceForTesting([](std::uint32_t) { return 0u; });
    EXPECT_TRUE(VTNumberUtilities::testProbability(Value(1000)));
    VTSetRandomSourceForTesting([](std::uint32_t) { return 3u; });
    EXPECT_FALSE(VTNumberUtilities::testProbability(Value(1000)));
    VTSetRandomSourceForTesting({});
}

TEST(VTDictionaryUtilities, SetsObjectOrFallback) {
    platform::Dictionary d;
    VTDictionaryUtilities::setObject(d, "a", Value(1), Value(2));
    VTDictionaryUtilities::setObject(d, "b", std::nullopt, Value(2));
    VTDictionaryUtilities::setObject(d, "c", std::nullopt, std::nullopt);
    EXPECT_EQ(d.at("a"), Value(1));
    EXPECT_EQ(d.at("b"), Value(2));
    EXPECT_EQ(d.count("c"), 0u);
}

}  // namespace
