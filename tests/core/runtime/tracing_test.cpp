// Traced reads, node labels and the graph snapshot.
#include <stdexcept>

#include "test_support.h"
#include "velk/runtime/runtime.h"

using velk::Runtime;
using velk::TraceAction;
using U = velk::Velk<uint64_t>;
using Slots = std::vector<uint32_t>;
using Trace = std::vector<std::pair<uint32_t, TraceAction>>;

namespace {

// Inputs a and b; q1 = a % 2 + b and q2 = 10 * q1.
class Tracing : public ::testing::Test {
 protected:
  uint64_t traced(U h) {
    velk::HazardHolder holder;
    return rt.get_traced(h, holder, report);
  }
  Trace trace() const {
    Trace t;
    for (const velk::TraceEntry& e : report.entries) t.emplace_back(e.slot, e.action);
    return t;
  }

  Runtime rt;
  const U a = rt.create_input<uint64_t>(1);
  const U b = rt.create_input<uint64_t>(2);
  const U q1 =
      rt.create_query<uint64_t>([this](Runtime& r, uint32_t) { return r.get(a) % 2 + r.get(b); });
  const U q2 = rt.create_query<uint64_t>([this](Runtime& r, uint32_t) { return 10 * r.get(q1); });
  velk::TraceReport report;
};

using Snapshot = Tracing;

}  // namespace

TEST_F(Tracing, ReportsWhatTheReadRecomputedOrVerified) {
  EXPECT_EQ(traced(b), 2u);
  EXPECT_TRUE(report.entries.empty());
  EXPECT_EQ(report.target, b.slot);
  EXPECT_EQ(report.nodes_recomputed + report.nodes_cutoff, 0u);
  EXPECT_EQ(traced(q1), 3u);
  EXPECT_EQ(trace(), (Trace{{q1.slot, TraceAction::RecomputedChanged}}));
  EXPECT_EQ(report.target, q1.slot);
  EXPECT_EQ(report.nodes_recomputed, 1u);
  EXPECT_EQ(rt.get(q2), 30u);
  rt.set(a, uint64_t(3));  // q1 recomputes to the same value
  EXPECT_EQ(traced(q2), 30u);
  EXPECT_EQ(trace(), (Trace{{q1.slot, TraceAction::RecomputedCutoff},
                            {q2.slot, TraceAction::VerifiedClean}}));
  EXPECT_EQ(report.entries[0].cause, a.slot);
  EXPECT_EQ(report.entries[1].cause, velk::kNoCause);
  EXPECT_EQ(report.entries[1].compute_ns, 0u);
  EXPECT_EQ(report.nodes_recomputed, 1u);
  EXPECT_EQ(report.nodes_cutoff, 1u);
  EXPECT_EQ(report.total_nodes, rt.node_count());
  EXPECT_EQ(traced(q2), 30u);
  EXPECT_TRUE(report.entries.empty());
  rt.set(b, uint64_t(5));
  EXPECT_EQ(traced(q2), 60u);
  EXPECT_EQ(trace(), (Trace{{q1.slot, TraceAction::RecomputedChanged},
                            {q2.slot, TraceAction::RecomputedChanged}}));
  EXPECT_EQ(report.nodes_recomputed, 2u);
  EXPECT_EQ(report.nodes_cutoff, 0u);
  // Each ran because of the first changed dependency its verification found: b (not a), then q1.
  EXPECT_EQ(report.entries[0].cause, b.slot);
  EXPECT_EQ(report.entries[1].cause, q1.slot);
}

// The failed read recomputes q1 before its own compute throws. That event reaches neither the
// failed read's report, left as it was, nor a later traced read's.
TEST_F(Tracing, FailedReadLeavesItsReportAloneAndLeaksNoEvents) {
  const U fails = rt.create_query<uint64_t>([this](Runtime& r, uint32_t) -> uint64_t {
    if (r.get(q1) > 0) throw std::runtime_error("compute failed");
    return 0;
  });
  report.target = 99;
  EXPECT_THROW(traced(fails), std::runtime_error);
  EXPECT_EQ(report.target, 99u);
  EXPECT_TRUE(report.entries.empty());
  rt.set(b, uint64_t(4));
  EXPECT_EQ(rt.get(q2), 50u);
  EXPECT_EQ(traced(q1), 5u);
  EXPECT_TRUE(report.entries.empty());
}

