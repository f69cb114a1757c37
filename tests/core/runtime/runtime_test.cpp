#include "velk/runtime/runtime.h"
#include "velk/runtime/engine_steps.h"

#include <stdexcept>

#include "test_support.h"

using velk::NodeState;
using velk::Runtime;
using U = velk::Velk<uint64_t>;
using Slots = std::vector<uint32_t>;

namespace {

std::string stale(uint32_t slot, uint32_t generation) {
  return "velk-core: stale Velk<u64> handle: the node at slot " + std::to_string(slot) +
         " was deleted (handle generation " + std::to_string(generation) + ", slot generation " +
         std::to_string(generation + 1) + ")";
}

// A runtime with one input `a`, and queries that count their computes.
class RuntimeTest : public ::testing::Test {
 protected:
  template <class F>
  U counted(int& calls, F f) {
    return rt.create_query<uint64_t>([&calls, f](Runtime& r, uint32_t) {
      ++calls;
      return f(r);
    });
  }
  NodeState state(U h) const { return velk::EngineSteps::record(rt, h.slot).load_state(); }
  bool alive(U h) const { return rt.is_alive(velk::ErasedVelk(h)); }

  Runtime rt;
  const U a = rt.create_input<uint64_t>(1);
};

using Handles = RuntimeTest;
using DependencyLists = RuntimeTest;
using ReadPath = RuntimeTest;
using Inputs = RuntimeTest;

}  // namespace

TEST_F(Handles, FirstNodeIsSlotZeroAndRetiredSlotsAreReusedLastInFirstOut) {
  std::vector<U> h{a};
  for (uint64_t i = 1; i < 6; ++i) h.push_back(rt.create_input<uint64_t>(i));
  EXPECT_EQ(a, (U{0, 0, rt.id()}));
  velk::EngineSteps::retire_node(rt, 3);
  velk::EngineSteps::retire_node(rt, 5);
  EXPECT_EQ(rt.node_count(), 4u);
  EXPECT_FALSE(alive(h[3]));
  const U first = rt.create_input<uint64_t>(50);
  const U second = rt.create_query<uint64_t>([](Runtime&, uint32_t) { return uint64_t(60); });
  EXPECT_EQ(first, (U{5, 1, rt.id()}));
  EXPECT_EQ(second, (U{3, 1, rt.id()}));
  EXPECT_EQ(rt.node_count(), 6u);
  EXPECT_FALSE(alive(h[3]));  // an old handle to a reused slot
  EXPECT_TRUE(alive(second));
  EXPECT_EQ(rt.get(first) + rt.get(second), 110u);
}

TEST_F(Handles, StaleAndForeignHandlesFailWithTheirOwnMessages) {
  Runtime other;
  const U twin = other.create_input<uint64_t>(2);  // same slot and generation as `a`
  const std::string foreign =
      "velk-core: Velk<u64> handle from a foreign runtime (handle was minted by runtime " +
      std::to_string(rt.id().value) + ", used on runtime " + std::to_string(other.id().value) + ")";
  EXPECT_FAILURE(other.get(a), foreign);
  EXPECT_FAILURE(other.set(a, uint64_t(3)), foreign);
  EXPECT_FALSE(other.is_alive(velk::ErasedVelk(a)));
  velk::EngineSteps::retire_node(rt, a.slot);
  EXPECT_FAILURE(rt.get(a),
                 "velk-core: stale Velk<u64> handle: the node at slot 0 was deleted "
                 "(handle generation 0, slot generation 1)");
  EXPECT_FAILURE(rt.set(a, uint64_t(9)), stale(0, 0));
  velk::EngineSteps::retire_node(other, twin.slot);
  EXPECT_FAILURE(other.get(a), foreign);  // foreign is checked before stale
  const U reused = rt.create_input<uint64_t>(2);
  EXPECT_FAILURE(rt.get(a), stale(0, 0));
  velk::EngineSteps::retire_node(rt, reused.slot);
  EXPECT_FAILURE(rt.get(reused), stale(0, 1));
}

