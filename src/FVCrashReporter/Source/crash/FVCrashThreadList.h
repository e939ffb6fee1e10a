// The threads of this process, read from /proc/self/task with raw system
// calls. Async-signal-safe.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "FVCrashReporter/Source/crash/FVCrashAsync.h"

inline constexpr uint32_t FVCRASH_THREAD_LIST_CAPACITY = 1024;

struct fvcrash_thread_list {
    pid_t threads[FVCRASH_THREAD_LIST_CAPACITY];
    uint32_t count;
    bool truncated;  // more threads than the capacity
};

/// Fills `list` with the thread ids in directory order; 2 when the folder
/// cannot be opened, 1 when it cannot be read.
fvcrash_status fvcrash_thread_list_read(fvcrash_thread_list* list);
