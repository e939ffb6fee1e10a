#include "FVCrashReporter/Source/crash/FVCrashCompactUnwind.h"

namespace {

constexpr uint32_t kModeMask = 0x0F000000;

bool read32(const fvcrash_compact_unwind_reader* reader, uint64_t offset, uint32_t* value) {
    return fvcrash_task_mapping_read_uint32(
               &reader->mapping, reader->order, reader->mapping.task_address,
               static_cast<int64_t>(offset), value) == FVCRASH_ESUCCESS;
}

bool read16(const fvcrash_compact_unwind_reader* reader, uint64_t offset, uint16_t* value) {
    return fvcrash_task_mapping_read_uint16(
               &reader->mapping, reader->order, reader->mapping.task_address,
               static_cast<int64_t>(offset), value) == FVCRASH_ESUCCESS;
}

bool inside(const fvcrash_compact_unwind_reader* reader, uint64_t offset, uint64_t length) {
    return fvcrash_task_mapping_contains(&reader->mapping, reader->mapping.task_address,
                                         static_cast<int64_t>(offset), length);
}

/// Index of the last of `count` sorted keys not above `key`, or `count`
/// when all are above it.
template <typename Key>
uint32_t lastNotAbove(uint32_t count, uint64_t key, Key keyAt) {
    uint32_t low = 0, high = count;
    while (low < high) {
        const uint32_t middle = low + (high - low) / 2;
        if (keyAt(middle) <= key) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low == 0 ? count : low - 1;
}

uint32_t x86Register(uint32_t code, bool m64) {
    static constexpr int k64[] = {0,
                                  FVCRASH_X86_64_RBX,
                                  FVCRASH_X86_64_R12,
                                  FVCRASH_X86_64_R13,
                                  FVCRASH_X86_64_R14,
                                  FVCRASH_X86_64_R15,
                                  FVCRASH_X86_64_RBP};
    static constexpr int k32[] = {0,
                                  FVCRASH_X86_EBX,
                                  FVCRASH_X86_ECX,
                                  FVCRASH_X86_EDX,
                                  FVCRASH_X86_EDI,
                                  FVCRASH_X86_ESI,
                                  FVCRASH_X86_EBP};
    if (code == 0) return FVCRASH_COMPACT_UNWIND_NO_REGISTER;
    return static_cast<uint32_t>(m64 ? k64[code] : k32[code]);
}

}  // namespace

fvcrash_status fvcrash_compact_unwind_reader_init(fvcrash_compact_unwind_reader* reader,
                                                  const fvcrash_task_mapping* mapping,
                                                  uint32_t cpu_type) {
    fvcrash_memset(reader, 0, sizeof *reader);
    if (cpu_type != FVCRASH_CPU_TYPE_X86_64 && cpu_type != FVCRASH_CPU_TYPE_X86 &&
        cpu_type != FVCRASH_CPU_TYPE_ARM64) {
        return FVCRASH_ENOTSUP;
    }
    reader->mapping = *mapping;
    reader->cpu_type = cpu_type;
    reader->order = &fvcrash_byte_order_direct;
    if (!inside(reader, 0, 28)) return FVCRASH_EINVAL;
    uint32_t* fields[] = {&reader->version,           &reader->common_offset,
                          &reader->common_count,      &reader->personality_offset,
                          &reader->personality_count, &reader->index_offset,
                          &reader->index_count};
    for (uint32_t i = 0; i < 7; ++i) read32(reader, i * 4, fields[i]);
    if (reader->version != 1) return FVCRASH_ENOTSUP;
    return FVCRASH_ESUCCESS;
}

fvcrash_status fvcrash_compact_unwind_find_encoding(const fvcrash_compact_unwind_reader* reader,
                                                    uint64_t pc, uint32_t* function_offset,
                                                    uint32_t* encoding) {
    if (!inside(reader, reader->common_offset, uint64_t{reader->common_count} * 4)) {
        return FVCRASH_EINVAL;
    }
    if (reader->index_count == 0) return FVCRASH_ENOTFOUND;
    const uint32_t real = reader->index_count - 1;
    if (real == 0) return FVCRASH_ENOTFOUND;
    if (!inside(reader, reader->index_offset, uint64_t{real} * 12)) return FVCRASH_EINVAL;
    const uint64_t index = reader->index_offset;
    auto indexFunction = [&](uint32_t i) {
        uint32_t value = 0;
        read32(reader, index + uint64_t{i} * 12, &value);
        return uint64_t{value};
    };
    // The last real entry takes every pc at or above its offset.
    const uint32_t chosen = lastNotAbove(real, pc, indexFunction);
    if (chosen == real) return FVCRASH_ENOTFOUND;
    const uint64_t base = indexFunction(chosen);
    uint32_t page;
    read32(reader, index + uint64_t{chosen} * 12 + 4, &page);
    uint32_t kind;
    if (!read32(reader, page, &kind)) return FVCRASH_EINVAL;
    uint16_t entryOffset, entryCount;
    if (!read16(reader, uint64_t{page} + 4, &entryOffset) ||
        !read16(reader, uint64_t{page} + 6, &entryCount)) {
        return FVCRASH_EINVAL;
    }
    const uint64_t entries = uint64_t{page} + entryOffset;
    if (kind == 2) {
        if (entryCount == 0 || !inside(reader, entries, uint64_t{entryCount} * 8)) {
            return FVCRASH_EINVAL;
        }
        const uint32_t i = lastNotAbove(entryCount, pc, [&](uint32_t n) {
            uint32_t value = 0;
            read32(reader, entries + uint64_t{n} * 8, &value);
            return uint64_t{value};
        });
        if (i == entryCount) return FVCRASH_ENOTFOUND;
        read32(reader, entries + uint64_t{i} * 8, function_offset);
        read32(reader, entries + uint64_t{i} * 8 + 4, encoding);
        return FVCRASH_ESUCCESS;
    }
    if (kind != 3) return FVCRASH_EINVAL;
    uint16_t encodingsOffset, encodingsCount;
    if (!read16(reader, uint64_t{page} + 8, &encodingsOffset) ||
        !read16(reader, uint64_t{page} + 10, &encodingsCount)) {
        return FVCRASH_EINVAL;
    }
    if (entryCount == 0 || !inside(reader, entries, uint64_t{entryCount} * 4)) {
        return FVCRASH_EINVAL;
    }
    auto entryAt = [&](uint32_t n) {
        uint32_t value = 0;
        read32(reader, entries + uint64_t{n} * 4, &value);
        return value;
    };
    const uint32_t i =
        lastNotAbove(entryCount, pc, [&](uint32_t n) { return base + (entryAt(n) & 0x00FFFFFF); });
    if (i == entryCount) return FVCRASH_ENOTFOUND;
    const uint32_t entry = entryAt(i);
    const uint64_t start = base + (entry & 0x00FFFFFF);
    if (start > UINT32_MAX) return FVCRASH_EINVAL;
    *function_offset = static_cast<uint32_t>(start);
    const uint32_t encodingIndex = entry >> 24;
    if (encodingIndex < reader->common_count) {
        read32(reader, reader->common_offset + uint64_t{encodingIndex} * 4, encoding);
        return FVCRASH_ESUCCESS;
    }
    const uint32_t local = encodingIndex - reader->common_count;
    if (local >= encodingsCount) return FVCRASH_EINVAL;
    if (!read32(reader, uint64_t{page} + encodingsOffset + uint64_t{local} * 4, encoding)) {
        return FVCRASH_EINVAL;
    }
    return FVCRASH_ESUCCESS;
}

fvcrash_status fvcrash_compact_unwind_decode_permutation(uint32_t permutation, uint32_t count,
                                                         uint32_t* codes) {
    if (count > 6) return FVCRASH_EINVAL;
    uint32_t digits[6] = {};
    const uint32_t p = permutation;
    switch (count) {
        case 0:
            return FVCRASH_ESUCCESS;
        case 1:
            digits[0] = p;
            break;
        case 2:
            digits[0] = p / 5;
            digits[1] = p % 5;
            break;
        case 3:
            digits[0] = p / 20;
            digits[1] = (p % 20) / 4;
            digits[2] = p % 4;
            break;
        case 4:
            digits[0] = p / 60;
            digits[1] = (p % 60) / 12;
            digits[2] = (p % 12) / 3;
            digits[3] = p % 3;
            break;
        default:
            digits[0] = p / 120;
            digits[1] = (p % 120) / 24;
            digits[2] = (p % 24) / 6;
            digits[3] = (p % 6) / 2;
            digits[4] = p % 2;
            digits[5] = 0;
            break;
    }
    bool used[7] = {};
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t seen = 0;
        uint32_t code = 0;
        for (uint32_t c = 1; c <= 6; ++c) {
            if (used[c]) continue;
            if (seen++ == digits[i]) {
                code = c;
                break;
            }
        }
        if (code == 0) return FVCRASH_EINVAL;
        used[code] = true;
        codes[i] = code;
    }
    return FVCRASH_ESUCCESS;
}

