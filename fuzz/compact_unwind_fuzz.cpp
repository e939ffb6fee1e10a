// The compact unwind reader over untrusted __unwind_info sections: find at
// several pcs, decode for each processor, apply to a register state whose
// stack and "function" are readable.
#include <cstddef>
#include <cstdint>

#include "FVCrashReporter/Source/crash/FVCrashCompactUnwind.h"
#include "GuardedBytes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1u << 20)) return 0;
    GuardedBytes bytes(data, size);
    if (!bytes.ok()) return 0;
    fvcrash_task_mapping mapping;
    if (fvcrash_task_mapping_init(&mapping, fvcrash_task_self(), bytes.address(), size, true) !=
        FVCRASH_ESUCCESS) {
        return 0;
    }
    static uint64_t stack[512];
    static const uint8_t code[256] = {};
    const uint32_t cpus[] = {FVCRASH_CPU_TYPE_X86_64, FVCRASH_CPU_TYPE_X86, FVCRASH_CPU_TYPE_ARM64};
    for (uint32_t cpu : cpus) {
        fvcrash_compact_unwind_reader reader;
        if (fvcrash_compact_unwind_reader_init(&reader, &mapping, cpu) != FVCRASH_ESUCCESS)
            continue;
        fvcrash_thread_state current;
        fvcrash_thread_state_for_cpu(
            &current, cpu == FVCRASH_CPU_TYPE_X86 ? FVCRASH_CPU_TYPE_X86 : FVCRASH_CPU_TYPE_X86_64);
        const uint64_t sp = reinterpret_cast<uintptr_t>(&stack[8]);
        const int count = fvcrash_thread_state_reg_count(&current);
        for (int reg = 0; reg < count; ++reg) fvcrash_thread_state_write_reg(&current, reg, sp);
        const uint64_t pcs[] = {0, 1, 0x1000, 0xFFFFFF, size, 0xFFFFFFFFull};
        for (uint64_t pc : pcs) {
            uint32_t function, encoding;
            if (fvcrash_compact_unwind_find_encoding(&reader, pc, &function, &encoding) !=
                FVCRASH_ESUCCESS) {
                continue;
            }
            fvcrash_compact_unwind_entry entry;
            if (fvcrash_compact_unwind_decode(&entry, encoding, cpu) != FVCRASH_ESUCCESS) continue;
            fvcrash_thread_state caller;
            fvcrash_compact_unwind_apply(fvcrash_task_self(), reinterpret_cast<uintptr_t>(code),
                                         &current, &entry, &caller);
        }
    }
    return 0;
}
