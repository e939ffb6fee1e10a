// Filling the report record before any crash; it may allocate and fail.
#include <sys/random.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FVCrashReporter/Source/FVCrashProcessInfo.h"
#include "FVCrashReporter/Source/FVCrashSysctl.h"
#include "FVCrashReporter/Source/crash/FVCrashLogWriter.h"
#include "Platform/System/SystemInfo.h"

namespace {

constexpr int32_t kOperatingSystemUnknown = 3;
constexpr int32_t kArchitectureX86_64 = 1;

char* copyString(const char* text) { return strdup(text ? text : ""); }

char* copyOptional(const std::optional<std::string>& text) {
    return text ? strdup(text->c_str()) : nullptr;
}

char* executablePath() {
    std::string buffer(PATH_MAX, '\0');
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length <= 0) return nullptr;
    buffer.resize(static_cast<size_t>(length));
    return strdup(buffer.c_str());
}

void randomUuid(uint8_t uuid[16]) {
    if (getrandom(uuid, 16, 0) != 16) {
        for (int i = 0; i < 16; ++i) uuid[i] = static_cast<uint8_t>(random());
    }
    uuid[6] = static_cast<uint8_t>((uuid[6] & 0x0f) | 0x40);  // version 4
    uuid[8] = static_cast<uint8_t>((uuid[8] & 0x3f) | 0x80);  // variant 1
}

}  // namespace

fvcrash_status fvcrash_writer_setup(fvcrash_log_writer* writer, const char* identifier,
                                    const char* version, const char* marketing_version,
                                    uint32_t strategy, bool user_requested) {
    memset(static_cast<void*>(writer), 0, sizeof *writer);
    fvcrash_status status = FVCRASH_ESUCCESS;
    writer->report.strategy = strategy;
    writer->report.user_requested = user_requested;
    randomUuid(writer->report.uuid);

    writer->application.identifier = copyString(identifier);
    writer->application.version = copyString(version);
    if (marketing_version) writer->application.marketing_version = strdup(marketing_version);

    if (auto process = FVCrashProcessInfo::currentProcessInfo()) {
        writer->process.pid = process->processID();
        writer->process.name = copyOptional(process->processName());
        writer->process.start_time = static_cast<uint64_t>(process->startTime().tv_sec);
        writer->process.parent_pid = process->parentProcessID();
        if (auto parent = FVCrashProcessInfo::initWithProcessID(process->parentProcessID()))
            writer->process.parent_name = copyOptional(parent->processName());
    } else {
        writer->process.pid = getpid();
        writer->process.parent_pid = getppid();
        status = FVCRASH_EINVAL;
    }
    writer->process.path = executablePath();
    writer->process.native = true;

    writer->machine.model = fvcrash_sysctl_string("hw.model");
    int32_t value = 0;
    if (fvcrash_sysctl_int("hw.cputype", &value))
        writer->machine.cpu_type = static_cast<uint64_t>(static_cast<int64_t>(value));
    if (fvcrash_sysctl_int("hw.cpusubtype", &value))
        writer->machine.cpu_subtype = static_cast<uint64_t>(static_cast<int64_t>(value));
    if (fvcrash_sysctl_int("hw.physicalcpu_max", &value))
        writer->machine.processor_count = static_cast<uint32_t>(value);
    if (fvcrash_sysctl_int("hw.logicalcpu_max", &value))
        writer->machine.logical_processor_count = static_cast<uint32_t>(value);

    writer->system.operating_system = kOperatingSystemUnknown;
    writer->system.architecture = kArchitectureX86_64;
    utsname names{};
    writer->system.os_build = copyString(uname(&names) == 0 ? names.release : "");
    std::optional<std::string> osVersion;
    try {
        osVersion = platform::systemInfo()->osVersion();
    } catch (...) {
    }
    if (!osVersion && status == FVCRASH_ESUCCESS) status = FVCRASH_EINTERNAL;
    writer->system.os_version = copyString(osVersion ? osVersion->c_str() : "");

    std::atomic_thread_fence(std::memory_order_seq_cst);
    return status;
}

bool fvcrash_log_writer_set_exception(fvcrash_log_writer* writer, const char* name,
                                      const char* reason, const uint64_t* frames, size_t count) {
    if (writer->exception.claimed.exchange(true, std::memory_order_acq_rel)) return false;
    writer->exception.name = copyString(name);
    writer->exception.reason = copyString(reason);
    if (count) {
        writer->exception.frames = static_cast<uint64_t*>(malloc(count * sizeof(uint64_t)));
        if (writer->exception.frames) {
            memcpy(writer->exception.frames, frames, count * sizeof(uint64_t));
            writer->exception.frame_count = count;
        }
    }
    writer->exception.present.store(true, std::memory_order_release);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    return true;
}

void fvcrash_writer_release(fvcrash_log_writer* writer) {
    for (char* text :
         {writer->system.os_version, writer->system.os_build, writer->machine.model,
          writer->application.identifier, writer->application.version,
          writer->application.marketing_version, writer->process.name, writer->process.path,
          writer->process.parent_name, writer->exception.name, writer->exception.reason})
        free(text);
    free(writer->exception.frames);
    memset(static_cast<void*>(writer), 0, sizeof *writer);
}
