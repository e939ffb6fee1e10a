#include "FVCrashReporter/Source/crash/FVCrashSuspend.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "FVCrashReporter/Source/crash/FVCrashThreadState.h"

namespace {

std::atomic<int> gSignal{-1};
// Non-zero while a report holds the other threads: the generation they wait on.
std::atomic<uint32_t> gActive{0};
std::atomic<uint32_t> gGeneration{0};
std::atomic<uint32_t> gArrived{0};
std::atomic<uint32_t> gGate{0};

long futex(std::atomic<uint32_t>* word, int op, uint32_t value, const timespec* timeout) {
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op, value, timeout, nullptr, 0);
}

void stopHandler(int, siginfo_t*, void* context) {
    const int savedErrno = errno;
    const uint32_t generation = gActive.load(std::memory_order_acquire);
    if (generation != 0) {
        fvcrash_thread_state state;
        fvcrash_thread_state_from_mcontext(&state, &static_cast<ucontext_t*>(context)->uc_mcontext);
        fvcrash_thread_slot_store(fvcrash_current_thread(), &state);
        gArrived.fetch_add(1, std::memory_order_acq_rel);
        futex(&gArrived, FUTEX_WAKE_PRIVATE, 1, nullptr);
        while (gActive.load(std::memory_order_acquire) == generation)
            futex(&gActive, FUTEX_WAIT_PRIVATE, generation, nullptr);
    }
    errno = savedErrno;
}

uint64_t nowNanoseconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

bool slotReady(pid_t thread) {
    fvcrash_thread_state probe;
    return fvcrash_thread_state_from_thread(&probe, thread) == FVCRASH_ESUCCESS;
}

uint64_t parseHex(const char*& p, const char* end) {
    while (p < end && *p == ' ') ++p;
    if (p + 1 < end && p[0] == '0' && p[1] == 'x') p += 2;
    uint64_t value = 0;
    for (; p < end; ++p) {
        const char c = *p;
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else
            break;
        value = value << 4 | static_cast<uint64_t>(digit);
    }
    return value;
}

// "/proc/self/task/<tid>/syscall" of a thread blocked in a system call:
// "nr a1 a2 a3 a4 a5 a6 sp pc". A running thread shows "running".
bool stateFromBlockedCall(pid_t thread, fvcrash_thread_state* state) {
    char path[64] = "/proc/self/task/";
    size_t n = fvcrash_strlen(path);
    char digits[12];
    size_t d = 0;
    for (uint32_t v = static_cast<uint32_t>(thread); v; v /= 10)
        digits[d++] = static_cast<char>('0' + v % 10);
    while (d) path[n++] = digits[--d];
    const char tail[] = "/syscall";
    for (size_t i = 0; i < sizeof tail; ++i) path[n++] = tail[i];
    const int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC));
    if (fd < 0) return false;
    char text[256];
    const ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    if (got <= 0 || text[0] < '0' || text[0] > '9') return false;
    const char* p = text;
    const char* end = text + got;
    if (parseHex(p, end) == static_cast<uint64_t>(-1)) return false;
    uint64_t fields[8];
    for (uint64_t& field : fields) field = parseHex(p, end);
    const uint64_t sp = fields[6];
    const uint64_t pc = fields[7];
    if (!pc || !sp) return false;
    fvcrash_thread_state_for_cpu(state, FVCRASH_CPU_TYPE_X86_64);
    fvcrash_thread_state_invalidate_all(state);
    fvcrash_thread_state_write_reg(state, FVCRASH_REG_IP, pc);
    fvcrash_thread_state_write_reg(state, FVCRASH_REG_SP, sp);
    return true;
}

}  // namespace

int fvcrash_suspend_install() {
    static std::atomic<bool> installing{false};
    if (gSignal.load(std::memory_order_acquire) >= 0) return gSignal.load();
    bool expected = false;
    if (!installing.compare_exchange_strong(expected, true)) {
        while (gSignal.load(std::memory_order_acquire) < 0 && installing.load()) sched_yield();
        return gSignal.load();
    }
    for (int signal = SIGRTMAX; signal >= SIGRTMIN; --signal) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) != 0) continue;
        if (!(current.sa_flags & SA_SIGINFO) && current.sa_handler != SIG_DFL) continue;
        if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction) continue;
        struct sigaction action {};
        action.sa_sigaction = stopHandler;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
        sigemptyset(&action.sa_mask);
        if (sigaction(signal, &action, nullptr) != 0) continue;
        gSignal.store(signal, std::memory_order_release);
        return signal;
    }
    installing.store(false);
    return -1;
}

int fvcrash_suspend_signal() { return gSignal.load(std::memory_order_acquire); }

uint32_t fvcrash_suspend_threads(const fvcrash_thread_list* list, pid_t self, uint32_t timeout_ms) {
    const int signal = gSignal.load(std::memory_order_acquire);
    const pid_t pid = static_cast<pid_t>(syscall(SYS_getpid));
    uint32_t generation = gGeneration.fetch_add(1, std::memory_order_acq_rel) + 1;
    if (generation == 0) generation = gGeneration.fetch_add(1) + 1;
    gArrived.store(0, std::memory_order_release);
    gActive.store(generation, std::memory_order_release);

    uint32_t sent = 0;
    uint32_t ready = 0;
    for (uint32_t i = 0; i < list->count; ++i) {
        const pid_t thread = list->threads[i];
        if (thread == self) continue;
        if (slotReady(thread)) {  // a crasher that parked itself
            ++ready;
            continue;
        }
        if (signal >= 0 && syscall(SYS_tgkill, pid, thread, signal) == 0) ++sent;
    }
    const uint64_t deadline = nowNanoseconds() + uint64_t{timeout_ms} * 1000000ull;
    for (;;) {
        const uint32_t arrived = gArrived.load(std::memory_order_acquire);
        if (arrived >= sent) break;
        const uint64_t now = nowNanoseconds();
        if (now >= deadline) break;
        const uint64_t left = deadline - now;
        timespec wait{static_cast<time_t>(left / 1000000000ull),
                      static_cast<long>(left % 1000000000ull)};
        futex(&gArrived, FUTEX_WAIT_PRIVATE, arrived, &wait);
    }
    for (uint32_t i = 0; i < list->count; ++i) {
        const pid_t thread = list->threads[i];
        if (thread == self) continue;
        if (slotReady(thread)) continue;
        fvcrash_thread_state state;
        if (stateFromBlockedCall(thread, &state)) fvcrash_thread_slot_store(thread, &state);
    }
    return ready + gArrived.load(std::memory_order_acquire);
}

void fvcrash_resume_threads(const fvcrash_thread_list* list, pid_t self) {
    gActive.store(0, std::memory_order_release);
    futex(&gActive, FUTEX_WAKE_PRIVATE, 0x7fffffff, nullptr);
    for (uint32_t i = 0; i < list->count; ++i)
        if (list->threads[i] != self) fvcrash_thread_slot_clear(list->threads[i]);
}

bool fvcrash_capture_gate_try_enter() {
    uint32_t expected = 0;
    return gGate.compare_exchange_strong(expected, 1, std::memory_order_acq_rel);
}

void fvcrash_capture_gate_enter() {
    for (;;) {
        uint32_t expected = 0;
        if (gGate.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) return;
        futex(&gGate, FUTEX_WAIT_PRIVATE, expected, nullptr);
    }
}

void fvcrash_capture_gate_leave() {
    gGate.store(0, std::memory_order_release);
    futex(&gGate, FUTEX_WAKE_PRIVATE, 1, nullptr);
}
