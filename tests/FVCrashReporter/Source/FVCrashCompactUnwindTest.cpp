// The compact unwind reader: the lld-built fixtures' tables against
// llvm-objdump, encodings decoded and applied, permutations, and tables made
// by hand for the cases the linker does not produce.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "FVCrashReporter/Source/crash/FVCrashCompactUnwind.h"
#include "FVCrashReporter/Source/crash/FVCrashMachOImage.h"
#include "support/MachOLoader.h"

namespace {

#ifdef FVCRASH_MACHO_FIXTURES
const std::string kFixtures = FVCRASH_MACHO_FIXTURES;
#else
const std::string kFixtures;
#endif

struct Entry {
    uint32_t function;
    uint32_t encoding;
};

// The second-level entries llvm-objdump lists, with their encodings.
std::vector<Entry> readUnwindInfo(const std::string& path) {
    std::ifstream in(path);
    std::vector<Entry> out;
    for (std::string line; std::getline(in, line);) {
        unsigned function, index, encoding;
        if (sscanf(line.c_str(), " [%*u]: function offset=0x%x, encoding[%u]=0x%x", &function,
                   &index, &encoding) == 3) {
            out.push_back({function, encoding});
        }
    }
    return out;
}

std::vector<uint64_t> readFunctionStarts(const std::string& path) {
    std::ifstream in(path);
    std::vector<uint64_t> out;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string address, type, name;
        if ((fields >> address >> type >> name) && (type == "T" || type == "t")) {
            out.push_back(std::strtoull(address.c_str(), nullptr, 16));
        }
    }
    return out;
}

TEST(FVCrashCompactUnwind, FixtureTablesMatchLlvmObjdump) {
    if (kFixtures.empty()) GTEST_SKIP() << "clang, lld or the llvm tools are missing";
    for (const char* variant : {"fp", "nofp"}) {
        const std::string base = kFixtures + "/fixture_" + variant;
        std::string error;
        auto loaded = testsupport::LoadedMachO::loadFile(base + ".dylib", &error);
        ASSERT_TRUE(loaded) << error;
        fvcrash_macho_image image;
        ASSERT_EQ(fvcrash_macho_image_parse(&image, fvcrash_task_self(), loaded->header()),
                  FVCRASH_ESUCCESS);
        fvcrash_task_mapping section;
        ASSERT_EQ(fvcrash_macho_map_section(&image, "__TEXT", "__unwind_info", &section),
                  FVCRASH_ESUCCESS);
        fvcrash_compact_unwind_reader reader;
        ASSERT_EQ(fvcrash_compact_unwind_reader_init(&reader, &section, FVCRASH_CPU_TYPE_X86_64),
                  FVCRASH_ESUCCESS);
        const std::vector<Entry> entries = readUnwindInfo(base + ".unwind.txt");
        const std::vector<uint64_t> starts = readFunctionStarts(base + ".nm.txt");
        ASSERT_GE(entries.size(), 3u);
        ASSERT_GE(starts.size(), 4u);
        const uint64_t textEnd = image.text_size;
        for (size_t i = 0; i < starts.size(); ++i) {
            const uint64_t start = starts[i];
            const uint64_t end = i + 1 < starts.size() ? starts[i + 1] : textEnd;
            for (uint64_t pc : {start, start + 1, start + (end - start) / 2, end - 1}) {
                const Entry* expected = nullptr;
                for (const Entry& e : entries) {
                    if (e.function <= pc) expected = &e;
                }
                uint32_t function = 0, encoding = 0;
                if (!expected) {
                    EXPECT_EQ(
                        fvcrash_compact_unwind_find_encoding(&reader, pc, &function, &encoding),
                        FVCRASH_ENOTFOUND);
                    continue;
                }
                ASSERT_EQ(fvcrash_compact_unwind_find_encoding(&reader, pc, &function, &encoding),
                          FVCRASH_ESUCCESS)
                    << variant << " pc 0x" << std::hex << pc;
                EXPECT_EQ(function, expected->function) << variant << " pc 0x" << std::hex << pc;
                EXPECT_EQ(encoding, expected->encoding) << variant << " pc 0x" << std::hex << pc;
                fvcrash_compact_unwind_entry entry;
                EXPECT_EQ(fvcrash_compact_unwind_decode(&entry, encoding, FVCRASH_CPU_TYPE_X86_64),
                          FVCRASH_ESUCCESS);
            }
        }
        // Below the first function nothing is found.
        uint32_t function, encoding;
        EXPECT_EQ(fvcrash_compact_unwind_find_encoding(&reader, entries[0].function - 1, &function,
                                                       &encoding),
                  FVCRASH_ENOTFOUND);
    }
}

