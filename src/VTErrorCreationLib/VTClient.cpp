#include "VTErrorCreationLib/VTClient.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/System/Paths.h"
#include "Platform/System/SharedFolder.h"
#include "VTErrorCreationLib/Utilities/VTErrorUtilities.h"
#include "VTErrorCreationLib/Utilities/VTLog.h"
#include "VTErrorCreationLib/VTCrashError.h"
#include "VTErrorCreationLib/VTCxxException.h"
#include "VTErrorCreationLib/VTCxxExceptionWrapperException.h"
#include "VTErrorCreationLib/VTErrorReport.h"
#include "VTErrorCreationLib/VTPanicError.h"

namespace {

std::mutex gCurrentMutex;
std::shared_ptr<VTClient> gCurrentClient;

std::mutex gFactoryMutex;
VTCrashReportingFactory gCrashReporterFactory;

// The failure-report API binds to the report functions weakly, so nothing
// else would link them: every program that makes a client gets them here.
[[maybe_unused]] __attribute__((used)) const void* const kReportFunctions[] = {
    reinterpret_cast<const void*>(&VTErrorReportCreateNewReport),
    reinterpret_cast<const void*>(&VTErrorReportCreateNewExceptionReport),
    reinterpret_cast<const void*>(&VTErrorReportSetReportData),
    reinterpret_cast<const void*>(&VTErrorReportFreeReport)};

// Seconds between 1970 and the platform's reference date, 2001-01-01.
constexpr long kReferenceDateOffset = 978307200;

// The terminate hook's callback for a native exception that nothing caught:
// the crash reporter's handler sees it with the stack of its throw, then the
// process ends.
void uncaughtCxxException(VTCxxExceptionInfo* info) {
    if (auto client = VTClient::currentClient()) {
        if (auto reporter = client->crashReporter()) {
            try {
                reporter->handleUncaughtException(VTCxxExceptionWrapperException(info));
            } catch (...) {
            }
        }
    }
    std::abort();
}

}  // namespace

std::shared_ptr<VTClient> VTClient::currentClient() {
    std::lock_guard<std::mutex> lock(gCurrentMutex);
    return gCurrentClient;
}

void VTClient::clearCurrentClientForTesting() {
    std::shared_ptr<VTClient> released;
    std::lock_guard<std::mutex> lock(gCurrentMutex);
    released = std::move(gCurrentClient);
}

void VTClient::setCrashReporterFactory(VTCrashReportingFactory factory) {
    std::lock_guard<std::mutex> lock(gFactoryMutex);
    gCrashReporterFactory = std::move(factory);
}

std::shared_ptr<VTClient> VTClient::embeddedClientWithConfig(VTSCDConfiguration configuration,
                                                             platform::Error*) {
    return make(std::move(configuration), true);
}

std::shared_ptr<VTClient> VTClient::clientWithConfig(VTSCDConfiguration configuration,
                                                     platform::Error*) {
    return make(std::move(configuration), false);
}

std::shared_ptr<VTClient> VTClient::clientWithInstalledConfiguration(platform::Error* error) {
    auto configuration = VTSCDConfiguration::installedConfiguration(error);
    if (!configuration) return nullptr;
    return make(std::move(*configuration), false);
}

std::shared_ptr<VTClient> VTClient::make(VTSCDConfiguration configuration, bool embedded) {
    std::shared_ptr<VTClient> client(new VTClient(std::move(configuration), embedded));
    VTPanicError::registerErrorKindLoader();
    VTCrashError::registerErrorKindLoader();
    // Everything is in place before other threads can reach the client as the
    // current client: the watch and the crash reporter never change after.
    client->startWatching();
    if (client->scdConfiguration()->enableCrashDumps()) client->setUpCrashCapture();
    {
        std::shared_ptr<VTClient> previous;
        std::lock_guard<std::mutex> lock(gCurrentMutex);
        previous = std::move(gCurrentClient);
        gCurrentClient = client;
    }
    return client;
}

VTClient::VTClient(VTSCDConfiguration configuration, bool embedded)
    : embedded_(embedded),
      configuration_(std::make_shared<const VTSCDConfiguration>(std::move(configuration))) {}

