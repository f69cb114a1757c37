// Observer registration and the stabilize pass. No engine lock is held while an observer
// fires, so callbacks may call any runtime operation.
#include <algorithm>

#include "velk/runtime.h"

namespace velk {

std::pair<bool, uint64_t> ObserverClosure::fire(Runtime& runtime, uint64_t last_fired) {
  runtime.ensure_clean(node_.slot);
  // changed_at reads as the maximum while an input's value is being replaced; the revision
  // counter bounds it.
  const uint64_t seen = std::min(runtime.record(node_.slot).load_changed_at(), runtime.revision());
  if (last_fired >= seen) return {false, seen};
  deliver(runtime);
  return {true, seen};
}

uint64_t Runtime::install_observer(uint32_t slot, uint32_t generation,
                                   std::shared_ptr<ObserverClosure> closure) {
  const NodeRecord& record = nodes_.get(slot);
  // A node with a value fires only for later changes; a never-computed one at the first pass.
  const uint64_t last_fired = record.load_state() == NodeState::New
                                  ? 0
                                  : std::min(record.load_changed_at(), revision());
  std::unique_lock lock(structural_lock_);
  // Deletion removes observers under this lock: one registered for a node deleted since the
  // handle check would never be removed.
  if (record.load_generation() != generation || record.load_state() == NodeState::Deleted) {
    return 0;
  }
  return structural_.observers.add(std::move(closure), last_fired, slot);
}

void Runtime::unobserve(uint64_t id) {
  std::shared_ptr<ObserverClosure> removed;  // dropped after the lock: it may run Python
  std::unique_lock lock(structural_lock_);
  removed = structural_.observers.remove(id);
  lock.unlock();
}

void Runtime::stabilize() {
  struct Copied {
    uint64_t id;
    uint64_t last_fired;
    std::shared_ptr<ObserverClosure> closure;
  };
  std::vector<Copied> pass;
  {
    std::shared_lock lock(structural_lock_);
    pass.reserve(structural_.observers.size());
    for (const auto& [id, entry] : structural_.observers.by_id()) {
      pass.push_back({id, entry.last_fired, entry.closure});
    }
  }
  for (Copied& observer : pass) {
    // An observer removed during the pass still fires in it (it was copied), but not once its
    // node is gone: a deletion, perhaps by an earlier callback, took its observers along.
    const ErasedVelk& node = observer.closure->node();
    if (!is_alive(node)) continue;
    std::pair<bool, uint64_t> outcome;
    try {
      outcome = observer.closure->fire(*this, observer.last_fired);
    } catch (const Failure&) {
      if (!is_alive(node)) continue;  // deleted while it fired
      throw;
    }
    const auto [fired, seen] = outcome;
    observer.closure.reset();
    if (!fired) continue;
    std::unique_lock lock(structural_lock_);
    if (ObserverEntry* entry = structural_.observers.find(observer.id)) {
      entry->last_fired = std::max(entry->last_fired, seen);
    }
  }
}

}  // namespace velk
