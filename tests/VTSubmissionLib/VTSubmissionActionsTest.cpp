// Gateway actions in a session, end to end against loopback gateways: a
// scripted actions manager hands out a runner before the ping and one after
// it, the ping's answer brings new actions and pulls old ones, and the
// runners' callbacks reach the session's counters, the statistics ping and
// the session's delegate.
#include <gtest/gtest.h>

#include <thread>

#include "SubmissionTestSupport.h"
#include "VTErrorCreationLib/VTLocalSettingsClient.h"
#include "VTSubmissionLib/VTSubmissionSession.h"
#include "VTSubmissionLib/VTSubmissionStatPingOperation.h"

using namespace std::chrono_literals;
using platform::Value;
using testsupport::LoopbackHttpServer;
using testsupport::ScriptedReply;

namespace {

// The session's delegate and, through it, the runners' delegate.
class Recorder : public VTSubmissionSessionDelegate, public VTActionRunnerDelegate {
  public:
    void didFinishProcessingError(VTSubmissionSession&, VTError&, std::int32_t code,
                                  const platform::Error&) override {
        add("result " + std::to_string(code));
    }
    void sessionDidEnd(VTSubmissionSession&, const platform::Error&) override { add("end"); }
    void actionRunnerDidRunAction(VTActionRunner&, const Value& action,
                                  const platform::Error& error) override {
        add("ran " + action.stringValue() + (error.empty() ? "" : " (failed)"));
    }
    void actionRunnerWillAskForConsent(VTActionRunner&, const Value& consent,
                                       const Value& action) override {
        add("consent " + consent.stringValue() + " for " + action.stringValue());
    }
    void actionRunnerDidFinish(VTActionRunner&) override { add("runner finished"); }

    void add(std::string event) {
        std::lock_guard lock(mutex);
        events.push_back(std::move(event));
    }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return events;
    }
    bool ended() {
        auto e = snapshot();
        return !e.empty() && e.back() == "end";
    }
    std::mutex mutex;
    std::vector<std::string> events;
};

// Runs its script on a thread of its own, as a real runner would: each
// action (a failing one gets an error), a consent question before the
// first, then the end.
class ScriptedRunner : public VTActionRunner {
  public:
    ScriptedRunner(std::vector<std::string> actions, std::function<void()> onStart)
        : actions_(std::move(actions)), onStart_(std::move(onStart)) {}
    ~ScriptedRunner() override {
        // The last hold on the runner may go on its own thread.
        if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id())
            thread_.detach();
        else if (thread_.joinable())
            thread_.join();
    }
    void setDelegate(VTActionRunnerDelegate* delegate) override { delegate_ = delegate; }
    bool executeActions(platform::Error*) override {
        onStart_();
        thread_ = std::thread([this] {
            for (std::size_t i = 0; i < actions_.size(); ++i) {
                if (i == 0)
                    delegate_->actionRunnerWillAskForConsent(*this, Value("share"),
                                                             Value(actions_[i]));
                platform::Error error;
                if (actions_[i].starts_with("bad")) error = platform::Error("test.actions", 1);
                delegate_->actionRunnerDidRunAction(*this, Value(actions_[i]), error);
            }
            delegate_->actionRunnerDidFinish(*this);
        });
        return true;
    }
    std::int64_t dataMask() const override { return 0; }

  private:
    std::vector<std::string> actions_;
    std::function<void()> onStart_;
    VTActionRunnerDelegate* delegate_ = nullptr;
    std::thread thread_;
};

class ScriptedManager : public VTActionsManager {
  public:
    ScriptedManager(bool accepts, Recorder& recorder, LoopbackHttpServer& gateway)
        : accepts_(accepts), recorder_(recorder), gateway_(gateway) {}
    std::shared_ptr<VTActionRunner> actionRunnerForPhase(std::int64_t phase, VTError&) override {
        const std::size_t pings = gateway_.requestCount();
        auto note = [this, phase, pings] {
            recorder_.add("phase " + std::to_string(phase) + " after " + std::to_string(pings) +
                          " pings");
        };
        if (phase == 8)
            return std::make_shared<ScriptedRunner>(std::vector<std::string>{"collect", "bad-one"},
                                                    note);
        return std::make_shared<ScriptedRunner>(std::vector<std::string>{"report"}, note);
    }
    std::shared_ptr<VTActionRunner> actionRunnerForGroup(const Value&, std::int64_t,
                                                         VTError&) override {
        return nullptr;
    }
    bool removeActionsWithGUIDs(const Value& guids, platform::Error* error) override {
        recorder_.add("remove " + std::to_string(guids.asArray()->size()));
        if (!accepts_ && error) *error = platform::Error("test.actions", 2);
        return accepts_;
    }
    bool merge(const Value& group, platform::Error* error) override {
        recorder_.add("merge " + std::to_string(VTSubmissionPingResponse::numberOfActions(group)));
        if (!accepts_ && error) *error = platform::Error("test.actions", 3);
        return accepts_;
    }

  private:
    const bool accepts_;
    Recorder& recorder_;
    LoopbackHttpServer& gateway_;
};

