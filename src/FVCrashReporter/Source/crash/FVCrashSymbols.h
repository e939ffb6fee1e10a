// Naming the code at an address inside a loaded image by its symbol table
// (Mach-O "__LINKEDIT", ELF ".dynsym" in memory). Async-signal-safe: the
// candidate lives in a fixed buffer and strings are read through small
// windows.
#pragma once

#include <cstdint>

#include "FVCrashReporter/Source/crash/FVCrashAsync.h"
#include "FVCrashReporter/Source/crash/FVCrashImage.h"

/// Strategy bits.
inline constexpr int FVCRASH_SYMBOL_STRATEGY_TABLE = 1;
inline constexpr int FVCRASH_SYMBOL_STRATEGY_OBJC = 2;

inline constexpr size_t FVCRASH_SYMBOL_NAME_SIZE = 256;
/// One per report, made and freed by the writer around its walk of the
/// threads: keeps the last look-up, which the writer repeats for a pc.
struct fvcrash_objc_cache {
    bool memo_valid;
    const fvcrash_image* memo_image;
    uint64_t memo_pc;
    int memo_strategy;
    fvcrash_status memo_status;
    uint64_t memo_address;
    char memo_name[FVCRASH_SYMBOL_NAME_SIZE];
};

void fvcrash_objc_cache_init(fvcrash_objc_cache* cache);
void fvcrash_objc_cache_free(fvcrash_objc_cache* cache);

using fvcrash_symbol_found_cb = void (*)(uint64_t address, const char* name, void* context);
/// Names the code at pc by the enabled strategies; calls `found` once and
/// returns 0, or returns why nothing was named (8 when nothing is found).
fvcrash_status fvcrash_lookup_symbol(const fvcrash_image* image, int strategy,
                                     fvcrash_objc_cache* cache, uint64_t pc,
                                     fvcrash_symbol_found_cb found, void* context);

/// The ELF ".dynsym" symbol that names pc (as the loader's dladdr does:
/// the greatest start whose range holds pc, else the nearest start below).
fvcrash_status fvcrash_elf_lookup_symbol_by_address(const fvcrash_elf_image* image, uint64_t pc,
                                                    fvcrash_symbol_found_cb found, void* context);
