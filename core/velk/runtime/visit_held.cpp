// What a runtime holds on behalf of its embedding: the visit a cycle collector traverses, and
// the release that breaks a cycle through the runtime. Both require that no thread uses the
// runtime (the embedding's collector checks that), so they read node records and cells
// without claims or hazard protection.
#include "velk/runtime/runtime.h"

namespace velk {

void Runtime::visit_held(HeldVisitor& visitor) const {
  std::shared_lock lock(structural_lock_);
  for (uint16_t tag = 0; tag < structural_.arenas.arena_count(); ++tag) {
    structural_.arenas.erased(tag)->visit_values(visitor);
  }
  for (const std::shared_ptr<ComputeFunction>& fn : structural_.compute_fns) {
    if (fn && visitor.first_visit(fn.get())) fn->visit_held(visitor);
  }
  for (const auto& entry : structural_.observers.by_id()) {
    const std::shared_ptr<ObserverClosure>& closure = entry.second.closure;
    if (closure && visitor.first_visit(closure.get())) closure->visit_held(visitor);
  }
}

void Runtime::release_all() {
  struct HeldValue {
    std::shared_ptr<ErasedArena> arena;
    uint32_t index;
  };
  // Dropped after the lock, like retire_node's: dropping them may run embedding code.
  std::vector<std::shared_ptr<ComputeFunction>> fns;
  ObserverTable::ById observers;
  std::vector<HeldValue> values;
  std::unordered_map<uint32_t, std::weak_ptr<Retirable>> states;
  {
    std::unique_lock lock(structural_lock_);
    const uint32_t count = nodes_.slot_count();
    for (uint32_t slot = 0; slot < count; ++slot) {
      NodeRecord& record = nodes_.get(slot);
      if (record.load_state() == NodeState::Deleted) continue;  // already on the free list
      values.push_back(
          {structural_.arenas.erased(record.load_arena_tag()), record.load_value_index()});
      record.mark_deleted();
      record.retire();
      structural_.dependents.clear(slot);
      structural_.free_slots.push_back(slot);
    }
    fns.reserve(structural_.compute_fns.size());
    for (auto& fn : structural_.compute_fns) {
      if (fn) fns.push_back(std::move(fn));
    }
    observers = structural_.observers.take_all();
    structural_.owner_of.clear();
    structural_.owned.clear();
    structural_.labels.clear();
    states.swap(structural_.retired_with);
  }
  fns.clear();
  observers.clear();
  for (const HeldValue& value : values) value.arena->free(value.index);
  for (const auto& entry : states) {
    if (const std::shared_ptr<Retirable> alive = entry.second.lock()) alive->retire();
  }
}

}  // namespace velk
