// The crash report file: the bytes "fvcrash", a version byte and one
// fvcrash.CrashReport message, encoded here field by field in two passes
// (a sub-message's size first, then its bytes) so that nothing is allocated
// while the process is crashing.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "FVCrashReporter/Source/crash/FVCrashAsync.h"
#include "FVCrashReporter/Source/crash/FVCrashImageList.h"
#include "FVCrashReporter/Source/crash/FVCrashThreadState.h"

inline constexpr size_t FVCRASH_REPORT_FILE_LIMIT = 262144;
inline constexpr uint32_t FVCRASH_REPORT_MAX_FRAMES = 512;
inline constexpr uint8_t FVCRASH_REPORT_VERSION = 1;

/// Field types, numbered as protobuf-c numbers them.
enum fvcrash_field_type : int {
    FVCRASH_FIELD_INT32 = 0,
    FVCRASH_FIELD_SINT32,
    FVCRASH_FIELD_SFIXED32,
    FVCRASH_FIELD_INT64,
    FVCRASH_FIELD_SINT64,
    FVCRASH_FIELD_SFIXED64,
    FVCRASH_FIELD_UINT32,
    FVCRASH_FIELD_FIXED32,
    FVCRASH_FIELD_UINT64,
    FVCRASH_FIELD_FIXED64,
    FVCRASH_FIELD_FLOAT,
    FVCRASH_FIELD_DOUBLE,
    FVCRASH_FIELD_BOOL,
    FVCRASH_FIELD_ENUM,
    FVCRASH_FIELD_STRING,
    FVCRASH_FIELD_BYTES,
    FVCRASH_FIELD_MESSAGE,
};

/// The value of a bytes field.
struct fvcrash_field_bytes {
    size_t length;
    const void* data;
};

/// Encodes one field (value points at the type's C value; a string field
/// takes the `const char*` itself). Returns the bytes written, or that would
/// be written when `file` is null. A message field writes only its tag and
/// the 32-bit size that `value` points at. An unknown type aborts.
size_t fvcrash_emit_field(fvcrash_outfile* file, uint32_t field, int type, const void* value);

/// Everything about the process that a report needs, prepared before a
/// crash. Strings are private copies (never null once set up: "" when
/// unknown), except the marketing version and the process names and path,
/// which may be null.
struct fvcrash_log_writer {
    struct {
        uint32_t strategy;
        bool user_requested;
        uint8_t uuid[16];
    } report;
    struct {
        int32_t operating_system;
        int32_t architecture;
        char* os_version;
        char* os_build;
    } system;
    struct {
        char* model;
        uint64_t cpu_type;
        uint64_t cpu_subtype;
        uint32_t processor_count;
        uint32_t logical_processor_count;
    } machine;
    struct {
        char* identifier;
        char* version;
        char* marketing_version;
    } application;
    struct {
        char* name;
        pid_t pid;
        char* path;
        uint64_t start_time;
        char* parent_name;
        pid_t parent_pid;
        bool native;
    } process;
    struct {
        std::atomic<bool> claimed;  // set by the first uncaught exception
        std::atomic<bool> present;
        char* name;
        char* reason;
        uint64_t* frames;
        size_t frame_count;
    } exception;
};

/// The signal a report is about, with the exception's Mach part when there
/// is one.
struct fvcrash_signal_info {
    struct {
        int32_t signo;
        int32_t code;
        uint64_t address;
    } bsd;
    struct {
        int32_t type;
        const uint64_t* codes;
        uint32_t code_count;
    } mach;
    bool has_mach;
};

/// Fills the record (not for the crash path). Goes on past failures, leaving
/// "" in required strings it cannot fill; returns 5 when the process facts
/// were unavailable, 6 when the system version was, else 0.
fvcrash_status fvcrash_writer_setup(fvcrash_log_writer* writer, const char* identifier,
                                    const char* version, const char* marketing_version,
                                    uint32_t strategy, bool user_requested);

/// Records an uncaught exception (not for the crash path: it allocates).
/// Only the first caller records; false for any later one.
bool fvcrash_log_writer_set_exception(fvcrash_log_writer* writer, const char* name,
                                      const char* reason, const uint64_t* frames, size_t count);

/// Writes the whole report for `crashed` to `file`. `current` is the calling
/// thread's state, or null when the calling thread is not to be written (a
/// live report of another thread). The other threads are stopped while
/// their stacks are read.
fvcrash_status fvcrash_writer_write_report(fvcrash_log_writer* writer, pid_t crashed,
                                           fvcrash_image_list* images, fvcrash_outfile* file,
                                           const fvcrash_signal_info* signal,
                                           const fvcrash_thread_state* current);

/// Ending the writer has nothing to do.
inline fvcrash_status fvcrash_writer_close(fvcrash_log_writer*) { return FVCRASH_ESUCCESS; }

/// Frees the record's strings and the exception.
void fvcrash_writer_release(fvcrash_log_writer* writer);