TEST(FVCrashCompactUnwind, Decoding) {
    const uint32_t none = FVCRASH_COMPACT_UNWIND_NO_REGISTER;
    const struct {
        uint32_t encoding;
        uint32_t cpu;
        fvcrash_status status;
        int kind;
        int64_t stackValue;
        uint32_t stackAdjust;
        std::vector<uint32_t> registers;
    } cases[] = {
        {0x00000000, FVCRASH_CPU_TYPE_X86_64, FVCRASH_ESUCCESS, 5, 0, 0, {}},
        // rbp frame, saved registers 2 words below it: codes 0 then 1 (rbx).
        {0x01020008,
         FVCRASH_CPU_TYPE_X86_64,
         FVCRASH_ESUCCESS,
         1,
         -16,
         0,
         {none, (uint32_t)FVCRASH_X86_64_RBX}},
        {0x01010001,
         FVCRASH_CPU_TYPE_X86_64,
         FVCRASH_ESUCCESS,
         1,
         -8,
         0,
         {(uint32_t)FVCRASH_X86_64_RBX}},
        {0x01000007, FVCRASH_CPU_TYPE_X86_64, FVCRASH_EINVAL, 0, 0, 0, {}},
        // Frameless, 6 registers, permutation 0.
        {0x02061800,
         FVCRASH_CPU_TYPE_X86_64,
         FVCRASH_ESUCCESS,
         2,
         48,
         0,
         {(uint32_t)FVCRASH_X86_64_RBX, (uint32_t)FVCRASH_X86_64_R12, (uint32_t)FVCRASH_X86_64_R13,
          (uint32_t)FVCRASH_X86_64_R14, (uint32_t)FVCRASH_X86_64_R15,
          (uint32_t)FVCRASH_X86_64_RBP}},
        // Frameless indirect: immediate at +0x20, adjust 2 words, 1 register.
        {0x03204400,
         FVCRASH_CPU_TYPE_X86_64,
         FVCRASH_ESUCCESS,
         3,
         0x20,
         16,
         {(uint32_t)FVCRASH_X86_64_RBX}},
        {0x04001234, FVCRASH_CPU_TYPE_X86_64, FVCRASH_ESUCCESS, 4, 0x1234, 0, {}},
        {0x05000000, FVCRASH_CPU_TYPE_X86_64, FVCRASH_ENOTSUP, 0, 0, 0, {}},
        // i386 words are 4 bytes; code 2 is ecx.
        {0x02030400, FVCRASH_CPU_TYPE_X86, FVCRASH_ESUCCESS, 2, 12, 0, {(uint32_t)FVCRASH_X86_EBX}},
        {0x02000000, 12, FVCRASH_ENOTSUP, 0, 0, 0, {}},  // 32-bit ARM
        // 64-bit ARM: frameless, frame with two register pairs, DWARF.
        {0x02003000, FVCRASH_CPU_TYPE_ARM64, FVCRASH_ESUCCESS, 2, 48, 0, {}},
        {0x04000005, FVCRASH_CPU_TYPE_ARM64, FVCRASH_ESUCCESS, 1, -32, 0, {19, 20, 23, 24}},
        {0x03000040, FVCRASH_CPU_TYPE_ARM64, FVCRASH_ESUCCESS, 4, 0x40, 0, {}},
    };
    for (const auto& c : cases) {
        fvcrash_compact_unwind_entry entry;
        ASSERT_EQ(fvcrash_compact_unwind_decode(&entry, c.encoding, c.cpu), c.status)
            << std::hex << c.encoding;
        if (c.status != FVCRASH_ESUCCESS) continue;
        EXPECT_EQ(entry.kind, c.kind) << std::hex << c.encoding;
        EXPECT_EQ(entry.stack_value, c.stackValue) << std::hex << c.encoding;
        EXPECT_EQ(entry.stack_adjust, c.stackAdjust) << std::hex << c.encoding;
        EXPECT_EQ(std::vector<uint32_t>(entry.registers, entry.registers + entry.register_count),
                  c.registers)
            << std::hex << c.encoding;
    }
}

