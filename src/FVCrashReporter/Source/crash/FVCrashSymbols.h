// Naming the code at an address inside a loaded image: its symbol table
// (Mach-O "__LINKEDIT", ELF ".dynsym" in memory) and, in Mach-O images, the
// object runtime's class metadata ("-[Class method]", even when stripped).
// Async-signal-safe: the candidate lives in a fixed buffer, strings are read
// through small windows, the class table is one mapping made on first use.
#pragma once

#include <cstdint>

#include "FVCrashReporter/Source/crash/FVCrashAsync.h"
#include "FVCrashReporter/Source/crash/FVCrashImage.h"
#include "FVCrashReporter/Source/crash/FVCrashTaskMapping.h"

/// Strategy bits.
inline constexpr int FVCRASH_SYMBOL_STRATEGY_TABLE = 1;
inline constexpr int FVCRASH_SYMBOL_STRATEGY_OBJC = 2;

inline constexpr size_t FVCRASH_SYMBOL_NAME_SIZE = 256;
inline constexpr uint32_t FVCRASH_OBJC_CLASS_TABLE_SIZE = 1024;
/// Strings in the task are read up to this many bytes.
inline constexpr uint64_t FVCRASH_TASK_STRING_MAX = 4096;

/// A string in the task, read on first use.
struct fvcrash_task_string {
    fvcrash_task task;
    uint64_t address;
    fvcrash_task_mapping mapping;
    bool loaded;
    fvcrash_status status;
    uint64_t length;
};

void fvcrash_task_string_init(fvcrash_task_string* string, fvcrash_task task, uint64_t address);
/// The length without the zero byte; 0 when the string cannot be read.
uint64_t fvcrash_task_string_length(fvcrash_task_string* string);
/// The characters, or null: 7 when the string cannot be read, 5 when no zero
/// byte ends it within FVCRASH_TASK_STRING_MAX bytes.
const char* fvcrash_task_string_pointer(fvcrash_task_string* string, fvcrash_status* status);
void fvcrash_task_string_free(fvcrash_task_string* string);

/// One per report, made and freed by the writer around its walk of the
/// threads: the class metadata sections of the last image asked, the class
/// table, and the last look-up (the writer repeats it for a pc).
struct fvcrash_objc_cache {
    bool current_metadata_seen;
    const fvcrash_image* image;
    fvcrash_task_mapping const_section, classlist, catlist, data;
    uint32_t class_table_capacity;  // 0 until the table exists
    uint64_t* class_keys;           // class data addresses
    uint64_t* class_values;         // read-only class data addresses
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
using fvcrash_objc_method_cb = void (*)(bool is_class_method, fvcrash_task_string* class_name,
                                        fvcrash_task_string* method_name, uint64_t implementation,
                                        void* context);

/// The method whose implementation is the greatest not above pc (8: none).
fvcrash_status fvcrash_objc_find_method(const fvcrash_image* image, fvcrash_objc_cache* cache,
                                        uint64_t pc, fvcrash_objc_method_cb found, void* context);
/// Visits every method of the image's classes and categories (7 without a
/// cache, 8 when a metadata section is missing, 9 for metadata that points
/// outside its section).
fvcrash_status fvcrash_objc_each_method(const fvcrash_image* image, fvcrash_objc_cache* cache,
                                        fvcrash_objc_method_cb callback, void* context);

/// Names the code at pc by the enabled strategies; calls `found` once and
/// returns 0, or returns why nothing was named (8 when nothing is found).
fvcrash_status fvcrash_lookup_symbol(const fvcrash_image* image, int strategy,
                                     fvcrash_objc_cache* cache, uint64_t pc,
                                     fvcrash_symbol_found_cb found, void* context);

/// The ELF ".dynsym" symbol that names pc, as the loader's dladdr does: the
/// greatest start whose range holds pc (value <= pc < value + size; a symbol
/// of size 0 only for its own address). 8 when no symbol holds pc.
fvcrash_status fvcrash_elf_lookup_symbol_by_address(const fvcrash_elf_image* image, uint64_t pc,
                                                    fvcrash_symbol_found_cb found, void* context);
