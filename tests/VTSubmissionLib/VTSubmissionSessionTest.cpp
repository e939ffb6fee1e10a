#include <gtest/gtest.h>

#include <fstream>

#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Http/HttpError.h"
#include "SubmissionTestSupport.h"
#include "VTErrorCreationLib/Utilities/VTProbability.h"
#include "VTErrorCreationLib/VTLocalSettingsClient.h"
#include "VTSubmissionLib/VTSubmissionSession.h"
#include "VTSubmissionLib/VTSubmissionStatPingOperation.h"
#include "support/FakeClock.h"

using namespace std::chrono_literals;
using testsupport::LoopbackHttpServer;
using testsupport::ScriptedReply;

namespace {

class Recorder : public VTSubmissionSessionDelegate {
  public:
    void sessionDidStart(VTSubmissionSession&) override { add("start"); }
    void didFinishProcessingError(VTSubmissionSession&, VTError&, std::int32_t code,
                                  const platform::Error& error) override {
        std::lock_guard lock(mutex);
        codes.push_back(code);
        errors.push_back(error.code());
    }
    void sessionDidEnd(VTSubmissionSession&, const platform::Error& error) override {
        std::lock_guard lock(mutex);
        ++ends;
        endError = error;
    }
    void add(std::string e) {
        std::lock_guard lock(mutex);
        events.push_back(std::move(e));
    }
    int endCount() {
        std::lock_guard lock(mutex);
        return ends;
    }
    std::mutex mutex;
    std::vector<std::string> events;
    std::vector<std::int32_t> codes;
    std::vector<long> errors;
    int ends = 0;
    platform::Error endError;
};

ScriptedReply pingAnswer(bool wantPayload) {
    ScriptedReply r = ScriptedReply::ok();
    r.headers = {{"X-Submit-Error-Payload", wantPayload ? "1" : "0"}, {"X-Error-Cookie", "c00kie"}};
    return r;
}

/// A session on a client whose configuration names the given gateways, with
/// the statistics ping going to `stats`.
struct SessionFixture {
    explicit SessionFixture(LoopbackHttpServer& stats) {
        VTSubmissionStatPingOperation::setHost(stats.hostAndPort());
    }
    ~SessionFixture() { VTSubmissionStatPingOperation::setHost(""); }

    std::shared_ptr<VTSubmissionSession> make() {
        client = VTClient::embeddedClientWithConfig(*fx.configuration, nullptr);
        settingsClient =
            VTLocalSettingsClient::initWithConfiguration(client->scdConfiguration(), nullptr);
        auto session = VTSubmissionSession::initWithClient(client, settingsClient);
        session->setDelegate(recorder);
        return session;
    }
    std::int64_t pingCount() const {
        auto settings = std::dynamic_pointer_cast<VTSettings>(settingsClient->settings());
        return settings->statsForGatewayType(0).submissionCount;
    }

    subtest::Fixture fx;
    std::shared_ptr<VTClient> client;
    std::shared_ptr<VTLocalSettingsClient> settingsClient;
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
};

}  // namespace

