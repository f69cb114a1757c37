// Runtime::set_many: several inputs as one change. The staged race pins the interleaving a
// batch must not tear:
//
// SetManyRace.ComputeThatReadPartOfAWriteRunsAgain (first compute, then a recompute)
//   reader                                   main
//   get(q): claims q, reads a (old) -------> set_many {a, b}: claims, writes, walks, stamps r
//   waits <--------------------------------- signals
//   reads b (new): the value would mix them; the check at the end of the compute finds a
//   changed after the compute began, so it runs again: a and b both new, never stored mixed
// The same holds for a plain set of the one input two reads come from (a * 2, then a * 3).
//
// SetManyRace.AValueReadUnderASetsClaimIsReadAgainAfterItsRevision
//   reader                                   setter
//   brings a up to date (Clean)
//                                            set(a, 2): claims, writes, walks; pauses at
//   reads a's cell: 2, revision unchanged <- the seam before its revision
//   sees the claim, waits ----------------> takes the revision, ends the claim
#include <latch>

#include "test_support.h"
#include "velk/base/waiting.h"
#include "velk/runtime/engine_steps.h"
#include "velk/runtime/runtime.h"
#include "velk/runtime/test_seams.h"

using velk::Runtime;
using velk::SetBatch;
using velk_test::DeadlockGuard;
using velk_test::Signal;
using U = velk::Velk<uint64_t>;

namespace {

template <class... Pairs>
void set_many(Runtime& rt, Pairs... pairs) {
  SetBatch batch;
  (batch.add(pairs.first, pairs.second), ...);
  rt.set_many(batch);
}

}  // namespace

TEST(SetMany, OneRevisionForTheBatchLastValueWinsAndEqualValuesChangeNothing) {
  Runtime rt;
  const U a = rt.create_input<uint64_t>(1);
  const U b = rt.create_input<uint64_t>(2);
  const auto s = rt.create_input(std::vector<uint64_t>{1});  // another value type in the same batch
  int runs = 0;
  const U q = rt.create_query<uint64_t>([&](Runtime& r, uint32_t) {
    ++runs;
    return r.get(a) * 100 + r.get(b) * 10 + r.get(s).size();
  });
  EXPECT_EQ(rt.get(q), 121u);
  const uint64_t before = rt.revision();
  set_many(rt, std::pair{a, uint64_t(7)}, std::pair{b, uint64_t(5)}, std::pair{a, uint64_t(3)},
           std::pair{s, std::vector<uint64_t>{4, 4}});
  EXPECT_EQ(rt.revision(), before + 1);
  EXPECT_EQ(rt.get(a), 3u);
  EXPECT_EQ(rt.get(q), 352u);
  set_many(rt, std::pair{a, uint64_t(3)}, std::pair{b, uint64_t(5)});  // all equal
  set_many(rt, std::pair{a, uint64_t(9)}, std::pair{a, uint64_t(3)});  // last value equal
  EXPECT_EQ(rt.revision(), before + 1);
  EXPECT_EQ(rt.get(q), 352u);
  EXPECT_EQ(runs, 2);
}

TEST(SetManyRace, ComputeThatReadPartOfAWriteRunsAgain) {
  // q reads a, then b, across a batch of both; a * 2, then a * 3, across a set of a; a, then b,
  // across a set of a alone, which mixes nothing: that compute runs once, and the next read
  // runs it again.
  enum class Race { Batch, OneInputTwice, OtherInput };
  DeadlockGuard guard;
  for (const Race race : {Race::Batch, Race::OneInputTwice, Race::OtherInput}) {
    for (const bool first_compute : {true, false}) {
      Runtime rt;
      const U a = rt.create_input<uint64_t>(1);
      const U b = rt.create_input<uint64_t>(1);
      auto times = [&](uint64_t k) {
        return rt.create_query<uint64_t>([a, k](Runtime& r, uint32_t) { return r.get(a) * k; });
      };
      const bool diamond = race == Race::OneInputTwice;
      const U first = diamond ? times(2) : a;
      const U second = diamond ? times(3) : b;
      std::atomic<int> runs{0};
      std::atomic<bool> pause{first_compute};
      Signal read_a, landed;
      const U q = rt.create_query<uint64_t>([&](Runtime& r, uint32_t) {
        ++runs;
        const uint64_t read_first = r.get(first);
        if (pause.exchange(false)) {
          read_a.open();
          landed.wait();
        }
        return read_first * 10 + r.get(second);
      });
      if (!first_compute) {
        EXPECT_EQ(rt.get(q), diamond ? 23u : 11u);  // q is now a dependent
        pause = true;
        rt.set(a, uint64_t(3));
        rt.set(b, uint64_t(3));
        runs = 0;
      }
      uint64_t seen = 0;
      std::thread reader([&] { seen = rt.get(q); });
      read_a.wait();
      if (race == Race::Batch) {
        set_many(rt, std::pair{a, uint64_t(2)}, std::pair{b, uint64_t(2)});
      } else {
        rt.set(a, uint64_t(2));
      }
      landed.open();
      reader.join();
      const uint64_t now = race == Race::Batch ? 22u : diamond ? 46u : first_compute ? 21u : 23u;
      const uint64_t before = first_compute ? 11u : 33u;
      const auto where = testing::Message() << "race " << int(race) << ", first " << first_compute;
      EXPECT_EQ(seen, race == Race::OtherInput ? before : now) << where;
      EXPECT_EQ(runs.load(), race == Race::OtherInput ? 1 : 2) << where;
      EXPECT_EQ(rt.get(q), now) << where;
    }
  }
  // A compute that read nothing has nothing to check, whatever landed meanwhile.
  Runtime rt;
  const U x = rt.create_input<uint64_t>(0);
  const U q = rt.create_query<uint64_t>([x](Runtime& r, uint32_t) {
    r.set(x, uint64_t(1));
    return uint64_t(7);
  });
  EXPECT_EQ(rt.get(q), 7u);
  // One that sets what it read, then reads it again, keeps its value: each run would set again.
  int runs = 0;
  const U again = rt.create_query<uint64_t>([x, &runs](Runtime& r, uint32_t) {
    ++runs;
    r.set(x, r.get(x) + 1);
    return r.get(x);
  });
  EXPECT_EQ(rt.get(again), 2u);
  EXPECT_EQ(runs, 1);
}

