#include "FVCrashReporter/Source/crash/FVCrashDwarfFrame.h"

#include <elf.h>

#include "FVCrashReporter/Source/crash/FVCrashDwarfExpression.h"
#include "FVCrashReporter/Source/crash/FVCrashDwarfStream.h"

#define FV_TRY(expr)                               \
    do {                                           \
        const fvcrash_status fv_s = (expr);        \
        if (fv_s != FVCRASH_ESUCCESS) return fv_s; \
    } while (0)

namespace {

uint64_t sectionStart(const fvcrash_task_mapping* mapping) {
    return fvcrash_task_mapping_task_address(mapping);
}

uint64_t truncateToWord(uint64_t value, uint64_t wordSize) {
    return wordSize == 4 ? static_cast<uint32_t>(value) : value;
}

/// value × factor, both signed; false on overflow.
bool scaled(int64_t value, int64_t factor, int64_t* result) {
    return !__builtin_mul_overflow(value, factor, result);
}

/// An unsigned LEB128 operand used as a signed factor: false when it does not
/// fit.
bool asSigned(uint64_t value, int64_t* result) {
    if (value > static_cast<uint64_t>(INT64_MAX)) return false;
    *result = static_cast<int64_t>(value);
    return true;
}

/// The length form of an entry at `address`: its content length, header size
/// and identifier width.
fvcrash_status readEntryHeader(const fvcrash_task_mapping* mapping, const fvcrash_byte_order* order,
                               uint64_t address, uint64_t* length, uint64_t* headerSize,
                               uint64_t* idSize) {
    uint32_t length32;
    if (fvcrash_task_mapping_read_uint32(mapping, order, address, 0, &length32) !=
        FVCRASH_ESUCCESS) {
        return FVCRASH_EINVAL;
    }
    if (length32 == 0xFFFFFFFFu) {
        if (fvcrash_task_mapping_read_uint64(mapping, order, address, 4, length) !=
            FVCRASH_ESUCCESS) {
            return FVCRASH_EINVAL;
        }
        *headerSize = 12;
        *idSize = 8;
    } else {
        *length = length32;
        *headerSize = 4;
        *idSize = 4;
    }
    return FVCRASH_ESUCCESS;
}

}  // namespace

void fvcrash_dwarf_frame_reader_init(fvcrash_dwarf_frame_reader* reader,
                                     const fvcrash_task_mapping* mapping,
                                     const fvcrash_byte_order* order, bool m64, bool debug_frame) {
    reader->mapping = *mapping;
    reader->order = order;
    reader->m64 = m64;
    reader->debug_frame = debug_frame;
    reader->gnu = false;
}

void fvcrash_dwarf_pointer_context_init(fvcrash_dwarf_pointer_context* context,
                                        const fvcrash_byte_order* order, uint64_t word_size) {
    fvcrash_memset(context, 0, sizeof *context);
    context->order = order;
    context->word_size = word_size;
}

void fvcrash_dwarf_pointer_context_set_frame_section(fvcrash_dwarf_pointer_context* context,
                                                     uint64_t local_address,
                                                     uint64_t image_address) {
    context->has_frame_section = true;
    context->frame_section_local = local_address;
    context->frame_section_image = image_address;
}

void fvcrash_dwarf_pointer_context_set_text_base(fvcrash_dwarf_pointer_context* context,
                                                 uint64_t base) {
    context->has_text_base = true;
    context->text_base = base;
}

void fvcrash_dwarf_pointer_context_set_data_base(fvcrash_dwarf_pointer_context* context,
                                                 uint64_t base) {
    context->has_data_base = true;
    context->data_base = base;
}

void fvcrash_dwarf_pointer_context_set_function_base(fvcrash_dwarf_pointer_context* context,
                                                     uint64_t base) {
    context->has_function_base = true;
    context->function_base = base;
}

fvcrash_status fvcrash_dwarf_read_pointer(const fvcrash_dwarf_pointer_context* context,
                                          const fvcrash_task_mapping* mapping, uint64_t base,
                                          int64_t offset, uint8_t encoding, uint64_t* value,
                                          uint64_t* size) {
    if (encoding == 0xFF) return FVCRASH_ENOTFOUND;
    uint64_t at;
    if (!fvcrash_address_apply_offset(base, offset, &at)) return FVCRASH_EINVAL;
    const uint64_t word = context->word_size;
    uint64_t padding = 0;
    uint64_t relative = 0;
    switch (encoding & 0x70) {
        case 0x00:
            break;
        case 0x10:
            relative = at;
            break;
        case 0x20:
            if (!context->has_text_base) return FVCRASH_ENOTSUP;
            relative = context->text_base;
            break;
        case 0x30:
            if (!context->has_data_base) return FVCRASH_ENOTSUP;
            relative = context->data_base;
            break;
        case 0x40:
            if (!context->has_function_base) return FVCRASH_ENOTSUP;
            relative = context->function_base;
            break;
        case 0x50: {
            if (!context->has_frame_section) return FVCRASH_ENOTSUP;
            const uint64_t imageAddress =
                at - context->frame_section_local + context->frame_section_image;
            padding = (word - imageAddress % word) % word;
            break;
        }
        default:
            return FVCRASH_ENOTSUP;
    }
    const uint64_t start = at + padding;
    if (start < at) return FVCRASH_EINVAL;
    uint64_t raw = 0, used = 0;
    switch (encoding & 0x0F) {
        case 0x00:
            FV_TRY(fvcrash_dwarf_read_uint(mapping, context->order, start, 0, word, &raw));
            used = word;
            break;
        case 0x01:
            FV_TRY(fvcrash_dwarf_read_uleb128(mapping, start, 0, &raw, &used));
            break;
        case 0x09: {
            int64_t s;
            FV_TRY(fvcrash_dwarf_read_sleb128(mapping, start, 0, &s, &used));
            raw = static_cast<uint64_t>(s);
            break;
        }
        case 0x02:
        case 0x03:
        case 0x04:
        case 0x0A:
        case 0x0B:
        case 0x0C: {
            const unsigned low = encoding & 0x07;
            used = low == 2 ? 2 : low == 3 ? 4 : 8;
            FV_TRY(fvcrash_dwarf_read_uint(mapping, context->order, start, 0, used, &raw));
            if ((encoding & 0x08) && used < 8 && ((raw >> (used * 8 - 1)) & 1)) {
                raw |= ~uint64_t{0} << (used * 8);
            }
            break;
        }
        default:
            return FVCRASH_ENOTSUP;
    }
    uint64_t result = truncateToWord(raw + relative, word);
    if (encoding & 0x80) {
        uint64_t target;
        if (fvcrash_unwind_read_word(context->cache, mapping->task, result, 0, word, &target) !=
            FVCRASH_ESUCCESS) {
            return FVCRASH_EINVAL;
        }
        result = target;
    }
    *value = result;
    if (size) *size = padding + used;
    return FVCRASH_ESUCCESS;
}

