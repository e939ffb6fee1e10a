// A program that enables the crash reporter and then crashes in the way its
// first argument names; the report goes to the folder of the second.
//   fvcrash_crashme <mode> <folder>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "FVCrashReporter/Source/FVCrashReporter.h"
#include "Platform/Dispatch/ThreadName.h"

extern "C" {
// Exported (-rdynamic) so that the report names them.
__attribute__((noinline)) void crashme_null_store(volatile int* target) { *target = 42; }
volatile int gLastValue;
// The call to abort is the function's last instruction.
__attribute__((noinline)) void crashme_abort_at_end(int value) {
    gLastValue = value;
    abort();
}
__attribute__((noinline)) int crashme_divide(int a, int b) {
    volatile int x = a, y = b;
    return x / y;
}
__attribute__((noinline)) void crashme_ud2() { __builtin_trap(); }
__attribute__((noinline)) void crashme_int3() { asm volatile("int3"); }
__attribute__((noinline)) void crashme_bus(const char* path) {
    FILE* f = fopen(path, "w+");
    char* map =
        static_cast<char*>(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fileno(f), 0));
    map[100] = 1;  // beyond the end of the empty file
}
int crashme_recurse(int depth);
int (*volatile gRecurse)(int) = crashme_recurse;
__attribute__((noinline)) int crashme_recurse(int depth) {
    volatile char pad[256];
    pad[0] = static_cast<char>(depth);
    return gRecurse(depth + 1) + pad[0];
}
__attribute__((noinline)) void crashme_thread_crash(volatile int* target) { *target = 13; }
__attribute__((noinline)) void crashme_wait_forever() {
    for (;;) pause();
}
// Thirty frames, then blocked.
int (*volatile gDescend)(int);
__attribute__((noinline)) int crashme_descend(int depth) {
    if (depth == 0) crashme_wait_forever();
    return gDescend(depth - 1) + 1;
}
}

namespace {

// Timings for the benchmark, in a page shared with the parent:
// [0] the fault, [1] the report closed, [2] an in-process live report.
uint64_t* gBenchPage = nullptr;

uint64_t nowNanoseconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

void reportClosed(siginfo_t*, ucontext_t*, void*) {
    if (gBenchPage) gBenchPage[1] = nowNanoseconds();
}

}  // namespace

namespace {

[[noreturn]] void onTerminate() {
    try {
        if (auto current = std::current_exception()) std::rethrow_exception(current);
    } catch (const platform::Exception& e) {
        FVCrashReporter::handleUncaughtException(e);
    } catch (const std::exception& e) {
        FVCrashReporter::handleUncaughtException(platform::Exception(typeid(e).name(), e.what()));
    } catch (...) {
    }
    abort();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const std::string mode = argv[1];
    const std::string folder = argv[2];
    auto config = std::make_shared<FVCrashReporterConfig>(1, 1, folder);
    auto reporter =
        FVCrashReporter::initWithApplicationIdentifier("com.example.crashme", "1", "1.0", config);
    if (mode == "bench") {
        FVCrashReporterCallbacks callbacks;
        callbacks.version = 0;
        callbacks.context = nullptr;
        callbacks.handleSignal = reportClosed;
        reporter->setCrashCallbacks(callbacks);
        if (const char* page = getenv("FVCRASH_BENCH_PAGE")) {
            FILE* f = fopen(page, "r+");
            if (!f) return 5;
            gBenchPage = static_cast<uint64_t*>(
                mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fileno(f), 0));
        }
    }
    platform::Error error;
    if (!reporter->enableCrashReporter(&error)) return 3;
    std::set_terminate(onTerminate);

    if (mode == "null") crashme_null_store(nullptr);
    if (mode == "abort") crashme_abort_at_end(argc);
    if (mode == "runtime_error") throw std::runtime_error("runtime failure");
    if (mode == "exception")
        throw platform::Exception("NSInvalidArgumentException", "bad argument");
    if (mode == "divide") return crashme_divide(1, 0);
    if (mode == "ud2") crashme_ud2();
    if (mode == "int3") crashme_int3();
    if (mode == "bus") crashme_bus((folder + "/empty").c_str());
    if (mode == "overflow") return crashme_recurse(0);
    if (mode == "queue_overflow") {
        std::thread t([] {
            platform::setCurrentThreadName("pel.worker");
            crashme_recurse(0);
        });
        t.join();
    }
    if (mode == "loader_lock" || mode == "stderr_lock") {
        // Another thread holds the loader's lock or stderr's while we crash.
        std::atomic<bool> held{false};
        std::thread holder([&] {
            if (mode == "stderr_lock") {
                flockfile(stderr);
                held = true;
                crashme_wait_forever();
            }
            dl_iterate_phdr(
                [](dl_phdr_info*, size_t, void* flag) {
                    static_cast<std::atomic<bool>*>(flag)->store(true);
                    crashme_wait_forever();
                    return 0;
                },
                &held);
        });
        while (!held) usleep(1000);
        crashme_null_store(nullptr);
    }
    if (mode == "bench") {
        gDescend = crashme_descend;
        std::vector<std::thread> threads;
        for (int i = 0; i < 20; ++i) threads.emplace_back([] { crashme_descend(30); });
        usleep(20000);
        const uint64_t liveStart = nowNanoseconds();
        reporter->generateLiveReport(nullptr);
        if (gBenchPage) gBenchPage[2] = nowNanoseconds() - liveStart;
        if (gBenchPage) gBenchPage[0] = nowNanoseconds();
        crashme_null_store(nullptr);
    }
    if (mode == "thread13" || mode == "two") {
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int i = 0; i < 20; ++i) {
            threads.emplace_back([i, &go, &mode] {
                if (i == 3) {  // blocks every signal
                    sigset_t all;
                    sigfillset(&all);
                    pthread_sigmask(SIG_BLOCK, &all, nullptr);
                }
                while (!go) usleep(1000);
                if (i == 13 || (mode == "two" && i == 14)) crashme_thread_crash(nullptr);
                if (i % 3 == 0) crashme_wait_forever();
                if (i % 3 == 1)
                    for (;;) usleep(100000);
                volatile unsigned long spin = 0;  // busy
                for (;;) spin = spin + 1;
            });
        }
        usleep(20000);
        go = true;
        for (auto& t : threads) t.join();
    }
    return 4;
}
