#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "SubmissionTestSupport.h"
#include "VTSubmissionLib/VTSubmissionStatPingOperation.h"
#include "support/ToolRun.h"

using testsupport::LoopbackHttpServer;
using testsupport::occurrences;
using testsupport::runErrTool;
using testsupport::ScriptedReply;
using testsupport::ToolRun;

TEST(VTErrToolSubmitTest, ListsMadeErrorsAndSubmitsThemInOneSession) {
    subtest::Fixture fx;
    const std::string base = fx.temp().file("tool");
    for (int i = 0; i < 3; ++i) ASSERT_EQ(runErrTool({"make", "--base", base}).status, 0);

    ToolRun listed = runErrTool({"list", "--base", base});
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(occurrences(listed.out, "\n"), 3u) << listed.out;
    EXPECT_EQ(occurrences(listed.out, "type=2"), 3u) << listed.out;

    LoopbackHttpServer gateway, stats;
    ScriptedReply ok = ScriptedReply::ok();
    ok.headers = {{"X-Submit-Error-Payload", "0"}};
    gateway.setDefaultReply(ok);
    VTSubmissionStatPingOperation::setHost(stats.hostAndPort());
    ToolRun submitted = runErrTool({"submit", "--base", base, "--gateway", gateway.url("/ping")});
    VTSubmissionStatPingOperation::setHost("");
    EXPECT_EQ(submitted.status, 0) << submitted.out;
    EXPECT_EQ(occurrences(submitted.out, "\"sessionDidEnd\""), 1u) << submitted.out;
    EXPECT_EQ(occurrences(submitted.out, "\"resultCode\":2"), 3u) << submitted.out;
    EXPECT_EQ(gateway.requestCount(), 3u);
    EXPECT_EQ(stats.requestCount(), 1u);
    EXPECT_EQ(submitted.out.rfind("{\"event\":\"sessionDidEnd\"", std::string::npos) + 0,
              submitted.out.rfind('{'));

    EXPECT_EQ(runErrTool({"submit", "--base"}).status, 2);
}

TEST(VTErrToolSubmitTest, FailsAndNamesEachErrorWhenUploadsWereNotDelivered) {
    subtest::Fixture fx;
    const std::string base = fx.temp().file("tool");
    for (int i = 0; i < 6; ++i) ASSERT_EQ(runErrTool({"make", "--base", base}).status, 0);

    LoopbackHttpServer gateway, uploads, stats;
    ScriptedReply wanted = ScriptedReply::ok();
    wanted.headers = {{"X-Submit-Error-Payload", "1"}, {"X-Error-Cookie", "c00kie"}};
    gateway.setDefaultReply(wanted);
    // The gateway resets two of the six uploads.
    ScriptedReply reset;
    reset.dropWithoutReply = true;
    uploads.failFirst(2, reset);
    VTSubmissionStatPingOperation::setHost(stats.hostAndPort());
    ToolRun submitted = runErrTool({"submit", "--base", base, "--gateway", gateway.url("/ping"),
                                    "--upload-gateway", uploads.url("/upload")});
    VTSubmissionStatPingOperation::setHost("");
    EXPECT_NE(submitted.status, 0) << submitted.err;
    EXPECT_EQ(occurrences(submitted.out, "\"resultCode\":8"), 2u) << submitted.out;
    EXPECT_EQ(occurrences(submitted.out, "\"resultCode\":7"), 4u) << submitted.out;
    EXPECT_EQ(occurrences(submitted.err, ": result 8 (upload failed)"), 2u) << submitted.err;
    EXPECT_EQ(occurrences(submitted.err, ": result 7 (uploaded)\n"), 4u) << submitted.err;

    // Delivered, each of them: the tool succeeds.
    ToolRun again = runErrTool({"submit", "--base", base, "--gateway", gateway.url("/ping"),
                                "--upload-gateway", uploads.url("/upload")});
    EXPECT_EQ(again.status, 0) << again.err;
}
