#include "VTErrorCreationLib/VTLogicalError.h"

#include <syslog.h>
#include <zlib.h>

#include "Platform/System/Paths.h"
#include "VTErrorCreationLib/Utilities/VTBundleUtilities.h"
#include "VTErrorCreationLib/Utilities/VTErrorUtilities.h"
#include "VTErrorCreationLib/Utilities/VTLog.h"
#include "VTErrorCreationLib/VTClient.h"
#include "VTErrorCreationLib/VTErrorData.h"

namespace {

void appendLittleEndian(std::string& bytes, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::uint64_t crc32Of(const std::string& bytes) {
    return crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size()));
}

std::vector<std::uint64_t> widened(const std::vector<std::uintptr_t>& addresses) {
    return std::vector<std::uint64_t>(addresses.begin(), addresses.end());
}

// The gate shared by the two factory functions.
bool mayMake(const char* component, const std::shared_ptr<VTClient>& client,
             platform::Error* error) {
    auto configuration = client ? client->scdConfiguration() : nullptr;
    if (configuration && !configuration->enableLogicalErrors()) {
        platform::setError(error,
                           VTErrorUtilities::errorWithVantrelError(kVTErrorLogicalErrorsDisabled));
        return false;
    }
    if (!component) {
        platform::setError(error, VTErrorUtilities::errorWithVantrelError(kVTErrorCannotCreate));
        return false;
    }
    return true;
}

}  // namespace

std::shared_ptr<VTLogicalError> VTLogicalError::errorInComponent(
    const char* component, const void* address, std::int32_t failureIdentifierCode,
    std::int32_t severity, const std::shared_ptr<VTClient>& client, bool addDump,
    platform::Error* error) {
    if (!mayMake(component, client, error)) return nullptr;
    return std::make_shared<VTLogicalError>(
        component, static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(address)),
        failureIdentifierCode, severity, client, addDump);
}

std::shared_ptr<VTLogicalError> VTLogicalError::errorInComponent(
    const char* component, const std::vector<std::uintptr_t>& backtrace,
    std::int32_t failureIdentifierCode, std::int32_t severity,
    const std::shared_ptr<VTClient>& client, bool addDump, platform::Error* error) {
    if (!mayMake(component, client, error)) return nullptr;
    return std::make_shared<VTLogicalError>(component, widened(backtrace), failureIdentifierCode,
                                            severity, client, addDump);
}

VTLogicalError::VTLogicalError(const std::string& component, std::optional<std::uint64_t> address,
                               std::int32_t failureIdentifierCode, std::int32_t severity,
                               std::shared_ptr<VTClient> client, bool dump)
    : VTErrorInstance(kVTFailureTypeLogicalError, severity, std::move(client), address) {
    VTErrorProperties& summary = summaryData();
    summary.setFailureUUID(VTUUID());
    summary.setFailureTime(platform::Date::now());
    if (!component.empty()) summary.setLogicalComponentId(component);
    // Sign-extended: a negative code keeps its bits in the upper half too.
    summary.setLogicalFailureID(
        static_cast<std::uint64_t>(static_cast<std::int64_t>(failureIdentifierCode)));
    if (dump) addDump();
    addDetails();
}

VTLogicalError::VTLogicalError(const std::string& component, std::uint64_t address,
                               std::int32_t failureIdentifierCode, std::int32_t severity,
                               std::shared_ptr<VTClient> client, bool addDump)
    : VTLogicalError(component, std::optional<std::uint64_t>(address), failureIdentifierCode,
                     severity, std::move(client), addDump) {
    bucketFailure(summaryData().logicalFailureID(), address);
}

VTLogicalError::VTLogicalError(const std::string& component,
                               const std::vector<std::uint64_t>& backtrace,
                               std::int32_t failureIdentifierCode, std::int32_t severity,
                               std::shared_ptr<VTClient> client, bool addDump)
    : VTLogicalError(component,
                     backtrace.empty() ? std::nullopt : std::optional<std::uint64_t>(backtrace[0]),
                     failureIdentifierCode, severity, std::move(client), addDump) {
    bucketFailure(summaryData().logicalFailureID(), backtrace);
}

