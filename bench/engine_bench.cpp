// Engine-level figures with u64 values: clean reads, sets with one recompute, and clean reads
// from several threads at once. Prints ns per operation.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

#include "velk/runtime.h"

namespace {

using Clock = std::chrono::steady_clock;

template <class F>
double ns_per_op(uint64_t n, F&& op) {
  const auto start = Clock::now();
  for (uint64_t i = 0; i < n; ++i) op(i);
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / double(n);
}

}  // namespace

int main() {
  velk::Runtime rt;
  auto x = rt.create_input<uint64_t>(1);
  auto q = rt.create_query<uint64_t>([x](velk::Runtime& r, uint32_t) { return r.get(x) + 1; });
  rt.get(q);
  constexpr uint64_t n = 2'000'000;
  uint64_t sink = 0;
  std::printf("clean read of a query      %7.1f ns/op\n", ns_per_op(n, [&](uint64_t) { sink += rt.get(q); }));
  std::printf("set + read (one recompute) %7.1f ns/op\n",
              ns_per_op(n / 4, [&](uint64_t i) { rt.set(x, i + 2); sink += rt.get(q); }));
  for (unsigned threads : {2u, 4u}) {
    std::vector<std::thread> pool;
    const auto start = Clock::now();
    for (unsigned t = 0; t < threads; ++t) {
      pool.emplace_back([&] {
        uint64_t local = 0;
        for (uint64_t i = 0; i < n; ++i) local += rt.get(q);
        if (local == 42) std::puts("");
      });
    }
    for (auto& th : pool) th.join();
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    std::printf("clean reads, %u threads     %7.1f ns/op per thread\n", threads, ns / double(n));
  }
  return sink == 42 ? 1 : 0;
}