TEST(FVCrashCompactUnwind, PermutationsRoundTrip) {
    const uint32_t limits[] = {1, 6, 30, 120, 360, 720, 720};
    for (uint32_t n = 0; n <= 6; ++n) {
        for (uint32_t p = 0; p < limits[n]; ++p) {
            uint32_t codes[6] = {};
            ASSERT_EQ(fvcrash_compact_unwind_decode_permutation(p, n, codes), FVCRASH_ESUCCESS);
            bool seen[7] = {};
            for (uint32_t i = 0; i < n; ++i) {
                ASSERT_GE(codes[i], 1u);
                ASSERT_LE(codes[i], 6u);
                ASSERT_FALSE(seen[codes[i]]);
                seen[codes[i]] = true;
            }
            if (n > 0) {
                EXPECT_EQ(fvcrash_compact_unwind_encode_permutation(codes, n), p);
            }
        }
    }
    uint32_t codes[7];
    EXPECT_EQ(fvcrash_compact_unwind_decode_permutation(0, 7, codes), FVCRASH_EINVAL);
}

fvcrash_thread_state stateAt(uint64_t sp, uint64_t fp) {
    fvcrash_thread_state state;
    fvcrash_thread_state_for_cpu(&state, FVCRASH_CPU_TYPE_X86_64);
    fvcrash_thread_state_write_reg(&state, FVCRASH_REG_SP, sp);
    fvcrash_thread_state_write_reg(&state, FVCRASH_REG_FP, fp);
    fvcrash_thread_state_write_reg(&state, FVCRASH_REG_IP, 0x400000);
    return state;
}

TEST(FVCrashCompactUnwind, Applying) {
    fvcrash_compact_unwind_entry entry;
    fvcrash_thread_state caller;
    // Frame: [empty slot, saved rbx, saved fp, return address].
    uint64_t frame[4] = {0xDEAD, 0xB0B0, 0x7777, 0x401000};
    const uint64_t fp = reinterpret_cast<uintptr_t>(&frame[2]);
    ASSERT_EQ(fvcrash_compact_unwind_decode(&entry, 0x01020008, FVCRASH_CPU_TYPE_X86_64),
              FVCRASH_ESUCCESS);
    fvcrash_thread_state current = stateAt(fp - 64, fp);
    ASSERT_EQ(fvcrash_compact_unwind_apply(fvcrash_task_self(), 0, &current, &entry, &caller),
              FVCRASH_ESUCCESS);
    EXPECT_EQ(fvcrash_thread_state_read_reg(&caller, FVCRASH_REG_IP), 0x401000u);
    EXPECT_EQ(fvcrash_thread_state_read_reg(&caller, FVCRASH_REG_FP), 0x7777u);
    EXPECT_EQ(fvcrash_thread_state_read_reg(&caller, FVCRASH_REG_SP), fp + 16);
    EXPECT_EQ(fvcrash_thread_state_read_reg(&caller, FVCRASH_X86_64_RBX), 0xB0B0u);

    // Frameless, 32 bytes with two registers saved below the return address.
    uint64_t stack[4] = {0x1212, 0xB0B0, 0x402000, 0};
    const uint64_t sp = reinterpret_cast<uintptr_t>(stack);
    uint32_t codes[2] = {2, 1};  // r12, rbx
    const uint32_t permutation = fvcrash_compact_unwind_encode_permutation(codes, 2);
    ASSERT_EQ(
        fvcrash_compact_unwind_decode(&entry, 0x02030800 | permutation, FVCRASH_CPU_TYPE_X86_64),
        FVCRASH_ESUCCESS);
    current = stateAt(sp, 0);
    ASSERT_EQ(fvcrash_compact_unwind_apply(fvcrash_task_self(), 0, &current, &entry, &caller),
              FVCRASH_ESUCCESS);
    EXPECT_EQ(fvcrash_thread_state_read_reg(&caller, FVCRASH_REG_IP), 0x402000u);
    EXPECT_EQ(fvcrash_thread_state_read_reg(&caller, FVCRASH_REG_SP), sp + 24);
    EXPECT_EQ(fvcrash_thread_state_read_reg(&caller, FVCRASH_X86_64_R12), 0x1212u);
    EXPECT_EQ(fvcrash_thread_state_read_reg(&caller, FVCRASH_X86_64_RBX), 0xB0B0u);

    // Indirect: the stack size is the immediate inside the function's code,
    // plus the adjustment.
    static const uint8_t code[8] = {0x48, 0x81, 0xEC, 0x08, 0, 0, 0, 0xC3};  // sub rsp, 8
    ASSERT_EQ(fvcrash_compact_unwind_decode(&entry, 0x03032000, FVCRASH_CPU_TYPE_X86_64),
              FVCRASH_ESUCCESS);  // immediate at +3, adjust 1 word, no registers
    ASSERT_EQ(fvcrash_compact_unwind_apply(fvcrash_task_self(), reinterpret_cast<uintptr_t>(code),
                                           &current, &entry, &caller),
              FVCRASH_ESUCCESS);
    EXPECT_EQ(fvcrash_thread_state_read_reg(&caller, FVCRASH_REG_SP), sp + 16);
    EXPECT_EQ(fvcrash_thread_state_read_reg(&caller, FVCRASH_REG_IP), 0xB0B0u);

    ASSERT_EQ(fvcrash_compact_unwind_decode(&entry, 0x04000010, FVCRASH_CPU_TYPE_X86_64),
              FVCRASH_ESUCCESS);
    EXPECT_EQ(fvcrash_compact_unwind_apply(fvcrash_task_self(), 0, &current, &entry, &caller),
              FVCRASH_ENOTSUP);
    fvcrash_thread_state_invalidate_reg(&current, FVCRASH_REG_SP);
    ASSERT_EQ(fvcrash_compact_unwind_decode(&entry, 0x02020000, FVCRASH_CPU_TYPE_X86_64),
              FVCRASH_ESUCCESS);
    EXPECT_EQ(fvcrash_compact_unwind_apply(fvcrash_task_self(), 0, &current, &entry, &caller),
              FVCRASH_ENOTFOUND);
}

