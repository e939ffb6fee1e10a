// Per-frame cost of the crash-time stack walk against libgcc's unwinder on
// the same live stack: 100+ frames through libc (qsort) and libstdc++
// (std::ostream::put into a stream buffer of ours), built without frame
// pointers. "Cold" resets the per-report cache before each walk, as a crash
// report does; "warm" keeps it.
#include <benchmark/benchmark.h>
#include <unwind.h>

#include <cstdlib>
#include <functional>
#include <ostream>
#include <streambuf>

#include "FVCrashReporter/Source/crash/FVCrashStackCursor.h"

namespace {

constexpr int kLevels = 40;

std::function<void()> g_bottom;

void descend(int level);

int compareDescending(const void* a, const void* b) {
    return *static_cast<const int*>(a) - *static_cast<const int*>(b);
}

// The level being built and whether it has gone one deeper yet (qsort calls
// its comparator more than once).
int g_level = 0;
bool g_descended[kLevels + 1];

int compareAndDescend(const void* a, const void* b) {
    if (!g_descended[g_level]) {
        g_descended[g_level] = true;
        descend(g_level + 1);
    }
    return compareDescending(a, b);
}

class DescendingBuffer : public std::streambuf {
  protected:
    int_type overflow(int_type c) override {
        if (!g_descended[g_level]) {
            g_descended[g_level] = true;
            descend(g_level + 1);
        }
        return c;
    }
};

__attribute__((noinline)) void descend(int level) {
    const int outer = g_level;
    g_level = level;
    g_descended[level] = false;
    if (level >= kLevels) {
        g_bottom();
        g_level = outer;
        return;
    }
    if (level % 2 == 0) {
        int values[3] = {3, 1, 2};
        qsort(values, 3, sizeof(int), compareAndDescend);
    } else {
        DescendingBuffer buffer;
        std::ostream out(&buffer);
        out.put('x');  // no buffer: overflow runs inside libstdc++'s put
    }
    g_level = outer;
    benchmark::ClobberMemory();
}

fvcrash_unwind_cache g_cache;

struct Walk {
    fvcrash_image_list* images;
    bool cold;
    size_t frames;
};

fvcrash_status walkOnce(fvcrash_thread_state* state, void* context) {
    auto* walk = static_cast<Walk*>(context);
    if (walk->cold) fvcrash_unwind_cache_reset(&g_cache);
    fvcrash_stack_cursor cursor;
    fvcrash_stack_cursor_from_state(&cursor, fvcrash_task_self(), state, walk->images);
    fvcrash_stack_cursor_set_cache(&cursor, &g_cache);
    size_t frames = 0;
    while (fvcrash_stack_cursor_step(&cursor) == FVCRASH_STACK_OK && frames < 512) ++frames;
    walk->frames = frames;
    return FVCRASH_ESUCCESS;
}

void runOurs(benchmark::State& state, bool cold) {
    Walk walk{fvcrash_shared_image_list(), cold, 0};
    fvcrash_unwind_cache_reset(&g_cache);
    g_bottom = [&] {
        for (auto _ : state) {
            // Capturing costs one call; the walk is what is measured.
            fvcrash_thread_state_capture_current(walkOnce, &walk);
        }
    };
    descend(0);
    state.counters["frames"] = static_cast<double>(walk.frames);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(walk.frames));
    if (walk.frames < 100) state.SkipWithError("fewer than 100 frames");
}

void BM_CursorCold(benchmark::State& state) { runOurs(state, true); }
void BM_CursorWarm(benchmark::State& state) { runOurs(state, false); }

_Unwind_Reason_Code countFrame(_Unwind_Context*, void* argument) {
    ++*static_cast<size_t*>(argument);
    return _URC_NO_REASON;
}

void BM_UnwindBacktrace(benchmark::State& state) {
    size_t frames = 0;
    g_bottom = [&] {
        for (auto _ : state) {
            frames = 0;
            _Unwind_Backtrace(countFrame, &frames);
        }
    };
    descend(0);
    state.counters["frames"] = static_cast<double>(frames);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(frames));
}

}  // namespace

BENCHMARK(BM_CursorCold);
BENCHMARK(BM_CursorWarm);
BENCHMARK(BM_UnwindBacktrace);
