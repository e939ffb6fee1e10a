#include "FVCrashReporter/Source/FVCrashLog.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {
std::mutex gHookMutex;
std::function<void(int, const std::string&)> gHook;
}  // namespace

void FVCrashLog(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (needed > 0) {
        text.resize(static_cast<size_t>(needed) + 1);
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(static_cast<size_t>(needed));
    }
    va_end(args);
    syslog(priority, "%s", text.c_str());
    std::lock_guard<std::mutex> lock(gHookMutex);
    if (gHook) gHook(priority, text);
}

void FVCrashSetLogHookForTesting(std::function<void(int, const std::string&)> hook) {
    std::lock_guard<std::mutex> lock(gHookMutex);
    gHook = std::move(hook);
}
