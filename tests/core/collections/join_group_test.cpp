// Join and group-by over u64 collections keyed by x / 10: the pair log a join step writes,
// retries after a failing key function, the groups a router keeps and the nodes it owns.
#include <algorithm>
#include <map>
#include <stdexcept>

#include "test_support.h"
#include "velk/collections/group_by.h"
#include "velk/collections/join.h"

using velk::Delta;
using velk::DeltaKind;
using velk::ErasedVelk;
using velk::Runtime;
using Pair = std::pair<uint64_t, uint64_t>;
using Pairs = std::vector<Pair>;
using Elements = std::vector<uint64_t>;
using Groups = std::map<uint64_t, Elements>;
using Side = velk::JoinIndex<uint64_t>::Side;
using Handle = velk::CollectionHandle<uint64_t>;

namespace {

template <class E>
std::vector<E> sorted_snapshot(const velk::CollectionState<E>& state) {
  velk::CollectionReadGuard guard(state.lock());
  std::vector<E> out = state.snapshot();
  std::sort(out.begin(), out.end());
  return out;
}

Handle root(Runtime& rt) { return velk::create_collection_node<uint64_t>(rt, false); }
void insert(Runtime& rt, const Handle& c, uint64_t x) { velk::collection_insert(rt, c, x); }
bool remove(Runtime& rt, const Handle& c, uint64_t x) { return velk::collection_remove(rt, c, x); }

// x / 10 unless `rekey` says otherwise: a key function reading state the engine does not track.
struct KeyFn {
  std::map<uint64_t, uint64_t> rekey;
  uint64_t operator()(uint64_t x) const { return rekey.contains(x) ? rekey.at(x) : x / 10; }
};

// A join node over two collections (one, for a self-join), seeded as the binding seeds it.
struct Join {
  Join(Runtime& runtime, Handle l, Handle r)
      : rt(runtime), left(std::move(l)), right(std::move(r)) {
    auto [left_link, ls] = velk::subscribe(left);
    auto [right_link, rs] = velk::subscribe(right);
    links = {std::move(left_link), std::move(right_link),
             std::make_shared<velk::JoinIndex<uint64_t>>(),
             std::make_shared<velk::PairState<uint64_t>>()};
    {
      auto& pairs = *links.pairs;
      velk::CollectionWriteGuard index_guard(links.index->lock());
      velk::CollectionWriteGuard pairs_guard(pairs.lock());
      for (uint64_t x : ls) links.index->apply(Side::Left, DeltaKind::Insert, x, key(x), pairs);
      for (uint64_t x : rs) links.index->apply(Side::Right, DeltaKind::Insert, x, key(x), pairs);
      log_reader = pairs.subscribe().first;  // keeps the pair log for new_log()
    }
    node = rt.create_query<uint64_t>([this](Runtime& engine, uint32_t) {
      return velk::join_step(engine, links, [this](Side side, const auto& batch) {
        batches.emplace_back(side, batch.size());
        if (side == failing_side) throw std::runtime_error("key failed");
        Elements keys;
        for (const auto& d : batch) keys.push_back(key(d.element));
        return keys;
      });
    });
  }

  Pairs contents() const { return sorted_snapshot(*links.pairs); }
  Pairs from_scratch() const {
    Pairs out;
    for (uint64_t l : sorted_snapshot(*left.state)) {
      for (uint64_t r : sorted_snapshot(*right.state)) {
        if (key(l) == key(r)) out.emplace_back(l, r);
      }
    }
    std::sort(out.begin(), out.end());
    return out;
  }
  // The pairs inserted and the pairs deleted since the last call, each in log order.
  std::pair<Pairs, Pairs> new_log() {
    velk::CollectionReadGuard guard(links.pairs->lock());
    std::pair<Pairs, Pairs> out;
    for (const auto& d : links.pairs->deltas_since(log_reader->load())) {
      (d.kind == DeltaKind::Insert ? out.first : out.second).push_back(d.element);
    }
    log_reader->store(links.pairs->log_end());
    return out;
  }

