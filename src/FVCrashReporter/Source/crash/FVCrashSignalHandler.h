// The process-wide signal handler: one handler, run on an alternate stack,
// that passes each signal down a chain of callbacks (newest first) and last
// to the action that was installed before it.
#pragma once

#include <signal.h>
#include <ucontext.h>

#include "FVCrashReporter/Source/crash/FVCrashAsyncList.h"

struct fvcrash_signal_entry;

/// Lets a callback hand the signal to the callbacks after it.
struct fvcrash_signal_next {
    fvcrash_signal_entry* entry;  // the entry being called
};

/// Returns true when it handled the signal.
using fvcrash_signal_callback = bool (*)(int signo, siginfo_t* info, ucontext_t* context,
                                         void* callback_context, const fvcrash_signal_next* next);

struct fvcrash_signal_entry {
    fvcrash_signal_callback callback;
    void* context;
};

struct fvcrash_previous_action {
    int signo;
    struct sigaction action;
};

/// The two lists: created once, never freed (a crash during exit may still
/// walk them).
fvcrash_async_list<fvcrash_signal_entry*>* fvcrash_signal_callbacks();
fvcrash_async_list<fvcrash_previous_action*>* fvcrash_signal_previous_actions();

/// The installed handler.
extern "C" void fvcrash_signal_handler(int signo, siginfo_t* info, void* context);

/// Dispatches to the entry after the one `next` names; false without one.
extern "C" bool FVCrashSignalHandlerForward(const fvcrash_signal_next* next, int signo,
                                            siginfo_t* info, ucontext_t* context);

/// The callback that ends every chain: the action installed before ours.
bool fvcrash_signal_previous_action_callback(int signo, siginfo_t* info, ucontext_t* context,
                                             void* callback_context,
                                             const fvcrash_signal_next* next);
