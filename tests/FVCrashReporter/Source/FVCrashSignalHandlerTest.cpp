#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "FVCrashReporter/Source/FVCrashSignalHandler.h"
#include "FVCrashReporter/Source/crash/FVCrashLogWriter.h"
#include "FVCrashReporter/Source/crash/FVCrashSuspend.h"

// Every case changes process-wide signal state, so each runs in a child.
namespace {

int gPlainCalls = 0;
// Unmapped but not null, so no sanitizer check stands before the fault.
int* volatile gUnmapped = reinterpret_cast<int*>(uintptr_t{16});
void plainHandler(int) { ++gPlainCalls; }

bool notHandled(int, siginfo_t*, ucontext_t*, void*, const fvcrash_signal_next*) { return false; }
bool handled(int, siginfo_t*, ucontext_t*, void*, const fvcrash_signal_next*) { return true; }
bool passOn(int signo, siginfo_t* info, ucontext_t* context, void* calls,
            const fvcrash_signal_next* next) {
    ++*static_cast<int*>(calls);
    return FVCrashSignalHandlerForward(next, signo, info, context);
}

void registerOrDie(int signo, fvcrash_signal_callback callback, void* context = nullptr) {
    platform::Error error;
    if (!FVCrashSignalHandler::sharedHandler().registerHandlerForSignal(signo, callback, context,
                                                                        &error))
        _exit(90);
}

using FVCrashSignalHandlerDeathTest = testing::Test;

TEST_F(FVCrashSignalHandlerDeathTest, RegisteringTwiceInstallsOnceAndChainsToThePrevious) {
    EXPECT_EXIT(
        {
            signal(SIGUSR1, plainHandler);
            int calls = 0;
            // Six signals registered: the plain handler still runs once per signal.
            for (int signo : {SIGUSR1, SIGUSR1, SIGUSR2, SIGHUP, SIGALRM, SIGPIPE})
                registerOrDie(signo, passOn, &calls);
            struct sigaction now {};
            sigaction(SIGUSR1, nullptr, &now);
            if (now.sa_sigaction != fvcrash_signal_handler || !(now.sa_flags & SA_ONSTACK))
                _exit(2);
            raise(SIGUSR1);
            _exit(gPlainCalls == 1 && calls == 6 ? 0 : 3);
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(FVCrashSignalHandlerDeathTest, OutcomesOfTheChain) {
    // Nothing handles it: the process dies by the signal, not in a loop.
    EXPECT_EXIT(
        {
            signal(SIGSEGV, SIG_DFL);  // no sanitizer handler before ours
            registerOrDie(SIGSEGV, notHandled);
            *gUnmapped = 1;
            _exit(0);
        },
        testing::KilledBySignal(SIGSEGV), "");
    // A previous SIG_IGN counts as handled.
    EXPECT_EXIT(
        {
            signal(SIGUSR2, SIG_IGN);
            int calls = 0;
            registerOrDie(SIGUSR2, passOn, &calls);
            raise(SIGUSR2);
            _exit(calls == 1 ? 0 : 4);
        },
        testing::ExitedWithCode(0), "");
    // A handling callback stops the chain.
    EXPECT_EXIT(
        {
            registerOrDie(SIGUSR1, handled);
            raise(SIGUSR1);
            _exit(0);
        },
        testing::ExitedWithCode(0), "");
    // After a reset the handler stays installed, yet a crash still ends the process.
    EXPECT_EXIT(
        {
            signal(SIGSEGV, SIG_DFL);
            registerOrDie(SIGSEGV, handled);
            FVCrashSignalHandler::resetHandlers();
            *gUnmapped = 1;
            _exit(0);
        },
        testing::KilledBySignal(SIGSEGV), "");
}

fvcrash_log_writer gWriter;

bool writeAReport(int signo, siginfo_t* info, ucontext_t* context, void*,
                  const fvcrash_signal_next*) {
    fvcrash_thread_state state;
    fvcrash_thread_state_from_mcontext(&state, &context->uc_mcontext);
    fvcrash_signal_info signal{};
    signal.bsd = {signo, info->si_code, 0};
    const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    fvcrash_outfile file;
    fvcrash_outfile_init(&file, fd, FVCRASH_REPORT_FILE_LIMIT);
    fvcrash_writer_write_report(&gWriter, fvcrash_current_thread(), fvcrash_shared_image_list(),
                                &file, &signal, &state);
    fvcrash_outfile_close(&file);
    return true;
}

TEST_F(FVCrashSignalHandlerDeathTest, AReportFitsTheAlternateStackWithRoomToSpare) {
    EXPECT_EXIT(
        {
            fvcrash_writer_setup(&gWriter, "id", "1", nullptr, 1, false);
            fvcrash_image_list_sync_loaded(fvcrash_shared_image_list());
            fvcrash_suspend_install();
            stack_t none{};
            none.ss_flags = SS_DISABLE;
            sigaltstack(&none, nullptr);  // a sanitizer's own stack would be used instead
            registerOrDie(SIGUSR1, writeAReport);
            raise(SIGUSR1);
            const size_t used = fvcrash_alternate_stack_high_water();
            if (used <= 1024 || used >= 48 * 1024) {
                fprintf(stderr, "used %zu\n", used);
                _exit(5);
            }
            _exit(0);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