TEST_F(DependencyLists, EightReadsSpillToOverflowAndShrinkingToSevenClearsIt) {
  std::vector<U> in;
  for (uint64_t i = 0; i < 8; ++i) in.push_back(rt.create_input<uint64_t>(i));
  const U q = rt.create_query<uint64_t>([&](Runtime& r, uint32_t) {
    uint64_t sum = 0;
    for (uint64_t i = 0, n = r.get(a); i < n; ++i) sum += r.get(in[i]);
    return sum;
  });
  for (uint64_t n : {6, 7, 6}) {  // reads `a` itself, then n inputs
    rt.set(a, n);
    rt.get(q);
    Slots want{a.slot};
    for (uint64_t i = 0; i < n; ++i) want.push_back(in[i].slot);
    EXPECT_EQ(velk::EngineSteps::record(rt, q.slot).deps(), want);
    EXPECT_EQ(velk::EngineSteps::record(rt, q.slot).load_dep_count(), n == 7 ? 8 : 7);
    EXPECT_EQ(velk::EngineSteps::record(rt, q.slot).has_overflow(), n == 7);
    for (uint32_t s : want) EXPECT_EQ(velk::EngineSteps::dependents_of(rt, s), Slots{q.slot});
  }
  EXPECT_TRUE(velk::EngineSteps::dependents_of(rt, in[6].slot).empty());
}

TEST_F(DependencyLists, RepeatedReadIsListedTwiceUntilACommitDropsIt) {
  const U pick = rt.create_input<uint64_t>(0);
  const U b = rt.create_input<uint64_t>(2);
  const U q = rt.create_query<uint64_t>(
      [&](Runtime& r, uint32_t) { return r.get(pick) == 0 ? r.get(a) + r.get(a) : r.get(b); });
  EXPECT_EQ(rt.get(q), 2u);
  EXPECT_EQ(velk::EngineSteps::record(rt, q.slot).deps(), (Slots{pick.slot, a.slot, a.slot}));
  EXPECT_EQ(velk::EngineSteps::dependents_of(rt, a.slot), (Slots{q.slot, q.slot}));
  rt.set(pick, uint64_t(1));
  EXPECT_EQ(rt.get(q), 2u);
  EXPECT_EQ(velk::EngineSteps::record(rt, q.slot).deps(), (Slots{pick.slot, b.slot}));
  EXPECT_TRUE(velk::EngineSteps::dependents_of(rt, a.slot).empty());
  EXPECT_EQ(velk::EngineSteps::dependents_of(rt, b.slot), Slots{q.slot});
}

TEST_F(DependencyLists, UnchangedListCommitsWithoutCheckingForDeletedDependencies) {
  const U b = rt.create_input<uint64_t>(2);
  const U q = rt.create_query<uint64_t>([&](Runtime& r, uint32_t) { return r.get(a); });
  rt.get(q);
  velk::EngineSteps::retire_node(rt, a.slot);
  const velk::DepRead reads[] = {{a.slot, a.generation}, {b.slot, b.generation}};
  EXPECT_EQ(velk::EngineSteps::commit_deps(rt, q.slot, {reads, 1}, false, 1),
            velk::CommitOutcome::Committed);
  EXPECT_EQ(velk::EngineSteps::commit_deps(rt, q.slot, reads, false, 1),
            velk::CommitOutcome::DependencyGone);
  EXPECT_EQ(velk::EngineSteps::record(rt, q.slot).deps(), Slots{a.slot});
  // A list cut short is no unchanged list.
  EXPECT_EQ(velk::EngineSteps::commit_deps(rt, q.slot, {}, false, 1),
            velk::CommitOutcome::Committed);
  EXPECT_TRUE(velk::EngineSteps::record(rt, q.slot).deps().empty());
}

