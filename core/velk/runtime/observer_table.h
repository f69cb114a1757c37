// The registered observers, by id and by observed node, and the structural side of a stabilize
// pass: which observers it visits.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "velk/graph/structural_lock.h"
#include "velk/memory/held.h"
#include "velk/runtime/observer.h"

namespace velk {

// Ids count from 1 and are never reused. The index by node lets a deletion take its node's
// observers without scanning every observer, and unobserve stays O(log n) however many
// observers one node has.
//
// Locking: guarded by the runtime's structural lock; changes under the write lock, reads under
// either mode, each taking the lock's token. Closures are handed out, never dropped here while
// the lock is held: dropping one may run embedding code.
class ObserverTable {
 public:
  uint64_t add(std::shared_ptr<ObserverClosure> closure, uint32_t slot,
               const StructuralLock::Exclusive& held) {
    held.dcheck();
    const uint64_t id = next_id_++;
    by_id_.emplace(id, ObserverEntry{std::move(closure), slot});
    by_slot_.emplace(slot, id);
    return id;
  }

  // The removed observer's closure; nullptr for an unknown or already removed id.
  std::shared_ptr<ObserverClosure> remove(uint64_t id, const StructuralLock::Exclusive& held);
  // Removes the node's observers; returns their closures.
  std::vector<std::shared_ptr<ObserverClosure>> remove_of(uint32_t slot,
                                                          const StructuralLock::Exclusive& held);

  // The closures a stabilize pass visits: every observer registered now.
  std::vector<std::shared_ptr<ObserverClosure>> pass(const StructuralLock::Shared& held) const;

  // Offers every closure (see held.h).
  void visit_held(HeldVisitor& visitor, const StructuralLock::Shared& held) const;

  // In a forked child: a delivery a thread the child lacks was making never ends, so its lock
  // starts afresh.
  void reset_deliveries_after_fork(const StructuralLock::Exclusive& held);

 private:
  std::unordered_map<uint64_t, ObserverEntry> by_id_;
  std::set<std::pair<uint32_t, uint64_t>> by_slot_;  // (observed slot, id)
  uint64_t next_id_ = 1;
};

}  // namespace velk
