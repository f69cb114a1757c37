#include "velk/graph/segmented_nodes.h"

#include "test_support.h"
#include "velk/runtime/engine_steps.h"
#include "velk/runtime/runtime.h"

using velk::SegmentedNodes;

namespace {
SegmentedNodes::Fields fields_for(uint32_t i) { return {i, i, velk::NodeState::Clean, i, 0}; }
}  // namespace

// The only test that fills every slot: ~64 MiB of records, then again through a runtime.
TEST(SlotExhaustion, FailsPastCapacityAndRetiringOneNodeAllowsOneCreation) {
  const char* exhausted = "SegmentedNodes exhausted at 1048576 slots";
  {
    SegmentedNodes nodes;
    velk::StructuralLock lock;
    const velk::StructuralLock::WriteGuard held(lock);
    for (uint32_t i = 0; i < SegmentedNodes::kCapacity; ++i) {
      ASSERT_EQ(nodes.push(fields_for(i), held), i);
    }
    EXPECT_FAILURE(nodes.push(fields_for(0), held), exhausted);
    EXPECT_EQ(nodes.slot_count(), 1048576u);
    EXPECT_EQ(nodes.get(1048575).load_value_index(), 1048575u);
  }
  velk::Runtime rt;
  for (uint32_t i = 0; i < SegmentedNodes::kCapacity; ++i) rt.create_input<uint64_t>(i);
  EXPECT_FAILURE(rt.create_input<uint64_t>(0), exhausted);
  auto zero = [](velk::Runtime&, uint32_t) { return uint64_t(0); };
  EXPECT_FAILURE(rt.create_query<uint64_t>(zero), exhausted);
  velk::EngineSteps::retire_node(rt, 777);
  const auto h = rt.create_input<uint64_t>(42);
  EXPECT_EQ(h, (velk::Velk<uint64_t>{777, 1, rt.id()}));
  EXPECT_EQ(rt.get(h), 42u);
  EXPECT_FAILURE(rt.create_input<uint64_t>(0), exhausted);
}

// A reader that sees a slot counted must see its record filled in, while later pushes install
// new segments; pushes are made under the structural write lock.
TEST(SegmentedNodes, ReadersSeeFilledRecordsWhileSlotsAreAdded) {
  velk_test::DeadlockGuard guard;
  SegmentedNodes nodes;
  velk::StructuralLock lock;
  std::atomic<int> bad{0};
  velk_test::run_threads(4, [&](int t) {
    if (t == 0) {
      const velk::StructuralLock::WriteGuard held(lock);
      for (uint32_t i = 0; i < 8192u * velk_test::kScale; ++i) nodes.push(fields_for(i), held);
      return;
    }
    for (uint32_t n = 0, probe = t; n < 8192u * velk_test::kScale;) {
      n = nodes.slot_count();
      for (uint32_t slot : {n - 1, (probe += 7919) % (n + 1)}) {
        if (slot < n && nodes.get(slot).load_value_index() != slot) ++bad;
      }
    }
  });
  EXPECT_EQ(bad.load(), 0);
}
