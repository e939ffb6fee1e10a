// The register set of one stack frame as the crash-time stack walker sees
// it: the Intel thread and exception state (64-bit or 32-bit, in the layout
// reports and 32-bit readers expect), which registers hold a known value, and
// the stack direction and register width.
//
// Every function here is async-signal-safe: no allocation, no lock.
#pragma once

#include <sys/types.h>
#include <sys/ucontext.h>

#include <cstdint>

#include "FVCrashReporter/Source/crash/FVCrashAsync.h"

// Processor types of image records and reports.
inline constexpr uint32_t FVCRASH_CPU_TYPE_X86 = 7;
inline constexpr uint32_t FVCRASH_CPU_TYPE_X86_64 = 0x1000007;
inline constexpr uint32_t FVCRASH_CPU_SUBTYPE_X86_ALL = 3;

// Flavours and counts (in 32-bit words) of the state blocks.
inline constexpr int FVCRASH_X86_THREAD_STATE32 = 1;
inline constexpr int FVCRASH_X86_THREAD_STATE64 = 4;
inline constexpr int FVCRASH_X86_THREAD_STATE = 7;
inline constexpr int FVCRASH_X86_EXCEPTION_STATE32 = 3;
inline constexpr int FVCRASH_X86_EXCEPTION_STATE64 = 6;
inline constexpr int FVCRASH_X86_EXCEPTION_STATE = 9;
inline constexpr int FVCRASH_X86_THREAD_STATE32_COUNT = 16;
inline constexpr int FVCRASH_X86_THREAD_STATE64_COUNT = 42;
inline constexpr int FVCRASH_X86_EXCEPTION_STATE32_COUNT = 3;
inline constexpr int FVCRASH_X86_EXCEPTION_STATE64_COUNT = 4;

struct fvcrash_x86_state_hdr {
    int flavor;
    int count;
};

struct fvcrash_x86_thread_state32 {
    uint32_t eax, ebx, ecx, edx, edi, esi, ebp, esp, ss, eflags, eip, cs, ds, es, fs, gs;
};

struct fvcrash_x86_thread_state64 {
    uint64_t rax, rbx, rcx, rdx, rdi, rsi, rbp, rsp, r8, r9, r10, r11, r12, r13, r14, r15, rip,
        rflags, cs, fs, gs;
};

struct fvcrash_x86_thread_state {
    fvcrash_x86_state_hdr tsh;
    union {
        fvcrash_x86_thread_state32 ts32;
        fvcrash_x86_thread_state64 ts64;
    } uts;
};

struct fvcrash_x86_exception_state32 {
    uint16_t trapno;
    uint16_t cpu;
    uint32_t err;
    uint32_t faultvaddr;
};

struct fvcrash_x86_exception_state64 {
    uint16_t trapno;
    uint16_t cpu;
    uint32_t err;
    uint64_t faultvaddr;
};

struct fvcrash_x86_exception_state {
    fvcrash_x86_state_hdr esh;
    union {
        fvcrash_x86_exception_state32 es32;
        fvcrash_x86_exception_state64 es64;
    } ues;
};

static_assert(sizeof(fvcrash_x86_thread_state64) == FVCRASH_X86_THREAD_STATE64_COUNT * 4);
static_assert(sizeof(fvcrash_x86_thread_state32) == FVCRASH_X86_THREAD_STATE32_COUNT * 4);

enum fvcrash_stack_direction : int {
    FVCRASH_STACK_DIRECTION_UP = 1,
    FVCRASH_STACK_DIRECTION_DOWN = 2,
};

// Register numbers, x86_64.
enum : int {
    FVCRASH_X86_64_RIP = 0,
    FVCRASH_X86_64_RBP,
    FVCRASH_X86_64_RSP,
    FVCRASH_X86_64_RAX,
    FVCRASH_X86_64_RBX,
    FVCRASH_X86_64_RCX,
    FVCRASH_X86_64_RDX,
    FVCRASH_X86_64_RDI,
    FVCRASH_X86_64_RSI,
    FVCRASH_X86_64_R8,
    FVCRASH_X86_64_R9,
    FVCRASH_X86_64_R10,
    FVCRASH_X86_64_R11,
    FVCRASH_X86_64_R12,
    FVCRASH_X86_64_R13,
    FVCRASH_X86_64_R14,
    FVCRASH_X86_64_R15,
    FVCRASH_X86_64_RFLAGS,
    FVCRASH_X86_64_CS,
    FVCRASH_X86_64_FS,
    FVCRASH_X86_64_GS,
    FVCRASH_X86_64_REG_COUNT,
};

// Register numbers, i386.
enum : int {
    FVCRASH_X86_EIP = 0,
    FVCRASH_X86_EBP,
    FVCRASH_X86_ESP,
    FVCRASH_X86_EAX,
    FVCRASH_X86_EDX,
    FVCRASH_X86_ECX,
    FVCRASH_X86_EBX,
    FVCRASH_X86_ESI,
    FVCRASH_X86_EDI,
    FVCRASH_X86_EFLAGS,
    FVCRASH_X86_TRAPNO,
    FVCRASH_X86_CS,
    FVCRASH_X86_DS,
    FVCRASH_X86_ES,
    FVCRASH_X86_FS,
    FVCRASH_X86_GS,
    FVCRASH_X86_REG_COUNT,
};

