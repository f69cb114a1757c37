// Committing a compute's recorded reads as the node's new dependency list, and keeping the
// dependents table its exact reverse.
#include <algorithm>

#include "velk/runtime/runtime.h"

namespace velk {

namespace {

// Membership in a small list, by a sorted copy so large fan-ins stay n log n.
class SlotSet {
 public:
  explicit SlotSet(std::vector<uint32_t> slots) : sorted_(std::move(slots)) {
    std::sort(sorted_.begin(), sorted_.end());
  }
  bool contains(uint32_t slot) const {
    return std::binary_search(sorted_.begin(), sorted_.end(), slot);
  }

 private:
  std::vector<uint32_t> sorted_;
};

bool same_slots(const std::vector<uint32_t>& list, std::span<const DepRead> reads) {
  return list.size() == reads.size() &&
         std::equal(list.begin(), list.end(), reads.begin(),
                    [](uint32_t slot, const DepRead& read) { return slot == read.slot; });
}

std::vector<uint32_t> merged_list(const std::vector<uint32_t>& old,
                                  std::span<const DepRead> reads) {
  std::vector<uint32_t> next = old;
  for (const DepRead& read : reads) {
    if (std::find(next.begin(), next.end(), read.slot) == next.end()) next.push_back(read.slot);
  }
  return next;
}

}  // namespace

CommitOutcome Runtime::commit_deps(uint32_t slot, std::span<const DepRead> reads, bool merge,
                                   uint64_t start_revision) {
  NodeRecord& record = nodes_.get(slot);
  // lock-free: the node is claimed here; only its claimant replaces the list.
  const std::vector<uint32_t> old = record.deps();
  if (!merge && same_slots(old, reads)) return CommitOutcome::Committed;  // the common case
  std::vector<uint32_t> next;
  if (merge) {
    next = merged_list(old, reads);
  } else {
    next.reserve(reads.size());
    for (const DepRead& read : reads) next.push_back(read.slot);
  }
  if (next == old) return CommitOutcome::Committed;

  std::unique_lock lock(structural_lock_);
  for (const DepRead& read : reads) {
    const NodeRecord& dep = nodes_.get(read.slot);
    if (dep.load_generation() != read.generation || dep.load_state() == NodeState::Deleted) {
      return CommitOutcome::DependencyGone;
    }
  }
  const SlotSet old_set(old);
  const SlotSet next_set(next);
  CommitOutcome outcome = CommitOutcome::Committed;
  for (uint32_t dep_slot : next) {
    if (old_set.contains(dep_slot)) continue;
    const NodeRecord& dep = nodes_.get(dep_slot);
    // lock-free: a dependency that changes after this look reaches the node by its walk: the
    // walk waits for this lock, and the node is its dependent by then.
    const NodeState state = dep.load_state();
    if (state == NodeState::Clean && dep.load_changed_at() <= start_revision) continue;
    if (merge && state == NodeState::Failed) continue;
    // A dependency read for the first time changed after the compute started: its walk could
    // not reach this node, which was not yet among its dependents.
    outcome = CommitOutcome::CommittedStale;
    break;
  }
  record.set_deps(next);
  for (uint32_t dep_slot : old) {
    if (next_set.contains(dep_slot)) continue;
    structural_.dependents.remove(dep_slot, slot);
  }
  for (uint32_t dep_slot : next) {
    if (!old_set.contains(dep_slot)) structural_.dependents.add(dep_slot, slot);
  }
  return outcome;
}

void Runtime::record_sources(uint32_t slot, std::span<const ErasedVelk> sources) {
  std::vector<uint32_t> deps;
  for (const ErasedVelk& source : sources) {
    if (source.runtime_id != id_ || source.slot >= nodes_.slot_count()) continue;
    const NodeRecord& dep = nodes_.get(source.slot);
    if (dep.load_generation() != source.generation || dep.load_state() == NodeState::Deleted)
      continue;
    if (std::find(deps.begin(), deps.end(), source.slot) != deps.end()) continue;
    deps.push_back(source.slot);
    structural_.dependents.add(source.slot, slot);
  }
  // A dependent from now on, the node is reached by every invalidation of its sources, so its
  // first commit need not compare their stamps (they are in its old list).
  nodes_.get(slot).set_deps(deps);
}

}  // namespace velk
