#include "FVCrashReporter/Source/FVCrashReport.h"

#include <cstring>
#include <string>

#include "FVCrashReporter/Source/FVCrashReporterError.h"

Fvcrash__CrashReport* fvcrash_decode_crash_data(const uint8_t* data, size_t length,
                                                platform::Error* error) {
    const auto fail = [&](const std::string& message) -> Fvcrash__CrashReport* {
        fvcrash_populate_error(error, FVCrashReporterErrorInvalidCrashReport, message, nullptr);
        return nullptr;
    };
    if (!data || length < 9) return fail("Could not decode truncated crash log");
    if (memcmp(data, "fvcrash", 7) != 0) return fail("Could not decode invalid crash log header");
    if (data[7] != 1)
        return fail("Could not decode unsupported crash report version: " +
                    std::to_string(static_cast<int>(data[7])));
    Fvcrash__CrashReport* message = fvcrash__crash_report__unpack(nullptr, length - 8, data + 8);
    if (!message) return fail("An unknown error occured decoding the crash report");
    return message;
}

FVCrashReportBinaryImageInfo::FVCrashReportBinaryImageInfo(
    FVCrashProcessorPtr codeType, uint64_t baseAddress, uint64_t size, std::string name,
    const std::optional<std::vector<uint8_t>>& uuid)
    : codeType_(std::move(codeType)),
      imageBaseAddress_(baseAddress),
      imageSize_(size),
      imageName_(std::move(name)) {
    if (!uuid) return;
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(uuid->size() * 2);
    for (uint8_t byte : *uuid) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0f]);
    }
    imageUUID_ = std::move(text);
}

namespace {

std::optional<std::string> optionalText(const char* text) {
    if (!text) return std::nullopt;
    return std::string(text);
}

// Nothing when the clock cannot hold the date (centuries away: a damaged
// report).
std::optional<FVCrashDate> dateFromSeconds(int64_t seconds) {
    constexpr int64_t kLimit =
        std::chrono::duration_cast<std::chrono::seconds>(FVCrashDate::duration::max()).count() - 1;
    if (seconds > kLimit || seconds < -kLimit) return std::nullopt;
    return FVCrashDate(
        std::chrono::duration_cast<FVCrashDate::duration>(std::chrono::seconds(seconds)));
}

// protobuf-c stores any int32 in an enum field, so a report can hold a value
// outside its enum's range; loading it as the enum type is undefined. The
// stored integer is read as an integer, and values the enum does not know
// become its "unknown" value before anything converts them.
template <typename Enum>
uint32_t knownEnumValue(const Enum& field, int32_t last, int32_t unknown) {
    static_assert(sizeof(Enum) == sizeof(int32_t));
    int32_t raw;
    memcpy(&raw, &field, sizeof raw);
    return static_cast<uint32_t>(raw >= 0 && raw <= last ? raw : unknown);
}

uint32_t architectureOf(const Fvcrash__CrashReport__SystemInfo& system) {
    return knownEnumValue(system.architecture, FVCRASH__ARCHITECTURE__ARCHITECTURE_UNKNOWN,
                          FVCRASH__ARCHITECTURE__ARCHITECTURE_UNKNOWN);
}

// The building steps share one failure path: the first message wins.
class Builder {
  public:
    explicit Builder(platform::Error* error) : error_(error) {}

    bool fail(const std::string& message) {
        fvcrash_populate_error(error_, FVCrashReporterErrorInvalidCrashReport, message, nullptr);
        return false;
    }

    bool processor(const Fvcrash__CrashReport__Processor* message, FVCrashProcessorPtr* out) {
        if (!message) return fail("Crash report is missing processor info section");
        *out = std::make_shared<FVCrashReportProcessorInfo>(
            message->has_encoding
                ? knownEnumValue(
                      message->encoding,
                      FVCRASH__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_MACH,
                      FVCRASH__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_UNKNOWN)
                : 0u,
            message->type, message->subtype);
        return true;
    }

    bool frame(const Fvcrash__CrashReport__Thread__StackFrame* message,
               std::vector<FVCrashReportStackFrameInfo>* out) {
        if (!message) return fail("Crash report is missing stack frame information");
        std::shared_ptr<const FVCrashReportSymbolInfo> symbol;
        if (message->symbol) {
            const Fvcrash__CrashReport__Symbol* s = message->symbol;
            if (!s->name) return fail("Crash report is missing symbol information");
            symbol = std::make_shared<FVCrashReportSymbolInfo>(
                s->name, s->start_address, s->has_end_address ? s->end_address : 0);
        }
        out->emplace_back(message->pc, std::move(symbol));
        return true;
    }

