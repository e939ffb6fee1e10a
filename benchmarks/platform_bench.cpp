#include <benchmark/benchmark.h>

#include "Platform/Values/Value.h"

static void BM_ValueDictionaryEquality(benchmark::State& state) {
    platform::Dictionary d;
    for (int i = 0; i < state.range(0); ++i)
        d.emplace("key" + std::to_string(i), platform::Value(i));
    platform::Value a(d), b(d);
    b.set("key0", platform::Value(0.0));
    for (auto _ : state) benchmark::DoNotOptimize(a == b);
}
BENCHMARK(BM_ValueDictionaryEquality)->Arg(10)->Arg(1000);