VTLogicalError::VTLogicalError(VTErrorProperties properties, VTErrorData data, std::string folder,
                               std::shared_ptr<VTErrorClient> client, std::uint64_t openMode)
    : VTErrorInstance(std::move(properties), std::move(data), std::move(folder), std::move(client),
                      openMode) {}

void VTLogicalError::addDump() {
    std::shared_ptr<VTClient> owner = std::dynamic_pointer_cast<VTClient>(client());
    if (!owner) owner = VTClient::currentClient();
    auto configuration = owner ? owner->scdConfiguration() : nullptr;
    if (!configuration || !configuration->enableCrashDumps()) {
        VTLog(LOG_ERR, "Cannot add a dump to logical errors when crash logging is disabled");
        return;
    }
    if (infoForDetailDataWithIdentifier(VTErrorStreamProcessBacktrace)) return;
    if (auto dump = owner->liveDump())
        addDetailData(*dump, std::string(VTErrorStreamProcessBacktrace), std::nullopt, nullptr);
}

bool VTLogicalError::findPelgraveModule(VTImageInformation* image, std::uint64_t* address,
                                        const std::vector<std::uint64_t>& callstack) {
    for (std::uint64_t candidate : callstack) {
        VTImageInformation info;
        if (!VTImageInformationForAddress(static_cast<std::uintptr_t>(candidate), &info)) continue;
        if (VTIsSystemImagePath(info.path)) continue;
        if (image) *image = std::move(info);
        if (address) *address = candidate;
        return true;
    }
    return false;
}

bool VTLogicalError::summaryDataForImageInformation(const VTImageInformation& image,
                                                    std::uint64_t address) {
    if (image.path.empty()) return false;
    VTErrorProperties& summary = summaryData();
    const auto slash = image.path.rfind('/');
    summary.setModuleName(slash == std::string::npos ? image.path : image.path.substr(slash + 1));
    if (auto bundle = VTBundleUtilities::bundlePathFromExecutablePath(image.path)) {
        summary.setModuleVersion(VTBundleUtilities::bundleVersionAtPath(*bundle));
    } else if (auto version = VTBundleUtilities::executableVersionForURL(image.path)) {
        summary.setModuleVersion(*version);
    }
    if (auto date = modificationDateOfFile(image.path)) summary.setModuleTimestamp(*date);
    summary.setModuleOffset(address - image.imageBase);
    if (image.buildID) summary.setModuleGUID(*image.buildID);
    summary.setPelgraveModuleName(summary.moduleName());
    summary.setPelgraveModuleVersion(summary.moduleVersion());
    summary.setPelgraveModuleGUID(summary.moduleGUID());
    summary.setPelgraveModuleTimestamp(summary.moduleTimestamp());
    return true;
}

bool VTLogicalError::bucketFailure(std::uint64_t, const std::vector<std::uint64_t>& callstack) {
    VTImageInformation image;
    std::uint64_t address = 0;
    if (!findPelgraveModule(&image, &address, callstack)) return false;
    if (!summaryDataForImageInformation(image, address)) return false;
    VTErrorProperties& summary = summaryData();

    std::string stack;
    for (std::uint64_t frame : callstack) appendLittleEndian(stack, frame);
    summary.setStackHash(crc32Of(stack));

    std::string bucket = summary.moduleName().value_or("");
    appendLittleEndian(bucket, summary.moduleOffset());
    appendLittleEndian(bucket, summary.logicalFailureID());
    summary.setBucketId(crc32Of(bucket));
    return summary.bucketId() != 0;
}

bool VTLogicalError::bucketFailure(std::uint64_t failureID, std::uint64_t address) {
    return bucketFailure(failureID, std::vector<std::uint64_t>{address});
}

bool VTLogicalError::setFailureCallstack(const std::vector<std::uint64_t>& callstack) {
    if (isFinal()) return false;
    addDump();
    return bucketFailure(summaryData().logicalFailureID(), callstack);
}
