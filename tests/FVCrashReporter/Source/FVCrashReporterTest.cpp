#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>

#include "FVCrashReporter/Source/FVCrashReport.h"
#include "FVCrashReporter/Source/FVCrashReporter.h"
#include "FVCrashReporter/Source/crash/FVCrashAsync.h"
#include "Platform/System/Paths.h"
#include "VTErrorCreationLib/VTFVCrashReporting.h"
#include "support/TempDir.h"
#include "support/UnprivilegedChild.h"

// Exported, so that the report can name the caller's own frame.
__attribute__((noinline)) std::optional<platform::Data> fvcrashLiveReportProbe(
    FVCrashReporter* reporter, platform::Error* error) {
    auto data = reporter->generateLiveReport(error);
    asm volatile("");
    return data;
}

namespace {

using testsupport::TempDir;

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Waits for the child; one that has not ended after a minute is hung: it is
// killed and the wait fails.
bool waitGuarded(pid_t child, int* status) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        const pid_t done = waitpid(child, status, WNOHANG);
        if (done == child) return true;
        if (done < 0) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(child, SIGKILL);
    waitpid(child, status, 0);
    return false;
}

bool hasSymbol(const Fvcrash__CrashReport__Thread* thread, const char* name) {
    for (size_t f = 0; f < thread->n_frames; ++f)
        if (thread->frames[f]->symbol && std::strstr(thread->frames[f]->symbol->name, name))
            return true;
    return false;
}

#ifdef FVCRASH_CRASHME
// Runs the crashing program in `mode`, its reports into `folder`: its
// process id, or -1 when it could not start or hung.
pid_t runCrashme(const char* mode, const std::string& folder, int* status) {
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        // Under the sanitizers the crash must reach our handler.
        setenv("ASAN_OPTIONS",
               "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0:"
               "detect_leaks=0:use_sigaltstack=0",
               1);
        setenv("UBSAN_OPTIONS", "halt_on_error=0:print_stacktrace=0", 1);
        execl(FVCRASH_CRASHME, FVCRASH_CRASHME, mode, folder.c_str(), nullptr);
        _exit(127);
    }
    return waitGuarded(child, status) ? child : -1;
}
#endif

