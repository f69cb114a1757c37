// Soak: several threads use one runtime at random for a bounded time (VELK_SOAK_SECONDS,
// default 2, so the sanitizer runs stay short), then every node and operator output must equal
// a recomputation from scratch. Meant to be run under ThreadSanitizer (scripts/sanitize).
//
//   worker t (x4), until the deadline, at random:
//     set an input | read a query | make, read, observe and delete temporary nodes |
//     observe / unobserve | stabilize | insert / remove an element | read an operator
//   main: join (a worker still running 60 s after the deadline aborts: a deadlock), then check
#include <algorithm>
#include <map>
#include <memory>
#include <random>

#include "test_support.h"
#include "velk/collections/aggregate.h"
#include "velk/collections/collection_ops.h"
#include "velk/runtime/runtime.h"

using velk::Runtime;
using U = velk::Velk<uint64_t>;
using Elements = std::vector<uint64_t>;

namespace {

constexpr int kWorkers = 4;
constexpr size_t kWidth = 8;
constexpr uint64_t kElementRange = 24;
constexpr uint64_t kMaxElements = 200;

double soak_seconds() {
  const char* text = std::getenv("VELK_SOAK_SECONDS");
  return text != nullptr ? std::atof(text) : 2.0;
}

class CountingObserver : public velk::ObserverClosure {
 public:
  explicit CountingObserver(U node) : ObserverClosure(velk::ErasedVelk(node)), node_(node) {}
  std::atomic<uint64_t> fired{0};

 protected:
  void deliver(Runtime& runtime, bool& in_callback) override {
    runtime.get(node_);
    in_callback = true;
    fired.fetch_add(1, std::memory_order_relaxed);
  }

 private:
  U node_;
};

Elements sorted_contents(const velk::CollectionState<uint64_t>& state) {
  velk::CollectionReadGuard guard(state.lock());
  Elements out = state.snapshot();
  std::sort(out.begin(), out.end());
  return out;
}

// The permanent graph: inputs, queries over them (one with dependencies that follow an
// input), a collection with a map operator (x -> 10x) and a sum aggregate over it.
struct SoakGraph {
  Runtime rt;
  std::vector<U> inputs, queries;
  velk::CollectionHandle<uint64_t> source = velk::create_collection_node<uint64_t>(rt, false);
  std::shared_ptr<velk::CollectionState<uint64_t>> mapped;
  U map_node, sum_node, size_query;

  SoakGraph() {
    for (uint64_t i = 0; i < kWidth; ++i) inputs.push_back(rt.create_input<uint64_t>(i));
    for (size_t i = 0; i < kWidth; ++i) {
      const U a = inputs[i], b = inputs[(i + 1) % kWidth];
      queries.push_back(
          rt.create_query<uint64_t>([a, b](Runtime& r, uint32_t) { return r.get(a) + r.get(b); }));
    }
    const std::vector<U> pairs = queries;
    queries.push_back(rt.create_query<uint64_t>([pairs](Runtime& r, uint32_t) {
      uint64_t total = 0;
      for (U p : pairs) total += r.get(p);
      return total;
    }));
    const U selector = inputs[7], odd = pairs[0], even = pairs[3];
    queries.push_back(rt.create_query<uint64_t>(
        [=](Runtime& r, uint32_t) { return r.get(selector) % 2 ? r.get(odd) : r.get(even) / 2; }));
    build_operators();
  }

  void build_operators() {
    auto link = velk::subscribe(source).first;
    mapped = velk::seeded_output<uint64_t>({});
    map_node = rt.create_query<uint64_t>([link, out = mapped](Runtime& r, uint32_t) {
      return velk::consume_deltas(r, link, *out, [](std::vector<velk::Delta<uint64_t>>& batch) {
        std::vector<velk::Delta<uint64_t>> changes;
        for (const auto& d : batch) changes.push_back({d.kind, d.element * 10});
        return changes;
      });
    });
    velk::AggregateLink<uint64_t, uint64_t> sum;
    sum.source = velk::subscribe(source).first;
    sum.tree = std::make_shared<std::unique_ptr<velk::AggregateTree<uint64_t, uint64_t>>>(
        std::make_unique<velk::AggregateTree<uint64_t, uint64_t>>(0));
    sum_node = rt.create_query<uint64_t>([sum](Runtime& r, uint32_t) {
      return velk::aggregate_step(
          r, sum, [](uint64_t x) { return x; }, [](uint64_t a, uint64_t b) { return a + b; });
    });
    const U op = map_node;
    size_query = rt.create_query<uint64_t>([op, out = mapped](Runtime& r, uint32_t) {
      r.get(op);
      return velk::collection_size(*out);
    });
  }

  // From scratch, from the final inputs: the pair sums, their total, the selected branch.
  std::vector<uint64_t> expected_queries() {
    std::vector<uint64_t> v, out;
    for (U input : inputs) v.push_back(rt.get(input));
    uint64_t total = 0;
    for (size_t i = 0; i < kWidth; ++i) {
      out.push_back(v[i] + v[(i + 1) % kWidth]);
      total += out.back();
    }
    out.push_back(total);
    out.push_back(v[7] % 2 ? out[0] : out[3] / 2);
    return out;
  }
};

class Worker {
 public:
  Worker(SoakGraph& g, unsigned seed) : g_(g), rng_(seed) {}

  void run(std::chrono::steady_clock::time_point deadline) {
    while (std::chrono::steady_clock::now() < deadline) {
      step(pick(10));
      ++ops;
    }
    for (uint64_t id : observers_) g_.rt.unobserve(id);
  }