  Runtime& rt;
  Handle left, right;
  KeyFn key;
  velk::JoinLinks<uint64_t> links;
  std::shared_ptr<velk::DeltaCursor> log_reader;
  velk::Velk<uint64_t> node;
  std::vector<std::pair<Side, size_t>> batches;
  std::optional<Side> failing_side;
};

// A group-by router over `source`, seeded and owning its groups as the binding sets it up.
struct Grouped {
  Grouped(Runtime& runtime, Handle s) : rt(runtime), source(std::move(s)) {
    auto [source_link, seed] = velk::subscribe(source);
    link = std::move(source_link);
    {
      velk::CollectionWriteGuard groups_guard(tables.groups_lock);
      velk::CollectionWriteGuard keys_guard(tables.keys_lock);
      Elements keys;
      for (uint64_t x : seed) keys.push_back(key(x));
      tables.seed(rt, seed, keys);
    }
    router = rt.create_query<uint64_t>([this](Runtime& engine, uint32_t) {
      return velk::route_step(engine, link, tables, [this](const auto& batch) {
        Elements keys;
        for (const auto& d : batch) {
          if (d.kind == DeltaKind::Insert) keys.push_back(key(d.element));
        }
        return keys;
      });
    });
    velk::CollectionWriteGuard groups_guard(tables.groups_lock);
    tables.record_router(ErasedVelk(router));
    for (const auto& [k, g] : tables.groups) {
      rt.adopt(ErasedVelk(router), ErasedVelk(g.version_node));
    }
  }

  // Every group's contents, emptied groups still held included.
  Groups groups() const {
    velk::CollectionReadGuard guard(tables.groups_lock);
    Groups out;
    for (const auto& [k, group] : tables.groups) out[k] = sorted_snapshot(*group.state);
    return out;
  }
  velk::Velk<uint64_t> group_node(uint64_t k) const { return group(k).version_node; }
  Handle group(uint64_t k) const {
    velk::CollectionReadGuard guard(tables.groups_lock);
    return tables.groups.at(k);
  }

  Runtime& rt;
  Handle source;
  KeyFn key;
  velk::SourceLink<uint64_t> link;
  velk::GroupTables<uint64_t> tables;
  velk::Velk<uint64_t> router;
};

}  // namespace

TEST(JoinStep, MultiplicitiesMultiplyAndUnmatchedKeysWaitForAPartner) {
  Runtime rt;
  Join j(rt, root(rt), root(rt));
  for (uint64_t x : {3, 3, 41}) insert(rt, j.left, x);
  for (uint64_t x : {5, 7, 25}) insert(rt, j.right, x);
  rt.get(j.node);
  EXPECT_EQ(j.contents(), (Pairs{{3, 5}, {3, 5}, {3, 7}, {3, 7}}));
  insert(rt, j.right, 5);
  EXPECT_TRUE(remove(rt, j.left, 3));
  rt.get(j.node);
  EXPECT_EQ(j.contents(), (Pairs{{3, 5}, {3, 5}, {3, 7}}));  // one 3 times two 5s
  insert(rt, j.right, 45);                                   // key 4 meets the waiting 41
  EXPECT_TRUE(remove(rt, j.left, 3));
  insert(rt, j.right, 9);  // the last 3 went: nothing left to pair with
  rt.get(j.node);
  EXPECT_EQ(j.contents(), (Pairs{{41, 45}}));
}

TEST(JoinStep, LeftDeltasGoFirstSoEachNewPairIsLoggedOnce) {
  Runtime rt;
  const Handle c = root(rt);
  insert(rt, c, 1);
  Join self(rt, c, c);
  insert(rt, c, 2);  // same key as 1
  rt.get(self.node);
  // (2,1) from the left, then the right's 2 meets the left's 1 and 2.
  EXPECT_EQ(self.new_log(), (std::pair<Pairs, Pairs>{{{2, 1}, {1, 2}, {2, 2}}, {}}));
  EXPECT_EQ(self.contents(), self.from_scratch());

  // An insert and a delete of one element in one batch: each pair comes and goes, once.
  Join j(rt, root(rt), root(rt));
  for (uint64_t x : {5, 7}) insert(rt, j.right, x);
  rt.get(j.node);
  insert(rt, j.left, 2);
  EXPECT_TRUE(remove(rt, j.left, 2));
  rt.get(j.node);
  const Pairs both{{2, 5}, {2, 7}};
  EXPECT_EQ(j.new_log(), std::make_pair(both, both));
  EXPECT_TRUE(j.contents().empty());
}

