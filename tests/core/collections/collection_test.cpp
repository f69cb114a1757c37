#include "velk/collections/collection.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "test_support.h"
#include "velk/collections/collection_ops.h"
#include "velk/runtime/runtime.h"

using velk::Delta;
using velk::DeltaKind;
using velk::Runtime;
using State = velk::CollectionState<uint64_t>;
using Elements = std::vector<uint64_t>;

namespace {

Elements sorted_snapshot(const State& state) {
  velk::CollectionReadGuard guard(state.lock());
  Elements out = state.snapshot();
  std::sort(out.begin(), out.end());
  return out;
}

bool is(const Delta<uint64_t>& d, DeltaKind kind, uint64_t element) {
  return d.kind == kind && d.element == element;
}

void fill(State& state, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) state.insert(i % 97);
}

// An element whose hash is interrupted while `tripwire` names it.
struct Fragile {
  uint64_t v;
  static inline uint64_t tripwire = ~uint64_t(0);
};

}  // namespace

template <>
struct velk::ValueTraits<Fragile> {
  static constexpr std::string_view name = "fragile";
  static bool equal(Fragile a, Fragile b) { return a.v == b.v; }
  static uint64_t hash(Fragile x) {
    if (x.v == Fragile::tripwire) velk::fail("interrupted");
    return x.v;
  }
};

TEST(CollectionState, CountsVersionsAndLogFollowEveryEffectiveChange) {
  State s;
  const auto reader = s.subscribe().first;  // without one, entries are only counted
  EXPECT_EQ(s.insert(7), 1u);
  EXPECT_EQ(s.insert(7), 2u);
  EXPECT_EQ(s.remove(7), std::make_pair(true, uint64_t(3)));
  EXPECT_EQ(s.size(), 1u);
  EXPECT_EQ(s.remove(8), std::make_pair(false, uint64_t(3)));  // missing: nothing logged
  EXPECT_EQ(s.log_end(), 3u);
  s.insert(9);
  EXPECT_EQ(s.remove(7), std::make_pair(true, uint64_t(5)));
  EXPECT_EQ(s.remove(7), std::make_pair(false, uint64_t(5)));  // the last occurrence is gone
  const auto tail = s.deltas_since(2);
  ASSERT_EQ(tail.size(), 3u);
  EXPECT_TRUE(is(tail[0], DeltaKind::Delete, 7) && is(tail[1], DeltaKind::Insert, 9) &&
              is(tail[2], DeltaKind::Delete, 7));

  s.insert(9);
  s.insert(4);
  auto [cursor, snapshot] = s.subscribe();
  EXPECT_EQ(cursor->load(), 7u);
  std::sort(snapshot.begin(), snapshot.end());
  EXPECT_EQ(snapshot, (Elements{4, 9, 9}));
}

TEST(CollectionState, BatchIsAppliedWholeOrNotAtAllWhenALookupThrows) {
  using Change = Delta<Fragile>;
  velk::CollectionState<Fragile> s;
  s.insert({1});
  std::vector<Change> batch{
      {DeltaKind::Insert, {2}}, {DeltaKind::Delete, {1}}, {DeltaKind::Insert, {13}}};
  Fragile::tripwire = 13;
  EXPECT_THROW(s.apply(batch), velk::Failure);
  std::vector<Change> inserts{{DeltaKind::Insert, {1}},
                              {DeltaKind::Insert, {5}},
                              {DeltaKind::Insert, {5}},
                              {DeltaKind::Insert, {13}}};
  EXPECT_THROW(s.apply(inserts), velk::Failure);  // inserts alone count as they go: taken back
  EXPECT_EQ(s.version(), 1u);
  EXPECT_EQ(s.size(), 1u);
  EXPECT_FALSE(s.remove({5}).first);
  Fragile::tripwire = ~uint64_t(0);
  std::vector<Change> retry{{DeltaKind::Insert, {2}},
                            {DeltaKind::Delete, {7}},
                            {DeltaKind::Delete, {1}},
                            {DeltaKind::Insert, {2}}};
  EXPECT_TRUE(s.apply(retry));  // the delete of 7, never held, is ignored
  EXPECT_EQ(s.version(), 4u);
  std::vector<uint64_t> held;
  for (const Fragile& x : s.snapshot()) held.push_back(x.v);
  EXPECT_EQ(held, (Elements{2, 2}));
  for (uint64_t v : {2, 7, 1}) EXPECT_EQ(s.remove({v}).first, v == 2) << v;  // no stray entries
}

TEST(Compaction, WithoutReadersTheLogOnlyCounts) {
  State s;
  fill(s, 5000);
  std::vector<Delta<uint64_t>> batch(3000, {DeltaKind::Insert, 1});
  s.apply(batch);
  s.seed({1, 2});
  EXPECT_EQ(s.log_length(), 0u);
  EXPECT_EQ(s.log_end(), 8002u);
  auto [cursor, snapshot] = s.subscribe();  // a reader starts at the end
  EXPECT_EQ(cursor->load(), 8002u);
  EXPECT_EQ(snapshot.size(), 8002u);
}

