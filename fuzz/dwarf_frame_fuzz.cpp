// The call-frame reader over untrusted sections: the input is an
// .eh_frame (or __debug_frame) section, or an .eh_frame_hdr; every FDE the
// walk meets is parsed, its CIE's and its own instructions run and the rules
// applied to a register state whose stack is readable.
#include <cstddef>
#include <cstdint>

#include "FVCrashReporter/Source/crash/FVCrashDwarfFrame.h"
#include "GuardedBytes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > (1u << 20)) return 0;
    const uint8_t mode = data[0];
    GuardedBytes bytes(data + 1, size - 1);
    if (!bytes.ok()) return 0;
    fvcrash_task_mapping mapping;
    if (fvcrash_task_mapping_init(&mapping, fvcrash_task_self(), bytes.address(), size - 1, true) !=
        FVCRASH_ESUCCESS) {
        return 0;
    }
    const uint64_t base = bytes.address();
    if (mode & 0x40) {
        uint64_t ehFrame, fde;
        fvcrash_dwarf_hdr_eh_frame(&mapping, &ehFrame);
        fvcrash_dwarf_hdr_search(&mapping, base + (size - 1) / 2, &fde);
        fvcrash_dwarf_hdr_search(&mapping, ~uint64_t{0}, &fde);
        return 0;
    }
    const bool debugFrame = mode & 1;
    const bool m64 = !(mode & 2);
    const bool gnu = mode & 4;
    fvcrash_dwarf_frame_reader reader;
    fvcrash_dwarf_frame_reader_init(&reader, &mapping, &fvcrash_byte_order_direct, m64, debugFrame);
    fvcrash_dwarf_pointer_context context;
    fvcrash_dwarf_pointer_context_init(&context, &fvcrash_byte_order_direct, m64 ? 8 : 4);
    fvcrash_dwarf_pointer_context_set_data_base(&context, base);
    fvcrash_dwarf_pointer_context_set_text_base(&context, base);
    fvcrash_dwarf_pointer_context_set_frame_section(&context, base, 0x1000);
    context.personality_slot = mode & 8;  // as the stack walk parses CIEs

    static uint64_t stack[256];
    fvcrash_thread_state current;
    fvcrash_thread_state_for_cpu(&current, m64 ? FVCRASH_CPU_TYPE_X86_64 : FVCRASH_CPU_TYPE_X86);
    const uint64_t sp = reinterpret_cast<uintptr_t>(&stack[128]);
    const int count = fvcrash_thread_state_reg_count(&current);
    for (int reg = 0; reg < count; ++reg) fvcrash_thread_state_write_reg(&current, reg, sp);

    // Every FDE of the section, each at a few pcs.
    const uint64_t length = size - 1;
    uint64_t offset = 0;
    for (int entries = 0; entries < 64 && offset < length; ++entries) {
        fvcrash_dwarf_fde_info fde;
        fvcrash_dwarf_cie_info cie;
        if (fvcrash_dwarf_parse_fde(&fde, &cie, &mapping, &fvcrash_byte_order_direct, &context,
                                    base + offset, debugFrame) == FVCRASH_ESUCCESS) {
            const uint64_t pcs[] = {0, fde.pc_start,
                                    fde.pc_start + (fde.pc_end - fde.pc_start) / 2};
            for (uint64_t pc : pcs) {
                fvcrash_dwarf_cfa_state state;
                fvcrash_dwarf_cfa_state_init(&state);
                if (fvcrash_dwarf_run_cfa_program(&state, &mapping, pc, fde.pc_start, &cie,
                                                  &context, &fvcrash_byte_order_direct, base,
                                                  cie.instructions_offset, cie.instructions_length,
                                                  gnu) != FVCRASH_ESUCCESS ||
                    fvcrash_dwarf_run_cfa_program(&state, &mapping, pc, fde.pc_start, &cie,
                                                  &context, &fvcrash_byte_order_direct, base,
                                                  fde.instructions_offset, fde.instructions_length,
                                                  gnu) != FVCRASH_ESUCCESS) {
                    continue;
                }
                fvcrash_thread_state caller;
                fvcrash_dwarf_apply_cfa_state(&state, fvcrash_task_self(), &mapping, &cie, &current,
                                              &fvcrash_byte_order_direct, nullptr, &caller);
            }
        }
        uint32_t word;
        if (fvcrash_task_mapping_read_uint32(&mapping, &fvcrash_byte_order_direct, base + offset, 0,
                                             &word) != FVCRASH_ESUCCESS ||
            word == 0 || word == 0xFFFFFFFF) {
            break;
        }
        offset += 4 + uint64_t{word};
    }
    fvcrash_dwarf_fde_info fde;
    fvcrash_dwarf_cie_info cie;
    fvcrash_dwarf_find_fde(&reader, &context, 0, base + length / 2, &fde, &cie);
    return 0;
}
