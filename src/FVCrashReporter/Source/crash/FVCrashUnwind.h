// What the frame readers share: the stack walk's result codes, the reader
// signature and the per-report unwind cache (stack pages and checked
// windows onto the images' unwind sections). Async-signal-safe.
#pragma once

#include <cstdint>

#include "FVCrashReporter/Source/crash/FVCrashAsync.h"
#include "FVCrashReporter/Source/crash/FVCrashImageList.h"
#include "FVCrashReporter/Source/crash/FVCrashTaskMapping.h"
#include "FVCrashReporter/Source/crash/FVCrashThreadState.h"

enum fvcrash_stack_status : int {
    FVCRASH_STACK_OK = 0,
    FVCRASH_STACK_EUNKNOWN = 1,
    FVCRASH_STACK_ENOFRAME = 2,
    FVCRASH_STACK_EBADFRAME = 3,
    FVCRASH_STACK_ENOTSUP = 4,
    FVCRASH_STACK_EINVAL = 5,
    FVCRASH_STACK_EINTERNAL = 6,
    FVCRASH_STACK_EBADREG = 7,
};

/// The text of a stack status; "Unhandled error code" for other numbers.
const char* fvcrash_stack_error_text(int code);

/// A frame reader: derives the caller's registers from the current frame.
/// `previous` is null on the first step after the starting frame.
using fvcrash_stack_reader = fvcrash_stack_status (*)(fvcrash_task task, fvcrash_image_list* images,
                                                      const fvcrash_thread_state* current,
                                                      const fvcrash_thread_state* previous,
                                                      fvcrash_thread_state* caller);

/// Stack and data reads go through checked windows of up to this size,
/// made where a read first falls outside the kept ones.
inline constexpr uint32_t FVCRASH_UNWIND_MEMORY_SPAN = 64 * 1024;
inline constexpr uint32_t FVCRASH_UNWIND_MEMORY_COUNT = 4;
inline constexpr uint32_t FVCRASH_UNWIND_WINDOW_COUNT = 16;
/// Words of the bit set of checked page groups in a section window.
inline constexpr uint32_t FVCRASH_UNWIND_WINDOW_GROUP_WORDS = 64;
inline constexpr uint32_t FVCRASH_UNWIND_FRAME_COUNT = 256;  // a power of two
inline constexpr uint32_t FVCRASH_UNWIND_FRAME_RULES = 12;

enum fvcrash_unwind_window_kind : uint8_t {
    FVCRASH_UNWIND_WINDOW_NONE = 0,
    FVCRASH_UNWIND_WINDOW_COMPACT = 1,
    FVCRASH_UNWIND_WINDOW_DWARF = 2,
};

/// A checked window onto one image's unwind section, kept for the report.
struct fvcrash_unwind_window {
    const fvcrash_image* image;
    uint64_t header_addr;  // tells a new image at a reused record apart
    uint8_t kind;
    fvcrash_status status;  // the outcome of making the window
    bool debug_frame;
    bool has_hdr;  // ELF: a window on .eh_frame_hdr for the FDE search
    fvcrash_task_mapping hdr;
    fvcrash_task_mapping mapping;
    /// ELF: how far the section may run from its start. The window spans it;
    /// pages are checked (`groups`) as look-ups need them.
    uint64_t limit;
    pid_t self;  // this process's id for the probes
    uint64_t groups[FVCRASH_UNWIND_WINDOW_GROUP_WORDS];
};

/// The call-frame rules in force at one pc, as the image's call-frame
/// program left them: kept so that a return address seen again (recursion,
/// the same call site on another thread) skips the table search and the
/// program. Only rules that need no section bytes to apply are kept (the CFA
/// a register plus offset, no expressions).
struct fvcrash_unwind_frame {
    const fvcrash_image* image;  // null = empty
    uint64_t header_addr;
    uint64_t pc;  // the look-up address
    uint64_t return_address_register;
    int64_t cfa_offset;
    uint32_t cfa_reg;
    uint8_t cfa_kind;
    bool signal_frame;
    uint8_t count;
    /// The registers the CFA rule's, the return address column's and each
    /// rule's numbers name (-1: none) in states of this word size.
    uint8_t target_word_size;
    int8_t cfa_target;
    int8_t return_target;
    struct rule {
        int64_t value;
        uint32_t reg;
        uint8_t kind;
        int8_t target;
    } rules[FVCRASH_UNWIND_FRAME_RULES];
};