TEST_F(ReadPath, QueriesComputeLazilyAndOnlyTheChangedBranchRecomputes) {
  const U b = rt.create_input<uint64_t>(2);
  int left_calls = 0, right_calls = 0, sum_calls = 0;
  const U left = counted(left_calls, [&](Runtime& r) { return r.get(a) * 10; });
  const U right = counted(right_calls, [&](Runtime& r) { return r.get(b) * 10; });
  const U sum = counted(sum_calls, [&](Runtime& r) { return r.get(left) + r.get(right); });
  EXPECT_EQ(state(sum), NodeState::New);
  EXPECT_EQ(left_calls + right_calls + sum_calls, 0);
  EXPECT_EQ(rt.get(sum), 30u);
  EXPECT_EQ(rt.get(sum), 30u);
  rt.set(a, uint64_t(3));
  EXPECT_EQ(state(right), NodeState::Clean);
  EXPECT_EQ(rt.get(sum), 50u);
  EXPECT_EQ(left_calls, 2);
  EXPECT_EQ(right_calls, 1);
  EXPECT_EQ(sum_calls, 2);
}

TEST_F(ReadPath, EqualRecomputeKeepsChangedAtAndSkipsDependents) {
  int parity_calls = 0, top_calls = 0;
  const U parity = counted(parity_calls, [&](Runtime& r) { return r.get(a) % 2; });
  const U top = counted(top_calls, [&](Runtime& r) { return r.get(parity) + 100; });
  EXPECT_EQ(rt.get(top), 101u);
  const uint64_t changed = velk::EngineSteps::record(rt, parity.slot).load_changed_at();
  rt.set(a, uint64_t(3));
  EXPECT_EQ(rt.get(top), 101u);
  EXPECT_EQ(parity_calls, 2);
  EXPECT_EQ(top_calls, 1);
  EXPECT_EQ(velk::EngineSteps::record(rt, parity.slot).load_changed_at(), changed);
  EXPECT_EQ(state(top), NodeState::Clean);
  rt.set(a, uint64_t(4));
  EXPECT_EQ(rt.get(top), 100u);
  EXPECT_EQ(top_calls, 2);
  EXPECT_EQ(velk::EngineSteps::record(rt, parity.slot).load_changed_at(), rt.revision());
}

// Values at most 2 apart count as equal.
class Within2 final : public velk::NodeEqual<uint64_t> {
 public:
  bool equal(const uint64_t& old, const uint64_t& now) const override {
    return (old > now ? old - now : now - old) <= 2;
  }
};

TEST_F(ReadPath, NodeEqualDecidesWhatChangesAndGoesWithItsNode) {
  int top_calls = 0;
  const U twice = rt.create_query<uint64_t>([this](Runtime& r, uint32_t) { return 2 * r.get(a); });
  const U top = counted(top_calls, [&](Runtime& r) { return r.get(twice); });
  rt.set_cutoff(a, std::make_shared<Within2>());
  rt.set_cutoff(twice, std::make_shared<Within2>());
  EXPECT_EQ(rt.get(top), 2u);
  rt.set(a, uint64_t(3));  // within 2 of 1: no change
  velk::SetBatch batch;
  batch.add(a, uint64_t(2));
  rt.set_many(batch);
  EXPECT_EQ(rt.revision(), 1u);
  rt.set(a, uint64_t(4));
  EXPECT_EQ(rt.get(top), 8u);
  rt.set_cutoff(a, nullptr);  // == again: 5 is a change, but twice's 10 is within 2 of 8
  rt.set(a, uint64_t(5));
  EXPECT_EQ(rt.get(top), 8u);
  EXPECT_EQ(rt.get(twice), 8u);
  EXPECT_EQ(top_calls, 2);
  const U b = rt.create_input<uint64_t>(0);
  auto equal = std::make_shared<Within2>();
  const std::weak_ptr<Within2> kept = equal;
  rt.set_cutoff(b, std::move(equal));
  rt.delete_node(b);
  EXPECT_TRUE(kept.expired());
  EXPECT_FAILURE(rt.set_cutoff(b, nullptr), stale(b.slot, b.generation));
  // Its slot goes to the next node with nothing of b's: a query, compared by ==.
  const U reused = rt.create_query<uint64_t>([this](Runtime& r, uint32_t) { return r.get(a); });
  EXPECT_EQ(reused.slot, b.slot);
  EXPECT_EQ(rt.get(reused), 5u);
  rt.set(a, uint64_t(6));
  EXPECT_EQ(rt.get(reused), 6u);
  const U sets = rt.create_query<uint64_t>([this](Runtime& r, uint32_t) {
    r.set_cutoff(a, nullptr);
    return uint64_t(0);
  });
  EXPECT_FAILURE(rt.get(sets), "set_cutoff called during compute; not permitted");
}

