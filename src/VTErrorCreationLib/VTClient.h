// The reporting client: the central object of the error-reporting library.
//
// The program makes one at start-up from a configuration, gives it the
// product name and version and calls beginReporting(). The client is then the
// process's current client, through which the plain report functions create
// errors. It decides whether an error may be created at all (the creation
// gate and the automatic throttle), fills the client fields of each new
// error's summary, and watches the configuration file: a rewritten file that
// decodes replaces the configuration.
//
// Every member function may be called from any thread: the configuration,
// the product fields and the throttle's state are guarded by the client's
// lock, and readers take the configuration afresh each time.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/FileWatchSource.h"
#include "Platform/Values/Error.h"
#include "VTErrorCreationLib/VTClientThrottle.h"
#include "VTErrorCreationLib/VTCrashReporting.h"
#include "VTErrorCreationLib/VTErrorClient.h"
#include "VTErrorCreationLib/VTSCDConfiguration.h"
#include "VTErrorCreationLib/VTUUID.h"

class VTErrorInstance;
class VTErrorData;
class VTErrorProperties;
class VTLogicalError;
class VTPanicError;
class VTCrashError;
class VTSettingsClient;

/// Flags of VTClient::cleanup.
enum VTCleanupFlags : std::uint64_t {
    kVTCleanupErrorFolders = 1,  // the crash-dump, undetailed and detailed error folders
    kVTCleanupSettings = 2,      // the settings file
    kVTCleanupBasePath = 8,      // the whole base folder
};

class VTClient : public VTErrorClient, public std::enable_shared_from_this<VTClient> {
  public:
    using ConfigurationChangeCallback =
        std::function<void(std::shared_ptr<const VTSCDConfiguration>)>;

    /// The process's current client (the one made last), or null.
    static std::shared_ptr<VTClient> currentClient();
    /// Forgets the current client (tests).
    static void clearCurrentClientForTesting();

    /// A new in-process client on `configuration`, which becomes the current
    /// client. Never fails (the out-parameter is not filled).
    static std::shared_ptr<VTClient> embeddedClientWithConfig(VTSCDConfiguration configuration,
                                                              platform::Error* error);
    /// The same with isEmbedded() false.
    static std::shared_ptr<VTClient> clientWithConfig(VTSCDConfiguration configuration,
                                                      platform::Error* error);
    /// A client on the configuration installed in the library's silo folder
    /// (that folder is the base directory); null with the configuration's
    /// error when it cannot be read.
    static std::shared_ptr<VTClient> clientWithInstalledConfiguration(platform::Error* error);

    /// Installs the maker of crash reporters used by clients made afterwards
    /// whose configuration enables crash dumps; null removes it.
    static void setCrashReporterFactory(VTCrashReportingFactory factory);

    ~VTClient() override;
    VTClient(const VTClient&) = delete;
    VTClient& operator=(const VTClient&) = delete;

    // --- Crash capture ----------------------------------------------------

    /// Starts crash capture. Without a crash reporter: false and VTErrorDomain
    /// 5000 "Not configured with crash reporting". With one and a debugger
    /// attached: true, enabling nothing. Otherwise the reporter's answer.
    bool beginReporting(platform::Error* error);
    /// Installs the crash reporter's uncaught-exception handler; nothing
    /// without a crash reporter.
    void enableUncaughtExceptionHandler();
    /// A live crash report of this process, or nothing without a crash reporter.
    std::optional<platform::Data> liveDump();
    /// Whether a debugger traces this process.
    static bool isDebuggerAttached();

    // --- Throttle -----------------------------------------------------------

    /// Whether an error made now would be refused by the automatic throttle.
    bool autoThrottled() const;
    /// Stored only; autoThrottled() computes its answer.
    void setAutoThrottled(bool value);
    /// False when throttled; otherwise records now as the time of the last
    /// error and answers true.
    bool shouldCreateError();

    // --- Errors ---------------------------------------------------------------

    /// Fills what `summary` lacks: product name and version, and the machine
    /// identifiers when the client's are texts that parse as UUIDs.
    void addClientInformationToErrorSummary(VTErrorProperties& summary) const;

    /// A new logical error in `component` at `address` (or located by
    /// `backtrace`, innermost first), after the creation gate and the
    /// throttle. A refusal gives null and leaves `error` untouched; a failure
    /// of the error itself gives null and VTErrorDomain 5004 (logical errors
    /// disabled) or 5010 (no component).
    std::shared_ptr<VTLogicalError> createLogicalErrorInComponent(
        const char* component, const void* address, std::int32_t failureIdentifierCode,
        std::int32_t severity, bool addDump, platform::Error* error);
    std::shared_ptr<VTLogicalError> createLogicalErrorInComponent(
        const char* component, const std::vector<std::uintptr_t>& backtrace,
        std::int32_t failureIdentifierCode, std::int32_t severity, bool addDump,
        platform::Error* error);

