#include <gtest/gtest.h>

#include <string>

#include "Foundation/PelRegistryUtilities.h"

using PelRegistry::Utilities::decomposeVersion;

namespace {

constexpr std::uint16_t kAny = 0xFFFF;

struct Parts {
    std::uint16_t major, minor, build, stage, number;
    friend bool operator==(const Parts&, const Parts&) = default;
};

std::ostream& operator<<(std::ostream& os, const Parts& p) {
    return os << p.major << "." << p.minor << "." << p.build << " stage " << p.stage << " #"
              << p.number;
}

}  // namespace

TEST(PelRegistryVersionTest, DecomposesAndRefuses) {
    struct Case {
        const char* text;
        bool ok;
        Parts want;
    } cases[] = {
        {"1.2", true, {1, 2, kAny, kAny, kAny}},
        {"5.3.2", true, {5, 3, 2, kAny, kAny}},
        {"8.1b12", true, {8, 1, 0, 4, 12}},
        {"8.1.3f2", true, {8, 1, 3, 8, 2}},
        {"*.*", true, {kAny, kAny, kAny, kAny, kAny}},
        {"1.*", true, {1, kAny, kAny, kAny, kAny}},
        {"2.0.*", true, {2, 0, kAny, kAny, kAny}},
        {"3.1a", true, {3, 1, 0, 2, kAny}},
        {"3.1d0", true, {3, 1, 0, 1, 0}},
        {"3.1r667", true, {3, 1, 0, 8, 667}},
        {"3.1.4*", true, {3, 1, 4, kAny, kAny}},
        {"3.1.4b*", true, {3, 1, 4, 4, kAny}},
        {"3.1x", true, {3, 1, 0, kAny, kAny}},  // unknown stage letter
        // A character after the stage that is not a number, "*" or the end
        // leaves the number as the caller set it (7 here); the rest is written.
        {"3.1bx", true, {3, 1, 0, 4, 7}},
        {"3.1.2f-", true, {3, 1, 2, 8, 7}},
        {"65535.65535.255", true, {65535, 65535, 255, kAny, kAny}},
        // Refused.
        {"", false, {}},
        {"0.1", false, {}},
        {"1", false, {}},
        {"1.", false, {}},
        {"1.2.", false, {}},
        {"1.2.x", false, {}},
        {"a.1", false, {}},
        {"1.2.256", false, {}},
        {"1.2b668", false, {}},
        {"1.2b3x", false, {}},
        {"65536.1", false, {}},
        {"1.65536", false, {}},
        // Overflow of every width must not wrap around to a small number.
        {"4294967297.1", false, {}},
        {"1.18446744073709551617", false, {}},
        {"1.2.99999999999999999999", false, {}},
        {"1.2b18446744073709551617", false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        // Outputs start at a value that none of the cases gives.
        Parts got{7, 7, 7, 7, 7};
        EXPECT_EQ(
            decomposeVersion(c.text, &got.major, &got.minor, &got.build, &got.stage, &got.number),
            c.ok);
        EXPECT_EQ(got, c.ok ? c.want : Parts{});

        std::string text(c.text);
        Parts fromString{7, 7, 7, 7, 7};
        EXPECT_EQ(decomposeVersion(&text, &fromString.major, &fromString.minor, &fromString.build,
                                   &fromString.stage, &fromString.number),
                  c.ok);
        EXPECT_EQ(fromString, got);
    }
}

TEST(PelRegistryVersionTest, NullTextsAndOutputs) {
    std::uint16_t major = 7;
    EXPECT_FALSE(decomposeVersion(static_cast<const char*>(nullptr), &major, nullptr, nullptr,
                                  nullptr, nullptr));
    EXPECT_EQ(major, 0);
    EXPECT_FALSE(decomposeVersion(static_cast<const std::string*>(nullptr), nullptr, nullptr,
                                  nullptr, nullptr, nullptr));
    EXPECT_TRUE(decomposeVersion("8.1b12", nullptr, nullptr, nullptr, nullptr, nullptr));

    // The string form reads ASCII only; the text ends at a NUL either way.
    std::string accented = "1.2\xC3\xA9";
    EXPECT_FALSE(decomposeVersion(&accented, nullptr, nullptr, nullptr, nullptr, nullptr));
    std::string withNul("1.2\0junk", 8);
    std::uint16_t build = 0;
    EXPECT_TRUE(decomposeVersion(&withNul, nullptr, nullptr, &build, nullptr, nullptr));
    EXPECT_EQ(build, kAny);
}
