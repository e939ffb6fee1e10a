// One loaded Mach-O image of the task: header, load commands, "__TEXT"
// extent and slide, its segments, sections and symbol tables. Every read of
// image data goes through a checked window; data that points outside gives 5
// or 6, never a read outside the window.
//
// Opening and closing an image allocate (the name) and run outside the crash
// path; everything else here is async-signal-safe.
#pragma once

#include <cstdint>

#include "FVCrashReporter/Source/crash/FVCrashAsync.h"
#include "FVCrashReporter/Source/crash/FVCrashTaskMapping.h"

inline constexpr uint32_t FVCRASH_MH_MAGIC = 0xFEEDFACE;
inline constexpr uint32_t FVCRASH_MH_MAGIC_64 = 0xFEEDFACF;
inline constexpr uint32_t FVCRASH_MH_CIGAM = 0xCEFAEDFE;
inline constexpr uint32_t FVCRASH_MH_CIGAM_64 = 0xCFFAEDFE;
inline constexpr uint32_t FVCRASH_LC_SEGMENT = 0x1;
inline constexpr uint32_t FVCRASH_LC_SYMTAB = 0x2;
inline constexpr uint32_t FVCRASH_LC_DYSYMTAB = 0xB;
inline constexpr uint32_t FVCRASH_LC_SEGMENT_64 = 0x19;
inline constexpr uint32_t FVCRASH_LC_UUID = 0x1B;

/// The first 28 bytes of a Mach-O header, as stored.
struct fvcrash_macho_header {
    uint32_t magic;
    uint32_t cputype;
    uint32_t cpusubtype;
    uint32_t filetype;
    uint32_t ncmds;
    uint32_t sizeofcmds;
    uint32_t flags;
};

/// A load command's head, as stored.
struct fvcrash_macho_load_command {
    uint32_t cmd;
    uint32_t cmdsize;
};

struct fvcrash_macho_image {
    fvcrash_task task;
    uint64_t header_addr;
    int64_t vmaddr_slide;  // header address minus the "__TEXT" vmaddr
    char* name;            // owned copy of the path
    fvcrash_macho_header header;
    uint64_t header_size;  // 28 or 32
    uint32_t ncmds;        // host order
    fvcrash_task_mapping load_cmds;
    uint64_t text_vmaddr;
    uint64_t text_size;
    bool m64;
    const fvcrash_byte_order* byteorder;
    uint64_t span_end;  // end of the highest segment, at most 64 MiB past the header
};

/// A window on one segment plus the segment's file offset and size.
struct fvcrash_macho_segment {
    fvcrash_task_mapping mapping;
    uint64_t fileoff;
    uint64_t filesize;
};

struct fvcrash_macho_symbol {
    uint32_t n_strx;
    uint8_t n_type;
    uint8_t n_sect;
    uint16_t n_desc;
    uint64_t n_value;
    uint64_t normalized_value;  // n_value, bit 0 set for a Thumb definition
};

struct fvcrash_macho_symtab {
    fvcrash_macho_image* image;
    fvcrash_macho_segment linkedit;
    const void* symtab;
    uint32_t nsyms;
    const void* globals;  // null without a dynamic symbol table
    uint32_t nglobals;
    const void* locals;
    uint32_t nlocals;
    const char* strtab;
    uint32_t strsize;
};

/// Reads the header at `header_addr`: 6 when it cannot be read, 5 for an
/// unknown magic or no "__TEXT" segment, 3 when the load commands cannot be
/// read. On failure nothing is left allocated. Not async-signal-safe.
fvcrash_status fvcrash_macho_image_open(fvcrash_macho_image* image, fvcrash_task task,
                                        const char* name, uint64_t header_addr);
/// Frees the name. Not async-signal-safe.
void fvcrash_macho_image_close(fvcrash_macho_image* image);

/// The checks shared by opening: fills everything but the name.
fvcrash_status fvcrash_macho_image_parse(fvcrash_macho_image* image, fvcrash_task task,
                                         uint64_t header_addr);

/// The load command after `previous` (the first for null), or null at the end
/// of the commands or at a command that is cut short or smaller than 8 bytes.
const fvcrash_macho_load_command* fvcrash_macho_next_command(
    const fvcrash_macho_image* image, const fvcrash_macho_load_command* previous);
const fvcrash_macho_load_command* fvcrash_macho_next_command_of_type(
    const fvcrash_macho_image* image, const fvcrash_macho_load_command* previous, uint32_t type);
const fvcrash_macho_load_command* fvcrash_macho_find_command(const fvcrash_macho_image* image,
                                                             uint32_t type);
/// The segment command of the image's kind named `segname`, whole.
const fvcrash_macho_load_command* fvcrash_macho_find_segment_cmd(const fvcrash_macho_image* image,
                                                                 const char* segname);

/// 8 when there is no such segment; else a window on as much of it as is
/// readable, within the image's span.
fvcrash_status fvcrash_macho_map_segment(const fvcrash_macho_image* image, const char* segname,
                                         fvcrash_macho_segment* segment);
/// 8 when the segment or section is missing, 5 when a section record is cut
/// short; else a window on the whole section (3 when it is not all readable).
fvcrash_status fvcrash_macho_map_section(const fvcrash_macho_image* image, const char* segname,
                                         const char* sectname, fvcrash_task_mapping* mapping);
void fvcrash_macho_unmap_segment(fvcrash_macho_segment* segment);

/// header address <= address < header address + "__TEXT" size.
bool fvcrash_macho_contains_address(const fvcrash_macho_image* image, uint64_t address);
uint32_t fvcrash_macho_cpu_type(const fvcrash_macho_image* image);
uint32_t fvcrash_macho_cpu_subtype(const fvcrash_macho_image* image);
const fvcrash_byte_order* fvcrash_macho_byte_order(const fvcrash_macho_image* image);
const fvcrash_macho_header* fvcrash_macho_header_of(const fvcrash_macho_image* image);
uint64_t fvcrash_macho_header_size(const fvcrash_macho_image* image);
/// The 16 bytes of the LC_UUID command; false when there is none.
bool fvcrash_macho_uuid(const fvcrash_macho_image* image, uint8_t uuid[16]);

/// 8 without a symbol table command, 6 when "__LINKEDIT" cannot be read or a
/// table lies outside it, 5 when the dynamic symbol ranges exceed the table.
fvcrash_status fvcrash_macho_symtab_open(fvcrash_macho_symtab* reader, fvcrash_macho_image* image);
fvcrash_macho_symbol fvcrash_macho_symtab_entry(const fvcrash_macho_symtab* reader,
                                                const void* table, uint32_t index);
/// The name at `n_strx`, when it ends inside the string table; else null.
const char* fvcrash_macho_symtab_name(const fvcrash_macho_symtab* reader, uint32_t n_strx);
void fvcrash_macho_symtab_close(fvcrash_macho_symtab* reader);

/// The slid address of the defined symbol named exactly `name`; 8 when none.
fvcrash_status fvcrash_macho_lookup_symbol_by_name(fvcrash_macho_image* image, const char* name,
                                                   uint64_t* address);

using fvcrash_macho_found_symbol_cb = void (*)(uint64_t address, const char* name, void* context);
/// The defined symbol with the greatest value not above `address`, handed to
/// `callback` (slid start, name); 8 when none, 5 when its name is cut short.
fvcrash_status fvcrash_macho_lookup_symbol_by_address(fvcrash_macho_image* image, uint64_t address,
                                                      fvcrash_macho_found_symbol_cb callback,
                                                      void* context);
