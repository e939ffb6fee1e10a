#include "VTErrorCreationLib/Utilities/VTLog.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

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
    std::lock_guard<std::mutex> lock(hookMutex());
    if (hook()) hook()(priority, text);
}

void VTSetLogHookForTesting(std::function<void(int, const std::string&)> h) {
    std::lock_guard<std::mutex> lock(hookMutex());
    hook() = std::move(h);
}