TEST(JoinStep, FailingKeyAppliesNothingAndTheSameDeltasAreRetried) {
  Runtime rt;
  Join j(rt, root(rt), root(rt));
  insert(rt, j.left, 1);
  insert(rt, j.right, 5);
  rt.get(j.node);
  EXPECT_EQ(j.new_log().first, (Pairs{{1, 5}}));
  insert(rt, j.left, 2);
  insert(rt, j.right, 8);
  j.failing_side = Side::Right;  // the left's keys are computed, then the right's throw
  j.batches.clear();
  EXPECT_THROW(rt.get(j.node), std::runtime_error);
  EXPECT_EQ(j.links.left.cursor->load() + j.links.right.cursor->load(), 2u);
  EXPECT_EQ(j.new_log(), (std::pair<Pairs, Pairs>{}));
  EXPECT_EQ(j.contents(), (Pairs{{1, 5}}));

  j.failing_side.reset();
  insert(rt, j.left, 3);          // a change upstream lets the failed node compute again
  EXPECT_EQ(rt.get(j.node), 6u);  // (1,5), then (2,5) (3,5) from the left, (1,8) (2,8) (3,8)
  EXPECT_EQ(j.batches, (std::vector<std::pair<Side, size_t>>{
                           {Side::Left, 1}, {Side::Right, 1}, {Side::Left, 2}, {Side::Right, 1}}));
  EXPECT_EQ(j.contents(), j.from_scratch());
}

// A key function may answer differently for later occurrences of an element. Each delete must
// take an occurrence out under the key it went in with, or a pair or group member is stranded.
TEST(KeyedOperators, DeletesLeaveUnderTheKeyTheirOccurrenceWentInWith) {
  Runtime rt;
  const Handle source = root(rt);
  Join j(rt, source, root(rt));
  Grouped g(rt, source);
  for (uint64_t x : {5, 15}) insert(rt, j.right, x);
  insert(rt, source, 3);
  rt.get(j.node);
  rt.get(g.router);
  j.key.rekey[3] = g.key.rekey[3] = 1;
  insert(rt, source, 3);
  rt.get(j.node);
  rt.get(g.router);
  EXPECT_EQ(j.contents(), (Pairs{{3, 5}, {3, 15}}));
  EXPECT_EQ(g.groups(), (Groups{{0, {3}}, {1, {3}}}));
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(remove(rt, source, 3));
  rt.get(j.node);
  rt.get(g.router);
  EXPECT_EQ(j.contents(), Pairs{});
  EXPECT_EQ(g.groups(), Groups{});  // emptied and held by nothing: both groups went
}

TEST(RouteStep, GroupsAppearForNewKeysGoWhenEmptiedUnusedAndCountCopies) {
  Runtime rt;
  Grouped g(rt, root(rt));
  insert(rt, g.source, 1);
  insert(rt, g.source, 12);
  Grouped seeded(rt, g.source);
  EXPECT_EQ(seeded.groups(), (Groups{{0, {1}}, {1, {12}}}));
  EXPECT_TRUE(g.groups().empty());  // nothing is routed before the router computes

  insert(rt, g.source, 25);
  for (int i = 0; i < 2; ++i) insert(rt, g.source, 3);
  EXPECT_EQ(seeded.groups().size(), 2u);
  EXPECT_EQ(rt.get(seeded.router), 1u);
  EXPECT_EQ(seeded.groups(), (Groups{{0, {1, 3, 3}}, {1, {12}}, {2, {25}}}));
  const velk::Velk<uint64_t> seeded_group_2 = seeded.group_node(2);
  EXPECT_EQ(rt.get(seeded_group_2), 1u);

  const Handle held = seeded.group(1);  // a holder keeps an emptied group
  EXPECT_TRUE(remove(rt, g.source, 25));
  EXPECT_TRUE(remove(rt, g.source, 12));
  EXPECT_TRUE(remove(rt, g.source, 3));
  rt.get(seeded.router);
  EXPECT_EQ(seeded.groups(), (Groups{{0, {1, 3}}, {1, {}}}));
  EXPECT_FALSE(rt.is_alive(ErasedVelk(seeded_group_2)));
  EXPECT_TRUE(remove(rt, g.source, 3));
  rt.get(seeded.router);
  rt.get(g.router);  // every change in one batch: the same groups as step by step
  EXPECT_EQ(g.groups(), (Groups{{0, {1}}}));
  EXPECT_EQ(seeded.groups(), (Groups{{0, {1}}, {1, {}}}));
}