TEST(VTSubmissionSessionTest, PerDayLimitOnTheSessionClockAndSamplingSkippedOnceApplied) {
    testsupport::ScopedFakeClock clock;
    LoopbackHttpServer stats;
    SessionFixture sf(stats);
    sf.fx.configuration->setMaxPingSubmissionsPerDay(256);
    // Both sessions on one clock: a window started on a clock ahead of the
    // reader's would begin anew.
    sf.fx.configuration->setPingProbability(1000000);
    auto sampledClient = VTClient::embeddedClientWithConfig(*sf.fx.configuration, nullptr);
    sf.fx.configuration->setPingProbability(1);
    auto session = sf.make();
    auto sampled = VTSubmissionSession::initWithClient(sampledClient, sf.settingsClient);
    auto op = std::make_shared<VTSubmissionPingOperation>(
        session, std::make_shared<VTServerSubmission>(sf.fx.makeError()), false);
    for (int i = 0; i < 256; ++i) ASSERT_TRUE(op->checkSubmissionLimit(0)) << i;
    EXPECT_FALSE(op->checkSubmissionLimit(0));
    (*clock).advance(86400s);
    EXPECT_FALSE(op->checkSubmissionLimit(0));
    (*clock).advance(1s);
    EXPECT_TRUE(op->checkSubmissionLimit(0));
    EXPECT_EQ(sf.pingCount(), 1);

    // One in a million never passes here; an error sampled already is not sampled again.
    VTSetRandomSourceForTesting([](std::uint32_t) { return 1u; });
    auto error = sf.fx.makeError();
    auto refused = std::make_shared<VTSubmissionPingOperation>(
        sampled, std::make_shared<VTServerSubmission>(error), false);
    EXPECT_FALSE(refused->checkSubmissionLimit(0));
    EXPECT_TRUE(error->summaryData().probabilityApplied());
    EXPECT_EQ(error->summaryData().probability(), 1000000);
    auto skipping = std::make_shared<VTSubmissionPingOperation>(
        sampled, std::make_shared<VTServerSubmission>(error), true);
    EXPECT_TRUE(skipping->checkSubmissionLimit(0));
    EXPECT_EQ(sf.pingCount(), 2);
    VTSetRandomSourceForTesting({});
}

TEST(VTSubmissionSessionTest, AWindowStartedByAClockThatWasAheadEndsAtOnce) {
    const double now = 1.7e9;
    struct Case {
        const char* what;
        double lastReset;  // seconds from now
        bool newWindow;
    } cases[] = {
        {"a day and a second ago", -86401, true},
        {"a day ago", -86400, false},
        {"an hour ago", -3600, false},
        {"now", 0, false},
        {"2 h ahead", 7200, true},
        {"a year ahead", 365 * 86400.0, true},
    };
    for (const Case& c : cases) {
        VTSubmissionStats stats;
        stats.submissionCount = 256;
        stats.lastReset = platform::Date{now + c.lastReset};
        EXPECT_EQ(VTSubmissionStartsNewWindow(stats, platform::Date{now}), c.newWindow) << c.what;
    }

    // Through the session and the settings file: a window that a year-fast
    // clock started and left full does not refuse the next ping.
    testsupport::ScopedFakeClock clock;
    LoopbackHttpServer stats;
    SessionFixture sf(stats);
    sf.fx.configuration->setPingProbability(1);
    sf.fx.configuration->setMaxPingSubmissionsPerDay(2);
    auto session = sf.make();
    auto op = std::make_shared<VTSubmissionPingOperation>(
        session, std::make_shared<VTServerSubmission>(sf.fx.makeError()), false);
    ASSERT_TRUE(sf.settingsClient->updateStats(
        0,
        [&](VTSubmissionStats& s) {
            s.submissionCount = 2;
            s.lastReset = platform::Date{session->now().secondsSince1970 + 365 * 86400.0};
            return true;
        },
        nullptr));
    EXPECT_TRUE(op->checkSubmissionLimit(0));
    EXPECT_EQ(sf.pingCount(), 1);
    auto settings = std::dynamic_pointer_cast<VTSettings>(sf.settingsClient->settings());
    EXPECT_EQ(settings->statsForGatewayType(0).lastReset, session->now());
    EXPECT_TRUE(op->checkSubmissionLimit(0));
    EXPECT_FALSE(op->checkSubmissionLimit(0)) << "the new window has its limit";
}