TEST_F(Inputs, FirstEffectiveSetTakesRevisionTwoAndAnEqualSetTakesNone) {
  const U q = rt.create_query<uint64_t>([&](Runtime& r, uint32_t) { return r.get(a) + 1; });
  EXPECT_EQ(rt.get(q), 2u);
  rt.set(a, uint64_t(1));
  EXPECT_EQ(rt.revision(), 1u);
  EXPECT_EQ(state(q), NodeState::Clean);
  rt.set(a, uint64_t(6));
  EXPECT_EQ(rt.revision(), 2u);
  EXPECT_EQ(velk::EngineSteps::watermark(rt), 2u);
  EXPECT_EQ(velk::EngineSteps::record(rt, a.slot).load_changed_at(), 2u);
  EXPECT_EQ(velk::EngineSteps::record(rt, a.slot).load_verified_at(), 2u);
  EXPECT_EQ(state(q), NodeState::Dirty);
  EXPECT_EQ(rt.get(q), 7u);
}

TEST_F(Inputs, SetOnAQueryAndCreationDuringAComputeFail) {
  const U q = rt.create_query<uint64_t>([](Runtime&, uint32_t) { return uint64_t(1); });
  const U makes_input = rt.create_query<uint64_t>(
      [](Runtime& r, uint32_t) { return uint64_t(r.create_input<uint64_t>(1).slot); });
  const U makes_query = rt.create_query<uint64_t>([](Runtime& r, uint32_t) {
    return uint64_t(r.create_query<uint64_t>([](Runtime&, uint32_t) { return uint64_t(0); }).slot);
  });
  EXPECT_FAILURE(rt.set(q, uint64_t(2)),
                 "Runtime::set called on a query (compute) node at slot 1; "
                 "only input nodes can be set");
  EXPECT_EQ(rt.get(q), 1u);
  EXPECT_FAILURE(rt.get(makes_input), "create_input called during compute; not permitted");
  EXPECT_FAILURE(rt.get(makes_query), "create_query called during compute; not permitted");
  EXPECT_EQ(rt.node_count(), 4u);
}

// The read of itself is no dependency: a set upstream returns, and each read computes it again
// and meets the cycle; a compute that handles it keeps its value.
TEST_F(ReadPath, SelfReadIsACycleThatLeavesTheNodeToBeComputedAgain) {
  velk_test::DeadlockGuard guard;
  U self;
  int calls = 0;
  self = counted(calls, [&](Runtime& r) { return r.get(a) + r.get(self); });
  for (uint64_t v = 2; v < 4; ++v) {
    EXPECT_FAILURE(rt.get(self),
                   "velk-core: dependency cycle detected: node 1 was read while its "
                   "own compute was in progress");
    EXPECT_EQ(state(self), NodeState::New);
    EXPECT_EQ(velk::EngineSteps::record(rt, self.slot).deps(), std::vector<uint32_t>{a.slot});
    rt.set(a, v);
  }
  EXPECT_THROW(rt.get(self), velk::Failure);
  EXPECT_EQ(calls, 3);
  const U handles = rt.create_query<uint64_t>([&](Runtime& r, uint32_t slot) {
    try {
      r.get(U{slot, 0, r.id()});
    } catch (const velk::Failure&) {
    }
    return r.get(a);
  });
  EXPECT_EQ(rt.get(handles), 3u);
  EXPECT_EQ(rt.get(handles), 3u);
  EXPECT_EQ(state(handles), NodeState::Clean);
}

