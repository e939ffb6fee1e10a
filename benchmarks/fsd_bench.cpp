// The downloader against the curl command line, and the bytes a resumed
// transfer fetches again.
//   build/benchmarks/fsd_bench --benchmark_min_time=1
//
// BM_DownloaderVsCurl: 8 ZIP archives of 32 MiB (a small package first, a
// 32 MiB stored entry second) from a loopback server through PelFSD, from
// start to the last downloadDidFinish, against one curl process fetching the
// same URLs into files; counter "ratio" = curl time / downloader time (goal
// >= 0.95). curl's time leaves out its process start and exit, measured as
// the best time of the same command fetching one empty answer.
// BM_RefetchAfterServerCut / BM_RefetchAfterCancel: a 64 MiB file cut at 50%
// by the server (the transport retries) or by a cancel (a new driver
// resumes); counter "refetched" = bytes sent before the cut - next Range
// start (goal <= 64 KiB).
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "Downloader/DownloadTestSupport.h"
#include "Downloader/FSDURLDownload.h"
#include "Downloader/PelFSD.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Values/Json.h"
#include "support/LoopbackHttpServer.h"
#include "support/TempDir.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFiles = 8;
constexpr std::size_t kEntryBytes = 32u << 20;

const std::string& archive() {
    static const std::string zip = dltest::makeZip(
        {{"Small.pkg", "a small package"},
         {"Payload.bin", testsupport::LoopbackHttpServer::generatedBody(0, kEntryBytes)}});
    return zip;
}

struct Counter final : PelFSDProtocol {
    std::atomic<int> finished{0}, failed{0};
    void numberOfJobs(std::uint64_t, std::uint64_t) override {}
    void downloadDidFinish() override { ++finished; }
    void downloadDidFailWithError(const platform::Error&) override { ++failed; }
};

std::string jobJSON(const testsupport::LoopbackHttpServer& server, int files) {
    std::string list;
    for (int i = 0; i < files; ++i) {
        list += std::string(i ? "," : "") + R"({"source_file":")" +
                server.url("/f" + std::to_string(i) + ".zip") +
                R"(","destination_file":"Small.pkg","file_priority":)" + std::to_string(100 - i) +
                R"(,"TRANSIENT_ERROR_RETRY_COUNT":3})";
    }
    return R"({"job_id":"11111111-2222-3333-4444-555555555555","distribution":{"transaction_id":"AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE"},"file_array":[)" +
           list + "]}";
}

