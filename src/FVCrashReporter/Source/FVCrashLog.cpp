#include "FVCrashReporter/Source/FVCrashLog.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "Platform/Text/Format.h"

namespace {
std::mutex gHookMutex;
std::function<void(int, const std::string&)> gHook;
}  // namespace

void FVCrashLog(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = platform::printfFormat(format, args);
    va_end(args);
    syslog(priority, "%s", text.c_str());
    std::lock_guard<std::mutex> lock(gHookMutex);
    if (gHook) gHook(priority, text);
}

void FVCrashSetLogHookForTesting(std::function<void(int, const std::string&)> hook) {
    std::lock_guard<std::mutex> lock(gHookMutex);
    gHook = std::move(hook);
}
