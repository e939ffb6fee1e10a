// A fixture for tests that run whole downloads: a loopback server that
// serves ZIP files by path, pings and start/end requests going to it through
// one recording client, and helpers to make jobs.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <mutex>

#include "Downloader/DownloadTestSupport.h"
#include "Downloader/FSDDownload.h"
#include "Downloader/FSDURLDownload.h"
#include "Downloader/PelFSDJob.h"
#include "Downloader/PelFSDPingUtils.h"
#include "Downloader/PingTestSupport.h"
#include "Platform/Dispatch/MainQueue.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Http/HttpCurlClient.h"
#include "Platform/System/Paths.h"
#include "Platform/Values/Json.h"
#include "support/LoopbackHttpServer.h"
#include "support/TempDir.h"

namespace dltest {

constexpr const char* kJobId = "11111111-2222-3333-4444-555555555555";
constexpr const char* kTransactionId = "AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE";

class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        StatPing::setEndpointHosts(server_.hostAndPort(), server_.hostAndPort());
        FSDURLDownload::setHttpClient(client_);
        FSDDownload::resetStartNotificationsForTesting();
        pings_ = PelFSDPingUtils::createFSDPingUtilsWithQueueName(
            std::string("com.pelgrave.test.fsd"), std::string("P"), std::string("1.0"),
            std::string("1"), std::nullopt);
        pings_->setHttpClient(client_);
        server_.setHandler([this](const testsupport::RecordedRequest& r) {
            std::lock_guard lock(mutex_);
            auto it = replies_.find(r.path());
            if (it != replies_.end()) return it->second;
            return testsupport::ScriptedReply::ok();
        });
        folder_ = dir_.file("downloads");
    }
    void TearDown() override {
        server_.stop();
        platform::RunLoop::drainPending();
        FSDURLDownload::setHttpClient(nullptr);
        StatPing::setEndpointHosts("", "");
        FSDDownload::setUnzipToolPath("");
        FSDDownload::setUnzipWatchdogForTesting(FSDDownload::kUnzipWatchdog,
                                                FSDDownload::kUnzipKillGrace);
    }

    void serve(const std::string& path, testsupport::ScriptedReply reply) {
        std::lock_guard lock(mutex_);
        replies_[path] = std::move(reply);
    }
    void serveZip(const std::string& path, const std::vector<ZipEntry>& entries) {
        auto reply = testsupport::ScriptedReply::ok(makeZip(entries));
        reply.etag = "\"" + path + "\"";
        reply.supportRanges = true;
        serve(path, reply);
    }

    // A per-element job whose files are given as JSON objects (without braces).
    PelFSDJobPtr job(const std::vector<std::string>& files, const std::string& extra = "") {
        std::string list;
        for (const auto& f : files) list += (list.empty() ? "{" : ",{") + f + "}";
        std::string text = std::string(R"({"job_id":")") + kJobId +
                           R"(","distribution":{"transaction_id":")" + kTransactionId + "\"" +
                           extra + R"(},"file_array":[)" + list + "]}";
        auto value = platform::json::parse(text, nullptr);
        EXPECT_TRUE(value) << text;
        platform::Error error;
        auto made = PelFSDJob::createJobWithDic(*value, &error);
        EXPECT_TRUE(made) << error.description();
        return made;
    }
    std::string fileJSON(const std::string& path, const std::string& pkg, int priority,
                         const std::string& more = "") {
        return R"("source_file":")" + server_.url(path) + R"(","destination_file":")" + pkg +
               R"(","file_priority":)" + std::to_string(priority) + more;
    }

    FSDDownloadPtr driver(const std::vector<PelFSDJobPtr>& jobs) {
        platform::Error error;
        auto d = FSDDownload::createWithPelJobsArray(&jobs, folder_, delegate_, pings_, &error);
        EXPECT_TRUE(d) << error.description();
        return d;
    }
    bool runUntil(const std::function<bool()>& done) {
        return platform::RunLoop::runUntil(done, std::chrono::seconds(20));
    }

    // Every transfer started through the client, in order: ping kinds as
    // "ping:<kind>", other requests as their path.
    std::vector<std::string> traffic() const {
        std::vector<std::string> out;
        for (const auto& url : client_->urls()) {
            auto path = url.substr(url.find('/', 7));
            auto q = path.find('?');
            if (path.rfind("/n/p?", 0) != 0) {
                out.push_back(q == std::string::npos ? path : path.substr(0, q));
            } else if (path.find("&E=0") != std::string::npos) {
                out.push_back("ping:started");
            } else if (path.find("&E=1") != std::string::npos) {
                out.push_back("ping:finished");
            } else if (path.find("error=0") != std::string::npos) {
                out.push_back("ping:success");
            } else if (path.find("&f=") != std::string::npos) {
                out.push_back("ping:optional-failed");
            } else if (path.find("error=1&Y=1&M=") != std::string::npos) {
                out.push_back("ping:failed");
            } else if (path.find("error=1&Y=1&N=") != std::string::npos) {
                out.push_back("ping:setup-failed");
            } else {
                out.push_back("ping:other");
            }
        }
        return out;
    }

    // Declared before the server, whose handler reads them until it stops.
    std::mutex mutex_;
    std::map<std::string, testsupport::ScriptedReply> replies_;
    testsupport::TempDir dir_;
    platform::Paths::ScopedRoot root_{dir_.path().string(), std::string("/home/tester")};
    pingtest::PingEnvironment environment_{dir_, "en_US.UTF-8"};
    testsupport::LoopbackHttpServer server_;
    std::shared_ptr<RecordingHttpClient> client_ =
        std::make_shared<RecordingHttpClient>(std::make_shared<platform::CurlHttpClient>());
    std::shared_ptr<PelFSDPingUtils> pings_;
    std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
    std::string folder_;
};

}  // namespace dltest
