// What a crash needs, prepared when the reporter is enabled and read only
// while the process is crashing.
#pragma once

#include <signal.h>
#include <ucontext.h>

#include <atomic>

#include "FVCrashReporter/Source/crash/FVCrashLogWriter.h"
#include "FVCrashReporter/Source/crash/FVCrashSignalHandler.h"

inline constexpr size_t FVCRASH_REPORT_PATH_SIZE = 4096;

struct fvcrash_crash_context {
    fvcrash_log_writer writer;
    char report_path[FVCRASH_REPORT_PATH_SIZE];
    std::atomic<void (*)(siginfo_t*, ucontext_t*, void*)> post_crash;
    std::atomic<void*> post_crash_context;
};

/// The process's one context.
fvcrash_crash_context* fvcrash_crash_context_shared();

/// The signals a crash arrives by.
inline constexpr int FVCRASH_MONITORED_SIGNALS[] = {SIGABRT, SIGBUS,  SIGFPE,
                                                    SIGILL,  SIGSEGV, SIGTRAP};

/// The signal callback: the first crashing thread writes the report to the
/// context's path; threads that crash meanwhile leave their registers for it
/// and wait for the end. Always answers "not handled", with the monitored
/// signals back at their default actions.
bool fvcrash_reporter_signal_callback(int signo, siginfo_t* info, ucontext_t* context,
                                      void* crash_context, const fvcrash_signal_next* next);

/// Writes a report file at `path` (created, truncated, 0644, never through a
/// link). 6 when the file cannot be opened, flushed or closed.
fvcrash_status fvcrash_write_report_file(const char* path, fvcrash_log_writer* writer,
                                         pid_t crashed, const fvcrash_signal_info* signal,
                                         const fvcrash_thread_state* current);