// The instruction, frame and stack pointer have the same numbers on both.
inline constexpr int FVCRASH_REG_IP = 0;
inline constexpr int FVCRASH_REG_FP = 1;
inline constexpr int FVCRASH_REG_SP = 2;

/// The frame's instruction pointer is a return address (the frame was found
/// by unwinding, not restored from a signal frame): its code is looked up at
/// pc - 1, since a call that never returns may end its function.
inline constexpr uint32_t FVCRASH_FRAME_RETURN_ADDRESS = 1;

/// One flat record, copied by value.
struct fvcrash_thread_state {
    int stack_direction;
    uint64_t greg_size;
    uint64_t valid_regs;
    fvcrash_x86_thread_state thread_state;
    fvcrash_x86_exception_state exception_state;
    uint32_t frame_flags;  // FVCRASH_FRAME_* bits, 0 for a captured state
};

/// The address at which the frame's code is looked up: pc, or pc - 1 for a
/// return address.
inline uint64_t fvcrash_thread_state_lookup_pc(const fvcrash_thread_state* state, uint64_t pc) {
    return (state->frame_flags & FVCRASH_FRAME_RETURN_ADDRESS) && pc > 0 ? pc - 1 : pc;
}

/// Clears the record and sets it up, with no register valid, for
/// FVCRASH_CPU_TYPE_X86_64 or FVCRASH_CPU_TYPE_X86; 4 for any other type.
fvcrash_status fvcrash_thread_state_for_cpu(fvcrash_thread_state* state, uint32_t cpu_type);

/// A 64-bit state from a signal's machine context: the general registers of
/// `gregs`, the exception state from REG_TRAPNO, REG_ERR and REG_CR2; every
/// register valid.
void fvcrash_thread_state_from_mcontext(fvcrash_thread_state* state, const mcontext_t* context);

/// The registers saved for thread `thread` in the register slots (filled by
/// the capture code while the thread is stopped); 6 when its slot is empty.
fvcrash_status fvcrash_thread_state_from_thread(fvcrash_thread_state* state, pid_t thread);

/// The register slots: one saved state per thread, at most
/// FVCRASH_THREAD_SLOT_COUNT threads. Store fails (false) when all are taken.
inline constexpr int FVCRASH_THREAD_SLOT_COUNT = 1024;
bool fvcrash_thread_slot_store(pid_t thread, const fvcrash_thread_state* state);
void fvcrash_thread_slot_clear(pid_t thread);
void fvcrash_thread_slots_clear_all();

// The accessors a stack walk calls for every frame are defined here, so
// that they inline.
inline void fvcrash_thread_state_copy(fvcrash_thread_state* destination,
                                      const fvcrash_thread_state* source) {
    // A fixed-size copy the compiler lays out as moves.
    __builtin_memcpy(destination, source, sizeof *destination);
}
inline bool fvcrash_thread_state_is_valid_reg(const fvcrash_thread_state* state, int reg) {
    return reg >= 0 && reg < 64 && (state->valid_regs & (uint64_t(1) << reg)) != 0;
}
void fvcrash_thread_state_invalidate_reg(fvcrash_thread_state* state, int reg);
void fvcrash_thread_state_invalidate_all(fvcrash_thread_state* state);
/// Clears every valid register the architecture does not keep across a call.
void fvcrash_thread_state_invalidate_volatile(fvcrash_thread_state* state);
int fvcrash_thread_state_stack_direction(const fvcrash_thread_state* state);
inline uint64_t fvcrash_thread_state_word_size(const fvcrash_thread_state* state) {
    return state->greg_size;
}
/// 21 for x86_64, 16 for i386.
int fvcrash_thread_state_reg_count(const fvcrash_thread_state* state);

/// Register access; `reg` must be below the register count (the process
/// traps otherwise). Reads ignore the valid set; 32-bit values are
/// zero-extended. Writes truncate to 32 bits on i386 and mark the register
/// valid.
uint64_t fvcrash_thread_state_read_reg(const fvcrash_thread_state* state, int reg);
void fvcrash_thread_state_write_reg(fvcrash_thread_state* state, int reg, uint64_t value);
const char* fvcrash_thread_state_reg_name(const fvcrash_thread_state* state, int reg);

/// DWARF register numbering; false for numbers with no register here.
bool fvcrash_thread_state_reg_from_dwarf(const fvcrash_thread_state* state, uint64_t dwarf_reg,
                                         int* reg);
bool fvcrash_thread_state_reg_to_dwarf(const fvcrash_thread_state* state, int reg,
                                       uint64_t* dwarf_reg);

using fvcrash_thread_state_callback = fvcrash_status (*)(fvcrash_thread_state* state,
                                                         void* context);

/// Captures the calling thread's registers as they are at the instruction
/// after the call (rip the return address, rsp and rbp the caller's) and
/// hands them, all valid, to `callback`; returns the callback's result.
extern "C" fvcrash_status fvcrash_thread_state_capture_current(
    fvcrash_thread_state_callback callback, void* context);
