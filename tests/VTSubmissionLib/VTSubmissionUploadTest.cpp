#include <gtest/gtest.h>

#include "Platform/Http/HttpError.h"
#include "SubmissionTestSupport.h"
#include "VTSubmissionLib/VTSubmissionUpload.h"

using namespace std::chrono_literals;
using subtest::Fixture;
using testsupport::LoopbackHttpServer;
using testsupport::ScriptedReply;

namespace {

platform::DispatchData threeRegions(std::size_t middle) {
    platform::DispatchData data(platform::Data{'a', 'b', 'c'});
    data.append(platform::DispatchData(platform::Data(middle, 'm')));
    data.append(platform::DispatchData(platform::Data{'x', 'y', 'z'}));
    return data;
}

struct Outcome {
    bool done = false;
    int status = 0;
    platform::Error error;
};

std::shared_ptr<Outcome> startUpload(const std::shared_ptr<VTSubmissionUpload>& upload) {
    auto outcome = std::make_shared<Outcome>();
    upload->setCompletionCallback([outcome](const auto& response, const auto&, const auto& error) {
        outcome->done = true;
        outcome->status = response ? response->statusCode() : 0;
        outcome->error = error;
    });
    platform::Error error;
    EXPECT_TRUE(upload->start(&error)) << error.description();
    return outcome;
}

}  // namespace

TEST(VTSubmissionStreamTest, ReadsAcrossRegionsInPlaceAndRewinds) {
    VTSubmissionStream stream(threeRegions(10));
    EXPECT_EQ(stream.regionCount(), 3u);
    EXPECT_EQ(stream.length(), 16);
    std::string all;
    char buf[4];
    long n;
    // Never opened: the first read opens it.
    while ((n = stream.read(buf, sizeof buf, nullptr)) > 0)
        all.append(buf, static_cast<std::size_t>(n));
    EXPECT_EQ(n, 0);
    EXPECT_EQ(all, "abcmmmmmmmmmmxyz");
    EXPECT_EQ(stream.streamStatus(), VTSubmissionStream::kAtEnd);
    ASSERT_TRUE(stream.rewind());
    char whole[32];
    // The last bytes of the last region leave the stream at its end.
    EXPECT_EQ(stream.read(whole, 3, nullptr), 3);
    EXPECT_EQ(stream.read(whole, 10, nullptr), 10);
    EXPECT_EQ(stream.read(whole, 32, nullptr), 3);
    EXPECT_EQ(stream.streamStatus(), VTSubmissionStream::kAtEnd);
    stream.close();
    platform::Error error;
    EXPECT_EQ(stream.read(whole, 1, &error), -1);
    EXPECT_EQ(error.code(), platform::kURLErrorCancelled);
    EXPECT_FALSE(stream.rewind());
}

TEST(VTSubmissionUploadTest, BodyAndHeadersByteForByte) {
    Fixture fx;
    LoopbackHttpServer server;
    server.setDefaultReply(ScriptedReply::withStatus(404));
    fx.setGateways({{1, 1, server.port()}});
    auto submission = std::make_shared<VTServerSubmission>(fx.makeError());
    submission->setCookie(std::string("c00kie"));
    const platform::DispatchData payload = threeRegions(100000);
    submission->setCompressedData(payload);
    auto upload = std::make_shared<VTSubmissionUpload>(submission, fx.context());
    auto outcome = startUpload(upload);
    ASSERT_TRUE(platform::RunLoop::runUntil([&] { return outcome->done; }));
    // Any completed exchange is an upload, whatever its status.
    EXPECT_TRUE(outcome->error.empty()) << outcome->error.description();
    EXPECT_EQ(outcome->status, 404);

    ASSERT_EQ(server.requestCount(), 1u);
    const auto request = server.requests()[0];
    const std::string type = request.header("Content-Type");
    const std::string lead = "multipart/form-data; boundary=\"";
    ASSERT_EQ(type.rfind(lead, 0), 0u) << type;
    const std::string boundary = type.substr(lead.size(), 36);
    EXPECT_EQ(type.size(), lead.size() + 37);
    const std::string prefix = VTSubmissionUpload::bodyPrefix(boundary);
    const std::string suffix = VTSubmissionUpload::bodySuffix(boundary);
    EXPECT_EQ(prefix.size(), 152u);
    EXPECT_EQ(suffix.size(), 42u);
    const platform::Data bytes = payload.contiguous();
    EXPECT_EQ(request.body,
              prefix + std::string(bytes.begin(), bytes.end()) + "\r\n--" + boundary + "\r\n");
    EXPECT_FALSE(request.bodyWasChunked);
    int lengths = 0;
    for (const auto& [name, value] : request.headers)
        if (name == "Content-Length") {
            ++lengths;
            EXPECT_EQ(value, std::to_string(payload.size() + 194));
        }
    EXPECT_EQ(lengths, 1);
    EXPECT_EQ(request.header("X-Error-ID"), std::string("{") + subtest::kUUIDText + "}");
    EXPECT_EQ(request.header("X-Bucket-ID"), "000ABC12");
    EXPECT_EQ(request.header("X-Error-Cookie"), "c00kie");
    EXPECT_EQ(request.header("User-Agent"), "Ostrel QMError Mac/2.0");
    EXPECT_EQ(request.path(), "/upload");
    const std::string date = request.header("Date");
    EXPECT_EQ(date.substr(date.size() - 4), " GMT");
    EXPECT_EQ(upload->fileStream(), nullptr);  // let go once done
}

TEST(VTSubmissionUploadTest, CancelAndBodyFailureEndCancelled) {
    Fixture fx;
    LoopbackHttpServer server;
    ScriptedReply stall;
    stall.stallBeforeReply = true;
    server.setDefaultReply(stall);
    fx.setGateways({{1, 1, server.port()}});
    auto submission = std::make_shared<VTServerSubmission>(fx.makeError());
    submission->setCompressedData(threeRegions(4 * 1024 * 1024));

    // Cancel while the gateway holds the answer back.
    auto upload = std::make_shared<VTSubmissionUpload>(submission, fx.context());
    auto outcome = startUpload(upload);
    ASSERT_TRUE(server.waitForRequests(1));
    auto stream = upload->fileStream();
    upload->cancel();
    EXPECT_TRUE(outcome->done);
    EXPECT_EQ(outcome->error.code(), platform::kURLErrorCancelled);
    EXPECT_EQ(upload->fileStream(), nullptr);
    EXPECT_EQ(stream->streamStatus(), VTSubmissionStream::kClosed);
    upload->stop();
    upload->stop();

    // A body that fails while it is read ends the same way.
    auto failing = std::make_shared<VTSubmissionUpload>(submission, fx.context());
    auto failed = startUpload(failing);
    failing->fileStream()->close();
    ASSERT_TRUE(platform::RunLoop::runUntil([&] { return failed->done; }));
    EXPECT_EQ(failed->error.code(), platform::kURLErrorCancelled) << failed->error.description();
    server.releaseStalls();

    // Without a payload there is nothing to send.
    auto empty = std::make_shared<VTSubmissionUpload>(
        std::make_shared<VTServerSubmission>(fx.makeError()), fx.context());
    platform::Error error;
    EXPECT_FALSE(empty->start(&error));
    EXPECT_EQ(error.code(), 5000);
}
