// The trace log of traced reads, node labels and the graph snapshot.
#include <ctime>

#include "velk/runtime/runtime.h"

namespace velk {

const char* trace_action_name(TraceAction action) noexcept {
  switch (action) {
    case TraceAction::RecomputedCutoff: return "recomputed_cutoff";
    case TraceAction::RecomputedChanged: return "recomputed_changed";
    case TraceAction::VerifiedClean: return "verified_clean";
  }
  return "?";
}

uint64_t monotonic_ns() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1'000'000'000u + uint64_t(ts.tv_nsec);
}

void Runtime::end_trace(uint32_t target, uint64_t start_ns, TraceReport& report) {
  const uint64_t now = monotonic_ns();
  report.elapsed_ns = now > start_ns ? now - start_ns : 0;
  report.target = target;
  report.nodes_recomputed = 0;
  report.nodes_cutoff = 0;
  for (const TraceEntry& e : report.entries) {
    if (e.action != TraceAction::VerifiedClean) ++report.nodes_recomputed;
    if (e.action == TraceAction::RecomputedCutoff) ++report.nodes_cutoff;
  }
  report.total_nodes = node_count();
}

void Runtime::set_label(uint32_t slot, std::string label) {
  std::string replaced;  // freed after the lock
  std::unique_lock lock(structural_lock_);
  std::string& stored = structural_.labels[slot];
  replaced = std::exchange(stored, std::move(label));
}

std::vector<NodeSnapshot> Runtime::graph_snapshot() const {
  std::vector<NodeSnapshot> nodes;
  std::shared_lock lock(structural_lock_);
  const uint32_t count = nodes_.slot_count();
  for (uint32_t slot = 0; slot < count; ++slot) {
    const NodeRecord& record = nodes_.get(slot);
    // lock-free: claims move states meanwhile; lists and generations change only under the
    // write lock, so the snapshot is consistent in structure.
    if (record.load_state() == NodeState::Deleted) continue;
    NodeSnapshot node;
    node.id = slot;
    node.is_compute = slot < structural_.compute_fns.size() && structural_.compute_fns[slot];
    node.dependencies = record.deps();
    if (slot < structural_.dependents.size()) node.dependents = structural_.dependents.of(slot);
    if (auto it = structural_.labels.find(slot); it != structural_.labels.end())
      node.label = it->second;
    nodes.push_back(std::move(node));
  }
  return nodes;
}

}  // namespace velk
