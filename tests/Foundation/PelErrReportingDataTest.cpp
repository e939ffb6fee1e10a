// The data of failure reports, seen through the recorder (this test program
// does not link the error library, so reports are recorded, not saved).
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "Foundation/PelErrReporting.h"
#include "Foundation/PelErrReportingData.h"
#include "Foundation/PelErrReportingTesting.h"
#include "FoundationTestSupport.h"
#include "Platform/System/Paths.h"
#include "Platform/Values/Json.h"
#include "support/TempDir.h"

namespace {

using platform::Array;
using platform::Dictionary;
using platform::Value;

class PelErrReportingDataTest : public ::testing::Test {
  protected:
    // Begins a report, lets `fill` add to it, ends it and returns its record.
    PelErrReportingRecord report(const std::function<void(VTErrorReportRef)>& fill) {
        recorder_.clear();
        VTErrorReportRef r = PelErrReportingBeginFailureReport(0, 1, "C", "", nullptr);
        EXPECT_NE(r, nullptr);
        fill(r);
        PelErrReportingEndFailureReport(r);
        auto records = recorder_.records();
        EXPECT_EQ(records.size(), 1u);
        return records.empty() ? PelErrReportingRecord{} : records[0];
    }

    testsupport::TempDir dir_;
    platform::Paths::ScopedRoot root_{dir_.file("root"), dir_.file("home")};
    foundationtest::QuietLogging logging_;
    PelErrReportingRecorder recorder_;
};

TEST_F(PelErrReportingDataTest, FirstFailureNamesTheReport) {
    const std::runtime_error runtime("boom");
    struct Case {
        const char* name;
        std::function<void(VTErrorReportRef)> first;
        std::optional<std::string> failureName;
        std::uint64_t code;
    } cases[] = {
        {"number code", [](VTErrorReportRef r) { PelErrReportingAddIntFailure(r, "w", "D", 28); },
         "D:28", 28},
        {"text code",
         [](VTErrorReportRef r) { PelErrReportingAddStringFailure(r, "w", "D", "abc"); }, "D:abc",
         97},
        {"numeric text",
         [](VTErrorReportRef r) { PelErrReportingAddStringFailure(r, "w", "D", " 12x"); }, "D: 12x",
         12},
        {"empty text", [](VTErrorReportRef r) { PelErrReportingAddStringFailure(r, "w", "D", ""); },
         "D:", 0},
        {"negative error code",
         [](VTErrorReportRef r) {
             const platform::Error e("E", -70601);
             PelErrReportingAddCFErrorFailure(r, "verify", &e);
         },
         "E:-70601", static_cast<std::uint64_t>(-70601)},
        {"exception name",
         [&](VTErrorReportRef r) { PelErrReportingAddCxxExceptionFailure(r, runtime); },
         "std::runtime_error", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto record = report([&](VTErrorReportRef r) {
            c.first(r);
            PelErrReportingAddStringFailure(r, "later", "L", "xyz");
        });
        auto name = record.parameters.find("failure");
        ASSERT_EQ(name != record.parameters.end(), c.failureName.has_value());
        if (c.failureName) {
            EXPECT_EQ(name->second, *c.failureName);
        }
        EXPECT_EQ(record.logicalErrorCode, c.code);
        EXPECT_EQ(record.data.at("failures").size(), 2u) << "later failures only join the list";
    }
}

TEST_F(PelErrReportingDataTest, NestedErrorsGiveOneFailureEachAndNestInTheFirst) {
    platform::Error innermost("Inner", 3, {{"NSURL", "file:///var/tmp/a%20b.plist?x=1"}});
    platform::Error middle("Middle", 2);
    middle.setUnderlyingError(innermost);
    platform::Error outer("Outer", 1, {{"when", platform::Date{0}}});
    outer.setUnderlyingError(middle);
    auto record =
        report([&](VTErrorReportRef r) { PelErrReportingAddCFErrorFailure(r, "load", &outer); });

    const Array& failures = *record.data.at("failures").asArray();
    ASSERT_EQ(failures.size(), 3u);
    EXPECT_EQ(*failures[0].get("domain"), "Outer");
    EXPECT_EQ(*failures[1].get("domain"), "Middle");
    EXPECT_EQ(*failures[2].get("domain"), "Inner");
    for (const Value& f : failures) EXPECT_EQ(*f.get("failure"), "load");
    const Value* nested = failures[0].get("userInfo")->get("NSUnderlyingError");
    ASSERT_NE(nested, nullptr);
    EXPECT_EQ(*nested->get("domain"), "Middle");
    const Value* deepest = nested->get("userInfo")->get("NSUnderlyingError");
    ASSERT_NE(deepest, nullptr);
    EXPECT_EQ(*deepest->get("userInfo")->get("NSURL"), "/var/tmp/a b.plist");
    EXPECT_TRUE(failures[0].get("userInfo")->get("when")->isString()) << "dates become text";
    EXPECT_TRUE(platform::json::isJSONSafe(Value(record.data)));
}

TEST_F(PelErrReportingDataTest, ErrorsOfReportingDomainsCarryTheirFailureReady) {
    const Dictionary ready{{"Name", "std::bad_alloc"}, {"Description", "no memory"}};
    const platform::Error error("com.pelgrave.c++", 0, ready);
    auto record =
        report([&](VTErrorReportRef r) { PelErrReportingAddCFErrorFailure(r, "f", &error); });
    EXPECT_EQ(record.data.at("failures"), Value(Array{ready}));
    EXPECT_EQ(record.parameters.at("failure"), "std::bad_alloc");
}

TEST_F(PelErrReportingDataTest, ReportDataIsStoredAsJSON) {
    auto record = report([](VTErrorReportRef r) {
        PelErrReportingAddStringErrorData(r, "URL", "/a");
        PelErrReportingAddIntErrorData(r, "bytesRead", 10);
        const Value date(platform::Date{0});
        PelErrReportingAddCFTypeErrorData(r, "when", &date);
        const Value bytes(platform::Data{1, 2, 3});
        PelErrReportingAddCFTypeErrorData(r, "raw", &bytes);
    });
    EXPECT_EQ(record.details.at("raw"), Value(platform::Data{1, 2, 3}));
    const platform::Data& json = *record.details.at("ErrorReportingData").asData();
    auto parsed = platform::json::parse(std::span<const std::uint8_t>(json), nullptr);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed->get("URL"), "/a");
    EXPECT_EQ(*parsed->get("bytesRead"), 10);
    EXPECT_EQ(*parsed->get("when"), Value(platform::Date{0}).description());
}

TEST_F(PelErrReportingDataTest, JSONSafeCopyKeepsWhatJSONHoldsAndDescribesTheRest) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Dictionary safe{{"a", 1}, {"b", Array{"x", true, nullptr}}};
    EXPECT_EQ(PelErrReportingJSONSafeCopy(safe), safe);