TEST(RouteStep, TheRouterOwnsItsGroupVersionNodes) {
  Runtime rt;
  const Handle source = root(rt);
  insert(rt, source, 1);
  Grouped a(rt, source), b(rt, source);
  insert(rt, source, 12);  // group 1 is created by each router's compute
  rt.get(a.router);
  rt.get(b.router);
  const velk::Velk<uint64_t> group = a.group_node(1);
  const auto reader = rt.create_query<uint64_t>([&](Runtime& r, uint32_t) { return r.get(group); });
  EXPECT_EQ(rt.get(reader), 1u);
  EXPECT_FAILURE(rt.delete_node(a.router),
                 "velk-core: delete_node on node " + std::to_string(a.router.slot) +
                     " whose owned node " + std::to_string(group.slot) +
                     " still has dependents; delete downstream nodes first");
  EXPECT_TRUE(rt.is_alive(ErasedVelk(a.router)) && rt.is_alive(ErasedVelk(group)));

  EXPECT_EQ(rt.delete_with_dependents(ErasedVelk(a.router)), 4u);  // router, 2 groups, reader
  EXPECT_FALSE(rt.is_alive(ErasedVelk(group)) || rt.is_alive(ErasedVelk(a.group_node(0))));
  EXPECT_TRUE(rt.is_alive(ErasedVelk(b.router)));
  // b's router has read the source's version node: deleting that takes b's groups along.
  EXPECT_EQ(rt.delete_with_dependents(ErasedVelk(source.version_node)), 4u);
  EXPECT_EQ(rt.node_count(), 0u);
}

// Writers change both sides while two readers pull the join node and the router; at the end
// both agree with a computation from scratch.
TEST(KeyedOperators, ConcurrentWritersAndReadersConvergeOnTheFromScratchResult) {
  velk_test::DeadlockGuard deadlock_guard;
  Runtime rt;
  Join j(rt, root(rt), root(rt));
  Grouped g(rt, j.left);
  const uint64_t per_writer = 40 * velk_test::kScale, range = per_writer / 2;
  std::atomic<int> writers_left{2};
  velk_test::run_threads(4, [&](int t) {
    if (t >= 2) {
      while (writers_left.load() > 0) {
        rt.get(t == 2 ? j.node : g.router);
        rt.get(t == 2 ? g.router : j.node);
      }
      return;
    }
    for (uint64_t i = 0; i < per_writer; ++i) {
      const uint64_t x = (i * 7 + uint64_t(t) * 3) % range;
      insert(rt, t == 0 ? j.left : j.right, x);
      if (i % 3 == 0) remove(rt, t == 0 ? j.left : j.right, (x * 13) % range);
    }
    writers_left.fetch_sub(1);
  });
  rt.get(j.node);
  rt.get(g.router);
  EXPECT_EQ(j.contents(), j.from_scratch());
  Groups expected;
  for (const auto& [k, elements] : g.groups()) expected[k];  // groups stay once created
  for (uint64_t x : sorted_snapshot(*j.left.state)) expected[x / 10].push_back(x);
  EXPECT_EQ(g.groups(), expected);
}
