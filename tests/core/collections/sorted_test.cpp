#include "velk/collections/sorted_collection.h"

#include <algorithm>
#include <random>
#include <stdexcept>
#include <string>

#include "test_support.h"
#include "velk/collections/aggregate.h"
#include "velk/collections/positional.h"
#include "velk/runtime/runtime.h"

using velk::DeltaKind;
using velk::Runtime;
using Sorted = velk::SortedState<uint64_t>;
using Elements = std::vector<uint64_t>;
using Window = velk::Window<uint64_t>;
using Pair = std::pair<uint64_t, uint64_t>;

namespace {

template <class T>
std::vector<T> sorted_snapshot(const velk::CollectionState<T>& state) {
  velk::CollectionReadGuard guard(state.lock());
  std::vector<T> out = state.snapshot();
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<Window> windows_of(const Elements& m, size_t k) {
  std::vector<Window> out;
  for (size_t s = 0; s + k <= m.size(); ++s) out.emplace_back(m.begin() + s, m.begin() + s + k);
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<Pair> pairs_of(const Elements& m) {
  std::vector<Pair> out;
  for (size_t i = 0; i + 1 < m.size(); ++i) out.emplace_back(m[i], m[i + 1]);
  std::sort(out.begin(), out.end());
  return out;
}

uint64_t key_of(uint64_t x) { return x % 7; }  // many equal keys with distinct elements

}  // namespace

TEST(SortedState, EqualKeysKeepArrivalOrderAndRemovalTakesTheFirstEqualElement) {
  Sorted s;
  const auto reader = s.subscribe().first;  // without one, entries are only counted
  const std::vector<Pair> arrivals{{5, 50}, {3, 30}, {5, 51}, {5, 50}, {4, 40}, {9, 90}, {5, 49}};
  for (const auto& [key, element] : arrivals) s.insert(key, element);
  EXPECT_EQ(s.elements(), (Elements{30, 40, 50, 51, 50, 49, 90}));
  std::vector<uint64_t> positions;
  for (const auto& change : s.changes_since(0)) positions.push_back(change.position);
  EXPECT_EQ(positions, (std::vector<uint64_t>{0, 0, 2, 3, 1, 5, 5}));

  ASSERT_TRUE(s.remove(50));  // the earlier of the two 50s
  ASSERT_TRUE(s.remove(50));
  EXPECT_FALSE(s.remove(50));
  EXPECT_FALSE(s.remove(8));
  EXPECT_EQ(s.elements(), (Elements{30, 40, 51, 49, 90}));
  EXPECT_EQ(s.log_end(), 9u);  // the misses logged nothing
  const auto removals = s.changes_since(7);
  EXPECT_TRUE(removals[0].kind == DeltaKind::Delete && removals[0].position == 2 &&
              removals[0].element == 50);
  EXPECT_TRUE(removals[1].kind == DeltaKind::Delete && removals[1].position == 3 &&
              removals[1].element == 50);
}

// A fill in key order, and a merge of one into held entries, is what inserting one by one gives,
// logged at ascending positions.
TEST(SortedState, OrderedFillAndMergeMatchInsertingOneByOne) {
  Sorted one, filled;
  const auto readers = std::make_pair(one.subscribe().first, filled.subscribe().first);
  auto insert_both = [&](Elements keys, Elements elements, bool shorten = false) {
    for (size_t i = 0; i < keys.size(); ++i) one.insert(keys[i], elements[i]);
    std::vector<size_t> order(keys.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return keys[a] < keys[b]; });
    if (shorten) {
      std::vector<size_t> short_order(order.begin(), order.end() - 1);
      EXPECT_FALSE(filled.insert_in_order(keys, elements, short_order, true));
      EXPECT_EQ(filled.version(), 0u);
    }
    ASSERT_TRUE(filled.insert_in_order(keys, elements, order, true));
    EXPECT_EQ(filled.elements(), one.elements());
    EXPECT_EQ(filled.version(), one.version());
    EXPECT_TRUE(filled.ordered());
  };
  insert_both({5, 3, 5, 5, 4, 9, 5}, {50, 30, 51, 50, 40, 90, 49}, true);
  ASSERT_TRUE(filled.remove(50) && one.remove(50));  // keys filed per occurrence, as one by one
  insert_both({4, 0, 9}, {41, 1, 91});               // merged: ties after the held ones
  Elements keys, elements;
  for (uint64_t x = 0; x < 40; ++x) {
    keys.push_back(key_of(x));
    elements.push_back(x + 100);
  }
  insert_both(keys, elements);
  insert_both({9, 1}, {92, 11});  // few into many: in place
  Elements replayed;
  for (const auto& change : filled.changes_since(0)) {
    if (change.kind == DeltaKind::Insert) {
      replayed.insert(replayed.begin() + ptrdiff_t(change.position), change.element);
    } else {
      replayed.erase(replayed.begin() + ptrdiff_t(change.position));
    }
  }
  EXPECT_EQ(replayed, one.elements());
  ASSERT_TRUE(filled.remove(41) && one.remove(41));
  EXPECT_EQ(filled.elements(), one.elements());
}

TEST(PositionalRules, RandomChangesKeepWindowsAndPairsEqualToTheCurrentOrder) {
  std::mt19937_64 rng(61);
  for (size_t k : {1, 2, 3, 5}) {
    auto sorted = std::make_shared<Sorted>();
    for (uint64_t x : {4, 11, 4, 25}) sorted->insert(key_of(x), x);  // seeded, then followed
    velk::SortedLink<uint64_t> wlink, plink;
    velk::SortedMirror<uint64_t> wmirror, pmirror;
    const velk::WindowRule<uint64_t> wrule{k};
    const velk::PairRule<uint64_t> prule;
    auto windows = velk::subscribe_positional<uint64_t, Window>(sorted, wlink, wmirror, wrule);
    auto pairs = velk::subscribe_positional<uint64_t, Pair>(sorted, plink, pmirror, prule);
    Elements present{4, 11, 4, 25};
    for (int round = 0; round < 300; ++round) {
      for (int i = int(rng() % 4); i >= 0; --i) {  // a batch of 1..4 changes
        const uint64_t x = rng() % 30;
        const bool found = std::find(present.begin(), present.end(), x) != present.end();
        if (rng() % 5 < 3 || !found) {
          sorted->insert(key_of(x), x);
          present.push_back(x);
        } else {
          ASSERT_TRUE(sorted->remove(x));
          present.erase(std::find(present.begin(), present.end(), x));
        }
      }
      for (const auto& change : sorted->changes_since(wlink.cursor->load())) {
        wrule.apply(change, wmirror.elements, *windows);
        prule.apply(change, pmirror.elements, *pairs);
      }
      wlink.cursor->store(sorted->log_end());
      plink.cursor->store(sorted->log_end());
      const Elements order = sorted->elements();
      ASSERT_EQ(wmirror.elements.to_vector(), order);
      ASSERT_EQ(sorted_snapshot(*windows), windows_of(order, k)) << "k=" << k << " round " << round;
      ASSERT_EQ(sorted_snapshot(*pairs), pairs_of(order)) << "round " << round;
    }
  }
}

TEST(PositionalNodes, ConcurrentInsertsWhileAReaderFollowsWindowsAndPairs) {
  velk_test::DeadlockGuard deadlock_guard;
  Runtime rt;
  const auto source = velk::create_collection_node<uint64_t>(rt, false);
  auto sorted = std::make_shared<Sorted>();
  velk::SourceLink<uint64_t> slink = velk::subscribe(source).first;
  const velk::Velk<uint64_t> sort_node = rt.create_query<uint64_t>([slink, sorted](Runtime& r,
                                                                                   uint32_t) {
    return velk::sort_step(r, slink, *sorted, [](const std::vector<velk::Delta<uint64_t>>& batch) {
      Elements keys;
      for (const auto& d : batch) {
        if (d.kind == DeltaKind::Insert) keys.push_back(key_of(d.element));
      }
      return keys;
    });
  });
  velk::SortedLink<uint64_t> wlink{nullptr, nullptr, sort_node}, plink{nullptr, nullptr, sort_node};
  auto wmirror = std::make_shared<velk::SortedMirror<uint64_t>>();
  auto pmirror = std::make_shared<velk::SortedMirror<uint64_t>>();
  const velk::WindowRule<uint64_t> wrule{3};
  auto windows = velk::subscribe_positional<uint64_t, Window>(sorted, wlink, *wmirror, wrule);
  auto pairs = velk::subscribe_positional<uint64_t, Pair>(sorted, plink, *pmirror,
                                                          velk::PairRule<uint64_t>{});
  const auto window_node = rt.create_query<uint64_t>([=](Runtime& r, uint32_t) {
    return velk::positional_step(r, wlink, *wmirror, *windows, wrule);
  });
  const auto pair_node = rt.create_query<uint64_t>([=](Runtime& r, uint32_t) {
    return velk::positional_step(r, plink, *pmirror, *pairs, velk::PairRule<uint64_t>{});
  });

  constexpr int kWriters = 2;
  const uint64_t per_writer = 200 * velk_test::kScale;
  std::atomic<int> writers_left{kWriters};
  std::atomic<int> torn_reads{0};
  velk_test::Signal reading;
  std::thread reader([&] {
    for (int i = 0; writers_left.load() > 0; ++i) {
      rt.get(i % 2 ? window_node : pair_node);
      if (i == 0) reading.open();
      if (i % 8 != 0) continue;
      // Between steps the window state is exactly the windows of the mirror.
      velk::CollectionReadGuard mirror_guard(wmirror->lock);
      const Elements m = wmirror->elements.to_vector();
      if (sorted_snapshot(*windows) != windows_of(m, 3)) torn_reads.fetch_add(1);
    }
  });
  velk_test::run_threads(kWriters, [&](int t) {
    reading.wait();
    for (uint64_t i = 0; i < per_writer; ++i) {
      const uint64_t e = uint64_t(t) * 100000 + i;
      velk::collection_insert(rt, source, e);
      if (i % 4 == 1) velk::collection_remove(rt, source, e - 1);
      if (i % 32 == 0) std::this_thread::yield();  // on two cores, lets the reader interleave
    }
    writers_left.fetch_sub(1);
  });
  reader.join();
  rt.get(window_node);
  rt.get(pair_node);
  EXPECT_EQ(torn_reads.load(), 0);
  const Elements order = sorted->elements();
  Elements by_value = order, expected = sorted_snapshot(*source.state);
  std::sort(by_value.begin(), by_value.end());
  EXPECT_EQ(by_value, expected);
  EXPECT_EQ(order.size(), kWriters * (per_writer - (per_writer + 2) / 4));
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end(),
                             [](uint64_t a, uint64_t b) { return key_of(a) < key_of(b); }));
  EXPECT_EQ(sorted_snapshot(*windows), windows_of(order, 3));
  EXPECT_EQ(sorted_snapshot(*pairs), pairs_of(order));
}

