// Committing a compute's recorded reads as the node's new dependency list, keeping the
// dependents table its exact reverse, and the marking walk of an invalidation.
#include "velk/graph/dependency_graph.h"

#include <algorithm>
#include <memory>
#include <unordered_set>

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

std::vector<uint32_t> merged_list(const std::vector<uint32_t>& old,
                                  std::span<const DepRead> reads) {
  std::vector<uint32_t> next = old;
  for (const DepRead& read : reads) {
    if (std::find(next.begin(), next.end(), read.slot) == next.end()) next.push_back(read.slot);
  }
  return next;
}

}  // namespace

void DependencyGraph::cover(uint32_t slot_count, const StructuralLock::Exclusive& held) {
  held.dcheck();
  while (table_.size() < slot_count) table_.add_slot();
}

CommitOutcome DependencyGraph::commit_changed(uint32_t slot, std::span<const DepRead> reads,
                                              bool merge, uint64_t start_revision,
                                              StructuralLock& lock) {
  NodeRecord& record = nodes_.get(slot);
  // lock-free: the node is claimed here; only its claimant replaces the list, but for the
  // creation that records a new node's sources, which is looked for again under the lock.
  std::vector<uint32_t> old = record.deps();
  std::vector<uint32_t> next;
  auto make_next = [&] {
    if (merge) {
      next = merged_list(old, reads);
    } else {
      next.clear();
      next.reserve(reads.size());
      for (const DepRead& read : reads) next.push_back(read.slot);
    }
  };
  make_next();
  if (next == old) return CommitOutcome::Committed;

  StructuralLock::WriteGuard held(lock);
  // A reader that reached a reused slot may claim its new node before the creation, still
  // holding the lock, has recorded the node's sources.
  if (std::vector<uint32_t> now = record.deps(); now != old) [[unlikely]] {
    old = std::move(now);
    make_next();
  }
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
    table_.remove(dep_slot, slot);
  }
  for (uint32_t dep_slot : next) {
    if (!old_set.contains(dep_slot)) table_.add(dep_slot, slot);
  }
  return outcome;
}

void DependencyGraph::record_sources(uint32_t slot, std::span<const ErasedVelk> sources,
                                     RuntimeId self, const StructuralLock::Exclusive& held) {
  held.dcheck();
  std::vector<uint32_t> deps;
  for (const ErasedVelk& source : sources) {
    if (source.runtime_id != self || source.slot >= nodes_.slot_count()) continue;
    const NodeRecord& dep = nodes_.get(source.slot);
    if (dep.load_generation() != source.generation || dep.load_state() == NodeState::Deleted)
      continue;
    if (std::find(deps.begin(), deps.end(), source.slot) != deps.end()) continue;
    deps.push_back(source.slot);
    table_.add(source.slot, slot);
  }
  // A dependent from now on, the node is reached by every invalidation of its sources, so its
  // first commit need not compare their stamps (they are in its old list).
  nodes_.get(slot).set_deps(deps);
}

void DependencyGraph::unlink(uint32_t slot, const StructuralLock::Exclusive& held) {
  held.dcheck();
  NodeRecord& record = nodes_.get(slot);
  const std::vector<uint32_t> deps = record.deps();
  record.set_deps({});
  for (uint32_t dep : deps) table_.remove(dep, slot);
  table_.clear(slot);
}

namespace {

// The New nodes one walk passed. Every other state is left on the way on, so the walk passes
// each such node once, but a New node stays New: edges recorded by failed computes can close a
// cycle, which must not be walked round for ever.
class NewPassed {
 public:
  // True the first time.
  bool pass(uint32_t slot) {
    if (!slots_) slots_ = std::make_unique<std::unordered_set<uint32_t>>();
    return slots_->insert(slot).second;
  }

 private:
  std::unique_ptr<std::unordered_set<uint32_t>> slots_;  // made when the first New node is met
};

// Marks one node reached by the walk; true when the walk goes on to its dependents.
bool mark_reached(NodeRecord& record, uint32_t slot, NewPassed& new_passed) {
  for (;;) {
    // lock-free: every move is a CAS from the state just read; a lost race reads again.
    switch (record.load_state()) {
      case NodeState::New:
        if (record.cas_state(NodeState::New, NodeState::New)) return new_passed.pass(slot);
        break;
      case NodeState::Dirty:
      case NodeState::ComputingDirtied: return false;  // its dependents were marked when it was
      case NodeState::Deleted: return false;
      case NodeState::Computing:
        if (record.cas_state(NodeState::Computing, NodeState::ComputingDirtied)) return true;
        break;
      case NodeState::Clean:
        if (record.cas_state(NodeState::Clean, NodeState::Dirty)) return true;
        break;
      case NodeState::Failed:
        // Computed again, not verified: its old value says nothing since the failure.
        if (record.cas_state(NodeState::Failed, NodeState::New)) {
          new_passed.pass(slot);
          return true;
        }
        break;
    }
  }
}

}  // namespace

void DependencyGraph::mark_downstream(uint32_t source, const StructuralLock::Shared& held) const {
  held.dcheck();
  // A depth-first walk by an explicit stack, except that of the dependents of a node just
  // marked, the one the stack would give next (the last) is taken at once: a chain never
  // touches the stack, and the order is the stack's.
  std::vector<uint32_t> work;
  NewPassed new_passed;
  auto pop = [&work](uint32_t& d) {
    if (work.empty()) return false;
    d = work.back();
    work.pop_back();
    return true;
  };
  uint32_t marked = source;
  for (;;) {
    const std::vector<uint32_t>& dependents = table_.of(marked);
    uint32_t d;
    if (!dependents.empty()) {
      work.insert(work.end(), dependents.begin(), dependents.end() - 1);
      d = dependents.back();
    } else if (!pop(d)) {
      return;
    }
    while (!mark_reached(nodes_.get(d), d, new_passed)) {
      if (!pop(d)) return;
    }
    marked = d;
  }
}

}  // namespace velk