/// Speeds up a walk: stack words are read through checked windows (one
/// readable-prefix check per 64 KiB instead of one copy per read), windows
/// onto unwind sections are made once per image and the rules found for a pc
/// are kept. The windows look at the task's memory in place and the rules
/// belong to the images loaded when they were found, so it is reset before
/// each report.
struct fvcrash_unwind_cache {
    pid_t self;  // this process's id, taken at the reset, for the probes
    fvcrash_task_mapping memory[FVCRASH_UNWIND_MEMORY_COUNT];  // length 0 = empty
    uint32_t next_memory;
    fvcrash_unwind_window windows[FVCRASH_UNWIND_WINDOW_COUNT];
    uint32_t next_window;
    fvcrash_unwind_frame frames[FVCRASH_UNWIND_FRAME_COUNT];  // by a hash of the pc
};

void fvcrash_unwind_cache_reset(fvcrash_unwind_cache* cache);
/// This process's id as the cache keeps it (one system call without a cache).
pid_t fvcrash_unwind_cache_pid(const fvcrash_unwind_cache* cache);

/// Reads `length` bytes at address + offset from the task, through the
/// cache's windows when one is given. Statuses as fvcrash_task_read.
fvcrash_status fvcrash_unwind_read(fvcrash_unwind_cache* cache, fvcrash_task task, uint64_t address,
                                   int64_t offset, void* destination, size_t length);
/// Whether the cache has no stack window yet: the first probe of a walk may
/// then take the stack's first window with it (FVCRASH_UNWIND_MEMORY_SPAN
/// from the page of `sp`), kept with fvcrash_unwind_cache_keep_memory.
bool fvcrash_unwind_cache_wants_stack(const fvcrash_unwind_cache* cache);
/// Keeps a stack window of `readable` bytes from `page`, found readable.
void fvcrash_unwind_cache_keep_memory(fvcrash_unwind_cache* cache, fvcrash_task task, uint64_t page,
                                      uint64_t readable);
/// A word of 4 or 8 bytes, zero-extended.
fvcrash_status fvcrash_unwind_read_word(fvcrash_unwind_cache* cache, fvcrash_task task,
                                        uint64_t address, int64_t offset, uint64_t word_size,
                                        uint64_t* value);

/// The kept window of that kind for the image, or null (the caller then
/// makes it with fvcrash_unwind_cache_store, which may return null when no
/// cache is given).
fvcrash_unwind_window* fvcrash_unwind_cache_window(fvcrash_unwind_cache* cache,
                                                   const fvcrash_image* image, uint8_t kind);
/// The slot for pc's rules: it holds them when its image, header address
/// and pc match; otherwise the caller may overwrite it. Null without a cache.
fvcrash_unwind_frame* fvcrash_unwind_cache_frame_slot(fvcrash_unwind_cache* cache, uint64_t pc);
fvcrash_unwind_window* fvcrash_unwind_cache_store(fvcrash_unwind_cache* cache,
                                                  const fvcrash_image* image, uint8_t kind);

/// A reader for a pc (the frame's look-up address) inside one image.
using fvcrash_stack_image_reader = fvcrash_stack_status (*)(
    fvcrash_task task, const fvcrash_image* image, const fvcrash_thread_state* current, uint64_t pc,
    fvcrash_thread_state* caller, fvcrash_unwind_cache* cache);
/// Finds the image holding the current frame's pc, with the image list
/// marked as being read, and runs `reader` for it: EBADFRAME without a pc,
/// ENOTSUP outside every image.
fvcrash_stack_status fvcrash_stack_read_in_image(fvcrash_task task, fvcrash_image_list* images,
                                                 const fvcrash_thread_state* current,
                                                 fvcrash_thread_state* caller,
                                                 fvcrash_unwind_cache* cache,
                                                 fvcrash_stack_image_reader reader);