uint32_t fvcrash_compact_unwind_encode_permutation(const uint32_t* codes, uint32_t count) {
    if (count == 0 || count > 6) return 0;
    uint32_t digits[6] = {};
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t smaller = 0;
        for (uint32_t j = 0; j < i; ++j) {
            if (codes[j] < codes[i]) ++smaller;
        }
        digits[i] = codes[i] - 1 - smaller;
    }
    switch (count) {
        case 1:
            return digits[0];
        case 2:
            return digits[0] * 5 + digits[1];
        case 3:
            return digits[0] * 20 + digits[1] * 4 + digits[2];
        case 4:
            return digits[0] * 60 + digits[1] * 12 + digits[2] * 3 + digits[3];
        default:
            return digits[0] * 120 + digits[1] * 24 + digits[2] * 6 + digits[3] * 2 + digits[4];
    }
}

fvcrash_status fvcrash_compact_unwind_decode(fvcrash_compact_unwind_entry* entry, uint32_t encoding,
                                             uint32_t cpu_type) {
    fvcrash_memset(entry, 0, sizeof *entry);
    entry->cpu_type = cpu_type;
    entry->return_address_register = FVCRASH_COMPACT_UNWIND_NO_REGISTER;
    const uint32_t mode = encoding & kModeMask;
    if (cpu_type == FVCRASH_CPU_TYPE_ARM64) {
        // Numbered as DWARF numbers them: x19-x28, x29 the frame pointer, x30
        // the link register.
        switch (mode) {
            case 0:
                entry->kind = FVCRASH_COMPACT_UNWIND_NONE;
                return FVCRASH_ESUCCESS;
            case 0x02000000:
                entry->kind = FVCRASH_COMPACT_UNWIND_FRAMELESS_IMMD;
                entry->stack_value = ((encoding >> 12) & 0xFFF) * 16;
                entry->return_address_register = 30;
                return FVCRASH_ESUCCESS;
            case 0x03000000:
                entry->kind = FVCRASH_COMPACT_UNWIND_DWARF;
                entry->stack_value = encoding & 0x00FFFFFF;
                return FVCRASH_ESUCCESS;
            case 0x04000000:
                entry->kind = FVCRASH_COMPACT_UNWIND_FRAME;
                for (uint32_t bit = 0; bit < 5; ++bit) {
                    if (!(encoding & (1u << bit))) continue;
                    entry->registers[entry->register_count++] = 19 + bit * 2;
                    entry->registers[entry->register_count++] = 20 + bit * 2;
                }
                entry->stack_value = -8 * static_cast<int64_t>(entry->register_count);
                return FVCRASH_ESUCCESS;
            default:
                return FVCRASH_ENOTSUP;
        }
    }
    if (cpu_type != FVCRASH_CPU_TYPE_X86_64 && cpu_type != FVCRASH_CPU_TYPE_X86) {
        return FVCRASH_ENOTSUP;
    }
    const bool m64 = cpu_type == FVCRASH_CPU_TYPE_X86_64;
    const int64_t word = m64 ? 8 : 4;
    switch (mode) {
        case 0:
            entry->kind = FVCRASH_COMPACT_UNWIND_NONE;
            return FVCRASH_ESUCCESS;
        case 0x01000000: {
            entry->kind = FVCRASH_COMPACT_UNWIND_FRAME;
            entry->stack_value = -static_cast<int64_t>((encoding >> 16) & 0xFF) * word;
            uint32_t registers = encoding & 0x7FFF;
            for (uint32_t i = 0; i < 5 && registers != 0; ++i, registers >>= 3) {
                const uint32_t code = registers & 7;
                if (code > 6) return FVCRASH_EINVAL;
                entry->registers[entry->register_count++] = x86Register(code, m64);
            }
            return FVCRASH_ESUCCESS;
        }
        case 0x02000000:
        case 0x03000000: {
            const bool indirect = mode == 0x03000000;
            entry->kind = indirect ? FVCRASH_COMPACT_UNWIND_FRAMELESS_INDIRECT
                                   : FVCRASH_COMPACT_UNWIND_FRAMELESS_IMMD;
            const uint32_t size = (encoding >> 16) & 0xFF;
            entry->stack_value = indirect ? size : size * word;
            entry->stack_adjust =
                indirect ? ((encoding >> 13) & 7) * static_cast<uint32_t>(word) : 0;
            const uint32_t count = (encoding >> 10) & 7;
            uint32_t codes[6];
            if (fvcrash_compact_unwind_decode_permutation(encoding & 0x3FF, count, codes) !=
                FVCRASH_ESUCCESS) {
                return FVCRASH_EINVAL;
            }
            for (uint32_t i = 0; i < count; ++i) entry->registers[i] = x86Register(codes[i], m64);
            entry->register_count = count;
            return FVCRASH_ESUCCESS;
        }
        case 0x04000000:
            entry->kind = FVCRASH_COMPACT_UNWIND_DWARF;
            entry->stack_value = encoding & 0x00FFFFFF;
            return FVCRASH_ESUCCESS;
        default:
            return FVCRASH_ENOTSUP;
    }
}

fvcrash_status fvcrash_compact_unwind_apply_cached(fvcrash_task task, uint64_t function_start,
                                                   const fvcrash_thread_state* current,
                                                   const fvcrash_compact_unwind_entry* entry,
                                                   fvcrash_thread_state* caller,
                                                   fvcrash_unwind_cache* cache) {
    if (entry->cpu_type != FVCRASH_CPU_TYPE_X86_64 && entry->cpu_type != FVCRASH_CPU_TYPE_X86) {
        return FVCRASH_ENOTSUP;
    }
    const uint64_t word = fvcrash_thread_state_word_size(current);
    auto wrap = [&](uint64_t value) { return word == 4 ? static_cast<uint32_t>(value) : value; };
    fvcrash_thread_state_copy(caller, current);
    fvcrash_thread_state_invalidate_volatile(caller);
    caller->frame_flags = FVCRASH_FRAME_RETURN_ADDRESS;
    uint64_t saved;
    switch (entry->kind) {
        case FVCRASH_COMPACT_UNWIND_FRAMELESS_IMMD:
        case FVCRASH_COMPACT_UNWIND_FRAMELESS_INDIRECT: {
            if (!fvcrash_thread_state_is_valid_reg(current, FVCRASH_REG_SP)) {
                return FVCRASH_ENOTFOUND;
            }
            uint64_t size = static_cast<uint64_t>(entry->stack_value);
            if (entry->kind == FVCRASH_COMPACT_UNWIND_FRAMELESS_INDIRECT) {
                uint32_t immediate;
                const fvcrash_status status = fvcrash_unwind_read(
                    cache, task, function_start, entry->stack_value, &immediate, 4);
                if (status != FVCRASH_ESUCCESS) return status;
                size = uint64_t{entry->stack_adjust} + immediate;
            }
            const uint64_t sp = wrap(fvcrash_thread_state_read_reg(current, FVCRASH_REG_SP) + size);
            fvcrash_thread_state_write_reg(caller, FVCRASH_REG_SP, sp);
            if (entry->return_address_register == FVCRASH_COMPACT_UNWIND_NO_REGISTER) {
                uint64_t returnAddress;
                const fvcrash_status status =
                    fvcrash_unwind_read_word(cache, task, wrap(sp - word), 0, word, &returnAddress);
                if (status != FVCRASH_ESUCCESS) return status;
                fvcrash_thread_state_write_reg(caller, FVCRASH_REG_IP, returnAddress);
                saved = wrap(sp - word - entry->register_count * word);
            } else {
                const int ra = static_cast<int>(entry->return_address_register);
                if (!fvcrash_thread_state_is_valid_reg(current, ra)) return FVCRASH_ENOTFOUND;
                fvcrash_thread_state_write_reg(caller, FVCRASH_REG_IP,
                                               fvcrash_thread_state_read_reg(current, ra));
                saved = wrap(sp - entry->register_count * word);
            }
            break;
        }
        case FVCRASH_COMPACT_UNWIND_FRAME: {
            if (!fvcrash_thread_state_is_valid_reg(current, FVCRASH_REG_FP)) {
                return FVCRASH_ENOTFOUND;
            }
            const uint64_t fp = fvcrash_thread_state_read_reg(current, FVCRASH_REG_FP);
            uint64_t sp;
            if (__builtin_add_overflow(fp, 2 * word, &sp) || wrap(sp) != sp) return FVCRASH_EINVAL;
            uint64_t callerFp, returnAddress;
            fvcrash_status status = fvcrash_unwind_read_word(cache, task, fp, 0, word, &callerFp);
            if (status == FVCRASH_ESUCCESS) {
                status = fvcrash_unwind_read_word(cache, task, fp, static_cast<int64_t>(word), word,
                                                  &returnAddress);
            }
            if (status != FVCRASH_ESUCCESS) return status;
            fvcrash_thread_state_write_reg(caller, FVCRASH_REG_SP, sp);
            fvcrash_thread_state_write_reg(caller, FVCRASH_REG_FP, callerFp);
            fvcrash_thread_state_write_reg(caller, FVCRASH_REG_IP, returnAddress);
            saved = wrap(fp + static_cast<uint64_t>(entry->stack_value));
            break;
        }
        default:
            return FVCRASH_ENOTSUP;
    }
    for (uint32_t i = 0; i < entry->register_count; ++i) {
        const uint32_t reg = entry->registers[i];
        if (reg == FVCRASH_COMPACT_UNWIND_NO_REGISTER) continue;
        uint64_t value;
        const fvcrash_status status =
            fvcrash_unwind_read_word(cache, task, wrap(saved + i * word), 0, word, &value);
        if (status != FVCRASH_ESUCCESS) return status;
        fvcrash_thread_state_write_reg(caller, static_cast<int>(reg), value);
    }
    return FVCRASH_ESUCCESS;
}

