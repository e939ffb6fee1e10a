#include "FVCrashReporter/Source/crash/FVCrashContext.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "FVCrashReporter/Source/crash/FVCrashSuspend.h"

namespace {

fvcrash_crash_context gContext;
std::atomic<pid_t> gFirstCrasher{0};
std::atomic<uint32_t> gNeverChanges{0};

void resetMonitoredSignals() {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    for (int signo : FVCRASH_MONITORED_SIGNALS) sigaction(signo, &fallback, nullptr);
}

// A crash can come while this thread (or another) makes a live report; wait
// a while for the gate, then write regardless.
void enterGateBriefly() {
    for (int i = 0; i < 1000; ++i) {
        if (fvcrash_capture_gate_try_enter()) return;
        timespec pause{0, 1000000};
        nanosleep(&pause, nullptr);
    }
}

}  // namespace

fvcrash_crash_context* fvcrash_crash_context_shared() { return &gContext; }

fvcrash_status fvcrash_write_report_fd(int fd, fvcrash_log_writer* writer, pid_t crashed,
                                       const fvcrash_signal_info* signal,
                                       const fvcrash_thread_state* current) {
    if (fd < 0) return FVCRASH_EINTERNAL;
    fvcrash_outfile file;
    fvcrash_outfile_init(&file, fd, FVCRASH_REPORT_FILE_LIMIT);
    fvcrash_status status = fvcrash_writer_write_report(
        writer, crashed, fvcrash_shared_image_list(), &file, signal, current);
    fvcrash_writer_close(writer);
    const bool flushed = fvcrash_outfile_flush(&file);
    const bool closed = fvcrash_outfile_close(&file);
    if (!flushed || !closed) status = FVCRASH_EINTERNAL;
    return status;
}

fvcrash_status fvcrash_write_report_in(int folder, const char* name, fvcrash_log_writer* writer,
                                       pid_t crashed, const fvcrash_signal_info* signal,
                                       const fvcrash_thread_state* current) {
    // The folder may be shared (sticky, like the error library's crash
    // dumps): truncating what is at the name would write into another
    // user's file, or through their hard link into any file we may write.
    // So the old entry goes and the report is always a file of our own;
    // someone who keeps putting entries back only keeps this report away.
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        if (syscall(SYS_unlinkat, folder, name, 0) != 0 && errno == EISDIR)
            syscall(SYS_unlinkat, folder, name, AT_REMOVEDIR);
        fd = static_cast<int>(syscall(SYS_openat, folder, name,
                                      O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
        if (fd < 0 && errno != EEXIST) break;
    }
    return fvcrash_write_report_fd(fd, writer, crashed, signal, current);
}

bool fvcrash_reporter_signal_callback(int signo, siginfo_t* info, ucontext_t* context,
                                      void* crash_context, const fvcrash_signal_next*) {
    auto* ctx = static_cast<fvcrash_crash_context*>(crash_context);
    const pid_t self = fvcrash_current_thread();
    fvcrash_thread_state state;
    fvcrash_thread_state_from_mcontext(&state, &context->uc_mcontext);

    pid_t expected = 0;
    if (!gFirstCrasher.compare_exchange_strong(expected, self, std::memory_order_acq_rel)) {
        if (expected == self) {  // a fault while writing: die by it
            resetMonitoredSignals();
            return false;
        }
        // Another thread is writing: leave the registers for its report and
        // wait for the process to end.
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        fvcrash_thread_slot_store(self, &state);
        for (;;) syscall(SYS_futex, &gNeverChanges, FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
    }

    enterGateBriefly();
    fvcrash_signal_info signal{};
    signal.bsd.signo = signo;
    signal.bsd.code = info ? info->si_code : 0;
    signal.bsd.address = info ? reinterpret_cast<uint64_t>(info->si_addr) : 0;
    const fvcrash_status status = fvcrash_write_report_in(ctx->report_folder, ctx->report_name,
                                                          &ctx->writer, self, &signal, &state);
    if (status == FVCRASH_ESUCCESS) {
        if (auto callback = ctx->post_crash.load(std::memory_order_acquire))
            callback(info, context, ctx->post_crash_context.load(std::memory_order_acquire));
    }
    resetMonitoredSignals();
    return false;
}
