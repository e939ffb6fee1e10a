// The DWARF call-frame reader: finds the FDE that covers a pc (Mach-O
// "__eh_frame" / "__debug_frame" by a walk, ELF ".eh_frame" through the
// ".eh_frame_hdr" search table), runs its CIE's and its own instructions
// into a fixed rule table and applies the rules to a register set.
// Async-signal-safe: windows and checked reads only, nothing allocated.
#pragma once

#include <cstdint>

#include "FVCrashReporter/Source/crash/FVCrashAsync.h"
#include "FVCrashReporter/Source/crash/FVCrashTaskMapping.h"
#include "FVCrashReporter/Source/crash/FVCrashThreadState.h"
#include "FVCrashReporter/Source/crash/FVCrashUnwind.h"

/// One call-frame section: a window on it and how to read it.
struct fvcrash_dwarf_frame_reader {
    fvcrash_task_mapping mapping;
    const fvcrash_byte_order* order;
    bool m64;
    bool debug_frame;
    /// ELF (GNU) extensions are accepted: DW_CFA_GNU_args_size.
    bool gnu;
};

void fvcrash_dwarf_frame_reader_init(fvcrash_dwarf_frame_reader* reader,
                                     const fvcrash_task_mapping* mapping,
                                     const fvcrash_byte_order* order, bool m64, bool debug_frame);

struct fvcrash_dwarf_pointer_context {
    const fvcrash_byte_order* order;
    uint64_t word_size;
    bool has_frame_section;
    uint64_t frame_section_local;
    uint64_t frame_section_image;
    bool has_text_base;
    uint64_t text_base;
    bool has_data_base;
    uint64_t data_base;
    bool has_function_base;
    uint64_t function_base;
    /// Indirect pointers are read through it when set.
    fvcrash_unwind_cache* cache;
    /// A CIE's indirect personality is not followed: `personality` is the
    /// address of its slot. The stack walk needs no personality, and the
    /// slot lies in a data page it would otherwise have to check.
    bool personality_slot;
};

void fvcrash_dwarf_pointer_context_init(fvcrash_dwarf_pointer_context* context,
                                        const fvcrash_byte_order* order, uint64_t word_size);
void fvcrash_dwarf_pointer_context_set_frame_section(fvcrash_dwarf_pointer_context* context,
                                                     uint64_t local_address,
                                                     uint64_t image_address);
void fvcrash_dwarf_pointer_context_set_text_base(fvcrash_dwarf_pointer_context* context,
                                                 uint64_t base);
void fvcrash_dwarf_pointer_context_set_data_base(fvcrash_dwarf_pointer_context* context,
                                                 uint64_t base);
void fvcrash_dwarf_pointer_context_set_function_base(fvcrash_dwarf_pointer_context* context,
                                                     uint64_t base);

/// An encoded pointer at base + offset (the exception-frame encoding): 8 for
/// "omit", 4 for application or format bits without meaning here or a base
/// the context lacks, 5 for data outside the window. `size` counts padding
/// and bytes read.
fvcrash_status fvcrash_dwarf_read_pointer(const fvcrash_dwarf_pointer_context* context,
                                          const fvcrash_task_mapping* mapping, uint64_t base,
                                          int64_t offset, uint8_t encoding, uint64_t* value,
                                          uint64_t* size);

struct fvcrash_dwarf_cie_info {
    uint64_t offset;  // section offset of the content (after the length)
    uint64_t length;
    uint64_t identifier;
    uint8_t version;
    uint8_t address_size;
    uint8_t segment_size;
    uint64_t code_alignment;
    int64_t data_alignment;
    uint64_t return_address_register;
    bool has_augmentation;
    bool has_lsda_encoding;
    uint8_t lsda_encoding;
    bool has_personality;
    uint64_t personality;
    bool has_pointer_encoding;
    uint8_t pointer_encoding;
    bool signal_frame;
    uint64_t instructions_offset;
    uint64_t instructions_length;
};

struct fvcrash_dwarf_fde_info {
    uint64_t offset;
    uint64_t length;
    uint64_t cie_offset;
    uint64_t pc_start;
    uint64_t pc_end;
    uint64_t instructions_offset;
    uint64_t instructions_length;
};

/// Parses the CIE whose length field is at task address `cie_address` inside
/// the window.
fvcrash_status fvcrash_dwarf_parse_cie(fvcrash_dwarf_cie_info* info,
                                       const fvcrash_task_mapping* mapping,
                                       const fvcrash_byte_order* order,
                                       const fvcrash_dwarf_pointer_context* context,
                                       uint64_t cie_address);
/// Parses the FDE whose length field is at `fde_address`, and its CIE.
fvcrash_status fvcrash_dwarf_parse_fde(fvcrash_dwarf_fde_info* info, fvcrash_dwarf_cie_info* cie,
                                       const fvcrash_task_mapping* mapping,
                                       const fvcrash_byte_order* order,
                                       const fvcrash_dwarf_pointer_context* context,
                                       uint64_t fde_address, bool debug_frame);

/// Walks the section from `start_offset` for the FDE that covers pc: 0 found,
/// 8 not found, 5 bad data.
fvcrash_status fvcrash_dwarf_find_fde(const fvcrash_dwarf_frame_reader* reader,
                                      const fvcrash_dwarf_pointer_context* context,
                                      uint64_t start_offset, uint64_t pc,
                                      fvcrash_dwarf_fde_info* fde, fvcrash_dwarf_cie_info* cie);

/// Searches an ".eh_frame_hdr" table (version 1, sorted table of data-relative
/// signed 4-byte pairs) for the FDE that covers pc: 0 with the FDE's task
/// address, 8 when no entry starts at or below pc, 4 for a header without a
/// usable table (the caller then walks the section).
fvcrash_status fvcrash_dwarf_hdr_search(const fvcrash_task_mapping* hdr, uint64_t pc,
                                        uint64_t* fde_address);