TEST(Compaction, LiveReaderKeepsEverythingFromItsPositionAndReleasesWhatItPasses) {
  State s;
  fill(s, 10);
  auto [reader, unused] = s.subscribe();
  fill(s, 3000);
  EXPECT_EQ(s.base(), 10u);
  const auto kept = s.deltas_since(10);
  ASSERT_EQ(kept.size(), 3000u);
  for (uint64_t i = 0; i < 3000; ++i) ASSERT_TRUE(is(kept[i], DeltaKind::Insert, i % 97));
  reader->store(1500);
  fill(s, 1);
  EXPECT_EQ(s.base(), 1500u);
  EXPECT_EQ(s.log_end(), 3011u);
}

// A log-only state counts nothing: its seed waits whole in the log for its one reader, who takes
// it as the contents; from then on the log is trimmed as any other.
TEST(Compaction, LogOnlyStateHandsItsSeedToItsReaderThenCompactsAsUsual) {
  State s(velk::Matching::Value, velk::Contents::LogOnly);
  fill(s, 3000);
  EXPECT_EQ(s.log_length(), 3000u);
  auto [reader, seed] = s.subscribe();
  ASSERT_EQ(seed.size(), 3000u);
  for (uint64_t i = 0; i < 3000; ++i) ASSERT_EQ(seed[i], i % 97);
  EXPECT_EQ(s.log_length(), 0u);
  EXPECT_EQ(s.remove(5), std::make_pair(true, uint64_t(3001)));
  EXPECT_EQ(s.size(), 2999u);
  ASSERT_EQ(s.deltas_since(3000).size(), 1u);
  EXPECT_TRUE(is(s.deltas_since(3000)[0], DeltaKind::Delete, 5));
  fill(s, 2000);
  EXPECT_EQ(s.base(), 3000u);  // kept from the reader's position
  reader->store(s.log_end());
  fill(s, 1);
  EXPECT_EQ(s.base(), 5001u);
}

TEST(Compaction, ReaderWhoseCursorIsDroppedIsPrunedAtTheNextCheck) {
  State s;
  auto [cursor, unused] = s.subscribe();
  fill(s, 2000);
  cursor.reset();
  EXPECT_EQ(s.reader_count(), 1u);  // only the state's own reference is left, not yet noticed
  EXPECT_EQ(s.log_length(), 2000u);
  fill(s, 1);
  EXPECT_EQ(s.reader_count(), 0u);
  EXPECT_EQ(s.log_length(), 0u);
  EXPECT_EQ(s.base(), 2001u);
}

namespace {

// A root collection and an operator node mapping x to 10x; `failing` makes the transform throw.
struct TimesTen {
  explicit TimesTen(Runtime& r) : rt(r) {}

  void start() {
    auto [source_link, snapshot] = velk::subscribe(source);
    link = std::move(source_link);
    for (uint64_t& e : snapshot) e *= 10;
    output = velk::seeded_output(std::move(snapshot));
    op = rt.create_query<uint64_t>([this](Runtime& r, uint32_t) {
      return velk::consume_deltas(r, link, *output, [this](std::vector<Delta<uint64_t>>& batch) {
        batches.push_back(batch.size());
        if (failing) throw std::runtime_error("transform failed");
        std::vector<Delta<uint64_t>> changes;
        for (auto& d : batch) changes.push_back({d.kind, std::exchange(d.element, 0) * 10});
        batch.clear();  // a transform may use up its batch, as the Python operators do
        return changes;
      });
    });
  }

  Elements expected() const {
    Elements out = sorted_snapshot(*source.state);
    for (uint64_t& e : out) e *= 10;
    return out;
  }

  Runtime& rt;
  velk::CollectionHandle<uint64_t> source = velk::create_collection_node<uint64_t>(rt, false);
  velk::SourceLink<uint64_t> link;
  std::shared_ptr<State> output;
  velk::Velk<uint64_t> op;
  std::vector<size_t> batches;
  bool failing = false;
};

}  // namespace

TEST(ConsumeDeltas, ThrowingTransformLeavesOutputAndCursorForTheRetry) {
  Runtime rt;
  TimesTen m(rt);
  velk::collection_insert(rt, m.source, uint64_t(1));
  velk::collection_insert(rt, m.source, uint64_t(2));
  m.start();
  EXPECT_EQ(rt.get(m.op), 2u);  // the seed's two inserts; no deltas yet

  velk::collection_insert(rt, m.source, uint64_t(3));
  EXPECT_TRUE(velk::collection_remove(rt, m.source, uint64_t(1)));
  EXPECT_FALSE(velk::collection_remove(rt, m.source, uint64_t(1)));
  m.failing = true;
  EXPECT_THROW(rt.get(m.op), std::runtime_error);
  EXPECT_EQ(m.link.cursor->load(), 2u);
  EXPECT_EQ(sorted_snapshot(*m.output), (Elements{10, 20}));
  EXPECT_EQ(velk::collection_version(*m.output), 2u);

  m.failing = false;
  velk::collection_insert(rt, m.source, uint64_t(4));
  EXPECT_EQ(rt.get(m.op), 5u);
  EXPECT_EQ(m.batches, (std::vector<size_t>{2, 3}));  // the failed batch came again, plus one
  EXPECT_EQ(m.link.cursor->load(), 5u);
  EXPECT_EQ(sorted_snapshot(*m.output), m.expected());
}

