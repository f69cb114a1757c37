// The runtime under concurrent use. The staged tests pin one interleaving each, with signals
// between the threads:
//
// StagedRace.SetDuringRecomputeLeavesTheNodeDirty
//   reader                                  main
//   get(q): claims q, reads a = 2
//   signals ------------------------------> set(a, 3): the walk marks q ComputingDirtied
//   waits <-------------------------------- signals
//   returns 20; q ends Dirty                get(q) recomputes: 30
//
// StagedRace.FirstReadOfADependencyChangedMidComputeLeavesTheNodeDirty
//   reader                                  main
//   get(q): first compute, reads a = 1,     set(a, 2): q is not yet among a's dependents,
//   signals ------------------------------> so the walk cannot reach it
//   waits <-------------------------------- signals
//   commit sees a changed after the compute began; q ends Dirty; get(q) recomputes: 20
//
// StagedRace.DependencyRetiredDuringFirstComputeRetriesAtOnce
//   reader                                  deleter (started and joined inside the compute)
//   get(q): first compute, reads a -------> retire_node(a): generation 0 -> 1
//   commit finds a gone: q back to New and claimed again at once
//   second compute: get(a) fails as stale; q ends Failed
//
// StagedRace.ReadersArrivingDuringAComputeWaitForIt
//   first reader                            late readers
//   get(q): claims q, blocks in compute --> get(q): q is Computing, they wait
//   released: q Clean --------------------> read the same value; no second compute
#include <barrier>

#include "test_support.h"
#include "velk/runtime/engine_steps.h"
#include "velk/runtime/runtime.h"

using velk::NodeState;
using velk::Runtime;
using velk_test::DeadlockGuard;
using velk_test::Signal;
using U = velk::Velk<uint64_t>;

namespace {

NodeState state_of(const Runtime& rt, U h) {
  return velk::EngineSteps::record(rt, h.slot).load_state();
}

// A value with a check field in its low 16 bits: a torn or freed value fails the check.
uint64_t seal(uint64_t payload) { return payload << 16 | ((payload * 40503) & 0xFFFF); }

// A query q = 10 * a whose compute number `pause_at` signals `in_compute` and waits for `resume`.
struct PausingQuery {
  Runtime rt;
  U a = rt.create_input<uint64_t>(1);
  std::atomic<int> calls{0};
  Signal in_compute, resume;
  U q;
  explicit PausingQuery(int pause_at) {
    q = rt.create_query<uint64_t>([this, pause_at](Runtime& r, uint32_t) {
      const uint64_t v = r.get(a);
      if (++calls == pause_at) {
        in_compute.open();
        resume.wait();
      }
      return v * 10;
    });
  }
};

}  // namespace

TEST(StagedRace, SetDuringRecomputeLeavesTheNodeDirty) {
  DeadlockGuard guard;
  PausingQuery s(2);
  EXPECT_EQ(s.rt.get(s.q), 10u);
  s.rt.set(s.a, uint64_t(2));
  uint64_t seen = 0;
  std::thread reader([&] { seen = s.rt.get(s.q); });
  s.in_compute.wait();
  s.rt.set(s.a, uint64_t(3));
  EXPECT_EQ(state_of(s.rt, s.q), NodeState::ComputingDirtied);
  s.resume.open();
  reader.join();
  EXPECT_EQ(seen, 20u);
  EXPECT_EQ(state_of(s.rt, s.q), NodeState::Dirty);
  EXPECT_EQ(s.rt.get(s.q), 30u);
  EXPECT_EQ(s.calls.load(), 3);
}

TEST(StagedRace, FirstReadOfADependencyChangedMidComputeLeavesTheNodeDirty) {
  DeadlockGuard guard;
  PausingQuery s(1);
  uint64_t seen = 0;
  std::thread reader([&] { seen = s.rt.get(s.q); });
  s.in_compute.wait();
  s.rt.set(s.a, uint64_t(2));
  EXPECT_EQ(state_of(s.rt, s.q), NodeState::Computing);  // the walk did not reach it
  s.resume.open();
  reader.join();
  EXPECT_EQ(seen, 10u);
  EXPECT_EQ(state_of(s.rt, s.q), NodeState::Dirty);
  EXPECT_EQ(s.rt.get(s.q), 20u);
}

