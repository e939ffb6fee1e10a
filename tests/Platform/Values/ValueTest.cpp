#include <gtest/gtest.h>

#include <limits>

#include "Platform/Values/Value.h"

using platform::Value;

TEST(ValueTest, NumbersCompareByValueAcrossRepresentations) {
    struct Case {
        Value a, b;
        bool equal;
    } cases[] = {
        {Value(1), Value(1u), true},
        {Value(1), Value(1.0), true},
        {Value(1u), Value(1.0), true},
        {Value(1), Value(1.5), false},
        {Value(-1), Value(std::numeric_limits<unsigned long long>::max()), false},
        {Value(std::numeric_limits<long long>::max()), Value(9223372036854775808.0), false},
        {Value(std::numeric_limits<unsigned long long>::max()), Value(18446744073709551616.0),
         false},
        {Value(true), Value(1), false},
        {Value(true), Value(true), true},
        {Value("1"), Value(1), false},
        {Value(), Value(nullptr), true},
        {Value(platform::Array{Value(1), Value("x")}),
         Value(platform::Array{Value(1.0), Value("x")}), true},
        {Value(platform::Dictionary{{"k", Value(2u)}}),
         Value(platform::Dictionary{{"k", Value(2)}}), true},
        {Value(platform::Dictionary{{"k", Value(2u)}}),
         Value(platform::Dictionary{{"j", Value(2)}}), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.a == c.b, c.equal) << c.a.description() << " vs " << c.b.description();
        EXPECT_EQ(c.b == c.a, c.equal) << c.b.description() << " vs " << c.a.description();
    }
}

TEST(ValueTest, ConversionsFollowNumberAndStringRules) {
    EXPECT_EQ(Value("  -42abc").int64Value(), -42);
    EXPECT_EQ(Value("99999999999999999999").int64Value(), std::numeric_limits<long long>::max());
    EXPECT_EQ(Value(-5).uint64Value(), 0u);
    EXPECT_EQ(Value(1e30).int64Value(), std::numeric_limits<long long>::max());
    EXPECT_DOUBLE_EQ(Value("2.5e1").doubleValue(), 25.0);
    EXPECT_TRUE(Value("YES").boolValue());
    EXPECT_FALSE(Value("NO").boolValue());
    EXPECT_TRUE(Value("007").boolValue());
    EXPECT_EQ(Value(0.1).description(), "0.1");
    EXPECT_EQ(Value(static_cast<const char*>(nullptr)).description(), "(null)");
}

TEST(ValueTest, ContainersAreCopyOnWrite) {
    Value a(platform::Dictionary{{"k", Value(1)}});
    Value b = a;
    b.set("k", Value(2));
    b.set("n", Value("x"));
    EXPECT_EQ(a.get("k")->int64Value(), 1);
    EXPECT_EQ(a.get("n"), nullptr);
    EXPECT_EQ(b.get("k")->int64Value(), 2);
    EXPECT_TRUE(b.erase("n"));
    EXPECT_FALSE(b.erase("n"));
    Value n;
    n.mutableArray().push_back(Value(3));
    EXPECT_EQ(n.size(), 1u);
}

TEST(ValueTest, ADateBeyondTheCalendarIsDescribedByItsSeconds) {
    // Dates come from files: one no calendar year can hold is shown as its
    // number instead of being broken down (an overflowing conversion).
    const struct {
        double seconds;
        const char* description;
    } cases[] = {
        {0, "1970-01-01 00:00:00 +0000"},
        {-0.5, "1969-12-31 23:59:59 +0000"},
        {-4.33713e20, "-4.33713e+20"},
        {1e300, "1e+300"},
        {std::numeric_limits<double>::infinity(), "inf"},
        {std::numeric_limits<double>::quiet_NaN(), "nan"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Value(platform::Date{c.seconds}).description(), c.description) << c.seconds;
}