TEST(VTSubmissionSessionTest, InvalidRecordsAreRefusedBeforeAnyCounterAndWithoutAbort) {
    LoopbackHttpServer gateway, stats;
    gateway.setDefaultReply(pingAnswer(false));
    SessionFixture sf(stats);
    sf.fx.setGateways({{0, 1, gateway.port()}});
    auto session = sf.make();
    auto shortName = sf.fx.makeError();
    shortName->summaryData().setProductName(std::string("Os"));
    auto notAVersion = sf.fx.makeError();
    notAVersion->summaryData().setProductVersion(std::string("abc"));
    ASSERT_TRUE(session->start(nullptr));
    EXPECT_TRUE(session->submitError(shortName));
    EXPECT_TRUE(session->submitError(notAVersion));
    session->finish();
    ASSERT_TRUE(platform::RunLoop::runUntil([&] { return sf.recorder->endCount() == 1; }));
    EXPECT_EQ(sf.recorder->codes, (std::vector<std::int32_t>{11, 11}));
    EXPECT_EQ(gateway.requestCount(), 0u);
    EXPECT_EQ(sf.pingCount(), 0);
    EXPECT_EQ(session->statistics().numPingsSubmitted.load(), 0u);
    // Two errors were queued, so the statistics ping went out before the end.
    EXPECT_EQ(stats.requestCount(), 1u);
    EXPECT_TRUE(sf.recorder->endError.empty());
}

TEST(VTSubmissionSessionTest, FinishAloneEndsOnceWithoutStatisticsPing) {
    LoopbackHttpServer stats;
    SessionFixture sf(stats);
    auto session = sf.make();
    ASSERT_TRUE(session->start(nullptr));
    session->finish();
    session->finish();
    ASSERT_TRUE(platform::RunLoop::runUntil([&] { return sf.recorder->endCount() == 1; }));
    platform::RunLoop::runUntil([] { return false; }, 50ms);
    EXPECT_EQ(sf.recorder->endCount(), 1);
    EXPECT_EQ(stats.requestCount(), 0u);
    EXPECT_FALSE(session->submitError(sf.fx.makeError()));
    platform::Error error;
    EXPECT_FALSE(session->start(&error));
    EXPECT_EQ(error.code(), 0);
    EXPECT_EQ(error.domain(), VTSubmissionErrorDomain);
    // The settings were saved with the time of this submission.
    auto reread =
        VTLocalSettingsClient::initWithConfiguration(sf.client->scdConfiguration(), nullptr);
    EXPECT_TRUE(std::dynamic_pointer_cast<VTSettings>(reread->settings())->lastSubmit());
}

TEST(VTSubmissionSessionTest, FinishBeforeStartNeitherCrashesNorLosesTheEnd) {
    LoopbackHttpServer stats;
    SessionFixture sf(stats);
    auto session = sf.make();
    EXPECT_TRUE(session->submitError(sf.fx.makeError()));
    session->finish();
    platform::Error error;
    EXPECT_FALSE(session->start(&error));
    EXPECT_EQ(sf.recorder->endCount(), 0);
    session->cancel();
    EXPECT_EQ(sf.recorder->endCount(), 1);
    EXPECT_EQ(sf.recorder->endError.code(), platform::kURLErrorCancelled);
    EXPECT_EQ(stats.requestCount(), 0u);
}

TEST(VTSubmissionSessionTest, PingUploadAndStatisticsPing) {
    LoopbackHttpServer pings, uploads, stats;
    pings.setDefaultReply(pingAnswer(true));
    uploads.setDefaultReply(ScriptedReply::withStatus(500));  // still counts as uploaded
    SessionFixture sf(stats);
    sf.fx.setGateways({{0, 1, pings.port()}, {1, 1, uploads.port()}});
    auto session = sf.make();
    // A saved error, so that it can be packed.
    auto error = sf.fx.makeError();
    error->addDetailData(platform::Data(100, 'd'), "Notes", std::nullopt, nullptr);
    ASSERT_TRUE(error->save(nullptr));
    ASSERT_TRUE(session->start(nullptr));
    ASSERT_TRUE(session->submitError(error));
    session->finish();
    ASSERT_TRUE(platform::RunLoop::runUntil([&] { return sf.recorder->endCount() == 1; }, 20s));
    EXPECT_EQ(sf.recorder->codes, (std::vector<std::int32_t>{7}));
    EXPECT_TRUE(sf.recorder->endError.empty());
    ASSERT_EQ(uploads.requestCount(), 1u);
    EXPECT_EQ(uploads.requests()[0].header("X-Error-Cookie"), "c00kie");
    EXPECT_GT(uploads.requests()[0].body.size(), 194u);
    ASSERT_EQ(stats.requestCount(), 1u);
    auto query = subtest::parseForm(stats.requests()[0].query());
    EXPECT_EQ(stats.requests()[0].path(), "/n/p");
    EXPECT_EQ(query["a"], "5023");
    EXPECT_EQ(query["b"], "1");
    EXPECT_EQ(query["c"], "1");
    EXPECT_EQ(query["d"], "1");
    EXPECT_EQ(query["h"], "1");
    EXPECT_EQ(query["product"], "Unknown");
}