  uint64_t ops = 0;
  std::map<uint64_t, int64_t> changes;  // element -> inserts minus successful removes

 private:
  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  U any_query() { return g_.queries[pick(g_.queries.size())]; }

  void step(size_t op) {
    Runtime& rt = g_.rt;
    switch (op) {
      case 0: rt.set(g_.inputs[pick(kWidth)], uint64_t(pick(20))); break;
      case 1: rt.get(any_query()); break;
      case 2: temporary_nodes(); break;
      case 3: observe(); break;
      case 4: rt.stabilize(); break;
      case 5:
      case 6: change_collection(); break;
      case 7: rt.get(g_.sum_node); break;
      case 8: rt.get(g_.size_query); break;
      default: rt.get(g_.map_node); break;
    }
  }

  // Nodes made, read, observed and deleted while the other workers run.
  void temporary_nodes() {
    Runtime& rt = g_.rt;
    const U t = rt.create_input<uint64_t>(pick(5));
    const U base = any_query();
    const U q = rt.create_query<uint64_t>(
        [t, base](Runtime& r, uint32_t) { return r.get(t) + r.get(base); });
    const U top = rt.create_query<uint64_t>([q](Runtime& r, uint32_t) { return r.get(q) * 2; });
    rt.observe(top, std::make_shared<CountingObserver>(top));
    EXPECT_EQ(rt.get(top) % 2, 0u);
    if (pick(2) == 0) {
      EXPECT_EQ(rt.delete_with_dependents(velk::ErasedVelk(t)), 3u);
    } else {
      rt.delete_node(top);
      rt.delete_node(q);
      rt.delete_node(t);
    }
    EXPECT_FALSE(rt.is_alive(velk::ErasedVelk(t)) || rt.is_alive(velk::ErasedVelk(q)) ||
                 rt.is_alive(velk::ErasedVelk(top)));
  }

  void observe() {
    if (!observers_.empty() && pick(2) == 0) {
      g_.rt.unobserve(observers_.back());
      observers_.pop_back();
    } else {
      const U node = any_query();
      observers_.push_back(g_.rt.observe(node, std::make_shared<CountingObserver>(node)));
    }
  }

  void change_collection() {
    const uint64_t x = pick(kElementRange);
    if (pick(2) == 0 && velk::collection_size(*g_.source.state) < kMaxElements) {
      velk::collection_insert(g_.rt, g_.source, x);
      ++changes[x];
    } else if (velk::collection_remove(g_.rt, g_.source, x)) {
      --changes[x];
    }
  }

  SoakGraph& g_;
  std::mt19937_64 rng_;
  std::vector<uint64_t> observers_;
};

// Joins the workers; aborts with a message if one is still running `grace` after the deadline.
void join_or_abort(std::vector<std::thread>& threads, std::atomic<int>& running,
                   std::chrono::steady_clock::time_point limit) {
  while (running.load() > 0) {
    if (std::chrono::steady_clock::now() > limit) {
      std::fputs("soak: workers did not finish: deadlock\n", stderr);
      std::abort();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  for (auto& t : threads) t.join();
}

}  // namespace

TEST(Soak, RandomConcurrentUseEndsEqualToARecomputationFromScratch) {
  SoakGraph g;
  const auto seconds = std::chrono::duration<double>(soak_seconds());
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(seconds);
  std::vector<std::unique_ptr<Worker>> workers;
  for (int t = 0; t < kWorkers; ++t) workers.push_back(std::make_unique<Worker>(g, 1000 + t));
  std::atomic<int> running{kWorkers};
  std::vector<std::thread> threads;
  for (auto& w : workers) {
    threads.emplace_back([&, worker = w.get()] {
      velk_test::failing_the_test_on_escape("a worker", [&] { worker->run(deadline); });
      running.fetch_sub(1);
    });
  }
  join_or_abort(threads, running, deadline + std::chrono::seconds(60));

  Elements expected;
  uint64_t ops = 0;
  std::map<uint64_t, int64_t> net;
  for (const auto& w : workers) {
    ops += w->ops;
    for (auto [x, n] : w->changes) net[x] += n;
  }
  uint64_t sum = 0;
  for (auto [x, n] : net) {
    ASSERT_GE(n, 0) << "element " << x;
    for (int64_t i = 0; i < n; ++i) expected.push_back(x);
    sum += x * uint64_t(n);
  }
  EXPECT_EQ(sorted_contents(*g.source.state), expected);

  const std::vector<uint64_t> want = g.expected_queries();
  for (size_t i = 0; i < g.queries.size(); ++i)
    EXPECT_EQ(g.rt.get(g.queries[i]), want[i]) << "query " << i;
  EXPECT_EQ(g.rt.get(g.sum_node), sum);
  EXPECT_EQ(g.rt.get(g.size_query), expected.size());
  Elements times_ten = expected;
  for (uint64_t& x : times_ten) x *= 10;
  EXPECT_EQ(sorted_contents(*g.mapped), times_ten);
  // Every temporary node is gone: what is left is the permanent graph, with
  // the source version node and three operator nodes.
  EXPECT_EQ(g.rt.node_count(), kWidth + g.queries.size() + 4);
  std::printf("soak: %llu operations by %d threads in %.1f s, %zu elements at the end\n",
              static_cast<unsigned long long>(ops), kWorkers, seconds.count(), expected.size());
}
