#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <limits>

#include "Platform/Http/HttpError.h"
#include "SubmissionTestSupport.h"
#include "VTSubmissionLib/VTSubmissionConnection.h"
#include "VTSubmissionLib/VTSubmissionFormat.h"

using namespace std::chrono_literals;
using subtest::Fixture;
using testsupport::LoopbackHttpServer;
using testsupport::ScriptedReply;

namespace {

platform::Date utc(int y, int mo, int d, int h, int mi, int s, double fraction = 0) {
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    return platform::Date{static_cast<double>(timegm(&tm)) + fraction};
}

struct Outcome {
    bool done = false;
    std::optional<platform::HttpResponse> response;
    platform::Data body;
    platform::Error error;
};

Outcome runPing(const Fixture& fx, std::shared_ptr<VTServerSubmission> submission) {
    auto ping = std::make_shared<VTSubmissionPing>(submission, fx.context());
    auto outcome = std::make_shared<Outcome>();
    ping->setCompletionCallback(
        [outcome](const auto& response, const auto& body, const auto& error) {
            outcome->done = true;
            outcome->response = response;
            outcome->body = body;
            outcome->error = error;
        });
    platform::Error startError;
    EXPECT_TRUE(ping->start(&startError)) << startError.description();
    platform::RunLoop::runUntil([&] { return outcome->done; }, 20s);
    EXPECT_TRUE(outcome->done);
    return *outcome;
}

}  // namespace

TEST(VTSubmissionFormatTest, WindowsTicksKeepWholeSeconds) {
    EXPECT_EQ(timeIntervalInWindowsTicks(platform::Date{0}), 116444736000000000ULL);
    EXPECT_EQ(timeIntervalInWindowsTicks(platform::Date{0.9}), 116444736000000000ULL);
    EXPECT_EQ(timeIntervalInWindowsTicks(platform::Date{1}), 116444736010000000ULL);
    EXPECT_EQ(dateWithWindowsTicks(116444736019999999ULL).secondsSince1970, 1.0);
}

TEST(VTSubmissionFormatTest, DatesUseTheCalendarYearAndEnglishNamesWhateverTheLocale) {
    const std::string previous = std::setlocale(LC_ALL, nullptr);
    std::setlocale(LC_ALL, "de_DE.UTF-8");  // where installed; the texts must not change
    EXPECT_EQ(VTSubmissionDateString(utc(2024, 12, 30, 23, 59, 59, 0.5)),
              "2024-12-30 23:59:59:500");
    EXPECT_EQ(VTSubmissionDateString(utc(2021, 1, 1, 0, 0, 0, 0.9999)), "2021-01-01 00:00:00:999");
    EXPECT_EQ(VTSubmissionRFCDateString(utc(2024, 12, 30, 23, 59, 59)),
              "Mon, 30 Dec 2024 23:59:59 GMT");
    EXPECT_EQ(VTSubmissionRFCDateString(utc(2025, 3, 1, 7, 5, 9)), "Sat, 1 Mar 2025 07:05:09 GMT");
    std::setlocale(LC_ALL, previous.c_str());
}

// A summary on disk can hold any number as its date: the texts stay within
// the calendar's four-digit years and nothing leaves its type's range.
TEST(VTSubmissionFormatTest, DatesBeyondTheCalendarAreHeldToIt) {
    struct Case {
        double seconds;
        const char* text;
        std::uint64_t ticks;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {std::numeric_limits<double>::quiet_NaN(), "1970-01-01 00:00:00:000",
         116444736000000000ULL},
        {1e300, "9999-12-31 23:59:59:999", 2650467743990000000ULL},
        {inf, "9999-12-31 23:59:59:999", 2650467743990000000ULL},
        {-inf, "0001-01-01 00:00:00:000", 0},
        {-1e18, "0001-01-01 00:00:00:000", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seconds);
        EXPECT_EQ(VTSubmissionDateString(platform::Date{c.seconds}), c.text);
        EXPECT_EQ(timeIntervalInWindowsTicks(platform::Date{c.seconds}), c.ticks);
        EXPECT_FALSE(VTSubmissionRFCDateString(platform::Date{c.seconds}).empty());
    }
}

TEST(VTSubmissionFormatTest, EscapingAndTruncation) {
    EXPECT_EQ(VTFormEscape("aZ09-._~ +&=/é"), "aZ09-._~%20%2B%26%3D%2F%C3%A9");
    const std::string e = "\xC3\xA9";  // two bytes, one character
    std::string text;
    for (int i = 0; i < 600; ++i) text += e;
    std::string cut = VTTruncateUTF8(text, 512);
    EXPECT_EQ(cut.size(), 1024u);
    EXPECT_EQ(VTTruncateUTF8("abc", 512), "abc");
    EXPECT_EQ(VTDeletingPathExtension("/a.b/libx.dylib"), "/a.b/libx");
    EXPECT_EQ(VTDeletingPathExtension("/a.b/libx"), "/a.b/libx");
}