fvcrash_status fvcrash_dwarf_parse_cie(fvcrash_dwarf_cie_info* info,
                                       const fvcrash_task_mapping* mapping,
                                       const fvcrash_byte_order* order,
                                       const fvcrash_dwarf_pointer_context* context,
                                       uint64_t cie_address) {
    fvcrash_memset(info, 0, sizeof *info);
    uint64_t length, header, idSize;
    FV_TRY(readEntryHeader(mapping, order, cie_address, &length, &header, &idSize));
    if (length < idSize || length > static_cast<uint64_t>(INT64_MAX)) return FVCRASH_EINVAL;
    fvcrash_dwarf_opstream in;
    FV_TRY(fvcrash_dwarf_opstream_init(&in, mapping, order, cie_address,
                                       static_cast<int64_t>(header), static_cast<int64_t>(length)));
    info->offset = in.start - sectionStart(mapping);
    info->length = length;
    FV_TRY(fvcrash_dwarf_opstream_read_uint(&in, idSize, &info->identifier));
    const uint64_t allOnes = idSize == 8 ? ~uint64_t{0} : 0xFFFFFFFFull;
    if (info->identifier != 0 && info->identifier != allOnes) return FVCRASH_EINVAL;
    FV_TRY(fvcrash_dwarf_opstream_read_u8(&in, &info->version));
    if (info->version != 1 && info->version != 3 && info->version != 4) return FVCRASH_EINVAL;

    const uint64_t augmentation = in.position;
    uint8_t c;
    FV_TRY(fvcrash_dwarf_opstream_read_u8(&in, &c));
    if (c != 0 && c != 'z') return FVCRASH_ENOTSUP;
    while (c != 0) FV_TRY(fvcrash_dwarf_opstream_read_u8(&in, &c));
    info->has_augmentation =
        fvcrash_task_mapping_read_uint8(mapping, augmentation, 0, &c) == FVCRASH_ESUCCESS &&
        c == 'z';

    if (info->version == 4) {
        FV_TRY(fvcrash_dwarf_opstream_read_u8(&in, &info->address_size));
        FV_TRY(fvcrash_dwarf_opstream_read_u8(&in, &info->segment_size));
    }
    FV_TRY(fvcrash_dwarf_opstream_read_uleb(&in, &info->code_alignment));
    FV_TRY(fvcrash_dwarf_opstream_read_sleb(&in, &info->data_alignment));
    FV_TRY(fvcrash_dwarf_opstream_read_uleb(&in, &info->return_address_register));

    if (info->has_augmentation) {
        uint64_t dataLength;
        FV_TRY(fvcrash_dwarf_opstream_read_uleb(&in, &dataLength));
        const uint64_t dataStart = in.position;
        if (dataLength > in.end - dataStart) return FVCRASH_EINVAL;
        for (uint64_t i = 1;; ++i) {
            if (fvcrash_task_mapping_read_uint8(mapping, augmentation, static_cast<int64_t>(i),
                                                &c) != FVCRASH_ESUCCESS) {
                return FVCRASH_EINVAL;
            }
            if (c == 'L') {
                FV_TRY(fvcrash_dwarf_opstream_read_u8(&in, &info->lsda_encoding));
                info->has_lsda_encoding = true;
            } else if (c == 'P') {
                uint8_t encoding;
                FV_TRY(fvcrash_dwarf_opstream_read_u8(&in, &encoding));
                if (context->personality_slot && encoding != 0xFF) encoding &= 0x7F;
                uint64_t used;
                FV_TRY(fvcrash_dwarf_read_pointer(context, mapping, in.position, 0, encoding,
                                                  &info->personality, &used));
                FV_TRY(fvcrash_dwarf_opstream_skip(&in, static_cast<int64_t>(used)));
                info->has_personality = true;
            } else if (c == 'R') {
                FV_TRY(fvcrash_dwarf_opstream_read_u8(&in, &info->pointer_encoding));
                info->has_pointer_encoding = true;
            } else if (c == 'S') {
                info->signal_frame = true;
            } else {
                break;
            }
        }
        in.position = dataStart + dataLength;
    }
    if (in.position > in.end) return FVCRASH_EINVAL;
    info->instructions_offset = in.position - sectionStart(mapping);
    info->instructions_length = in.end - in.position;
    return FVCRASH_ESUCCESS;
}

fvcrash_status fvcrash_dwarf_parse_fde(fvcrash_dwarf_fde_info* info, fvcrash_dwarf_cie_info* cie,
                                       const fvcrash_task_mapping* mapping,
                                       const fvcrash_byte_order* order,
                                       const fvcrash_dwarf_pointer_context* context,
                                       uint64_t fde_address, bool debug_frame) {
    fvcrash_memset(info, 0, sizeof *info);
    uint64_t length, header, idSize;
    FV_TRY(readEntryHeader(mapping, order, fde_address, &length, &header, &idSize));
    if (length < idSize || length > static_cast<uint64_t>(INT64_MAX)) return FVCRASH_EINVAL;
    fvcrash_dwarf_opstream in;
    FV_TRY(fvcrash_dwarf_opstream_init(&in, mapping, order, fde_address,
                                       static_cast<int64_t>(header), static_cast<int64_t>(length)));
    info->offset = in.start - sectionStart(mapping);
    info->length = length;
    const uint64_t field = in.position;
    uint64_t pointer;
    FV_TRY(fvcrash_dwarf_opstream_read_uint(&in, idSize, &pointer));
    uint64_t cieAddress;
    if (debug_frame) {
        if (__builtin_add_overflow(sectionStart(mapping), pointer, &cieAddress)) {
            return FVCRASH_EINVAL;
        }
    } else {
        if (pointer > field - sectionStart(mapping)) return FVCRASH_EINVAL;
        cieAddress = field - pointer;
    }
    info->cie_offset = cieAddress - sectionStart(mapping);
    fvcrash_dwarf_pointer_context cieContext = *context;
    FV_TRY(fvcrash_dwarf_parse_cie(cie, mapping, order, &cieContext, cieAddress));

    const uint8_t encoding = cie->has_pointer_encoding ? cie->pointer_encoding : 0x00;
    uint64_t used, range;
    FV_TRY(fvcrash_dwarf_read_pointer(context, mapping, in.position, 0, encoding, &info->pc_start,
                                      &used));
    FV_TRY(fvcrash_dwarf_opstream_skip(&in, static_cast<int64_t>(used)));
    FV_TRY(fvcrash_dwarf_read_pointer(context, mapping, in.position, 0, encoding & 0x0F, &range,
                                      &used));
    FV_TRY(fvcrash_dwarf_opstream_skip(&in, static_cast<int64_t>(used)));
    if (__builtin_add_overflow(info->pc_start, range, &info->pc_end)) return FVCRASH_EINVAL;
    if (cie->has_augmentation) {
        uint64_t dataLength;
        FV_TRY(fvcrash_dwarf_opstream_read_uleb(&in, &dataLength));
        if (dataLength > in.end - in.position) return FVCRASH_EINVAL;
        in.position += dataLength;
    }
    info->instructions_offset = in.position - sectionStart(mapping);
    info->instructions_length = in.end - in.position;
    return FVCRASH_ESUCCESS;
}

fvcrash_status fvcrash_dwarf_find_fde(const fvcrash_dwarf_frame_reader* reader,
                                      const fvcrash_dwarf_pointer_context* context,
                                      uint64_t start_offset, uint64_t pc,
                                      fvcrash_dwarf_fde_info* fde, fvcrash_dwarf_cie_info* cie) {
    const fvcrash_task_mapping* mapping = &reader->mapping;
    const uint64_t start = sectionStart(mapping);
    const uint64_t size = fvcrash_task_mapping_length(mapping);
    if (start_offset >= size) return FVCRASH_EINVAL;
    const uint64_t cieId = reader->debug_frame ? ~uint64_t{0} : 0;
    uint64_t offset = start_offset;
    while (offset < size) {
        uint64_t length, header, idSize;
        if (readEntryHeader(mapping, reader->order, start + offset, &length, &header, &idSize) !=
            FVCRASH_ESUCCESS) {
            return FVCRASH_EINVAL;
        }
        if (length == 0) break;
        uint64_t next;
        if (__builtin_add_overflow(offset, header, &next) ||
            __builtin_add_overflow(next, length, &next)) {
            return FVCRASH_EINVAL;
        }
        uint64_t id;
        if (fvcrash_dwarf_read_uint(mapping, reader->order, start + offset, header, idSize, &id) !=
            FVCRASH_ESUCCESS) {
            return FVCRASH_EINVAL;
        }
        const uint64_t ownCieId = idSize == 8 || !reader->debug_frame ? cieId : 0xFFFFFFFFull;
        if (id != ownCieId) {
            FV_TRY(fvcrash_dwarf_parse_fde(fde, cie, mapping, reader->order, context,
                                           start + offset, reader->debug_frame));
            if (fde->pc_start <= pc && pc < fde->pc_end) return FVCRASH_ESUCCESS;
        }
        offset = next;
    }
    return FVCRASH_ENOTFOUND;
}