PelFSDJobPtr makeJob(const std::string& json) {
    return PelFSDJob::createJobWithDic(*platform::json::parse(json, nullptr), nullptr);
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// One run of the downloader over the 8 archives; seconds, or -1 on failure.
double downloaderRun(const testsupport::LoopbackHttpServer& server) {
    testsupport::TempDir dir;
    auto delegate = std::make_shared<Counter>();
    std::vector<PelFSDJobPtr> jobs{makeJob(jobJSON(server, kFiles))};
    auto start = Clock::now();
    auto fsd = PelFSD::createFSDWithJobArray(&jobs, dir.file("fsd"), delegate, nullptr, nullptr);
    fsd->startFSDDownload();
    platform::RunLoop::runUntil([&] { return delegate->finished + delegate->failed == kFiles; },
                                std::chrono::minutes(5));
    double took = seconds(Clock::now() - start);
    return delegate->finished == kFiles ? took : -1;
}

// One curl process fetching the URLs into files (the 8 archives, or one
// empty answer when `files` is 0); seconds, or -1.
double curlRun(const testsupport::LoopbackHttpServer& server, int files = kFiles) {
    testsupport::TempDir dir;
    std::vector<std::string> args = {"curl", "-s", "--fail"};
    for (int i = 0; i < files; ++i) {
        args.push_back("-o");
        args.push_back(dir.file("f" + std::to_string(i) + ".zip"));
        args.push_back(server.url("/f" + std::to_string(i) + ".zip"));
    }
    if (files == 0) {
        args.push_back("-o");
        args.push_back(dir.file("empty"));
        args.push_back(server.url("/empty"));
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    auto start = Clock::now();
    pid_t pid = 0;
    int status = 0;
    if (::posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0 ||
        ::waitpid(pid, &status, 0) < 0 || status != 0)
        return -1;
    return seconds(Clock::now() - start);
}

// Both in turn, alternating which goes first; the best time of each counts,
// so that a noisy machine penalises neither.
void BM_DownloaderVsCurl(benchmark::State& state) {
    testsupport::LoopbackHttpServer server;
    server.setHandler([](const testsupport::RecordedRequest& r) {
        if (r.path().rfind("/f", 0) == 0) return testsupport::ScriptedReply::ok(archive());
        return testsupport::ScriptedReply::ok();
    });
    double bestFsd = 1e9, bestCurl = 1e9, curlStart = 1e9;
    bool fsdFirst = true;
    for (auto _ : state) {
        double start = curlRun(server, 0);
        if (start >= 0) curlStart = std::min(curlStart, start);
        double a = fsdFirst ? downloaderRun(server) : curlRun(server);
        double b = fsdFirst ? curlRun(server) : downloaderRun(server);
        double fsd = fsdFirst ? a : b, curl = fsdFirst ? b : a;
        fsdFirst = !fsdFirst;
        if (fsd < 0 || curl < 0) {
            state.SkipWithError("a download failed");
            break;
        }
        bestFsd = std::min(bestFsd, fsd);
        bestCurl = std::min(bestCurl, curl);
    }
    if (curlStart > bestCurl) curlStart = 0;
    state.counters["fsd_s"] = bestFsd;
    state.counters["curl_s"] = bestCurl - curlStart;
    state.counters["curl_start_s"] = curlStart;
    state.counters["ratio"] = (bestCurl - curlStart) / bestFsd;
}
BENCHMARK(BM_DownloaderVsCurl)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(4);

constexpr std::uint64_t kBigBytes = 64u << 20;

std::uint64_t sizeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

// Serves a 64 MiB file whose first answer stops after half of it: closed by
// the server (`cancel` false) or stalled until the client cancels.
struct CutServer {
    explicit CutServer(bool stall) {
        server.setHandler([this, stall](const testsupport::RecordedRequest& r) {
            testsupport::ScriptedReply reply;
            reply.generatedBodySize = kBigBytes;
            reply.etag = "\"big\"";
            reply.supportRanges = true;
            if (r.path() != "/f0.zip") return testsupport::ScriptedReply::ok();
            std::lock_guard lock(mutex);
            std::string range = r.header("Range");
            if (range.rfind("bytes=", 0) == 0) rangeStart = std::stoull(range.substr(6));
            if (requests++ == 0) {
                if (stall)
                    reply.stallAfterBodyBytes = kBigBytes / 2;
                else
                    reply.closeAfterBodyBytes = kBigBytes / 2;
            }
            return reply;
        });
    }
    testsupport::LoopbackHttpServer server;
    std::mutex mutex;
    int requests = 0;
    std::uint64_t rangeStart = 0;
};

void BM_RefetchAfterServerCut(benchmark::State& state) {
    double refetched = 0;
    for (auto _ : state) {
        CutServer cut(false);
        StatPing::setEndpointHosts(cut.server.hostAndPort(), cut.server.hostAndPort());
        testsupport::TempDir dir;
        auto delegate = std::make_shared<Counter>();
        std::vector<PelFSDJobPtr> jobs{makeJob(jobJSON(cut.server, 1))};
        auto fsd = PelFSD::createFSDWithJobArray(&jobs, dir.file("d"), delegate, nullptr, nullptr);
        fsd->startFSDDownload();
        platform::RunLoop::runUntil([&] { return delegate->finished + delegate->failed == 1; },
                                    std::chrono::minutes(2));
        std::lock_guard lock(cut.mutex);
        refetched = static_cast<double>(kBigBytes / 2) - static_cast<double>(cut.rangeStart);
        if (cut.requests != 2) state.SkipWithError("expected one retry");
    }
    StatPing::setEndpointHosts("", "");
    state.counters["refetched"] = refetched;
}
BENCHMARK(BM_RefetchAfterServerCut)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

void BM_RefetchAfterCancel(benchmark::State& state) {
    double refetched = 0;
    for (auto _ : state) {
        CutServer cut(true);
        StatPing::setEndpointHosts(cut.server.hostAndPort(), cut.server.hostAndPort());
        testsupport::TempDir dir;
        auto delegate = std::make_shared<Counter>();
        std::vector<PelFSDJobPtr> jobs{makeJob(jobJSON(cut.server, 1))};
        auto fsd = PelFSD::createFSDWithJobArray(&jobs, dir.file("d"), delegate, nullptr, nullptr);
        fsd->startFSDDownload();
        // Cancel once the partial stops growing: the server has stopped at half.
        std::uint64_t last = 0;
        for (int stable = 0; stable < 4;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            std::uint64_t now = sizeOf(dir.file("d/f0.zip.fsd"));
            stable = (now == last && now > 0) ? stable + 1 : 0;
            last = now;
        }
        fsd->cancelFSDDownload();
        platform::RunLoop::runUntil([&] { return fsd->download()->isIdle(); },
                                    std::chrono::minutes(1));
        cut.server.releaseStalls();

        auto second = std::make_shared<Counter>();
        std::vector<PelFSDJobPtr> again{makeJob(jobJSON(cut.server, 1))};
        auto next = PelFSD::createFSDWithJobArray(&again, dir.file("d"), second, nullptr, nullptr);
        next->startFSDDownload();
        platform::RunLoop::runUntil([&] { return second->finished + second->failed == 1; },
                                    std::chrono::minutes(2));
        std::lock_guard lock(cut.mutex);
        refetched = static_cast<double>(kBigBytes / 2) - static_cast<double>(cut.rangeStart);
        if (cut.requests != 2 || second->finished != 1) state.SkipWithError("no resumed transfer");
    }
    StatPing::setEndpointHosts("", "");
    state.counters["refetched"] = refetched;
}
BENCHMARK(BM_RefetchAfterCancel)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace
