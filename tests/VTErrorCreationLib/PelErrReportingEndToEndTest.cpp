// The failure-report API of the foundation library over the real error
// library: reports become saved error folders.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "Foundation/PelErrReporting.h"
#include "Platform/Values/Exception.h"
#include "Platform/Values/Json.h"
#include "VTClientTestSupport.h"

namespace {

using platform::Dictionary;
using platform::Value;

constexpr std::int32_t kRegistryCode = 0x52656720;  // "Reg "

std::string readText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// The bucket a failure at `address` in this test program falls into.
std::uint64_t expectedBucket(std::uint64_t address, std::uint64_t failureID) {
    Dl_info info{};
    EXPECT_NE(dladdr(reinterpret_cast<void*>(address), &info), 0);
    std::string bytes = program_invocation_short_name;
    const std::uint64_t offset = address - reinterpret_cast<std::uintptr_t>(info.dli_fbase);
    for (std::uint64_t v : {offset, failureID})
        for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    return crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size()));
}

class PelErrReportingEndToEnd : public ::testing::Test {
  protected:
    vtclienttest::ClientTree tree_;
    vtclienttest::LogCapture log_;
};

TEST_F(PelErrReportingEndToEnd, CxxExceptionReportBecomesASavedErrorFolder) {
    auto client = tree_.client();
    client->setProductName("Ostrel");
    PelErrReportingReportCxxException(2, kRegistryCode, "PelRegistry", "", kPelErrLocationCaller,
                                      std::runtime_error("boom"));

    auto saved = tree_.savedErrors();
    ASSERT_EQ(saved.size(), 1u);
    auto summary = tree_.summaryOf(saved[0]);
    ASSERT_TRUE(summary);
    EXPECT_EQ(summary->failureType(), kVTFailureTypeLogicalError);
    EXPECT_EQ(summary->failureSeverity(), 2);
    EXPECT_EQ(summary->logicalComponentId(), "PelRegistry");
    EXPECT_EQ(summary->logicalFailureID(), static_cast<std::uint64_t>(kRegistryCode));
    EXPECT_EQ(summary->productName(), "Ostrel");
    EXPECT_EQ(summary->moduleName(), program_invocation_short_name);
    ASSERT_TRUE(summary->failureAddress());
    const std::uint64_t bucket = expectedBucket(*summary->failureAddress(), kRegistryCode);
    EXPECT_EQ(summary->bucketId(), bucket);
    char folder[64];
    std::snprintf(folder, sizeof folder, "Errors/%08lx/", static_cast<unsigned long>(bucket));
    EXPECT_EQ(saved[0], folder + summary->failureUUID()->UUIDString());

    auto data = tree_.dataOf(saved[0]);
    ASSERT_TRUE(data);
    EXPECT_EQ(data->parameter("failure"), "std::runtime_error");
    EXPECT_TRUE(data->detailInfo("ProcessLaunch"));
    EXPECT_FALSE(data->detailInfo("ProcessBacktrace")) << "crash dumps are off";
    ASSERT_TRUE(data->detailInfo("ErrorReportingData"));

    const Dictionary expected{
        {"failures",
         platform::Array{Dictionary{{"Name", "std::runtime_error"}, {"Description", "boom"}}}}};
    const std::string json = readText(tree_.base() + "/" + saved[0] + "/ErrorReportingData");
    EXPECT_EQ(json, *platform::json::serialize(Value(expected), platform::json::WriteStyle::Pretty,
                                               nullptr));
    EXPECT_EQ(*data->userData().at("PelErrReporting").asDictionary(), expected);
    EXPECT_TRUE(
        log_.contains("Cannot add a dump to logical errors when crash logging is disabled"));
}

// Dates, data and an exception's raw user information have no JSON form;
// they are written as text instead of losing the whole report data.
TEST_F(PelErrReportingEndToEnd, ValuesWithoutJSONFormKeepTheReportData) {
    auto client = tree_.client();
    VTErrorReportRef report = PelErrReportingBeginFailureReport(1, kRegistryCode, "PelRegistry", "",
                                                                kPelErrLocationCaller);
    ASSERT_NE(report, nullptr);
    const Value when(platform::Date{0});
    PelErrReportingAddCFTypeErrorData(report, "when", &when);
    PelErrReportingAddStringErrorData(report, "URL", "/a/b.plist");
    const platform::Exception exception("NSRangeException", "out of range",
                                        {{"bytes", platform::Data{1, 2}}, {"index", 3}});
    PelErrReportingAddNSExceptionFailure(report, &exception);
    PelErrReportingEndFailureReport(report);

    auto saved = tree_.savedErrors();
    ASSERT_EQ(saved.size(), 1u);
    auto parsed = platform::json::parse(
        readText(tree_.base() + "/" + saved[0] + "/ErrorReportingData"), nullptr);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed->get("URL"), "/a/b.plist");
    EXPECT_EQ(*parsed->get("when"), when.description());
    const Value& failure = parsed->get("failures")->asArray()->at(0);
    EXPECT_EQ(*failure.get("Name"), "NSRangeException");
    EXPECT_EQ(*failure.get("UserInfo")->get("index"), 3);
    EXPECT_EQ(*failure.get("UserInfo")->get("bytes"), Value(platform::Data{1, 2}).description());
    EXPECT_FALSE(failure.get("BacktraceAddrs")->asArray()->empty());
    auto data = tree_.dataOf(saved[0]);
    EXPECT_EQ(data->parameter("failure"), "NSRangeException");
}