fvcrash_status fvcrash_dwarf_hdr_eh_frame(const fvcrash_task_mapping* hdr, uint64_t* eh_frame) {
    uint8_t version, encoding;
    if (fvcrash_task_mapping_read_uint8(hdr, hdr->task_address, 0, &version) != FVCRASH_ESUCCESS ||
        fvcrash_task_mapping_read_uint8(hdr, hdr->task_address, 1, &encoding) != FVCRASH_ESUCCESS) {
        return FVCRASH_EINVAL;
    }
    if (version != 1) return FVCRASH_ENOTSUP;
    fvcrash_dwarf_pointer_context context;
    fvcrash_dwarf_pointer_context_init(&context, &fvcrash_byte_order_direct, 8);
    fvcrash_dwarf_pointer_context_set_data_base(&context, hdr->task_address);
    return fvcrash_dwarf_read_pointer(&context, hdr, hdr->task_address, 4, encoding, eh_frame,
                                      nullptr);
}

fvcrash_status fvcrash_dwarf_hdr_search(const fvcrash_task_mapping* hdr, uint64_t pc,
                                        uint64_t* fde_address) {
    const uint64_t base = hdr->task_address;
    uint8_t head[4];
    for (int i = 0; i < 4; ++i) {
        if (fvcrash_task_mapping_read_uint8(hdr, base, i, &head[i]) != FVCRASH_ESUCCESS) {
            return FVCRASH_ENOTSUP;
        }
    }
    if (head[0] != 1 || head[3] != 0x3B || head[2] == 0xFF) return FVCRASH_ENOTSUP;
    fvcrash_dwarf_pointer_context context;
    fvcrash_dwarf_pointer_context_init(&context, &fvcrash_byte_order_direct, 8);
    fvcrash_dwarf_pointer_context_set_data_base(&context, base);
    uint64_t value, used;
    if (fvcrash_dwarf_read_pointer(&context, hdr, base, 4, head[1], &value, &used) !=
        FVCRASH_ESUCCESS) {
        return FVCRASH_ENOTSUP;
    }
    uint64_t count, countUsed;
    const int64_t countAt = 4 + static_cast<int64_t>(used);
    if (fvcrash_dwarf_read_pointer(&context, hdr, base, countAt, head[2], &count, &countUsed) !=
        FVCRASH_ESUCCESS) {
        return FVCRASH_ENOTSUP;
    }
    const uint64_t table = base + static_cast<uint64_t>(countAt) + countUsed;
    if (count == 0 || count > fvcrash_task_mapping_length(hdr) / 8 ||
        !fvcrash_task_mapping_contains(hdr, table, 0, count * 8)) {
        return FVCRASH_ENOTSUP;
    }
    const auto* entries =
        static_cast<const int32_t*>(fvcrash_task_mapping_pointer(hdr, table, 0, count * 8));
    // The last entry whose start is not above pc.
    uint64_t low = 0, high = count;
    while (low < high) {
        const uint64_t middle = low + (high - low) / 2;
        int32_t loc;
        fvcrash_memcpy(&loc, &entries[middle * 2], 4);
        if (base + static_cast<uint64_t>(static_cast<int64_t>(loc)) <= pc) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    if (low == 0) return FVCRASH_ENOTFOUND;
    int32_t fde;
    fvcrash_memcpy(&fde, &entries[(low - 1) * 2 + 1], 4);
    *fde_address = base + static_cast<uint64_t>(static_cast<int64_t>(fde));
    return FVCRASH_ESUCCESS;
}

// The rule table.

namespace {

void emptyLevel(fvcrash_dwarf_cfa_state::level* level) {
    level->cfa = {FVCRASH_DWARF_CFA_UNDEFINED, 0, 0, 0};
    level->count = 0;
    fvcrash_memset(level->buckets, FVCRASH_DWARF_NO_ENTRY, sizeof level->buckets);
}

}  // namespace

// Entries and the levels above the current one are set up when first taken,
// so a table costs little to start.
void fvcrash_dwarf_cfa_state_init(fvcrash_dwarf_cfa_state* state) {
    state->free_head = FVCRASH_DWARF_NO_ENTRY;
    state->unused = 0;
    state->current = 0;
    emptyLevel(&state->levels[0]);
}

bool fvcrash_dwarf_cfa_state_set_rule(fvcrash_dwarf_cfa_state* state, uint32_t reg, uint8_t kind,
                                      int64_t value) {
    auto& level = state->levels[state->current];
    uint8_t* link = &level.buckets[reg % FVCRASH_DWARF_BUCKET_COUNT];
    while (*link != FVCRASH_DWARF_NO_ENTRY) {
        auto& entry = state->entries[*link];
        if (entry.reg == reg) {
            entry.kind = kind;
            entry.value = value;
            return true;
        }
        link = &entry.next;
    }
    uint8_t index;
    if (state->free_head != FVCRASH_DWARF_NO_ENTRY) {
        index = state->free_head;
        state->free_head = state->entries[index].next;
    } else if (state->unused < FVCRASH_DWARF_RULE_COUNT) {
        index = state->unused++;
    } else {
        return false;
    }
    auto& entry = state->entries[index];
    entry = {value, reg, kind, FVCRASH_DWARF_NO_ENTRY};
    *link = index;
    ++level.count;
    return true;
}

bool fvcrash_dwarf_cfa_state_get_rule(const fvcrash_dwarf_cfa_state* state, uint32_t reg,
                                      uint8_t* kind, int64_t* value) {
    const auto& level = state->levels[state->current];
    for (uint8_t i = level.buckets[reg % FVCRASH_DWARF_BUCKET_COUNT]; i != FVCRASH_DWARF_NO_ENTRY;
         i = state->entries[i].next) {
        if (state->entries[i].reg != reg) continue;
        *kind = state->entries[i].kind;
        *value = state->entries[i].value;
        return true;
    }
    return false;
}

void fvcrash_dwarf_cfa_state_remove_rule(fvcrash_dwarf_cfa_state* state, uint32_t reg) {
    auto& level = state->levels[state->current];
    uint8_t* link = &level.buckets[reg % FVCRASH_DWARF_BUCKET_COUNT];
    while (*link != FVCRASH_DWARF_NO_ENTRY) {
        const uint8_t index = *link;
        auto& entry = state->entries[index];
        if (entry.reg == reg) {
            *link = entry.next;
            entry.next = state->free_head;
            state->free_head = index;
            --level.count;
            return;
        }
        link = &entry.next;
    }
}

uint8_t fvcrash_dwarf_cfa_state_rule_count(const fvcrash_dwarf_cfa_state* state) {
    return state->levels[state->current].count;
}

void fvcrash_dwarf_cfa_state_set_cfa(fvcrash_dwarf_cfa_state* state,
                                     const fvcrash_dwarf_cfa_rule& rule) {
    state->levels[state->current].cfa = rule;
}

fvcrash_dwarf_cfa_rule fvcrash_dwarf_cfa_state_get_cfa(const fvcrash_dwarf_cfa_state* state) {
    return state->levels[state->current].cfa;
}

namespace {

template <typename Visit>
bool eachRule(const fvcrash_dwarf_cfa_state* state, Visit visit) {
    const auto& level = state->levels[state->current];
    for (uint8_t bucket : level.buckets) {
        for (uint8_t i = bucket; i != FVCRASH_DWARF_NO_ENTRY; i = state->entries[i].next) {
            if (!visit(state->entries[i])) return false;
        }
    }
    return true;
}

void clearLevel(fvcrash_dwarf_cfa_state* state) {
    auto& level = state->levels[state->current];
    for (uint8_t& bucket : level.buckets) {
        while (bucket != FVCRASH_DWARF_NO_ENTRY) {
            const uint8_t index = bucket;
            bucket = state->entries[index].next;
            state->entries[index].next = state->free_head;
            state->free_head = index;
        }
    }
    level.count = 0;
}

}  // namespace

bool fvcrash_dwarf_cfa_state_push(fvcrash_dwarf_cfa_state* state) {
    if (state->current + 1 >= FVCRASH_DWARF_LEVEL_COUNT) return false;
    const uint8_t from = state->current;
    ++state->current;
    emptyLevel(&state->levels[state->current]);
    state->levels[state->current].cfa = state->levels[from].cfa;
    const auto& source = state->levels[from];
    for (uint8_t bucket : source.buckets) {
        for (uint8_t i = bucket; i != FVCRASH_DWARF_NO_ENTRY; i = state->entries[i].next) {
            const auto entry = state->entries[i];
            if (!fvcrash_dwarf_cfa_state_set_rule(state, entry.reg, entry.kind, entry.value)) {
                clearLevel(state);
                --state->current;
                return false;
            }
        }
    }
    return true;
}

bool fvcrash_dwarf_cfa_state_pop(fvcrash_dwarf_cfa_state* state) {
    if (state->current == 0) return false;
    clearLevel(state);
    --state->current;
    return true;
}

fvcrash_status fvcrash_dwarf_run_cfa_program(fvcrash_dwarf_cfa_state* state,
                                             const fvcrash_task_mapping* mapping, uint64_t pc,
                                             uint64_t location, const fvcrash_dwarf_cie_info* cie,
                                             const fvcrash_dwarf_pointer_context* context,
                                             const fvcrash_byte_order* order,
                                             uint64_t section_address, uint64_t instructions_offset,
                                             uint64_t length, bool gnu) {
    // The rules in force before the program: what restore brings back.
    struct {
        fvcrash_dwarf_cfa_state::entry entries[FVCRASH_DWARF_RULE_COUNT];
        int count;
    } initial;
    initial.count = 0;
    if (!eachRule(state, [&](const fvcrash_dwarf_cfa_state::entry& e) {
            if (initial.count == FVCRASH_DWARF_RULE_COUNT) return false;
            initial.entries[initial.count++] = e;
            return true;
        })) {
        return FVCRASH_ENOMEM;
    }
    if (length > static_cast<uint64_t>(INT64_MAX)) return FVCRASH_EINVAL;
    fvcrash_dwarf_opstream in;
    FV_TRY(fvcrash_dwarf_opstream_init(&in, mapping, order, section_address,
                                       static_cast<int64_t>(instructions_offset),
                                       static_cast<int64_t>(length)));
    int64_t codeAlignment;
    if (!asSigned(cie->code_alignment, &codeAlignment)) return FVCRASH_EINVAL;
    const int64_t dataAlignment = cie->data_alignment;

    auto readReg = [&](uint32_t* reg) -> fvcrash_status {
        uint64_t value;
        FV_TRY(fvcrash_dwarf_opstream_read_uleb(&in, &value));
        if (value > 0xFFFFFFFFull) return FVCRASH_ENOTSUP;
        *reg = static_cast<uint32_t>(value);
        return FVCRASH_ESUCCESS;
    };
    auto advance = [&](uint64_t delta) -> fvcrash_status {
        uint64_t step;
        if (__builtin_mul_overflow(delta, cie->code_alignment, &step) ||
            __builtin_add_overflow(location, step, &location)) {
            return FVCRASH_EINVAL;
        }
        return FVCRASH_ESUCCESS;
    };
    auto unsignedFactored = [&](int64_t* out) -> fvcrash_status {
        uint64_t raw;
        FV_TRY(fvcrash_dwarf_opstream_read_uleb(&in, &raw));
        int64_t value;
        if (!asSigned(raw, &value) || !scaled(value, dataAlignment, out)) return FVCRASH_EINVAL;
        return FVCRASH_ESUCCESS;
    };
    auto signedFactored = [&](int64_t* out) -> fvcrash_status {
        int64_t raw;
        FV_TRY(fvcrash_dwarf_opstream_read_sleb(&in, &raw));
        if (!scaled(raw, dataAlignment, out)) return FVCRASH_EINVAL;
        return FVCRASH_ESUCCESS;
    };
    auto setRule = [&](uint32_t reg, uint8_t kind, int64_t value) -> fvcrash_status {
        return fvcrash_dwarf_cfa_state_set_rule(state, reg, kind, value) ? FVCRASH_ESUCCESS
                                                                         : FVCRASH_ENOMEM;
    };
    auto restore = [&](uint32_t reg) -> fvcrash_status {
        for (int i = 0; i < initial.count; ++i) {
            if (initial.entries[i].reg == reg) {
                return setRule(reg, initial.entries[i].kind, initial.entries[i].value);
            }
        }
        fvcrash_dwarf_cfa_state_remove_rule(state, reg);
        return FVCRASH_ESUCCESS;
    };
    auto isRegisterCfa = [&]() {
        const uint8_t kind = fvcrash_dwarf_cfa_state_get_cfa(state).kind;
        return kind == FVCRASH_DWARF_CFA_REG_OFFSET || kind == FVCRASH_DWARF_CFA_REG_SOFFSET;
    };
    (void)codeAlignment;

    while (true) {
        if (pc != 0 && location > pc) return FVCRASH_ESUCCESS;
        if (fvcrash_dwarf_opstream_at_end(&in)) return FVCRASH_ESUCCESS;
        uint8_t op;
        FV_TRY(fvcrash_dwarf_opstream_read_u8(&in, &op));
        const uint8_t low = op & 0x3F;
        switch (op & 0xC0) {
            case 0x40:
                FV_TRY(advance(low));
                continue;
            case 0x80: {
                int64_t offset;
                FV_TRY(unsignedFactored(&offset));
                FV_TRY(setRule(low, FVCRASH_DWARF_RULE_OFFSET, offset));
                continue;
            }
            case 0xC0:
                FV_TRY(restore(low));
                continue;
            default:
                break;
        }
        uint32_t reg, other;
        uint64_t value;
        int64_t offset;
        switch (op) {
            case 0x00:
                break;
            case 0x01: {
                if (cie->segment_size != 0) return FVCRASH_ENOTSUP;
                const uint8_t encoding = cie->has_pointer_encoding ? cie->pointer_encoding : 0;
                uint64_t used;
                FV_TRY(fvcrash_dwarf_read_pointer(context, mapping, in.position, 0, encoding,
                                                  &location, &used));
                if (used > in.end - in.position) return FVCRASH_EINVAL;
                in.position += used;
                break;
            }
            case 0x02:
            case 0x03:
            case 0x04:
                FV_TRY(fvcrash_dwarf_opstream_read_uint(&in,
                                                        op == 0x02   ? 1
                                                        : op == 0x03 ? 2
                                                                     : 4,
                                                        &value));
                FV_TRY(advance(value));
                break;
            case 0x05:
                FV_TRY(readReg(&reg));
                FV_TRY(unsignedFactored(&offset));
                FV_TRY(setRule(reg, FVCRASH_DWARF_RULE_OFFSET, offset));
                break;
            case 0x06:
                FV_TRY(readReg(&reg));
                FV_TRY(restore(reg));
                break;
            case 0x07:
                FV_TRY(readReg(&reg));
                fvcrash_dwarf_cfa_state_remove_rule(state, reg);
                break;
            case 0x08:
                FV_TRY(readReg(&reg));
                FV_TRY(setRule(reg, FVCRASH_DWARF_RULE_SAME_VALUE, 0));
                break;
            case 0x09:
                FV_TRY(readReg(&reg));
                FV_TRY(readReg(&other));
                FV_TRY(setRule(reg, FVCRASH_DWARF_RULE_REGISTER, other));
                break;
            case 0x0A:
                if (!fvcrash_dwarf_cfa_state_push(state)) return FVCRASH_ENOMEM;
                break;
            case 0x0B:
                if (!fvcrash_dwarf_cfa_state_pop(state)) return FVCRASH_EINVAL;
                break;
            case 0x0C:
                FV_TRY(readReg(&reg));
                FV_TRY(fvcrash_dwarf_opstream_read_uleb(&in, &value));
                fvcrash_dwarf_cfa_state_set_cfa(
                    state, {FVCRASH_DWARF_CFA_REG_OFFSET, reg, static_cast<int64_t>(value), 0});
                break;
            case 0x0D: {
                FV_TRY(readReg(&reg));
                if (!isRegisterCfa()) return FVCRASH_EINVAL;
                fvcrash_dwarf_cfa_rule rule = fvcrash_dwarf_cfa_state_get_cfa(state);
                rule.reg = reg;
                fvcrash_dwarf_cfa_state_set_cfa(state, rule);
                break;
            }
            case 0x0E: {
                FV_TRY(fvcrash_dwarf_opstream_read_uleb(&in, &value));
                if (!isRegisterCfa()) return FVCRASH_EINVAL;
                fvcrash_dwarf_cfa_rule rule = fvcrash_dwarf_cfa_state_get_cfa(state);
                rule.kind = FVCRASH_DWARF_CFA_REG_OFFSET;
                rule.offset = static_cast<int64_t>(value);
                fvcrash_dwarf_cfa_state_set_cfa(state, rule);
                break;
            }
            case 0x0F: {
                FV_TRY(fvcrash_dwarf_opstream_read_uleb(&in, &value));
                if (value > in.end - in.position) return FVCRASH_EINVAL;
                fvcrash_dwarf_cfa_state_set_cfa(state, {FVCRASH_DWARF_CFA_EXPRESSION, 0,
                                                        static_cast<int64_t>(in.position), value});
                in.position += value;
                break;
            }
            case 0x10:
            case 0x16: {
                FV_TRY(readReg(&reg));
                const uint64_t at = in.position;
                FV_TRY(fvcrash_dwarf_opstream_read_uleb(&in, &value));
                if (value > in.end - in.position) return FVCRASH_EINVAL;
                in.position += value;
                FV_TRY(setRule(
                    reg,
                    op == 0x10 ? FVCRASH_DWARF_RULE_EXPRESSION : FVCRASH_DWARF_RULE_VAL_EXPRESSION,
                    static_cast<int64_t>(at)));
                break;
            }
            case 0x11:
                FV_TRY(readReg(&reg));
                FV_TRY(signedFactored(&offset));
                FV_TRY(setRule(reg, FVCRASH_DWARF_RULE_OFFSET, offset));
                break;
            case 0x12:
                FV_TRY(readReg(&reg));
                FV_TRY(signedFactored(&offset));
                fvcrash_dwarf_cfa_state_set_cfa(state,
                                                {FVCRASH_DWARF_CFA_REG_SOFFSET, reg, offset, 0});
                break;
            case 0x13: {
                FV_TRY(signedFactored(&offset));
                if (!isRegisterCfa()) return FVCRASH_EINVAL;
                fvcrash_dwarf_cfa_rule rule = fvcrash_dwarf_cfa_state_get_cfa(state);
                rule.kind = FVCRASH_DWARF_CFA_REG_SOFFSET;
                rule.offset = offset;
                fvcrash_dwarf_cfa_state_set_cfa(state, rule);
                break;
            }
            case 0x14:
                FV_TRY(readReg(&reg));
                FV_TRY(unsignedFactored(&offset));
                FV_TRY(setRule(reg, FVCRASH_DWARF_RULE_VAL_OFFSET, offset));
                break;
            case 0x15:
                FV_TRY(readReg(&reg));
                FV_TRY(signedFactored(&offset));
                FV_TRY(setRule(reg, FVCRASH_DWARF_RULE_VAL_OFFSET, offset));
                break;
            case 0x2E:  // DW_CFA_GNU_args_size: the outgoing argument area, no rule
                if (!gnu) return FVCRASH_ENOTSUP;
                FV_TRY(fvcrash_dwarf_opstream_read_uleb(&in, &value));
                break;
            default:
                return FVCRASH_ENOTSUP;
        }
    }
}

namespace {

template <typename Word>
fvcrash_status evaluateAt(const fvcrash_task_mapping* mapping, fvcrash_task task,
                          const fvcrash_thread_state* current, const fvcrash_byte_order* order,
                          uint64_t address, uint64_t length, const Word* initial, size_t count,
                          Word* result) {
    return fvcrash_dwarf_eval_expression<Word>(mapping, task, current, order, address, 0, length,
                                               initial, count, result);
}

/// Which register a DWARF number names: for the CFA rule, the return
/// address column or the n-th register rule.
constexpr int kCfaColumn = -1;
constexpr int kReturnColumn = -2;

/// Applies a CFA rule and register rules; `each` hands every register rule
/// and its index to a visitor, in the table's order, and stops when it
/// returns false. `resolve(which, number, &reg)` maps DWARF numbers to
/// registers as fvcrash_thread_state_reg_from_dwarf does for `current`.
template <typename Word, typename Each, typename Resolve>
fvcrash_status applyRulesWith(const fvcrash_dwarf_cfa_rule& rule, uint64_t returnAddressRegister,
                              bool signalFrame, Each each, Resolve resolve, fvcrash_task task,
                              const fvcrash_task_mapping* mapping,
                              const fvcrash_thread_state* current, const fvcrash_byte_order* order,
                              fvcrash_unwind_cache* cache, fvcrash_thread_state* caller) {
    constexpr uint64_t kWord = sizeof(Word);
    fvcrash_thread_state_copy(caller, current);
    fvcrash_thread_state_invalidate_volatile(caller);
    caller->frame_flags = signalFrame ? 0 : FVCRASH_FRAME_RETURN_ADDRESS;

    Word cfa;
    switch (rule.kind) {
        case FVCRASH_DWARF_CFA_REG_OFFSET:
        case FVCRASH_DWARF_CFA_REG_SOFFSET: {
            int reg;
            if (!resolve(kCfaColumn, rule.reg, &reg)) {
                return FVCRASH_ENOTSUP;
            }
            if (!fvcrash_thread_state_is_valid_reg(current, reg)) return FVCRASH_ENOTFOUND;
            cfa = static_cast<Word>(fvcrash_thread_state_read_reg(current, reg) +
                                    static_cast<uint64_t>(rule.offset));
            break;
        }
        case FVCRASH_DWARF_CFA_EXPRESSION:
            FV_TRY(evaluateAt<Word>(mapping, task, current, order,
                                    static_cast<uint64_t>(rule.offset), rule.length, nullptr, 0,
                                    &cfa));
            break;
        default:
            return FVCRASH_EINVAL;
    }
    fvcrash_thread_state_write_reg(caller, FVCRASH_REG_SP, cfa);

    int raTarget = -1;
    const bool raMapped = resolve(kReturnColumn, returnAddressRegister, &raTarget);
    fvcrash_status failure = FVCRASH_ESUCCESS;
    each([&](const fvcrash_dwarf_cfa_state::entry& e, int index) {
        int target;
        if (!resolve(index, e.reg, &target)) {
            if (e.reg != returnAddressRegister) {
                failure = FVCRASH_EINVAL;
                return false;
            }
            target = FVCRASH_REG_IP;
        }
        uint64_t value = 0;
        fvcrash_status status = FVCRASH_ESUCCESS;
        switch (e.kind) {
            case FVCRASH_DWARF_RULE_OFFSET:
                status = fvcrash_unwind_read_word(
                    cache, task, static_cast<Word>(cfa + static_cast<Word>(e.value)), 0, kWord,
                    &value);
                break;
            case FVCRASH_DWARF_RULE_VAL_OFFSET:
                value = static_cast<Word>(cfa + static_cast<Word>(e.value));
                break;
            case FVCRASH_DWARF_RULE_REGISTER: {
                int source;
                if (!fvcrash_thread_state_reg_from_dwarf(current, static_cast<uint64_t>(e.value),
                                                         &source)) {
                    status = FVCRASH_EINVAL;
                } else if (!fvcrash_thread_state_is_valid_reg(current, source)) {
                    status = FVCRASH_ENOTFOUND;
                } else {
                    value = fvcrash_thread_state_read_reg(current, source);
                }
                break;
            }
            case FVCRASH_DWARF_RULE_SAME_VALUE:
                if (!fvcrash_thread_state_is_valid_reg(current, target)) {
                    status = FVCRASH_ENOTFOUND;
                } else {
                    value = fvcrash_thread_state_read_reg(current, target);
                }
                break;
            case FVCRASH_DWARF_RULE_EXPRESSION:
            case FVCRASH_DWARF_RULE_VAL_EXPRESSION: {
                // The expression as the program found it, inside the section.
                const uint64_t at = static_cast<uint64_t>(e.value);
                uint64_t length, used;
                status = fvcrash_dwarf_read_uleb128(mapping, at, 0, &length, &used);
                if (status != FVCRASH_ESUCCESS) break;
                Word result;
                status = evaluateAt<Word>(mapping, task, current, order, at + used, length, &cfa, 1,
                                          &result);
                if (status != FVCRASH_ESUCCESS) break;
                if (e.kind == FVCRASH_DWARF_RULE_EXPRESSION) {
                    status = fvcrash_unwind_read_word(cache, task, result, 0, kWord, &value);
                } else {
                    value = result;
                }
                break;
            }
            default:
                status = FVCRASH_EINVAL;
        }
        if (status != FVCRASH_ESUCCESS) {
            failure = status;
            return false;
        }
        fvcrash_thread_state_write_reg(caller, target, value);
        if (e.reg == returnAddressRegister && raMapped && raTarget != FVCRASH_REG_IP) {
            fvcrash_thread_state_write_reg(caller, FVCRASH_REG_IP, value);
        }
        return true;
    });
    if (failure != FVCRASH_ESUCCESS) return failure;
    if (!fvcrash_thread_state_is_valid_reg(caller, FVCRASH_REG_IP)) {
        if (!raMapped || !fvcrash_thread_state_is_valid_reg(current, raTarget)) {
            return FVCRASH_EINVAL;
        }
        fvcrash_thread_state_write_reg(caller, FVCRASH_REG_IP,
                                       fvcrash_thread_state_read_reg(current, raTarget));
    }
    return FVCRASH_ESUCCESS;
}

template <typename Word>
fvcrash_status applyRules(const fvcrash_dwarf_cfa_state* state, fvcrash_task task,
                          const fvcrash_task_mapping* mapping, const fvcrash_dwarf_cie_info* cie,
                          const fvcrash_thread_state* current, const fvcrash_byte_order* order,
                          fvcrash_unwind_cache* cache, fvcrash_thread_state* caller) {
    return applyRulesWith<Word>(
        fvcrash_dwarf_cfa_state_get_cfa(state), cie->return_address_register, cie->signal_frame,
        [state](auto visit) {
            return eachRule(state,
                            [&](const fvcrash_dwarf_cfa_state::entry& e) { return visit(e, 0); });
        },
        [current](int, uint64_t number, int* reg) {
            return fvcrash_thread_state_reg_from_dwarf(current, number, reg);
        },
        task, mapping, current, order, cache, caller);
}

}  // namespace

fvcrash_status fvcrash_dwarf_apply_cfa_state(
    const fvcrash_dwarf_cfa_state* state, fvcrash_task task, const fvcrash_task_mapping* mapping,
    const fvcrash_dwarf_cie_info* cie, const fvcrash_thread_state* current,
    const fvcrash_byte_order* order, fvcrash_unwind_cache* cache, fvcrash_thread_state* caller) {
    if (fvcrash_thread_state_word_size(current) == 4) {
        return applyRules<uint32_t>(state, task, mapping, cie, current, order, cache, caller);
    }
    return applyRules<uint64_t>(state, task, mapping, cie, current, order, cache, caller);
}

// The reader.

namespace {

/// How much of an ".eh_frame" section is checked when its window is made
/// (where most of a section's CIEs are).
constexpr uint64_t kSectionStep = 16 * 1024;
/// Bytes checked from an entry's start before its length is known: most
/// entries are shorter, so one probe takes the entry's page and, when it runs
/// on, the next.
constexpr uint64_t kEntryGuess = 256;
constexpr uint64_t kPage = 4096;

uint64_t pageUp(uint64_t address) {
    return address > ~uint64_t{0} - (kPage - 1) ? ~uint64_t{0} & ~(kPage - 1)
                                                : (address + kPage - 1) & ~(kPage - 1);
}

/// The window onto the section: its whole extent up to the limit, read only
/// where page groups were checked.
void spanSection(fvcrash_unwind_window* window, fvcrash_task task, uint64_t start) {
    fvcrash_task_mapping* mapping = &window->mapping;
    fvcrash_task_mapping_set_checked(mapping, task, start, window->limit);
    const uint64_t pages = mapping->mapped_length / kPage;
    uint8_t shift = 0;
    while (((pages + (uint64_t{1} << shift) - 1) >> shift) >
           uint64_t{FVCRASH_UNWIND_WINDOW_GROUP_WORDS} * 64) {
        ++shift;
    }
    fvcrash_memset(window->groups, 0, sizeof window->groups);
    mapping->checked_groups = window->groups;
    mapping->checked_group_count = (pages + (uint64_t{1} << shift) - 1) >> shift;
    mapping->checked_group_shift = shift;
}

/// Marks the groups from the one at `from` on that end by `readableEnd` (a
/// page boundary up to which pages were just found readable).
void markChecked(fvcrash_unwind_window* window, uint64_t from, uint64_t readableEnd) {
    const fvcrash_task_mapping* mapping = &window->mapping;
    const uint64_t groupBytes = kPage << mapping->checked_group_shift;
    const uint64_t spanEnd = mapping->mapped_base + mapping->mapped_length;
    for (uint64_t group = (from - mapping->mapped_base) / groupBytes;
         group < mapping->checked_group_count; ++group) {
        const uint64_t groupEnd = mapping->mapped_base + (group + 1) * groupBytes;
        if ((groupEnd < spanEnd ? groupEnd : spanEnd) > readableEnd) break;
        window->groups[group / 64] |= uint64_t{1} << (group % 64);
    }
}

bool groupChecked(const fvcrash_unwind_window* window, uint64_t group) {
    return ((window->groups[group / 64] >> (group % 64)) & 1) != 0;
}

/// Checks the groups of [start, end) (cut to the window) not checked yet, in
/// one probe. True when the whole range can then be read.
bool coverRange(fvcrash_unwind_window* window, uint64_t start, uint64_t end) {
    fvcrash_task_mapping* mapping = &window->mapping;
    const uint64_t windowEnd = mapping->task_address + mapping->length;
    if (start < mapping->task_address || start >= windowEnd) return false;
    if (end > windowEnd) end = windowEnd;
    if (end <= start) return true;
    const uint64_t groupBytes = kPage << mapping->checked_group_shift;
    uint64_t first = (start - mapping->mapped_base) / groupBytes;
    uint64_t last = (end - 1 - mapping->mapped_base) / groupBytes;
    while (first <= last && groupChecked(window, first)) ++first;
    while (last > first && groupChecked(window, last)) --last;
    if (first <= last) {
        const uint64_t probeStart = mapping->mapped_base + first * groupBytes;
        const uint64_t spanEnd = mapping->mapped_base + mapping->mapped_length;
        uint64_t probeEnd = mapping->mapped_base + (last + 1) * groupBytes;
        if (probeEnd > spanEnd) probeEnd = spanEnd;
        const uint64_t got =
            fvcrash_readable_prefix_as(window->self, probeStart, probeEnd - probeStart);
        markChecked(window, probeStart, probeStart + got);
    }
    return fvcrash_task_mapping_contains(mapping, start, 0, end - start);
}

/// Checks the whole section, for a search that walks it from the start; an
/// unreadable page ends the window there.
void coverAll(fvcrash_unwind_window* window) {
    fvcrash_task_mapping* mapping = &window->mapping;
    if (!coverRange(window, mapping->task_address, mapping->task_address + mapping->length)) {
        mapping->length = fvcrash_task_mapping_run(mapping, mapping->task_address);
    }
}

/// Checks the entry (CIE or FDE) whose length field is at `address`.
bool coverEntry(fvcrash_unwind_window* window, uint64_t address) {
    uint64_t guess;
    if (__builtin_add_overflow(address, kEntryGuess, &guess)) guess = ~uint64_t{0};
    coverRange(window, address, guess);
    uint64_t length, header, idSize, end;
    if (readEntryHeader(&window->mapping, &fvcrash_byte_order_direct, address, &length, &header,
                        &idSize) != FVCRASH_ESUCCESS ||
        __builtin_add_overflow(address, header, &end) ||
        __builtin_add_overflow(end, length, &end)) {
        return false;
    }
    return coverRange(window, address, end);
}

/// Checks an ".eh_frame" FDE and the CIE it names.
void coverFde(fvcrash_unwind_window* window, uint64_t fde) {
    if (!coverEntry(window, fde)) return;
    uint64_t length, header, idSize, pointer;
    if (readEntryHeader(&window->mapping, &fvcrash_byte_order_direct, fde, &length, &header,
                        &idSize) != FVCRASH_ESUCCESS ||
        fvcrash_dwarf_read_uint(&window->mapping, &fvcrash_byte_order_direct, fde,
                                static_cast<int64_t>(header), idSize,
                                &pointer) != FVCRASH_ESUCCESS) {
        return;
    }
    const uint64_t field = fde + header;
    if (pointer == 0 || pointer > field - window->mapping.task_address) return;
    coverEntry(window, field - pointer);
}

/// Makes the window onto the image's call-frame section. `stack` (a page,
/// 0 for none) asks for the walk's first stack window in the same probe.
void openWindow(const fvcrash_image* image, fvcrash_unwind_window* window,
                fvcrash_unwind_cache* cache, uint64_t stack) {
    window->status = FVCRASH_ENOTFOUND;
    if (image->kind == FVCRASH_IMAGE_MACHO) {
        const fvcrash_macho_image* macho = &image->macho;
        if (fvcrash_macho_map_section(macho, "__TEXT", "__eh_frame", &window->mapping) ==
            FVCRASH_ESUCCESS) {
            window->status = FVCRASH_ESUCCESS;
        } else if (fvcrash_macho_map_section(macho, "__DWARF", "__debug_frame", &window->mapping) ==
                   FVCRASH_ESUCCESS) {
            window->debug_frame = true;
            window->status = FVCRASH_ESUCCESS;
        }
        return;
    }
    const fvcrash_elf_image* elf = &image->elf;
    const uint64_t hdr = elf->eh_frame_hdr;
    const uint64_t hdrSize = elf->eh_frame_hdr_size;
    if (hdr == 0 || hdrSize < 8 || hdrSize > FVCRASH_TASK_MAPPING_MAX) return;
    // One probe covers the table and, where linkers put the section (right
    // after it), the section's first pages.
    const uint64_t probe = hdrSize + kSectionStep;
    uint64_t probeEnd;
    if (__builtin_add_overflow(hdr, probe, &probeEnd)) return;
    uint64_t readable = 0, stackReadable = 0;
    if (stack != 0 &&
        fvcrash_readable_prefixes_as(window->self, hdr, probe, stack, FVCRASH_UNWIND_MEMORY_SPAN,
                                     &readable, &stackReadable)) {
        fvcrash_unwind_cache_keep_memory(cache, elf->task, stack, stackReadable);
    } else if (stack == 0) {
        readable = fvcrash_readable_prefix_as(window->self, hdr, probe);
    }
    if (readable < hdrSize) return;
    fvcrash_task_mapping_set_checked(&window->hdr, elf->task, hdr, hdrSize);
    uint64_t ehFrame;
    if (fvcrash_dwarf_hdr_eh_frame(&window->hdr, &ehFrame) != FVCRASH_ESUCCESS) return;
    // The section ends inside the image.
    const uint64_t imageEnd = elf->header_addr + elf->size;
    if (ehFrame < elf->header_addr || ehFrame >= imageEnd) return;
    window->limit = imageEnd - ehFrame < FVCRASH_TASK_MAPPING_MAX ? imageEnd - ehFrame
                                                                  : FVCRASH_TASK_MAPPING_MAX;
    spanSection(window, elf->task, ehFrame);
    const uint64_t sectionPage = ehFrame & ~(kPage - 1);
    if (ehFrame >= hdr && ehFrame < hdr + readable) {
        markChecked(window, sectionPage, pageUp(hdr + readable));
    } else {
        const uint64_t first = window->limit < kSectionStep ? window->limit : kSectionStep;
        const uint64_t got = fvcrash_readable_prefix_as(window->self, ehFrame, first);
        if (got == 0) return;
        markChecked(window, sectionPage, pageUp(ehFrame + got));
    }
    window->has_hdr = true;
    window->status = FVCRASH_ESUCCESS;
}

/// Keeps the rules the programs left for pc when they apply without section
/// bytes.
void keepFrame(fvcrash_unwind_frame* slot, const fvcrash_image* image, uint64_t pc,
               const fvcrash_dwarf_cfa_state* rules, const fvcrash_dwarf_cie_info* cie,
               const fvcrash_thread_state* current) {
    const fvcrash_dwarf_cfa_rule cfa = fvcrash_dwarf_cfa_state_get_cfa(rules);
    if (cfa.kind != FVCRASH_DWARF_CFA_REG_OFFSET && cfa.kind != FVCRASH_DWARF_CFA_REG_SOFFSET) {
        return;
    }
    slot->image = nullptr;
    uint8_t count = 0;
    const bool kept = eachRule(rules, [&](const fvcrash_dwarf_cfa_state::entry& e) {
        if (count == FVCRASH_UNWIND_FRAME_RULES || e.kind == FVCRASH_DWARF_RULE_EXPRESSION ||
            e.kind == FVCRASH_DWARF_RULE_VAL_EXPRESSION) {
            return false;
        }
        int target;
        const bool mapped = fvcrash_thread_state_reg_from_dwarf(current, e.reg, &target);
        slot->rules[count++] = {e.value, e.reg, e.kind, static_cast<int8_t>(mapped ? target : -1)};
        return true;
    });
    if (!kept) return;
    // The registers the numbers name, for states of this word size.
    int target;
    slot->cfa_target = static_cast<int8_t>(
        fvcrash_thread_state_reg_from_dwarf(current, cfa.reg, &target) ? target : -1);
    slot->return_target = static_cast<int8_t>(
        fvcrash_thread_state_reg_from_dwarf(current, cie->return_address_register, &target) ? target
                                                                                            : -1);
    slot->target_word_size = static_cast<uint8_t>(fvcrash_thread_state_word_size(current));
    slot->header_addr = fvcrash_image_header_address(image);
    slot->pc = pc;
    slot->return_address_register = cie->return_address_register;
    slot->cfa_offset = cfa.offset;
    slot->cfa_reg = cfa.reg;
    slot->cfa_kind = cfa.kind;
    slot->signal_frame = cie->signal_frame;
    slot->count = count;
    slot->image = image;
}

/// Applies kept rules as the programs' own would be, in the order the table
/// held them.
template <typename Word>
fvcrash_status applyKeptAs(const fvcrash_unwind_frame* slot, fvcrash_task task,
                           const fvcrash_thread_state* current, fvcrash_thread_state* caller,
                           fvcrash_unwind_cache* cache) {
    // No rule reads the section: an empty window stands in for it.
    fvcrash_task_mapping none;
    fvcrash_memset(&none, 0, sizeof none);
    const fvcrash_dwarf_cfa_rule cfa = {slot->cfa_kind, slot->cfa_reg, slot->cfa_offset, 0};
    return applyRulesWith<Word>(
        cfa, slot->return_address_register, slot->signal_frame,
        [slot](auto visit) {
            for (uint8_t i = 0; i < slot->count; ++i) {
                const fvcrash_dwarf_cfa_state::entry e = {slot->rules[i].value, slot->rules[i].reg,
                                                          slot->rules[i].kind,
                                                          FVCRASH_DWARF_NO_ENTRY};
                if (!visit(e, i)) return false;
            }
            return true;
        },
        [slot, current](int which, uint64_t number, int* reg) {
            if (slot->target_word_size != fvcrash_thread_state_word_size(current)) {
                return fvcrash_thread_state_reg_from_dwarf(current, number, reg);
            }
            const int8_t target = which == kCfaColumn      ? slot->cfa_target
                                  : which == kReturnColumn ? slot->return_target
                                                           : slot->rules[which].target;
            *reg = target;
            return target >= 0;
        },
        task, &none, current, &fvcrash_byte_order_direct, cache, caller);
}

fvcrash_stack_status applyKept(const fvcrash_unwind_frame* slot, fvcrash_task task,
                               const fvcrash_thread_state* current, fvcrash_thread_state* caller,
                               fvcrash_unwind_cache* cache) {
    const fvcrash_status status = fvcrash_thread_state_word_size(current) == 4
                                      ? applyKeptAs<uint32_t>(slot, task, current, caller, cache)
                                      : applyKeptAs<uint64_t>(slot, task, current, caller, cache);
    return status == FVCRASH_ESUCCESS ? FVCRASH_STACK_OK : FVCRASH_STACK_ENOFRAME;
}

}  // namespace

fvcrash_stack_status fvcrash_stack_read_dwarf_in(fvcrash_task task, const fvcrash_image* image,
                                                 const fvcrash_thread_state* current, uint64_t pc,
                                                 fvcrash_thread_state* caller,
                                                 fvcrash_unwind_cache* cache) {
    fvcrash_unwind_frame* kept = fvcrash_unwind_cache_frame_slot(cache, pc);
    if (kept && kept->image == image && kept->pc == pc &&
        kept->header_addr == fvcrash_image_header_address(image)) {
        return applyKept(kept, task, current, caller, cache);
    }
    fvcrash_unwind_window local;
    fvcrash_unwind_window* window =
        fvcrash_unwind_cache_window(cache, image, FVCRASH_UNWIND_WINDOW_DWARF);
    if (!window) {
        window = fvcrash_unwind_cache_store(cache, image, FVCRASH_UNWIND_WINDOW_DWARF);
        if (!window) {
            fvcrash_memset(&local, 0, sizeof local);
            local.self = fvcrash_own_pid();
            window = &local;
        }
        // The walk's first window also takes the stack's first pages.
        uint64_t stack = 0;
        if (fvcrash_unwind_cache_wants_stack(cache) &&
            fvcrash_thread_state_is_valid_reg(current, FVCRASH_REG_SP)) {
            stack = fvcrash_thread_state_read_reg(current, FVCRASH_REG_SP) & ~(kPage - 1);
        }
        openWindow(image, window, cache, stack);
    }
    if (window->status != FVCRASH_ESUCCESS) return FVCRASH_STACK_ENOFRAME;

    // ELF: the table names the FDE, whose CIE lies before it in the section;
    // the pages of both are checked.
    uint64_t fdeAddress = 0;
    fvcrash_status status = FVCRASH_ENOTSUP;
    if (window->has_hdr) {
        status = fvcrash_dwarf_hdr_search(&window->hdr, pc, &fdeAddress);
        if (status == FVCRASH_ESUCCESS) coverFde(window, fdeAddress);
        if (status == FVCRASH_ENOTSUP) coverAll(window);
    }

    const bool elf = image->kind == FVCRASH_IMAGE_ELF;
    const bool m64 = elf || image->macho.m64;
    const fvcrash_byte_order* order = elf ? &fvcrash_byte_order_direct : image->macho.byteorder;
    fvcrash_dwarf_frame_reader reader;
    fvcrash_dwarf_frame_reader_init(&reader, &window->mapping, order, m64, window->debug_frame);
    reader.gnu = elf;
    fvcrash_dwarf_pointer_context context;
    fvcrash_dwarf_pointer_context_init(&context, order, m64 ? 8 : 4);
    if (elf) fvcrash_dwarf_pointer_context_set_data_base(&context, window->hdr.task_address);
    context.cache = cache;
    context.personality_slot = true;

    fvcrash_dwarf_fde_info fde;
    fvcrash_dwarf_cie_info cie;
    if (status == FVCRASH_ESUCCESS) {
        status = fvcrash_dwarf_parse_fde(&fde, &cie, &reader.mapping, order, &context, fdeAddress,
                                         false);
        if (status == FVCRASH_ESUCCESS && !(fde.pc_start <= pc && pc < fde.pc_end)) {
            status = FVCRASH_ENOTFOUND;
        }
    }
    if (status == FVCRASH_ENOTSUP) {
        status = fvcrash_dwarf_find_fde(&reader, &context, 0, pc, &fde, &cie);
    }
    if (status != FVCRASH_ESUCCESS) return FVCRASH_STACK_ENOTSUP;

    fvcrash_dwarf_cfa_state rules;
    fvcrash_dwarf_cfa_state_init(&rules);
    const uint64_t section = window->mapping.task_address;
    if (fvcrash_dwarf_run_cfa_program(&rules, &reader.mapping, pc, fde.pc_start, &cie, &context,
                                      order, section, cie.instructions_offset,
                                      cie.instructions_length, elf) != FVCRASH_ESUCCESS ||
        fvcrash_dwarf_run_cfa_program(&rules, &reader.mapping, pc, fde.pc_start, &cie, &context,
                                      order, section, fde.instructions_offset,
                                      fde.instructions_length, elf) != FVCRASH_ESUCCESS) {
        return FVCRASH_STACK_ENOTSUP;
    }
    if (kept) keepFrame(kept, image, pc, &rules, &cie, current);
    if (fvcrash_dwarf_apply_cfa_state(&rules, task, &reader.mapping, &cie, current, order, cache,
                                      caller) != FVCRASH_ESUCCESS) {
        return FVCRASH_STACK_ENOFRAME;
    }
    return FVCRASH_STACK_OK;
}

fvcrash_stack_status fvcrash_stack_read_dwarf_cached(fvcrash_task task, fvcrash_image_list* images,
                                                     const fvcrash_thread_state* current,
                                                     fvcrash_thread_state* caller,
                                                     fvcrash_unwind_cache* cache) {
    return fvcrash_stack_read_in_image(task, images, current, caller, cache,
                                       fvcrash_stack_read_dwarf_in);
}

fvcrash_stack_status fvcrash_stack_read_dwarf(fvcrash_task task, fvcrash_image_list* images,
                                              const fvcrash_thread_state* current,
                                              const fvcrash_thread_state* previous,
                                              fvcrash_thread_state* caller) {
    (void)previous;
    return fvcrash_stack_read_dwarf_cached(task, images, current, caller, nullptr);
}
