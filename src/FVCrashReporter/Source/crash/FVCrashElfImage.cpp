#include "FVCrashReporter/Source/crash/FVCrashElfImage.h"

#include <elf.h>

#include "FVCrashReporter/Source/crash/FVCrashThreadState.h"

namespace {

constexpr uint16_t kMaxProgramHeaders = 512;
constexpr uint64_t kMaxDynamicEntries = 4096;
constexpr uint64_t kMaxNotes = 256;
constexpr uint64_t kMaxChain = 1u << 20;
constexpr uint64_t kMaxBuckets = 1u << 20;

bool read(const fvcrash_elf_image* image, uint64_t address, void* out, uint64_t length) {
    return fvcrash_task_read(image->task, address, 0, out, length) == FVCRASH_ESUCCESS;
}

bool inSpan(const fvcrash_elf_image* image, uint64_t address, uint64_t length) {
    uint64_t end;
    if (__builtin_add_overflow(address, length, &end)) return false;
    return address >= image->header_addr && end <= image->header_addr + image->size;
}

// A checked read of bytes that must lie inside the image.
bool readInside(const fvcrash_elf_image* image, uint64_t address, void* out, uint64_t length) {
    return inSpan(image, address, length) && read(image, address, out, length);
}

uint64_t alignUp(uint64_t value, uint64_t alignment) {
    return (value + alignment - 1) & ~(alignment - 1);
}

void findBuildId(fvcrash_elf_image* image, uint64_t start, uint64_t size, uint64_t alignment) {
    if (alignment < 4) alignment = 4;
    if (alignment > 8) return;
    uint64_t at = start;
    const uint64_t end = start + size;
    for (uint64_t n = 0; n < kMaxNotes && at + sizeof(Elf64_Nhdr) <= end; ++n) {
        Elf64_Nhdr note;
        if (!readInside(image, at, &note, sizeof note)) return;
        const uint64_t name = at + sizeof note;
        const uint64_t desc = alignUp(name + note.n_namesz, alignment);
        const uint64_t next = alignUp(desc + note.n_descsz, alignment);
        if (desc + note.n_descsz > end || next <= at) return;
        char owner[4];
        if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 &&
            readInside(image, name, owner, 4) && fvcrash_strncmp("GNU", owner, 4) == 0) {
            const uint64_t length = note.n_descsz < 16 ? note.n_descsz : 16;
            fvcrash_memset(image->uuid, 0, sizeof image->uuid);
            if (readInside(image, desc, image->uuid, length)) image->has_build_id = true;
            return;
        }
        at = next;
    }
}

// A dynamic-section address: the loader has usually relocated it already;
// in a read-only dynamic section (the vDSO's) it is still a vaddr.
uint64_t dynamicAddress(const fvcrash_elf_image* image, uint64_t value) {
    if (inSpan(image, value, 1)) return value;
    if (inSpan(image, value + image->load_bias, 1)) return value + image->load_bias;
    return 0;
}

// The number of .dynsym entries from a GNU hash table: past the highest
// bucket's chain end.
bool countFromGnuHash(fvcrash_elf_image* image, uint64_t table) {
    uint32_t head[4];  // nbuckets, symoffset, bloom words, bloom shift
    if (!readInside(image, table, head, sizeof head) || head[0] > kMaxBuckets) return false;
    const uint64_t buckets = table + 16 + uint64_t(head[2]) * 8;
    uint32_t highest = 0;
    for (uint64_t i = 0; i < head[0];) {
        uint32_t chunk[64];
        const uint64_t n = head[0] - i < 64 ? head[0] - i : 64;
        if (!readInside(image, buckets + i * 4, chunk, n * 4)) return false;
        for (uint64_t k = 0; k < n; ++k)
            if (chunk[k] > highest) highest = chunk[k];
        i += n;
    }
    if (highest < head[1]) {
        image->symbol_count = head[1];
        return true;
    }
    const uint64_t chains = buckets + uint64_t(head[0]) * 4;
    for (uint64_t index = highest; index - highest < kMaxChain;) {
        uint32_t chunk[64];
        if (!readInside(image, chains + (index - head[1]) * 4, chunk, 4)) return false;
        // Read ahead as far as the image allows, one word at the least.
        uint64_t n = 64;
        while (n > 1 && !readInside(image, chains + (index - head[1]) * 4, chunk, n * 4)) n /= 2;
        for (uint64_t k = 0; k < n; ++k, ++index) {
            if (chunk[k] & 1) {
                image->symbol_count = index + 1;
                return true;
            }
        }
    }
    return false;
}

void readDynamic(fvcrash_elf_image* image, uint64_t start, uint64_t size) {
    uint64_t symtab = 0, strtab = 0, strsz = 0, gnuHash = 0, hash = 0;
    const uint64_t count = size / sizeof(Elf64_Dyn);
    for (uint64_t i = 0; i < count && i < kMaxDynamicEntries; ++i) {
        Elf64_Dyn entry;
        if (!readInside(image, start + i * sizeof entry, &entry, sizeof entry)) return;
        if (entry.d_tag == DT_NULL) break;
        switch (entry.d_tag) {
            case DT_SYMTAB:
                symtab = entry.d_un.d_ptr;
                break;
            case DT_STRTAB:
                strtab = entry.d_un.d_ptr;
                break;
            case DT_STRSZ:
                strsz = entry.d_un.d_val;
                break;
            case DT_GNU_HASH:
                gnuHash = entry.d_un.d_ptr;
                break;
            case DT_HASH:
                hash = entry.d_un.d_ptr;
                break;
            default:
                break;
        }
    }
    symtab = symtab ? dynamicAddress(image, symtab) : 0;
    strtab = strtab ? dynamicAddress(image, strtab) : 0;
    if (!symtab || !strtab || !inSpan(image, strtab, strsz)) return;
    gnuHash = gnuHash ? dynamicAddress(image, gnuHash) : 0;
    hash = hash ? dynamicAddress(image, hash) : 0;
    bool counted = gnuHash && countFromGnuHash(image, gnuHash);
    if (!counted && hash) {
        uint32_t head[2];  // nbucket, nchain
        if (readInside(image, hash, head, sizeof head)) {
            image->symbol_count = head[1];
            counted = true;
        }
    }
    if (!counted || !inSpan(image, symtab, image->symbol_count * sizeof(Elf64_Sym))) {
        image->symbol_count = 0;
        return;
    }
    image->dynsym = symtab;
    image->dynstr = strtab;
    image->dynstr_size = strsz;
}

}  // namespace

