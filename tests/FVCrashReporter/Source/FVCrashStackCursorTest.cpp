// The frame cursor: its step rules with readers of our own, and live walks
// of this process's stack compared with libgcc's unwinder taken at the same
// point, through libc and libstdc++ code without frame pointers, a signal
// frame and a call to abort() that ends its function.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unwind.h>

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "FVCrashReporter/Source/crash/FVCrashDwarfStream.h"
#include "FVCrashReporter/Source/crash/FVCrashStackCursor.h"

namespace {

// Step rules.

fvcrash_thread_state g_next;
fvcrash_stack_status g_nextStatus = FVCRASH_STACK_OK;
int g_readerCalls = 0;

fvcrash_stack_status fixedReader(fvcrash_task, fvcrash_image_list*, const fvcrash_thread_state*,
                                 const fvcrash_thread_state*, fvcrash_thread_state* caller) {
    ++g_readerCalls;
    *caller = g_next;
    return g_nextStatus;
}

fvcrash_stack_status failingReader(fvcrash_task, fvcrash_image_list*, const fvcrash_thread_state*,
                                   const fvcrash_thread_state*, fvcrash_thread_state*) {
    return FVCRASH_STACK_EINTERNAL;
}

fvcrash_thread_state frame(uint64_t ip, uint64_t fp) {
    fvcrash_thread_state state;
    fvcrash_thread_state_for_cpu(&state, FVCRASH_CPU_TYPE_X86_64);
    fvcrash_thread_state_write_reg(&state, FVCRASH_REG_IP, ip);
    fvcrash_thread_state_write_reg(&state, FVCRASH_REG_FP, fp);
    return state;
}

TEST(FVCrashStackCursor, StepRules) {
    fvcrash_thread_state start = frame(0x401000, 0x7000);
    fvcrash_stack_cursor cursor;
    ASSERT_EQ(fvcrash_stack_cursor_from_state(&cursor, fvcrash_task_self(), &start, nullptr),
              FVCRASH_STACK_OK);
    const fvcrash_stack_reader readers[] = {failingReader, fixedReader};
    g_readerCalls = 0;
    EXPECT_EQ(fvcrash_stack_cursor_step_with(&cursor, readers, 2), FVCRASH_STACK_OK);
    EXPECT_EQ(g_readerCalls, 0);  // the first step is the starting state
    EXPECT_EQ(fvcrash_stack_cursor_step_with(&cursor, readers, 0), FVCRASH_STACK_EINVAL);

    g_next = frame(0x1000, 0x7100);  // a return address in the first page ends the walk
    EXPECT_EQ(fvcrash_stack_cursor_step_with(&cursor, readers, 2), FVCRASH_STACK_ENOFRAME);
    uint64_t ip = 0;
    EXPECT_EQ(fvcrash_stack_cursor_read_reg(&cursor, FVCRASH_REG_IP, &ip), FVCRASH_STACK_OK);
    EXPECT_EQ(ip, 0x401000u);  // left on the last good frame

    g_next = frame(0x402000, 0x7100);
    EXPECT_EQ(fvcrash_stack_cursor_step_with(&cursor, readers, 2), FVCRASH_STACK_OK);
    EXPECT_EQ(cursor.depth, 2u);
    uint64_t rax;
    EXPECT_EQ(fvcrash_stack_cursor_read_reg(&cursor, FVCRASH_X86_64_RAX, &rax),
              FVCRASH_STACK_ENOTSUP);
    EXPECT_EQ(fvcrash_stack_cursor_step_with(&cursor, readers, 1), FVCRASH_STACK_EINTERNAL);
    fvcrash_stack_cursor_release(&cursor);

    EXPECT_STREQ(fvcrash_stack_error_text(2), "No frames are available");
    EXPECT_STREQ(fvcrash_stack_error_text(3), "Corrupted frame");
    EXPECT_STREQ(fvcrash_stack_error_text(8), "Unhandled error code");
}

TEST(FVCrashStackCursor, FramePointerReader) {
    // Two frames laid out as a frame-pointer chain: [saved fp, return address].
    uint64_t stack[8] = {};
    const uint64_t base = reinterpret_cast<uintptr_t>(stack);
    stack[0] = base + 32;  // caller's frame pointer
    stack[1] = 0x405000;
    fvcrash_thread_state current = frame(0x401000, base);
    fvcrash_thread_state caller;
    ASSERT_EQ(
        fvcrash_stack_read_frame_pointer(fvcrash_task_self(), nullptr, &current, nullptr, &caller),
        FVCRASH_STACK_OK);
    EXPECT_EQ(fvcrash_thread_state_read_reg(&caller, FVCRASH_REG_FP), base + 32);
    EXPECT_EQ(fvcrash_thread_state_read_reg(&caller, FVCRASH_REG_IP), 0x405000u);
    EXPECT_FALSE(fvcrash_thread_state_is_valid_reg(&caller, FVCRASH_REG_SP));
    EXPECT_TRUE(caller.frame_flags & FVCRASH_FRAME_RETURN_ADDRESS);

    const fvcrash_thread_state above = frame(0x401000, base + 8);
    const fvcrash_thread_state same = frame(0x401000, base);
    EXPECT_EQ(
        fvcrash_stack_read_frame_pointer(fvcrash_task_self(), nullptr, &current, &above, &caller),
        FVCRASH_STACK_EBADFRAME);  // moved down the stack
    EXPECT_EQ(
        fvcrash_stack_read_frame_pointer(fvcrash_task_self(), nullptr, &current, &same, &caller),
        FVCRASH_STACK_OK);
    fvcrash_thread_state zero = frame(0x401000, 0);
    EXPECT_EQ(
        fvcrash_stack_read_frame_pointer(fvcrash_task_self(), nullptr, &zero, nullptr, &caller),
        FVCRASH_STACK_ENOFRAME);
    fvcrash_thread_state_invalidate_reg(&zero, FVCRASH_REG_FP);
    EXPECT_EQ(
        fvcrash_stack_read_frame_pointer(fvcrash_task_self(), nullptr, &zero, nullptr, &caller),
        FVCRASH_STACK_EBADFRAME);
    fvcrash_thread_state unmapped = frame(0x401000, 0x10);
    EXPECT_EQ(
        fvcrash_stack_read_frame_pointer(fvcrash_task_self(), nullptr, &unmapped, nullptr, &caller),
        FVCRASH_STACK_EBADFRAME);
}

// Live walks.

struct Walks {
    std::vector<uint64_t> ours;
    std::vector<uint64_t> libgcc;
    fvcrash_stack_status end = FVCRASH_STACK_OK;
    bool keepCache = false;  // walk with what an earlier walk left in the cache
};

fvcrash_unwind_cache g_cache;

fvcrash_status walk(fvcrash_thread_state* state, void* context) {
    auto* walks = static_cast<Walks*>(context);
    fvcrash_image_list* images = fvcrash_shared_image_list();
    if (!walks->keepCache) fvcrash_unwind_cache_reset(&g_cache);
    fvcrash_stack_cursor cursor;
    fvcrash_stack_cursor_from_state(&cursor, fvcrash_task_self(), state, images);
    fvcrash_stack_cursor_set_cache(&cursor, &g_cache);
    fvcrash_stack_status status;
    while ((status = fvcrash_stack_cursor_step(&cursor)) == FVCRASH_STACK_OK &&
           walks->ours.size() < 512) {
        uint64_t ip = 0;
        fvcrash_stack_cursor_read_reg(&cursor, FVCRASH_REG_IP, &ip);
        walks->ours.push_back(ip);
    }
    walks->end = status;
    fvcrash_stack_cursor_release(&cursor);
    return FVCRASH_ESUCCESS;
}

// libgcc also reports the outermost frame, whose return address is
// undefined, as a 0; our walk ends there.
_Unwind_Reason_Code collect(_Unwind_Context* context, void* argument) {
    const uint64_t ip = _Unwind_GetIP(context);
    if (ip != 0) static_cast<std::vector<uint64_t>*>(argument)->push_back(ip);
    return _URC_NO_REASON;
}

/// Both walks, taken from the calling function.
__attribute__((noinline)) void takeWalks(Walks* walks) {
    _Unwind_Backtrace(collect, &walks->libgcc);
    fvcrash_thread_state_capture_current(walk, walks);
    asm volatile("" ::: "memory");
}

/// The frames above takeWalks's caller must be the same in both walks: ours
/// starts inside takeWalks (frame 0) and names its caller's return address
/// next; libgcc's list holds that address too.
void expectSameCallers(const Walks& walks) {
    ASSERT_GE(walks.ours.size(), 3u);
    const uint64_t callerReturn = walks.ours[1];
    const auto at = std::find(walks.libgcc.begin(), walks.libgcc.end(), callerReturn);
    ASSERT_NE(at, walks.libgcc.end()) << "libgcc never passed " << std::hex << callerReturn;
    const std::vector<uint64_t> theirs(at, walks.libgcc.end());
    const std::vector<uint64_t> ours(walks.ours.begin() + 1, walks.ours.end());
    EXPECT_EQ(ours, theirs);
    EXPECT_EQ(walks.end, FVCRASH_STACK_ENOFRAME);
}

Walks* g_walks = nullptr;

int compareAndWalk(const void* a, const void* b) {
    if (g_walks) {
        takeWalks(g_walks);
        g_walks = nullptr;
    }
    return *static_cast<const int*>(a) - *static_cast<const int*>(b);
}

TEST(FVCrashStackCursor, WalksOutOfAQsortComparatorAsLibgccDoes) {
    Walks walks;
    g_walks = &walks;
    int values[] = {5, 3, 9, 1, 7};
    qsort(values, 5, sizeof(int), compareAndWalk);
    expectSameCallers(walks);
}

TEST(FVCrashStackCursor, WalksOutOfStdSortAsLibgccDoes) {
    Walks walks;
    std::vector<int> values(64);
    for (int i = 0; i < 64; ++i) values[i] = (i * 37) % 64;
    bool taken = false;
    std::sort(values.begin(), values.end(), [&](int a, int b) {
        if (!taken) {
            taken = true;
            takeWalks(&walks);
        }
        return a < b;
    });
    expectSameCallers(walks);
}

// Recursion through qsort: every level returns to the same addresses, so
// all but the first sighting of each are unwound with the rules the cache
// kept; a second walk with the cache kept uses only kept rules.
int g_levels = 0;
Walks* g_kept = nullptr;

int compareAndRecurse(const void* a, const void* b) {
    if (g_levels > 0) {
        --g_levels;
        int values[] = {2, 1};
        qsort(values, 2, sizeof(int), compareAndRecurse);
    } else if (g_walks) {
        takeWalks(g_walks);
        takeWalks(g_kept);
        g_walks = nullptr;
    }
    return *static_cast<const int*>(a) - *static_cast<const int*>(b);
}

TEST(FVCrashStackCursor, WalksRepeatedReturnAddressesAsLibgccDoes) {
    Walks walks, kept;
    kept.keepCache = true;
    g_walks = &walks;
    g_kept = &kept;
    g_levels = 12;
    int values[] = {2, 1};
    qsort(values, 2, sizeof(int), compareAndRecurse);
    expectSameCallers(walks);
    expectSameCallers(kept);
    EXPECT_GT(walks.ours.size(), 24u);
}

// The stack windows cover only what can be read: a read that runs into an
// unreadable page fails, one past it opens a window of its own.
TEST(FVCrashUnwindCache, ReadsStopAtAnUnreadablePage) {
    const size_t page = 4096;
    auto* bytes = static_cast<uint8_t*>(
        mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(bytes, MAP_FAILED);
    for (size_t i = 0; i < 3 * page; ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(mprotect(bytes + page, page, PROT_NONE), 0);
    const uint64_t base = reinterpret_cast<uintptr_t>(bytes);
    fvcrash_unwind_cache_reset(&g_cache);
    const fvcrash_task self = fvcrash_task_self();
    uint64_t word = 0, expected = 0;
    EXPECT_EQ(fvcrash_unwind_read_word(&g_cache, self, base, 64, 8, &word), FVCRASH_ESUCCESS);
    memcpy(&expected, bytes + 64, 8);
    EXPECT_EQ(word, expected);
    EXPECT_NE(fvcrash_unwind_read_word(&g_cache, self, base, page - 4, 8, &word), FVCRASH_ESUCCESS);
    EXPECT_NE(fvcrash_unwind_read_word(&g_cache, self, base, page + 8, 8, &word), FVCRASH_ESUCCESS);
    EXPECT_EQ(fvcrash_unwind_read_word(&g_cache, self, base, 2 * page + 8, 4, &word),
              FVCRASH_ESUCCESS);
    uint32_t small = 0;
    memcpy(&small, bytes + 2 * page + 8, 4);
    EXPECT_EQ(word, small);
    munmap(bytes, 3 * page);
}

// A section window checked a page at a time reads only on checked pages: a
// value or a number that runs on into an unchecked page is refused, not
// read.
TEST(FVCrashUnwindCache, SectionWindowsReadOnlyCheckedPages) {
    const size_t page = 4096;
    auto* bytes = static_cast<uint8_t*>(
        mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(bytes, MAP_FAILED);
    memset(bytes, 0x80, 3 * page);  // LEB128 bytes that all say "more follows"
    bytes[2 * page + 1] = 0x01;
    ASSERT_EQ(mprotect(bytes + page, page, PROT_NONE), 0);
    const uint64_t base = reinterpret_cast<uintptr_t>(bytes);
    fvcrash_task_mapping mapping;
    fvcrash_task_mapping_set_checked(&mapping, fvcrash_task_self(), base + 16, 3 * page - 16);
    const uint64_t groups[1] = {0b101};  // the first and last pages were found readable
    mapping.checked_groups = groups;
    mapping.checked_group_count = 3;
    mapping.checked_group_shift = 0;

    EXPECT_TRUE(fvcrash_task_mapping_contains(&mapping, base, 16, page - 16));
    EXPECT_FALSE(fvcrash_task_mapping_contains(&mapping, base, page - 4, 8));
    EXPECT_FALSE(fvcrash_task_mapping_contains(&mapping, base, 16, 3 * page - 16));
    EXPECT_TRUE(fvcrash_task_mapping_contains(&mapping, base, 2 * page, page));
    EXPECT_FALSE(fvcrash_task_mapping_contains(&mapping, base, 2 * page, page + 1));
    EXPECT_EQ(fvcrash_task_mapping_run(&mapping, base + page - 10), 10u);
    EXPECT_EQ(fvcrash_task_mapping_run(&mapping, base + page + 8), 0u);
    EXPECT_EQ(fvcrash_task_mapping_run(&mapping, base + 2 * page), page);
    EXPECT_EQ(fvcrash_task_mapping_pointer(&mapping, base + page, 0, 1), nullptr);

    uint64_t value = 0, size = 0;
    EXPECT_NE(fvcrash_dwarf_read_uleb128(&mapping, base + page - 3, 0, &value, &size),
              FVCRASH_ESUCCESS);
    EXPECT_EQ(fvcrash_dwarf_read_uleb128(&mapping, base + 2 * page, 0, &value, &size),
              FVCRASH_ESUCCESS);
    EXPECT_EQ(value, 0x80u);
    EXPECT_EQ(size, 2u);
    munmap(bytes, 3 * page);
}

TEST(FVCrashStackCursor, WalksAThreadToItsStartAsLibgccDoes) {
    // A thread's outermost frame is clone3's, whose return address is
    // undefined.
    Walks walks;
    std::thread thread([&] {
        int values[] = {2, 1};
        g_walks = &walks;
        qsort(values, 2, sizeof(int), compareAndWalk);
    });
    thread.join();
    expectSameCallers(walks);
}

void onSignal(int) {
    if (g_walks) takeWalks(g_walks);
}

TEST(FVCrashStackCursor, WalksThroughASignalFrameAsLibgccDoes) {
    Walks walks;
    g_walks = &walks;
    struct sigaction action = {}, old = {};
    action.sa_handler = onSignal;
    sigaction(SIGUSR1, &action, &old);
    raise(SIGUSR1);
    sigaction(SIGUSR1, &old, nullptr);
    g_walks = nullptr;
    expectSameCallers(walks);
    EXPECT_GT(walks.ours.size(), 6u);
}

// abort() as the last call of a function: its return address is past the
// function's end, so the frame is looked up one byte back.
extern "C" __attribute__((noinline, noreturn)) void fvcrashTestDie() {
    asm volatile("" ::: "memory");
    abort();
}

sigjmp_buf g_abortJump;

void onAbort(int) {
    if (g_walks) takeWalks(g_walks);
    siglongjmp(g_abortJump, 1);
}

TEST(FVCrashStackCursor, WalksOutOfAbortAsLibgccDoes) {
    // In a child: abort() keeps its lock once the handler jumps out.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        static Walks walks;
        g_walks = &walks;
        struct sigaction action = {};
        action.sa_handler = onAbort;
        sigaction(SIGABRT, &action, nullptr);
        if (sigsetjmp(g_abortJump, 1) == 0) fvcrashTestDie();
        g_walks = nullptr;
        if (walks.ours.size() < 3) _exit(2);
        const auto at = std::find(walks.libgcc.begin(), walks.libgcc.end(), walks.ours[1]);
        if (at == walks.libgcc.end()) _exit(3);
        const std::vector<uint64_t> theirs(at, walks.libgcc.end());
        const std::vector<uint64_t> ours(walks.ours.begin() + 1, walks.ours.end());
        if (ours != theirs) _exit(4);
        // The test's own function is in both walks.
        const uint64_t die = reinterpret_cast<uintptr_t>(&fvcrashTestDie);
        const bool seen = std::any_of(ours.begin(), ours.end(),
                                      [&](uint64_t ip) { return ip > die && ip - die < 64; });
        _exit(seen ? 0 : 5);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
