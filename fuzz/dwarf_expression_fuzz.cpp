// The DWARF expression evaluator over untrusted expressions, 64- and 32-bit,
// with registers pointing at readable memory.
#include <cstddef>
#include <cstdint>

#include "FVCrashReporter/Source/crash/FVCrashDwarfExpression.h"
#include "GuardedBytes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 4096) return 0;
    GuardedBytes bytes(data + 1, size - 1);
    if (!bytes.ok() || size == 1) return 0;
    fvcrash_task_mapping mapping;
    if (fvcrash_task_mapping_init(&mapping, fvcrash_task_self(), bytes.address(), size - 1, true) !=
        FVCRASH_ESUCCESS) {
        return 0;
    }
    static uint64_t stack[64];
    const uint64_t sp = reinterpret_cast<uintptr_t>(stack);
    const size_t initialCount = data[0] % 4;
    if (data[0] & 0x80) {
        fvcrash_thread_state state;
        fvcrash_thread_state_for_cpu(&state, FVCRASH_CPU_TYPE_X86);
        fvcrash_thread_state_write_reg(&state, FVCRASH_REG_SP, sp);
        const uint32_t initial[3] = {static_cast<uint32_t>(sp), 1, 0xFFFFFFFF};
        uint32_t result;
        fvcrash_dwarf_eval_expression<uint32_t>(&mapping, fvcrash_task_self(), &state,
                                                &fvcrash_byte_order_direct, bytes.address(), 0,
                                                size - 1, initial, initialCount, &result);
    } else {
        fvcrash_thread_state state;
        fvcrash_thread_state_for_cpu(&state, FVCRASH_CPU_TYPE_X86_64);
        fvcrash_thread_state_write_reg(&state, FVCRASH_REG_SP, sp);
        fvcrash_thread_state_write_reg(&state, FVCRASH_REG_FP, sp + 64);
        const uint64_t initial[3] = {sp, 1, ~uint64_t{0}};
        uint64_t result;
        fvcrash_dwarf_eval_expression<uint64_t>(&mapping, fvcrash_task_self(), &state,
                                                &fvcrash_byte_order_direct, bytes.address(), 0,
                                                size - 1, initial, initialCount, &result);
    }
    return 0;
}
