// What a runtime holds on behalf of its embedding: the visit a cycle collector traverses, and
// the release that breaks a cycle through the runtime. Both require that no thread uses the
// runtime (the embedding's collector checks that), so they read node records and cells
// without claims or hazard protection.
#include "velk/runtime/runtime.h"

namespace velk {

void Runtime::visit_held(HeldVisitor& visitor) const {
  StructuralLock::ReadGuard held(structural_lock_);
  slots_.visit_held(visitor, held);
  observers_.visit_held(visitor, held);
  failures_.visit_held(visitor, held);
}

void Runtime::release_all() {
  // Dropped after the lock, like retire_node's: dropping them may run embedding code. Every
  // function and observer goes before any value is freed, and states are retired last.
  std::vector<Unlinked> released;
  {
    StructuralLock::WriteGuard held(structural_lock_);
    const uint32_t count = nodes_.slot_count();
    for (uint32_t slot = 0; slot < count; ++slot) {
      if (nodes_.get(slot).load_state() == NodeState::Deleted) continue;  // on the free list
      released.push_back(unlink(slot, held));
    }
  }
  for (Unlinked& node : released) {
    node.slot.fn.reset();
    node.slot.equal.reset();
  }
  for (Unlinked& node : released) node.observers.clear();
  for (const Unlinked& node : released) node.slot.arena->free(node.slot.value_index);
  for (const Unlinked& node : released) {
    if (const std::shared_ptr<Retirable> alive = node.state.lock()) alive->retire();
  }
}

}  // namespace velk
