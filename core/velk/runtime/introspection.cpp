#include "velk/runtime/introspection.h"

#include <utility>

#include "velk/runtime/runtime.h"

namespace velk {

std::string Introspection::set_label(uint32_t slot, std::string label,
                                     const StructuralLock::Exclusive& held) {
  held.dcheck();
  return std::exchange(labels_[slot], std::move(label));
}

std::string Introspection::take_label(uint32_t slot, const StructuralLock::Exclusive& held) {
  held.dcheck();
  std::string label;
  if (auto it = labels_.find(slot); it != labels_.end()) {
    label = std::move(it->second);
    labels_.erase(it);
  }
  return label;
}

std::optional<std::string> Introspection::label(uint32_t slot,
                                                const StructuralLock::Shared& held) const {
  held.dcheck();
  if (auto it = labels_.find(slot); it != labels_.end()) return it->second;
  return std::nullopt;
}

std::vector<NodeSnapshot> Introspection::snapshot(const SegmentedNodes& nodes,
                                                  const DependencyGraph& graph,
                                                  const SlotTable& slots,
                                                  const StructuralLock::Shared& held) const {
  held.dcheck();
  std::vector<NodeSnapshot> snapshot;
  const uint32_t count = nodes.slot_count();
  for (uint32_t slot = 0; slot < count; ++slot) {
    const NodeRecord& record = nodes.get(slot);
    // lock-free: claims move states meanwhile; lists and generations change only under the
    // write lock, so the snapshot is consistent in structure.
    if (record.load_state() == NodeState::Deleted) continue;
    NodeSnapshot node;
    node.id = slot;
    node.is_compute = slots.is_query(slot, held);
    node.dependencies = record.deps();
    if (slot < graph.size(held)) node.dependents = graph.dependents(slot, held);
    if (auto it = labels_.find(slot); it != labels_.end()) node.label = it->second;
    snapshot.push_back(std::move(node));
  }
  return snapshot;
}

void Introspection::summarize(TraceReport& report, uint32_t target, uint64_t start_ns,
                              uint32_t total_nodes) {
  const uint64_t now = monotonic_ns();
  report.elapsed_ns = now > start_ns ? now - start_ns : 0;
  report.target = target;
  report.nodes_recomputed = 0;
  report.nodes_cutoff = 0;
  for (const TraceEntry& e : report.entries) {
    if (e.action != TraceAction::VerifiedClean) ++report.nodes_recomputed;
    if (e.action == TraceAction::RecomputedCutoff) ++report.nodes_cutoff;
  }
  report.total_nodes = total_nodes;
}

}  // namespace velk
