#include "VTErrorCreationLib/VTCrashError.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>

#include "Platform/System/Paths.h"
#include "Platform/System/SharedFolder.h"
#include "Platform/Values/Json.h"
#include "VTErrorCreationLib/Utilities/VTBundleUtilities.h"
#include "VTErrorCreationLib/Utilities/VTCoding.h"
#include "VTErrorCreationLib/Utilities/VTErrorUtilities.h"
#include "VTErrorCreationLib/VTClient.h"
#include "VTErrorCreationLib/VTErrorData.h"
#include "VTErrorCreationLib/VTImageInformation.h"

namespace {

void appendLittleEndian(std::string& buffer, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) buffer += static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::uint64_t crc32Of(const std::string& bytes) {
    return crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size()));
}

std::string lastComponent(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<platform::Date> modificationDate(const std::string& path) {
    struct stat info;
    if (::stat(platform::Paths::resolve(path).c_str(), &info) != 0) return std::nullopt;
    return platform::Date{static_cast<double>(info.st_mtim.tv_sec) + info.st_mtim.tv_nsec / 1e9};
}

std::optional<VTUUID> uuidOf(const FVCrashReportBinaryImageInfo& image) {
    if (!image.hasImageUUID() || image.imageUUID()->size() != 32) return std::nullopt;
    std::uint8_t bytes[16];
    for (int i = 0; i < 16; ++i)
        bytes[i] = static_cast<std::uint8_t>(std::strtoul(
            image.imageUUID()->substr(static_cast<size_t>(i) * 2, 2).c_str(), nullptr, 16));
    return VTUUID::initWithUUIDBytes(bytes);
}

std::optional<std::string> versionOf(const std::string& imagePath) {
    if (auto bundle = VTBundleUtilities::bundlePathFromExecutablePath(imagePath))
        if (auto version = VTBundleUtilities::bundleVersionAtPath(*bundle)) return version;
    return VTBundleUtilities::executableVersionForURL(imagePath);
}

// The leading decimal digits of a signal code text; 0 for named codes.
std::uint64_t codeFromText(const std::string& text) {
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

double uptimeNow() {
    timespec boot{};
    if (clock_gettime(CLOCK_BOOTTIME, &boot) != 0) return 0;
    return static_cast<double>(boot.tv_sec) + static_cast<double>(boot.tv_nsec) / 1e9;
}

}  // namespace

VTCrashError::VTCrashError(std::shared_ptr<VTErrorClient> client)
    : VTErrorInstance(kVTFailureTypeCrash, 1, std::move(client)) {}

VTCrashError::VTCrashError(VTErrorProperties properties, VTErrorData data, std::string folder,
                           std::shared_ptr<VTErrorClient> client, std::uint64_t openMode)
    : VTErrorInstance(std::move(properties), std::move(data), std::move(folder), std::move(client),
                      openMode) {}

std::optional<std::string> VTCrashError::dumpURL() const {
    std::lock_guard<std::mutex> lock(dumpURLMutex_);
    return dumpURL_;
}

void VTCrashError::setDumpURL(std::optional<std::string> url) {
    std::lock_guard<std::mutex> lock(dumpURLMutex_);
    dumpURL_ = std::move(url);
}

bool VTCrashError::isOperatingSystemImage(const std::string& path) {
    return VTIsSystemImagePath(path) && path.find("/local") == std::string::npos;
}

void VTCrashError::walkFrames(const std::vector<FVCrashReportStackFrameInfo>& frames,
                              const FVCrashReport& report) {
    VTErrorProperties& summary = summaryData();
    std::string buffer;
    bool first = true;
    for (const auto& frame : frames) {
        const FVCrashReportBinaryImageInfo* image =
            report.imageForAddress(frame.instructionPointer());
        if (!image || image->imageName().empty()) continue;
        const std::uint64_t offset = frame.instructionPointer() - image->imageBaseAddress();
        const std::string& path = image->imageName();
        if (isOperatingSystemImage(path)) continue;
        buffer += lastComponent(path);
        appendLittleEndian(buffer, offset);
        if (!first) continue;
        first = false;
        const auto bundle = VTBundleUtilities::bundlePathFromExecutablePath(path);
        summary.setPelgraveModuleName(bundle ? lastComponent(*bundle) : lastComponent(path));
        summary.setPelgraveProcessName(report.processInfo() ? report.processInfo()->processName()
                                                            : std::nullopt);
        summary.setPelgraveModuleOffset(offset);
        summary.setPelgraveModuleVersion(bundle ? VTBundleUtilities::bundleVersionAtPath(*bundle)
                                                : VTBundleUtilities::executableVersionForURL(path));
        if (auto uuid = uuidOf(*image)) summary.setPelgraveModuleGUID(uuid);
        if (auto date = modificationDate(path)) summary.setPelgraveModuleTimestamp(date);
    }
    if (!buffer.empty()) summary.setStackHash(crc32Of(buffer));
}

bool VTCrashError::generateBucketId() {
    VTErrorProperties& summary = summaryData();
    std::string buffer;
    appendLittleEndian(buffer, summary.exceptionCode());
    const std::optional<std::string>& name =
        summary.pelgraveModuleName() ? summary.pelgraveModuleName() : summary.moduleName();
    if (name)
        for (char c : *name) buffer += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    appendLittleEndian(buffer, summary.pelgraveModuleName() ? summary.pelgraveModuleOffset()
                                                            : summary.moduleOffset());
    summary.setBucketId(crc32Of(buffer));
    return summary.bucketId() != 0;
}

std::shared_ptr<VTCrashError> VTCrashError::initWithCrashReport(
    const std::shared_ptr<FVCrashReport>& report, const std::string& url,
    const std::shared_ptr<VTClient>& client) {
    if (!report) return nullptr;
    auto error = std::make_shared<VTCrashError>(client);
    VTErrorProperties& summary = error->summaryData();

    summary.setFailureUUID(report->uuidRef() ? VTUUID::initWithUUIDBytes(report->uuidRef()->data())
                                             : VTUUID::UUID());
    std::optional<platform::Date> failureTime;
    if (report->systemInfo() && report->systemInfo()->timestamp()) {
        const auto since = report->systemInfo()->timestamp()->time_since_epoch();
        failureTime = platform::Date{std::chrono::duration<double>(since).count()};
    } else if (!url.empty()) {
        struct statx info;
        if (statx(AT_FDCWD, url.c_str(), 0, STATX_BTIME, &info) == 0 &&
            (info.stx_mask & STATX_BTIME))
            failureTime = platform::Date{static_cast<double>(info.stx_btime.tv_sec) +
                                         info.stx_btime.tv_nsec / 1e9};
    }
    if (!failureTime) failureTime = platform::Date::now();
    summary.setFailureTime(failureTime);
    const double uptime = uptimeNow();
    const double elapsed = platform::Date::now().secondsSince1970 - failureTime->secondsSince1970;
    summary.setSystemUptime(elapsed < uptime ? uptime - elapsed : uptime);

    if (const auto& process = report->processInfo()) {
        summary.setProcessID(static_cast<std::int32_t>(process->processID()));
        summary.setProcessName(process->processName());
        summary.setProcessImagePath(process->processPath());
        if (process->processPath())
            if (auto date = modificationDate(*process->processPath()))
                summary.setProcessTimestamp(date);
    }

    const auto& mach = report->machExceptionInfo();
    if (mach && !mach->codes().empty()) {
        summary.setExceptionCode((mach->type() << 16) | (mach->codes()[0] & 0xFFFF));
    } else if (report->signalInfo()) {
        summary.setExceptionCode(codeFromText(report->signalInfo()->code()));
    }

    const FVCrashReportThreadInfo* crashed = nullptr;
    for (const auto& thread : report->threads())
        if (thread.crashed()) {
            crashed = &thread;
            break;
        }
    if (crashed) {
        summary.setThreadNumber(static_cast<std::int32_t>(crashed->threadNumber()));
        summary.setThreadName("Thread " + std::to_string(crashed->threadNumber()));
    }

    static const std::vector<FVCrashReportStackFrameInfo> kNoFrames;
    const auto& exception = report->exceptionInfo();
    const bool fromException = exception != nullptr;
    const std::vector<FVCrashReportStackFrameInfo>& frames =
        fromException ? (exception->stackFrames() ? *exception->stackFrames() : kNoFrames)
                      : (crashed ? crashed->stackFrames() : kNoFrames);

    if (!frames.empty()) {
        summary.setFailureAddress(0);
        summary.setModuleOffset(0);
        for (const auto& frame : frames) {
            const FVCrashReportBinaryImageInfo* image =
                report->imageForAddress(frame.instructionPointer());
            if (!image) continue;
            const std::string& path = image->imageName();
            summary.setModuleName(lastComponent(path));
            summary.setModuleVersion(versionOf(path));
            if (auto uuid = uuidOf(*image)) summary.setModuleGUID(uuid);
            if (auto date = modificationDate(path)) summary.setModuleTimestamp(date);
            summary.setModuleOffset(frame.instructionPointer() - image->imageBaseAddress());
            summary.setFailureAddress(frame.instructionPointer());
            break;
        }
        error->walkFrames(frames, *report);
    }
    if (!summary.pelgraveModuleName() && fromException && crashed)
        error->walkFrames(crashed->stackFrames(), *report);

    if (!error->generateBucketId()) return nullptr;
    if (!url.empty())
        error->addDetailFileAtURL(url, std::string(VTErrorStreamIDFVCrashReport),
                                  std::string("FVCrashReport file"), nullptr);
    return error;
}

std::shared_ptr<VTCrashError> VTCrashError::errorFromCrashDataAtURL(
    const std::string& url, const std::shared_ptr<VTClient>& client, platform::Error* error) {
    const std::string path = url.rfind("file://", 0) == 0 ? url.substr(7) : url;
    // Crash reports lie in a folder every user writes to: the report is read
    // below it by descriptor, as a regular file, never through a link.
    std::string name;
    auto folder = platform::SharedFolder::openHolder(path, platform::SharedFolder::Trust::Any,
                                                     &name, nullptr);
    platform::Data bytes;
    if (!folder || !folder->readFile(name, bytes)) {
        if (error) *error = platform::Error::fileRead(errno ? errno : ENOENT, path);
        return nullptr;
    }
    auto report = FVCrashReport::initWithData(bytes.data(), bytes.size(), error);
    if (!report) return nullptr;
    return initWithCrashReport(report, path, client);
}

std::shared_ptr<VTCrashError> VTCrashError::errorFromCrashJSONData(
    const platform::Value& json, const std::shared_ptr<VTClient>& client, platform::Error* error) {
    if (!json.isDictionary()) {
        platform::setError(error, VTErrorUtilities::errorWithVantrelError(kVTErrorMissingIdentity));
        return nullptr;
    }
    auto report = FVCrashReport::init();
    if (!report->setValuesForPropertiesFromJSONProxy(json, error)) return nullptr;
    auto crash = initWithCrashReport(report, std::string(), client);
    if (!crash) return nullptr;
    // The dictionary travels with the error; an attachment that fails does
    // not fail the error.
    if (auto text = platform::json::serialize(json, platform::json::WriteStyle::Compact, nullptr))
        crash->addDetailData(platform::Data(text->begin(), text->end()),
                             std::string(VTErrorStreamIDCrashReportJSON), std::nullopt, nullptr);
    return crash;
}

void VTCrashError::registerErrorKindLoader() {
    VTClient::setErrorKindLoader(
        kVTFailureTypeCrash,
        [](VTClient& client, VTErrorProperties properties, VTErrorData data,
           const std::string& folder, std::uint64_t openMode) -> std::shared_ptr<VTErrorInstance> {
            return std::make_shared<VTCrashError>(std::move(properties), std::move(data), folder,
                                                  client.shared_from_this(), openMode);
        });
}
