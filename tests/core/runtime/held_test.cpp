// Visiting what a runtime holds, and releasing all of it at once.
#include <map>
#include <memory>

#include "test_support.h"
#include "velk/collections/collection_ops.h"
#include "velk/memory/held.h"
#include "velk/runtime/runtime.h"

using velk::Runtime;
using U = velk::Velk<uint64_t>;

namespace {

// Counts how often each u64 is offered.
class Tally final : public velk::ValueVisitor<uint64_t> {
 public:
  void visit(const uint64_t& value) override { ++seen[value]; }
  std::map<uint64_t, int> seen;
};

// A query that holds a value and a collection state it shares with other holders; `alive`
// reports whether it still exists.
struct Holding {
  uint64_t held;
  std::shared_ptr<velk::CollectionState<uint64_t>> shared;
  std::shared_ptr<int> alive = std::make_shared<int>(0);

  uint64_t operator()(Runtime&, uint32_t) const { return held + 1; }
  void visit_held(velk::HeldVisitor& visitor) const {
    auto* values = velk::values_of<uint64_t>(visitor);
    values->visit(held);
    velk::offer_shared(*values, shared);
  }
};

class Note final : public velk::ObserverClosure {
 public:
  Note(U node, uint64_t held) : ObserverClosure(velk::ErasedVelk(node)), held_(held) {}
  void visit_held(velk::HeldVisitor& visitor) const override {
    velk::values_of<uint64_t>(visitor)->visit(held_);
  }

 protected:
  void deliver(Runtime&, bool&) override {}

 private:
  uint64_t held_;
};

}  // namespace

// Stored values (not other types'), what compute functions and observers hold, and a state
// two queries share (contents and log entries) are each offered once.
TEST(Held, EveryValueIsOfferedOnce) {
  Runtime rt;
  const U a = rt.create_input<uint64_t>(10);
  rt.create_input<std::vector<uint64_t>>({99});
  auto shared = std::make_shared<velk::CollectionState<uint64_t>>();
  const auto reader = shared->subscribe().first;  // so that the log keeps its entries
  {
    velk::CollectionWriteGuard guard(shared->lock());
    shared->insert(30);
    shared->insert(31);
    shared->remove(31);
  }
  const U q = rt.create_query<uint64_t>(Holding{20, shared});
  rt.create_query<uint64_t>(Holding{40, shared});  // never computed: no value yet
  rt.observe(a, std::make_shared<Note>(a, 50));
  rt.get(q);
  Tally tally;
  rt.visit_held(tally);
  EXPECT_EQ(tally.seen, (std::map<uint64_t, int>{
                            {10, 1}, {20, 1}, {21, 1}, {30, 2}, {31, 2}, {40, 1}, {50, 1}}));
}

// Every node goes at once: handles go stale, compute functions and observers are dropped, and
// the runtime takes new nodes afterwards, in slots that keep no label or owner of the old ones.
TEST(Held, ReleaseAllDeletesEveryNodeAndKeepsTheRuntimeUsable) {
  Runtime rt;
  const U a = rt.create_input<uint64_t>(1);
  Holding holding{2, nullptr};
  std::weak_ptr<int> fn_alive = holding.alive;
  const U q = rt.create_query<uint64_t>(std::move(holding));
  rt.get(q);
  rt.observe(q, std::make_shared<Note>(q, 3));
  const U owned = rt.create_input<uint64_t>(4);
  rt.adopt(velk::ErasedVelk(a), velk::ErasedVelk(owned));
  rt.set_label(a.slot, "a");
  rt.release_all();
  EXPECT_FALSE(rt.is_alive(velk::ErasedVelk(a)));
  EXPECT_FALSE(rt.is_alive(velk::ErasedVelk(q)));
  EXPECT_TRUE(fn_alive.expired());
  EXPECT_EQ(rt.node_count(), 0u);
  Tally tally;
  rt.visit_held(tally);
  EXPECT_TRUE(tally.seen.empty());
  EXPECT_THROW(rt.get(a), velk::Failure);
  const U b = rt.create_input<uint64_t>(7);
  EXPECT_EQ(rt.get(b), 7u);
  rt.stabilize();
  const U c = rt.create_input<uint64_t>(8);
  const U d = rt.create_input<uint64_t>(9);
  ASSERT_EQ((std::vector<uint32_t>{b.slot, d.slot}), (std::vector<uint32_t>{owned.slot, a.slot}));
  rt.adopt(velk::ErasedVelk(c), velk::ErasedVelk(b));
  for (const velk::NodeSnapshot& node : rt.graph_snapshot()) EXPECT_FALSE(node.label);
}
