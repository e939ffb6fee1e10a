// A crash report file read back: the header checked, the message unpacked
// with protobuf-c by the report's schema, and the sections turned into
// immutable report objects.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Values/Error.h"
#include "Platform/Values/Value.h"
#include "fvcrash_report.pb-c.h"

using FVCrashDate = std::chrono::system_clock::time_point;

class FVCrashReportProcessorInfo {
  public:
    FVCrashReportProcessorInfo(uint32_t typeEncoding, uint64_t type, uint64_t subtype)
        : typeEncoding_(typeEncoding), type_(type), subtype_(subtype) {}
    uint32_t typeEncoding() const { return typeEncoding_; }
    uint64_t type() const { return type_; }
    uint64_t subtype() const { return subtype_; }

  private:
    uint32_t typeEncoding_;
    uint64_t type_;
    uint64_t subtype_;
};
using FVCrashProcessorPtr = std::shared_ptr<const FVCrashReportProcessorInfo>;

class FVCrashReportSystemInfo {
  public:
    FVCrashReportSystemInfo(uint32_t operatingSystem, std::string operatingSystemVersion,
                            std::optional<std::string> operatingSystemBuild, uint32_t architecture,
                            FVCrashProcessorPtr processorInfo, std::optional<FVCrashDate> timestamp)
        : operatingSystem_(operatingSystem),
          operatingSystemVersion_(std::move(operatingSystemVersion)),
          operatingSystemBuild_(std::move(operatingSystemBuild)),
          architecture_(architecture),
          processorInfo_(std::move(processorInfo)),
          timestamp_(timestamp) {}
    uint32_t operatingSystem() const { return operatingSystem_; }
    const std::string& operatingSystemVersion() const { return operatingSystemVersion_; }
    const std::optional<std::string>& operatingSystemBuild() const { return operatingSystemBuild_; }
    uint32_t architecture() const { return architecture_; }
    const FVCrashProcessorPtr& processorInfo() const { return processorInfo_; }
    const std::optional<FVCrashDate>& timestamp() const { return timestamp_; }

  private:
    uint32_t operatingSystem_;
    std::string operatingSystemVersion_;
    std::optional<std::string> operatingSystemBuild_;
    uint32_t architecture_;
    FVCrashProcessorPtr processorInfo_;
    std::optional<FVCrashDate> timestamp_;
};

class FVCrashReportMachineInfo {
  public:
    FVCrashReportMachineInfo(std::optional<std::string> modelName,
                             FVCrashProcessorPtr processorInfo, uint64_t processorCount,
                             uint64_t logicalProcessorCount)
        : modelName_(std::move(modelName)),
          processorInfo_(std::move(processorInfo)),
          processorCount_(processorCount),
          logicalProcessorCount_(logicalProcessorCount) {}
    const std::optional<std::string>& modelName() const { return modelName_; }
    const FVCrashProcessorPtr& processorInfo() const { return processorInfo_; }
    uint64_t processorCount() const { return processorCount_; }
    uint64_t logicalProcessorCount() const { return logicalProcessorCount_; }

  private:
    std::optional<std::string> modelName_;
    FVCrashProcessorPtr processorInfo_;
    uint64_t processorCount_;
    uint64_t logicalProcessorCount_;
};

class FVCrashReportApplicationInfo {
  public:
    FVCrashReportApplicationInfo(std::string applicationIdentifier, std::string applicationVersion,
                                 std::optional<std::string> applicationMarketingVersion)
        : applicationIdentifier_(std::move(applicationIdentifier)),
          applicationVersion_(std::move(applicationVersion)),
          applicationMarketingVersion_(std::move(applicationMarketingVersion)) {}
    const std::string& applicationIdentifier() const { return applicationIdentifier_; }
    const std::string& applicationVersion() const { return applicationVersion_; }
    const std::optional<std::string>& applicationMarketingVersion() const {
        return applicationMarketingVersion_;
    }

  private:
    std::string applicationIdentifier_;
    std::string applicationVersion_;
    std::optional<std::string> applicationMarketingVersion_;
};

class FVCrashReportProcessInfo {
  public:
    FVCrashReportProcessInfo(std::optional<std::string> processName, uint64_t processID,
                             std::optional<std::string> processPath,
                             std::optional<FVCrashDate> processStartTime,
                             std::optional<std::string> parentProcessName, uint64_t parentProcessID,
                             bool native)
        : processName_(std::move(processName)),
          processID_(processID),
          processPath_(std::move(processPath)),
          processStartTime_(processStartTime),
          parentProcessName_(std::move(parentProcessName)),
          parentProcessID_(parentProcessID),
          native_(native) {}
    const std::optional<std::string>& processName() const { return processName_; }
    uint64_t processID() const { return processID_; }
    const std::optional<std::string>& processPath() const { return processPath_; }
    const std::optional<FVCrashDate>& processStartTime() const { return processStartTime_; }
    const std::optional<std::string>& parentProcessName() const { return parentProcessName_; }
    uint64_t parentProcessID() const { return parentProcessID_; }
    bool native() const { return native_; }

