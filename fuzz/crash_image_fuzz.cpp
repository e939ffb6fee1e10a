// The crash reporter's image readers over untrusted bytes: the Mach-O reader
// (commands, sections, symbol look-ups) and the ELF reader, on a copy of the
// input that ends in an inaccessible page.
#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "FVCrashReporter/Source/crash/FVCrashElfImage.h"
#include "FVCrashReporter/Source/crash/FVCrashMachOImage.h"
#include "FVCrashReporter/Source/crash/FVCrashSymbols.h"
#include "FVCrashReporter/Source/crash/FVCrashUTF8.h"

namespace {
void ignore(uint64_t, const char*, void*) {}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    // An image's segments may claim up to 64 MiB past its header; everything
    // after the bytes, that far, is inaccessible, so no forged segment
    // reaches other memory of this process.
    const size_t pages = (size + 4095) / 4096;
    const size_t guard = (64u << 20) + 4096;
    const size_t total = pages * 4096 + guard;
    auto* base = static_cast<uint8_t*>(mmap(nullptr, total, PROT_READ | PROT_WRITE,
                                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
    if (base == MAP_FAILED) return 0;
    // Place the bytes so that they end right at the inaccessible pages.
    uint8_t* start = base + pages * 4096 - size;
    std::memcpy(start, data, size);
    mprotect(base + pages * 4096, guard, PROT_NONE);
    const uint64_t address = reinterpret_cast<uintptr_t>(start);

    fvcrash_macho_image image;
    if (fvcrash_macho_image_parse(&image, fvcrash_task_self(), address) == FVCRASH_ESUCCESS) {
        for (auto* cmd = fvcrash_macho_next_command(&image, nullptr); cmd;
             cmd = fvcrash_macho_next_command(&image, cmd)) {
        }
        fvcrash_task_mapping section;
        if (fvcrash_macho_map_section(&image, "__TEXT", "__text", &section) == FVCRASH_ESUCCESS)
            fvcrash_task_mapping_free(&section);
        fvcrash_macho_segment segment;
        if (fvcrash_macho_map_segment(&image, "__LINKEDIT", &segment) == FVCRASH_ESUCCESS)
            fvcrash_macho_unmap_segment(&segment);
        uint8_t uuid[16];
        fvcrash_macho_uuid(&image, uuid);
        fvcrash_macho_lookup_symbol_by_address(&image, address + size / 2, ignore, nullptr);
        uint64_t found;
        fvcrash_macho_lookup_symbol_by_name(&image, "_main", &found);
        // Symbol look-up by both strategies, class metadata included.
        fvcrash_image wrapped;
        wrapped.kind = FVCRASH_IMAGE_MACHO;
        wrapped.macho = image;
        fvcrash_objc_cache cache;
        fvcrash_objc_cache_init(&cache);
        fvcrash_lookup_symbol(&wrapped, 3, &cache, address + size / 2, ignore, nullptr);
        fvcrash_objc_cache_free(&cache);
        fvcrash_task_mapping_free(&image.load_cmds);
    }
    fvcrash_elf_image elf;
    if (fvcrash_elf_image_init_from_header(&elf, fvcrash_task_self(), address) ==
        FVCRASH_ESUCCESS) {
        fvcrash_elf_lookup_symbol_by_address(&elf, address + size / 2, ignore, nullptr);
        fvcrash_elf_lookup_symbol_by_address(&elf, ~uint64_t{0}, ignore, nullptr);
    }
    fvcrash_utf8_prefix_length(data, size);
    munmap(base, total);
    return 0;
}
