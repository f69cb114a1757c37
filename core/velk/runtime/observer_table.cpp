#include "velk/runtime/observer_table.h"

#include <mutex>
#include <new>
#include <thread>

namespace velk {

std::shared_ptr<ObserverClosure> ObserverTable::remove(uint64_t id,
                                                       const StructuralLock::Exclusive& held) {
  held.dcheck();
  auto it = by_id_.find(id);
  if (it == by_id_.end()) return nullptr;
  std::shared_ptr<ObserverClosure> closure = std::move(it->second.closure);
  by_slot_.erase({it->second.slot, id});
  by_id_.erase(it);
  return closure;
}

std::vector<std::shared_ptr<ObserverClosure>> ObserverTable::remove_of(
    uint32_t slot, const StructuralLock::Exclusive& held) {
  held.dcheck();
  std::vector<std::shared_ptr<ObserverClosure>> closures;
  auto it = by_slot_.lower_bound({slot, 0});
  while (it != by_slot_.end() && it->first == slot) {
    auto entry = by_id_.find(it->second);
    closures.push_back(std::move(entry->second.closure));
    by_id_.erase(entry);
    it = by_slot_.erase(it);
  }
  return closures;
}

std::vector<std::shared_ptr<ObserverClosure>> ObserverTable::pass(
    const StructuralLock::Shared& held) const {
  held.dcheck();
  std::vector<std::shared_ptr<ObserverClosure>> closures;
  closures.reserve(by_id_.size());
  for (const auto& entry : by_id_) closures.push_back(entry.second.closure);
  return closures;
}

void ObserverTable::visit_held(HeldVisitor& visitor, const StructuralLock::Shared& held) const {
  held.dcheck();
  for (const auto& entry : by_id_) {
    const std::shared_ptr<ObserverClosure>& closure = entry.second.closure;
    if (closure && visitor.first_visit(closure.get())) closure->visit_held(visitor);
  }
}

void ObserverTable::reset_deliveries_after_fork(const StructuralLock::Exclusive& held) {
  held.dcheck();
  for (const auto& entry : by_id_) {
    ObserverClosure& closure = *entry.second.closure;
    // lock-free: the child's only thread runs here; the other holders are gone.
    const std::thread::id holder = closure.holder_.load(std::memory_order_acquire);
    if (holder == std::thread::id() || holder == std::this_thread::get_id()) continue;
    closure.delivery_.~mutex();
    new (&closure.delivery_) std::mutex();
    closure.holder_.store(std::thread::id(), std::memory_order_release);
  }
}

}  // namespace velk
