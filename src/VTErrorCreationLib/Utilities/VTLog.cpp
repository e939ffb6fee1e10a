#include "VTErrorCreationLib/Utilities/VTLog.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "Platform/Text/Format.h"

namespace {

std::mutex& hookMutex() {
    static std::mutex m;
    return m;
}

std::function<void(int, const std::string&)>& hook() {
    static std::function<void(int, const std::string&)> h;
    return h;
}

}  // namespace

void VTLog(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = platform::printfFormat(format, args);
    va_end(args);
    syslog(priority, "%s", text.c_str());
    std::lock_guard<std::mutex> lock(hookMutex());
    if (hook()) hook()(priority, text);
}

void VTSetLogHookForTesting(std::function<void(int, const std::string&)> h) {
    std::lock_guard<std::mutex> lock(hookMutex());
    hook() = std::move(h);
}
