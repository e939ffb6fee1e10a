// An image record of the image list: a Mach-O image or an ELF image behind
// one set of accessors. Accessors are async-signal-safe.
#pragma once

#include <atomic>
#include <cstdint>

#include "FVCrashReporter/Source/crash/FVCrashElfImage.h"
#include "FVCrashReporter/Source/crash/FVCrashMachOImage.h"

enum fvcrash_image_kind : int {
    FVCRASH_IMAGE_MACHO = 1,
    FVCRASH_IMAGE_ELF = 2,
};

struct fvcrash_image {
    fvcrash_image_kind kind;
    union {
        fvcrash_macho_image macho;
        fvcrash_elf_image elf;
    };
    /// The list node that holds this record, set on first visit; lets
    /// iteration continue from the record.
    std::atomic<void*> node;
};

/// Where the image begins: its Mach-O header, or the start of the ELF
/// segment that maps the ELF header.
uint64_t fvcrash_image_header_address(const fvcrash_image* image);
/// The Mach-O "__TEXT" size, or the ELF span to the end of its last PT_LOAD.
uint64_t fvcrash_image_size(const fvcrash_image* image);
/// The image's path ("" for an image without a file).
const char* fvcrash_image_name(const fvcrash_image* image);
/// The 16 bytes of the LC_UUID command, or of the GNU build-id; false when
/// the image has none.
bool fvcrash_image_uuid(const fvcrash_image* image, uint8_t uuid[16]);
uint32_t fvcrash_image_cpu_type(const fvcrash_image* image);
uint32_t fvcrash_image_cpu_subtype(const fvcrash_image* image);
/// header address <= address < header address + size.
bool fvcrash_image_contains_address(const fvcrash_image* image, uint64_t address);