TEST_F(ReadPath, FailedNodeStaysFailedUntilUpstreamSet) {
  int calls = 0;
  const U q = counted(calls, [&](Runtime& r) {
    const uint64_t v = r.get(a);
    if (v == 1) throw std::runtime_error("compute failed");
    return v;
  });
  EXPECT_THROW(rt.get(q), std::runtime_error);
  EXPECT_FALSE(velk::SharedDepStack::current().in_compute());  // its frame was popped
  EXPECT_EQ(state(q), NodeState::Failed);
  EXPECT_FAILURE(rt.get(q),
                 "velk-core: node 1 read but its last compute panicked; it stays Failed "
                 "until a dependency changes (set an upstream input to retry)");
  EXPECT_EQ(calls, 1);
  rt.set(a, uint64_t(2));
  EXPECT_EQ(rt.get(q), 2u);
  EXPECT_EQ(calls, 2);
}

// A later read of a Failed node names what its compute failed with as its cause, until the node
// computes again.
TEST_F(ReadPath, FailedNodeReadAgainNamesItsFailureAsTheCause) {
  const auto detail = std::make_shared<const velk::FailureDetail>();
  const U q = rt.create_query<uint64_t>([&](Runtime& r, uint32_t) {
    if (r.get(a) < 3) throw velk::Failure("compute failed", detail);
    return uint64_t(0);
  });
  for (uint64_t v = 2; v < 4; ++v) {
    EXPECT_THROW(rt.get(q), velk::Failure);
    try {
      rt.get(q);
      ADD_FAILURE() << "no failure";
    } catch (const velk::Failure& failure) {
      EXPECT_EQ(failure.cause(), detail.get());
    }
    rt.set(a, v);
  }
  EXPECT_EQ(rt.get(q), 0u);
  EXPECT_EQ(detail.use_count(), 1);  // dropped once the node computed
}

// A transient failure (how deeply the read was nested, not what the node read) leaves the
// node to be computed again at its next read, first compute and recompute alike, and not
// compared with its value from before.
TEST_F(ReadPath, TransientFailureIsRetriedAtTheNextRead) {
  int calls = 0;
  bool transient = true;
  const U q = counted(calls, [&](Runtime& r) {
    const uint64_t v = r.get(a);
    if (transient) velk::fail_transient("too deep");
    return v;
  });
  EXPECT_FAILURE(rt.get(q), "too deep");
  EXPECT_EQ(state(q), NodeState::New);
  transient = false;
  EXPECT_EQ(rt.get(q), 1u);
  rt.set(a, uint64_t(2));
  transient = true;
  EXPECT_FAILURE(rt.get(q), "too deep");
  EXPECT_EQ(state(q), NodeState::New);
  transient = false;
  EXPECT_EQ(rt.get(q), 2u);
  EXPECT_EQ(calls, 4);
}

// The first compute sets its input before its reads are committed; the third sets it while the
// node is already a dependent. Either way the node must not end Clean on the value it read.
TEST_F(ReadPath, SettingAReadInputDuringComputeLeavesTheNodeDirty) {
  int calls = 0;
  const U q = counted(calls, [&](Runtime& r) {
    const uint64_t v = r.get(a);
    if (calls % 2) r.set(a, v + 1);
    return v;
  });
  EXPECT_EQ(rt.get(q), 1u);
  EXPECT_EQ(state(q), NodeState::Dirty);
  EXPECT_EQ(rt.get(q), 2u);
  EXPECT_EQ(state(q), NodeState::Clean);
  rt.set(a, uint64_t(10));
  EXPECT_EQ(rt.get(q), 10u);
  EXPECT_EQ(state(q), NodeState::Dirty);
  EXPECT_EQ(rt.get(q), 11u);
}