#ifdef FVCRASH_CRASHME
TEST(FVCrashReporterCrash, EachCrashEndsByItsSignalWithOneDecodableReport) {
    struct Case {
        const char* mode;
        int signo;
        const char* signal;
        const char* function;  // named among the crashed thread's frames
        size_t minThreads;
        const char* exception;
    } cases[] = {
        {"null", SIGSEGV, "SIGSEGV", "crashme_null_store", 1, nullptr},
        {"abort", SIGABRT, "SIGABRT", "crashme_abort_at_end", 1, nullptr},
        {"runtime_error", SIGABRT, "SIGABRT", "main", 1, "runtime_error"},
        {"exception", SIGABRT, "SIGABRT", "main", 1, "NSInvalidArgumentException"},
        {"divide", SIGFPE, "SIGFPE", "crashme_divide", 1, nullptr},
        {"ud2", SIGILL, "SIGILL", "crashme_ud2", 1, nullptr},
        {"int3", SIGTRAP, "SIGTRAP", "crashme_int3", 1, nullptr},
        {"bus", SIGBUS, "SIGBUS", "crashme_bus", 1, nullptr},
        {"overflow", SIGSEGV, "SIGSEGV", "crashme_recurse", 1, nullptr},
        {"queue_overflow", SIGSEGV, "SIGSEGV", "crashme_recurse", 2, nullptr},
        {"thread13", SIGSEGV, "SIGSEGV", "crashme_thread_crash", 21, nullptr},
        {"two", SIGSEGV, "SIGSEGV", "crashme_thread_crash", 21, nullptr},
        {"loader_lock", SIGSEGV, "SIGSEGV", "crashme_null_store", 2, nullptr},
        {"stderr_lock", SIGSEGV, "SIGSEGV", "crashme_null_store", 2, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        TempDir dir;
        int status = 0;
        const pid_t child = runCrashme(c.mode, dir.path().string(), &status);
        ASSERT_GT(child, 0) << "the crash did not end the process";
        ASSERT_TRUE(WIFSIGNALED(status)) << status;
        EXPECT_EQ(WTERMSIG(status), c.signo);

        const auto bytes = readFile(dir.file("live_report.fvcrash"));
        platform::Error error;
        auto report = FVCrashReport::initWithData(bytes.data(), bytes.size(), &error);
        ASSERT_TRUE(report) << error.localizedDescription();
        const auto& m = report->message();
        EXPECT_STREQ(m.signal->name, c.signal);
        EXPECT_EQ(m.process_info->process_id, static_cast<uint32_t>(child));
        EXPECT_GE(m.n_threads, c.minThreads);
        size_t crashed = 0;
        for (size_t i = 0; i < m.n_threads; ++i) {
            if (!m.threads[i]->crashed) continue;
            ++crashed;
            EXPECT_GE(m.threads[i]->n_registers, 17u);
            EXPECT_TRUE(hasSymbol(m.threads[i], c.function)) << c.function;
        }
        EXPECT_EQ(crashed, 1u);
        if (c.exception) {
            ASSERT_TRUE(m.exception);
            EXPECT_TRUE(std::strstr(m.exception->name, c.exception)) << m.exception->name;
        }
        bool executableWithBuildId = false;
        for (size_t i = 0; i < m.n_binary_images; ++i)
            if (std::strstr(m.binary_images[i]->name, "fvcrash_crashme"))
                executableWithBuildId = m.binary_images[i]->has_uuid;
        EXPECT_TRUE(executableWithBuildId);
    }
}

// The report folder is shared (sticky, everyone writes, like the error
// library's crash dumps). Whatever another user put at the report's name
// before the crash, root's crash writes a new file of its own, and the file
// that was there, or the one a hard link there names, keeps its bytes.
TEST(FVCrashReporterCrash, ARootCrashNeverWritesIntoWhatAnotherUserPutAtTheReportsName) {
    if (geteuid() != 0) GTEST_SKIP() << "the other user is played by a child at uid 65534";
    struct Case {
        const char* what;
        bool hardLink;  // else a file of the other user's own
    } cases[] = {{"another user's file", false}, {"a hard link to a file root may write", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string dumps = dir.file("CrashDumps");
        ASSERT_EQ(mkdir(dumps.c_str(), 0700), 0);
        ASSERT_EQ(chmod(dumps.c_str(), 01777), 0);
        testsupport::letOthersEnter(dir.path(), dumps);
        const std::string report = dumps + "/live_report.fvcrash";
        if (c.hardLink) {
            // What the other user could do where fs.protected_hardlinks is 0.
            const std::string precious = dir.write("precious", "root's own bytes");
            ASSERT_EQ(link(precious.c_str(), report.c_str()), 0);
        } else {
            ASSERT_EQ(testsupport::runUnprivileged([&] {
                          const int fd = open(report.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
                          return fd >= 0 && write(fd, "planted", 7) == 7 ? 0 : 1;
                      }),
                      0);
        }
        // The planted file itself, held to look at afterwards.
        const int planted = open(report.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(planted, 0);
        struct stat before {};
        ASSERT_EQ(fstat(planted, &before), 0);

        int status = 0;
        ASSERT_GT(runCrashme("null", dumps, &status), 0) << "the crash did not end the process";
        ASSERT_TRUE(WIFSIGNALED(status)) << status;

        struct stat written {};
        ASSERT_EQ(lstat(report.c_str(), &written), 0);
        EXPECT_TRUE(S_ISREG(written.st_mode));
        EXPECT_EQ(written.st_uid, 0u);
        EXPECT_EQ(written.st_nlink, 1u);
        EXPECT_NE(written.st_ino, before.st_ino) << "a new file, not the one that was there";
        const auto bytes = readFile(report);
        EXPECT_TRUE(FVCrashReport::initWithData(bytes.data(), bytes.size(), nullptr));

        struct stat after {};
        ASSERT_EQ(fstat(planted, &after), 0);
        EXPECT_EQ(after.st_size, before.st_size);
        EXPECT_EQ(after.st_uid, before.st_uid);
        char text[64] = {};
        EXPECT_EQ(pread(planted, text, sizeof text - 1, 0), before.st_size);
        EXPECT_STREQ(text, c.hardLink ? "root's own bytes" : "planted");
        close(planted);
    }
}
#endif

// Enabling is once per process, so these cases run in children.
using FVCrashReporterDeathTest = testing::Test;

TEST_F(FVCrashReporterDeathTest, EnablingTwiceIsBusyEvenAfterAFailure) {
    EXPECT_EXIT(
        {
            TempDir dir;
            const std::string blocker = dir.write("file", "x");
            auto config = std::make_shared<FVCrashReporterConfig>(1, 1, blocker + "/nested");
            platform::Paths::setHomeDirectory(blocker);  // the Caches rule lands under a file
            auto first =
                FVCrashReporter::initWithApplicationIdentifier("a/b", "1", std::nullopt, config);
            platform::Error error;
            if (first->enableCrashReporter(&error)) _exit(2);
            auto second =
                FVCrashReporter::initWithApplicationIdentifier("a", "1", std::nullopt, nullptr);
            if (second->enableCrashReporter(&error) || error.code() != 3) _exit(3);
            _exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(FVCrashReporterShared, OneReporterForEveryThreadWithTheDefaultConfiguration) {
    std::vector<std::shared_ptr<FVCrashReporter>> seen(8);
    std::vector<std::thread> threads;
    for (auto& slot : seen)
        threads.emplace_back([&slot] { slot = FVCrashReporter::sharedReporter(); });
    for (auto& t : threads) t.join();
    ASSERT_TRUE(seen[0]);
    for (const auto& reporter : seen) EXPECT_EQ(reporter, seen[0]);
    EXPECT_EQ(FVCrashReporter::sharedReporter(), seen[0]);
    const auto& config = seen[0]->configuration();
    ASSERT_TRUE(config);
    EXPECT_EQ(config->signalHandlerType(), 0u);
    EXPECT_EQ(config->symbolicationStrategy(), 0u);
    EXPECT_FALSE(config->configurationPath());
}

TEST(FVCrashReporterDirectory, ConfigurationFolderOrCachesRule) {
    TempDir dir;
    platform::Paths::setRoot(dir.path().string());
    auto used = FVCrashReporter::initWithApplicationIdentifier(
        "x", "1", std::nullopt, std::make_shared<FVCrashReporterConfig>(0, 0, dir.path().string()));
    EXPECT_EQ(used->crashReportDirectory(), dir.path().string());
    EXPECT_EQ(used->crashReportPath(), dir.file("live_report.fvcrash"));
    const std::string file = dir.write("plain", "x");
    for (const std::string& path : {file, dir.file("missing")}) {
        auto fallback = FVCrashReporter::initWithApplicationIdentifier(
            "a/b", "1", std::nullopt, std::make_shared<FVCrashReporterConfig>(0, 0, path));
        EXPECT_EQ(fallback->crashReportDirectory(), platform::Paths::userLibrary("Caches") +
                                                        "/com.tamberwick.crashreporter.data/a_b");
        EXPECT_EQ(fallback->queuedCrashReportDirectory(),
                  fallback->crashReportDirectory() + "/queued_reports");
        ASSERT_TRUE(fallback->populateCrashReportDirectory(nullptr));
        struct stat st {};
        ASSERT_EQ(stat(fallback->crashReportDirectory().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0755u);
    }
    platform::Paths::reset();
}

TEST(FVCrashReporterClient, TheClientsReporterWritesIntoTheCrashDumpFolder) {
    TempDir dir;
    auto make = VTFVCrashReporting::factory();
    auto reporter = make(dir.path().string());
    ASSERT_TRUE(reporter);
    EXPECT_EQ(reporter->crashReportPath(), dir.file("live_report.fvcrash"));
    auto live = reporter->generateLiveReport();
    ASSERT_TRUE(live);
    auto report = FVCrashReport::initWithData(live->data(), live->size(), nullptr);
    ASSERT_TRUE(report);
    EXPECT_TRUE(report->message().report_info->user_requested);
}

TEST(FVCrashReporterMach, ExceptionServerIsNotSupported) {
    auto reporter = FVCrashReporter::initWithApplicationIdentifier("x", "1", std::nullopt, nullptr);
    platform::Error error;
    EXPECT_FALSE(reporter->enableMachExceptionServer(&error));
    EXPECT_EQ(error.code(), 1);
    ASSERT_TRUE(error.underlyingError());
    EXPECT_EQ(error.underlyingError()->code(), ENOTSUP);
}

TEST(FVCrashReporterLive, ReportsOfTheCallerAndOfABlockedThread) {
    TempDir dir;
    platform::Paths::setRoot(dir.path().string());
    std::filesystem::create_directories(platform::Paths::temporaryDirectory());
    auto reporter = FVCrashReporter::initWithApplicationIdentifier(
        "live", "1", std::nullopt,
        std::make_shared<FVCrashReporterConfig>(0, 1, dir.path().string()));
    std::atomic<pid_t> sleeper{0};
    std::thread blocked([&] {
        sleeper = fvcrash_current_thread();
        // A blocking call the report is made during: interrupted, then resumed.
        for (int i = 0; i < 50 && sleeper.load() != -1; ++i) usleep(20000);
    });
    while (!sleeper) std::this_thread::yield();

    platform::Error error;
    auto own = fvcrashLiveReportProbe(reporter.get(), &error);
    ASSERT_TRUE(own) << error.localizedDescription();
    auto report = FVCrashReport::initWithData(own->data(), own->size(), &error);
    ASSERT_TRUE(report) << error.localizedDescription();
    const auto& m = report->message();
    EXPECT_TRUE(m.report_info->user_requested);
    EXPECT_STREQ(m.signal->name, "SIGTRAP");
    EXPECT_STREQ(m.signal->code, "TRAP_TRACE");
    EXPECT_GE(m.n_threads, 2u);
    bool callerNamed = false;
    for (size_t i = 0; i < m.n_threads; ++i)
        if (m.threads[i]->crashed) callerNamed = hasSymbol(m.threads[i], "fvcrashLiveReportProbe");
    EXPECT_TRUE(callerNamed) << "the test's own frame is exported";

    auto other = reporter->generateLiveReportWithThread(sleeper.load(), &error);
    ASSERT_TRUE(other) << error.localizedDescription();
    auto otherReport = FVCrashReport::initWithData(other->data(), other->size(), &error);
    ASSERT_TRUE(otherReport);
    bool sleeperFrames = false;
    for (size_t i = 0; i < otherReport->message().n_threads; ++i) {
        const auto* t = otherReport->message().threads[i];
        if (t->crashed) sleeperFrames = t->n_frames >= 2 && hasSymbol(t, "sleep");
    }
    EXPECT_TRUE(sleeperFrames) << "the blocked thread is seen inside its sleep";

    // Two reports at once from two threads both succeed.
    std::optional<platform::Data> a, b;
    std::thread ta([&] { a = reporter->generateLiveReport(nullptr); });
    std::thread tb([&] { b = reporter->generateLiveReport(nullptr); });
    ta.join();
    tb.join();
    EXPECT_TRUE(a && FVCrashReport::initWithData(a->data(), a->size(), nullptr));
    EXPECT_TRUE(b && FVCrashReport::initWithData(b->data(), b->size(), nullptr));

    sleeper = -1;
    blocked.join();
    std::error_code ec;
    size_t leftovers = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(platform::Paths::temporaryDirectory(), ec))
        if (entry.path().filename().string().rfind("live_crash_report.", 0) == 0) ++leftovers;
    EXPECT_EQ(leftovers, 0u);
    platform::Paths::reset();
}

TEST_F(FVCrashReporterDeathTest, CallbacksAfterEnablingRaise) {
    EXPECT_EXIT(
        {
            TempDir dir;
            auto config = std::make_shared<FVCrashReporterConfig>(9, 0, dir.path().string());
            auto reporter =
                FVCrashReporter::initWithApplicationIdentifier("cb", "1", std::nullopt, config);
            FVCrashReporterCallbacks callbacks;
            callbacks.version = 0;
            callbacks.context = nullptr;
            callbacks.handleSignal = nullptr;
            reporter->setCrashCallbacks(callbacks);
            if (!reporter->enableCrashReporter(nullptr)) _exit(2);
            try {
                reporter->setCrashCallbacks(callbacks);
            } catch (const platform::Exception& e) {
                _exit(e.name() == FVCrashReporterException ? 0 : 3);
            }
            _exit(4);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