TEST(VTSubmissionPingTest, FormFieldsOfAFixedSummary) {
    Fixture fx;
    auto error = fx.makeError();
    VTErrorProperties& s = error->summaryData();
    s.setLogicalFailureID(static_cast<std::uint64_t>(-5));
    s.setProductLanguages(platform::Array{platform::Value("PelAllLanguages"),
                                          platform::Value("German"), platform::Value("Klingon")});
    s.setFailureTime(utc(2024, 12, 30, 23, 59, 59, 0.5));
    auto ping = std::make_shared<VTSubmissionPing>(std::make_shared<VTServerSubmission>(error),
                                                   fx.context());
    auto fields = ping->formFields();
    ASSERT_TRUE(fields);
    std::map<std::string, std::string> f(fields->begin(), fields->end());
    EXPECT_EQ(f["version"], "8.4.2.21");
    EXPECT_EQ(f["country"], "US");
    EXPECT_EQ(f["language"], "English");
    EXPECT_EQ(f["locale_name"], "English");
    EXPECT_EQ(f["product"], "Ostrel");
    EXPECT_EQ(f["machine_id"], "11111111-2222-3333-4444-555555555555");
    EXPECT_EQ(f["product_lang_id"], "de");
    EXPECT_EQ(f["error_count"], "1");
    EXPECT_EQ(f["event_time"], "2024-12-30 23:59:59:500");
    EXPECT_EQ(f["bucket_id"], "000ABC12");
    EXPECT_EQ(f["class_id"], "2");
    EXPECT_EQ(f["submission_probability"], "1");
    EXPECT_EQ(f["error_id"], std::string("{") + subtest::kUUIDText + "}");
    EXPECT_EQ(f["module_name"], "libostrel");
    EXPECT_EQ(f["source"], "libostrel");
    EXPECT_EQ(f["process_ver"], "8.4.2.21");
    EXPECT_EQ(f["error_code"], "5");
    EXPECT_EQ(f["severity"], "2");
    EXPECT_EQ(f["error_data"], "0");
    EXPECT_EQ(f["detailed_data"], "0");
    EXPECT_EQ(f["os_type"], "1");
    EXPECT_EQ(f["os_architecture"], "x64");
    for (const char* absent : {"os_build", "stack_hash", "process_time", "pel_module_ver",
                               "detailed_data_type", "client_version"})
        EXPECT_EQ(f.count(absent), 0u) << absent;
    // The body carries the same fields.
    EXPECT_EQ(subtest::parseForm(VTFormBody(*fields)), f);

    s.setProductLanguages(platform::Array{});
    auto empty = *ping->formFields();
    EXPECT_EQ((std::map<std::string, std::string>(empty.begin(), empty.end())["product_lang_id"]),
              "en-US");
    s.setProductVersion(std::string("abc"));
    EXPECT_FALSE(ping->formFields());
}

TEST(VTSubmissionPingTest, UserDefinedHeaderIsCutAndAbsentWithoutParameters) {
    Fixture fx;
    LoopbackHttpServer server;
    server.setDefaultReply([] {
        ScriptedReply r;
        r.headers = {{"X-Submit-Error-Payload", "0"}};
        return r;
    }());
    fx.setGateways({{0, 1, server.port()}});

    auto plain = fx.makeError();
    runPing(fx, std::make_shared<VTServerSubmission>(plain));
    auto withParameters = fx.makeError();
    withParameters->addParameterDataWithKey("long key", std::string(600, 'x'), nullptr);
    withParameters->summaryData().setThreadNumber(3);
    runPing(fx, std::make_shared<VTServerSubmission>(withParameters));

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_FALSE(requests[0].hasHeader("X-User-Defined"));
    EXPECT_EQ(requests[0].header("User-Agent"), "Ostrel QMError Mac/2.0");
    EXPECT_EQ(requests[0].header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].path(), "/ping");
    auto header = subtest::parseForm(requests[1].header("X-User-Defined"));
    EXPECT_EQ(header["long key"], std::string(512, 'x'));
    EXPECT_EQ(header["thread_number"], "3");
}

