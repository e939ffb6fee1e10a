// The crash reporter logs its own problems (outside the crash path) with the
// system's plain logging call.
#pragma once

#include <functional>
#include <string>

/// printf-style; sent to syslog at `priority` (LOG_ERR, ...).
void FVCrashLog(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

/// Tests may watch what is logged; an empty function removes the hook.
void FVCrashSetLogHookForTesting(
    std::function<void(int priority, const std::string& message)> hook);
