#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <string>

#include "FVCrashReporter/Source/crash/FVCrashMachOImage.h"
#include "FVCrashReporter/Source/crash/FVCrashTaskMapping.h"
#include "SyntheticMachO.h"
#include "support/MachOBuilder.h"

namespace {

using fvcrashtest::Loaded;
using fvcrashtest::SyntheticMachO;
using testsupport::put;

struct Found {
    uint64_t address = 0;
    std::string name;
};

void keep(uint64_t address, const char* name, void* context) {
    auto* found = static_cast<Found*>(context);
    found->address = address;
    found->name = name;
}

TEST(FVCrashTaskMapping, WindowsAndBounds) {
    auto* base = static_cast<uint8_t*>(
        mmap(nullptr, 3 * 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    munmap(base + 2 * 4096, 4096);
    const uint64_t start = reinterpret_cast<uint64_t>(base);

    fvcrash_task_mapping m;
    // Straddling a page boundary: both pages, address at the requested byte.
    ASSERT_EQ(fvcrash_task_mapping_init(&m, fvcrash_task_self(), start + 4000, 200, true),
              FVCRASH_ESUCCESS);
    EXPECT_EQ(m.address, start + 4000);
    EXPECT_EQ(m.mapped_base, start);
    EXPECT_EQ(m.mapped_length, 2 * 4096u);
    EXPECT_EQ(fvcrash_task_mapping_length(&m), 200u);
    base[4100] = 0x5A;
    uint8_t byte = 0;
    EXPECT_EQ(fvcrash_task_mapping_read_uint8(&m, start + 4000, 100, &byte), FVCRASH_ESUCCESS);
    EXPECT_EQ(byte, 0x5A);
    EXPECT_EQ(fvcrash_task_mapping_read_uint8(&m, start + 4000, 200, &byte), FVCRASH_EINVAL);

    struct Bounds {
        uint64_t address;
        int64_t offset;
        uint64_t length;
        bool inside;
    } bounds[] = {
        {start + 4000, 0, 200, true},
        {start + 4000, 199, 1, true},
        {start + 4000, 199, 2, false},
        {start + 4100, -100, 1, true},
        {start + 4100, -101, 1, false},
        {start + 4000, -static_cast<int64_t>(start + 4001), 1, false},  // below zero
        {start + 4000, 0, ~uint64_t(0), false},                         // length wraps
        {start + 4000, INT64_MAX, 1, false},
    };
    for (const Bounds& b : bounds)
        EXPECT_EQ(fvcrash_task_mapping_contains(&m, b.address, b.offset, b.length), b.inside)
            << b.offset << " " << b.length;
    uint32_t word;
    base[4000] = 1, base[4001] = 2, base[4002] = 3, base[4003] = 4;
    EXPECT_EQ(
        fvcrash_task_mapping_read_uint32(&m, &fvcrash_byte_order_swapped, start + 4000, 0, &word),
        FVCRASH_ESUCCESS);
    EXPECT_EQ(word, 0x01020304u);

    // Into the unmapped page: whole fails, partial gets the readable prefix.
    EXPECT_EQ(fvcrash_task_mapping_init(&m, fvcrash_task_self(), start + 4096, 8192, true),
              FVCRASH_ENOMEM);
    ASSERT_EQ(fvcrash_task_mapping_init(&m, fvcrash_task_self(), start + 4096, 8192, false),
              FVCRASH_ESUCCESS);
    EXPECT_EQ(fvcrash_task_mapping_length(&m), 4096u);
    EXPECT_EQ(fvcrash_task_mapping_init(&m, fvcrash_task_self(), start + 2 * 4096, 10, false),
              FVCRASH_ENOMEM);
    EXPECT_EQ(fvcrash_task_mapping_init(&m, fvcrash_task_self(), start, 0, false), FVCRASH_ENOMEM);
    EXPECT_EQ(fvcrash_task_mapping_init(&m, fvcrash_task_self(), ~uint64_t(0) - 4, 10, false),
              FVCRASH_ENOMEM);
    munmap(base, 2 * 4096);
}

// Opens the image, checks what every well-formed variant must give.
void checkWellFormed(SyntheticMachO& maker, const char* label) {
    maker.locals = {
        {"_local_early", 0x1200, 0x0E}, {"_same", 0x1240, 0x0E}, {"_late", 0x12F0, 0x0E}};
    maker.globals = {{"_start", 0x1200},
                     {"_same", 0x1240},
                     {"_thumb", 0x1280, 0x0F, 0x0008},
                     {"_debug", 0x1290, 0x24}};
    Loaded loaded(maker.build());
    const uint64_t slide = loaded.address() - maker.textVmaddr;

    fvcrash_macho_image image;
    ASSERT_EQ(fvcrash_macho_image_open(&image, fvcrash_task_self(), "/lib/synthetic.dylib",
                                       loaded.address()),
              FVCRASH_ESUCCESS)
        << label;
    EXPECT_STREQ(image.name, "/lib/synthetic.dylib");
    EXPECT_EQ(image.vmaddr_slide, static_cast<int64_t>(slide)) << label;
    EXPECT_EQ(image.text_size, SyntheticMachO::kTextSize);
    EXPECT_EQ(fvcrash_macho_header_size(&image), maker.is64 ? 32u : 28u);
    EXPECT_EQ(fvcrash_macho_cpu_type(&image), maker.is64 ? 0x1000007u : 7u) << label;
    EXPECT_EQ(fvcrash_macho_cpu_subtype(&image), 3u);
    EXPECT_EQ(fvcrash_macho_byte_order(&image),
              maker.swapped ? &fvcrash_byte_order_swapped : &fvcrash_byte_order_direct);
    uint8_t uuid[16];
    ASSERT_TRUE(fvcrash_macho_uuid(&image, uuid));
    EXPECT_EQ(std::memcmp(uuid, SyntheticMachO::kUUID, 16), 0);
    EXPECT_TRUE(fvcrash_macho_contains_address(&image, loaded.address()));
    EXPECT_TRUE(fvcrash_macho_contains_address(&image, loaded.address() + 0xFFF));
    EXPECT_FALSE(fvcrash_macho_contains_address(&image, loaded.address() + 0x1000));

    fvcrash_task_mapping text;
    ASSERT_EQ(fvcrash_macho_map_section(&image, "__TEXT", "__text", &text), FVCRASH_ESUCCESS);
    EXPECT_EQ(text.task_address, loaded.address() + 0x200);
    EXPECT_EQ(text.length, 0x100u);
    EXPECT_EQ(fvcrash_macho_map_section(&image, "__TEXT", "__nothere", &text), FVCRASH_ENOTFOUND);
    EXPECT_EQ(fvcrash_macho_map_section(&image, "__DATA", "__data", &text), FVCRASH_ENOTFOUND);

    struct Lookup {
        uint64_t pc;  // unslid
        const char* name;
        uint64_t start;
        fvcrash_status status;
    } lookups[] = {
        {0x1200, "_start", 0x1200, FVCRASH_ESUCCESS},  // global wins over the equal local
        {0x1230, "_start", 0x1200, FVCRASH_ESUCCESS}, {0x1240, "_same", 0x1240, FVCRASH_ESUCCESS},
        {0x1285, "_thumb", 0x1281, FVCRASH_ESUCCESS},  // thumb bit in the start
        {0x1295, "_thumb", 0x1281, FVCRASH_ESUCCESS},  // debugging entries never match
        {0x12F8, "_late", 0x12F0, FVCRASH_ESUCCESS},   // a greater local wins
        {0x11FF, nullptr, 0, FVCRASH_ENOTFOUND},       // every symbol lies above
    };
    for (const Lookup& l : lookups) {
        Found found;
        EXPECT_EQ(fvcrash_macho_lookup_symbol_by_address(&image, l.pc + slide, keep, &found),
                  l.status)
            << label << " " << std::hex << l.pc;
        if (!l.name) continue;
        EXPECT_EQ(found.name, l.name) << label << " " << std::hex << l.pc;
        EXPECT_EQ(found.address, l.start + slide) << label << " " << std::hex << l.pc;
    }
    uint64_t address = 0;
    EXPECT_EQ(fvcrash_macho_lookup_symbol_by_name(&image, "_late", &address), FVCRASH_ESUCCESS);
    EXPECT_EQ(address, 0x12F0 + slide);
    EXPECT_EQ(fvcrash_macho_lookup_symbol_by_name(&image, "_debug", &address), FVCRASH_ENOTFOUND);
    EXPECT_EQ(fvcrash_macho_lookup_symbol_by_name(&image, "_sta", &address), FVCRASH_ENOTFOUND);
    fvcrash_macho_image_close(&image);
}

TEST(FVCrashMachOImage, ReadsEveryFormat) {
    SyntheticMachO direct64;
    checkWellFormed(direct64, "64-bit");
    SyntheticMachO direct32;
    direct32.is64 = false;
    checkWellFormed(direct32, "32-bit");
    SyntheticMachO swapped64;
    swapped64.swapped = true;
    checkWellFormed(swapped64, "64-bit swapped");
    SyntheticMachO swapped32;
    swapped32.is64 = false;
    swapped32.swapped = true;
    checkWellFormed(swapped32, "32-bit swapped");
}

TEST(FVCrashMachOImage, WithoutDynamicTableSearchesEverything) {
    SyntheticMachO maker;
    maker.withDysymtab = false;
    maker.locals = {{"_a", 0x1200, 0x0E}, {"_b", 0x1200, 0x0E}};
    Loaded loaded(maker.build());
    fvcrash_macho_image image;
    ASSERT_EQ(fvcrash_macho_image_open(&image, fvcrash_task_self(), "x", loaded.address()),
              FVCRASH_ESUCCESS);
    Found found;
    EXPECT_EQ(
        fvcrash_macho_lookup_symbol_by_address(&image, loaded.address() + 0x300, keep, &found),
        FVCRASH_ESUCCESS);
    EXPECT_EQ(found.name, "_a");  // the first of equals stays
    fvcrash_macho_image_close(&image);
}

TEST(FVCrashMachOImage, RefusesDamagedImages) {
    SyntheticMachO maker;
    maker.globals = {{"_start", 0x1200}};
    const platform::Data good = maker.build();

    platform::Data badMagic = good;
    put(badMagic, 0, 0xCAFEBABE, 4);
    platform::Data zeroFirst = good;
    put(zeroFirst, maker.textCommand + 4, 0, 4);  // cmdsize 0 before __TEXT
    platform::Data tooFar = good;
    put(tooFar, 20, 0x100000, 4);  // sizeofcmds past what is mapped
    platform::Data noText = good;
    testsupport::putName(noText, maker.textCommand + 8, "__TEXX");

    struct Open {
        const char* name;
        platform::Data bytes;
        fvcrash_status status;
    } opens[] = {
        {"bad magic", badMagic, FVCRASH_EINVAL},
        {"cmdsize 0", zeroFirst, FVCRASH_EINVAL},
        {"sizeofcmds past the window", tooFar, FVCRASH_ENOMEM},
        {"no __TEXT", noText, FVCRASH_EINVAL},
    };
    for (const Open& o : opens) {
        Loaded loaded(o.bytes);
        fvcrash_macho_image image;
        EXPECT_EQ(
            fvcrash_macho_image_open(&image, fvcrash_task_self(), "leak-check", loaded.address()),
            o.status)
            << o.name;
    }
    fvcrash_macho_image image;
    EXPECT_EQ(fvcrash_macho_image_open(&image, fvcrash_task_self(), "x", 16), FVCRASH_EINTERNAL);

    // Damage that the image survives but its symbol table does not.
    platform::Data zeroLater = good;
    put(zeroLater, maker.linkeditCommand + 4, 0, 4);  // the walk ends before the symbol table
    platform::Data wrap = good;
    put(wrap, maker.dysymtabCommand + 16, 0xFFFFFFFF, 4);  // iextdefsym + nextdefsym = 2^32
    put(wrap, maker.dysymtabCommand + 20, 1, 4);
    platform::Data pastStrings = good;
    put(pastStrings, maker.symtabCommand + 20, 3, 4);  // strsize cuts "_start" short
    platform::Data tableOutside = good;
    put(tableOutside, maker.symtabCommand + 12, 0x10000, 4);
    platform::Data forgedSize = good;  // __LINKEDIT claims 1 TiB
    put(forgedSize, maker.linkeditCommand + 32, uint64_t(1) << 40, 8);
    struct Lookup {
        const char* name;
        platform::Data bytes;
        fvcrash_status status;
    } lookups[] = {
        {"cmdsize 0 later", zeroLater, FVCRASH_ENOTFOUND},
        {"dysymtab wrap", wrap, FVCRASH_EINVAL},
        {"name past strsize", pastStrings, FVCRASH_EINVAL},
        {"symbols outside __LINKEDIT", tableOutside, FVCRASH_EINTERNAL},
        {"forged vmsize", forgedSize, FVCRASH_ESUCCESS},
    };
    for (const Lookup& l : lookups) {
        Loaded loaded(l.bytes);
        ASSERT_EQ(fvcrash_macho_image_open(&image, fvcrash_task_self(), "x", loaded.address()),
                  FVCRASH_ESUCCESS)
            << l.name;
        Found found;
        EXPECT_EQ(
            fvcrash_macho_lookup_symbol_by_address(&image, loaded.address() + 0x300, keep, &found),
            l.status)
            << l.name;
        fvcrash_macho_segment linkedit;
        if (fvcrash_macho_map_segment(&image, "__LINKEDIT", &linkedit) == FVCRASH_ESUCCESS) {
            // Never past the hard cap, and every byte of the window readable.
            EXPECT_LE(linkedit.mapping.length, FVCRASH_TASK_MAPPING_MAX) << l.name;
            EXPECT_EQ(
                fvcrash_readable_prefix(linkedit.mapping.task_address, linkedit.mapping.length),
                linkedit.mapping.length);
            fvcrash_macho_unmap_segment(&linkedit);
        }
        fvcrash_macho_image_close(&image);
    }
}

}  // namespace
