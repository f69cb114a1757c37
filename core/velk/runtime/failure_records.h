// What each Failed node's last compute failed with, kept so that a later read of the node,
// which fails with "stays Failed", names that failure as its cause. Only failures carrying an
// embedding's detail (the exception a callback raised) are kept.
//
// Locking: guarded by the runtime's structural lock, like the other components; details are
// handed out, never dropped while the lock is held: dropping one may run embedding code. A
// compute asks `holds_any` (one relaxed load) before it takes the lock to drop a stale entry.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>

#include "velk/base/failure.h"
#include "velk/graph/structural_lock.h"
#include "velk/memory/held.h"

namespace velk {

class FailureRecords {
 public:
  using Detail = std::shared_ptr<const FailureDetail>;

  // Keeps the node's failure; returns the one it replaces.
  Detail keep(uint32_t slot, uint32_t generation, Detail detail,
              const StructuralLock::Exclusive& held) {
    held.dcheck();
    Entry& entry = entries_[slot];
    entry.generation = generation;
    std::swap(entry.detail, detail);
    count_.store(entries_.size(), std::memory_order_relaxed);
    return detail;
  }

  // The failure kept for this node, or null.
  Detail find(uint32_t slot, uint32_t generation, const StructuralLock::Shared& held) const {
    held.dcheck();
    const auto it = entries_.find(slot);
    if (it == entries_.end() || it->second.generation != generation) return nullptr;
    return it->second.detail;
  }

  bool holds(uint32_t slot, const StructuralLock::Shared& held) const {
    held.dcheck();
    return entries_.count(slot) != 0;
  }

  // Takes the node's failure out (a compute that succeeded, a deletion).
  Detail take(uint32_t slot, const StructuralLock::Exclusive& held) {
    held.dcheck();
    const auto it = entries_.find(slot);
    if (it == entries_.end()) return nullptr;
    Detail detail = std::move(it->second.detail);
    entries_.erase(it);
    count_.store(entries_.size(), std::memory_order_relaxed);
    return detail;
  }

  // lock-free: a hint; a node's entry is kept before the node is Failed, and only its claimant
  // or a deletion takes it out.
  bool holds_any() const noexcept { return count_.load(std::memory_order_relaxed) != 0; }

  // Offers what every kept failure holds; a detail several nodes share is offered once.
  void visit_held(HeldVisitor& visitor, const StructuralLock::Shared& held) const {
    held.dcheck();
    for (const auto& [slot, entry] : entries_) {
      if (visitor.first_visit(entry.detail.get())) entry.detail->visit_held(visitor);
    }
  }

 private:
  struct Entry {
    uint32_t generation = 0;
    Detail detail;
  };
  std::unordered_map<uint32_t, Entry> entries_;
  std::atomic<size_t> count_{0};
};

}  // namespace velk
