#include "FVCrashReporter/Source/crash/FVCrashThreadState.h"

#include <atomic>
#include <cstddef>
#include <iterator>

static_assert(sizeof(mcontext_t) == 256, "the capture routine lays out a 256-byte context");
static_assert(REG_R8 == 0 && REG_RDI == 8 && REG_RSI == 9 && REG_RBP == 10 && REG_RBX == 11 &&
                  REG_RDX == 12 && REG_RAX == 13 && REG_RCX == 14 && REG_RSP == 15 &&
                  REG_RIP == 16 && REG_EFL == 17 && REG_CSGSFS == 18 && REG_ERR == 19 &&
                  REG_TRAPNO == 20 && REG_CR2 == 22,
              "the capture routine stores registers at these slots");

namespace {

struct RegisterInfo64 {
    const char* name;
    size_t offset;
};

#define FVCRASH_REG64(r) \
    { #r, offsetof(fvcrash_x86_thread_state64, r) }
constexpr RegisterInfo64 kRegisters64[FVCRASH_X86_64_REG_COUNT] = {
    FVCRASH_REG64(rip), FVCRASH_REG64(rbp),    FVCRASH_REG64(rsp), FVCRASH_REG64(rax),
    FVCRASH_REG64(rbx), FVCRASH_REG64(rcx),    FVCRASH_REG64(rdx), FVCRASH_REG64(rdi),
    FVCRASH_REG64(rsi), FVCRASH_REG64(r8),     FVCRASH_REG64(r9),  FVCRASH_REG64(r10),
    FVCRASH_REG64(r11), FVCRASH_REG64(r12),    FVCRASH_REG64(r13), FVCRASH_REG64(r14),
    FVCRASH_REG64(r15), FVCRASH_REG64(rflags), FVCRASH_REG64(cs),  FVCRASH_REG64(fs),
    FVCRASH_REG64(gs),
};
#undef FVCRASH_REG64

// i386 trapno (number 10) lives in the exception state: offset kTrapno.
constexpr size_t kTrapno = SIZE_MAX;
#define FVCRASH_REG32(r) \
    { #r, offsetof(fvcrash_x86_thread_state32, r) }
constexpr RegisterInfo64 kRegisters32[FVCRASH_X86_REG_COUNT] = {
    FVCRASH_REG32(eip), FVCRASH_REG32(ebp),    FVCRASH_REG32(esp),  FVCRASH_REG32(eax),
    FVCRASH_REG32(edx), FVCRASH_REG32(ecx),    FVCRASH_REG32(ebx),  FVCRASH_REG32(esi),
    FVCRASH_REG32(edi), FVCRASH_REG32(eflags), {"trapno", kTrapno}, FVCRASH_REG32(cs),
    FVCRASH_REG32(ds),  FVCRASH_REG32(es),     FVCRASH_REG32(fs),   FVCRASH_REG32(gs),
};
#undef FVCRASH_REG32

constexpr int kPreserved64[] = {FVCRASH_X86_64_RBX, FVCRASH_X86_64_RSP, FVCRASH_X86_64_RBP,
                                FVCRASH_X86_64_R12, FVCRASH_X86_64_R13, FVCRASH_X86_64_R14,
                                FVCRASH_X86_64_R15};
constexpr int kPreserved32[] = {FVCRASH_X86_EBX, FVCRASH_X86_EBP, FVCRASH_X86_ESI, FVCRASH_X86_EDI,
                                FVCRASH_X86_ESP};

struct DwarfEntry {
    uint64_t dwarf;
    int reg;
};

constexpr DwarfEntry kDwarf64[] = {
    {0, FVCRASH_X86_64_RAX},  {1, FVCRASH_X86_64_RDX},     {2, FVCRASH_X86_64_RCX},
    {3, FVCRASH_X86_64_RBX},  {4, FVCRASH_X86_64_RSI},     {5, FVCRASH_X86_64_RDI},
    {6, FVCRASH_X86_64_RBP},  {7, FVCRASH_X86_64_RSP},     {8, FVCRASH_X86_64_R8},
    {9, FVCRASH_X86_64_R9},   {10, FVCRASH_X86_64_R10},    {11, FVCRASH_X86_64_R11},
    {12, FVCRASH_X86_64_R12}, {13, FVCRASH_X86_64_R13},    {14, FVCRASH_X86_64_R14},
    {15, FVCRASH_X86_64_R15}, {49, FVCRASH_X86_64_RFLAGS}, {51, FVCRASH_X86_64_CS},
    {54, FVCRASH_X86_64_FS},  {55, FVCRASH_X86_64_GS},
};
constexpr DwarfEntry kDwarf32[] = {
    {0, FVCRASH_X86_EAX}, {1, FVCRASH_X86_ECX}, {2, FVCRASH_X86_EDX},
    {3, FVCRASH_X86_EBX}, {4, FVCRASH_X86_EBP}, {5, FVCRASH_X86_ESP},
    {6, FVCRASH_X86_ESI}, {7, FVCRASH_X86_EDI}, {8, FVCRASH_X86_EIP},
};

constexpr bool numberedInOrder(const DwarfEntry* table, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) {
        if (table[i].dwarf != i) return false;
    }
    return true;
}
static_assert(numberedInOrder(kDwarf64, 16) && numberedInOrder(kDwarf32, 9));

constexpr uint64_t preservedMask(const int* regs, size_t count, int all) {
    uint64_t mask = ~uint64_t{0} << all;  // bits past the register count stay as they are
    for (size_t i = 0; i < count; ++i) mask |= uint64_t(1) << regs[i];
    return mask;
}
constexpr uint64_t kPreservedMask64 =
    preservedMask(kPreserved64, std::size(kPreserved64), FVCRASH_X86_64_REG_COUNT);
constexpr uint64_t kPreservedMask32 =
    preservedMask(kPreserved32, std::size(kPreserved32), FVCRASH_X86_REG_COUNT);

bool is32(const fvcrash_thread_state* state) {
    return state->thread_state.tsh.flavor == FVCRASH_X86_THREAD_STATE32;
}

int regCount(const fvcrash_thread_state* state) {
    return is32(state) ? int(FVCRASH_X86_REG_COUNT) : int(FVCRASH_X86_64_REG_COUNT);
}

void checkReg(const fvcrash_thread_state* state, int reg) {
    if (reg < 0 || reg >= regCount(state)) __builtin_trap();
}

uint64_t allValid(int count) { return (uint64_t(1) << count) - 1; }

struct ThreadSlot {
    std::atomic<pid_t> thread{0};
    std::atomic<bool> ready{false};
    fvcrash_thread_state state;
};
ThreadSlot gSlots[FVCRASH_THREAD_SLOT_COUNT];

}  // namespace

fvcrash_status fvcrash_thread_state_for_cpu(fvcrash_thread_state* state, uint32_t cpu_type) {
    fvcrash_memset(state, 0, sizeof *state);
    state->stack_direction = FVCRASH_STACK_DIRECTION_DOWN;
    if (cpu_type == FVCRASH_CPU_TYPE_X86_64) {
        state->greg_size = 8;
        state->thread_state.tsh = {FVCRASH_X86_THREAD_STATE64, FVCRASH_X86_THREAD_STATE64_COUNT};
        state->exception_state.esh = {FVCRASH_X86_EXCEPTION_STATE64,
                                      FVCRASH_X86_EXCEPTION_STATE64_COUNT};
        return FVCRASH_ESUCCESS;
    }
    if (cpu_type == FVCRASH_CPU_TYPE_X86) {
        state->greg_size = 4;
        state->thread_state.tsh = {FVCRASH_X86_THREAD_STATE32, FVCRASH_X86_THREAD_STATE32_COUNT};
        state->exception_state.esh = {FVCRASH_X86_EXCEPTION_STATE32,
                                      FVCRASH_X86_EXCEPTION_STATE32_COUNT};
        return FVCRASH_ESUCCESS;
    }
    return FVCRASH_ENOTSUP;
}

void fvcrash_thread_state_from_mcontext(fvcrash_thread_state* state, const mcontext_t* context) {
    fvcrash_thread_state_for_cpu(state, FVCRASH_CPU_TYPE_X86_64);
    const greg_t* g = context->gregs;
    auto u = [](greg_t value) { return static_cast<uint64_t>(value); };
    fvcrash_x86_thread_state64& ts = state->thread_state.uts.ts64;
    ts.rax = u(g[REG_RAX]);
    ts.rbx = u(g[REG_RBX]);
    ts.rcx = u(g[REG_RCX]);
    ts.rdx = u(g[REG_RDX]);
    ts.rdi = u(g[REG_RDI]);
    ts.rsi = u(g[REG_RSI]);
    ts.rbp = u(g[REG_RBP]);
    ts.rsp = u(g[REG_RSP]);
    ts.r8 = u(g[REG_R8]);
    ts.r9 = u(g[REG_R9]);
    ts.r10 = u(g[REG_R10]);
    ts.r11 = u(g[REG_R11]);
    ts.r12 = u(g[REG_R12]);
    ts.r13 = u(g[REG_R13]);
    ts.r14 = u(g[REG_R14]);
    ts.r15 = u(g[REG_R15]);
    ts.rip = u(g[REG_RIP]);
    ts.rflags = u(g[REG_EFL]);
    // cs, gs and fs are packed as 16-bit fields, in that order.
    const uint64_t segments = u(g[REG_CSGSFS]);
    ts.cs = segments & 0xFFFF;
    ts.gs = (segments >> 16) & 0xFFFF;
    ts.fs = (segments >> 32) & 0xFFFF;
    fvcrash_x86_exception_state64& es = state->exception_state.ues.es64;
    es.trapno = static_cast<uint16_t>(g[REG_TRAPNO]);
    es.cpu = 0;
    es.err = static_cast<uint32_t>(g[REG_ERR]);
    es.faultvaddr = u(g[REG_CR2]);
    state->valid_regs = allValid(FVCRASH_X86_64_REG_COUNT);
}

extern "C" fvcrash_status fvcrash_thread_state_capture_finish(
    const mcontext_t* context, fvcrash_thread_state_callback callback, void* callback_context) {
    fvcrash_thread_state state;
    fvcrash_thread_state_from_mcontext(&state, context);
    return callback(&state, callback_context);
}

fvcrash_status fvcrash_thread_state_from_thread(fvcrash_thread_state* state, pid_t thread) {
    for (ThreadSlot& slot : gSlots) {
        if (slot.thread.load(std::memory_order_acquire) != thread) continue;
        if (!slot.ready.load(std::memory_order_acquire)) break;
        fvcrash_thread_state_copy(state, &slot.state);
        return FVCRASH_ESUCCESS;
    }
    return FVCRASH_EINTERNAL;
}

bool fvcrash_thread_slot_store(pid_t thread, const fvcrash_thread_state* state) {
    if (thread <= 0) return false;
    ThreadSlot* target = nullptr;
    for (ThreadSlot& slot : gSlots) {
        if (slot.thread.load(std::memory_order_acquire) == thread) {
            target = &slot;
            break;
        }
    }
    for (size_t i = 0; !target && i < FVCRASH_THREAD_SLOT_COUNT; ++i) {
        pid_t empty = 0;
        if (gSlots[i].thread.compare_exchange_strong(empty, thread)) target = &gSlots[i];
    }
    if (!target) return false;
    target->ready.store(false, std::memory_order_release);
    fvcrash_thread_state_copy(&target->state, state);
    target->ready.store(true, std::memory_order_release);
    return true;
}

void fvcrash_thread_slot_clear(pid_t thread) {
    for (ThreadSlot& slot : gSlots) {
        if (slot.thread.load(std::memory_order_acquire) != thread) continue;
        slot.ready.store(false, std::memory_order_release);
        slot.thread.store(0, std::memory_order_release);
    }
}

void fvcrash_thread_slots_clear_all() {
    for (ThreadSlot& slot : gSlots) {
        slot.ready.store(false, std::memory_order_release);
        slot.thread.store(0, std::memory_order_release);
    }
}

void fvcrash_thread_state_invalidate_reg(fvcrash_thread_state* state, int reg) {
    if (reg >= 0 && reg < 64) state->valid_regs &= ~(uint64_t(1) << reg);
}

void fvcrash_thread_state_invalidate_all(fvcrash_thread_state* state) { state->valid_regs = 0; }

void fvcrash_thread_state_invalidate_volatile(fvcrash_thread_state* state) {
    state->valid_regs &= is32(state) ? kPreservedMask32 : kPreservedMask64;
}

int fvcrash_thread_state_stack_direction(const fvcrash_thread_state* state) {
    return state->stack_direction;
}

int fvcrash_thread_state_reg_count(const fvcrash_thread_state* state) { return regCount(state); }

uint64_t fvcrash_thread_state_read_reg(const fvcrash_thread_state* state, int reg) {
    checkReg(state, reg);
    if (!is32(state)) {
        uint64_t value;
        __builtin_memcpy(&value,
                         reinterpret_cast<const uint8_t*>(&state->thread_state.uts.ts64) +
                             kRegisters64[reg].offset,
                         sizeof value);
        return value;
    }
    if (kRegisters32[reg].offset == kTrapno) return state->exception_state.ues.es32.trapno;
    uint32_t value;
    __builtin_memcpy(
        &value,
        reinterpret_cast<const uint8_t*>(&state->thread_state.uts.ts32) + kRegisters32[reg].offset,
        sizeof value);
    return value;
}

void fvcrash_thread_state_write_reg(fvcrash_thread_state* state, int reg, uint64_t value) {
    checkReg(state, reg);
    if (!is32(state)) {
        __builtin_memcpy(
            reinterpret_cast<uint8_t*>(&state->thread_state.uts.ts64) + kRegisters64[reg].offset,
            &value, sizeof value);
    } else if (kRegisters32[reg].offset == kTrapno) {
        state->exception_state.ues.es32.trapno = static_cast<uint16_t>(value);
    } else {
        uint32_t narrow = static_cast<uint32_t>(value);
        __builtin_memcpy(
            reinterpret_cast<uint8_t*>(&state->thread_state.uts.ts32) + kRegisters32[reg].offset,
            &narrow, sizeof narrow);
    }
    state->valid_regs |= uint64_t(1) << reg;
}

const char* fvcrash_thread_state_reg_name(const fvcrash_thread_state* state, int reg) {
    checkReg(state, reg);
    return is32(state) ? kRegisters32[reg].name : kRegisters64[reg].name;
}

bool fvcrash_thread_state_reg_from_dwarf(const fvcrash_thread_state* state, uint64_t dwarf_reg,
                                         int* reg) {
    // The numbers 0-15 (0-8 on i386) are their table's first entries, in order.
    const uint64_t direct = is32(state) ? 9 : 16;
    if (dwarf_reg < direct) {
        *reg = (is32(state) ? kDwarf32 : kDwarf64)[dwarf_reg].reg;
        return true;
    }
    const DwarfEntry* table = is32(state) ? kDwarf32 : kDwarf64;
    const size_t count = is32(state) ? std::size(kDwarf32) : std::size(kDwarf64);
    for (size_t i = 0; i < count; ++i) {
        if (table[i].dwarf != dwarf_reg) continue;
        *reg = table[i].reg;
        return true;
    }
    return false;
}

bool fvcrash_thread_state_reg_to_dwarf(const fvcrash_thread_state* state, int reg,
                                       uint64_t* dwarf_reg) {
    const DwarfEntry* table = is32(state) ? kDwarf32 : kDwarf64;
    const size_t count = is32(state) ? std::size(kDwarf32) : std::size(kDwarf64);
    for (size_t i = 0; i < count; ++i) {
        if (table[i].reg != reg) continue;
        *dwarf_reg = table[i].dwarf;
        return true;
    }
    return false;
}
