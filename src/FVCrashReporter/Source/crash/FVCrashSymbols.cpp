#include "FVCrashReporter/Source/crash/FVCrashSymbols.h"

#include <elf.h>
#include <sys/mman.h>

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
    // Only a symbol whose range holds pc names it, as the loader's own
    // look-up decides: code between symbols (static functions of a stripped
    // library) stays unnamed rather than taking the name before it.
    const Elf64_Sym* chosen = nullptr;
    uint64_t value = 0;
    for (uint64_t i = 0; i < image->symbol_count; ++i) {
        Elf64_Sym sym;
        fvcrash_memcpy(&sym, &symbols[i], sizeof sym);
        const unsigned type = ELF64_ST_TYPE(sym.st_info);
        if (sym.st_shndx == SHN_UNDEF || sym.st_shndx == SHN_ABS || type == STT_TLS ||
            type == STT_SECTION || type == STT_FILE || sym.st_name == 0) {
            continue;
        }
        const uint64_t start = sym.st_value + image->load_bias;
        if (holds(sym, start, pc) && (!chosen || value < start)) {
            chosen = &symbols[i];
            value = start;
        }
    }
    if (!chosen) return FVCRASH_ENOTFOUND;
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

// Task strings.

void fvcrash_task_string_init(fvcrash_task_string* string, fvcrash_task task, uint64_t address) {
    fvcrash_memset(string, 0, sizeof *string);
    string->task = task;
    string->address = address;
}

namespace {

void loadString(fvcrash_task_string* string) {
    if (string->loaded) return;
    string->loaded = true;
    // One window of at most 4 KiB (its readable part): a longer string is
    // refused rather than grown a page at a time.
    if (fvcrash_task_mapping_init(&string->mapping, string->task, string->address,
                                  FVCRASH_TASK_STRING_MAX, false) != FVCRASH_ESUCCESS) {
        string->status = FVCRASH_EACCESS;
        return;
    }
    const auto* bytes = static_cast<const char*>(
        fvcrash_task_mapping_pointer(&string->mapping, string->address, 0, string->mapping.length));
    for (uint64_t i = 0; bytes && i < string->mapping.length; ++i) {
        if (bytes[i] == 0) {
            string->length = i;
            string->status = FVCRASH_ESUCCESS;
            return;
        }
    }
    string->status = FVCRASH_EINVAL;
}

}  // namespace

uint64_t fvcrash_task_string_length(fvcrash_task_string* string) {
    loadString(string);
    return string->status == FVCRASH_ESUCCESS ? string->length : 0;
}

const char* fvcrash_task_string_pointer(fvcrash_task_string* string, fvcrash_status* status) {
    loadString(string);
    if (status) *status = string->status;
    if (string->status != FVCRASH_ESUCCESS) return nullptr;
    return static_cast<const char*>(
        fvcrash_task_mapping_pointer(&string->mapping, string->address, 0, string->length + 1));
}

void fvcrash_task_string_free(fvcrash_task_string* string) {
    fvcrash_task_mapping_free(&string->mapping);
    string->loaded = false;
}

// Class metadata.

void fvcrash_objc_cache_init(fvcrash_objc_cache* cache) { fvcrash_memset(cache, 0, sizeof *cache); }

void fvcrash_objc_cache_free(fvcrash_objc_cache* cache) {
    if (cache->class_keys) munmap(cache->class_keys, 0x4000);
    fvcrash_objc_cache_init(cache);
}