fvcrash_status fvcrash_elf_image_init(fvcrash_elf_image* image, fvcrash_task task,
                                      uint64_t load_bias, uint64_t phdr_addr, uint16_t phnum) {
    fvcrash_memset(image, 0, sizeof *image);
    image->task = task;
    image->load_bias = load_bias;
    image->phdr_addr = phdr_addr;
    image->phnum = phnum;
    image->cpu_type = FVCRASH_CPU_TYPE_X86_64;
    image->cpu_subtype = FVCRASH_CPU_SUBTYPE_X86_ALL;
    if (phnum == 0 || phnum > kMaxProgramHeaders) return FVCRASH_EINVALID_DATA;

    // First pass: the PT_LOAD extent, which bounds every later read.
    bool anyLoad = false;
    uint64_t firstVaddr = 0, firstOffset = 0, lastEnd = 0;
    for (uint16_t i = 0; i < phnum; ++i) {
        Elf64_Phdr ph;
        if (!read(image, phdr_addr + uint64_t(i) * sizeof ph, &ph, sizeof ph))
            return FVCRASH_EINVALID_DATA;
        if (ph.p_type != PT_LOAD) continue;
        if (!anyLoad || ph.p_vaddr < firstVaddr) {
            firstVaddr = ph.p_vaddr;
            firstOffset = ph.p_offset;
        }
        if (ph.p_vaddr + ph.p_memsz > lastEnd) lastEnd = ph.p_vaddr + ph.p_memsz;
        anyLoad = true;
    }
    if (!anyLoad || firstOffset > firstVaddr + load_bias) return FVCRASH_EINVALID_DATA;
    image->header_addr = load_bias + firstVaddr - firstOffset;
    image->size = load_bias + lastEnd - image->header_addr;

    for (uint16_t i = 0; i < phnum; ++i) {
        Elf64_Phdr ph;
        if (!read(image, phdr_addr + uint64_t(i) * sizeof ph, &ph, sizeof ph)) break;
        const uint64_t at = load_bias + ph.p_vaddr;
        if (!inSpan(image, at, ph.p_memsz)) continue;
        switch (ph.p_type) {
            case PT_GNU_EH_FRAME:
                image->eh_frame_hdr = at;
                image->eh_frame_hdr_size = ph.p_memsz;
                break;
            case PT_NOTE:
                if (!image->has_build_id) findBuildId(image, at, ph.p_memsz, ph.p_align);
                break;
            case PT_DYNAMIC:
                image->dynamic = at;
                break;
            default:
                break;
        }
    }
    if (image->dynamic) {
        for (uint16_t i = 0; i < phnum; ++i) {
            Elf64_Phdr ph;
            if (!read(image, phdr_addr + uint64_t(i) * sizeof ph, &ph, sizeof ph)) break;
            if (ph.p_type == PT_DYNAMIC) readDynamic(image, load_bias + ph.p_vaddr, ph.p_memsz);
        }
    }
    return FVCRASH_ESUCCESS;
}

fvcrash_status fvcrash_elf_image_init_from_header(fvcrash_elf_image* image, fvcrash_task task,
                                                  uint64_t header_addr) {
    Elf64_Ehdr header;
    if (fvcrash_task_read(task, header_addr, 0, &header, sizeof header) != FVCRASH_ESUCCESS ||
        fvcrash_strncmp(ELFMAG, reinterpret_cast<const char*>(header.e_ident), SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_machine != EM_X86_64 ||
        header.e_phentsize != sizeof(Elf64_Phdr))
        return FVCRASH_EINVALID_DATA;
    const uint64_t phdrs = header_addr + header.e_phoff;
    // The bias follows from the first PT_LOAD, which maps the header.
    uint64_t firstVaddr = 0, firstOffset = 0;
    bool anyLoad = false;
    for (uint16_t i = 0; i < header.e_phnum && i < kMaxProgramHeaders; ++i) {
        Elf64_Phdr ph;
        if (fvcrash_task_read(task, phdrs, int64_t(i) * int64_t(sizeof ph), &ph, sizeof ph) !=
            FVCRASH_ESUCCESS)
            return FVCRASH_EINVALID_DATA;
        if (ph.p_type != PT_LOAD || (anyLoad && ph.p_vaddr >= firstVaddr)) continue;
        firstVaddr = ph.p_vaddr;
        firstOffset = ph.p_offset;
        anyLoad = true;
    }
    if (!anyLoad || firstVaddr - firstOffset > header_addr) return FVCRASH_EINVALID_DATA;
    return fvcrash_elf_image_init(image, task, header_addr - (firstVaddr - firstOffset), phdrs,
                                  header.e_phnum);
}

bool fvcrash_elf_image_contains_address(const fvcrash_elf_image* image, uint64_t address) {
    return address >= image->header_addr && address - image->header_addr < image->size;
}
