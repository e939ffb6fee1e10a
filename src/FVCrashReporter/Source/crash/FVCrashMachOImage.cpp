#include "FVCrashReporter/Source/crash/FVCrashMachOImage.h"

namespace {

constexpr size_t kSegment32Size = 56;
constexpr size_t kSegment64Size = 72;
constexpr size_t kSection32Size = 68;
constexpr size_t kSection64Size = 80;
constexpr size_t kSymtabCommandSize = 24;
constexpr size_t kDysymtabHeadSize = 24;  // up to nextdefsym
constexpr size_t kUUIDCommandSize = 24;

// A segment command's fields in host order.
struct SegmentInfo {
    const uint8_t* command;
    uint32_t cmdsize;
    uint64_t vmaddr, vmsize, fileoff, filesize;
    uint32_t nsects;
};

uint32_t u32(const fvcrash_macho_image* image, const void* p) {
    uint32_t v;
    fvcrash_memcpy(&v, p, sizeof v);
    return image->byteorder->swap32(v);
}

uint64_t u64(const fvcrash_macho_image* image, const void* p) {
    uint64_t v;
    fvcrash_memcpy(&v, p, sizeof v);
    return image->byteorder->swap64(v);
}

uint16_t u16(const fvcrash_macho_image* image, const void* p) {
    uint16_t v;
    fvcrash_memcpy(&v, p, sizeof v);
    return image->byteorder->swap16(v);
}

// The address of a window byte in the task.
uint64_t at(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// A field of a load command by its byte offset: commands may lie at any
// alignment, so their members are never accessed through the struct.
const void* fieldAt(const fvcrash_macho_load_command* cmd, size_t offset) {
    return reinterpret_cast<const uint8_t*>(cmd) + offset;
}

SegmentInfo segmentInfo(const fvcrash_macho_image* image, const fvcrash_macho_load_command* cmd) {
    const auto* c = reinterpret_cast<const uint8_t*>(cmd);
    SegmentInfo info{c, u32(image, fieldAt(cmd, 4)), 0, 0, 0, 0, 0};
    if (image->m64) {
        info.vmaddr = u64(image, c + 24);
        info.vmsize = u64(image, c + 32);
        info.fileoff = u64(image, c + 40);
        info.filesize = u64(image, c + 48);
        info.nsects = u32(image, c + 64);
    } else {
        info.vmaddr = u32(image, c + 24);
        info.vmsize = u32(image, c + 28);
        info.fileoff = u32(image, c + 32);
        info.filesize = u32(image, c + 36);
        info.nsects = u32(image, c + 48);
    }
    return info;
}

// The image's span: up to the end of its highest segment above the header,
// never more than the window maximum past the header.
uint64_t spanEnd(const fvcrash_macho_image* image) {
    const uint64_t cap = image->header_addr + FVCRASH_TASK_MAPPING_MAX;
    uint64_t end = image->header_addr + image->text_size;
    const uint32_t kind = image->m64 ? FVCRASH_LC_SEGMENT_64 : FVCRASH_LC_SEGMENT;
    for (auto* cmd = fvcrash_macho_next_command_of_type(image, nullptr, kind); cmd;
         cmd = fvcrash_macho_next_command_of_type(image, cmd, kind)) {
        if (u32(image, fieldAt(cmd, 4)) < (image->m64 ? kSegment64Size : kSegment32Size)) continue;
        SegmentInfo s = segmentInfo(image, cmd);
        uint64_t start = s.vmaddr + static_cast<uint64_t>(image->vmaddr_slide);
        if (start < image->header_addr || start >= cap) continue;
        uint64_t segmentEnd = s.vmsize > cap - start ? cap : start + s.vmsize;
        if (segmentEnd > end) end = segmentEnd;
    }
    return end < cap ? end : cap;
}

}  // namespace

fvcrash_status fvcrash_macho_image_parse(fvcrash_macho_image* image, fvcrash_task task,
                                         uint64_t header_addr) {
    fvcrash_memset(image, 0, sizeof *image);
    image->task = task;
    image->header_addr = header_addr;
    if (fvcrash_task_read(task, header_addr, 0, &image->header, sizeof image->header) !=
        FVCRASH_ESUCCESS)
        return FVCRASH_EINTERNAL;
    switch (image->header.magic) {
        case FVCRASH_MH_MAGIC:
            image->m64 = false;
            image->byteorder = &fvcrash_byte_order_direct;
            break;
        case FVCRASH_MH_MAGIC_64:
            image->m64 = true;
            image->byteorder = &fvcrash_byte_order_direct;
            break;
        case FVCRASH_MH_CIGAM:
            image->m64 = false;
            image->byteorder = &fvcrash_byte_order_swapped;
            break;
        case FVCRASH_MH_CIGAM_64:
            image->m64 = true;
            image->byteorder = &fvcrash_byte_order_swapped;
            break;
        default:
            return FVCRASH_EINVAL;
    }
    image->header_size = image->m64 ? 32 : 28;
    image->ncmds = image->byteorder->swap32(image->header.ncmds);
    const uint32_t sizeofcmds = image->byteorder->swap32(image->header.sizeofcmds);
    fvcrash_status status = fvcrash_task_mapping_init(
        &image->load_cmds, task, header_addr + image->header_size, sizeofcmds, true);
    if (status != FVCRASH_ESUCCESS) return status;

    const auto* text = fvcrash_macho_find_segment_cmd(image, "__TEXT");
    if (!text) {
        fvcrash_task_mapping_free(&image->load_cmds);
        return FVCRASH_EINVAL;
    }
    SegmentInfo info = segmentInfo(image, text);
    image->text_vmaddr = info.vmaddr;
    image->text_size = info.vmsize;
    image->vmaddr_slide = static_cast<int64_t>(header_addr - info.vmaddr);
    image->span_end = spanEnd(image);
    return FVCRASH_ESUCCESS;
}

const fvcrash_macho_load_command* fvcrash_macho_next_command(
    const fvcrash_macho_image* image, const fvcrash_macho_load_command* previous) {
    const fvcrash_task_mapping* m = &image->load_cmds;
    uint64_t next;
    if (!previous) {
        next = m->task_address;
    } else {
        const uint32_t size = u32(image, fieldAt(previous, 4));
        if (size < sizeof(fvcrash_macho_load_command)) return nullptr;
        next = at(previous) + size;
    }
    // Its head and its whole size must lie inside the commands; a size below
    // 8 would return the same command for ever.
    const void* head = fvcrash_task_mapping_pointer(m, next, 0, sizeof(fvcrash_macho_load_command));
    if (!head) return nullptr;
    const auto* cmd = static_cast<const fvcrash_macho_load_command*>(head);
    const uint32_t size = u32(image, fieldAt(cmd, 4));
    if (size < sizeof(fvcrash_macho_load_command)) return nullptr;
    if (!fvcrash_task_mapping_contains(m, next, 0, size)) return nullptr;
    return cmd;
}

const fvcrash_macho_load_command* fvcrash_macho_next_command_of_type(
    const fvcrash_macho_image* image, const fvcrash_macho_load_command* previous, uint32_t type) {
    for (auto* cmd = fvcrash_macho_next_command(image, previous); cmd;
         cmd = fvcrash_macho_next_command(image, cmd)) {
        if (u32(image, fieldAt(cmd, 0)) == type) return cmd;
    }
    return nullptr;
}

const fvcrash_macho_load_command* fvcrash_macho_find_command(const fvcrash_macho_image* image,
                                                             uint32_t type) {
    return fvcrash_macho_next_command_of_type(image, nullptr, type);
}

const fvcrash_macho_load_command* fvcrash_macho_find_segment_cmd(const fvcrash_macho_image* image,
                                                                 const char* segname) {
    const uint32_t kind = image->m64 ? FVCRASH_LC_SEGMENT_64 : FVCRASH_LC_SEGMENT;
    const size_t minimum = image->m64 ? kSegment64Size : kSegment32Size;
    for (auto* cmd = fvcrash_macho_next_command_of_type(image, nullptr, kind); cmd;
         cmd = fvcrash_macho_next_command_of_type(image, cmd, kind)) {
        if (u32(image, fieldAt(cmd, 4)) < minimum) continue;
        const char* name = reinterpret_cast<const char*>(cmd) + 8;
        if (fvcrash_strncmp(segname, name, 16) == 0) return cmd;
    }
    return nullptr;
}

fvcrash_status fvcrash_macho_map_segment(const fvcrash_macho_image* image, const char* segname,
                                         fvcrash_macho_segment* segment) {
    const auto* cmd = fvcrash_macho_find_segment_cmd(image, segname);
    if (!cmd) return FVCRASH_ENOTFOUND;
    SegmentInfo info = segmentInfo(image, cmd);
    const uint64_t start = info.vmaddr + static_cast<uint64_t>(image->vmaddr_slide);
    // A forged vmsize cannot reach past the image.
    if (start < image->header_addr || start >= image->span_end) return FVCRASH_ENOMEM;
    uint64_t length = info.vmsize;
    if (length > image->span_end - start) length = image->span_end - start;
    fvcrash_status status =
        fvcrash_task_mapping_init(&segment->mapping, image->task, start, length, false);
    if (status != FVCRASH_ESUCCESS) return status;
    segment->fileoff = info.fileoff;
    segment->filesize = info.filesize;
    return FVCRASH_ESUCCESS;
}

fvcrash_status fvcrash_macho_map_section(const fvcrash_macho_image* image, const char* segname,
                                         const char* sectname, fvcrash_task_mapping* mapping) {
    const auto* cmd = fvcrash_macho_find_segment_cmd(image, segname);
    if (!cmd) return FVCRASH_ENOTFOUND;
    SegmentInfo info = segmentInfo(image, cmd);
    const size_t head = image->m64 ? kSegment64Size : kSegment32Size;
    const size_t record = image->m64 ? kSection64Size : kSection32Size;
    for (uint32_t i = 0; i < info.nsects; ++i) {
        const uint64_t offset = head + uint64_t(i) * record;
        if (offset + record > info.cmdsize) return FVCRASH_EINVAL;
        const uint8_t* section = info.command + offset;
        if (fvcrash_strncmp(sectname, reinterpret_cast<const char*>(section), 16) != 0) continue;
        const uint64_t addr = image->m64 ? u64(image, section + 32) : u32(image, section + 32);
        const uint64_t size = image->m64 ? u64(image, section + 40) : u32(image, section + 36);
        return fvcrash_task_mapping_init(
            mapping, image->task, addr + static_cast<uint64_t>(image->vmaddr_slide), size, true);
    }
    return FVCRASH_ENOTFOUND;
}

void fvcrash_macho_unmap_segment(fvcrash_macho_segment* segment) {
    fvcrash_task_mapping_free(&segment->mapping);
}

bool fvcrash_macho_contains_address(const fvcrash_macho_image* image, uint64_t address) {
    return address >= image->header_addr && address - image->header_addr < image->text_size;
}

uint32_t fvcrash_macho_cpu_type(const fvcrash_macho_image* image) {
    return image->byteorder->swap32(image->header.cputype);
}
uint32_t fvcrash_macho_cpu_subtype(const fvcrash_macho_image* image) {
    return image->byteorder->swap32(image->header.cpusubtype);
}
const fvcrash_byte_order* fvcrash_macho_byte_order(const fvcrash_macho_image* image) {
    return image->byteorder;
}
const fvcrash_macho_header* fvcrash_macho_header_of(const fvcrash_macho_image* image) {
    return &image->header;
}
uint64_t fvcrash_macho_header_size(const fvcrash_macho_image* image) { return image->header_size; }

bool fvcrash_macho_uuid(const fvcrash_macho_image* image, uint8_t uuid[16]) {
    const auto* cmd = fvcrash_macho_find_command(image, FVCRASH_LC_UUID);
    if (!cmd || u32(image, fieldAt(cmd, 4)) < kUUIDCommandSize) return false;
    fvcrash_memcpy(uuid, reinterpret_cast<const uint8_t*>(cmd) + 8, 16);
    return true;
}

fvcrash_status fvcrash_macho_symtab_open(fvcrash_macho_symtab* reader, fvcrash_macho_image* image) {
    fvcrash_memset(reader, 0, sizeof *reader);
    reader->image = image;
    const auto* symtab = fvcrash_macho_find_command(image, FVCRASH_LC_SYMTAB);
    if (!symtab || u32(image, fieldAt(symtab, 4)) < kSymtabCommandSize) return FVCRASH_ENOTFOUND;
    const auto* dysymtab = fvcrash_macho_find_command(image, FVCRASH_LC_DYSYMTAB);
    if (dysymtab && u32(image, fieldAt(dysymtab, 4)) < kDysymtabHeadSize) dysymtab = nullptr;

    if (fvcrash_macho_map_segment(image, "__LINKEDIT", &reader->linkedit) != FVCRASH_ESUCCESS)
        return FVCRASH_EINTERNAL;
    const auto* s = reinterpret_cast<const uint8_t*>(symtab);
    const uint64_t symoff = u32(image, s + 8), nsyms = u32(image, s + 12);
    const uint64_t stroff = u32(image, s + 16), strsize = u32(image, s + 20);
    const uint64_t fileoff = reader->linkedit.fileoff;
    const uint64_t base = reader->linkedit.mapping.task_address;
    const uint64_t entry = image->m64 ? 16 : 12;
    // All sums in 64 bits: 32-bit fields cannot wrap them.
    if (symoff < fileoff || stroff < fileoff || symoff - fileoff > FVCRASH_TASK_MAPPING_MAX ||
        stroff - fileoff > FVCRASH_TASK_MAPPING_MAX) {
        fvcrash_macho_unmap_segment(&reader->linkedit);
        return FVCRASH_EINTERNAL;
    }
    reader->symtab = fvcrash_task_mapping_pointer(
        &reader->linkedit.mapping, base, static_cast<int64_t>(symoff - fileoff), nsyms * entry);
    reader->strtab = static_cast<const char*>(fvcrash_task_mapping_pointer(
        &reader->linkedit.mapping, base, static_cast<int64_t>(stroff - fileoff), strsize));
    if (!reader->symtab || !reader->strtab) {
        fvcrash_macho_unmap_segment(&reader->linkedit);
        return FVCRASH_EINTERNAL;
    }
    reader->nsyms = static_cast<uint32_t>(nsyms);
    reader->strsize = static_cast<uint32_t>(strsize);
    if (dysymtab) {
        const auto* d = reinterpret_cast<const uint8_t*>(dysymtab);
        const uint64_t ilocal = u32(image, d + 8), nlocal = u32(image, d + 12);
        const uint64_t iextdef = u32(image, d + 16), nextdef = u32(image, d + 20);
        if (iextdef + nextdef > nsyms || ilocal + nlocal > nsyms) {
            fvcrash_macho_unmap_segment(&reader->linkedit);
            return FVCRASH_EINVAL;
        }
        const auto* table = static_cast<const uint8_t*>(reader->symtab);
        reader->globals = table + iextdef * entry;
        reader->nglobals = static_cast<uint32_t>(nextdef);
        reader->locals = table + ilocal * entry;
        reader->nlocals = static_cast<uint32_t>(nlocal);
    }
    return FVCRASH_ESUCCESS;
}

fvcrash_macho_symbol fvcrash_macho_symtab_entry(const fvcrash_macho_symtab* reader,
                                                const void* table, uint32_t index) {
    const fvcrash_macho_image* image = reader->image;
    const auto* e = static_cast<const uint8_t*>(table) + uint64_t(index) * (image->m64 ? 16 : 12);
    fvcrash_macho_symbol symbol;
    symbol.n_strx = u32(image, e);
    symbol.n_type = e[4];
    symbol.n_sect = e[5];
    symbol.n_desc = u16(image, e + 6);
    symbol.n_value = image->m64 ? u64(image, e + 8) : u32(image, e + 8);
    symbol.normalized_value = symbol.n_value | ((symbol.n_desc & 0x0008) ? 1 : 0);
    return symbol;
}

const char* fvcrash_macho_symtab_name(const fvcrash_macho_symtab* reader, uint32_t n_strx) {
    if (n_strx >= reader->strsize) return nullptr;
    for (uint32_t i = n_strx; i < reader->strsize; ++i)
        if (reader->strtab[i] == '\0') return reader->strtab + n_strx;
    return nullptr;
}

void fvcrash_macho_symtab_close(fvcrash_macho_symtab* reader) {
    fvcrash_macho_unmap_segment(&reader->linkedit);
}

namespace {

bool isCandidate(const fvcrash_macho_symbol& symbol) { return (symbol.n_type & 0xEE) == 0x0E; }

// The candidate with the greatest value not above pc; the first of equals.
bool bestIn(const fvcrash_macho_symtab* reader, const void* table, uint32_t count, uint64_t pc,
            fvcrash_macho_symbol* best) {
    bool found = false;
    for (uint32_t i = 0; i < count; ++i) {
        fvcrash_macho_symbol symbol = fvcrash_macho_symtab_entry(reader, table, i);
        if (!isCandidate(symbol) || symbol.n_value > pc) continue;
        if (!found || symbol.n_value > best->n_value) {
            *best = symbol;
            found = true;
        }
    }
    return found;
}

}  // namespace

fvcrash_status fvcrash_macho_lookup_symbol_by_address(fvcrash_macho_image* image, uint64_t address,
                                                      fvcrash_macho_found_symbol_cb callback,
                                                      void* context) {
    fvcrash_macho_symtab reader;
    fvcrash_status status = fvcrash_macho_symtab_open(&reader, image);
    if (status != FVCRASH_ESUCCESS) return status;
    const uint64_t pc = address - static_cast<uint64_t>(image->vmaddr_slide);
    fvcrash_macho_symbol best{};
    bool found;
    if (reader.globals) {
        found = bestIn(&reader, reader.globals, reader.nglobals, pc, &best);
        fvcrash_macho_symbol local;
        if (bestIn(&reader, reader.locals, reader.nlocals, pc, &local) &&
            (!found || local.n_value > best.n_value)) {
            best = local;
            found = true;
        }
    } else {
        found = bestIn(&reader, reader.symtab, reader.nsyms, pc, &best);
    }
    if (!found) {
        status = FVCRASH_ENOTFOUND;
    } else if (const char* name = fvcrash_macho_symtab_name(&reader, best.n_strx)) {
        callback(best.normalized_value + static_cast<uint64_t>(image->vmaddr_slide), name, context);
    } else {
        status = FVCRASH_EINVAL;
    }
    fvcrash_macho_symtab_close(&reader);
    return status;
}

fvcrash_status fvcrash_macho_lookup_symbol_by_name(fvcrash_macho_image* image, const char* name,
                                                   uint64_t* address) {
    fvcrash_macho_symtab reader;
    fvcrash_status status = fvcrash_macho_symtab_open(&reader, image);
    if (status != FVCRASH_ESUCCESS) return status;
    status = FVCRASH_ENOTFOUND;
    for (uint32_t i = 0; i < reader.nsyms; ++i) {
        fvcrash_macho_symbol symbol = fvcrash_macho_symtab_entry(&reader, reader.symtab, i);
        if (!isCandidate(symbol)) continue;
        const char* candidate = fvcrash_macho_symtab_name(&reader, symbol.n_strx);
        if (!candidate || fvcrash_strcmp(candidate, name) != 0) continue;
        *address = symbol.normalized_value + static_cast<uint64_t>(image->vmaddr_slide);
        status = FVCRASH_ESUCCESS;
        break;
    }
    fvcrash_macho_symtab_close(&reader);
    return status;
}
