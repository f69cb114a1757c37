// Observer registration and the stabilize pass. No engine lock is held while an observer
// fires, so callbacks may call any runtime operation.
#include <algorithm>
#include <exception>

#include "velk/runtime.h"

namespace velk {

uint64_t ObserverClosure::refresh(Runtime& runtime) const {
  runtime.ensure_clean(node_.slot);
  // changed_at reads as the maximum while an input's value is being replaced; the revision
  // counter bounds it.
  return std::min(runtime.record(node_.slot).load_changed_at(), runtime.revision());
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
  const uint64_t id = structural_.next_observer_id++;
  structural_.observers.emplace(id, ObserverEntry{std::move(closure), last_fired, slot});
  return id;
}

void Runtime::unobserve(uint64_t id) {
  std::shared_ptr<ObserverClosure> removed;  // dropped after the lock: it may run Python
  std::unique_lock lock(structural_lock_);
  auto it = structural_.observers.find(id);
  if (it == structural_.observers.end()) return;
  removed = std::move(it->second.closure);
  structural_.observers.erase(it);
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
    for (const auto& [id, entry] : structural_.observers) {
      pass.push_back({id, entry.last_fired, entry.closure});
    }
  }
  // A node that fails to compute keeps only its own observer from firing; the first such
  // failure is raised once the pass has fired every other observer it can.
  std::exception_ptr first_failure;
  for (Copied& observer : pass) {
    const std::shared_ptr<ObserverClosure> closure = std::move(observer.closure);
    // An observer removed during the pass still fires in it (it was copied), but not once its
    // node is gone: a deletion, perhaps by an earlier callback, took its observers along.
    if (!is_alive(closure->node())) continue;
    std::exception_ptr failure = fire_observer(*closure, observer.id, observer.last_fired);
    if (failure && !first_failure) first_failure = std::move(failure);
  }
  if (first_failure) std::rethrow_exception(first_failure);
}

std::exception_ptr Runtime::fire_observer(ObserverClosure& closure, uint64_t id,
                                          uint64_t last_fired) {
  bool in_callback = false;
  uint64_t seen;
  try {
    seen = closure.refresh(*this);
    if (last_fired >= seen) return nullptr;
    closure.deliver(*this, in_callback);
  } catch (const TransientFailure&) {
    throw;  // an interrupt ends the pass at once
  } catch (const Failure&) {
    if (in_callback) throw;  // a raising callback aborts the pass
    if (!is_alive(closure.node())) return nullptr;  // deleted while it was brought up to date
    return std::current_exception();
  }
  std::unique_lock lock(structural_lock_);
  auto it = structural_.observers.find(id);
  if (it != structural_.observers.end()) {
    it->second.last_fired = std::max(it->second.last_fired, seen);
  }
  return nullptr;
}

}  // namespace velk
