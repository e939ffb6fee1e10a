#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "SubmissionTestSupport.h"
#include "VTSubmissionLib/VTSubmissionStatPingOperation.h"
#include "vterrtool/VTErrTool.h"

using testsupport::LoopbackHttpServer;
using testsupport::ScriptedReply;

namespace {

struct Captured {
    int status;
    std::string out;
    std::string err;
};

std::string contents(std::FILE* file) {
    std::string text;
    std::rewind(file);
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file)) > 0) text.append(buf, n);
    std::fclose(file);
    return text;
}

Captured runTool(const std::vector<std::string>& args) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const int status = vterrtool::run(args, out, err);
    Captured c{status, contents(out), {}};
    c.err = contents(err);
    return c;
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t pos = text.find(what); pos != std::string::npos;
         pos = text.find(what, pos + 1))
        ++n;
    return n;
}

}  // namespace

TEST(VTErrToolSubmitTest, ListsMadeErrorsAndSubmitsThemInOneSession) {
    subtest::Fixture fx;
    const std::string base = fx.temp().file("tool");
    for (int i = 0; i < 3; ++i) ASSERT_EQ(runTool({"make", "--base", base}).status, 0);

    Captured listed = runTool({"list", "--base", base});
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(count(listed.out, "\n"), 3u) << listed.out;
    EXPECT_EQ(count(listed.out, "type=2"), 3u) << listed.out;

    LoopbackHttpServer gateway, stats;
    ScriptedReply ok = ScriptedReply::ok();
    ok.headers = {{"X-Submit-Error-Payload", "0"}};
    gateway.setDefaultReply(ok);
    VTSubmissionStatPingOperation::setHost(stats.hostAndPort());
    Captured submitted = runTool({"submit", "--base", base, "--gateway", gateway.url("/ping")});
    VTSubmissionStatPingOperation::setHost("");
    EXPECT_EQ(submitted.status, 0) << submitted.out;
    EXPECT_EQ(count(submitted.out, "\"sessionDidEnd\""), 1u) << submitted.out;
    EXPECT_EQ(count(submitted.out, "\"resultCode\":2"), 3u) << submitted.out;
    EXPECT_EQ(gateway.requestCount(), 3u);
    EXPECT_EQ(stats.requestCount(), 1u);
    EXPECT_EQ(submitted.out.rfind("{\"event\":\"sessionDidEnd\"", std::string::npos) + 0,
              submitted.out.rfind('{'));

    EXPECT_EQ(runTool({"submit", "--base"}).status, 2);
}

TEST(VTErrToolSubmitTest, FailsAndNamesEachErrorWhenUploadsWereNotDelivered) {
    subtest::Fixture fx;
    const std::string base = fx.temp().file("tool");
    for (int i = 0; i < 6; ++i) ASSERT_EQ(runTool({"make", "--base", base}).status, 0);

    LoopbackHttpServer gateway, uploads, stats;
    ScriptedReply wanted = ScriptedReply::ok();
    wanted.headers = {{"X-Submit-Error-Payload", "1"}, {"X-Error-Cookie", "c00kie"}};
    gateway.setDefaultReply(wanted);
    // The gateway resets two of the six uploads.
    ScriptedReply reset;
    reset.dropWithoutReply = true;
    uploads.failFirst(2, reset);
    VTSubmissionStatPingOperation::setHost(stats.hostAndPort());
    Captured submitted = runTool({"submit", "--base", base, "--gateway", gateway.url("/ping"),
                                  "--upload-gateway", uploads.url("/upload")});
    VTSubmissionStatPingOperation::setHost("");
    EXPECT_NE(submitted.status, 0) << submitted.err;
    EXPECT_EQ(count(submitted.out, "\"resultCode\":8"), 2u) << submitted.out;
    EXPECT_EQ(count(submitted.out, "\"resultCode\":7"), 4u) << submitted.out;
    EXPECT_EQ(count(submitted.err, ": result 8 (upload failed)"), 2u) << submitted.err;
    EXPECT_EQ(count(submitted.err, ": result 7 (uploaded)\n"), 4u) << submitted.err;

    // Delivered, each of them: the tool succeeds.
    Captured again = runTool({"submit", "--base", base, "--gateway", gateway.url("/ping"),
                              "--upload-gateway", uploads.url("/upload")});
    EXPECT_EQ(again.status, 0) << again.err;
}
