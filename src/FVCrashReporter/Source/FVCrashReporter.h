// The crash reporter: where a crash leaves its report, enabling capture once
// per process, the uncaught-exception handler and live reports.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <ucontext.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Platform/System/SharedFolder.h"
#include "Platform/Values/Error.h"
#include "Platform/Values/Exception.h"
#include "Platform/Values/Value.h"

class FVCrashReporterConfig {
  public:
    /// Signal handler type 0, no symbols, no configuration path.
    static std::shared_ptr<FVCrashReporterConfig> defaultConfiguration();
    FVCrashReporterConfig(unsigned signalHandlerType = 0, unsigned symbolicationStrategy = 0,
                          std::optional<std::string> configurationPath = std::nullopt)
        : signalHandlerType_(signalHandlerType),
          symbolicationStrategy_(symbolicationStrategy),
          configurationPath_(std::move(configurationPath)) {}
    /// 0 = signals; 1 = exceptions plus SIGABRT (on this system every fault
    /// arrives as a signal, so both register all six); other = none.
    unsigned signalHandlerType() const { return signalHandlerType_; }
    /// Bit 1: symbol tables; bit 2: class metadata.
    unsigned symbolicationStrategy() const { return symbolicationStrategy_; }
    const std::optional<std::string>& configurationPath() const { return configurationPath_; }

  private:
    unsigned signalHandlerType_;
    unsigned symbolicationStrategy_;
    std::optional<std::string> configurationPath_;
};

/// Called after a crash's report is written, on the crashing thread, inside
/// the signal handler.
struct FVCrashReporterCallbacks {
    uint32_t version;  // 0
    void* context;
    void (*handleSignal)(siginfo_t* info, ucontext_t* uap, void* context);
};

inline constexpr const char* FVCrashReporterException = "FVCrashReporterException";

class FVCrashReporter : public std::enable_shared_from_this<FVCrashReporter> {
  public:
    /// The designated initialiser: keeps the values and works out the
    /// report directory.
    static std::shared_ptr<FVCrashReporter> initWithApplicationIdentifier(
        const std::string& identifier, const std::string& version,
        const std::optional<std::string>& marketingVersion,
        std::shared_ptr<FVCrashReporterConfig> configuration);
    /// Identifier and versions from the main bundle (the process name when
    /// it has no identifier). Throws FVCrashReporterException when neither
    /// is known.
    static std::shared_ptr<FVCrashReporter> initWithConfiguration(
        std::shared_ptr<FVCrashReporterConfig> configuration);
    /// The process's shared reporter, made once (thread-safe) from the main
    /// bundle and the default configuration. Throws as initWithConfiguration
    /// does; a later call then tries again.
    static std::shared_ptr<FVCrashReporter> sharedReporter();

    bool hasPendingCrashReport() const;
    std::optional<platform::Data> loadPendingCrashReportData(
        platform::Error* error = nullptr) const;
    bool purgePendingCrashReport(platform::Error* error = nullptr) const;

    /// Once per process: a second call on any instance fails with code 3.
    bool enableCrashReporter(platform::Error* error = nullptr);
    /// A report of the running process made on `thread` (a thread id of this
    /// process), or of the calling thread.
    std::optional<platform::Data> generateLiveReportWithThread(pid_t thread,
                                                               platform::Error* error = nullptr);
    std::optional<platform::Data> generateLiveReport(platform::Error* error = nullptr);
    /// Throws FVCrashReporterException once this instance is enabled.
    void setCrashCallbacks(const FVCrashReporterCallbacks& callbacks);
    /// Always fails here: code 1 around POSIX ENOTSUP.
    bool enableMachExceptionServer(platform::Error* error);

    /// Arms the handler that records an uncaught exception and aborts.
    void enableUncaughtExceptionHandler();
    /// Records the exception (name, reason, return addresses) in the crash
    /// context and aborts; does nothing while the handler is not armed.
    static void handleUncaughtException(const platform::Exception& exception);

    const std::string& crashReportDirectory() const { return directory_; }
    std::string queuedCrashReportDirectory() const;
    std::string crashReportPath() const;
    bool populateCrashReportDirectory(platform::Error* error) const;
    static uint32_t mapToAsyncSymbolicationStrategy(uint32_t strategy) { return strategy & 3; }

    const std::shared_ptr<FVCrashReporterConfig>& configuration() const { return config_; }

  private:
    FVCrashReporter() = default;
    /// Makes (when missing) and opens the report directory, checked as
    /// platform::SharedFolder::make checks it; nullopt with a POSIX error.
    std::optional<platform::SharedFolder> openCrashReportDirectory(platform::Error* error) const;
    bool enabled_ = false;
    std::shared_ptr<FVCrashReporterConfig> config_;
    std::string identifier_;
    std::string version_;
    std::optional<std::string> marketingVersion_;
    std::string directory_;
};

/// Re-reads the list of loaded images (there are no loader callbacks here).
void fvcrash_refresh_image_list();