namespace {

constexpr uint32_t kRealized = 0x80000000u;
constexpr uint32_t kCopiedReadOnly = 0x08000000u;

struct Metadata {
    const fvcrash_image* image;
    fvcrash_objc_cache* cache;
    const fvcrash_macho_image* macho;
    uint64_t word;
};

bool readWord(const fvcrash_task_mapping* mapping, const Metadata& m, uint64_t address,
              uint64_t* value) {
    if (m.word == 8) {
        return fvcrash_task_mapping_read_uint64(mapping, m.macho->byteorder, address, 0, value) ==
               FVCRASH_ESUCCESS;
    }
    uint32_t v;
    if (fvcrash_task_mapping_read_uint32(mapping, m.macho->byteorder, address, 0, &v) !=
        FVCRASH_ESUCCESS) {
        return false;
    }
    *value = v;
    return true;
}

/// A word of a record copied out of the task.
uint64_t wordOf(const Metadata& m, const uint8_t* record, uint64_t offset) {
    if (m.word == 8) {
        uint64_t v;
        fvcrash_memcpy(&v, record + offset, 8);
        return m.macho->byteorder->swap64(v);
    }
    uint32_t v;
    fvcrash_memcpy(&v, record + offset, 4);
    return m.macho->byteorder->swap32(v);
}

fvcrash_status loadSections(Metadata& m) {
    fvcrash_objc_cache* cache = m.cache;
    if (cache->image == m.image) return FVCRASH_ESUCCESS;
    cache->image = nullptr;
    const struct {
        const char* name;
        fvcrash_task_mapping* mapping;
    } sections[] = {{"__objc_const", &cache->const_section},
                    {"__objc_classlist", &cache->classlist},
                    {"__objc_catlist", &cache->catlist},
                    {"__objc_data", &cache->data}};
    for (const auto& section : sections) {
        const fvcrash_status status =
            fvcrash_macho_map_section(m.macho, "__DATA", section.name, section.mapping);
        if (status != FVCRASH_ESUCCESS) return status;
    }
    cache->image = m.image;
    return FVCRASH_ESUCCESS;
}

/// A class's read-only record (copied into `ro`), through the class table.
fvcrash_status readOnlyData(Metadata& m, uint64_t classAddress, const uint8_t* classRecord,
                            uint8_t* ro, uint64_t roSize) {
    fvcrash_objc_cache* cache = m.cache;
    const uint64_t data = wordOf(m, classRecord, 4 * m.word) & ~uint64_t{3};
    (void)classAddress;
    const uint32_t slot = static_cast<uint32_t>((data / 4) % FVCRASH_OBJC_CLASS_TABLE_SIZE);
    uint64_t roAddress = 0;
    bool copied = false;
    if (cache->class_table_capacity && cache->class_keys[slot] == data && data != 0) {
        roAddress = cache->class_values[slot];
    } else {
        uint8_t head[16];
        const uint64_t headSize = m.word == 8 ? 16 : 12;
        if (fvcrash_task_read(m.macho->task, data, 0, head, headSize) != FVCRASH_ESUCCESS) {
            return FVCRASH_EINVALID_DATA;
        }
        uint32_t flags;
        fvcrash_memcpy(&flags, head, 4);
        flags = m.macho->byteorder->swap32(flags);
        if (!(flags & kRealized)) return FVCRASH_ENOTFOUND;
        roAddress = wordOf(m, head, 8);
        copied = flags & kCopiedReadOnly;
        if (!cache->class_table_capacity && !cache->class_keys) {
            void* table =
                mmap(nullptr, 0x4000, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (table != MAP_FAILED) {
                cache->class_keys = static_cast<uint64_t*>(table);
                cache->class_values = cache->class_keys + FVCRASH_OBJC_CLASS_TABLE_SIZE;
                cache->class_table_capacity = FVCRASH_OBJC_CLASS_TABLE_SIZE;
            }
        }
        // An occupied slot is never replaced.
        if (cache->class_table_capacity && cache->class_keys[slot] == 0 && !copied) {
            cache->class_keys[slot] = data;
            cache->class_values[slot] = roAddress;
        }
    }
    const bool inImage =
        roAddress >= m.macho->header_addr &&
        roAddress - m.macho->header_addr < m.macho->span_end - m.macho->header_addr;
    if (copied || !inImage) {
        return fvcrash_task_read(m.macho->task, roAddress, 0, ro, roSize) == FVCRASH_ESUCCESS
                   ? FVCRASH_ESUCCESS
                   : FVCRASH_EINVALID_DATA;
    }
    const void* p = fvcrash_task_mapping_pointer(&cache->const_section, roAddress, 0, roSize);
    if (!p) return FVCRASH_EINVALID_DATA;
    fvcrash_memcpy(ro, p, roSize);
    return FVCRASH_ESUCCESS;
}

fvcrash_status visitList(Metadata& m, uint64_t list, bool isClass, fvcrash_task_string* className,
                         fvcrash_objc_method_cb callback, void* context) {
    if (list == 0) return FVCRASH_ESUCCESS;
    const fvcrash_task_mapping* section = &m.cache->const_section;
    uint32_t head[2];
    if (fvcrash_task_mapping_read_uint32(section, m.macho->byteorder, list, 0, &head[0]) !=
            FVCRASH_ESUCCESS ||
        fvcrash_task_mapping_read_uint32(section, m.macho->byteorder, list, 4, &head[1]) !=
            FVCRASH_ESUCCESS) {
        return FVCRASH_EINVALID_DATA;
    }
    const uint64_t entrySize = head[0] & ~uint32_t{3};
    const uint64_t count = head[1];
    // The implementation is the third word of an entry.
    if (entrySize < 3 * m.word) return FVCRASH_EINVALID_DATA;
    if (!fvcrash_task_mapping_contains(section, list, 8, count * entrySize)) {
        return FVCRASH_EINVALID_DATA;
    }
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t entry = list + 8 + i * entrySize;
        uint64_t name, implementation;
        readWord(section, m, entry, &name);
        readWord(section, m, entry + 2 * m.word, &implementation);
        fvcrash_task_string methodName;
        fvcrash_task_string_init(&methodName, m.macho->task, name);
        callback(isClass, className, &methodName, implementation, context);
        fvcrash_task_string_free(&methodName);
    }
    return FVCRASH_ESUCCESS;
}

/// The methods of one class record (instance methods) or metaclass record.
fvcrash_status visitClass(Metadata& m, uint64_t classAddress, bool isClass,
                          fvcrash_objc_method_cb callback, void* context) {
    const uint64_t classSize = 5 * m.word;
    const void* record = fvcrash_task_mapping_pointer(&m.cache->data, classAddress, 0, classSize);
    if (!record) return FVCRASH_EINVALID_DATA;
    uint8_t ro[72];
    const uint64_t roSize = m.word == 8 ? 72 : 40;
    const fvcrash_status status =
        readOnlyData(m, classAddress, static_cast<const uint8_t*>(record), ro, roSize);
    if (status != FVCRASH_ESUCCESS) return status;
    const uint64_t nameField = m.word == 8 ? 24 : 16;
    const uint64_t methodsField = m.word == 8 ? 32 : 20;
    fvcrash_task_string className;
    fvcrash_task_string_init(&className, m.macho->task, wordOf(m, ro, nameField));
    const fvcrash_status listed =
        visitList(m, wordOf(m, ro, methodsField), isClass, &className, callback, context);
    fvcrash_task_string_free(&className);
    return listed;
}

uint64_t metaclassOf(const Metadata& m, uint64_t isa) {
    const uint32_t cpu = fvcrash_macho_cpu_type(m.macho);
    if (cpu == 0x100000C && (isa & 1)) return isa & 0x1FFFFFFF8ull;
    if (cpu == 12) return isa & ~uint64_t{7};
    return isa;
}

}  // namespace