    /// A kernel panic error from the report file at `url`, after the
    /// creation gate and the throttle (no client information is added).
    /// Null when refused, or with the error of the failing step.
    std::shared_ptr<VTPanicError> createErrorFromPanicReportURL(const std::string& url,
                                                                platform::Error* error);
    /// A crash error from the crash report file at `url`: made first, then
    /// the creation gate and the throttle (a refused error's folder is
    /// removed), then the client information. Null when refused, or with the
    /// read or decoding error.
    std::shared_ptr<VTCrashError> createErrorFromCrashDumpURL(const std::string& url,
                                                              platform::Error* error);

    /// The saved error in `folder`, opened with `openMode` (0 marks it final),
    /// after the creation gate. Null when the gate refuses; null and the
    /// reading error, or VTErrorDomain 5010 for a kind of error that cannot
    /// be opened.
    std::shared_ptr<VTErrorInstance> createErrorFromPersistentData(const std::string& folder,
                                                                   std::uint64_t openMode,
                                                                   platform::Error* error);
    /// The saved error with that UUID in that bucket: the finalized one under
    /// "Submissions" (opened final) before the one under "Errors" (opened not
    /// final). VTErrorDomain 5005 when neither exists.
    std::shared_ptr<VTErrorInstance> errorWithFailureUUID(const VTUUID& uuid,
                                                          std::uint64_t bucketId,
                                                          platform::Error* error);

    /// Makes the error object of a saved error of another kind than logical
    /// errors (crash and panic errors register theirs) from its summary and
    /// data, already read from `folder`, and the open mode.
    using ErrorKindLoader = std::function<std::shared_ptr<VTErrorInstance>(
        VTClient& client, VTErrorProperties properties, VTErrorData data, const std::string& folder,
        std::uint64_t openMode)>;
    static void setErrorKindLoader(std::uint64_t failureType, ErrorKindLoader loader);

    /// Removes the library's stored data (VTCleanupFlags). `abortCallback`,
    /// when given, is asked after each removed error folder, after the
    /// settings file and before the base folder; true ends the clean-up.
    /// Removal errors are not reported.
    void cleanup(std::uint64_t flags, const std::function<bool()>& abortCallback);

    /// Whether the creation gate lets errors be made now: no inhibition, the
    /// configuration enabled, the settings' consent, no opt-out marker.
    bool mayCreateErrors();

    // --- Properties -------------------------------------------------------------

    /// The configuration in force (replaced when the watched file changes).
    std::shared_ptr<const VTSCDConfiguration> scdConfiguration() const override;
    void setScdConfiguration(VTSCDConfiguration configuration);

    std::shared_ptr<VTCrashReporting> crashReporter() const { return crashReporter_; }
    bool isEmbedded() const { return embedded_; }
    bool isUserClient() const { return userClient_.load(); }
    void setUserClient(bool value) { userClient_.store(value); }
    /// 10 when crash dumps are enabled, else 0.
    std::uint64_t autoThrottleLimit() const;
    void setAutoThrottleLimit(std::uint64_t limit);

    /// Called, on a background queue, after each change of the watched file
    /// with the new configuration, or null when the file did not decode.
    void setConfigurationChangeCallback(ConfigurationChangeCallback callback);
    /// Whether the configuration file is being watched.
    bool isWatchingConfiguration() const { return fileWatcher_ != nullptr; }

    std::shared_ptr<VTSettingsClient> settingsClient() const;

#define VT_CLIENT_STRING_PROPERTY(name, Name) \
    std::optional<std::string> name() const;  \
    void set##Name(std::optional<std::string> value);
    VT_CLIENT_STRING_PROPERTY(productRegistryID, ProductRegistryID)
    VT_CLIENT_STRING_PROPERTY(productName, ProductName)
    VT_CLIENT_STRING_PROPERTY(productVersion, ProductVersion)
    VT_CLIENT_STRING_PROPERTY(machineID, MachineID)
    VT_CLIENT_STRING_PROPERTY(mid, Mid)
#undef VT_CLIENT_STRING_PROPERTY

  private:
    VTClient(VTSCDConfiguration configuration, bool embedded);
    static std::shared_ptr<VTClient> make(VTSCDConfiguration configuration, bool embedded);
    void startWatching();
    void reloadConfiguration(unsigned events);
    void setUpCrashCapture();
    bool passesThrottle();

    // Set before the client is published, never changed afterwards.
    std::string watchedPath_;
    platform::FileWatchSourcePtr fileWatcher_;
    std::shared_ptr<VTCrashReporting> crashReporter_;
    // Whether this client added the terminate callback; it removes it when
    // it goes.
    bool addedTerminateCallback_ = false;
    const bool embedded_;

    mutable std::mutex mutex_;  // guards everything below
    std::shared_ptr<const VTSCDConfiguration> configuration_;
    ConfigurationChangeCallback changeCallback_;
    std::atomic<bool> userClient_{false};
    [[maybe_unused]] bool autoThrottledValue_ = false;
    std::uint64_t autoThrottleLimit_ = 0;
    VTThrottleState throttle_;
    std::shared_ptr<VTSettingsClient> settingsClient_;
    std::optional<std::string> productRegistryID_, productName_, productVersion_, machineID_, mid_;
};