TEST_F(PelErrReportingEndToEnd, SubmittedCallStackIsSavedInThisProgramsBucket) {
    auto client = tree_.client();
    PelErrReportingSubmitFailureReport(0, kRegistryCode, "PelRegistry", "", nullptr);
    auto saved = tree_.savedErrors();
    ASSERT_EQ(saved.size(), 1u);
    auto summary = tree_.summaryOf(saved[0]);
    EXPECT_EQ(summary->moduleName(), program_invocation_short_name);
    EXPECT_NE(summary->bucketId(), 0u);
    EXPECT_NE(summary->stackHash(), 0u);
    auto data = tree_.dataOf(saved[0]);
    const Value& failure = data->userData().at("PelErrReporting").get("failures")->asArray()->at(0);
    EXPECT_EQ(failure.get("BacktraceAddrs")->size(), failure.get("BacktraceSymbols")->size());
}

TEST_F(PelErrReportingEndToEnd, WithoutAClientNothingIsSaved) {
    VTClient::clearCurrentClientForTesting();
    EXPECT_EQ(PelErrReportingBeginFailureReport(0, 1, "C", "", kPelErrLocationCaller), nullptr);
    EXPECT_TRUE(log_.contains("Cannot use PelErrorReporting without a client"));
}

}  // namespace

namespace {

TEST_F(PelErrReportingEndToEnd, SeverityAboveZeroAsksForADump) {
    auto reporter = std::make_shared<vtclienttest::FakeCrashReporter>();
    VTClient::setCrashReporterFactory([&](const std::string&) { return reporter; });
    auto configuration = tree_.configuration();
    configuration.setEnableCrashDumps(true);
    auto client = tree_.client(configuration);
    for (int severity : {0, 1, 2}) {
        VTErrorReportRef report = PelErrReportingBeginFailureReport(
            severity, kRegistryCode, "PelRegistry", "", kPelErrLocationCaller);
        ASSERT_NE(report, nullptr);
        PelErrReportingAddIntErrorData(report, "severity", severity);
        PelErrReportingEndFailureReport(report);
    }
    auto saved = tree_.savedErrors();
    ASSERT_EQ(saved.size(), 3u);
    for (const std::string& folder : saved) {
        auto summary = tree_.summaryOf(folder);
        auto data = tree_.dataOf(folder);
        EXPECT_EQ(data->detailInfo("ProcessBacktrace").has_value(), summary->failureSeverity() > 0)
            << "severity " << summary->failureSeverity();
    }
}

}  // namespace

namespace {

[[gnu::noinline]] platform::Exception makeHere() {
    platform::Exception e("NSGenericException", "one");
    asm volatile("" ::: "memory");
    return e;
}
[[gnu::noinline]] platform::Exception makeThere() {
    platform::Exception e("NSGenericException", "two");
    asm volatile("" ::: "memory");
    return e;
}

// An exception is located where it was made, so exceptions of different
// places fall into different buckets.
TEST_F(PelErrReportingEndToEnd, ExceptionsOfDifferentPlacesHaveDifferentBuckets) {
    auto client = tree_.client();
    const platform::Exception here = makeHere();
    const platform::Exception there = makeThere();
    PelErrReportingReportNSException(2, kRegistryCode, "", "", kPelErrLocationCaller, &here);
    PelErrReportingReportNSException(2, kRegistryCode, "", "", kPelErrLocationCaller, &there);
    auto saved = tree_.savedErrors();
    ASSERT_EQ(saved.size(), 2u);
    auto first = tree_.summaryOf(saved[0]);
    auto second = tree_.summaryOf(saved[1]);
    EXPECT_NE(first->bucketId(), second->bucketId());
    for (const platform::Exception* e : {&here, &there}) {
        const std::uintptr_t top = e->callStackReturnAddresses().at(0);
        const auto start = reinterpret_cast<std::uintptr_t>(e == &here ? &makeHere : &makeThere);
        EXPECT_GT(top, start);
        EXPECT_LT(top, start + 4096) << "the first frame lies in the function that made it";
    }
}

}  // namespace
