#include "Downloader/PelFSDPingUtils.h"

#include "Downloader/PelInstallPingUtils.h"
#include "Foundation/PelLogging.h"
#include "Platform/Text/Format.h"

namespace {

std::mutex gSourceMutex;
PelFSDPingUtils::InstallerDirSource& installerDirSource() {
    static PelFSDPingUtils::InstallerDirSource source;
    return source;
}

// The "%@" text of an optional string.
std::string text(std::optional<std::string_view> s) {
    return s ? std::string(*s) : std::string("(null)");
}

void logError(const char* event, const platform::Error* error) {
    if (error) PelLogging::logDebugMessageWithFormat("%s: %@", event, error->description());
}

}  // namespace

PelFSDPingUtils::PelFSDPingUtils(const char* queueName, std::optional<std::string> agent)
    : StatPing(queueName, std::move(agent)) {}

std::shared_ptr<PelFSDPingUtils> PelFSDPingUtils::createFSDPingUtilsWithQueueName(
    const std::optional<std::string>& queueName, const std::optional<std::string>& productName,
    const std::optional<std::string>& version, const std::optional<std::string>& build,
    const std::optional<std::string>& userAgent) {
    if (!queueName && !productName && !version && !build) return nullptr;
    // Without a name of its own the queue keeps the operation queue's default.
    std::shared_ptr<PelFSDPingUtils> sender(new PelFSDPingUtils(
        queueName ? queueName->c_str() : nullptr, userAgent ? *userAgent : kDefaultUserAgent));
    sender->setTimeOutInterval(5.0);
    sender->productName_ = productName;
    if (version) sender->version_ = versionStringWithBuildCharReplacedByDot(*version);
    sender->build_ = build;
    return sender;
}

std::string PelFSDPingUtils::versionStringWithBuildCharReplacedByDot(std::string_view version) {
    return PelInstallPingUtils::versionWithDotForBuildChar(version);
}

void PelFSDPingUtils::setInstallerDirWithManifestTimeStampSource(InstallerDirSource source) {
    std::lock_guard lock(gSourceMutex);
    installerDirSource() = std::move(source);
}

std::string PelFSDPingUtils::installerDirWithManifestTimeStamp() const {
    InstallerDirSource source;
    {
        std::lock_guard lock(gSourceMutex);
        source = installerDirSource();
    }
    return source ? source() : std::string();
}

void PelFSDPingUtils::setInstallerDirWithManifestTimeStamp(std::string v) {
    installerDirWithManifestTimeStamp_ = std::move(v);
}

std::string PelFSDPingUtils::UUIDToString(const std::optional<platform::UuidBytes>& uuid) {
    return uuid ? platform::formatUuidText(*uuid) : std::string();
}

#define PEL_FSD_PING_UUID(name, setter, field)                           \
    std::optional<platform::UuidBytes> PelFSDPingUtils::name() const {   \
        std::lock_guard lock(idMutex_);                                  \
        return field;                                                    \
    }                                                                    \
    void PelFSDPingUtils::setter(std::optional<platform::UuidBytes> v) { \
        std::lock_guard lock(idMutex_);                                  \
        field = v;                                                       \
    }
PEL_FSD_PING_UUID(manifest_id, setManifest_id, manifestId_)
PEL_FSD_PING_UUID(job_id, setJob_id, jobId_)
PEL_FSD_PING_UUID(transaction_id, setTransaction_id, transactionId_)
#undef PEL_FSD_PING_UUID

std::string PelFSDPingUtils::baseDataFormat() const {
    std::optional<platform::UuidBytes> manifest, job, transaction;
    {
        std::lock_guard lock(idMutex_);
        manifest = manifestId_;
        job = jobId_;
        transaction = transactionId_;
    }
    auto orNull = [](const std::optional<std::string>& s) {
        return s ? *s : std::string("(null)");
    };
    std::string q = platform::format("module=%d", kModule);
    q += "&platform=mac";
    q += "&product=" + orNull(productName_);
    q += "&version=" + orNull(version_);
    q += "&language=" + languageString();
    q += "&build=" + orNull(build_);
    q += "&os=" + osVersion();
    q += "&mid=" + machineIdString();
    q += "&B=" + UUIDToString(manifest);
    q += "&C=" + UUIDToString(job);
    q += "&D=" + UUIDToString(transaction);
    q += "&g=" + installerDirWithManifestTimeStamp();
    return q;
}

void PelFSDPingUtils::sendEvent(const std::string& fields) {
    const std::string query = baseDataFormat() + fields;
    PelLogging::logDebugMessageWithFormat("%s: %@", __func__, query);
    submitWithDataString(query);
}