void put32(std::vector<uint8_t>& out, size_t at, uint32_t value) {
    if (out.size() < at + 4) out.resize(at + 4, 0);
    std::memcpy(out.data() + at, &value, 4);
}

void put16(std::vector<uint8_t>& out, size_t at, uint16_t value) {
    if (out.size() < at + 2) out.resize(at + 2, 0);
    std::memcpy(out.data() + at, &value, 2);
}

/// A table with one common encoding, a regular page at 0x100 (functions at
/// 0x1000 and 0x1100) and a compressed page at 0x200 (functions at 0x2000
/// and 0x2040, a common and a page encoding).
std::vector<uint8_t> handTable() {
    std::vector<uint8_t> t(0x300, 0);
    const uint32_t header[7] = {1, 28, 1, 32, 0, 32, 3};
    for (int i = 0; i < 7; ++i) put32(t, i * 4, header[i]);
    put32(t, 28, 0x01000000);  // common encoding 0
    // Index: 0x1000 -> page 0x100, 0x2000 -> page 0x200, sentinel 0x1F00.
    put32(t, 32, 0x1000), put32(t, 36, 0x100);
    put32(t, 44, 0x2000), put32(t, 48, 0x200);
    put32(t, 56, 0x1F00);
    // Regular page.
    put32(t, 0x100, 2), put16(t, 0x104, 8), put16(t, 0x106, 2);
    put32(t, 0x108, 0x1000), put32(t, 0x10C, 0x02010000);
    put32(t, 0x110, 0x1100), put32(t, 0x114, 0x02020000);
    // Compressed page: entries at +12, encodings at +20 (one).
    put32(t, 0x200, 3), put16(t, 0x204, 12), put16(t, 0x206, 2), put16(t, 0x208, 20),
        put16(t, 0x20A, 1);
    put32(t, 0x20C, 0x00000000);  // +0, common encoding 0
    put32(t, 0x210, 0x01000040);  // +0x40, page encoding 0
    put32(t, 0x214, 0x02040000);
    return t;
}

