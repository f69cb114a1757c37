// Engine-level figures with u64 values, measured with Google Benchmark:
//   - a clean read of an up-to-date query,
//   - set of the input at the head of a chain of N queries, then a read of the sink,
//   - clean reads from 1 and 2 threads at once (aggregate throughput; compare items_per_second).
//
// Run: build-bench/bench/velk_bench_engine [--benchmark_format=json]
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "velk/runtime/runtime.h"

namespace {

void BM_CleanRead(benchmark::State& state) {
  velk::Runtime rt;
  auto x = rt.create_input<uint64_t>(1);
  auto q = rt.create_query<uint64_t>([x](velk::Runtime& r, uint32_t) { return r.get(x) + 1; });
  rt.get(q);
  for (auto _ : state) benchmark::DoNotOptimize(rt.get(q));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CleanRead);

// A chain input -> q1 -> ... -> qN. Each iteration changes the input and reads qN, so every
// node recomputes; the reported time divided by N is the cost per recomputed node.
void BM_SetRecomputeChain(benchmark::State& state) {
  const auto n = static_cast<size_t>(state.range(0));
  velk::Runtime rt;
  auto x = rt.create_input<uint64_t>(0);
  std::vector<velk::Velk<uint64_t>> chain;
  chain.reserve(n);
  auto prev_in = x;
  chain.push_back(rt.create_query<uint64_t>(
      [prev_in](velk::Runtime& r, uint32_t) { return r.get(prev_in) + 1; }));
  rt.get(chain.back());
  for (size_t i = 1; i < n; ++i) {
    auto prev = chain.back();
    chain.push_back(
        rt.create_query<uint64_t>([prev](velk::Runtime& r, uint32_t) { return r.get(prev) + 1; }));
    rt.get(chain.back());  // built front to back, so no read recurses deeply
  }
  uint64_t v = 1;
  for (auto _ : state) {
    rt.set(x, v++);
    benchmark::DoNotOptimize(rt.get(chain.back()));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));  // recomputed nodes
}
BENCHMARK(BM_SetRecomputeChain)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// Clean reads of one shared query from 1 or 2 threads; items_per_second is the aggregate
// throughput of all threads, so the scaling ratio is items/s(2 threads) / items/s(1 thread).
struct Shared {
  velk::Runtime rt;
  velk::Velk<uint64_t> q{};
  Shared() {
    auto x = rt.create_input<uint64_t>(1);
    q = rt.create_query<uint64_t>([x](velk::Runtime& r, uint32_t) { return r.get(x) + 1; });
    rt.get(q);
  }
};
Shared& shared() {
  static Shared s;
  return s;
}

void BM_ParallelCleanRead(benchmark::State& state) {
  auto& s = shared();
  for (auto _ : state) benchmark::DoNotOptimize(s.rt.get(s.q));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParallelCleanRead)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