  private:
    std::optional<std::string> processName_;
    uint64_t processID_;
    std::optional<std::string> processPath_;
    std::optional<FVCrashDate> processStartTime_;
    std::optional<std::string> parentProcessName_;
    uint64_t parentProcessID_;
    bool native_;
};

class FVCrashReportSymbolInfo {
  public:
    FVCrashReportSymbolInfo(std::string symbolName, uint64_t startAddress, uint64_t endAddress)
        : symbolName_(std::move(symbolName)),
          startAddress_(startAddress),
          endAddress_(endAddress) {}
    const std::string& symbolName() const { return symbolName_; }
    uint64_t startAddress() const { return startAddress_; }
    /// 0 when unknown.
    uint64_t endAddress() const { return endAddress_; }

  private:
    std::string symbolName_;
    uint64_t startAddress_;
    uint64_t endAddress_;
};

class FVCrashReportStackFrameInfo {
  public:
    FVCrashReportStackFrameInfo(uint64_t instructionPointer,
                                std::shared_ptr<const FVCrashReportSymbolInfo> symbolInfo)
        : instructionPointer_(instructionPointer), symbolInfo_(std::move(symbolInfo)) {}
    uint64_t instructionPointer() const { return instructionPointer_; }
    /// May be null.
    const std::shared_ptr<const FVCrashReportSymbolInfo>& symbolInfo() const { return symbolInfo_; }

  private:
    uint64_t instructionPointer_;
    std::shared_ptr<const FVCrashReportSymbolInfo> symbolInfo_;
};

class FVCrashReportRegisterInfo {
  public:
    FVCrashReportRegisterInfo(std::string registerName, uint64_t registerValue)
        : registerName_(std::move(registerName)), registerValue_(registerValue) {}
    const std::string& registerName() const { return registerName_; }
    uint64_t registerValue() const { return registerValue_; }

  private:
    std::string registerName_;
    uint64_t registerValue_;
};

class FVCrashReportThreadInfo {
  public:
    FVCrashReportThreadInfo(int64_t threadNumber,
                            std::vector<FVCrashReportStackFrameInfo> stackFrames, bool crashed,
                            std::vector<FVCrashReportRegisterInfo> registers)
        : threadNumber_(threadNumber),
          stackFrames_(std::move(stackFrames)),
          crashed_(crashed),
          registers_(std::move(registers)) {}
    int64_t threadNumber() const { return threadNumber_; }
    const std::vector<FVCrashReportStackFrameInfo>& stackFrames() const { return stackFrames_; }
    bool crashed() const { return crashed_; }
    const std::vector<FVCrashReportRegisterInfo>& registers() const { return registers_; }

  private:
    int64_t threadNumber_;
    std::vector<FVCrashReportStackFrameInfo> stackFrames_;
    bool crashed_;
    std::vector<FVCrashReportRegisterInfo> registers_;
};

class FVCrashReportBinaryImageInfo {
  public:
    /// `uuid` holds the image's UUID bytes when it has one.
    FVCrashReportBinaryImageInfo(FVCrashProcessorPtr codeType, uint64_t baseAddress, uint64_t size,
                                 std::string name, const std::optional<std::vector<uint8_t>>& uuid);
    const FVCrashProcessorPtr& codeType() const { return codeType_; }
    uint64_t imageBaseAddress() const { return imageBaseAddress_; }
    uint64_t imageSize() const { return imageSize_; }
    const std::string& imageName() const { return imageName_; }
    bool hasImageUUID() const { return imageUUID_.has_value(); }
    /// Lower-case hexadecimal digits without separators.
    const std::optional<std::string>& imageUUID() const { return imageUUID_; }

  private:
    FVCrashProcessorPtr codeType_;
    uint64_t imageBaseAddress_;
    uint64_t imageSize_;
    std::string imageName_;
    std::optional<std::string> imageUUID_;
};

class FVCrashReportExceptionInfo {
  public:
    FVCrashReportExceptionInfo(std::string exceptionName, std::string exceptionReason,
                               std::optional<std::vector<FVCrashReportStackFrameInfo>> stackFrames)
        : exceptionName_(std::move(exceptionName)),
          exceptionReason_(std::move(exceptionReason)),
          stackFrames_(std::move(stackFrames)) {}
    const std::string& exceptionName() const { return exceptionName_; }
    const std::string& exceptionReason() const { return exceptionReason_; }
    const std::optional<std::vector<FVCrashReportStackFrameInfo>>& stackFrames() const {
        return stackFrames_;
    }

  private:
    std::string exceptionName_;
    std::string exceptionReason_;
    std::optional<std::vector<FVCrashReportStackFrameInfo>> stackFrames_;
};