fvcrash_status fvcrash_objc_each_method(const fvcrash_image* image, fvcrash_objc_cache* cache,
                                        fvcrash_objc_method_cb callback, void* context) {
    if (!cache) return FVCRASH_EACCESS;
    if (image->kind != FVCRASH_IMAGE_MACHO) return FVCRASH_ENOTFOUND;
    Metadata m{image, cache, &image->macho, image->macho.m64 ? 8u : 4u};
    fvcrash_status status = loadSections(m);
    if (status != FVCRASH_ESUCCESS) return status;

    const fvcrash_task_mapping* classlist = &cache->classlist;
    const uint64_t classes = classlist->length / m.word;
    for (uint64_t i = 0; i < classes; ++i) {
        uint64_t classAddress;
        if (!readWord(classlist, m, classlist->task_address + i * m.word, &classAddress)) break;
        status = visitClass(m, classAddress, false, callback, context);
        if (status == FVCRASH_ENOTFOUND) continue;  // not realized
        if (status != FVCRASH_ESUCCESS) return status;
        uint64_t isa;
        if (!readWord(&cache->data, m, classAddress, &isa)) return FVCRASH_EINVALID_DATA;
        status = visitClass(m, metaclassOf(m, isa), true, callback, context);
        if (status != FVCRASH_ESUCCESS && status != FVCRASH_ENOTFOUND) return status;
    }

    const fvcrash_task_mapping* catlist = &cache->catlist;
    const uint64_t categories = catlist->length / m.word;
    status = FVCRASH_ESUCCESS;
    for (uint64_t i = 0;
         i < categories && (status == FVCRASH_ESUCCESS || status == FVCRASH_ENOTFOUND); ++i) {
        uint64_t category;
        if (!readWord(catlist, m, catlist->task_address + i * m.word, &category)) break;
        const uint64_t categorySize = 6 * m.word;
        const void* record =
            fvcrash_task_mapping_pointer(&cache->const_section, category, 0, categorySize);
        if (!record) return FVCRASH_EINVALID_DATA;
        const auto* fields = static_cast<const uint8_t*>(record);
        const uint64_t classAddress = wordOf(m, fields, m.word);
        uint8_t classRecord[40];
        const void* inData =
            fvcrash_task_mapping_pointer(&cache->data, classAddress, 0, 5 * m.word);
        if (inData) {
            fvcrash_memcpy(classRecord, inData, 5 * m.word);
        } else if (fvcrash_task_read(m.macho->task, classAddress, 0, classRecord, 5 * m.word) !=
                   FVCRASH_ESUCCESS) {
            return FVCRASH_EINVALID_DATA;
        }
        uint8_t ro[72];
        if (readOnlyData(m, classAddress, classRecord, ro, m.word == 8 ? 72 : 40) !=
            FVCRASH_ESUCCESS) {
            continue;  // the category's class cannot be named
        }
        fvcrash_task_string className;
        fvcrash_task_string_init(&className, m.macho->task, wordOf(m, ro, m.word == 8 ? 24 : 16));
        status = visitList(m, wordOf(m, fields, 2 * m.word), false, &className, callback, context);
        if (status == FVCRASH_ESUCCESS) {
            status =
                visitList(m, wordOf(m, fields, 3 * m.word), true, &className, callback, context);
        }
        fvcrash_task_string_free(&className);
    }
    if (status != FVCRASH_ESUCCESS && status != FVCRASH_ENOTFOUND) return status;
    cache->current_metadata_seen = true;
    return FVCRASH_ESUCCESS;
}

