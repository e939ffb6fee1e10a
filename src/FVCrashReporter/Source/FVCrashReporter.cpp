#include "FVCrashReporter/Source/FVCrashReporter.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "FVCrashReporter/Source/FVCrashLog.h"
#include "FVCrashReporter/Source/FVCrashReporterError.h"
#include "FVCrashReporter/Source/FVCrashSignalHandler.h"
#include "FVCrashReporter/Source/crash/FVCrashContext.h"
#include "FVCrashReporter/Source/crash/FVCrashSuspend.h"
#include "Platform/Dispatch/ThreadName.h"
#include "Platform/System/Bundle.h"
#include "Platform/System/Paths.h"
#include "Platform/System/SharedFolder.h"
#include "Platform/System/UniqueFd.h"

namespace {

constexpr const char* kLiveReportName = "live_report.fvcrash";

std::atomic<bool> gEnabledOnce{false};
std::atomic<bool> gUncaughtHandlerArmed{false};
std::atomic<bool> gUncaughtTaken{false};

std::string joinPath(const std::string& a, const std::string& b) {
    if (a.empty() || a.back() == '/') return a + b;
    return a + "/" + b;
}

bool isDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void threadStartHook() { fvcrash_ensure_alternate_stack(); }

std::optional<std::string> infoString(const platform::Bundle& bundle, const char* key) {
    platform::Value value = bundle.objectForInfoDictionaryKey(key);
    if (const std::string* text = value.asString()) return *text;
    return std::nullopt;
}

}  // namespace

void fvcrash_refresh_image_list() { fvcrash_image_list_sync_loaded(fvcrash_shared_image_list()); }

std::shared_ptr<FVCrashReporterConfig> FVCrashReporterConfig::defaultConfiguration() {
    return std::make_shared<FVCrashReporterConfig>();
}

std::shared_ptr<FVCrashReporter> FVCrashReporter::initWithApplicationIdentifier(
    const std::string& identifier, const std::string& version,
    const std::optional<std::string>& marketingVersion,
    std::shared_ptr<FVCrashReporterConfig> configuration) {
    std::shared_ptr<FVCrashReporter> reporter(new FVCrashReporter());
    reporter->config_ =
        configuration ? std::move(configuration) : FVCrashReporterConfig::defaultConfiguration();
    reporter->identifier_ = identifier;
    reporter->version_ = version;
    reporter->marketingVersion_ = marketingVersion;
    const auto& path = reporter->config_->configurationPath();
    if (path && isDirectory(*path)) {
        reporter->directory_ = *path;
    } else {
        std::string folder = identifier;
        std::replace(folder.begin(), folder.end(), '/', '_');
        reporter->directory_ = joinPath(
            joinPath(platform::Paths::userLibrary("Caches"), "com.tamberwick.crashreporter.data"),
            folder);
    }
    return reporter;
}

std::shared_ptr<FVCrashReporter> FVCrashReporter::sharedReporter() {
    static std::mutex mutex;
    static std::shared_ptr<FVCrashReporter> shared;
    // A configuration that throws leaves it unmade, to be tried again.
    std::lock_guard lock(mutex);
    if (!shared) shared = initWithConfiguration(FVCrashReporterConfig::defaultConfiguration());
    return shared;
}

std::shared_ptr<FVCrashReporter> FVCrashReporter::initWithConfiguration(
    std::shared_ptr<FVCrashReporterConfig> configuration) {
    auto bundle = platform::Bundle::mainBundle();
    std::string identifier = bundle ? bundle->bundleIdentifier() : std::string();
    if (identifier.empty()) {
        const char* name = program_invocation_short_name;
        if (!name || !*name)
            throw platform::Exception(FVCrashReporterException,
                                      "Can not determine process identifier or process name");
        FVCrashLog(LOG_WARNING,
                   "[FVCrashReporter] Warning -- bundle identifier, using process name %s", name);
        identifier = name;
    }
    std::optional<std::string> version =
        bundle ? infoString(*bundle, "CFBundleVersion") : std::nullopt;
    if (!version) {
        FVCrashLog(LOG_WARNING, "[FVCrashReporter] Warning -- bundle version unavailable");
        version = "";
    }
    return initWithApplicationIdentifier(
        identifier, *version,
        bundle ? infoString(*bundle, "CFBundleShortVersionString") : std::nullopt,
        std::move(configuration));
}

std::string FVCrashReporter::queuedCrashReportDirectory() const {
    return joinPath(directory_, "queued_reports");
}

std::string FVCrashReporter::crashReportPath() const {
    return joinPath(directory_, kLiveReportName);
}

