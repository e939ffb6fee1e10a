// A hand-made Mach-O image laid out as the loader would place it: __TEXT
// (header, load commands, a __text section) then __LINKEDIT (symbols and
// their names), file offsets equal to the distance from the header.
#pragma once

#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/MachOBuilder.h"

namespace fvcrashtest {

struct Symbol {
    std::string name;
    uint64_t value;       // unslid
    uint8_t type = 0x0F;  // N_SECT | N_EXT
    uint16_t desc = 0;
};

struct SyntheticMachO {
    bool is64 = true;
    bool swapped = false;
    bool withDysymtab = true;
    uint64_t textVmaddr = 0x1000;
    std::vector<Symbol> locals, globals;

    // Where the pieces went, for tests that corrupt them.
    size_t textCommand = 0, linkeditCommand = 0, symtabCommand = 0, dysymtabCommand = 0,
           uuidCommand = 0, symbols = 0, strings = 0, stringsSize = 0;
    static constexpr size_t kTextSize = 0x1000, kLinkeditSize = 0x1000;
    static constexpr uint8_t kUUID[16] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE,
                                          0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

    platform::Data build() {
        using testsupport::put;
        using testsupport::putName;
        platform::Data d(kTextSize + kLinkeditSize, 0);
        auto p = [&](size_t at, uint64_t v, unsigned w) { put(d, at, v, w, swapped); };
        const size_t header = is64 ? 32 : 28, segment = is64 ? 72 : 56, section = is64 ? 80 : 68;
        const size_t word = is64 ? 8 : 4;
        p(0, is64 ? 0xFEEDFACF : 0xFEEDFACE, 4);
        p(4, is64 ? 0x1000007 : 7, 4);
        p(8, 3, 4);
        p(12, 6, 4);  // MH_DYLIB
        size_t at = header;
        auto segmentCommand = [&](const char* name, uint64_t vmaddr, uint64_t size,
                                  uint64_t fileoff, unsigned nsects) {
            size_t start = at;
            p(at, is64 ? 0x19 : 0x1, 4);
            p(at + 4, segment + nsects * section, 4);
            putName(d, at + 8, name);
            p(at + 24, vmaddr, word);
            p(at + 24 + word, size, word);
            p(at + 24 + 2 * word, fileoff, word);
            p(at + 24 + 3 * word, size, word);
            p(at + 24 + 4 * word, 5, 4);  // maxprot
            p(at + 28 + 4 * word, 5, 4);  // initprot
            p(at + 32 + 4 * word, nsects, 4);
            at += segment;
            return start;
        };
        textCommand = segmentCommand("__TEXT", textVmaddr, kTextSize, 0, 1);
        putName(d, at, "__text");
        putName(d, at + 16, "__TEXT");
        p(at + 32, textVmaddr + 0x200, word);
        p(at + 32 + word, 0x100, word);
        p(at + 32 + 2 * word, 0x200, 4);
        at += section;
        linkeditCommand =
            segmentCommand("__LINKEDIT", textVmaddr + kTextSize, kLinkeditSize, kTextSize, 0);

        // Symbols: locals, then globals; names after them.
        std::vector<Symbol> all = locals;
        all.insert(all.end(), globals.begin(), globals.end());
        const size_t entry = is64 ? 16 : 12;
        symbols = kTextSize;
        strings = symbols + all.size() * entry;
        std::string table(1, '\0');
        for (size_t i = 0; i < all.size(); ++i) {
            const size_t e = symbols + i * entry;
            p(e, table.size(), 4);
            d[e + 4] = all[i].type;
            d[e + 5] = 1;
            p(e + 6, all[i].desc, 2);
            p(e + 8, all[i].value, word);
            table += all[i].name + '\0';
        }
        std::memcpy(d.data() + strings, table.data(), table.size());
        stringsSize = table.size();

        symtabCommand = at;
        p(at, 0x2, 4);
        p(at + 4, 24, 4);
        p(at + 8, symbols, 4);
        p(at + 12, all.size(), 4);
        p(at + 16, strings, 4);
        p(at + 20, stringsSize, 4);
        at += 24;
        unsigned ncmds = 4;
        if (withDysymtab) {
            dysymtabCommand = at;
            p(at, 0xB, 4);
            p(at + 4, 80, 4);
            p(at + 8, 0, 4);
            p(at + 12, locals.size(), 4);
            p(at + 16, locals.size(), 4);
            p(at + 20, globals.size(), 4);
            at += 80;
            ++ncmds;
        }
        uuidCommand = at;
        p(at, 0x1B, 4);
        p(at + 4, 24, 4);
        std::memcpy(d.data() + at + 8, kUUID, 16);
        at += 24;
        p(16, ncmds, 4);
        p(20, at - header, 4);
        for (size_t i = 0x200; i < 0x300; ++i) d[i] = 0xCC;
        return d;
    }
};

// Bytes placed at a page-aligned address of their own, readable, followed
// by an inaccessible page so that nothing past them can be read.
struct Loaded {
    uint8_t* base = nullptr;
    size_t size = 0;
    explicit Loaded(const platform::Data& bytes) {
        size = ((bytes.size() + 4095) & ~size_t(4095)) + 4096;
        base = static_cast<uint8_t*>(
            mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        std::memcpy(base, bytes.data(), bytes.size());
        mprotect(base + size - 4096, 4096, PROT_NONE);
    }
    ~Loaded() { munmap(base, size); }
    uint64_t address() const { return reinterpret_cast<uint64_t>(base); }
};

}  // namespace fvcrashtest