namespace {

struct MethodSearch {
    uint64_t pc;
    bool found;
    uint64_t best;
    bool reported;
    fvcrash_objc_method_cb callback;
    void* context;
};

void nearestMethod(bool, fvcrash_task_string*, fvcrash_task_string*, uint64_t implementation,
                   void* context) {
    auto* search = static_cast<MethodSearch*>(context);
    if (implementation > search->pc) return;
    if (!search->found || implementation > search->best) {
        search->best = implementation;
        search->found = true;
    }
}

void reportMethod(bool isClass, fvcrash_task_string* className, fvcrash_task_string* methodName,
                  uint64_t implementation, void* context) {
    auto* search = static_cast<MethodSearch*>(context);
    if (search->reported || implementation != search->best) return;
    search->reported = true;
    search->callback(isClass, className, methodName, implementation, search->context);
}

}  // namespace

fvcrash_status fvcrash_objc_find_method(const fvcrash_image* image, fvcrash_objc_cache* cache,
                                        uint64_t pc, fvcrash_objc_method_cb found, void* context) {
    MethodSearch search{pc, false, 0, false, found, context};
    fvcrash_status status = fvcrash_objc_each_method(image, cache, nearestMethod, &search);
    if (status != FVCRASH_ESUCCESS) return status;
    if (!search.found) return FVCRASH_ENOTFOUND;
    return fvcrash_objc_each_method(image, cache, reportMethod, &search);
}

namespace {

/// "-[Class method]" or "+[Class method]", cut at 255 characters (then
/// without the closing bracket).
void recordMethod(bool isClass, fvcrash_task_string* className, fvcrash_task_string* methodName,
                  uint64_t implementation, void* context) {
    const char* classText = fvcrash_task_string_pointer(className, nullptr);
    const char* methodText = fvcrash_task_string_pointer(methodName, nullptr);
    if (!classText || !methodText) return;
    auto* candidate = static_cast<Candidate*>(context);
    if (candidate->found && implementation < candidate->address) return;
    size_t n = 0;
    auto append = [&](const char* text) {
        for (; *text && n < FVCRASH_SYMBOL_NAME_SIZE - 1; ++text) candidate->name[n++] = *text;
    };
    append(isClass ? "+[" : "-[");
    append(classText);
    append(" ");
    append(methodText);
    append("]");
    candidate->name[n] = 0;
    candidate->address = implementation;
    candidate->found = true;
}

}  // namespace

fvcrash_status fvcrash_lookup_symbol(const fvcrash_image* image, int strategy,
                                     fvcrash_objc_cache* cache, uint64_t pc,
                                     fvcrash_symbol_found_cb found, void* context) {
    strategy &= 3;
    if (cache && cache->memo_valid && cache->memo_image == image && cache->memo_pc == pc &&
        cache->memo_strategy == strategy) {
        if (cache->memo_status == FVCRASH_ESUCCESS) {
            found(cache->memo_address, cache->memo_name, context);
        }
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
    fvcrash_status metadataStatus = FVCRASH_ENOTFOUND;
    if ((strategy & FVCRASH_SYMBOL_STRATEGY_OBJC) && image->kind == FVCRASH_IMAGE_MACHO) {
        metadataStatus = fvcrash_objc_find_method(image, cache, pc, recordMethod, &candidate);
    }
    fvcrash_status result;
    if (tableStatus != FVCRASH_ESUCCESS && metadataStatus != FVCRASH_ESUCCESS) {
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
