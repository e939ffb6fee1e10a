#include "FVCrashReporter/Source/FVCrashSignalHandler.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "FVCrashReporter/Source/FVCrashReporterError.h"

namespace {

constexpr size_t kStackSize = 65536;

std::mutex gRegistration;
std::atomic<fvcrash_signal_entry*> gPreviousEntry{nullptr};

// The thread's own signal stack: unmapped when the thread ends.
struct AlternateStack {
    void* mapping = nullptr;
    size_t length = 0;
    ~AlternateStack() {
        if (!mapping) return;
        stack_t disable{};
        disable.ss_flags = SS_DISABLE;
        stack_t current{};
        if (sigaltstack(nullptr, &current) == 0 &&
            current.ss_sp == static_cast<char*>(mapping) + pageSize())
            sigaltstack(&disable, nullptr);
        munmap(mapping, length);
    }
    static size_t pageSize() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }
};
thread_local AlternateStack tStack;

}  // namespace

fvcrash_async_list<fvcrash_signal_entry*>* fvcrash_signal_callbacks() {
    static auto* list = new fvcrash_async_list<fvcrash_signal_entry*>();
    return list;
}

fvcrash_async_list<fvcrash_previous_action*>* fvcrash_signal_previous_actions() {
    static auto* list = new fvcrash_async_list<fvcrash_previous_action*>();
    return list;
}

bool fvcrash_ensure_alternate_stack() {
    stack_t current{};
    if (sigaltstack(nullptr, &current) != 0) return false;
    if (!(current.ss_flags & SS_DISABLE)) return true;  // the thread has one
    const size_t page = AlternateStack::pageSize();
    const size_t length = kStackSize + page;
    void* mapping = mmap(nullptr, length, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mapping == MAP_FAILED) return false;
    if (mprotect(mapping, page, PROT_NONE) != 0) {  // the guard below the stack
        const int saved = errno;
        munmap(mapping, length);
        errno = saved;
        return false;
    }
    stack_t stack{};
    stack.ss_sp = static_cast<char*>(mapping) + page;
    stack.ss_size = kStackSize;
    if (sigaltstack(&stack, nullptr) != 0) {
        const int saved = errno;
        munmap(mapping, length);
        errno = saved;
        return false;
    }
    tStack.mapping = mapping;
    tStack.length = length;
    return true;
}

size_t fvcrash_alternate_stack_high_water() {
    if (!tStack.mapping) return 0;
    const auto* low =
        static_cast<const unsigned char*>(tStack.mapping) + AlternateStack::pageSize();
    size_t untouched = 0;
    while (untouched < kStackSize && low[untouched] == 0) ++untouched;
    return kStackSize - untouched;
}

FVCrashSignalHandler& FVCrashSignalHandler::sharedHandler() {
    static FVCrashSignalHandler* shared = new FVCrashSignalHandler();
    return *shared;
}

void FVCrashSignalHandler::resetHandlers() {
    std::lock_guard lock(gRegistration);
    auto* previous = fvcrash_signal_previous_actions();
    while (auto* node = previous->next(nullptr)) previous->remove_node(node);
    auto* callbacks = fvcrash_signal_callbacks();
    while (auto* node = callbacks->next(nullptr)) callbacks->remove_node(node);
    gPreviousEntry.store(nullptr);
}

bool FVCrashSignalHandler::registerHandlerWithSignal(int signo, platform::Error* error) {
    std::lock_guard lock(gRegistration);
    if (!fvcrash_ensure_alternate_stack()) {
        fvcrash_populate_posix_error(error, errno, "Could not initialize alternative signal stack");
        return false;
    }
    // The previous actions end the chain, once whatever the number of signals.
    if (!gPreviousEntry.load()) {
        auto* entry = new fvcrash_signal_entry{fvcrash_signal_previous_action_callback, nullptr};
        fvcrash_signal_callbacks()->append(entry);
        gPreviousEntry.store(entry);
    }
    auto* previous = fvcrash_signal_previous_actions();
    for (auto* node = previous->next(nullptr); node; node = previous->next(node))
        if (node->value->signo == signo) return true;

    auto* record = new fvcrash_previous_action{};
    record->signo = signo;
    struct sigaction action {};
    action.sa_sigaction = fvcrash_signal_handler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    if (sigaction(signo, &action, &record->action) != 0) {
        const int saved = errno;
        delete record;
        fvcrash_populate_posix_error(error, saved, "Failed to register signal handler");
        return false;
    }
    // Re-registering after a reset: what was there before us is still the
    // action to fall back to, never our own handler.
    if ((record->action.sa_flags & SA_SIGINFO) &&
        record->action.sa_sigaction == fvcrash_signal_handler) {
        record->action = {};
        record->action.sa_handler = SIG_DFL;
    }
    previous->append(record);
    return true;
}

bool FVCrashSignalHandler::registerHandlerForSignal(int signo, fvcrash_signal_callback callback,
                                                    void* context, platform::Error* error) {
    if (!registerHandlerWithSignal(signo, error)) return false;
    std::lock_guard lock(gRegistration);
    fvcrash_signal_callbacks()->prepend(new fvcrash_signal_entry{callback, context});
    return true;
}
