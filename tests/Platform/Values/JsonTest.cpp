#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Platform/Values/Json.h"

using platform::Array;
using platform::Data;
using platform::Date;
using platform::Dictionary;
using platform::Error;
using platform::Value;
namespace json = platform::json;

namespace platform {
// Readable failure messages for Value comparisons.
inline void PrintTo(const Value& v, std::ostream* os) { *os << v.description(); }
}  // namespace platform

namespace {

std::string nestedArrays(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

}  // namespace

TEST(JsonTest, RoundTripKeepsValuesAndNumberKinds) {
    const Value v(Dictionary{
        {"null", Value()},
        {"bools", Array{true, false}},
        {"ints", Array{0, -7, std::numeric_limits<long long>::min(),
                       std::numeric_limits<long long>::max()}},
        {"unsigned", Array{std::numeric_limits<unsigned long long>::max()}},
        {"reals", Array{0.1, 1.0, -2.5e-300, 1e300}},
        {"strings", Array{"", "quote \" backslash \\ slash /", "\u00e9\u2713\U0001F600",
                          std::string("nul\0x", 5), "\x01\x1f"}},
        {"nested", Array{Array{}, Dictionary{}, Dictionary{{"a", Array{Dictionary{{"b", 1}}}}}}},
    });
    for (auto style : {json::WriteStyle::Compact, json::WriteStyle::Pretty}) {
        Error error;
        auto text = json::serialize(v, style, &error);
        ASSERT_TRUE(text) << error.description();
        auto back = json::parse(*text, &error);
        ASSERT_TRUE(back) << error.description();
        EXPECT_EQ(*back, v) << *text;
        const Array& reals = *back->get("reals")->asArray();
        EXPECT_EQ(reals[1].type(), Value::Type::Real) << "1.0 must stay a real";
        EXPECT_EQ(back->get("unsigned")->asArray()->front().type(), Value::Type::Unsigned);
        EXPECT_EQ(back->get("ints")->asArray()->back().type(), Value::Type::Integer);
    }
    EXPECT_EQ(json::serialize(Value(Dictionary{{"b", Value()}, {"a", Array{1, 2.5, "x"}}}),
                              json::WriteStyle::Compact, nullptr),
              R"({"a":[1,2.5,"x"],"b":null})");
    EXPECT_EQ(json::serialize(Value(Dictionary{{"a", 1}}), json::WriteStyle::Pretty, nullptr),
              "{\n  \"a\": 1\n}");
}

TEST(JsonTest, NumbersTakeTheNarrowestFittingKind) {
    struct Case {
        const char* text;
        Value::Type type;
    } cases[] = {
        {"42", Value::Type::Integer},
        {"-42", Value::Type::Integer},
        {"9223372036854775807", Value::Type::Integer},
        {"-9223372036854775808", Value::Type::Integer},
        {"9223372036854775808", Value::Type::Unsigned},
        {"18446744073709551615", Value::Type::Unsigned},
        {"18446744073709551616", Value::Type::Real},
        {"-9223372036854775809", Value::Type::Real},
        {"1.0", Value::Type::Real},
        {"1e3", Value::Type::Real},
    };
    for (const auto& c : cases) {
        auto v = json::parse(c.text, nullptr);
        ASSERT_TRUE(v) << c.text;
        EXPECT_EQ(v->type(), c.type) << c.text;
    }
    EXPECT_EQ(json::parse("18446744073709551615", nullptr)->uint64Value(),
              std::numeric_limits<unsigned long long>::max());
}

TEST(JsonTest, MalformedTextIsRefusedWithADescription) {
    const std::string cases[] = {
        "",         "   ",           "{",  "[1,]", R"({"a" 1})",      "tru", "[1] 2", "{'a':1}",
        "\"\xff\"", "[\"\\ud800\"]", "01", "NaN",  nestedArrays(600),
    };
    for (const auto& text : cases) {
        Error error;
        EXPECT_FALSE(json::parse(text, &error)) << text;
        EXPECT_EQ(error.domain(), platform::kCocoaErrorDomain);
        EXPECT_EQ(error.code(), platform::kPropertyListReadCorruptError);
        const Value* debug = error.userInfoValue(platform::kDebugDescriptionErrorKey);
        ASSERT_TRUE(debug) << text;
        EXPECT_FALSE(debug->stringValue().empty());
    }
    EXPECT_TRUE(json::parse(nestedArrays(500), nullptr));
    EXPECT_EQ(json::parse("\xEF\xBB\xBF{\"bom\":true}", nullptr), Value(Dictionary{{"bom", true}}));
    EXPECT_EQ(json::parse(R"({"k":1,"k":2})", nullptr), Value(Dictionary{{"k", 2}}));
}

TEST(JsonTest, ValuesWithoutJSONFormAreRefused) {
    const Value cases[] = {
        Value(Data{1, 2}),
        Value(Date{0}),
        Value(std::nan("")),
        Value(Array{1, Value(std::numeric_limits<double>::infinity())}),
        Value(Dictionary{{"when", Value(Date{5})}}),
        Value(std::string("\xc3(")),
        Value(Dictionary{{std::string("\xff"), 1}}),
    };
    for (const auto& v : cases) {
        EXPECT_FALSE(json::isJSONSafe(v)) << v.description();
        EXPECT_FALSE(json::isValidJSONObject(v)) << v.description();
        Error error;
        EXPECT_FALSE(json::serialize(v, json::WriteStyle::Compact, &error)) << v.description();
        EXPECT_EQ(error.domain(), platform::kCocoaErrorDomain);
        EXPECT_EQ(error.code(), platform::kPropertyListWriteInvalidError);
        EXPECT_FALSE(error.localizedDescription().empty());
    }
    // A lone scalar is JSON-safe but not a document's root object.
    EXPECT_TRUE(json::isJSONSafe(Value(1)));
    EXPECT_FALSE(json::isValidJSONObject(Value(1)));
    EXPECT_TRUE(json::isValidJSONObject(Value(Array{})));
    EXPECT_EQ(json::serialize(Value("x"), json::WriteStyle::Compact, nullptr), "\"x\"");
}
