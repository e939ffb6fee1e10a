// The call-frame reader on hand-made tables held in this process's memory:
// entry forms, augmentations and pointer encodings, the rule table and its
// levels, the instruction set's limits and applying rules to registers.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "FVCrashReporter/Source/crash/FVCrashDwarfFrame.h"

namespace {

using Bytes = std::vector<uint8_t>;

void put(Bytes& out, uint64_t value, int size) {
    for (int i = 0; i < size; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

/// A window over `bytes`; they must outlive it.
fvcrash_task_mapping window(const Bytes& bytes) {
    fvcrash_task_mapping mapping;
    EXPECT_EQ(
        fvcrash_task_mapping_init(&mapping, fvcrash_task_self(),
                                  reinterpret_cast<uintptr_t>(bytes.data()), bytes.size(), true),
        FVCRASH_ESUCCESS);
    return mapping;
}

uint64_t addressOf(const Bytes& bytes, size_t offset) {
    return reinterpret_cast<uintptr_t>(bytes.data()) + offset;
}

fvcrash_dwarf_pointer_context context64() {
    fvcrash_dwarf_pointer_context context;
    fvcrash_dwarf_pointer_context_init(&context, &fvcrash_byte_order_direct, 8);
    return context;
}

TEST(FVCrashDwarfFrame, EntryFormsAndAugmentations) {
    // 1: a CIE with a 64-bit length, version 3, "zR" 0x1B, and its FDE.
    // 2: a CIE "zPLR" (personality indirect through a word), version 1, and an
    //    FDE whose augmentation data holds an LSDA pointer.
    // 3: a version 4 CIE with address and segment sizes.
    static uint64_t personalitySlot = 0x1234567890ull;
    Bytes section(4096, 0);  // stable addresses: filled in place below
    Bytes out;
    // CIE 1 at 0.
    Bytes cie1 = {0, 0, 0, 0, 0, 0, 0, 0, 3, 'z', 'R', 0, 1, 0x78, 16, 1, 0x1B, 0x0C, 7, 8};
    put(out, 0xFFFFFFFF, 4);
    put(out, cie1.size(), 8);
    append(out, cie1);
    // FDE 1: 64-bit length, CIE pointer back to 0, pc start +0x100 from the field.
    const size_t fde1 = out.size();
    Bytes body;
    put(body, fde1 + 12, 8);  // distance back to the CIE
    put(body, 0x100, 4);      // pc start, relative to its own field
    put(body, 0x20, 4);       // range
    body.push_back(0);        // no augmentation data
    body.push_back(0x41);     // advance_loc 1
    put(out, 0xFFFFFFFF, 4);
    put(out, body.size(), 8);
    append(out, body);
    // CIE 2 "zPLR".
    const size_t cie2 = out.size();
    Bytes c2 = {0, 0, 0, 0, 1, 'z', 'P', 'L', 'R', 0, 1, 0x78, 16, 7, 0x80};  // indirect absolute
    put(c2, reinterpret_cast<uintptr_t>(&personalitySlot), 8);
    c2.push_back(0x1B);  // LSDA encoding
    c2.push_back(0x1B);  // FDE pointer encoding
    put(out, c2.size(), 4);
    append(out, c2);
    // FDE 2 with a 4-byte LSDA pointer in its augmentation data.
    const size_t fde2 = out.size();
    Bytes b2;
    put(b2, fde2 + 4 - cie2, 4);
    put(b2, static_cast<uint32_t>(-0x40), 4);  // pc start: 0x40 before its field
    put(b2, 0x10, 4);
    b2.push_back(4);
    put(b2, 0x0C0C0C0C, 4);  // an LSDA pointer that is no instruction
    b2.push_back(0x0E);
    b2.push_back(16);  // def_cfa_offset 16
    put(out, b2.size(), 4);
    append(out, b2);
    // CIE 3: version 4, no augmentation, address size 8, segment size 0.
    const size_t cie3 = out.size();
    Bytes c3 = {0, 0, 0, 0, 4, 0, 8, 0, 1, 0x78, 16};
    put(out, c3.size(), 4);
    append(out, c3);
    put(out, 0, 4);  // end
    std::memcpy(section.data(), out.data(), out.size());
    const fvcrash_task_mapping mapping = window(section);
    const fvcrash_dwarf_pointer_context context = context64();

    fvcrash_dwarf_fde_info fde;
    fvcrash_dwarf_cie_info cie;
    ASSERT_EQ(fvcrash_dwarf_parse_fde(&fde, &cie, &mapping, &fvcrash_byte_order_direct, &context,
                                      addressOf(section, fde1), false),
              FVCRASH_ESUCCESS);
    EXPECT_EQ(cie.version, 3);
    EXPECT_EQ(cie.pointer_encoding, 0x1B);
    EXPECT_EQ(fde.pc_start, addressOf(section, fde1 + 20) + 0x100);
    EXPECT_EQ(fde.pc_end, fde.pc_start + 0x20);
    EXPECT_EQ(fde.instructions_length, 1u);

    ASSERT_EQ(fvcrash_dwarf_parse_fde(&fde, &cie, &mapping, &fvcrash_byte_order_direct, &context,
                                      addressOf(section, fde2), false),
              FVCRASH_ESUCCESS);
    EXPECT_TRUE(cie.has_personality);
    EXPECT_EQ(cie.personality, personalitySlot);
    EXPECT_TRUE(cie.has_lsda_encoding);
    EXPECT_EQ(fde.pc_start, addressOf(section, fde2 + 8) - 0x40);
    EXPECT_EQ(fde.instructions_offset, fde2 + 4 + b2.size() - 2);  // after the LSDA pointer
    EXPECT_EQ(fde.instructions_length, 2u);

    fvcrash_dwarf_cie_info v4;
    ASSERT_EQ(fvcrash_dwarf_parse_cie(&v4, &mapping, &fvcrash_byte_order_direct, &context,
                                      addressOf(section, cie3)),
              FVCRASH_ESUCCESS);
    EXPECT_EQ(v4.version, 4);
    EXPECT_EQ(v4.address_size, 8);
    EXPECT_EQ(v4.return_address_register, 16u);
    EXPECT_EQ(v4.data_alignment, -8);

    // The walk finds the FDE that covers a pc and nothing past the terminator.
    fvcrash_dwarf_frame_reader reader;
    fvcrash_dwarf_frame_reader_init(&reader, &mapping, &fvcrash_byte_order_direct, true, false);
    EXPECT_EQ(fvcrash_dwarf_find_fde(&reader, &context, 0, addressOf(section, fde2 + 8) - 0x3F,
                                     &fde, &cie),
              FVCRASH_ESUCCESS);
    EXPECT_EQ(fde.offset, fde2 + 4);
    EXPECT_EQ(fvcrash_dwarf_find_fde(&reader, &context, 0, 0x10, &fde, &cie), FVCRASH_ENOTFOUND);
    EXPECT_EQ(fvcrash_dwarf_find_fde(&reader, &context, 4096, 0x10, &fde, &cie), FVCRASH_EINVAL);

    // A section that starts with a zero length holds nothing.
    Bytes empty(16, 0);
    const fvcrash_task_mapping emptyWindow = window(empty);
    fvcrash_dwarf_frame_reader_init(&reader, &emptyWindow, &fvcrash_byte_order_direct, true, false);
    EXPECT_EQ(fvcrash_dwarf_find_fde(&reader, &context, 0, 0x10, &fde, &cie), FVCRASH_ENOTFOUND);

    // Bad CIEs.
    const struct {
        Bytes content;
        fvcrash_status status;
    } bad[] = {
        {{0, 0, 0, 0, 2, 0, 1, 0x78, 16}, FVCRASH_EINVAL},                     // version 2
        {{0, 0, 0, 0, 1, 'e', 'h', 0, 1, 0x78, 16}, FVCRASH_ENOTSUP},          // not "z"
        {{1, 0, 0, 0, 1, 0, 1, 0x78, 16}, FVCRASH_EINVAL},                     // identifier
        {{0, 0, 0, 0, 1, 'z', 'R', 0, 1, 0x78, 16, 9, 0x1B}, FVCRASH_EINVAL},  // data past the end
    };
    for (const auto& c : bad) {
        Bytes entry;
        put(entry, c.content.size(), 4);
        append(entry, c.content);
        entry.resize(entry.size() + 8, 0);
        const fvcrash_task_mapping w = window(entry);
        fvcrash_dwarf_cie_info info;
        EXPECT_EQ(fvcrash_dwarf_parse_cie(&info, &w, &fvcrash_byte_order_direct, &context,
                                          addressOf(entry, 0)),
                  c.status);
    }
}

TEST(FVCrashDwarfFrame, DebugFrameIdentifiers) {
    // __debug_frame: CIE id all ones, the FDE's CIE pointer a section offset,
    // pc values absolute words.
    Bytes section;
    Bytes cie = {0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 1, 0x78, 16, 0x0C, 7, 8};
    put(section, cie.size(), 4);
    append(section, cie);
    const size_t fdeAt = section.size();
    Bytes fde;
    put(fde, 0, 4);  // the CIE at offset 0
    put(fde, 0x5000, 8);
    put(fde, 0x100, 8);
    put(section, fde.size(), 4);
    append(section, fde);
    put(section, 0, 4);
    const fvcrash_task_mapping mapping = window(section);
    const fvcrash_dwarf_pointer_context context = context64();
    fvcrash_dwarf_frame_reader reader;
    fvcrash_dwarf_frame_reader_init(&reader, &mapping, &fvcrash_byte_order_direct, true, true);
    fvcrash_dwarf_fde_info info;
    fvcrash_dwarf_cie_info cieInfo;
    ASSERT_EQ(fvcrash_dwarf_find_fde(&reader, &context, 0, 0x50FF, &info, &cieInfo),
              FVCRASH_ESUCCESS);
    EXPECT_EQ(info.offset, fdeAt + 4);
    EXPECT_EQ(info.pc_start, 0x5000u);
    EXPECT_EQ(cieInfo.identifier, 0xFFFFFFFFu);
    EXPECT_EQ(fvcrash_dwarf_find_fde(&reader, &context, 0, 0x5100, &info, &cieInfo),
              FVCRASH_ENOTFOUND);
}

TEST(FVCrashDwarfFrame, PointerEncodings) {
    static uint64_t target = 0xABCDEF;
    Bytes data(64, 0);
    data[0] = 0xF0;  // sdata2 -16
    data[1] = 0xFF;
    const uint64_t slot = reinterpret_cast<uintptr_t>(&target);
    for (int i = 0; i < 8; ++i) data[8 + i] = static_cast<uint8_t>(slot >> (8 * i));
    data[16] = 0xE5;  // uleb 624485
    data[17] = 0x8E;
    data[18] = 0x26;
    const fvcrash_task_mapping mapping = window(data);
    const uint64_t base = addressOf(data, 0);
    fvcrash_dwarf_pointer_context context = context64();
    uint64_t value = 0, size = 0;
    EXPECT_EQ(fvcrash_dwarf_read_pointer(&context, &mapping, base, 0, 0x0A, &value, &size),
              FVCRASH_ESUCCESS);
    EXPECT_EQ(value, static_cast<uint64_t>(-16));
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(fvcrash_dwarf_read_pointer(&context, &mapping, base, 0, 0x1A, &value, &size),
              FVCRASH_ESUCCESS);
    EXPECT_EQ(value, base - 16);
    EXPECT_EQ(fvcrash_dwarf_read_pointer(&context, &mapping, base, 8, 0x80, &value, &size),
              FVCRASH_ESUCCESS);  // indirect
    EXPECT_EQ(value, 0xABCDEFu);
    EXPECT_EQ(fvcrash_dwarf_read_pointer(&context, &mapping, base, 16, 0x01, &value, &size),
              FVCRASH_ESUCCESS);
    EXPECT_EQ(value, 624485u);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(fvcrash_dwarf_read_pointer(&context, &mapping, base, 0, 0xFF, &value, &size),
              FVCRASH_ENOTFOUND);
    EXPECT_EQ(fvcrash_dwarf_read_pointer(&context, &mapping, base, 0, 0x30, &value, &size),
              FVCRASH_ENOTSUP);  // no data base
    EXPECT_EQ(fvcrash_dwarf_read_pointer(&context, &mapping, base, 0, 0x50, &value, &size),
              FVCRASH_ENOTSUP);  // no frame section
    EXPECT_EQ(fvcrash_dwarf_read_pointer(&context, &mapping, base, 0, 0x07, &value, &size),
              FVCRASH_ENOTSUP);
    fvcrash_dwarf_pointer_context_set_data_base(&context, 0x1000);
    EXPECT_EQ(fvcrash_dwarf_read_pointer(&context, &mapping, base, 0, 0x3A, &value, &size),
              FVCRASH_ESUCCESS);
    EXPECT_EQ(value, 0x1000u - 16);
    // Aligned: padding up to the next word of the image address.
    fvcrash_dwarf_pointer_context_set_frame_section(&context, base, 0x2003);
    EXPECT_EQ(fvcrash_dwarf_read_pointer(&context, &mapping, base, 0, 0x50, &value, &size),
              FVCRASH_ESUCCESS);
    EXPECT_EQ(size, 13u);  // 5 bytes of padding to 0x2008, then a word
    EXPECT_EQ(fvcrash_dwarf_read_pointer(&context, &mapping, base, 60, 0x04, &value, &size),
              FVCRASH_EINVAL);  // runs past the window
}

/// Runs `program` against a CIE with code alignment 1 and data alignment -8.
fvcrash_status run(fvcrash_dwarf_cfa_state* state, const Bytes& program, uint64_t pc = 0,
                   bool gnu = true, uint64_t codeAlignment = 1) {
    static Bytes storage;
    storage = program;
    storage.push_back(0);
    const fvcrash_task_mapping mapping = window(storage);
    fvcrash_dwarf_cie_info cie = {};
    cie.code_alignment = codeAlignment;
    cie.data_alignment = -8;
    cie.return_address_register = 16;
    const fvcrash_dwarf_pointer_context context = context64();
    return fvcrash_dwarf_run_cfa_program(state, &mapping, pc, 0x100, &cie, &context,
                                         &fvcrash_byte_order_direct, addressOf(storage, 0), 0,
                                         program.size(), gnu);
}

TEST(FVCrashDwarfFrame, ProgramLimits) {
    fvcrash_dwarf_cfa_state state;
    uint8_t kind;
    int64_t value;
    const struct {
        const char* name;
        Bytes program;
        fvcrash_status status;
    } cases[] = {
        {"restore_state at level 0", {0x0B}, FVCRASH_EINVAL},
        {"five remembered levels", {0x0A, 0x0A, 0x0A, 0x0A, 0x0A}, FVCRASH_ESUCCESS},
        {"a seventh level", {0x0A, 0x0A, 0x0A, 0x0A, 0x0A, 0x0A}, FVCRASH_ENOMEM},
        {"vendor opcode", {0x2D}, FVCRASH_ENOTSUP},
        {"def_cfa_offset without a register CFA", {0x0E, 8}, FVCRASH_EINVAL},
        {"def_cfa_register without a CFA", {0x0D, 6}, FVCRASH_EINVAL},
        {"operand cut short", {0x0C, 7}, FVCRASH_EINVAL},
        {"register above 32 bits", {0x07, 0x80, 0x80, 0x80, 0x80, 0x10}, FVCRASH_ENOTSUP},
        {"factored offset overflow",
         {0x05, 3, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x3F},
         FVCRASH_EINVAL},
        {"expression past the end", {0x10, 3, 9, 0x30}, FVCRASH_EINVAL},
        {"args_size", {0x2E, 0x10}, FVCRASH_ESUCCESS},
    };
    for (const auto& c : cases) {
        fvcrash_dwarf_cfa_state_init(&state);
        EXPECT_EQ(run(&state, c.program), c.status) << c.name;
    }
    fvcrash_dwarf_cfa_state_init(&state);
    EXPECT_EQ(run(&state, {0x2E, 0x10}, 0, false), FVCRASH_ENOTSUP);  // not on Mach-O
    fvcrash_dwarf_cfa_state_init(&state);
    EXPECT_EQ(run(&state, {0x04, 0xFF, 0xFF, 0xFF, 0xFF}, 0, true, uint64_t{1} << 40),
              FVCRASH_EINVAL);  // advance overflows the location

    // The rule table holds 100 rules in all.
    fvcrash_dwarf_cfa_state_init(&state);
    for (uint32_t reg = 0; reg < 100; ++reg) {
        ASSERT_TRUE(fvcrash_dwarf_cfa_state_set_rule(&state, reg, FVCRASH_DWARF_RULE_OFFSET, 8));
    }
    EXPECT_FALSE(fvcrash_dwarf_cfa_state_set_rule(&state, 100, FVCRASH_DWARF_RULE_OFFSET, 8));
    EXPECT_FALSE(fvcrash_dwarf_cfa_state_push(&state));
    fvcrash_dwarf_cfa_state_remove_rule(&state, 14);
    EXPECT_TRUE(fvcrash_dwarf_cfa_state_set_rule(&state, 100, FVCRASH_DWARF_RULE_OFFSET, 8));
    EXPECT_FALSE(fvcrash_dwarf_cfa_state_get_rule(&state, 14, &kind, &value));
    EXPECT_EQ(fvcrash_dwarf_cfa_state_rule_count(&state), 100);
}

TEST(FVCrashDwarfFrame, RulesAcrossLocationsAndLevels) {
    fvcrash_dwarf_cfa_state state;
    uint8_t kind;
    int64_t value;
    // CIE: CFA = rsp + 8, rip at CFA - 8; rbx at CFA - 16.
    fvcrash_dwarf_cfa_state_init(&state);
    ASSERT_EQ(run(&state, {0x0C, 7, 8, 0x90, 1, 0x83, 2}), FVCRASH_ESUCCESS);
    // FDE: remember; at +4 CFA offset 32 and rbp at CFA - 24; restore_extended
    // rbp (no initial rule: undefined) and rbx (back to CFA - 16);
    // restore_state; at +8 offset 48.
    const Bytes program = {0x0A, 0x44, 0x0E, 32, 0x86, 3,    0x83, 5,
                           0x06, 6,    0x06, 3,  0x0B, 0x44, 0x0E, 48};
    fvcrash_dwarf_cfa_state fde = state;
    ASSERT_EQ(run(&fde, program, 0x103), FVCRASH_ESUCCESS);  // stops before +4
    EXPECT_EQ(fvcrash_dwarf_cfa_state_get_cfa(&fde).offset, 8);
    EXPECT_EQ(fde.current, 1);  // remembered, not yet restored

    fde = state;
    ASSERT_EQ(run(&fde, {0x0A, 0x44, 0x0E, 32, 0x86, 3, 0x83, 5, 0x06, 6, 0x06, 3}, 0x104),
              FVCRASH_ESUCCESS);  // an instruction at exactly the pc runs
    EXPECT_EQ(fvcrash_dwarf_cfa_state_get_cfa(&fde).offset, 32);
    EXPECT_FALSE(fvcrash_dwarf_cfa_state_get_rule(&fde, 6, &kind, &value));
    ASSERT_TRUE(fvcrash_dwarf_cfa_state_get_rule(&fde, 3, &kind, &value));
    EXPECT_EQ(value, -16);
    ASSERT_TRUE(fvcrash_dwarf_cfa_state_get_rule(&fde, 16, &kind, &value));
    EXPECT_EQ(value, -8);

    fde = state;
    ASSERT_EQ(run(&fde, program, 0x107), FVCRASH_ESUCCESS);
    EXPECT_EQ(fde.current, 0);  // restore_state brought back the remembered rules
    EXPECT_EQ(fvcrash_dwarf_cfa_state_get_cfa(&fde).offset, 8);
    EXPECT_EQ(fvcrash_dwarf_cfa_state_rule_count(&fde), 2);
    fde = state;
    ASSERT_EQ(run(&fde, program, 0x108), FVCRASH_ESUCCESS);
    EXPECT_EQ(fvcrash_dwarf_cfa_state_get_cfa(&fde).offset, 48);
}

TEST(FVCrashDwarfFrame, ApplyingRules) {
    // A frame: CFA = rsp + 16; return address at CFA - 8, rbx at CFA - 16,
    // r12 by expression (CFA - 16 + 0), rbp same value.
    uint64_t stack[4] = {0x1111, 0x401234, 0, 0};
    const uint64_t rsp = reinterpret_cast<uintptr_t>(stack);
    fvcrash_thread_state current;
    fvcrash_thread_state_for_cpu(&current, FVCRASH_CPU_TYPE_X86_64);
    fvcrash_thread_state_write_reg(&current, FVCRASH_REG_SP, rsp);
    fvcrash_thread_state_write_reg(&current, FVCRASH_REG_IP, 0x400000);
    fvcrash_thread_state_write_reg(&current, FVCRASH_REG_FP, 0x7777);
    fvcrash_thread_state_write_reg(&current, FVCRASH_X86_64_RAX, 0x9999);

    const Bytes program = {0x0C, 7, 16, 0x90, 1, 0x83, 2, 0x10, 12, 3, 0x11, 0x70, 0x22, 0x08, 6};
    fvcrash_dwarf_cfa_state state;
    fvcrash_dwarf_cie_info cie = {};
    cie.return_address_register = 16;
    fvcrash_thread_state caller;
    // Expression rules are read back from the window they were found in.
    Bytes copy = program;
    copy.push_back(0);
    fvcrash_dwarf_cfa_state_init(&state);
    const fvcrash_task_mapping mapping = window(copy);
    fvcrash_dwarf_cie_info runCie = {};
    runCie.code_alignment = 1;
    runCie.data_alignment = -8;
    runCie.return_address_register = 16;
    const fvcrash_dwarf_pointer_context context = context64();
    ASSERT_EQ(fvcrash_dwarf_run_cfa_program(&state, &mapping, 0, 0, &runCie, &context,
                                            &fvcrash_byte_order_direct, addressOf(copy, 0), 0,
                                            program.size(), true),
              FVCRASH_ESUCCESS);
    ASSERT_EQ(fvcrash_dwarf_apply_cfa_state(&state, fvcrash_task_self(), &mapping, &cie, &current,
                                            &fvcrash_byte_order_direct, nullptr, &caller),
              FVCRASH_ESUCCESS);
    EXPECT_EQ(fvcrash_thread_state_read_reg(&caller, FVCRASH_REG_SP), rsp + 16);
    EXPECT_EQ(fvcrash_thread_state_read_reg(&caller, FVCRASH_REG_IP), 0x401234u);  // via DWARF 16
    EXPECT_EQ(fvcrash_thread_state_read_reg(&caller, FVCRASH_X86_64_RBX), 0x1111u);
    EXPECT_EQ(fvcrash_thread_state_read_reg(&caller, FVCRASH_X86_64_R12), 0x1111u);
    EXPECT_EQ(fvcrash_thread_state_read_reg(&caller, FVCRASH_REG_FP), 0x7777u);
    EXPECT_FALSE(fvcrash_thread_state_is_valid_reg(&caller, FVCRASH_X86_64_RAX));
    EXPECT_TRUE(caller.frame_flags & FVCRASH_FRAME_RETURN_ADDRESS);

    // Through a signal-frame CIE the caller's pc is exact.
    cie.signal_frame = true;
    ASSERT_EQ(fvcrash_dwarf_apply_cfa_state(&state, fvcrash_task_self(), &mapping, &cie, &current,
                                            &fvcrash_byte_order_direct, nullptr, &caller),
              FVCRASH_ESUCCESS);
    EXPECT_FALSE(caller.frame_flags & FVCRASH_FRAME_RETURN_ADDRESS);

    // No rule for the return address and no register for it: the walk ends.
    fvcrash_dwarf_cfa_state_remove_rule(&state, 16);
    EXPECT_EQ(fvcrash_dwarf_apply_cfa_state(&state, fvcrash_task_self(), &mapping, &cie, &current,
                                            &fvcrash_byte_order_direct, nullptr, &caller),
              FVCRASH_EINVAL);
    // A rule for a register without a mapping that is not the return address.
    fvcrash_dwarf_cfa_state_set_rule(&state, 17, FVCRASH_DWARF_RULE_OFFSET, -8);
    EXPECT_EQ(fvcrash_dwarf_apply_cfa_state(&state, fvcrash_task_self(), &mapping, &cie, &current,
                                            &fvcrash_byte_order_direct, nullptr, &caller),
              FVCRASH_EINVAL);
}

}  // namespace

#include "FVCrashReporter/Source/crash/FVCrashImageList.h"
#include "support/EhFrameWriter.h"
#include "support/MachOLoader.h"

namespace {

using namespace testsupport;

TEST(FVCrashDwarfFrame, ReaderOnAMachOImage) {
    // push rbp; mov rbp, rsp; pop rbp; ret; then nops for a third function.
    platform::Data code = {0x55, 0x48, 0x89, 0xE5, 0x5D, 0xC3};
    code.resize(0x20, 0x90);
    const std::vector<EhFrameFde> fdes = {
        {0x1000, 6,
         join({cfa::advanceLoc(1), cfa::defCfaOffset(16), cfa::offset(6, 2), cfa::advanceLoc(3),
               cfa::defCfaRegister(6)})},
        {0x1010, 8, {0x2E, 0x08}},  // DW_CFA_GNU_args_size
    };
    std::string error;
    auto loaded = LoadedMachO::load(machOWithEhFrame(code, EhFrameCie{}, fdes), &error);
    ASSERT_TRUE(loaded) << error;
    fvcrash_image_list list;
    ASSERT_TRUE(fvcrash_image_list_init(&list, fvcrash_task_self()));
    ASSERT_EQ(fvcrash_image_list_append(&list, loaded->header(), "frames"), FVCRASH_ESUCCESS);
    const uint64_t text = loaded->header() + kEhFrameMachOTextAddress;

    uint64_t frame[2] = {0x5555, 0x401234};  // saved rbp, return address
    const uint64_t rbp = reinterpret_cast<uintptr_t>(frame);
    fvcrash_thread_state current;
    fvcrash_thread_state_for_cpu(&current, FVCRASH_CPU_TYPE_X86_64);
    fvcrash_thread_state_write_reg(&current, FVCRASH_REG_FP, rbp);
    fvcrash_thread_state_write_reg(&current, FVCRASH_REG_SP, rbp - 32);
    fvcrash_thread_state caller;
    // At +4 the CFA is rbp + 16; the same pc reached as a return address
    // (+5) is looked up one byte back.
    for (const auto& [pc, flags] :
         {std::pair<uint64_t, uint32_t>{text + 4, 0}, {text + 5, FVCRASH_FRAME_RETURN_ADDRESS}}) {
        fvcrash_thread_state_write_reg(&current, FVCRASH_REG_IP, pc);
        current.frame_flags = flags;
        ASSERT_EQ(fvcrash_stack_read_dwarf(fvcrash_task_self(), &list, &current, nullptr, &caller),
                  FVCRASH_STACK_OK);
        EXPECT_EQ(fvcrash_thread_state_read_reg(&caller, FVCRASH_REG_IP), 0x401234u);
        EXPECT_EQ(fvcrash_thread_state_read_reg(&caller, FVCRASH_REG_FP), 0x5555u);
        EXPECT_EQ(fvcrash_thread_state_read_reg(&caller, FVCRASH_REG_SP), rbp + 16);
    }
    // On Mach-O the GNU opcode is not taken: the reader gives up and the
    // frame pointer reader is left to walk the frame.
    fvcrash_thread_state_write_reg(&current, FVCRASH_REG_IP, text + 0x12);
    current.frame_flags = 0;
    EXPECT_EQ(fvcrash_stack_read_dwarf(fvcrash_task_self(), &list, &current, nullptr, &caller),
              FVCRASH_STACK_ENOTSUP);
    // No FDE covers the gap between the functions.
    fvcrash_thread_state_write_reg(&current, FVCRASH_REG_IP, text + 0x8);
    EXPECT_EQ(fvcrash_stack_read_dwarf(fvcrash_task_self(), &list, &current, nullptr, &caller),
              FVCRASH_STACK_ENOTSUP);
    fvcrash_image_list_free(&list);
}

}  // namespace