TEST(StagedRace, DependencyRetiredDuringFirstComputeRetriesAtOnce) {
  Runtime rt;
  const U a = rt.create_input<uint64_t>(1);
  int calls = 0;
  std::vector<uint32_t> deps_at_retry{99};
  const U q = rt.create_query<uint64_t>([&](Runtime& r, uint32_t slot) {
    if (++calls == 2) deps_at_retry = velk::EngineSteps::record(r, slot).deps();
    const uint64_t v = r.get(a);
    if (calls == 1) std::thread([&] { velk::EngineSteps::retire_node(r, a.slot); }).join();
    return v;
  });
  EXPECT_FAILURE(rt.get(q),
                 "velk-core: stale Velk<u64> handle: the node at slot 0 was deleted "
                 "(handle generation 0, slot generation 1)");
  EXPECT_EQ(calls, 2);
  EXPECT_TRUE(deps_at_retry.empty());  // the first compute's reads were never committed
  EXPECT_EQ(state_of(rt, q), NodeState::New);  // a deletion says nothing about the node
}

TEST(StagedRace, ReadersArrivingDuringAComputeWaitForIt) {
  DeadlockGuard guard;
  PausingQuery s(1);
  std::atomic<int> started{0};
  std::vector<uint64_t> seen(4);
  std::vector<std::thread> readers;
  readers.emplace_back([&] { seen[0] = s.rt.get(s.q); });
  s.in_compute.wait();
  for (int i = 1; i < 4; ++i) {
    readers.emplace_back([&, i] {
      ++started;
      seen[i] = s.rt.get(s.q);
    });
  }
  while (started.load() < 3) std::this_thread::yield();
  EXPECT_EQ(state_of(s.rt, s.q), NodeState::Computing);
  s.resume.open();
  for (auto& t : readers) t.join();
  EXPECT_EQ(s.calls.load(), 1);
  EXPECT_EQ(seen, std::vector<uint64_t>(4, 10));
}

TEST(ConcurrentReads, ThreadsReleasedTogetherComputeADirtyNodeOncePerChange) {
  DeadlockGuard guard;
  constexpr int kThreads = 8;
  const uint64_t rounds = 25 * velk_test::kScale;
  Runtime rt;
  const U a = rt.create_input<uint64_t>(0);
  std::atomic<int> calls{0};
  const U q = rt.create_query<uint64_t>([&](Runtime& r, uint32_t) {
    ++calls;
    const uint64_t v = r.get(a);
    return v * v + 1;
  });
  EXPECT_EQ(rt.get(q), 1u);
  std::vector<uint64_t> seen(kThreads);
  std::barrier sync(kThreads + 1);
  velk_test::run_threads(kThreads + 1, [&](int t) {
    for (uint64_t round = 1; round <= rounds; ++round) {
      if (t == kThreads) rt.set(a, round);  // the last thread sets, the others read
      sync.arrive_and_wait();               // readers released together
      if (t < kThreads) seen[t] = rt.get(q);
      sync.arrive_and_wait();  // all have read
      if (t < kThreads) continue;
      EXPECT_EQ(seen, std::vector<uint64_t>(kThreads, round * round + 1));
      EXPECT_EQ(calls.load(), int(round) + 1);
    }
  });
}

// Setters change the inputs of a fan-in graph with diamonds while readers pull any node. Every
// value read must pass its check, top must never go back for one reader, and once all threads
// are joined every query must equal a recomputation from the final inputs.
TEST(ConcurrentGraph, SetsAndReadsEndEqualToAFreshRecomputation) {
  DeadlockGuard guard;
  constexpr uint32_t kInputs = 4;
  const uint64_t sets = 300 * velk_test::kScale;
  Runtime rt;
  std::atomic<int> torn{0}, backwards{0};
  std::atomic<uint32_t> setters_left{kInputs};
  auto payload = [&](Runtime& r, U h) {
    const uint64_t v = r.get(h);
    torn += seal(v >> 16) != v;
    return v >> 16;
  };
  std::vector<U> in, pair;  // pair[j] reads inputs j and j + 1; top reads every pair
  for (uint32_t j = 0; j < kInputs; ++j) in.push_back(rt.create_input<uint64_t>(seal(j)));
  for (uint32_t j = 0; j < kInputs; ++j) {
    pair.push_back(rt.create_query<uint64_t>([&, j](Runtime& r, uint32_t) {
      return seal(payload(r, in[j]) + 2 * payload(r, in[(j + 1) % kInputs]));
    }));
  }
  const U top = rt.create_query<uint64_t>([&](Runtime& r, uint32_t) {
    uint64_t sum = 0;
    for (U h : pair) sum += payload(r, h);
    return seal(sum);
  });
  velk_test::run_threads(kInputs + 3, [&](uint32_t t) {
    if (t < kInputs) {
      for (uint64_t n = 1; n <= sets; ++n) rt.set(in[t], seal(n * 10 + t));
      --setters_left;
      return;
    }
    for (uint64_t n = t, last_top = 0; setters_left.load() > 0; ++n) {
      const uint64_t v = payload(rt, top);
      backwards += v < last_top;
      last_top = v;
      payload(rt, pair[n % kInputs]);
    }
  });
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(backwards.load(), 0);
  uint64_t total = 0;
  for (uint32_t j = 0; j < kInputs; ++j) {
    const uint64_t expected = sets * 10 + j + 2 * (sets * 10 + (j + 1) % kInputs);
    EXPECT_EQ(rt.get(pair[j]), seal(expected));
    total += expected;
  }
  EXPECT_EQ(rt.get(top), seal(total));
}

