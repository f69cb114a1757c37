// The dependency graph's structural side: the dependents table (the exact reverse of every
// node's dependency list), the commit that replaces a node's dependency list, and the marking
// walk of an invalidation. Dependency lists themselves live in the node records (node.h).
//
// Locking: the table is guarded by the runtime's structural lock. Commits and unlinking change
// it under the write lock; walks and lookups read it under either mode, each taking the lock's
// token. A commit takes the write lock itself, and only when the list really changes.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "velk/base/handle.h"
#include "velk/graph/dep_stack.h"
#include "velk/graph/dependents_table.h"
#include "velk/graph/segmented_nodes.h"
#include "velk/graph/structural_lock.h"

namespace velk {

enum class CommitOutcome : uint8_t { Committed = 0, CommittedStale = 1, DependencyGone = 2 };

class DependencyGraph {
 public:
  explicit DependencyGraph(const SegmentedNodes& nodes) : nodes_(nodes) {}

  // Gives every slot below `slot_count` a dependents list.
  void cover(uint32_t slot_count, const StructuralLock::Exclusive& held);

  // Replaces the node's dependency list with `reads` (or adds them to it, with `merge`) and
  // updates the dependents table to match; takes the write lock only for a changed list.
  // DependencyGone when a read node was deleted since; CommittedStale when a dependency read
  // for the first time changed after `start_revision` (its walk could not reach the node).
  CommitOutcome commit(uint32_t slot, std::span<const DepRead> reads, bool merge,
                       uint64_t start_revision, StructuralLock& lock) {
    // Inline, the common case: a recompute that read what it read last time.
    if (!merge && same_slots(nodes_.get(slot), reads)) return CommitOutcome::Committed;
    return commit_changed(slot, reads, merge, start_revision, lock);
  }

  // Records the sources of a node just created as its dependency list; a source of another
  // runtime (`self` is this one), or one deleted meanwhile, is left out.
  void record_sources(uint32_t slot, std::span<const ErasedVelk> sources, RuntimeId self,
                      const StructuralLock::Exclusive& held);

  // Marks everything downstream of `source` as needing verification (see mark_reached).
  void mark_downstream(uint32_t source, const StructuralLock::Shared& held) const;

  const std::vector<uint32_t>& dependents(uint32_t slot, const StructuralLock::Shared& held) const {
    held.dcheck();
    return table_.of(slot);
  }
  // Slots with a dependents list (every slot ever allocated).
  uint32_t size(const StructuralLock::Shared& held) const {
    held.dcheck();
    return table_.size();
  }

  // Takes a node out of the graph: out of its dependencies' dependents lists, and its own
  // dependency and dependents lists emptied.
  void unlink(uint32_t slot, const StructuralLock::Exclusive& held);

 private:
  // Compared in place: a copy of the list would be an allocation per compute.
  static bool same_slots(const NodeRecord& record, std::span<const DepRead> reads) {
    // One index walks the reads (past their end at a mismatch), so the visit's state stays in
    // a register where the list is inline.
    constexpr size_t kMismatch = SIZE_MAX;
    size_t i = 0;
    // lock-free: the node is claimed here; only its claimant replaces the list.
    record.for_each_dep([&i, reads](uint32_t slot) {
      if (i == reads.size() || reads[i].slot != slot) {
        i = kMismatch;
        return false;
      }
      ++i;
      return true;
    });
    return i == reads.size();
  }
  CommitOutcome commit_changed(uint32_t slot, std::span<const DepRead> reads, bool merge,
                               uint64_t start_revision, StructuralLock& lock);

  const SegmentedNodes& nodes_;
  DependentsTable table_;  // guarded by the structural lock
};

}  // namespace velk