class FVCrashReportSignalInfo {
  public:
    FVCrashReportSignalInfo(std::string name, std::string code, uint64_t address)
        : name_(std::move(name)), code_(std::move(code)), address_(address) {}
    const std::string& name() const { return name_; }
    const std::string& code() const { return code_; }
    uint64_t address() const { return address_; }

  private:
    std::string name_;
    std::string code_;
    uint64_t address_;
};

class FVCrashReportMachExceptionInfo {
  public:
    FVCrashReportMachExceptionInfo(uint64_t type, std::vector<uint64_t> codes)
        : type_(type), codes_(std::move(codes)) {}
    uint64_t type() const { return type_; }
    const std::vector<uint64_t>& codes() const { return codes_; }

  private:
    uint64_t type_;
    std::vector<uint64_t> codes_;
};

using FVCrashUUIDBytes = std::array<uint8_t, 16>;

class FVCrashReport {
  public:
    /// Decodes the bytes of a report file. Null and a FVCrashReporterErrorDomain
    /// error of code 2 when they are not a report.
    static std::shared_ptr<FVCrashReport> initWithData(const uint8_t* data, size_t length,
                                                       platform::Error* error);
    /// An empty report, to be filled by setValuesForPropertiesFromJSONProxy.
    static std::shared_ptr<FVCrashReport> init();
    ~FVCrashReport();
    FVCrashReport(const FVCrashReport&) = delete;
    FVCrashReport& operator=(const FVCrashReport&) = delete;

    /// The unpacked message (owned by this object); only reports built from
    /// a file have one.
    const Fvcrash__CrashReport& message() const { return *message_; }
    bool hasMessage() const { return message_ != nullptr; }

    /// Fills the report from a JSON crash dictionary in five steps (images,
    /// threads, the Mach exception, the process, the host); false at the
    /// first step that fails, with code 2 in `error`. What the earlier steps
    /// set stays set.
    bool setValuesForPropertiesFromJSONProxy(const platform::Value& json, platform::Error* error);

    const std::shared_ptr<const FVCrashReportSystemInfo>& systemInfo() const { return systemInfo_; }
    const std::shared_ptr<const FVCrashReportMachineInfo>& machineInfo() const {
        return machineInfo_;
    }
    const std::shared_ptr<const FVCrashReportApplicationInfo>& applicationInfo() const {
        return applicationInfo_;
    }
    const std::shared_ptr<const FVCrashReportProcessInfo>& processInfo() const {
        return processInfo_;
    }
    const std::shared_ptr<const FVCrashReportSignalInfo>& signalInfo() const { return signalInfo_; }
    const std::shared_ptr<const FVCrashReportMachExceptionInfo>& machExceptionInfo() const {
        return machExceptionInfo_;
    }
    const std::vector<FVCrashReportThreadInfo>& threads() const { return threads_; }
    const std::vector<FVCrashReportBinaryImageInfo>& images() const { return images_; }
    const std::shared_ptr<const FVCrashReportExceptionInfo>& exceptionInfo() const {
        return exceptionInfo_;
    }
    const std::optional<FVCrashUUIDBytes>& uuidRef() const { return uuid_; }
    bool hasMachineInfo() const { return machineInfo_ != nullptr; }
    bool hasProcessInfo() const { return processInfo_ != nullptr; }
    bool hasExceptionInfo() const { return exceptionInfo_ != nullptr; }

    /// The first image whose range holds `address`, or null.
    const FVCrashReportBinaryImageInfo* imageForAddress(uint64_t address) const;

  private:
    FVCrashReport() = default;
    bool build(platform::Error* error);

    Fvcrash__CrashReport* message_ = nullptr;
    std::shared_ptr<const FVCrashReportSystemInfo> systemInfo_;
    std::shared_ptr<const FVCrashReportMachineInfo> machineInfo_;
    std::shared_ptr<const FVCrashReportApplicationInfo> applicationInfo_;
    std::shared_ptr<const FVCrashReportProcessInfo> processInfo_;
    std::shared_ptr<const FVCrashReportSignalInfo> signalInfo_;
    std::shared_ptr<const FVCrashReportMachExceptionInfo> machExceptionInfo_;
    std::vector<FVCrashReportThreadInfo> threads_;
    std::vector<FVCrashReportBinaryImageInfo> images_;
    std::shared_ptr<const FVCrashReportExceptionInfo> exceptionInfo_;
    std::optional<FVCrashUUIDBytes> uuid_;
};

/// Steps 1-4 of reading a report: header, version and unpacking. Null and
/// `error` filled on failure; the caller frees the message with
/// fvcrash__crash_report__free_unpacked.
Fvcrash__CrashReport* fvcrash_decode_crash_data(const uint8_t* data, size_t length,
                                                platform::Error* error);
