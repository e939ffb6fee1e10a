#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "FVCrashReporter/Source/crash/FVCrashThreadState.h"

namespace {

struct Captured {
    fvcrash_thread_state state;
    int calls = 0;
};

fvcrash_status keep(fvcrash_thread_state* state, void* context) {
    auto* captured = static_cast<Captured*>(context);
    captured->state = *state;
    ++captured->calls;
    return FVCRASH_ENOTFOUND;  // handed back unchanged
}

struct CallSite {
    void* returnAddress;
    uint64_t rsp;
    uint64_t rbp;
    uint64_t r12;
};

// Captures with a known r12, and notes where the capture call returns to
// and the stack and frame pointers the caller has there.
__attribute__((noinline)) fvcrash_status captureHere(Captured* captured, CallSite* site) {
    uint64_t rsp, rbp;
    asm volatile("movq %%rsp, %0" : "=r"(rsp));
    asm volatile("movq %%rbp, %0" : "=r"(rbp));
    register uint64_t r12 asm("r12") = 0x1234567812345678ULL;
    asm volatile("" : "+r"(r12));
    fvcrash_status status = fvcrash_thread_state_capture_current(keep, captured);
    asm volatile("" ::"r"(r12));
    site->rsp = rsp;
    site->rbp = rbp;
    site->r12 = r12;
    return status;
}

TEST(FVCrashThreadState, CapturesTheCallersRegisters) {
    Captured captured;
    CallSite site{};
    EXPECT_EQ(captureHere(&captured, &site), FVCRASH_ENOTFOUND);
    ASSERT_EQ(captured.calls, 1);
    const fvcrash_thread_state& s = captured.state;
    EXPECT_EQ(fvcrash_thread_state_reg_count(&s), 21);
    EXPECT_EQ(s.valid_regs, (uint64_t(1) << 21) - 1);
    EXPECT_EQ(fvcrash_thread_state_read_reg(&s, FVCRASH_REG_SP), site.rsp);
    EXPECT_EQ(fvcrash_thread_state_read_reg(&s, FVCRASH_REG_FP), site.rbp);
    EXPECT_EQ(fvcrash_thread_state_read_reg(&s, FVCRASH_X86_64_R12), site.r12);
    // rip is the return address of the call: the five bytes before it are
    // the call instruction, and its target is the capture routine.
    const uint64_t rip = fvcrash_thread_state_read_reg(&s, FVCRASH_REG_IP);
    const auto begin = reinterpret_cast<uint64_t>(&captureHere);
    EXPECT_GT(rip, begin);
    EXPECT_LT(rip, begin + 256);
    const auto* call = reinterpret_cast<const uint8_t*>(rip - 5);
    ASSERT_EQ(call[0], 0xE8);
    int32_t displacement;
    std::memcpy(&displacement, call + 1, 4);
    EXPECT_EQ(rip + static_cast<uint64_t>(static_cast<int64_t>(displacement)),
              reinterpret_cast<uint64_t>(&fvcrash_thread_state_capture_current));
    EXPECT_EQ(s.thread_state.uts.ts64.rip, rip);
    EXPECT_NE(s.thread_state.uts.ts64.cs, 0u);
    EXPECT_NE(s.thread_state.uts.ts64.rflags & 0x2, 0u);  // bit 1 is always set
    EXPECT_EQ(s.exception_state.esh.flavor, FVCRASH_X86_EXCEPTION_STATE64);
    EXPECT_EQ(s.exception_state.ues.es64.faultvaddr, 0u);
}

Captured gSignalState;
ucontext_t gSignalContext;

void onUsr1(int, siginfo_t*, void* raw) {
    auto* context = static_cast<ucontext_t*>(raw);
    gSignalContext = *context;
    fvcrash_thread_state_from_mcontext(&gSignalState.state, &context->uc_mcontext);
}

TEST(FVCrashThreadState, FromASignalContext) {
    struct sigaction action {
    }, previous{};
    action.sa_sigaction = onUsr1;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    syscall(SYS_tgkill, getpid(), gettid(), SIGUSR1);
    sigaction(SIGUSR1, &previous, nullptr);

    const fvcrash_thread_state& s = gSignalState.state;
    const greg_t* g = gSignalContext.uc_mcontext.gregs;
    EXPECT_EQ(s.thread_state.tsh.flavor, FVCRASH_X86_THREAD_STATE64);
    EXPECT_EQ(s.thread_state.tsh.count, 42);
    EXPECT_EQ(fvcrash_thread_state_word_size(&s), 8u);
    EXPECT_EQ(fvcrash_thread_state_stack_direction(&s), FVCRASH_STACK_DIRECTION_DOWN);
    EXPECT_EQ(fvcrash_thread_state_read_reg(&s, FVCRASH_REG_IP), uint64_t(g[REG_RIP]));
    EXPECT_EQ(fvcrash_thread_state_read_reg(&s, FVCRASH_REG_SP), uint64_t(g[REG_RSP]));
    EXPECT_EQ(fvcrash_thread_state_read_reg(&s, FVCRASH_X86_64_RAX), uint64_t(g[REG_RAX]));
    EXPECT_EQ(fvcrash_thread_state_read_reg(&s, FVCRASH_X86_64_R11), uint64_t(g[REG_R11]));
    EXPECT_EQ(fvcrash_thread_state_read_reg(&s, FVCRASH_X86_64_RFLAGS), uint64_t(g[REG_EFL]));
    EXPECT_EQ(fvcrash_thread_state_read_reg(&s, FVCRASH_X86_64_CS),
              uint64_t(g[REG_CSGSFS] & 0xFFFF));
    EXPECT_EQ(s.exception_state.ues.es64.trapno, uint16_t(g[REG_TRAPNO]));
    EXPECT_EQ(s.exception_state.ues.es64.faultvaddr, uint64_t(g[REG_CR2]));
    for (int reg = 0; reg < 21; ++reg) EXPECT_TRUE(fvcrash_thread_state_is_valid_reg(&s, reg));
}

TEST(FVCrashThreadState, RegisterTablesAndEdgeCases) {
    fvcrash_thread_state s64, s32;
    EXPECT_EQ(fvcrash_thread_state_for_cpu(&s64, 0x1000007), FVCRASH_ESUCCESS);
    EXPECT_EQ(fvcrash_thread_state_for_cpu(&s32, 7), FVCRASH_ESUCCESS);
    fvcrash_thread_state other;
    EXPECT_EQ(fvcrash_thread_state_for_cpu(&other, 12), FVCRASH_ENOTSUP);
    EXPECT_EQ(fvcrash_thread_state_for_cpu(&other, 0x100000C), FVCRASH_ENOTSUP);
    EXPECT_EQ(s64.valid_regs, 0u);
    EXPECT_EQ(s32.valid_regs, 0u);
    EXPECT_EQ(fvcrash_thread_state_reg_count(&s32), 16);
    EXPECT_EQ(fvcrash_thread_state_word_size(&s32), 4u);

    std::vector<std::string> names64, names32;
    for (int r = 0; r < 21; ++r) names64.push_back(fvcrash_thread_state_reg_name(&s64, r));
    for (int r = 0; r < 16; ++r) names32.push_back(fvcrash_thread_state_reg_name(&s32, r));
    EXPECT_EQ(names64,
              (std::vector<std::string>{"rip", "rbp", "rsp", "rax",    "rbx", "rcx", "rdx",
                                        "rdi", "rsi", "r8",  "r9",     "r10", "r11", "r12",
                                        "r13", "r14", "r15", "rflags", "cs",  "fs",  "gs"}));
    EXPECT_EQ(names32,
              (std::vector<std::string>{"eip", "ebp", "esp", "eax", "edx", "ecx", "ebx", "esi",
                                        "edi", "eflags", "trapno", "cs", "ds", "es", "fs", "gs"}));

    fvcrash_thread_state_write_reg(&s32, 1, 0x1122334455667788ULL);
    EXPECT_EQ(fvcrash_thread_state_read_reg(&s32, 1), 0x55667788u);
    EXPECT_EQ(s32.thread_state.uts.ts32.ebp, 0x55667788u);
    EXPECT_TRUE(fvcrash_thread_state_is_valid_reg(&s32, 1));
    fvcrash_thread_state_write_reg(&s32, FVCRASH_X86_TRAPNO, 14);
    EXPECT_EQ(s32.exception_state.ues.es32.trapno, 14);
    fvcrash_thread_state_write_reg(&s64, FVCRASH_X86_64_R13, 0xFEEDFACECAFEBEEFULL);
    EXPECT_EQ(s64.thread_state.uts.ts64.r13, 0xFEEDFACECAFEBEEFULL);

    for (int r = 0; r < 21; ++r) fvcrash_thread_state_write_reg(&s64, r, r);
    fvcrash_thread_state_invalidate_volatile(&s64);
    EXPECT_EQ(s64.valid_regs, (1u << 4) | (1u << 2) | (1u << 1) | (1u << 13) | (1u << 14) |
                                  (1u << 15) | (1u << 16));
    for (int r = 0; r < 16; ++r) fvcrash_thread_state_write_reg(&s32, r, r);
    fvcrash_thread_state_invalidate_volatile(&s32);
    EXPECT_EQ(s32.valid_regs, (1u << 6) | (1u << 1) | (1u << 7) | (1u << 8) | (1u << 2));
    fvcrash_thread_state_invalidate_all(&s32);
    EXPECT_EQ(s32.valid_regs, 0u);

    struct Dwarf {
        const fvcrash_thread_state* state;
        uint64_t dwarf;
        int reg;  // -1: none
    } dwarf[] = {
        {&s64, 0, FVCRASH_X86_64_RAX},
        {&s64, 6, FVCRASH_X86_64_RBP},
        {&s64, 7, FVCRASH_X86_64_RSP},
        {&s64, 15, FVCRASH_X86_64_R15},
        {&s64, 16, -1},
        {&s64, 49, FVCRASH_X86_64_RFLAGS},
        {&s64, 55, FVCRASH_X86_64_GS},
        {&s32, 4, FVCRASH_X86_EBP},
        {&s32, 5, FVCRASH_X86_ESP},
        {&s32, 8, FVCRASH_X86_EIP},
        {&s32, 9, -1},
    };
    for (const Dwarf& d : dwarf) {
        int reg = -1;
        bool found = fvcrash_thread_state_reg_from_dwarf(d.state, d.dwarf, &reg);
        EXPECT_EQ(found, d.reg >= 0) << d.dwarf;
        if (!found) continue;
        EXPECT_EQ(reg, d.reg) << d.dwarf;
        uint64_t back = 0;
        EXPECT_TRUE(fvcrash_thread_state_reg_to_dwarf(d.state, reg, &back));
        EXPECT_EQ(back, d.dwarf);
    }
    uint64_t none;
    EXPECT_FALSE(fvcrash_thread_state_reg_to_dwarf(&s64, FVCRASH_REG_IP, &none));
}

TEST(FVCrashThreadState, FromThreadReadsItsSlot) {
    fvcrash_thread_state state, stored;
    fvcrash_thread_state_for_cpu(&stored, FVCRASH_CPU_TYPE_X86_64);
    fvcrash_thread_state_write_reg(&stored, FVCRASH_REG_IP, 0xABCDEF);
    pid_t other = 0;
    std::thread([&] { other = gettid(); }).join();
    EXPECT_EQ(fvcrash_thread_state_from_thread(&state, gettid()), FVCRASH_EINTERNAL);
    ASSERT_TRUE(fvcrash_thread_slot_store(gettid(), &stored));
    EXPECT_EQ(fvcrash_thread_state_from_thread(&state, gettid()), FVCRASH_ESUCCESS);
    EXPECT_EQ(fvcrash_thread_state_read_reg(&state, FVCRASH_REG_IP), 0xABCDEFu);
    EXPECT_EQ(fvcrash_thread_state_from_thread(&state, other), FVCRASH_EINTERNAL);
    fvcrash_thread_slot_clear(gettid());
    EXPECT_EQ(fvcrash_thread_state_from_thread(&state, gettid()), FVCRASH_EINTERNAL);
}

}  // namespace
