// Registering the crash reporter's signal handler and its callbacks.
#pragma once

#include <memory>

#include "FVCrashReporter/Source/crash/FVCrashSignalHandler.h"
#include "Platform/Values/Error.h"

class FVCrashSignalHandler {
  public:
    static FVCrashSignalHandler& sharedHandler();

    /// Empties both lists (the entries stay allocated). The handler stays
    /// installed; a signal nothing handles then ends the process by the
    /// action that was there before.
    static void resetHandlers();

    /// Installs the handler for `signo` (once per signal) on an alternate
    /// stack of the calling thread. Error code 1 on failure.
    bool registerHandlerWithSignal(int signo, platform::Error* error);

    /// The same, then puts the callback at the front of the chain.
    bool registerHandlerForSignal(int signo, fvcrash_signal_callback callback, void* context,
                                  platform::Error* error);

  private:
    FVCrashSignalHandler() = default;
};

/// Gives the calling thread a 64 KiB signal stack below a guard page unless
/// it has one. False with errno set when it cannot.
bool fvcrash_ensure_alternate_stack();

/// The deepest use of the calling thread's own signal stack so far, in bytes
/// (0 without one). For tests.
size_t fvcrash_alternate_stack_high_water();