bool FVCrashReporter::hasPendingCrashReport() const {
    auto folder =
        platform::SharedFolder::open(directory_, platform::SharedFolder::Trust::Any, nullptr);
    struct stat st {};
    return folder && folder->statEntry(kLiveReportName, &st);
}

std::optional<platform::Data> FVCrashReporter::loadPendingCrashReportData(
    platform::Error* error) const {
    // The folder may be one that other users write to: the report is read
    // below it, by descriptor, and only as a regular file, never through a
    // link put in its place.
    auto folder =
        platform::SharedFolder::open(directory_, platform::SharedFolder::Trust::Any, nullptr);
    platform::Data data;
    if (!folder || !folder->readFile(kLiveReportName, data)) {
        if (error) *error = platform::Error::posix(errno ? errno : ENOENT);
        return std::nullopt;
    }
    return data;
}

bool FVCrashReporter::purgePendingCrashReport(platform::Error* error) const {
    auto folder =
        platform::SharedFolder::open(directory_, platform::SharedFolder::Trust::Any, nullptr);
    if (folder && folder->removeFile(kLiveReportName)) return true;
    if (error) *error = platform::Error::posix(errno ? errno : ENOENT);
    return false;
}

std::optional<platform::SharedFolder> FVCrashReporter::openCrashReportDirectory(
    platform::Error* error) const {
    // Made by descriptor, its mode set on the folder made: the folder may
    // lie in one that other users write to (the error library's crash
    // dumps), where a path could be redirected between two calls. A root
    // run takes it only when no other user could swap it.
    platform::Error failure;
    if (auto folder = platform::SharedFolder::make(directory_, 0755, &failure)) return folder;
    if (error) *error = platform::Error::posix(platform::SharedFolder::errorCode(failure));
    return std::nullopt;
}

bool FVCrashReporter::populateCrashReportDirectory(platform::Error* error) const {
    return openCrashReportDirectory(error).has_value();
}

bool FVCrashReporter::enableCrashReporter(platform::Error* error) {
    if (gEnabledOnce.exchange(true)) {
        fvcrash_populate_error(error, FVCrashReporterErrorResourceBusy,
                               "A FVCrashReporter instance has already been enabled", nullptr);
        return false;
    }
    if (enabled_)
        throw platform::Exception(FVCrashReporterException,
                                  "The crash reporter has alread been enabled");
    auto folder = openCrashReportDirectory(error);
    if (!folder) return false;

    // The crash writes below the folder opened now: kept open for the life
    // of the process, as the crash context refers to it.
    fvcrash_crash_context* ctx = fvcrash_crash_context_shared();
    const int held = ::fcntl(folder->fd(), F_DUPFD_CLOEXEC, 0);
    if (held < 0) {
        fvcrash_populate_posix_error(error, errno, "Failed to register signal handler");
        return false;
    }
    static_assert(sizeof ctx->report_name > std::char_traits<char>::length(kLiveReportName));
    std::memcpy(ctx->report_name, kLiveReportName, std::strlen(kLiveReportName) + 1);
    if (ctx->report_folder >= 0) ::close(ctx->report_folder);
    ctx->report_folder = held;
    fvcrash_writer_setup(&ctx->writer, identifier_.c_str(), version_.c_str(),
                         marketingVersion_ ? marketingVersion_->c_str() : nullptr,
                         mapToAsyncSymbolicationStrategy(config_->symbolicationStrategy()), false);
    fvcrash_refresh_image_list();
    fvcrash_suspend_install();

    const unsigned type = config_->signalHandlerType();
    if (type == 0 || type == 1) {
        for (int signo : FVCRASH_MONITORED_SIGNALS) {
            if (!FVCrashSignalHandler::sharedHandler().registerHandlerForSignal(
                    signo, fvcrash_reporter_signal_callback, ctx, error))
                return false;
        }
        platform::setThreadStartHook(threadStartHook);
    }
    enableUncaughtExceptionHandler();
    enabled_ = true;
    // Kept for the life of the process, as the crash context refers to it.
    static std::shared_ptr<FVCrashReporter> keep;
    keep = shared_from_this();
    return true;
}

bool FVCrashReporter::enableMachExceptionServer(platform::Error* error) {
    fvcrash_populate_posix_error(error, ENOTSUP,
                                 "Failed to instantiate the Mach exception server.");
    return false;
}