VTClient::~VTClient() {
    if (fileWatcher_) fileWatcher_->cancel();
    if (addedTerminateCallback_)
        VTUncaughtCxxExceptionHandlerManager::removeCxxExceptionHandler(uncaughtCxxException);
}

// --- The configuration watch -------------------------------------------------

void VTClient::startWatching() {
    const auto path = scdConfiguration()->scdPath();
    if (!path) return;
    std::weak_ptr<VTClient> weak = weak_from_this();
    // Deletion and renaming replace the whole file; a write is only read
    // once its writer has closed the file, so a half-written file is never
    // loaded.
    const unsigned mask = platform::FileWatchSource::kDelete | platform::FileWatchSource::kRename |
                          platform::FileWatchSource::kWrite |
                          platform::FileWatchSource::kCloseWrite;
    auto watcher = platform::FileWatchSource::create(
        *path, mask, platform::globalQueue(platform::QualityOfService::Background),
        [weak](unsigned events) {
            if (auto client = weak.lock()) client->reloadConfiguration(events);
        });
    watchedPath_ = *path;
    fileWatcher_ = std::move(watcher);
}

void VTClient::reloadConfiguration(unsigned events) {
    using platform::FileWatchSource;
    const unsigned complete =
        FileWatchSource::kDelete | FileWatchSource::kRename | FileWatchSource::kCloseWrite;
    if ((events & complete) == 0) return;  // a write still under way
    auto loaded =
        VTSCDConfiguration::configurationWithContentsOfPath(watchedPath_, std::nullopt, nullptr);
    std::shared_ptr<const VTSCDConfiguration> replacement;
    ConfigurationChangeCallback callback;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (loaded) {
            replacement = std::make_shared<const VTSCDConfiguration>(std::move(*loaded));
            configuration_ = replacement;
        }
        callback = changeCallback_;
    }
    if (callback) callback(replacement);
}

std::shared_ptr<const VTSCDConfiguration> VTClient::scdConfiguration() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return configuration_;
}

void VTClient::setScdConfiguration(VTSCDConfiguration configuration) {
    auto replacement = std::make_shared<const VTSCDConfiguration>(std::move(configuration));
    std::lock_guard<std::mutex> lock(mutex_);
    configuration_ = std::move(replacement);
}

void VTClient::setConfigurationChangeCallback(ConfigurationChangeCallback callback) {
    std::lock_guard<std::mutex> lock(mutex_);
    changeCallback_ = std::move(callback);
}

// --- Crash capture -----------------------------------------------------------

void VTClient::setUpCrashCapture() {
    const std::string dumps = scdConfiguration()->undetailedCrashDumpsPath().value_or("");
    VTCrashReportingFactory factory;
    {
        std::lock_guard<std::mutex> lock(gFactoryMutex);
        factory = gCrashReporterFactory;
    }
    // A root run writes its crash reports only where no other user could
    // redirect or replace them.
    platform::Error refused;
    std::optional<platform::SharedFolder> dumpsFolder;
    if (!dumps.empty())
        dumpsFolder =
            platform::SharedFolder::open(dumps, platform::SharedFolder::Trust::Required, &refused);
    const bool trusted = dumps.empty() || dumpsFolder.has_value();
    if (!trusted)
        VTLog(LOG_ERR, "Vantrel does not capture crashes into %s (%s)", dumps.c_str(),
              refused.localizedDescription().c_str());
    std::shared_ptr<VTCrashReporting> reporter = factory && trusted ? factory(dumps) : nullptr;
    crashReporter_ = reporter;
    setAutoThrottleLimit(10);
    if (!reporter) return;
    // One entry per client that captures crashes; each takes its own away,
    // so no callback outlives the clients.
    VTUncaughtCxxExceptionHandlerManager::addCxxExceptionHandler(uncaughtCxxException);
    addedTerminateCallback_ = true;
    // A crash of an earlier run left its report where the reporter writes:
    // keep it under a name of its own so the next crash does not replace it.
    const std::string report = reporter->crashReportPath();
    if (report.empty() || !dumpsFolder) return;
    std::string reportName;
    auto reportFolder = platform::SharedFolder::openHolder(
        report, platform::SharedFolder::Trust::Any, &reportName, nullptr);
    struct stat st {};
    if (!reportFolder || !reportFolder->statEntry(reportName, &st)) return;
    // Only a report of this user's is one of ours: a file another user put
    // in the shared folder under that name is no crash of ours, and goes;
    // so does a hard link, which could name any file of ours (a crash
    // writes a new file, with one name).
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_nlink != 1) {
        if (platform::SharedFolder::checksTrust()) reportFolder->removeTree(reportName, false);
        return;
    }
    char name[64];
    std::snprintf(name, sizeof name, ".%ld_%d",
                  static_cast<long>(std::time(nullptr)) - kReferenceDateOffset,
                  static_cast<int>(getpid()));
    std::string processName = program_invocation_short_name;
    // Never replace a report moved earlier under the same name (same second,
    // same process id): a clash takes a numbered suffix.
    const std::string target = processName + name;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const std::string candidate =
            attempt == 0 ? target : target + "-" + std::to_string(attempt);
        platform::Error moveError;
        if (reportFolder->moveEntry(reportName, *dumpsFolder, candidate, true, &moveError)) break;
        const platform::Error* cause = moveError.underlyingError();
        if (!cause || cause->code() != EEXIST) break;
    }
}

