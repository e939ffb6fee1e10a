// The compact unwind reader: looks a function up in a Mach-O image's
// "__TEXT,__unwind_info" table, decodes its 32-bit encoding and applies it.
// ELF images have no such table; their frames go to the DWARF reader.
// Async-signal-safe.
#pragma once

#include <cstdint>

#include "FVCrashReporter/Source/crash/FVCrashAsync.h"
#include "FVCrashReporter/Source/crash/FVCrashTaskMapping.h"
#include "FVCrashReporter/Source/crash/FVCrashThreadState.h"
#include "FVCrashReporter/Source/crash/FVCrashUnwind.h"

inline constexpr uint32_t FVCRASH_CPU_TYPE_ARM64 = 0x100000C;
/// An empty slot of a register list, and "the return address is on the
/// stack".
inline constexpr uint32_t FVCRASH_COMPACT_UNWIND_NO_REGISTER = 0x7FFFFFFF;

struct fvcrash_compact_unwind_reader {
    fvcrash_task_mapping mapping;
    uint32_t cpu_type;
    const fvcrash_byte_order* order;
    uint32_t version;
    uint32_t common_offset;
    uint32_t common_count;
    uint32_t personality_offset;
    uint32_t personality_count;
    uint32_t index_offset;
    uint32_t index_count;
};

enum fvcrash_compact_unwind_kind : int {
    FVCRASH_COMPACT_UNWIND_FRAME = 1,
    FVCRASH_COMPACT_UNWIND_FRAMELESS_IMMD = 2,
    FVCRASH_COMPACT_UNWIND_FRAMELESS_INDIRECT = 3,
    FVCRASH_COMPACT_UNWIND_DWARF = 4,
    FVCRASH_COMPACT_UNWIND_NONE = 5,
};

struct fvcrash_compact_unwind_entry {
    int kind;
    uint32_t cpu_type;
    int64_t stack_value;
    uint32_t stack_adjust;
    uint32_t return_address_register;
    uint32_t register_count;
    uint32_t registers[10];
};

/// 4 for a CPU other than x86_64, i386 or 64-bit ARM, or a version other
/// than 1; 5 when the header lies outside the window.
fvcrash_status fvcrash_compact_unwind_reader_init(fvcrash_compact_unwind_reader* reader,
                                                  const fvcrash_task_mapping* mapping,
                                                  uint32_t cpu_type);
/// The function offset and encoding for a pc relative to the image header:
/// 8 not found, 5 table data outside the section.
fvcrash_status fvcrash_compact_unwind_find_encoding(const fvcrash_compact_unwind_reader* reader,
                                                    uint64_t pc, uint32_t* function_offset,
                                                    uint32_t* encoding);
fvcrash_status fvcrash_compact_unwind_decode(fvcrash_compact_unwind_entry* entry, uint32_t encoding,
                                             uint32_t cpu_type);
fvcrash_status fvcrash_compact_unwind_apply(fvcrash_task task, uint64_t function_start,
                                            const fvcrash_thread_state* current,
                                            const fvcrash_compact_unwind_entry* entry,
                                            fvcrash_thread_state* caller);
fvcrash_status fvcrash_compact_unwind_apply_cached(fvcrash_task task, uint64_t function_start,
                                                   const fvcrash_thread_state* current,
                                                   const fvcrash_compact_unwind_entry* entry,
                                                   fvcrash_thread_state* caller,
                                                   fvcrash_unwind_cache* cache);

/// Permutation of `count` register codes (1 to 6) and back; 5 for a count
/// above 6.
fvcrash_status fvcrash_compact_unwind_decode_permutation(uint32_t permutation, uint32_t count,
                                                         uint32_t* codes);
uint32_t fvcrash_compact_unwind_encode_permutation(const uint32_t* codes, uint32_t count);

fvcrash_stack_status fvcrash_stack_read_compact_unwind(fvcrash_task task,
                                                       fvcrash_image_list* images,
                                                       const fvcrash_thread_state* current,
                                                       const fvcrash_thread_state* previous,
                                                       fvcrash_thread_state* caller);
/// The reader for a pc (the frame's look-up address) inside `image`; the
/// caller has marked the image list as being read.
fvcrash_stack_status fvcrash_stack_read_compact_unwind_in(fvcrash_task task,
                                                          const fvcrash_image* image,
                                                          const fvcrash_thread_state* current,
                                                          uint64_t pc, fvcrash_thread_state* caller,
                                                          fvcrash_unwind_cache* cache);
fvcrash_stack_status fvcrash_stack_read_compact_unwind_cached(fvcrash_task task,
                                                              fvcrash_image_list* images,
                                                              const fvcrash_thread_state* current,
                                                              fvcrash_thread_state* caller,
                                                              fvcrash_unwind_cache* cache);
