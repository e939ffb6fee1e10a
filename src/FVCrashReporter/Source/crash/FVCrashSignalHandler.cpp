#include "FVCrashReporter/Source/crash/FVCrashSignalHandler.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace {

using CallbackList = fvcrash_async_list<fvcrash_signal_entry*>;
using PreviousList = fvcrash_async_list<fvcrash_previous_action*>;

bool dispatchFrom(CallbackList::node* node, int signo, siginfo_t* info, ucontext_t* context) {
    if (!node) return false;
    fvcrash_signal_entry* entry = node->value;
    fvcrash_signal_next next{entry};
    return entry->callback(signo, info, context, entry->context, &next);
}

CallbackList::node* nodeOf(CallbackList* list, const fvcrash_signal_entry* entry) {
    for (CallbackList::node* node = list->next(nullptr); node; node = list->next(node))
        if (node->value == entry) return node;
    return nullptr;
}

const struct sigaction* previousFor(int signo) {
    PreviousList* list = fvcrash_signal_previous_actions();
    for (PreviousList::node* node = list->next(nullptr); node; node = list->next(node))
        if (node->value->signo == signo) return &node->value->action;
    return nullptr;
}

// The action to die by when nothing handled the signal: the one installed
// before ours, or the default.
void restoreBeforeRaise(int signo) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    const struct sigaction* previous = previousFor(signo);
    if (previous && !(previous->sa_flags & SA_SIGINFO) && previous->sa_handler == SIG_IGN)
        previous = nullptr;  // ignoring a fault would loop on it
    struct sigaction current {};
    sigaction(signo, nullptr, &current);
    if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == fvcrash_signal_handler)
        sigaction(signo, previous ? previous : &fallback, nullptr);
}

}  // namespace

extern "C" void fvcrash_signal_handler(int signo, siginfo_t* info, void* raw) {
    const int savedErrno = errno;
    auto* context = static_cast<ucontext_t*>(raw);
    CallbackList* list = fvcrash_signal_callbacks();
    list->set_reading(true);
    const bool handled = dispatchFrom(list->next(nullptr), signo, info, context);
    list->set_reading(false);
    if (!handled) {
        fvcrash_signal_previous_actions()->set_reading(true);
        restoreBeforeRaise(signo);
        fvcrash_signal_previous_actions()->set_reading(false);
        // To this thread, delivered once the handler returns.
        syscall(SYS_tgkill, syscall(SYS_getpid), syscall(SYS_gettid), signo);
    }
    errno = savedErrno;
}

extern "C" bool FVCrashSignalHandlerForward(const fvcrash_signal_next* next, int signo,
                                            siginfo_t* info, ucontext_t* context) {
    if (!next || !next->entry) return false;
    CallbackList* list = fvcrash_signal_callbacks();
    list->set_reading(true);
    CallbackList::node* node = nodeOf(list, next->entry);
    const bool handled = node && dispatchFrom(list->next(node), signo, info, context);
    list->set_reading(false);
    return handled;
}

bool fvcrash_signal_previous_action_callback(int signo, siginfo_t* info, ucontext_t* context, void*,
                                             const fvcrash_signal_next* next) {
    if (FVCrashSignalHandlerForward(next, signo, info, context)) return true;
    PreviousList* list = fvcrash_signal_previous_actions();
    list->set_reading(true);
    const struct sigaction* previous = previousFor(signo);
    bool handled = false;
    if (previous) {
        if (previous->sa_flags & SA_SIGINFO) {
            if (previous->sa_sigaction && previous->sa_sigaction != fvcrash_signal_handler) {
                previous->sa_sigaction(signo, info, context);
                handled = true;
            }
        } else if (previous->sa_handler == SIG_IGN) {
            handled = true;
        } else if (previous->sa_handler != SIG_DFL) {
            previous->sa_handler(signo);
            handled = true;
        }
    }
    list->set_reading(false);
    return handled;
}