    bool frames(Fvcrash__CrashReport__Thread__StackFrame* const* messages, size_t count,
                std::vector<FVCrashReportStackFrameInfo>* out) {
        out->reserve(count);
        for (size_t i = 0; i < count; ++i)
            if (!frame(messages[i], out)) return false;
        return true;
    }

  private:
    platform::Error* error_;
};

FVCrashProcessorPtr processorForArchitecture(uint32_t architecture) {
    uint64_t type = 0;
    uint64_t subtype = 0;
    switch (architecture) {
        case FVCRASH__ARCHITECTURE__X86_32:
            type = 7, subtype = 3;
            break;
        case FVCRASH__ARCHITECTURE__X86_64:
            type = 0x1000007, subtype = 3;
            break;
        case FVCRASH__ARCHITECTURE__ARMV6:
            type = 12, subtype = 6;
            break;
        case FVCRASH__ARCHITECTURE__PPC:
            type = 18, subtype = 0;
            break;
        case FVCRASH__ARCHITECTURE__PPC64:
            type = 0x1000012, subtype = 0;
            break;
        case FVCRASH__ARCHITECTURE__ARMV7:
            type = 12, subtype = 9;
            break;
        default:
            return nullptr;
    }
    return std::make_shared<FVCrashReportProcessorInfo>(1, type, subtype);
}

}  // namespace

