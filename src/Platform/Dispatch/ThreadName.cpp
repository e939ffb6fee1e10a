#include "Platform/Dispatch/ThreadName.h"

#include <pthread.h>

#include <atomic>

namespace platform {

namespace {
std::atomic<void (*)()> gThreadStartHook{nullptr};
thread_local bool tStartHookRan = false;
}  // namespace

void setThreadStartHook(void (*hook)()) { gThreadStartHook.store(hook); }

void setCurrentThreadName(const std::string& name) {
    // The kernel keeps 15 characters; the end of a reverse-DNS label is the
    // part that tells queues apart.
    std::string shortName = name.size() > 15 ? name.substr(name.size() - 15) : name;
    pthread_setname_np(pthread_self(), shortName.c_str());
    if (!tStartHookRan) {
        tStartHookRan = true;
        if (auto hook = gThreadStartHook.load()) hook();
    }
}

}  // namespace platform
