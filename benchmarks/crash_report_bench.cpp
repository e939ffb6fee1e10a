// A process with 20 threads, each 30 frames deep, crashes: the time from the
// fault to the report file being closed, over 50 crashes, against an
// in-process live report of the same process (the floor).
#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void BM_CrashToReportClosed(benchmark::State& state) {
    char folder[] = "/tmp/crash_bench.XXXXXX";
    if (!mkdtemp(folder)) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string page = std::string(folder) + "/page";
    std::vector<double> crash, live;
    for (auto _ : state) {
        for (int run = 0; run < 50; ++run) {
            FILE* f = fopen(page.c_str(), "w+");
            std::vector<char> zeros(4096, 0);
            fwrite(zeros.data(), 1, zeros.size(), f);
            fflush(f);
            auto* times = static_cast<uint64_t*>(
                mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fileno(f), 0));
            const pid_t child = fork();
            if (child == 0) {
                setenv("FVCRASH_BENCH_PAGE", page.c_str(), 1);
                execl(FVCRASH_CRASHME, FVCRASH_CRASHME, "bench", folder, nullptr);
                _exit(127);
            }
            int status = 0;
            waitpid(child, &status, 0);
            if (times[1] > times[0] && times[0]) {
                crash.push_back(static_cast<double>(times[1] - times[0]) / 1e6);
                live.push_back(static_cast<double>(times[2]) / 1e6);
            }
            munmap(times, 4096);
            fclose(f);
        }
    }
    if (crash.empty()) {
        state.SkipWithError("no crash was timed");
        return;
    }
    std::sort(crash.begin(), crash.end());
    std::sort(live.begin(), live.end());
    state.counters["crash_median_ms"] = crash[crash.size() / 2];
    state.counters["crash_worst_ms"] = crash.back();
    state.counters["floor_live_median_ms"] = live[live.size() / 2];
    state.counters["ratio"] = crash[crash.size() / 2] / live[live.size() / 2];
    std::string cleanup = std::string("rm -rf ") + folder;
    if (system(cleanup.c_str()) != 0) state.SkipWithError("cleanup failed");
}
BENCHMARK(BM_CrashToReportClosed)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