namespace {

// lift = to_string and a non-commutative combine that shows the tree's shape.
struct Fold {
  std::vector<std::string> combined;
  int lifts = 0;
  uint64_t failing = ~uint64_t(0);

  auto lift() {
    return [this](uint64_t x) {
      if (x == failing) throw std::runtime_error("lift failed");
      ++lifts;
      return std::to_string(x);
    };
  }
  auto combine() {
    return [this](const std::string& a, const std::string& b) {
      combined.push_back("(" + a + "+" + b + ")");
      return combined.back();
    };
  }
};

}  // namespace

TEST(AggregateTree, ParenthesisationFollowsTheTreeAndFreedLeavesAreReused) {
  Fold f;
  velk::AggregateTree<uint64_t, std::string> t("e");
  EXPECT_EQ(t.root(), "e");
  t.insert(0, f.lift(), f.combine());
  EXPECT_EQ(t.root(), "0");
  EXPECT_TRUE(f.combined.empty());
  t.insert(1, f.lift(), f.combine());
  EXPECT_EQ(f.combined, (std::vector<std::string>{"(0+e)", "(0+1)"}));  // growth, then the new leaf
  t.insert(2, f.lift(), f.combine());
  EXPECT_EQ(t.root(), "((0+1)+(2+e))");
  f.combined.clear();
  t.remove(1, f.combine());
  t.insert(3, f.lift(), f.combine());
  EXPECT_EQ(t.root(), "((0+3)+(2+e))");
  EXPECT_EQ(f.combined.size(), 4u);  // two root paths of two levels each
  t.remove(7, f.combine());          // absent: nothing happens
  EXPECT_EQ(f.combined.size(), 4u);
  t.insert(3, f.lift(), f.combine());
  EXPECT_EQ(t.root(), "((0+3)+(2+3))");
  t.remove(3, f.combine());  // the most recent occurrence
  EXPECT_EQ(t.root(), "((0+3)+(2+e))");
  EXPECT_EQ(f.lifts, 5);  // removals lift nothing
}