bool FVCrashReport::build(platform::Error* error) {
    Builder b(error);
    const Fvcrash__CrashReport& m = *message_;

    if (m.report_info && m.report_info->has_uuid) {
        if (m.report_info->uuid.len != 16)
            return b.fail("Report UUID value is not a standard 16 bytes");
        FVCrashUUIDBytes bytes;
        memcpy(bytes.data(), m.report_info->uuid.data, 16);
        uuid_ = bytes;
    }

    if (m.machine_info) {
        FVCrashProcessorPtr processor;
        if (m.machine_info->processor && !b.processor(m.machine_info->processor, &processor))
            return false;
        machineInfo_ = std::make_shared<FVCrashReportMachineInfo>(
            optionalText(m.machine_info->model), std::move(processor),
            m.machine_info->processor_count, m.machine_info->logical_processor_count);
    }

    const Fvcrash__CrashReport__SystemInfo* system = m.system_info;
    if (!system) return b.fail("Crash report is missing System Information section");
    if (!system->os_version)
        return b.fail("Crash report is missing System Information OS version field");
    FVCrashProcessorPtr systemProcessor;
    if (machineInfo_) {
        systemProcessor = machineInfo_->processorInfo();
    } else {
        systemProcessor = processorForArchitecture(architectureOf(*system));
        if (!systemProcessor) return b.fail("Crash report has an unknown architecture");
    }
    std::optional<FVCrashDate> timestamp;
    if (system->timestamp != 0) timestamp = dateFromSeconds(system->timestamp);
    systemInfo_ = std::make_shared<FVCrashReportSystemInfo>(
        system->has_operating_system
            ? knownEnumValue(system->operating_system,
                             FVCRASH__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__OS_UNKNOWN,
                             FVCRASH__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__OS_UNKNOWN)
            : 0u,
        system->os_version, optionalText(system->os_build), architectureOf(*system),
        std::move(systemProcessor), timestamp);

    const Fvcrash__CrashReport__ApplicationInfo* application = m.application_info;
    if (!application) return b.fail("Crash report is missing Application Information section");
    if (!application->identifier)
        return b.fail("Crash report is missing Application Information app identifier field");
    if (!application->version)
        return b.fail("Crash report is missing Application Information app version field");
    applicationInfo_ = std::make_shared<FVCrashReportApplicationInfo>(
        application->identifier, application->version,
        optionalText(application->marketing_version));

    if (const Fvcrash__CrashReport__ProcessInfo* process = m.process_info) {
        std::optional<FVCrashDate> start;
        if (process->has_start_time)
            start = dateFromSeconds(static_cast<int64_t>(process->start_time));
        processInfo_ = std::make_shared<FVCrashReportProcessInfo>(
            optionalText(process->process_name), process->process_id,
            optionalText(process->process_path), start, optionalText(process->parent_process_name),
            process->parent_process_id, process->native);
    }

    const Fvcrash__CrashReport__Signal* signal = m.signal;
    if (!signal) return b.fail("Crash report is missing Signal Information section");
    if (!signal->name) return b.fail("Crash report is missing signal name field");
    if (!signal->code) return b.fail("Crash report is missing signal code field");
    signalInfo_ =
        std::make_shared<FVCrashReportSignalInfo>(signal->name, signal->code, signal->address);

    if (const Fvcrash__CrashReport__Signal__MachException* mach = signal->mach_exception) {
        if (mach->n_codes >= 256)
            return b.fail("Crash report includes too many Mach Exception codes");
        machExceptionInfo_ = std::make_shared<FVCrashReportMachExceptionInfo>(
            mach->type, std::vector<uint64_t>(mach->codes, mach->codes + mach->n_codes));
    }

    if (m.n_threads == 0) return b.fail("Crash report is missing thread state information");
    threads_.reserve(m.n_threads);
    for (size_t i = 0; i < m.n_threads; ++i) {
        const Fvcrash__CrashReport__Thread* thread = m.threads[i];
        if (!thread) return b.fail("Crash report is missing thread state information");
        std::vector<FVCrashReportStackFrameInfo> frames;
        if (!b.frames(thread->frames, thread->n_frames, &frames)) return false;
        std::vector<FVCrashReportRegisterInfo> registers;
        registers.reserve(thread->n_registers);
        for (size_t r = 0; r < thread->n_registers; ++r) {
            const Fvcrash__CrashReport__Thread__RegisterValue* value = thread->registers[r];
            if (!value || !value->name) return b.fail("Missing register name in register value");
            registers.emplace_back(value->name, value->value);
        }
        threads_.emplace_back(thread->thread_number, std::move(frames), thread->crashed,
                              std::move(registers));
    }

    if (m.n_binary_images == 0) return b.fail("Crash report is missing binary image information");
    images_.reserve(m.n_binary_images);
    for (size_t i = 0; i < m.n_binary_images; ++i) {
        const Fvcrash__CrashReport__BinaryImage* image = m.binary_images[i];
        if (!image || !image->name) return b.fail("Missing image name in image record");
        std::optional<std::vector<uint8_t>> uuid;
        if (image->has_uuid) uuid.emplace(image->uuid.data, image->uuid.data + image->uuid.len);
        FVCrashProcessorPtr codeType;
        if (image->code_type && !b.processor(image->code_type, &codeType)) return false;
        images_.emplace_back(std::move(codeType), image->base_address, image->size, image->name,
                             uuid);
    }

    if (const Fvcrash__CrashReport__Exception* exception = m.exception) {
        if (!exception->name) return b.fail("Crash report is missing exception name field");
        if (!exception->reason) return b.fail("Crash report is missing exception reason field");
        std::optional<std::vector<FVCrashReportStackFrameInfo>> frames;
        if (exception->n_frames > 0) {
            frames.emplace();
            if (!b.frames(exception->frames, exception->n_frames, &*frames)) return false;
        }
        exceptionInfo_ = std::make_shared<FVCrashReportExceptionInfo>(
            exception->name, exception->reason, std::move(frames));
    }
    return true;
}

std::shared_ptr<FVCrashReport> FVCrashReport::initWithData(const uint8_t* data, size_t length,
                                                           platform::Error* error) {
    Fvcrash__CrashReport* message = fvcrash_decode_crash_data(data, length, error);
    if (!message) return nullptr;
    std::shared_ptr<FVCrashReport> report(new FVCrashReport());
    report->message_ = message;
    if (!report->build(error)) return nullptr;
    return report;
}

const FVCrashReportBinaryImageInfo* FVCrashReport::imageForAddress(uint64_t address) const {
    for (const FVCrashReportBinaryImageInfo& image : images_) {
        // Written as a difference so that no base + size can wrap.
        if (address >= image.imageBaseAddress() &&
            address - image.imageBaseAddress() < image.imageSize())
            return &image;
    }
    return nullptr;
}

FVCrashReport::~FVCrashReport() {
    if (message_) fvcrash__crash_report__free_unpacked(message_, nullptr);
}
