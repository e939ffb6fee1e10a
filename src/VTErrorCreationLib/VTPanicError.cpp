#include "VTErrorCreationLib/VTPanicError.h"

#include <sys/stat.h>
#include <zlib.h>

#include "Platform/System/Paths.h"
#include "VTErrorCreationLib/Utilities/VTCoding.h"
#include "VTErrorCreationLib/VTClient.h"

namespace {

void appendLittleEndian(std::string& buffer, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) buffer += static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::uint64_t crc32Of(const std::string& bytes) {
    return crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size()));
}

std::optional<VTUUID> uuidOf(const std::optional<std::string>& text) {
    return text ? VTUUID::initWithUUIDString(*text) : std::nullopt;
}

}  // namespace

VTPanicError::VTPanicError(std::shared_ptr<VTErrorClient> client)
    : VTErrorInstance(kVTFailureTypeKernelPanic, 2, std::move(client)) {}

VTPanicError::VTPanicError(VTErrorProperties properties, VTErrorData data, std::string folder,
                           std::shared_ptr<VTErrorClient> client, std::uint64_t openMode)
    : VTErrorInstance(std::move(properties), std::move(data), std::move(folder), std::move(client),
                      openMode) {}

std::shared_ptr<VTPanicError> VTPanicError::initWithParsedPanic(
    const VTApplePanicReportParser& parser, const std::shared_ptr<VTClient>& client) {
    auto error = std::make_shared<VTPanicError>(client);
    VTErrorProperties& summary = error->summaryData();
    summary.setFailureTime(parser.panicDate() ? *parser.panicDate() : platform::Date::now());
    summary.setFailureUUID(VTUUID::UUID());
    summary.setSystemUptime(parser.systemUptime());
    summary.setExceptionCode(
        static_cast<std::uint64_t>(static_cast<std::int64_t>(parser.faultCode())));
    summary.setProcessID(0);
    struct stat info;
    std::string kernelPath = "/System/Library/Kernels/kernel";
    if (::stat(platform::Paths::resolve(kernelPath).c_str(), &info) != 0)
        kernelPath = "/mach_kernel";
    summary.setProcessName(kernelPath.substr(kernelPath.rfind('/') + 1));
    summary.setProcessImagePath(kernelPath);
    if (::stat(platform::Paths::resolve(kernelPath).c_str(), &info) == 0)
        summary.setProcessTimestamp(
            platform::Date{static_cast<double>(info.st_mtim.tv_sec) + info.st_mtim.tv_nsec / 1e9});

    std::string bucket, stack;
    bool addressFixed = false;
    const auto& frames = parser.backtraceFrames();
    const auto& rebased = parser.rebasedFrames();
    for (std::size_t i = 0; i < frames.size() && i < rebased.size(); ++i) {
        const std::uint64_t address = frames[i];
        const VTKernelModule* module = parser.moduleForAddress(address);
        if (!module) continue;
        const std::uint64_t offset = rebased[i];
        appendLittleEndian(stack, offset, 8);
        const std::string identifier = module->identifier.value_or("");
        if (!summary.pelgraveModuleName() && identifier.rfind("com.pelgrave", 0) == 0) {
            bucket += identifier;
            if (module->version) bucket += *module->version;
            appendLittleEndian(bucket, offset, 8);
            summary.setPelgraveModuleName(identifier);
            summary.setPelgraveModuleVersion(module->version);
            summary.setPelgraveModuleGUID(uuidOf(module->UUID));
            summary.setFailureAddress(address);
            summary.setPelgraveModuleOffset(offset);
            addressFixed = true;
        }
        if (!summary.moduleName()) {
            summary.setModuleName(identifier);
            summary.setModuleVersion(module->version);
            summary.setModuleGUID(uuidOf(module->UUID));
            summary.setModuleOffset(offset);
            if (!addressFixed) summary.setFailureAddress(address);
        }
    }
    if (!summary.moduleName() || summary.moduleName()->empty()) {
        summary.setModuleName(summary.processName());
        const auto& kernel = parser.moduleForKernel();
        summary.setModuleVersion(kernel ? kernel->version : std::nullopt);
        summary.setModuleGUID(kernel ? uuidOf(kernel->UUID) : std::nullopt);
        summary.setModuleOffset(rebased.empty() ? 0 : rebased[0]);
    }
    const std::string reason = parser.panicReason().value_or("");
    if (bucket.empty()) {
        if (parser.faultCode() != 0 && rebased.size() >= 2) {
            appendLittleEndian(bucket, static_cast<std::uint32_t>(parser.faultCode()), 4);
            appendLittleEndian(bucket, rebased[1], 8);
        } else if (reason.empty()) {
            return nullptr;
        } else {
            bucket = reason;
        }
    }
    summary.setBucketId(crc32Of(bucket));
    summary.setStackHash(stack.empty() ? 0 : crc32Of(stack));
    if (summary.bucketId() == 0) return nullptr;
    error->addParameterDataWithKey(std::string(VTPanicReasonParameterKey), reason, nullptr);
    return error;
}

std::shared_ptr<VTPanicError> VTPanicError::errorFromPanicReportURL(
    const std::string& url, const std::shared_ptr<VTClient>& client, platform::Error* error) {
    auto parser = VTApplePanicReportParser::parserForReportAtURL(url, error);
    if (!parser || !parser->parse(error)) return nullptr;
    auto made = initWithParsedPanic(*parser, client);
    if (!made) return nullptr;
    const std::string path = url.rfind("file://", 0) == 0 ? url.substr(7) : url;
    if (!made->addDetailFileAtURL(path, std::string(VTErrorStreamIDApplePanicReport), std::nullopt,
                                  error))
        return nullptr;
    return made;
}

void VTPanicError::registerErrorKindLoader() {
    VTClient::setErrorKindLoader(
        kVTFailureTypeKernelPanic,
        [](VTClient& client, VTErrorProperties properties, VTErrorData data,
           const std::string& folder, std::uint64_t openMode) -> std::shared_ptr<VTErrorInstance> {
            return std::make_shared<VTPanicError>(std::move(properties), std::move(data), folder,
                                                  client.shared_from_this(), openMode);
        });
}
