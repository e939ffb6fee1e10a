// Download throughput of the HTTP layer against two floors, all fetching the
// same 256 MiB body from one loopback server into /dev/null, each download on
// a fresh connection:
//   - the curl command line, timed by curl itself (-w '%{time_total}'), so
//     that its process start is not counted;
//   - libcurl's easy interface in this process.
// Compare the bytes per second (or the times) of the three.
//
//   build/benchmarks/http_bench --benchmark_min_time=2
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "Platform/Dispatch/SerialQueue.h"
#include "Platform/Http/HttpCurlClient.h"
#include "support/HttpTransferRecorder.h"
#include "support/LoopbackHttpServer.h"

extern char** environ;

namespace {

constexpr std::uint64_t kBodyBytes = 256ull * 1024 * 1024;

testsupport::LoopbackHttpServer& server() {
    static testsupport::LoopbackHttpServer* s = [] {
        auto* server = new testsupport::LoopbackHttpServer();
        testsupport::ScriptedReply reply;
        reply.generatedBodySize = kBodyBytes;
        server->setDefaultReply(reply);
        return server;
    }();
    return *s;
}

// A new client per download, so that no kept-alive connection is reused.
void BM_HttpLayerDownload(benchmark::State& state) {
    auto queue = platform::SerialQueue::create("http-bench");
    const std::string url = server().url("/body");
    for (auto _ : state) {
        platform::CurlHttpClient client;
        testsupport::HttpTransferRecorder recorder;
        client.startDownloadTask(platform::HttpRequest(url),
                                 platform::HttpDownloadTarget("/dev/null"), queue,
                                 recorder.handlers());
        if (!recorder.waitForCompletion(std::chrono::minutes(2)) ||
            recorder.result().bytesReceived != kBodyBytes) {
            state.SkipWithError("download failed");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBodyBytes));
}
BENCHMARK(BM_HttpLayerDownload)->Unit(benchmark::kMillisecond)->UseRealTime();

// curl's own measure of the transfer, read from its standard output.
void BM_CurlCommandDownload(benchmark::State& state) {
    std::string url = server().url("/body");
    char* argv[] = {const_cast<char*>("curl"),
                    const_cast<char*>("-s"),
                    const_cast<char*>("-o"),
                    const_cast<char*>("/dev/null"),
                    const_cast<char*>("-w"),
                    const_cast<char*>("%{time_total}"),
                    url.data(),
                    nullptr};
    for (auto _ : state) {
        int out[2];
        if (pipe(out) != 0) {
            state.SkipWithError("pipe failed");
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        pid_t pid = 0;
        int spawned = posix_spawnp(&pid, "curl", &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        std::string text;
        char buf[64];
        for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) text.append(buf, n);
        close(out[0]);
        int status = 0;
        if (spawned != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0 || text.empty()) {
            state.SkipWithError("curl failed");
            return;
        }
        state.SetIterationTime(std::stod(text));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBodyBytes));
}
BENCHMARK(BM_CurlCommandDownload)->Unit(benchmark::kMillisecond)->UseManualTime();

std::size_t writeToFd(char* data, std::size_t size, std::size_t count, void* fd) {
    std::size_t total = size * count;
    for (std::size_t done = 0; done < total;) {
        ssize_t n = write(*static_cast<int*>(fd), data + done, total - done);
        if (n <= 0) return 0;
        done += static_cast<std::size_t>(n);
    }
    return total;
}

// libcurl alone: one easy handle (and so one connection) per download, with
// the receive buffer the layer uses.
void BM_LibcurlEasyDownload(benchmark::State& state) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const std::string url = server().url("/body");
    int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    for (auto _ : state) {
        CURL* easy = curl_easy_init();
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &writeToFd);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &fd);
        curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 256L * 1024);
        CURLcode result = curl_easy_perform(easy);
        curl_off_t received = 0;
        curl_easy_getinfo(easy, CURLINFO_SIZE_DOWNLOAD_T, &received);
        curl_easy_cleanup(easy);
        if (result != CURLE_OK || static_cast<std::uint64_t>(received) != kBodyBytes) {
            state.SkipWithError("download failed");
            break;
        }
    }
    close(fd);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBodyBytes));
}
BENCHMARK(BM_LibcurlEasyDownload)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