TEST(FVCrashCompactUnwind, HandMadeTables) {
    std::vector<uint8_t> table = handTable();
    auto find = [&](uint64_t pc, uint32_t* function, uint32_t* encoding) {
        fvcrash_task_mapping mapping;
        EXPECT_EQ(fvcrash_task_mapping_init(&mapping, fvcrash_task_self(),
                                            reinterpret_cast<uintptr_t>(table.data()), table.size(),
                                            true),
                  FVCRASH_ESUCCESS);
        fvcrash_compact_unwind_reader reader;
        EXPECT_EQ(fvcrash_compact_unwind_reader_init(&reader, &mapping, FVCRASH_CPU_TYPE_X86),
                  FVCRASH_ESUCCESS);
        return fvcrash_compact_unwind_find_encoding(&reader, pc, function, encoding);
    };
    const struct {
        uint64_t pc;
        fvcrash_status status;
        uint32_t function;
        uint32_t encoding;
    } cases[] = {
        {0x0FFF, FVCRASH_ENOTFOUND, 0, 0},
        {0x1000, FVCRASH_ESUCCESS, 0x1000, 0x02010000},
        {0x10FF, FVCRASH_ESUCCESS, 0x1000, 0x02010000},
        {0x1100, FVCRASH_ESUCCESS, 0x1100, 0x02020000},
        {0x2010, FVCRASH_ESUCCESS, 0x2000, 0x01000000},
        {0x2040, FVCRASH_ESUCCESS, 0x2040, 0x02040000},
        // The sentinel (0x1F00) lies below the last real entry, which still
        // takes every pc at or above it.
        {0x9000, FVCRASH_ESUCCESS, 0x2040, 0x02040000},
    };
    for (const auto& c : cases) {
        uint32_t function = 0, encoding = 0;
        ASSERT_EQ(find(c.pc, &function, &encoding), c.status) << std::hex << c.pc;
        if (c.status != FVCRASH_ESUCCESS) continue;
        EXPECT_EQ(function, c.function) << std::hex << c.pc;
        EXPECT_EQ(encoding, c.encoding) << std::hex << c.pc;
    }
    uint32_t function, encoding;
    // A page encoding index of common count + page count is refused.
    put32(table, 0x210, 0x02000040);
    EXPECT_EQ(find(0x2040, &function, &encoding), FVCRASH_EINVAL);
    // An unknown page kind.
    table = handTable();
    put32(table, 0x100, 7);
    EXPECT_EQ(find(0x1000, &function, &encoding), FVCRASH_EINVAL);
    // Only the sentinel: nothing is found.
    table = handTable();
    put32(table, 24, 1);
    EXPECT_EQ(find(0x1000, &function, &encoding), FVCRASH_ENOTFOUND);
    // Version 2 and unknown processors are refused.
    table = handTable();
    put32(table, 0, 2);
    fvcrash_task_mapping mapping;
    ASSERT_EQ(
        fvcrash_task_mapping_init(&mapping, fvcrash_task_self(),
                                  reinterpret_cast<uintptr_t>(table.data()), table.size(), true),
        FVCRASH_ESUCCESS);
    fvcrash_compact_unwind_reader reader;
    EXPECT_EQ(fvcrash_compact_unwind_reader_init(&reader, &mapping, FVCRASH_CPU_TYPE_X86),
              FVCRASH_ENOTSUP);
    EXPECT_EQ(fvcrash_compact_unwind_reader_init(&reader, &mapping, 12), FVCRASH_ENOTSUP);
}

TEST(FVCrashCompactUnwind, ElfImagesHaveNoTable) {
    fvcrash_image_list* images = fvcrash_shared_image_list();
    fvcrash_thread_state current;
    fvcrash_thread_state_for_cpu(&current, FVCRASH_CPU_TYPE_X86_64);
    fvcrash_thread_state_write_reg(&current, FVCRASH_REG_IP,
                                   reinterpret_cast<uintptr_t>(&fvcrash_stack_error_text));
    fvcrash_thread_state caller;
    EXPECT_EQ(
        fvcrash_stack_read_compact_unwind(fvcrash_task_self(), images, &current, nullptr, &caller),
        FVCRASH_STACK_ENOTSUP);
}

}  // namespace

#include <unwind.h>

#include <algorithm>

#include "FVCrashReporter/Source/crash/FVCrashImageList.h"
#include "FVCrashReporter/Source/crash/FVCrashStackCursor.h"
#include "FVCrashReporter/Source/crash/FVCrashSymbols.h"