/// The ".eh_frame" address an ".eh_frame_hdr" names.
fvcrash_status fvcrash_dwarf_hdr_eh_frame(const fvcrash_task_mapping* hdr, uint64_t* eh_frame);

inline constexpr int FVCRASH_DWARF_RULE_COUNT = 100;
inline constexpr int FVCRASH_DWARF_LEVEL_COUNT = 6;
inline constexpr int FVCRASH_DWARF_BUCKET_COUNT = 14;
inline constexpr uint8_t FVCRASH_DWARF_NO_ENTRY = 255;

enum fvcrash_dwarf_rule_kind : uint8_t {
    FVCRASH_DWARF_RULE_OFFSET = 0,
    FVCRASH_DWARF_RULE_VAL_OFFSET = 1,
    FVCRASH_DWARF_RULE_REGISTER = 2,
    FVCRASH_DWARF_RULE_EXPRESSION = 3,
    FVCRASH_DWARF_RULE_VAL_EXPRESSION = 4,
    FVCRASH_DWARF_RULE_SAME_VALUE = 5,
};

enum fvcrash_dwarf_cfa_kind : uint8_t {
    FVCRASH_DWARF_CFA_UNDEFINED = 0,
    FVCRASH_DWARF_CFA_EXPRESSION = 1,
    FVCRASH_DWARF_CFA_REG_OFFSET = 2,
    FVCRASH_DWARF_CFA_REG_SOFFSET = 3,
};

struct fvcrash_dwarf_cfa_rule {
    uint8_t kind;
    uint32_t reg;
    int64_t offset;   // or the expression's address
    uint64_t length;  // the expression's length
};

struct fvcrash_dwarf_cfa_state {
    struct entry {
        int64_t value;
        uint32_t reg;
        uint8_t kind;
        uint8_t next;
    } entries[FVCRASH_DWARF_RULE_COUNT];
    uint8_t free_head;  // removed entries, reused first
    uint8_t unused;     // entries from here on were never taken
    struct level {
        fvcrash_dwarf_cfa_rule cfa;
        uint8_t count;
        uint8_t buckets[FVCRASH_DWARF_BUCKET_COUNT];
    } levels[FVCRASH_DWARF_LEVEL_COUNT];
    uint8_t current;
};

void fvcrash_dwarf_cfa_state_init(fvcrash_dwarf_cfa_state* state);
bool fvcrash_dwarf_cfa_state_set_rule(fvcrash_dwarf_cfa_state* state, uint32_t reg, uint8_t kind,
                                      int64_t value);
bool fvcrash_dwarf_cfa_state_get_rule(const fvcrash_dwarf_cfa_state* state, uint32_t reg,
                                      uint8_t* kind, int64_t* value);
void fvcrash_dwarf_cfa_state_remove_rule(fvcrash_dwarf_cfa_state* state, uint32_t reg);
uint8_t fvcrash_dwarf_cfa_state_rule_count(const fvcrash_dwarf_cfa_state* state);
void fvcrash_dwarf_cfa_state_set_cfa(fvcrash_dwarf_cfa_state* state,
                                     const fvcrash_dwarf_cfa_rule& rule);
fvcrash_dwarf_cfa_rule fvcrash_dwarf_cfa_state_get_cfa(const fvcrash_dwarf_cfa_state* state);
bool fvcrash_dwarf_cfa_state_push(fvcrash_dwarf_cfa_state* state);
bool fvcrash_dwarf_cfa_state_pop(fvcrash_dwarf_cfa_state* state);

/// Runs the instructions at section offset [offset, + length) of the window,
/// up to and including `pc` (0: all), from `location`. `gnu` accepts
/// DW_CFA_GNU_args_size.
fvcrash_status fvcrash_dwarf_run_cfa_program(fvcrash_dwarf_cfa_state* state,
                                             const fvcrash_task_mapping* mapping, uint64_t pc,
                                             uint64_t location, const fvcrash_dwarf_cie_info* cie,
                                             const fvcrash_dwarf_pointer_context* context,
                                             const fvcrash_byte_order* order,
                                             uint64_t section_address, uint64_t instructions_offset,
                                             uint64_t length, bool gnu);

/// Applies the rules to the current frame. Expressions are read from the
/// window they were found in.
fvcrash_status fvcrash_dwarf_apply_cfa_state(
    const fvcrash_dwarf_cfa_state* state, fvcrash_task task, const fvcrash_task_mapping* mapping,
    const fvcrash_dwarf_cie_info* cie, const fvcrash_thread_state* current,
    const fvcrash_byte_order* order, fvcrash_unwind_cache* cache, fvcrash_thread_state* caller);

/// The frame reader over the image list.
fvcrash_stack_status fvcrash_stack_read_dwarf(fvcrash_task task, fvcrash_image_list* images,
                                              const fvcrash_thread_state* current,
                                              const fvcrash_thread_state* previous,
                                              fvcrash_thread_state* caller);
/// The reader for a pc (the frame's look-up address) inside `image`; the
/// caller has marked the image list as being read.
fvcrash_stack_status fvcrash_stack_read_dwarf_in(fvcrash_task task, const fvcrash_image* image,
                                                 const fvcrash_thread_state* current, uint64_t pc,
                                                 fvcrash_thread_state* caller,
                                                 fvcrash_unwind_cache* cache);
/// The same with the walk's cache (may be null).
fvcrash_stack_status fvcrash_stack_read_dwarf_cached(fvcrash_task task, fvcrash_image_list* images,
                                                     const fvcrash_thread_state* current,
                                                     fvcrash_thread_state* caller,
                                                     fvcrash_unwind_cache* cache);