// Live nodes in slot order: a deleted node is absent and its slot's next node (generation 1)
// does not inherit its label. Repeated reads are repeated edges.
TEST_F(Snapshot, ListsLiveNodesWithTheirEdgesAndLabels) {
  EXPECT_TRUE(Runtime().graph_snapshot().empty());
  const U twice =
      rt.create_query<uint64_t>([this](Runtime& r, uint32_t) { return r.get(a) + r.get(a); });
  EXPECT_EQ(rt.get(twice), 2u);
  EXPECT_EQ(rt.graph_snapshot().at(a.slot).dependents, (Slots{twice.slot, twice.slot}));
  EXPECT_EQ(rt.graph_snapshot().at(twice.slot).dependencies, (Slots{a.slot, a.slot}));
  EXPECT_EQ(rt.get(q2), 30u);
  rt.set_label(a.slot, "first");
  rt.set_label(a.slot, "a");
  rt.set_label(twice.slot, "twice");
  rt.set_label(40, "no node here");
  rt.delete_node(twice);
  EXPECT_EQ(rt.graph_snapshot().size(), 4u);
  const U late = rt.create_input<uint64_t>(0);
  EXPECT_EQ(late, (U{twice.slot, 1, rt.id()}));
  const auto nodes = rt.graph_snapshot();
  ASSERT_EQ(nodes.size(), 5u);
  for (uint32_t slot = 0; slot < 5; ++slot) EXPECT_EQ(nodes[slot].id, slot);
  EXPECT_EQ(nodes[a.slot].label, "a");
  EXPECT_EQ(nodes[a.slot].dependents, Slots{q1.slot});
  EXPECT_EQ(nodes[q1.slot].dependencies, (Slots{a.slot, b.slot}));
  EXPECT_TRUE(nodes[q1.slot].is_compute);
  EXPECT_FALSE(nodes[late.slot].is_compute || nodes[late.slot].label || nodes[b.slot].label);
  EXPECT_TRUE(nodes[late.slot].dependencies.empty());
}

// A traced reader, a plain reader and a setter share the chain while a fourth thread relabels
// and takes snapshots. Each report counts what it lists and lists only the chain's queries;
// each snapshot shows the chain's shape and the latest label.
TEST_F(Tracing, TracedReadsAndSnapshotsRacingSetsStayConsistent) {
  velk_test::DeadlockGuard guard;
  const uint64_t sets = 100 * velk_test::kScale;
  EXPECT_EQ(rt.get(q2), 30u);
  std::atomic<bool> setting{true};
  velk_test::run_threads(4, [&](int t) {
    for (uint64_t n = 1; t != 0 ? setting.load() : n <= sets; ++n) {
      if (t == 0) {
        rt.set(n % 2 ? a : b, n);
      } else if (t == 1) {
        rt.get(q2);
      } else if (t == 2) {
        EXPECT_EQ(traced(q2) % 10, 0u);
        EXPECT_EQ(report.target, q2.slot);
        EXPECT_EQ(report.total_nodes, 4u);
        uint64_t recomputed = 0, cutoff = 0;
        for (const velk::TraceEntry& e : report.entries) {
          EXPECT_TRUE(e.slot == q1.slot || e.slot == q2.slot) << e.slot;
          recomputed += e.action != TraceAction::VerifiedClean;
          cutoff += e.action == TraceAction::RecomputedCutoff;
        }
        EXPECT_EQ(report.nodes_recomputed, recomputed);
        EXPECT_EQ(report.nodes_cutoff, cutoff);
      } else {
        rt.set_label(q1.slot, "q1 #" + std::to_string(n));
        const auto nodes = rt.graph_snapshot();
        ASSERT_EQ(nodes.size(), 4u);
        EXPECT_EQ(nodes[q1.slot].label, "q1 #" + std::to_string(n));
        EXPECT_EQ(nodes[q1.slot].dependencies, (Slots{a.slot, b.slot}));
        EXPECT_EQ(nodes[q2.slot].dependencies, Slots{q1.slot});
      }
    }
    if (t == 0) setting = false;
  });
  EXPECT_EQ(rt.get(q2), 10 * (1 + (sets % 2 ? sets - 1 : sets)));  // last a is odd
}