    const Dictionary mixed{
        {"date", platform::Date{0}},
        {"data", platform::Data{0xAB}},
        {"nan", nan},
        {"bad utf8", std::string("a\xFFz")},
        {"list", Array{1, platform::Date{0}, Array{platform::Data{1}},
                       Dictionary{{"d", platform::Date{0}}}}},
        {"kept", Dictionary{{"n", 2.5}, {"s", "t"}}},
    };
    const Dictionary copy = PelErrReportingJSONSafeCopy(mixed);
    EXPECT_TRUE(platform::json::isJSONSafe(Value(copy)));
    EXPECT_EQ(copy.at("date"), Value(platform::Date{0}).description());
    EXPECT_EQ(copy.at("data"), Value(platform::Data{0xAB}).description());
    EXPECT_TRUE(copy.at("nan").isString());
    EXPECT_EQ(copy.at("bad utf8"), "a\xEF\xBF\xBDz");
    const Array& list = *copy.at("list").asArray();
    EXPECT_EQ(list[0], 1);
    EXPECT_TRUE(list[1].isString());
    EXPECT_TRUE(list[2].asArray()->at(0).isString());
    EXPECT_TRUE(list[3].get("d")->isString());
    EXPECT_EQ(copy.at("kept"), mixed.at("kept"));
}

// Kept out of line, and the call kept from becoming a jump, so that the
// return address lies inside it.
[[gnu::noinline]] VTErrorReportRef beginHere() {
    VTErrorReportRef report =
        PelErrReportingBeginFailureReport(0, 1, "C", "", kPelErrLocationCaller);
    asm volatile("" ::: "memory");
    return report;
}

TEST_F(PelErrReportingDataTest, CallerLocationIsTheCallersReturnAddress) {
    recorder_.clear();
    PelErrReportingEndFailureReport(beginHere());
    auto records = recorder_.records();
    ASSERT_EQ(records.size(), 1u);
    const auto location = reinterpret_cast<std::uintptr_t>(records[0].location);
    const auto start = reinterpret_cast<std::uintptr_t>(&beginHere);
    EXPECT_GT(location, start);
    EXPECT_LT(location, start + 4096);
}

}  // namespace
