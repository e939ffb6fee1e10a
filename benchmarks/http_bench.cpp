// Download throughput of the HTTP layer against the curl command line, both
// fetching the same 256 MiB body from a loopback server into /dev/null.
//   build/benchmarks/http_bench --benchmark_min_time=2
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

#include <string>

#include "Platform/Http/HttpCurlClient.h"
#include "Platform/Dispatch/SerialQueue.h"
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

void BM_HttpLayerDownload(benchmark::State& state) {
    platform::CurlHttpClient client;
    auto queue = platform::SerialQueue::create("http-bench");
    const std::string url = server().url("/body");
    for (auto _ : state) {
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

void BM_CurlCommandDownload(benchmark::State& state) {
    std::string url = server().url("/body");
    char* argv[] = {const_cast<char*>("curl"),
                    const_cast<char*>("-s"),
                    const_cast<char*>("-o"),
                    const_cast<char*>("/dev/null"),
                    url.data(),
                    nullptr};
    for (auto _ : state) {
        pid_t pid = 0;
        int status = 0;
        if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv, environ) != 0 ||
            waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("curl failed");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBodyBytes));
}
BENCHMARK(BM_CurlCommandDownload)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