// Threads creating and retiring nodes at once share the free-slot list: no slot goes to two live
// nodes, and retiring a node frees no other node's value.
TEST(ConcurrentSlots, CreationsAndRetirementsNeverShareASlotOrAValue) {
  DeadlockGuard guard;
  const uint64_t per_thread = 400 * velk_test::kScale;
  Runtime rt;
  std::vector<std::vector<U>> live(4);
  velk_test::run_threads(4, [&](int t) {
    for (uint64_t i = 0; i < per_thread; ++i) {
      live[t].push_back(rt.create_input<uint64_t>(uint64_t(t) << 32 | i));
      if (i % 3 == 2) {  // retire the middle one of the last three
        velk::EngineSteps::retire_node(rt, live[t][live[t].size() - 2].slot);
        live[t].erase(live[t].end() - 2);
      }
    }
  });
  std::vector<bool> used(velk::EngineSteps::slot_count(rt));
  uint32_t count = 0;
  for (int t = 0; t < 4; ++t) {
    for (U h : live[t]) {
      EXPECT_FALSE(used[h.slot]) << "slot " << h.slot << " handed out twice";
      used[h.slot] = true;
      ++count;
      EXPECT_EQ(rt.get(h) >> 32, uint64_t(t));
    }
  }
  EXPECT_EQ(rt.node_count(), count);
}

// Two queries that read each other, each first computed on its own thread: each thread holds
// one node of the cycle when it reaches the other's. Waiting would never end; at least one
// reader fails with the cycle message, which frees the other.
TEST(CrossThreadCycle, IsReportedInsteadOfWaitingForever) {
  DeadlockGuard guard;
  Runtime rt;
  std::barrier both(2);
  U nodes[2];
  std::atomic<bool> first_compute[2] = {true, true};
  for (int i = 0; i < 2; ++i) {
    nodes[i] = rt.create_query<uint64_t>([&, i](Runtime& r, uint32_t) {
      if (first_compute[i].exchange(false)) both.arrive_and_wait();
      return r.get(nodes[1 - i]) + 1;
    });
  }
  std::atomic<int> cycle_failures{0};
  velk_test::run_threads(2, [&](int t) {
    try {
      rt.get(nodes[t]);
    } catch (const velk::Failure& failure) {
      if (std::string(failure.what()).find("cycle detected") != std::string::npos) ++cycle_failures;
    }
  });
  EXPECT_GE(cycle_failures.load(), 1);
}

// A nested read brought up to date on a helper thread while the reader waits, as the binding
// does for computations nested too deeply: the read is recorded in the reader's compute, and a
// node computing on the reader is a cycle to the helper, reported as if read inline.
TEST(ContinuedRead, RecordsOnTheReaderAndSeesItsComputesAsItsOwn) {
  DeadlockGuard guard;
  Runtime rt;
  auto continued_get = [](Runtime& r, U h) {
    velk::NodeRecord& record = velk::EngineSteps::record_read(r, h);
    const velk::SharedDepStack& reader = velk::SharedDepStack::current();
    std::exception_ptr failure;
    std::thread([&] {
      velk::ContinuationGuard continuation(reader);
      try {
        velk::EngineSteps::ensure_clean(r, h.slot);
      } catch (...) {
        failure = std::current_exception();
      }
    }).join();
    if (failure) std::rethrow_exception(failure);
    velk::HazardHolder holder;
    return velk::EngineSteps::read_brought_clean(r, h, record, holder);
  };
  const U a = rt.create_input(uint64_t(1));
  U p, q;  // p2 below reads whichever q is current
  p = rt.create_query<uint64_t>([&](Runtime& r, uint32_t) { return r.get(a) + 1; });
  q = rt.create_query<uint64_t>([&](Runtime& r, uint32_t) { return continued_get(r, p) * 10; });
  EXPECT_EQ(rt.get(q), 20u);
  rt.set(a, uint64_t(2));  // reaches q only through the read recorded on the reader
  EXPECT_EQ(rt.get(q), 30u);
  const U p2 = rt.create_query<uint64_t>([&](Runtime& r, uint32_t) { return r.get(q); });
  q = rt.create_query<uint64_t>([&](Runtime& r, uint32_t) { return continued_get(r, p2); });
  EXPECT_FAILURE(rt.get(q), "velk-core: dependency cycle detected: node " + std::to_string(q.slot) +
                                " was read while its own compute was in progress");
}
