#include "FVCrashReporter/Source/crash/FVCrashSymbols.h"

#include <elf.h>

#include "FVCrashReporter/Source/crash/FVCrashTaskMapping.h"

namespace {

struct Candidate {
    bool found;
    uint64_t address;
    char name[FVCRASH_SYMBOL_NAME_SIZE];
};

void record(uint64_t address, const char* name, void* context) {
    auto* candidate = static_cast<Candidate*>(context);
    // A candidate at a lower address than the recorded one loses.
    if (candidate->found && address < candidate->address) return;
    size_t i = 0;
    for (; name[i] != 0 && i < FVCRASH_SYMBOL_NAME_SIZE - 1; ++i) candidate->name[i] = name[i];
    candidate->name[i] = 0;
    candidate->address = address;
    candidate->found = true;
}

/// dladdr's choice among the symbols: one whose range holds pc (a sized
/// symbol) or that starts at pc, with the greatest start; ties go to the
/// first in the table.
bool holds(const Elf64_Sym& sym, uint64_t value, uint64_t pc) {
    if (pc < value) return false;
    if (sym.st_size == 0) return pc == value;
    return pc - value < sym.st_size;
}

}  // namespace

fvcrash_status fvcrash_elf_lookup_symbol_by_address(const fvcrash_elf_image* image, uint64_t pc,
                                                    fvcrash_symbol_found_cb found, void* context) {
    if (image->dynsym == 0 || image->symbol_count == 0 || image->dynstr == 0) {
        return FVCRASH_ENOTFOUND;
    }
    uint64_t tableSize;
    if (__builtin_mul_overflow(image->symbol_count, uint64_t{sizeof(Elf64_Sym)}, &tableSize)) {
        return FVCRASH_EINVAL;
    }
    fvcrash_task_mapping table, strings;
    if (fvcrash_task_mapping_init(&table, image->task, image->dynsym, tableSize, true) !=
            FVCRASH_ESUCCESS ||
        fvcrash_task_mapping_init(&strings, image->task, image->dynstr, image->dynstr_size,
                                  false) != FVCRASH_ESUCCESS) {
        return FVCRASH_EINTERNAL;
    }
    const auto* symbols = static_cast<const Elf64_Sym*>(
        fvcrash_task_mapping_pointer(&table, image->dynsym, 0, tableSize));
    if (!symbols) return FVCRASH_EINTERNAL;
    const Elf64_Sym* holding = nullptr;
    uint64_t holdingValue = 0;
    const Elf64_Sym* nearest = nullptr;
    uint64_t nearestValue = 0;
    for (uint64_t i = 0; i < image->symbol_count; ++i) {
        Elf64_Sym sym;
        fvcrash_memcpy(&sym, &symbols[i], sizeof sym);
        const unsigned type = ELF64_ST_TYPE(sym.st_info);
        if (sym.st_shndx == SHN_UNDEF || sym.st_shndx == SHN_ABS || type == STT_TLS ||
            type == STT_SECTION || type == STT_FILE || sym.st_name == 0) {
            continue;
        }
        const uint64_t value = sym.st_value + image->load_bias;
        if (value > pc) continue;
        if (holds(sym, value, pc) && (!holding || holdingValue < value)) {
            holding = &symbols[i];
            holdingValue = value;
        }
        if (!nearest || nearestValue < value) {
            nearest = &symbols[i];
            nearestValue = value;
        }
    }
    const Elf64_Sym* chosen = holding ? holding : nearest;
    if (!chosen) return FVCRASH_ENOTFOUND;
    const uint64_t value = holding ? holdingValue : nearestValue;
    uint32_t nameOffset;
    fvcrash_memcpy(&nameOffset, &chosen->st_name, sizeof nameOffset);
    // The name must end inside the string table.
    const uint64_t start = image->dynstr + nameOffset;
    const uint64_t available = fvcrash_task_mapping_length(&strings);
    if (nameOffset >= available) return FVCRASH_EINVAL;
    const auto* name = static_cast<const char*>(
        fvcrash_task_mapping_pointer(&strings, start, 0, available - nameOffset));
    if (!name) return FVCRASH_EINVAL;
    bool terminated = false;
    for (uint64_t i = 0; i < available - nameOffset; ++i) {
        if (name[i] == 0) {
            terminated = true;
            break;
        }
    }
    if (!terminated) return FVCRASH_EINVAL;
    found(value, name, context);
    return FVCRASH_ESUCCESS;
}

void fvcrash_objc_cache_init(fvcrash_objc_cache* cache) { fvcrash_memset(cache, 0, sizeof *cache); }

void fvcrash_objc_cache_free(fvcrash_objc_cache* cache) { cache->memo_valid = false; }

fvcrash_status fvcrash_lookup_symbol(const fvcrash_image* image, int strategy,
                                     fvcrash_objc_cache* cache, uint64_t pc,
                                     fvcrash_symbol_found_cb found, void* context) {
    strategy &= 3;
    if (cache && cache->memo_valid && cache->memo_image == image && cache->memo_pc == pc &&
        cache->memo_strategy == strategy) {
        if (cache->memo_status == FVCRASH_ESUCCESS)
            found(cache->memo_address, cache->memo_name, context);
        return cache->memo_status;
    }
    Candidate candidate;
    candidate.found = false;
    candidate.address = 0;
    candidate.name[0] = 0;
    fvcrash_status tableStatus = FVCRASH_ENOTFOUND;
    if (strategy & FVCRASH_SYMBOL_STRATEGY_TABLE) {
        if (image->kind == FVCRASH_IMAGE_MACHO) {
            // The reader keeps no state in the record during a look-up.
            tableStatus = fvcrash_macho_lookup_symbol_by_address(
                const_cast<fvcrash_macho_image*>(&image->macho), pc, record, &candidate);
        } else {
            tableStatus = fvcrash_elf_lookup_symbol_by_address(&image->elf, pc, record, &candidate);
        }
    }
    // The class-metadata strategy finds nothing in these images: ELF images
    // have no such metadata, and Mach-O metadata is not walked here.
    const bool metadataFailed = true;
    fvcrash_status result;
    if (tableStatus != FVCRASH_ESUCCESS && metadataFailed) {
        result = tableStatus;
    } else if (!candidate.found) {
        result = FVCRASH_EINTERNAL;
    } else {
        result = FVCRASH_ESUCCESS;
    }
    if (cache) {
        cache->memo_valid = true;
        cache->memo_image = image;
        cache->memo_pc = pc;
        cache->memo_strategy = strategy;
        cache->memo_status = result;
        cache->memo_address = candidate.address;
        fvcrash_memcpy(cache->memo_name, candidate.name, sizeof candidate.name);
    }
    if (result == FVCRASH_ESUCCESS) found(candidate.address, candidate.name, context);
    return result;
}
