#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "VTErrorCreationLib/Utilities/VTCoding.h"
#include "VTErrorCreationLib/Utilities/VTDownloader.h"
#include "support/LoopbackHttpServer.h"
#include "support/TempDir.h"

namespace {

// Waits (bounded) for the one completion of a download.
struct Completion {
    std::mutex mutex;
    std::condition_variable done;
    bool called = false;
    std::optional<platform::Error> error;

    VTDownloader::CompletionCallback callback() {
        return [this](const std::optional<platform::Error>& e) {
            std::lock_guard<std::mutex> lock(mutex);
            error = e;
            called = true;
            done.notify_all();
        };
    }
    bool wait() {
        std::unique_lock<std::mutex> lock(mutex);
        return done.wait_for(lock, std::chrono::seconds(30), [this] { return called; });
    }
};

TEST(VTDownloader, DownloadsIntoPlaceOrLeavesTheFileAlone) {
    testsupport::LoopbackHttpServer server;
    testsupport::TempDir dir;
    std::string local = dir.file("file.bin");

    server.enqueue(testsupport::ScriptedReply::ok("payload"));
    auto downloader = VTDownloader::downloaderToDownloadURL(server.url("/f"), local, "test");
    ASSERT_TRUE(downloader);
    Completion ok;
    downloader->setCompletionCallback(ok.callback());
    EXPECT_TRUE(downloader->start());
    ASSERT_TRUE(ok.wait());
    EXPECT_FALSE(ok.error) << ok.error->description();
    platform::Data data;
    ASSERT_TRUE(VTCodingUtilities::readFile(local, data, nullptr));
    EXPECT_EQ(std::string(data.begin(), data.end()), "payload");

    server.enqueue(testsupport::ScriptedReply::withStatus(404, "not found"));
    auto failing = VTDownloader::downloaderToDownloadURL(server.url("/g"), local);
    Completion bad;
    failing->setCompletionCallback(bad.callback());
    failing->start();
    ASSERT_TRUE(bad.wait());
    ASSERT_TRUE(bad.error);
    EXPECT_EQ(bad.error->code(), -1011);
    ASSERT_TRUE(VTCodingUtilities::readFile(local, data, nullptr));
    EXPECT_EQ(std::string(data.begin(), data.end()), "payload");
    EXPECT_FALSE(std::filesystem::exists(local + ".vtdownload"));

    EXPECT_FALSE(VTDownloader::downloaderToDownloadURL("", local));
}

}  // namespace