void FVCrashReporter::setCrashCallbacks(const FVCrashReporterCallbacks& callbacks) {
    if (enabled_)
        throw platform::Exception(FVCrashReporterException,
                                  "The crash reporter has alread been enabled");
    if (callbacks.version != 0) abort();
    fvcrash_crash_context* ctx = fvcrash_crash_context_shared();
    ctx->post_crash_context.store(callbacks.context, std::memory_order_release);
    ctx->post_crash.store(callbacks.handleSignal, std::memory_order_release);
}

void FVCrashReporter::enableUncaughtExceptionHandler() { gUncaughtHandlerArmed.store(true); }

void FVCrashReporter::handleUncaughtException(const platform::Exception& exception) {
    if (!gUncaughtHandlerArmed.load()) return;
    if (!gUncaughtTaken.exchange(true)) {
        const auto& addresses = exception.callStackReturnAddresses();
        std::vector<uint64_t> frames(addresses.begin(), addresses.end());
        fvcrash_log_writer_set_exception(&fvcrash_crash_context_shared()->writer,
                                         exception.name().c_str(), exception.reason().c_str(),
                                         frames.data(), frames.size());
    }
    abort();
}

namespace {

struct LiveWrite {
    int fd;
    fvcrash_log_writer* writer;
    fvcrash_signal_info* signal;
    fvcrash_status status;
};

fvcrash_status writeWithCurrent(fvcrash_thread_state* state, void* context) {
    auto* live = static_cast<LiveWrite*>(context);
    live->status = fvcrash_write_report_fd(live->fd, live->writer, fvcrash_current_thread(),
                                           live->signal, state);
    return live->status;
}

// The whole of the open file `fd`, read from its start.
std::optional<platform::Data> readBack(int fd) {
    platform::Data data;
    std::uint8_t buffer[65536];
    for (off_t offset = 0;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) return data;
        data.insert(data.end(), buffer, buffer + n);
        offset += n;
    }
}

}  // namespace

std::optional<platform::Data> FVCrashReporter::generateLiveReportWithThread(
    pid_t thread, platform::Error* error) {
    std::string pattern =
        joinPath(platform::Paths::temporaryDirectory(), "live_crash_report.XXXXXX");
    std::vector<char> path(pattern.begin(), pattern.end());
    path.push_back('\0');
    // Written and read back through the descriptor made here, its name gone
    // at once: the temporary folder may be one others write to, where the
    // name could lead to another file by the time it is opened again.
    platform::UniqueFd file(mkostemp(path.data(), O_CLOEXEC));
    if (!file) {
        fvcrash_populate_posix_error(error, errno, "Failed to create temporary path");
        return std::nullopt;
    }
    if (unlink(path.data()) != 0)
        FVCrashLog(LOG_ERR, "Failure occured deleting live crash report: %s", strerror(errno));

    fvcrash_log_writer writer;
    fvcrash_writer_setup(&writer, identifier_.c_str(), version_.c_str(),
                         marketingVersion_ ? marketingVersion_->c_str() : nullptr,
                         mapToAsyncSymbolicationStrategy(config_->symbolicationStrategy()), true);
    fvcrash_refresh_image_list();
    fvcrash_suspend_install();

    fvcrash_signal_info signal{};
    signal.bsd.signo = SIGTRAP;
    signal.bsd.code = TRAP_TRACE;
    signal.bsd.address = reinterpret_cast<uint64_t>(__builtin_return_address(0));
    // The writer closes the descriptor it is given.
    LiveWrite live{::fcntl(file.get(), F_DUPFD_CLOEXEC, 0), &writer, &signal, FVCRASH_ESUCCESS};

    fvcrash_capture_gate_enter();
    if (thread == fvcrash_current_thread())
        fvcrash_thread_state_capture_current(writeWithCurrent, &live);
    else
        live.status = fvcrash_write_report_fd(live.fd, &writer, thread, &signal, nullptr);
    fvcrash_capture_gate_leave();

    std::optional<platform::Data> data;
    if (live.status != FVCRASH_ESUCCESS) {
        FVCrashLog(LOG_ERR, "Write failed with error %s", fvcrash_status_text(live.status));
        fvcrash_populate_error(error, FVCrashReporterErrorUnknown,
                               "Failed to write the crash report to disk", nullptr);
    } else {
        data = readBack(file.get());
        if (!data)
            fvcrash_populate_error(error, FVCrashReporterErrorUnknown,
                                   "Unable to open live crash report for reading", nullptr);
    }
    fvcrash_writer_release(&writer);
    return data;
}

std::optional<platform::Data> FVCrashReporter::generateLiveReport(platform::Error* error) {
    return generateLiveReportWithThread(fvcrash_current_thread(), error);
}