bool VTClient::beginReporting(platform::Error* error) {
    if (!crashReporter_) {
        platform::setError(error, platform::Error(std::string(VTErrorDomain), kVTErrorNotConfigured,
                                                  {{std::string(platform::kLocalizedDescriptionKey),
                                                    "Not configured with crash reporting"}}));
        return false;
    }
    if (isDebuggerAttached()) return true;
    return crashReporter_->enableCrashReporter(error);
}

void VTClient::enableUncaughtExceptionHandler() {
    if (crashReporter_) crashReporter_->enableUncaughtExceptionHandler();
}

std::optional<platform::Data> VTClient::liveDump() {
    if (!crashReporter_) return std::nullopt;
    return crashReporter_->generateLiveReport();
}

bool VTClient::isDebuggerAttached() {
    // The kernel names the tracing process in the status file; 0 means none.
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("TracerPid:", 0) == 0)
            return std::strtol(line.c_str() + 10, nullptr, 10) != 0;
    }
    return false;
}

// --- Throttle ------------------------------------------------------------------

bool VTClient::autoThrottled() const {
    const bool switchedOff = VTThrottlingDisabled();
    const auto now = platform::defaultClock()->now();
    std::lock_guard<std::mutex> lock(mutex_);
    return VTThrottleIsThrottled(throttle_, autoThrottleLimit_, now, switchedOff);
}

void VTClient::setAutoThrottled(bool value) {
    std::lock_guard<std::mutex> lock(mutex_);
    autoThrottledValue_ = value;
}

bool VTClient::shouldCreateError() {
    const bool switchedOff = VTThrottlingDisabled();
    const auto now = platform::defaultClock()->now();
    // One lock over the decision and the record, so two threads cannot both
    // take the last place of a burst.
    std::lock_guard<std::mutex> lock(mutex_);
    if (VTThrottleIsThrottled(throttle_, autoThrottleLimit_, now, switchedOff)) return false;
    VTThrottleRecordError(throttle_, now);
    return true;
}

std::uint64_t VTClient::autoThrottleLimit() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return autoThrottleLimit_;
}

void VTClient::setAutoThrottleLimit(std::uint64_t limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    autoThrottleLimit_ = limit;
}

// --- Product fields ----------------------------------------------------------------

#define VT_CLIENT_STRING_PROPERTY(name, Name)                    \
    std::optional<std::string> VTClient::name() const {          \
        std::lock_guard<std::mutex> lock(mutex_);                \
        return name##_;                                          \
    }                                                            \
    void VTClient::set##Name(std::optional<std::string> value) { \
        std::lock_guard<std::mutex> lock(mutex_);                \
        name##_ = std::move(value);                              \
    }
VT_CLIENT_STRING_PROPERTY(productRegistryID, ProductRegistryID)
VT_CLIENT_STRING_PROPERTY(productName, ProductName)
VT_CLIENT_STRING_PROPERTY(productVersion, ProductVersion)
VT_CLIENT_STRING_PROPERTY(machineID, MachineID)
VT_CLIENT_STRING_PROPERTY(mid, Mid)
#undef VT_CLIENT_STRING_PROPERTY

std::shared_ptr<VTSettingsClient> VTClient::settingsClient() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return settingsClient_;
}
