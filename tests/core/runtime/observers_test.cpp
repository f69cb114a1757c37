// Observers and the stabilize pass.
#include <algorithm>
#include <functional>
#include <stdexcept>

#include "test_support.h"
#include "velk/runtime/runtime.h"

using velk::Runtime;
using U = velk::Velk<uint64_t>;
using Values = std::vector<uint64_t>;

namespace {

// Records each value delivered, then runs `after` (which may throw or call the runtime). Read
// `values` only while no pass runs.
class Recorder : public velk::ObserverClosure {
 public:
  explicit Recorder(U node, std::function<void(Runtime&)> after = {})
      : ObserverClosure(velk::ErasedVelk(node)), node_(node), after_(std::move(after)) {}
  Values values;

 protected:
  void deliver(Runtime& runtime, bool& in_callback) override {
    velk::HazardHolder holder;
    values.push_back(runtime.read_observed(*this, node_, holder));
    in_callback = true;
    if (after_) after_(runtime);
  }

 private:
  U node_;
  std::function<void(Runtime&)> after_;
};

class Stabilize : public ::testing::Test {
 protected:
  std::shared_ptr<Recorder> watch(U node, std::function<void(Runtime&)> after = {}) {
    auto recorder = std::make_shared<Recorder>(node, std::move(after));
    rt.observe(node, recorder);
    return recorder;
  }

  Runtime rt;
  const U a = rt.create_input<uint64_t>(1);
};

using Observe = Stabilize;

}  // namespace

// A never-read query is delivered at the first pass; after that only effective changes are,
// once per pass with the latest value, and a recompute to an equal value is not a change.
TEST_F(Stabilize, DeliversWhatChangedSinceTheObserverLastFired) {
  const U parity = rt.create_query<uint64_t>([&](Runtime& r, uint32_t) { return r.get(a) % 2; });
  auto on_a = watch(a);
  auto on_parity = watch(parity);
  rt.stabilize();
  rt.stabilize();
  EXPECT_EQ(on_parity->values, Values{1});
  EXPECT_TRUE(on_a->values.empty());
  rt.set(a, uint64_t(2));
  rt.set(a, uint64_t(3));
  rt.stabilize();
  rt.set(a, uint64_t(3));
  rt.stabilize();
  EXPECT_EQ(on_a->values, Values{3});
  EXPECT_EQ(on_parity->values, Values{1});
  rt.set(a, uint64_t(4));
  rt.stabilize();
  EXPECT_EQ(on_a->values, (Values{3, 4}));
  EXPECT_EQ(on_parity->values, (Values{1, 0}));
}

// The pass stops at the throwing observer; the next pass delivers to it again and to the other
// observer if the first pass had not reached it.
TEST_F(Stabilize, FailingDeliveryStopsThePassAndIsRetriedAtTheNext) {
  int throws_left = 1;
  auto thrower = watch(a, [&](Runtime&) {
    if (throws_left-- > 0) throw std::runtime_error("observer failed");
  });
  auto other = watch(a);
  rt.set(a, uint64_t(2));
  EXPECT_THROW(rt.stabilize(), std::runtime_error);
  rt.stabilize();
  rt.stabilize();
  EXPECT_EQ(thrower->values, (Values{2, 2}));
  EXPECT_EQ(other->values, Values{2});
}

// A node that stays failed is raised by the pass after the compute that failed, after the
// other observers fired, and by no later pass until it computes again.
TEST_F(Stabilize, StayingFailureIsRaisedOnceUntilTheNodeComputesAgain) {
  const U b = rt.create_input<uint64_t>(0);
  const U checked = rt.create_query<uint64_t>([&](Runtime& r, uint32_t) {
    if (r.get(a) % 2 == 0) throw std::runtime_error("even");
    return r.get(a);
  });
  auto on_checked = watch(checked);
  auto on_b = watch(b);
  rt.stabilize();
  for (const uint64_t even : {uint64_t(2), uint64_t(4)}) {  // the second failure is a compute of its own
    rt.set(a, even);
    rt.set(b, even);
    EXPECT_THROW(rt.stabilize(), std::runtime_error);
    EXPECT_EQ(on_b->values.back(), even);
    rt.set(b, even + 1);
    EXPECT_NO_THROW(rt.stabilize());
    EXPECT_NO_THROW(rt.stabilize());
    EXPECT_EQ(on_b->values.back(), even + 1);
  }
  rt.set(a, uint64_t(5));
  rt.stabilize();
  EXPECT_EQ(on_checked->values, (Values{1, 5}));
}

TEST_F(Observe, IdsCountFromOneAndUnobserveIgnoresUnknownIds) {
  auto first = std::make_shared<Recorder>(a);
  EXPECT_EQ(rt.observe(a, first), 1u);
  rt.unobserve(1);
  rt.unobserve(1);
  rt.unobserve(77);
  auto second = std::make_shared<Recorder>(a);
  EXPECT_EQ(rt.observe(a, second), 2u);
  EXPECT_EQ(rt.observe(a, std::make_shared<Recorder>(a)), 3u);
  rt.set(a, uint64_t(5));
  rt.stabilize();
  EXPECT_TRUE(first->values.empty());
  EXPECT_EQ(second->values, Values{5});
}