TEST(VTSubmissionPingTest, GatewaysInPriorityOrderWithFailOver) {
    struct Case {
        const char* name;
        ScriptedReply first;
        int secondRequests;
        int status;  // of the outcome, 0: none
        long error;  // kURLErrorDomain code, 0: none
    };
    ScriptedReply wanted = ScriptedReply::ok();
    wanted.headers = {{"X-Submit-Error-Payload", "1"}, {"X-Error-Cookie", "c00kie"}};
    ScriptedReply stall;
    stall.stallBeforeReply = true;
    ScriptedReply noCookie = ScriptedReply::ok();
    noCookie.headers = {{"X-Submit-Error-Payload", "1"}};
    ScriptedReply huge = ScriptedReply::ok();
    huge.headers = {{"X-Submit-Error-Payload", "0"}};
    huge.generatedBodySize = 11 * 1024 * 1024;
    const Case cases[] = {
        {"payload wanted", wanted, 0, 200, 0},
        {"stall fails over", stall, 1, 200, 0},
        {"500 stays", ScriptedReply::withStatus(500), 0, 500, 0},
        {"429 stays", ScriptedReply::withStatus(429), 0, 429, 0},
        {"200 without payload header", ScriptedReply::ok(), 0, 0,
         platform::kURLErrorNotConnectedToInternet},
        {"payload without cookie", noCookie, 0, 0, platform::kURLErrorBadServerResponse},
        {"answer over the cap", huge, 0, 0, platform::kURLErrorDataLengthExceedsMaximum},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture fx;
        fx.configuration->setNetworkConnectTimeoutSeconds(1);
        LoopbackHttpServer first, second;
        first.enqueue(c.first);
        second.setDefaultReply(wanted);
        fx.setGateways({{0, 5, second.port()}, {0, 1, first.port()}, {1, 0, second.port()}});
        auto submission = std::make_shared<VTServerSubmission>(fx.makeError());
        Outcome o = runPing(fx, submission);
        first.releaseStalls();
        EXPECT_EQ(first.requestCount(), 1u);
        EXPECT_EQ(second.requestCount(), static_cast<std::size_t>(c.secondRequests));
        EXPECT_EQ(o.response ? o.response->statusCode() : 0, c.status);
        EXPECT_EQ(o.error.code(), c.error) << o.error.description();
        if (c.status == 200) {
            EXPECT_TRUE(submission->shouldSubmitPayload());
            EXPECT_EQ(submission->cookie(), "c00kie");
        }
    }
}

TEST(VTSubmissionPingTest, TricklingGatewayEndsAtTheTotalDeadlineAndFailsOver) {
    Fixture fx;
    fx.configuration->setNetworkConnectTimeoutSeconds(1);  // idle 1 s, total 4 s
    LoopbackHttpServer first, second;
    ScriptedReply trickle = ScriptedReply::ok(std::string(100, 'x'));
    trickle.trickleBytes = 1;
    trickle.trickleDelay = 300ms;
    first.enqueue(trickle);
    ScriptedReply ok = ScriptedReply::ok();
    ok.headers = {{"X-Submit-Error-Payload", "0"}};
    second.setDefaultReply(ok);
    fx.setGateways({{0, 1, first.port()}, {0, 2, second.port()}});
    const auto started = std::chrono::steady_clock::now();
    Outcome o = runPing(fx, std::make_shared<VTServerSubmission>(fx.makeError()));
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_TRUE(o.error.empty()) << o.error.description();
    ASSERT_TRUE(o.response);
    EXPECT_EQ(o.response->statusCode(), 200);
    EXPECT_EQ(second.requestCount(), 1u);
    EXPECT_GE(took, 3900ms);
    EXPECT_LT(took, 25s);  // the trickle alone would take 30 s
}

TEST(VTSubmissionPingTest, CancelReportsCancelledOnceAndNoGatewayIsNotStarted) {
    Fixture fx;
    LoopbackHttpServer server;
    ScriptedReply stall;
    stall.stallBeforeReply = true;
    server.setDefaultReply(stall);
    fx.setGateways({{0, 1, server.port()}});
    auto ping = std::make_shared<VTSubmissionPing>(
        std::make_shared<VTServerSubmission>(fx.makeError()), fx.context());
    int calls = 0;
    long code = 0;
    ping->setCompletionCallback([&](const auto&, const auto&, const platform::Error& e) {
        ++calls;
        code = e.code();
    });
    ASSERT_TRUE(ping->start(nullptr));
    ASSERT_TRUE(server.waitForRequests(1));
    ping->cancel();
    ping->cancel();
    platform::RunLoop::runUntil([] { return false; }, 100ms);
    server.releaseStalls();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(code, platform::kURLErrorCancelled);

    fx.setGateways({{1, 1, server.port()}});
    auto none = std::make_shared<VTSubmissionPing>(
        std::make_shared<VTServerSubmission>(fx.makeError()), fx.context());
    platform::Error error;
    EXPECT_FALSE(none->start(&error));
    EXPECT_EQ(error.code(), 5000);
}
