// What the runtime tells about itself: node labels, the figures of a traced read, and the
// graph snapshot.
//
// Locking: labels are guarded by the runtime's structural lock (changes under the write lock,
// the snapshot under either mode), each taking the lock's token. Replaced or dropped labels
// are handed back, to be freed after the lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "velk/graph/dependency_graph.h"
#include "velk/graph/segmented_nodes.h"
#include "velk/graph/structural_lock.h"
#include "velk/runtime/slot_table.h"
#include "velk/runtime/tracing.h"

namespace velk {

class Introspection {
 public:
  // Returns the label it replaces (empty for none).
  std::string set_label(uint32_t slot, std::string label, const StructuralLock::Exclusive& held);
  // Drops a deleted node's label; returns it.
  std::string take_label(uint32_t slot, const StructuralLock::Exclusive& held);
  std::optional<std::string> label(uint32_t slot, const StructuralLock::Shared& held) const;

  // Every live node with its lists, kind and label.
  std::vector<NodeSnapshot> snapshot(const SegmentedNodes& nodes, const DependencyGraph& graph,
                                     const SlotTable& slots,
                                     const StructuralLock::Shared& held) const;

  // Fills a traced read's figures from its events.
  static void summarize(TraceReport& report, uint32_t target, uint64_t start_ns,
                        uint32_t total_nodes);

 private:
  std::unordered_map<uint32_t, std::string> labels_;
};

}  // namespace velk
