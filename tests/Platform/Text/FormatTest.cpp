#include <gtest/gtest.h>
#include <locale.h>
#include <stdlib.h>

#include <cstdint>
#include <memory>
#include <optional>

#include "Platform/Text/Format.h"
#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"
#include "support/TempDir.h"

using platform::format;

namespace {

struct Case {
    std::string got;
    std::string want;
};

void expectAll(const std::vector<Case>& cases) {
    for (std::size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(cases[i].got, cases[i].want) << "case " << i;
}

struct Described {
    std::string description() const { return "<described>"; }
};

}  // namespace

TEST(FormatTest, ConversionsOfMatchingArguments) {
    const char* nullText = nullptr;
    std::string s = "text";
    expectAll({
        {format("%d %i %ld %lld", 1, -2, 3L, -4LL), "1 -2 3 -4"},
        {format("%u %lu %llu", 1u, 2UL, 18446744073709551615ULL), "1 2 18446744073709551615"},
        {format("%x %lx %llx %X", 255, 0xabcUL, 0x1ULL, 0xbeef), "ff abc 1 BEEF"},
        {format("%08lx", 0x1234UL), "00001234"},
        {format("%5d|%-5d|%+d|% d|%05d", 42, 42, 42, 42, -42), "   42|42   |+42| 42|-0042"},
        {format("%x %u", -1, -1), "ffffffff 4294967295"},
        {format("%hhx", static_cast<signed char>(-1)), "ff"},
        {format("%s|%s|%s", "abc", s, nullText), "abc|text|(null)"},
        {format("%.2s|%5s|%-5s|", "abcdef", "ab", "ab"), "ab|   ab|ab   |"},
        {format("%f %0.2f %.1f", 1.5, 3.14159, 2.25), "1.500000 3.14 2.2"},
        {format("%g %e %G", 0.0001, 12345.678, 1e-10), "0.0001 1.234568e+04 1E-10"},
        {format("%c%c%C", 'o', 107, 0xE9), "ok\xC3\xA9"},
        {format("100%% done"), "100% done"},
        {format("%p", reinterpret_cast<void*>(0x1f)), "0x1f"},
        {format("%p", static_cast<void*>(nullptr)), "0x0"},
        {format("%*d|%-*d|%.*f", 4, 7, 3, 7, 2, 1.0), "   7|7  |1.00"},
    });
}

TEST(FormatTest, ObjectsPrintTheirDescription) {
    platform::Error error("Dom", -3);
    platform::Value number(7);
    platform::Value dict(platform::Dictionary{{"k", platform::Value("v")}});
    const platform::Error* nullError = nullptr;
    const std::string* nullString = nullptr;
    std::string name = "file";
    auto shared = std::make_shared<Described>();
    expectAll({
        {format("%@", error),
         "Error Domain=Dom Code=-3 \"The operation couldn\u2019t be completed. (Dom error -3.)\""},
        {format("%@", &error), error.description()},
        {format("%@ %@", number, dict), "7 " + dict.description()},
        {format("%@|%@|%@", nullError, nullString, nullptr), "(null)|(null)|(null)"},
        {format("%@", std::optional<std::string>()), "(null)"},
        {format("%@ %@ %@", name, &name, std::string_view("sv")), "file file sv"},
        {format("%@ %@", Described(), shared), "<described> <described>"},
        {format("%@ %@ %@", 12, 2.5, true), "12 2.5 1"},
        {format("[%8@]", "ab"), "[      ab]"},
    });
}

TEST(FormatTest, PositionalArguments) {
    expectAll({
        {format("%2$@ %1$@", "world", "hello"), "hello world"},
        {format("%1$d %1$x %1$@", 255), "255 ff 255"},
        {format("%2$s then %s %s", "a", "b"), "b then a b"},
        {format("%*2$d|", 5, 3), "  5|"},
        {format("%3$@", "a", "b"), "%3$@"},
        {format("%0$d", 1), "%0$d"},
    });
}

TEST(FormatTest, MissingMismatchedAndMalformedDirectivesAreDefined) {
    expectAll({
        // Too few arguments: the directive is printed as written.
        {format("%s:%@ and %d", "f"), "f:%@ and %d"},
        {format("%.*f", 2), "%.*f"},
        // Extra arguments are ignored.
        {format("%d", 1, 2, "three"), "1"},
        // Wrong kinds print what "%@" would.
        {format("%d|%5x|%-4c|", "abc", "ab", "z"), "abc|   ab|z   |"},
        {format("%d %x", 2.5, -0.5), "2.5 -0.5"},
        {format("%p %c", 12, 1.5), "12 1.5"},
        {format("%f %e", 3, 4u), "3.000000 4.000000e+00"},
        {format("%d", static_cast<const char*>(nullptr)), "(null)"},
        {format("%d", 4294967295u), "4294967295"},
        // Width from a non-integer counts as absent.
        {format("%*d", "w", 5), "5"},
        // Unknown conversions, "%n" and a trailing "%" are printed as written.
        {format("%y %n %", 1), "%y %n %"},
        {format("%ll", 1), "%ll"},
        // Huge widths are clamped rather than allocating without bound.
        {std::to_string(format("%999999999d", 1).size()), "10000"},
    });
}

TEST(FormatTest, PrecisionNeverReadsPastItAndKeepsUtf8Whole) {
    // Not terminated: only the first three bytes may be read.
    const char bytes[3] = {'a', 'b', 'c'};
    EXPECT_EQ(format("%.3s", static_cast<const char*>(bytes)), "abc");
    EXPECT_EQ(format("%.2s", "\xC3\xA9z"), "\xC3\xA9");
    EXPECT_EQ(format("%.1s", "\xC3\xA9z"), "");
    EXPECT_EQ(format("%.4s", std::string("a\xE2\x82\xAC")), "a\xE2\x82\xAC");
    EXPECT_EQ(format("%.3s", std::string("a\xE2\x82\xAC")), "a");
}

TEST(FormatTest, NumbersIgnoreTheProcessLocale) {
    // Build a locale whose decimal point is a comma inside the test folder.
    testsupport::TempDir dir;
    std::string cmd =
        "localedef -i de_DE -f UTF-8 '" + dir.file("de_DE.utf8") + "' >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) GTEST_SKIP() << "localedef cannot build a de_DE locale here";
    const char* oldPath = getenv("LOCPATH");
    std::string saved = oldPath ? oldPath : "";
    setenv("LOCPATH", dir.path().c_str(), 1);
    if (!setlocale(LC_ALL, "de_DE.UTF-8")) {
        setenv("LOCPATH", saved.c_str(), 1);
        GTEST_SKIP() << "the de_DE locale built for this test does not load";
    }
    char probe[16];
    snprintf(probe, sizeof probe, "%.1f", 1.5);
    std::string got = format("%.2f %g %@ %d", 3.5, 0.25, 1.5, 1234567);
    setlocale(LC_ALL, "C");
    if (oldPath)
        setenv("LOCPATH", saved.c_str(), 1);
    else
        unsetenv("LOCPATH");
    EXPECT_STREQ(probe, "1,5");  // the locale really is in force
    EXPECT_EQ(got, "3.50 0.25 1.5 1234567");
}