TEST(SetManyRace, AValueReadUnderASetsClaimIsReadAgainAfterItsRevision) {
  // A reader brings a up to date, then a set claims it and writes it; the reader's read of the
  // cell (as a peek, or a read that finds its node clean, makes it) sees the new value before
  // its revision is taken, so nothing could tell it from the old one: it waits and reads again.
  DeadlockGuard guard;
  static Signal* written;
  static Signal* go;
  Signal written_here, go_here;
  written = &written_here;
  go = &go_here;
  Runtime rt;
  const U a = rt.create_input<uint64_t>(1);
  const uint64_t before = rt.revision();
  velk::EngineSteps::ensure_clean(rt, a.slot);
  velk::test_seams::before_set_revision = [] {
    written->open();
    go->wait();
  };
  std::thread setter([&] { rt.set(a, uint64_t(2)); });
  written_here.wait();
  velk::HazardHolder holder;
  velk::NodeRecord& record = velk::EngineSteps::record(rt, a.slot);
  EXPECT_EQ(velk::EngineSteps::read_brought_clean(rt, a, record, holder), 2u);
  EXPECT_EQ(rt.revision(), before);
  velk::set_blocking_hook([](void (*wait)(void*), void* context) {  // the reader's wait
    go->open();
    wait(context);
  });
  EXPECT_TRUE(velk::EngineSteps::claimed_while_read(rt, a.slot, record));
  EXPECT_EQ(rt.revision(), before + 1);
  go_here.open();  // had the read not waited
  setter.join();
  velk::set_blocking_hook(nullptr);
  velk::test_seams::before_set_revision = nullptr;
  EXPECT_FALSE(velk::EngineSteps::claimed_while_read(rt, a.slot, record));
}

TEST(SetManyRace, ReadersNeverSeeABatchInPart) {
  // a - b read directly, and through queries of a and of b, stays 0 while batches move a and b
  // together; a pause between the two reads widens the window a batch could tear.
  DeadlockGuard guard;
  Runtime rt;
  const U a = rt.create_input<uint64_t>(0);
  const U b = rt.create_input<uint64_t>(0);
  const U qa = rt.create_query<uint64_t>([&](Runtime& r, uint32_t) { return r.get(a); });
  const U qb = rt.create_query<uint64_t>([&](Runtime& r, uint32_t) { return r.get(b); });
  auto difference = [](U x, U y) {
    return [x, y](Runtime& r, uint32_t) {
      const uint64_t first = r.get(x);
      std::atomic<int> spin{0};  // not optimised away
      while (spin.fetch_add(1, std::memory_order_relaxed) < 2000) {
      }
      return first - r.get(y);
    };
  };
  const U direct = rt.create_query<uint64_t>(difference(a, b));
  const U nested = rt.create_query<uint64_t>(difference(qa, qb));
  const int rounds = 200 * velk_test::kScale;
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::latch start(3);
  velk_test::run_threads(3, [&](int t) {
    start.arrive_and_wait();
    if (t == 0) {
      for (uint64_t i = 1; i <= uint64_t(rounds); ++i)
        set_many(rt, std::pair{a, i}, std::pair{b, i});
      done = true;
      return;
    }
    while (!done) torn += int(rt.get(t == 1 ? direct : nested) != 0);
  });
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(rt.get(nested), 0u);
}