TEST_F(Observe, StaleAndForeignHandlesAreRefused) {
  Runtime other;
  const U foreign = other.create_input<uint64_t>(1);
  EXPECT_FAILURE(
      rt.observe(foreign, std::make_shared<Recorder>(foreign)),
      "velk-core: Velk<u64> handle from a foreign runtime (handle was minted by runtime " +
          std::to_string(other.id().value) + ", used on runtime " + std::to_string(rt.id().value) +
          ")");
  rt.delete_node(a);
  EXPECT_FAILURE(rt.observe(a, std::make_shared<Recorder>(a)),
                 "velk-core: stale Velk<u64> handle: the node at slot 0 was deleted (handle "
                 "generation 0, slot generation 1)");
}

// The observers go with their node: none fires for the node reusing its slot, and unobserving
// the old id removes nothing else.
TEST_F(Observe, DeletedNodeTakesItsObserversAlong) {
  const U x = rt.create_input<uint64_t>(1);
  auto on_x = std::make_shared<Recorder>(x);
  const uint64_t id = rt.observe(x, on_x);
  rt.delete_node(x);
  const U reused = rt.create_input<uint64_t>(1);
  ASSERT_EQ(reused.slot, x.slot);
  auto on_reused = watch(reused);
  rt.unobserve(id);
  rt.set(reused, uint64_t(2));
  rt.stabilize();
  EXPECT_TRUE(on_x->values.empty());
  EXPECT_EQ(on_reused->values, Values{2});
}

// Each callback deletes the other observed node, or unobserves the other observer. Whichever
// fires first, the other observer is gone before the pass reaches it.
TEST_F(Stabilize, CallbackMayDeleteOrUnobserveWhatThePassHasNotReached) {
  const U x = rt.create_input<uint64_t>(1);
  const U y = rt.create_input<uint64_t>(1);
  auto delete_if_alive = [](U h) {
    return [h](Runtime& r) {
      if (r.is_alive(velk::ErasedVelk(h))) r.delete_node(h);
    };
  };
  auto on_x = watch(x, delete_if_alive(y));
  auto on_y = watch(y, delete_if_alive(x));
  rt.set(x, uint64_t(2));
  rt.set(y, uint64_t(2));
  EXPECT_NO_THROW(rt.stabilize());
  EXPECT_EQ(on_x->values.size() + on_y->values.size(), 1u);
  EXPECT_EQ(rt.node_count(), 2u);

  auto on_a = watch(a, [](Runtime& r) { r.unobserve(4); });   // id 3
  auto again = watch(a, [](Runtime& r) { r.unobserve(3); });  // id 4
  rt.set(a, uint64_t(2));
  rt.stabilize();
  // Each callback removes the other, which the pass had already copied: both still fire.
  EXPECT_EQ(on_a->values.size() + again->values.size(), 2u);
  rt.set(a, uint64_t(3));
  rt.stabilize();
  EXPECT_EQ(on_a->values.size() + again->values.size(), 2u);
}

// A setter, three stabilizers, and a thread that creates, observes, unobserves and deletes
// nodes run together. No pass fails, one observer's deliveries never overlap (its recorder is
// not synchronised), never go back and never repeat a value (each is a change), and the pass
// after the threads end delivers the final values.
TEST(ConcurrentStabilize, PassesRacingSetsAndDeletionsEndOnTheFinalValues) {
  velk_test::DeadlockGuard guard;
  const uint64_t sets = 1000 * velk_test::kScale;
  Runtime rt;
  const U a = rt.create_input<uint64_t>(0);
  const U third = rt.create_query<uint64_t>([&](Runtime& r, uint32_t) { return r.get(a) / 3; });
  auto on_a = std::make_shared<Recorder>(a);
  auto on_third = std::make_shared<Recorder>(third);
  rt.observe(a, on_a);
  rt.observe(third, on_third);
  std::atomic<bool> setting{true};
  Values churn_ids;
  velk_test::run_threads(5, [&](int t) {
    if (t == 0) {
      for (uint64_t v = 1; v <= sets; ++v) rt.set(a, v);
      setting = false;
    } else if (t != 2) {
      while (setting.load()) EXPECT_NO_THROW(rt.stabilize());
    } else {
      while (setting.load()) {
        const U x = rt.create_input<uint64_t>(0);
        churn_ids.push_back(rt.observe(x, std::make_shared<Recorder>(x)));
        rt.set(x, uint64_t(1));
        if (churn_ids.size() % 2) rt.unobserve(churn_ids.back());
        rt.delete_node(x);
      }
    }
  });
  rt.stabilize();
  EXPECT_EQ(rt.get(third), sets / 3);
  ASSERT_FALSE(on_a->values.empty() || on_third->values.empty());
  for (const Values* values : {&on_a->values, &on_third->values}) {
    EXPECT_EQ(std::adjacent_find(values->begin(), values->end(), std::greater_equal<>()),
              values->end());
  }
  EXPECT_EQ(on_a->values.back(), sets);
  EXPECT_EQ(on_third->values.back(), sets / 3);
  for (size_t i = 0; i < churn_ids.size(); ++i) EXPECT_EQ(churn_ids[i], i + 3);
}