// Reads the gateway's answer: three new actions and two obsolete GUIDs.
class ScriptedParser : public VTActionsJSONParser {
  public:
    std::optional<platform::Dictionary> parseManifest(const platform::Data& manifest,
                                                      const platform::Dictionary&,
                                                      platform::Error* error) override {
        if (std::string(manifest.begin(), manifest.end()) != kAnswer) {
            platform::setError(error, platform::Error("test.parser", 9));
            return std::nullopt;
        }
        return platform::Dictionary{
            {"VTActionsParserActions",
             Value(platform::Dictionary{
                 {"actions", Value(platform::Array{Value("a1"), Value("a2"), Value("a3")})}})},
            {"VTActionsParserobsoleteActions", Value(platform::Array{Value("G1"), Value("G2")})}};
    }
    static constexpr const char* kAnswer = R"({"actions":["a1","a2","a3"],"obsolete":2})";
};

}  // namespace

TEST(VTSubmissionActionsTest, RunnersAroundThePingReachTheCountersTheStatisticsAndTheDelegate) {
    for (const bool accepts : {true, false}) {
        SCOPED_TRACE(accepts ? "manager accepts" : "manager refuses");
        LoopbackHttpServer gateway, stats;
        ScriptedReply answer = ScriptedReply::ok();
        answer.headers = {{"X-Submit-Error-Payload", "0"}};
        answer.body = ScriptedParser::kAnswer;
        gateway.setDefaultReply(answer);
        VTSubmissionStatPingOperation::setHost(stats.hostAndPort());
        VTActionsRegistry::setJSONParserMaker([] { return std::make_shared<ScriptedParser>(); });

        subtest::Fixture fx;
        fx.setGateways({{0, 1, gateway.port()}});
        auto client = VTClient::embeddedClientWithConfig(*fx.configuration, nullptr);
        auto settings =
            VTLocalSettingsClient::initWithConfiguration(client->scdConfiguration(), nullptr);
        auto session = VTSubmissionSession::initWithClient(client, settings);
        auto recorder = std::make_shared<Recorder>();
        session->setDelegate(recorder);
        session->setActionsManager(std::make_shared<ScriptedManager>(accepts, *recorder, gateway));
        ASSERT_TRUE(session->start(nullptr));
        ASSERT_TRUE(session->submitError(fx.makeError()));
        session->finish();
        const bool ended = platform::RunLoop::runUntil([&] { return recorder->ended(); }, 60s);
        VTActionsRegistry::setJSONParserMaker({});
        VTSubmissionStatPingOperation::setHost("");
        ASSERT_TRUE(ended);

        const std::vector<std::string> expected = {
            "phase 8 after 0 pings",
            "consent share for collect",
            "ran collect",
            "ran bad-one (failed)",
            "runner finished",
            "remove 2",
            "merge 3",
            "phase 16 after 1 pings",
            "consent share for report",
            "ran report",
            "runner finished",
            "result 2",
            "end",
        };
        EXPECT_EQ(recorder->snapshot(), expected);
        auto& counts = session->statistics();
        EXPECT_EQ(counts.numberNewActionsFromGateway.load(), accepts ? 3 : 0);
        EXPECT_EQ(counts.numberActionsExecuted.load(), 3);
        EXPECT_EQ(counts.numberActionsFailed.load(), 1);
        ASSERT_EQ(stats.requestCount(), 1u);
        auto query = subtest::parseForm(stats.requests()[0].query());
        EXPECT_EQ(query["e"], accepts ? "3" : "0");
        EXPECT_EQ(query["f"], "3");
        EXPECT_EQ(query["g"], "1");
    }
}

TEST(VTSubmissionActionsTest, PingAnswerOutputsOnlyWhatTheManagerTook) {
    class Manager : public VTActionsManager {
      public:
        std::shared_ptr<VTActionRunner> actionRunnerForPhase(std::int64_t, VTError&) override {
            return nullptr;
        }
        std::shared_ptr<VTActionRunner> actionRunnerForGroup(const Value&, std::int64_t,
                                                             VTError&) override {
            return nullptr;
        }
        bool removeActionsWithGUIDs(const Value&, platform::Error*) override { return true; }
        bool merge(const Value&, platform::Error*) override { return false; }
    } manager;
    VTActionsRegistry::setJSONParserMaker([] { return std::make_shared<ScriptedParser>(); });
    const std::string answer = ScriptedParser::kAnswer;
    const platform::Data data(answer.begin(), answer.end());
    std::optional<Value> received = Value("stale"), pulled = Value("stale");
    platform::Error error;
    EXPECT_TRUE(
        VTSubmissionPingResponse::responseWithData(data, &manager, &received, &pulled, &error));
    EXPECT_FALSE(received);
    ASSERT_TRUE(pulled);
    EXPECT_EQ(pulled->asArray()->size(), 2u);

    // An answer the parser cannot read is unusable, with the parser's error under it.
    const platform::Data other(20, '{');
    EXPECT_FALSE(
        VTSubmissionPingResponse::responseWithData(other, &manager, &received, &pulled, &error));
    EXPECT_EQ(error.code(), 10);
    EXPECT_FALSE(pulled);
    ASSERT_TRUE(error.underlyingError());
    EXPECT_EQ(error.underlyingError()->domain(), "test.parser");
    VTActionsRegistry::setJSONParserMaker({});
}
