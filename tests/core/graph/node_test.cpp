#include "velk/graph/node.h"

#include "test_support.h"

using velk::NodeRecord;
using velk::NodeState;

// Writes what no operation can: a state byte that names no state.
struct velk::NodeRecordTestAccess {
  static void store_state_byte(NodeRecord& r, uint8_t byte) { r.state_.store(byte); }
};

namespace {
std::vector<uint32_t> range(uint32_t from, uint32_t n) {
  std::vector<uint32_t> v(n);
  for (uint32_t i = 0; i < n; ++i) v[i] = from + i;
  return v;
}
}  // namespace

TEST(NodeState, InvalidStateByteFailsOnEveryRead) {
  NodeRecord r;
  velk::NodeRecordTestAccess::store_state_byte(r, 7);
  EXPECT_FAILURE(r.load_state(), "invalid NodeState value: 7");
  EXPECT_FAILURE(r.finish_claim(NodeState::Clean, NodeState::Dirty), "invalid NodeState value: 7");
  // What guards' destructors use reads the byte raw and cannot fail.
  EXPECT_FALSE(r.end_claim(NodeState::Clean, NodeState::Dirty));
  EXPECT_FALSE(r.is_claimed() || r.is_deleted());
}

TEST(NodeState, FinishClaimPicksByClaimStateAndLeavesOtherStatesAlone) {
  NodeRecord r;
  r.store_state(NodeState::Computing);
  r.finish_claim(NodeState::Failed, NodeState::Dirty);
  EXPECT_EQ(r.load_state(), NodeState::Failed);
  r.store_state(NodeState::ComputingDirtied);
  r.finish_claim(NodeState::Failed, NodeState::Dirty);
  EXPECT_EQ(r.load_state(), NodeState::Dirty);
  r.finish_claim(NodeState::Failed, NodeState::New);
  EXPECT_EQ(r.load_state(), NodeState::Dirty);
}

// While an input's value is replaced its changed_at reads as the maximum; publishing brings it
// down to the revision, and stamps otherwise only rise.
TEST(NodeStamps, PublishLeavesTheReplacingMarkAndNeverLowers) {
  NodeRecord r;
  r.reset_for({2, 2, NodeState::Computing, 0, 0});
  r.begin_replace();
  EXPECT_EQ(r.load_changed_at(), velk::kRevisionReplacing);
  r.publish(5);
  EXPECT_EQ(r.load_changed_at(), 5u);
  EXPECT_EQ(r.load_verified_at(), 5u);
  r.publish(4);
  EXPECT_EQ(r.load_changed_at(), 5u);
}

// Deletion empties the list and moves the generation on; a node reusing the slot keeps it.
TEST(NodeSlot, DeletionMovesTheGenerationAndReuseKeepsIt) {
  NodeRecord r;
  r.set_deps(range(0, 9));
  r.mark_deleted();
  r.retire();
  EXPECT_TRUE(r.is_deleted());
  EXPECT_TRUE(r.deps().empty());
  r.reset_for({3, 3, NodeState::Clean, 1, 0});
  EXPECT_EQ(r.load_generation(), 1u);
  EXPECT_EQ(r.load_state(), NodeState::Clean);
}

TEST(NodeDeps, SevenStayInlineEightOverflowAndShrinkingClearsTheBlock) {
  NodeRecord r;
  for (uint32_t n : {7u, 8u, 12u, 2u, 0u}) {
    r.set_deps(range(n * 100, n));
    EXPECT_EQ(r.deps(), range(n * 100, n));
    EXPECT_EQ(r.load_dep_count(), n > 7 ? 8 : n);
    EXPECT_EQ(r.has_overflow(), n > 7);
  }
  r.set_deps(range(0, 12));
  std::vector<uint32_t> seen;
  r.for_each_dep([&](uint32_t s) {
    seen.push_back(s);
    return s < 2;  // false stops the visit
  });
  EXPECT_EQ(seen, range(0, 3));
  r.set_deps({});  // a record never frees its block itself
}

// Visitors racing set_deps see the inline list or one whole overflow block, and never touch a
// freed block (the address sanitizer run checks that). A shrink then a grow between two loads
// of one visitor must not look like a corrupt record.
TEST(NodeDeps, VisitorsRacingReplacementsSeeWholeLists) {
  velk_test::DeadlockGuard guard;
  NodeRecord r;
  const std::vector<std::vector<uint32_t>> lists = {range(1, 3), range(100, 12), range(200, 9)};
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  velk_test::run_threads(4, [&](int t) {
    if (t == 0) {
      for (int i = 0; i < 20000 * velk_test::kScale; ++i) r.set_deps(lists[i % 3]);
      done = true;
    }
    while (!done.load()) {
      const std::vector<uint32_t> seen = r.deps();
      bad += !seen.empty() && seen != lists[0] && seen != lists[1] && seen != lists[2];
    }
  });
  EXPECT_EQ(bad.load(), 0);
  r.set_deps({});
}
