// What a crash needs, prepared when the reporter is enabled and read only
// while the process is crashing.
#pragma once

#include <signal.h>
#include <ucontext.h>

#include <atomic>

#include "FVCrashReporter/Source/crash/FVCrashLogWriter.h"
#include "FVCrashReporter/Source/crash/FVCrashSignalHandler.h"

inline constexpr size_t FVCRASH_REPORT_NAME_SIZE = 256;

struct fvcrash_crash_context {
    fvcrash_log_writer writer;
    // The report folder, opened (and, for root, checked) when the reporter
    // is enabled: the crash writes below it, never by a path looked up
    // again while crashing. -1 until then.
    int report_folder = -1;
    char report_name[FVCRASH_REPORT_NAME_SIZE] = {};
    std::atomic<void (*)(siginfo_t*, ucontext_t*, void*)> post_crash;
    std::atomic<void*> post_crash_context;
};

/// The process's one context.
fvcrash_crash_context* fvcrash_crash_context_shared();

/// The signals a crash arrives by.
inline constexpr int FVCRASH_MONITORED_SIGNALS[] = {SIGABRT, SIGBUS,  SIGFPE,
                                                    SIGILL,  SIGSEGV, SIGTRAP};

/// The signal callback: the first crashing thread writes the report to the
/// context's file in its folder; threads that crash meanwhile leave their registers for it
/// and wait for the end. Always answers "not handled", with the monitored
/// signals back at their default actions.
bool fvcrash_reporter_signal_callback(int signo, siginfo_t* info, ucontext_t* context,
                                      void* crash_context, const fvcrash_signal_next* next);

/// Writes a report to the open file `fd` and closes it. 6 when `fd` is -1
/// or the file cannot be flushed or closed. Runs in the signal handler:
/// system calls only, no allocation, no lock.
fvcrash_status fvcrash_write_report_fd(int fd, fvcrash_log_writer* writer, pid_t crashed,
                                       const fvcrash_signal_info* signal,
                                       const fvcrash_thread_state* current);

/// Writes a report file `name` in the open folder `folder`: whatever is at
/// the name goes first, and the report is a new file (0644, O_EXCL, never
/// through a link), so that nothing another user placed there, a file of
/// theirs or a hard link to someone else's, is ever written. 6 when the file
/// cannot be made, flushed or closed. Runs in the signal handler: system
/// calls only, no allocation, no lock.
fvcrash_status fvcrash_write_report_in(int folder, const char* name, fvcrash_log_writer* writer,
                                       pid_t crashed, const fvcrash_signal_info* signal,
                                       const fvcrash_thread_state* current);
