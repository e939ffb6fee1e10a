// Stopping the other threads of this process while a report reads their
// stacks. Each thread is sent a real-time signal reserved for this; its
// handler publishes the interrupted registers to the thread's register slot
// and waits until the report is done. A thread that does not answer in time
// (it blocks every signal) is described by the kernel's view of its blocked
// system call, when there is one.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "FVCrashReporter/Source/crash/FVCrashThreadList.h"

/// Reserves the highest real-time signal whose disposition is still the
/// default and installs the stop handler (once; later calls return the same
/// signal). -1 when none is free.
int fvcrash_suspend_install();

/// The reserved signal, or -1.
int fvcrash_suspend_signal();

/// Stops every listed thread but `self`, waiting at most `timeout_ms` for
/// them together. Returns how many threads have registers in their slots.
uint32_t fvcrash_suspend_threads(const fvcrash_thread_list* list, pid_t self, uint32_t timeout_ms);

/// Lets the stopped threads go on and empties their slots.
void fvcrash_resume_threads(const fvcrash_thread_list* list, pid_t self);

/// The crash gate: one report is made at a time in this process. `try` takes
/// it without waiting.
bool fvcrash_capture_gate_try_enter();
void fvcrash_capture_gate_enter();
void fvcrash_capture_gate_leave();