void PelFSDPingUtils::sendFSDJobStartedPing() { sendEvent(platform::format("&E=%d", kJobStarted)); }
void PelFSDPingUtils::sendFSDJobFinishedPing() {
    sendEvent(platform::format("&E=%d", kJobFinished));
}

void PelFSDPingUtils::sendRetry(int event, int failCount, int manifestFailCount,
                                std::optional<std::string_view> path) {
    sendEvent(platform::format("&E=%d&error=%d&I=%d&J=%d&N=%@", event, 1, failCount,
                               manifestFailCount, text(path)));
}

void PelFSDPingUtils::sendRetryDownloadPingWhenCorruptInstaller(
    int failCount, int manifestFailCount, std::optional<std::string_view> path) {
    sendRetry(kRetryAfterCorruptInstaller, failCount, manifestFailCount, path);
}
void PelFSDPingUtils::sendRetryDownloadPingWhenInstallFailed(int failCount, int manifestFailCount,
                                                             std::optional<std::string_view> path) {
    sendRetry(kRetryAfterInstallFailed, failCount, manifestFailCount, path);
}
void PelFSDPingUtils::sendRetryDownloadPingWhenDownloadFilesValidationFailed(
    int failCount, int manifestFailCount, std::optional<std::string_view> path) {
    sendRetry(kRetryAfterValidationFailed, failCount, manifestFailCount, path);
}
void PelFSDPingUtils::sendResumeDownloadPingWhenNoSpaceError(int failCount, int manifestFailCount,
                                                             std::optional<std::string_view> path) {
    sendEvent(platform::format("&E=%d&error=%d&I=%d&J=%d&Y=%d&N=%@", kResumeAfterNoSpace, 1,
                               failCount, manifestFailCount, 1, text(path)));
}

void PelFSDPingUtils::sendFSDManifestVerificationFailedPing(int failCount, int manifestFailCount,
                                                            int code,
                                                            std::optional<std::string_view> path,
                                                            const platform::Error* error) {
    logError(__func__, error);
    sendEvent(platform::format("&E=%d&error=%d&I=%d&J=%d&Y=%d&L=%d&N=%@",
                               kManifestVerificationFailed, 1, failCount, manifestFailCount, 1,
                               code, text(path)));
}
void PelFSDPingUtils::sendFSDManifestParsingFailedPing(int failCount, int manifestFailCount,
                                                       int code,
                                                       std::optional<std::string_view> path,
                                                       const platform::Error* error) {
    logError(__func__, error);
    sendEvent(platform::format("&E=%d&error=%d&I=%d&J=%d&Y=%d&L=%d&N=%@", kManifestParsingFailed, 1,
                               failCount, manifestFailCount, 1, code, text(path)));
}

void PelFSDPingUtils::sendDownloadSuccessPing(int bytesReceived, int downloadCode) {
    sendEvent(platform::format("&error=%d&Y=%d&M=%d", 0, downloadCode, bytesReceived));
}
void PelFSDPingUtils::sendDownloadFailPing(int bytesReceived, std::optional<std::string_view> path,
                                           const platform::Error* error, int downloadCode) {
    logError(__func__, error);
    sendEvent(
        platform::format("&error=%d&Y=%d&M=%d&N=%@", 1, downloadCode, bytesReceived, text(path)));
}
void PelFSDPingUtils::sendOptionalPkgDownloadFailPing(int bytesReceived,
                                                      std::optional<std::string_view> path,
                                                      std::int64_t filePriority,
                                                      const platform::Error* error) {
    logError(__func__, error);
    sendEvent(platform::format("&error=%d&M=%d&N=%@&f=%ld", 1, bytesReceived, text(path),
                               static_cast<long>(filePriority)));
}
void PelFSDPingUtils::sendDownloadSetupInstallerFailPing(std::optional<std::string_view> path,
                                                         const platform::Error* error) {
    logError(__func__, error);
    sendEvent(platform::format("&error=%d&Y=%d&N=%@", 1, 1, text(path)));
}

void PelFSDPingUtils::sendFSDPing(const platform::Dictionary& fields) {
    std::string extra;
    for (const auto& [key, value] : fields) {
        if (key == "error" || key == "E" || key == "L" || key == "Y") {
            extra += platform::format("&%@=%d", key, static_cast<int>(value.int64Value()));
        } else if (key == "I" || key == "J" || key == "K" || key == "M") {
            extra += platform::format(
                "&%@=%d", key, static_cast<int>(static_cast<std::uint32_t>(value.uint64Value())));
        } else if (key == "N") {
            extra += "&N=" + (value.isNull() ? std::string("(null)") : value.description());
        }
    }
    sendEvent(extra);
}