namespace {

struct ChainWalk {
    std::vector<uint64_t> pcs;
    std::vector<uint64_t> lookups;
    std::vector<uint64_t> libgcc;
};

ChainWalk* g_chainWalk = nullptr;

fvcrash_status walkChain(fvcrash_thread_state* state, void*) {
    fvcrash_stack_cursor cursor;
    fvcrash_stack_cursor_from_state(&cursor, fvcrash_task_self(), state,
                                    fvcrash_shared_image_list());
    while (fvcrash_stack_cursor_step(&cursor) == FVCRASH_STACK_OK && g_chainWalk->pcs.size() < 64) {
        uint64_t ip = 0;
        fvcrash_stack_cursor_read_reg(&cursor, FVCRASH_REG_IP, &ip);
        g_chainWalk->pcs.push_back(ip);
        g_chainWalk->lookups.push_back(fvcrash_stack_cursor_lookup_pc(&cursor));
    }
    fvcrash_stack_cursor_release(&cursor);
    return FVCRASH_ESUCCESS;
}

extern "C" __attribute__((noinline)) long chainEnd(long, void**) {
    fvcrash_thread_state_capture_current(walkChain, nullptr);
    asm volatile("" ::: "memory");
    return 1;
}

_Unwind_Reason_Code collectChain(_Unwind_Context* context, void* argument) {
    const uint64_t ip = _Unwind_GetIP(context);
    if (ip != 0) static_cast<std::vector<uint64_t>*>(argument)->push_back(ip);
    return _URC_NO_REASON;
}

__attribute__((noinline)) long enterChain(void** chain) {
    _Unwind_Backtrace(collectChain, &g_chainWalk->libgcc);
    const long r = reinterpret_cast<long (*)(long, void**)>(chain[0])(1, chain);
    asm volatile("" ::: "memory");
    return r;
}

void nameOf(uint64_t address, const char* name, void* context) {
    (void)address;
    *static_cast<std::string*>(context) = name;
}

TEST(FVCrashCompactUnwind, LiveWalkThroughFixtureFramesIntoElfFrames) {
    if (kFixtures.empty()) GTEST_SKIP() << "clang, lld or the llvm tools are missing";
    std::string error;
    auto fp = testsupport::LoadedMachO::loadFile(kFixtures + "/chain_fp.dylib", &error);
    ASSERT_TRUE(fp) << error;
    auto nofp = testsupport::LoadedMachO::loadFile(kFixtures + "/chain_nofp.dylib", &error);
    ASSERT_TRUE(nofp) << error;
    fvcrash_image_list* images = fvcrash_shared_image_list();
    ASSERT_EQ(fvcrash_image_list_append(images, fp->header(), "chain_fp"), FVCRASH_ESUCCESS);
    ASSERT_EQ(fvcrash_image_list_append(images, nofp->header(), "chain_nofp"), FVCRASH_ESUCCESS);
    auto function = [&](const testsupport::LoadedMachO& image, const char* name) {
        fvcrash_image_list_set_reading(images, true);
        fvcrash_image* record = fvcrash_image_list_image_for_address(images, image.header());
        uint64_t address = 0;
        if (record) fvcrash_macho_lookup_symbol_by_name(&record->macho, name, &address);
        fvcrash_image_list_set_reading(images, false);
        return reinterpret_cast<void*>(address);
    };
    void* chain[] = {function(*fp, "_chain_small"),   function(*nofp, "_chain_small"),
                     function(*nofp, "_chain_large"), function(*nofp, "_chain_saved"),
                     function(*fp, "_chain_saved"),   reinterpret_cast<void*>(&chainEnd)};
    for (void* step : chain) ASSERT_NE(step, nullptr);

    ChainWalk walk;
    g_chainWalk = &walk;
    enterChain(chain);
    g_chainWalk = nullptr;

    // Frames 1-5 are the fixture's, innermost first, named by their symbols.
    ASSERT_GE(walk.pcs.size(), 8u);
    const struct {
        const testsupport::LoadedMachO* image;
        const char* name;
    } expected[] = {{fp.get(), "_chain_saved"},
                    {nofp.get(), "_chain_saved"},
                    {nofp.get(), "_chain_large"},
                    {nofp.get(), "_chain_small"},
                    {fp.get(), "_chain_small"}};
    fvcrash_image_list_set_reading(images, true);
    for (size_t i = 0; i < 5; ++i) {
        const fvcrash_image* record =
            fvcrash_image_list_image_for_address(images, walk.lookups[i + 1]);
        ASSERT_NE(record, nullptr) << i;
        EXPECT_EQ(fvcrash_image_header_address(record), expected[i].image->header()) << i;
        std::string name;
        EXPECT_EQ(fvcrash_lookup_symbol(record, 1, nullptr, walk.lookups[i + 1], nameOf, &name),
                  FVCRASH_ESUCCESS);
        EXPECT_EQ(name, expected[i].name) << i;
    }
    fvcrash_image_list_set_reading(images, false);
    // Then enterChain, and from its caller on the same frames as libgcc's.
    const auto at = std::find(walk.libgcc.begin(), walk.libgcc.end(), walk.pcs[7]);
    ASSERT_NE(at, walk.libgcc.end());
    EXPECT_EQ(std::vector<uint64_t>(walk.pcs.begin() + 7, walk.pcs.end()),
              std::vector<uint64_t>(at, walk.libgcc.end()));

    fvcrash_image_list_remove(images, fp->header());
    fvcrash_image_list_remove(images, nofp->header());
}

}  // namespace