TEST(VTSubmissionSessionTest, CancelOnTheMainThreadWithPingAndUploadInFlight) {
    LoopbackHttpServer pings, uploads, stats;
    ScriptedReply stall;
    stall.stallBeforeReply = true;
    pings.enqueue(pingAnswer(true));
    pings.setDefaultReply(stall);
    uploads.setDefaultReply(stall);
    SessionFixture sf(stats);
    sf.fx.setGateways({{0, 1, pings.port()}, {1, 1, uploads.port()}});
    auto session = sf.make();
    auto first = sf.fx.makeError();  // saved, so that it can be packed
    ASSERT_TRUE(first->save(nullptr));
    auto second = sf.fx.makeError();
    second->summaryData().setFailureUUID(VTUUID());
    ASSERT_TRUE(session->start(nullptr));
    ASSERT_TRUE(session->submitError(first));
    ASSERT_TRUE(platform::RunLoop::runUntil([&] { return uploads.requestCount() == 1; }));
    ASSERT_TRUE(session->submitError(second));
    ASSERT_TRUE(platform::RunLoop::runUntil([&] { return pings.requestCount() == 2; }));
    const auto started = std::chrono::steady_clock::now();
    session->cancel();
    const auto took = std::chrono::steady_clock::now() - started;
    pings.releaseStalls();
    uploads.releaseStalls();
    // Stopped, not given up on: cancel waits at most 10 s for exchanges that
    // ignore it, and these stall until released.
    EXPECT_LT(took, 9s);
    EXPECT_EQ(sf.recorder->endCount(), 1);
    EXPECT_EQ(sf.recorder->endError.code(), platform::kURLErrorCancelled);
    std::lock_guard lock(sf.recorder->mutex);
    EXPECT_EQ(sf.recorder->codes.size(), 2u);
    for (std::size_t i = 0; i < sf.recorder->codes.size(); ++i) {
        EXPECT_EQ(sf.recorder->codes[i], i == 0 ? 8 : 1);
        EXPECT_EQ(sf.recorder->errors[i], platform::kURLErrorCancelled);
    }
    std::printf("cancel took %.1f ms\n", std::chrono::duration<double, std::milli>(took).count());
}

TEST(VTSubmissionSessionTest, ConcurrentPingsKeepThePerDayLimitAcrossTheSettingsFile) {
    LoopbackHttpServer pings, stats;
    pings.setDefaultReply(pingAnswer(false));
    SessionFixture sf(stats);
    sf.fx.setGateways({{0, 1, pings.port()}});
    sf.fx.configuration->setPingProbability(1);
    sf.fx.configuration->setMaxPingSubmissionsPerDay(5);
    auto session = sf.make();
    ASSERT_TRUE(session->start(nullptr));
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(session->submitError(sf.fx.makeError()));
    session->finish();
    ASSERT_TRUE(platform::RunLoop::runUntil([&] { return sf.recorder->endCount() == 1; }, 20s));
    EXPECT_EQ(pings.requestCount(), 5u);
    auto codes = sf.recorder->codes;
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 2), 5);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 4), 45);
    auto reread =
        VTLocalSettingsClient::initWithConfiguration(sf.client->scdConfiguration(), nullptr);
    EXPECT_EQ(std::dynamic_pointer_cast<VTSettings>(reread->settings())
                  ->statsForGatewayType(0)
                  .submissionCount,
              5);
}
