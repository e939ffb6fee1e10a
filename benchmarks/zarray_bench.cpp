// ZArray against std::vector and std::deque: insertion in the middle,
// deletion from the middle and reads at random indexes, for arrays of 10^3,
// 10^5 and 10^6 items of 8 and 64 bytes.
//
//   build/benchmarks/zarray_bench --benchmark_min_time=0.2
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <deque>
#include <random>
#include <vector>

#include "Foundation/ZArray.h"

namespace {

template <std::size_t N>
struct Item {
    std::array<std::uint8_t, N> bytes{};
};

template <std::size_t N>
Item<N> MakeItem(std::size_t i) {
    Item<N> item;
    item.bytes[0] = static_cast<std::uint8_t>(i);
    return item;
}

template <std::size_t N>
class PagedArray {
  public:
    using Value = Item<N>;
    PagedArray() : array_(N, 4) {}
    std::size_t size() const { return array_.Count(); }
    void push_back(const Value& v) { array_.AddItemSelf(&v, nullptr); }
    void insert(std::size_t i, const Value& v) {
        array_.InsertItemSelf(&v, static_cast<unsigned>(i));
    }
    void erase(std::size_t i) { array_.DeleteItem(static_cast<unsigned>(i)); }
    const Value& at(std::size_t i) const {
        return *static_cast<const Value*>(array_.ItemPtr(static_cast<unsigned>(i)));
    }

  private:
    ZArray array_;
};

template <class Std>
class StdContainer {
  public:
    using Value = typename Std::value_type;
    std::size_t size() const { return c_.size(); }
    void push_back(const Value& v) { c_.push_back(v); }
    void insert(std::size_t i, const Value& v) {
        c_.insert(c_.begin() + static_cast<std::ptrdiff_t>(i), v);
    }
    void erase(std::size_t i) { c_.erase(c_.begin() + static_cast<std::ptrdiff_t>(i)); }
    const Value& at(std::size_t i) const { return c_[i]; }

  private:
    Std c_;
};

template <std::size_t N>
using Vector = StdContainer<std::vector<Item<N>>>;
template <std::size_t N>
using Deque = StdContainer<std::deque<Item<N>>>;

template <class C>
void Fill(C& c, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) c.push_back(MakeItem<sizeof(typename C::Value)>(i));
}

// Operations per timed batch; the opposite operations that restore the size
// run untimed.
constexpr int kBatch = 64;

template <class C>
void BM_InsertMiddle(benchmark::State& state) {
    C c;
    Fill(c, static_cast<std::size_t>(state.range(0)));
    const auto item = MakeItem<sizeof(typename C::Value)>(7);
    for (auto _ : state) {
        for (int k = 0; k < kBatch; ++k) c.insert(c.size() / 2, item);
        state.PauseTiming();
        for (int k = 0; k < kBatch; ++k) c.erase(c.size() / 2);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

template <class C>
void BM_DeleteMiddle(benchmark::State& state) {
    C c;
    Fill(c, static_cast<std::size_t>(state.range(0)));
    const auto item = MakeItem<sizeof(typename C::Value)>(7);
    for (auto _ : state) {
        for (int k = 0; k < kBatch; ++k) c.erase(c.size() / 2);
        state.PauseTiming();
        for (int k = 0; k < kBatch; ++k) c.insert(c.size() / 2, item);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

// Reads at 4096 random indexes, the same for every container. `inserts`
// items inserted at spread places after the fill leave a paged array with
// pages that are neither full nor in order, so its reads go by the index.
template <class C>
void IndexedRead(benchmark::State& state, int inserts) {
    C c;
    const auto n = static_cast<std::size_t>(state.range(0));
    Fill(c, n);
    const auto item = MakeItem<sizeof(typename C::Value)>(7);
    for (int k = 0; k < inserts; ++k) c.insert(n / static_cast<std::size_t>(inserts) * k + 1, item);
    std::vector<std::size_t> indexes(4096);
    std::mt19937 random(1);
    for (auto& i : indexes) i = random() % n;
    std::uint64_t sum = 0;
    for (auto _ : state) {
        for (std::size_t i : indexes) sum += c.at(i).bytes[0];
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(indexes.size()));
}

template <class C>
void BM_IndexedRead(benchmark::State& state) {
    IndexedRead<C>(state, 0);
}

template <class C>
void BM_IndexedReadAfterInserts(benchmark::State& state) {
    IndexedRead<C>(state, 64);
}

#define PEL_CONTAINER_BENCHMARKS(Container, N)                                               \
    BENCHMARK_TEMPLATE(BM_InsertMiddle, Container<N>)->Arg(1000)->Arg(100000)->Arg(1000000); \
    BENCHMARK_TEMPLATE(BM_DeleteMiddle, Container<N>)->Arg(1000)->Arg(100000)->Arg(1000000); \
    BENCHMARK_TEMPLATE(BM_IndexedRead, Container<N>)->Arg(1000)->Arg(100000)->Arg(1000000);  \
    BENCHMARK_TEMPLATE(BM_IndexedReadAfterInserts, Container<N>)->Arg(1000000)

PEL_CONTAINER_BENCHMARKS(PagedArray, 8);
PEL_CONTAINER_BENCHMARKS(Vector, 8);
PEL_CONTAINER_BENCHMARKS(Deque, 8);
PEL_CONTAINER_BENCHMARKS(PagedArray, 64);
PEL_CONTAINER_BENCHMARKS(Vector, 64);
PEL_CONTAINER_BENCHMARKS(Deque, 64);

}  // namespace