// A batch combines each stale ancestor once: a delete and the insert that reuses its leaf
// share one root path, and the result is the one single changes give.
TEST(AggregateTree, BatchesCombineSharedAncestorsOnce) {
  Fold batched, single;
  velk::AggregateTree<uint64_t, std::string> b("e"), s("e");
  const std::vector<uint64_t> start{0, 1, 2, 3, 4, 5, 6, 7};
  b.insert_all(start, batched.lift(), batched.combine());
  for (uint64_t x : start) s.insert(x, single.lift(), single.combine());
  EXPECT_EQ(b.root(), s.root());
  EXPECT_LT(batched.combined.size(), single.combined.size());
  batched.combined.clear();
  using D = velk::Delta<uint64_t>;
  b.apply({D{velk::DeltaKind::Delete, 5}, D{velk::DeltaKind::Insert, 9}}, batched.lift(),
          batched.combine());
  s.remove(5, single.combine());
  s.insert(9, single.lift(), single.combine());
  EXPECT_EQ(b.root(), s.root());
  EXPECT_EQ(batched.combined.size(), 3u);  // one path of log2(8) levels, not two
}

TEST(AggregateStep, ThrowingLiftMarksARebuildFromTheSourcesCurrentContents) {
  Runtime rt;
  Fold f;
  f.failing = 7;
  const auto source = velk::create_collection_node<uint64_t>(rt, false);
  velk::AggregateLink<uint64_t, std::string> link;
  link.source = velk::subscribe(source).first;
  link.tree = std::make_shared<std::unique_ptr<velk::AggregateTree<uint64_t, std::string>>>(
      std::make_unique<velk::AggregateTree<uint64_t, std::string>>("e"));
  auto step = [&] { return velk::aggregate_step(rt, link, f.lift(), f.combine()); };

  velk::collection_insert(rt, source, uint64_t(1));
  velk::collection_insert(rt, source, uint64_t(7));
  EXPECT_THROW(step(), std::runtime_error);  // 1 went in, 7 failed
  EXPECT_TRUE((*link.tree)->needs_rebuild);
  EXPECT_EQ(link.source.cursor->load(), 0u);  // the batch stays for the retry
  EXPECT_THROW(step(), std::runtime_error);   // the rebuild meets 7 again
  EXPECT_TRUE((*link.tree)->needs_rebuild);

  velk::collection_remove(rt, source, uint64_t(1));
  velk::collection_remove(rt, source, uint64_t(7));
  velk::collection_insert(rt, source, uint64_t(3));
  f.lifts = 0;
  f.combined.clear();
  EXPECT_EQ(step(), "3");  // rebuilt from {3}, not replayed onto the partial tree holding 1
  EXPECT_EQ(f.lifts, 1);
  EXPECT_TRUE(f.combined.empty());
  EXPECT_FALSE((*link.tree)->needs_rebuild);
  velk::collection_insert(rt, source, uint64_t(4));
  EXPECT_EQ(step(), "(3+4)");
}