TEST(ConsumeDeltas, ConcurrentMutatorsAndAReaderConvergeOnTheTransformedSource) {
  velk_test::DeadlockGuard deadlock_guard;
  Runtime rt;
  TimesTen m(rt);
  m.start();
  constexpr int kWriters = 3;
  const uint64_t per_writer = 200 * velk_test::kScale;
  std::atomic<int> writers_left{kWriters};
  std::atomic<int> version_went_back{0};
  std::thread reader([&] {
    uint64_t highest = 0;
    while (writers_left.load() > 0) {
      rt.get(m.op);
      const uint64_t version = rt.get(m.source.version_node);
      if (version < highest) version_went_back.fetch_add(1);
      highest = std::max(highest, version);
    }
  });
  velk_test::run_threads(kWriters, [&](int t) {
    for (uint64_t i = 0; i < per_writer; ++i) {
      const uint64_t e = uint64_t(t) * 1000000 + i;
      velk::collection_insert(rt, m.source, e);
      if (i % 3 == 0) velk::collection_remove(rt, m.source, e);
    }
    writers_left.fetch_sub(1);
  });
  reader.join();
  rt.get(m.op);
  EXPECT_EQ(sorted_snapshot(*m.output), m.expected());
  EXPECT_EQ(m.expected().size(), kWriters * (per_writer - (per_writer + 2) / 3));
  // Mutators publish versions in log order: the version node never goes back.
  EXPECT_EQ(version_went_back.load(), 0);
  EXPECT_EQ(rt.get(m.source.version_node), velk::collection_version(*m.source.state));
}

// A callback run under a collection's lock (an element's hash, say) that uses the same
// collection would wait on its own thread forever: the acquisition fails instead.
TEST(CollectionLock, ReentryThatWouldWaitOnItsOwnThreadFailsAndLeavesTheLockUsable) {
  velk::CollectionLock lock;
  {
    velk::CollectionWriteGuard outer(lock);
    EXPECT_FAILURE(velk::CollectionWriteGuard inner(lock), velk::kCollectionReentryMessage);
    EXPECT_FAILURE(velk::CollectionReadGuard inner(lock), velk::kCollectionReentryMessage);
  }
  {
    velk::CollectionReadGuard outer(lock);
    velk::CollectionReadGuard again(lock);  // shared twice cannot wait on itself
    EXPECT_FAILURE(velk::CollectionWriteGuard inner(lock), velk::kCollectionReentryMessage);
  }
  bool taken = false;
  std::thread other([&] {
    velk::CollectionWriteGuard guard(lock);
    taken = true;
  });
  other.join();
  EXPECT_TRUE(taken);
  velk::CollectionWriteGuard after(lock);  // this thread's record was cleared on release
}

namespace {

// An operator copying `source`, built as the binding builds one: recorded as reading the
// source's version node from its creation on, and retiring its output with it.
velk::Velk<uint64_t> copy_of(Runtime& rt, const velk::CollectionHandle<uint64_t>& source,
                             std::shared_ptr<State>& output) {
  auto [link, seed] = velk::subscribe(source);
  output = velk::seeded_output(std::move(seed));
  auto copy = [link = std::move(link), output](Runtime& r, uint32_t) {
    return velk::consume_deltas(r, link, *output,
                                [](std::vector<Delta<uint64_t>>& b) { return b; });
  };
  return velk::create_operator<uint64_t>(rt, std::move(copy),
                                         {velk::ErasedVelk(source.version_node)}, output);
}

}  // namespace

TEST(Retirement, DeletedOperatorsFreeTheSourceLogAndCollectionsGoWithTheirVersionNode) {
  Runtime rt;
  const auto source = velk::create_collection_node<uint64_t>(rt, false);
  std::shared_ptr<State> first, second;
  const auto unread = copy_of(rt, source, first);
  for (uint64_t i = 0; i < 3000; ++i) velk::collection_insert(rt, source, i);
  EXPECT_EQ(source.state->log_length(), 3000u);  // pinned by a reader that never ran
  EXPECT_EQ(rt.delete_with_dependents(velk::ErasedVelk(unread)), 1u);
  EXPECT_FAILURE(velk::collection_size(*first), velk::kDeletedCollectionMessage);
  velk::collection_insert(rt, source, uint64_t(1));
  EXPECT_EQ(source.state->log_length(), 0u);

  copy_of(rt, source, second);  // never read: reached through its recorded source all the same
  EXPECT_EQ(rt.delete_with_dependents(velk::ErasedVelk(source.version_node)), 2u);
  EXPECT_EQ(rt.node_count(), 0u);
  EXPECT_TRUE(second->retired() && source.state->size() == 0);
  EXPECT_FAILURE(velk::collection_insert(rt, source, uint64_t(2)), velk::kDeletedCollectionMessage);
  EXPECT_FAILURE(velk::subscribe(source), velk::kDeletedCollectionMessage);
}
