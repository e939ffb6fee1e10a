// One loaded ELF image of the task (this process): where it lies, its
// unwind table, build-id and dynamic symbols. One parser serves the loader's
// image list (program headers known) and raw memory (only the header's
// address known). Every read is a checked copy and must fall inside the
// image's span. Async-signal-safe.
#pragma once

#include <cstdint>

#include "FVCrashReporter/Source/crash/FVCrashAsync.h"

struct fvcrash_elf_image {
    fvcrash_task task;
    uint64_t header_addr;  // load bias + first PT_LOAD's vaddr - its file offset
    uint64_t load_bias;    // what the loader added to every vaddr
    uint64_t size;         // from the header to the end of the last PT_LOAD
    uint64_t phdr_addr;
    uint16_t phnum;
    uint64_t eh_frame_hdr;  // PT_GNU_EH_FRAME, 0 when absent
    uint64_t eh_frame_hdr_size;
    uint64_t dynamic;  // PT_DYNAMIC, 0 when absent
    uint64_t dynsym;   // 0 when absent
    uint64_t dynstr;
    uint64_t dynstr_size;
    uint64_t symbol_count;  // entries of .dynsym (from DT_GNU_HASH, else DT_HASH)
    uint8_t uuid[16];       // first 16 bytes of the GNU build-id, zero-filled
    bool has_build_id;
    uint32_t cpu_type;
    uint32_t cpu_subtype;
    char* name;      // the image's path; "" for the vDSO
    bool owns_name;  // name was allocated for this record
};

/// Parses from the loader's facts (load bias and program headers). 9 when the
/// program headers are unreadable or hold no PT_LOAD; the name is left null.
fvcrash_status fvcrash_elf_image_init(fvcrash_elf_image* image, fvcrash_task task,
                                      uint64_t load_bias, uint64_t phdr_addr, uint16_t phnum);
/// Parses from an ELF header in memory. 9 when there is no 64-bit ELF header
/// of this machine there.
fvcrash_status fvcrash_elf_image_init_from_header(fvcrash_elf_image* image, fvcrash_task task,
                                                  uint64_t header_addr);
bool fvcrash_elf_image_contains_address(const fvcrash_elf_image* image, uint64_t address);