fvcrash_status fvcrash_compact_unwind_apply(fvcrash_task task, uint64_t function_start,
                                            const fvcrash_thread_state* current,
                                            const fvcrash_compact_unwind_entry* entry,
                                            fvcrash_thread_state* caller) {
    return fvcrash_compact_unwind_apply_cached(task, function_start, current, entry, caller,
                                               nullptr);
}

namespace {}  // namespace

fvcrash_stack_status fvcrash_stack_read_compact_unwind_in(fvcrash_task task,
                                                          const fvcrash_image* image,
                                                          const fvcrash_thread_state* current,
                                                          uint64_t pc, fvcrash_thread_state* caller,
                                                          fvcrash_unwind_cache* cache) {
    // Only Mach-O images carry the table.
    if (image->kind != FVCRASH_IMAGE_MACHO) return FVCRASH_STACK_ENOTSUP;
    fvcrash_unwind_window local;
    fvcrash_unwind_window* window =
        fvcrash_unwind_cache_window(cache, image, FVCRASH_UNWIND_WINDOW_COMPACT);
    if (!window) {
        window = fvcrash_unwind_cache_store(cache, image, FVCRASH_UNWIND_WINDOW_COMPACT);
        if (!window) {
            fvcrash_memset(&local, 0, sizeof local);
            window = &local;
        }
        window->status =
            fvcrash_macho_map_section(&image->macho, "__TEXT", "__unwind_info", &window->mapping);
    }
    if (window->status != FVCRASH_ESUCCESS) return FVCRASH_STACK_ENOTSUP;
    fvcrash_compact_unwind_reader reader;
    if (fvcrash_compact_unwind_reader_init(
            &reader, &window->mapping, fvcrash_macho_cpu_type(&image->macho)) != FVCRASH_ESUCCESS) {
        return FVCRASH_STACK_EINVAL;
    }
    reader.order = fvcrash_macho_byte_order(&image->macho);
    const uint64_t header = image->macho.header_addr;
    uint32_t functionOffset, encoding;
    fvcrash_compact_unwind_entry entry;
    if (fvcrash_compact_unwind_find_encoding(&reader, pc - header, &functionOffset, &encoding) !=
            FVCRASH_ESUCCESS ||
        fvcrash_compact_unwind_decode(&entry, encoding, reader.cpu_type) != FVCRASH_ESUCCESS) {
        return FVCRASH_STACK_ENOTSUP;
    }
    if (entry.kind == FVCRASH_COMPACT_UNWIND_NONE) return FVCRASH_STACK_ENOFRAME;
    uint64_t start;
    if (__builtin_add_overflow(header, uint64_t{functionOffset}, &start)) {
        return FVCRASH_STACK_EINVAL;
    }
    if (fvcrash_compact_unwind_apply_cached(task, start, current, &entry, caller, cache) !=
        FVCRASH_ESUCCESS) {
        return FVCRASH_STACK_ENOFRAME;
    }
    return FVCRASH_STACK_OK;
}

fvcrash_stack_status fvcrash_stack_read_compact_unwind_cached(fvcrash_task task,
                                                              fvcrash_image_list* images,
                                                              const fvcrash_thread_state* current,
                                                              fvcrash_thread_state* caller,
                                                              fvcrash_unwind_cache* cache) {
    return fvcrash_stack_read_in_image(task, images, current, caller, cache,
                                       fvcrash_stack_read_compact_unwind_in);
}

fvcrash_stack_status fvcrash_stack_read_compact_unwind(fvcrash_task task,
                                                       fvcrash_image_list* images,
                                                       const fvcrash_thread_state* current,
                                                       const fvcrash_thread_state* previous,
                                                       fvcrash_thread_state* caller) {
    (void)previous;
    return fvcrash_stack_read_compact_unwind_cached(task, images, current, caller, nullptr);
}
