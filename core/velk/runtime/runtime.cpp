// Runtime construction, handle checks, slot allocation, node counts.
#include "velk/runtime/runtime.h"

#include "velk/runtime/fork_recovery.h"

namespace velk {

Runtime::Runtime() : id_(RuntimeId::next()) { register_runtime(this); }

Runtime::~Runtime() { unregister_runtime(this); }

void Runtime::fail_handle(uint32_t slot, uint32_t generation, RuntimeId minted_by,
                          std::string_view type_name) const {
  if (minted_by != id_) {
    fail("velk-core: Velk<" + std::string(type_name) +
         "> handle from a foreign runtime (handle was minted by runtime " +
         std::to_string(minted_by.value) + ", used on runtime " + std::to_string(id_.value) + ")");
  }
  // lock-free: the generation the failed check saw, or a later one.
  const uint32_t current = nodes_.get(slot).load_generation();
  fail_read("velk-core: stale Velk<" + std::string(type_name) + "> handle: the node at slot " +
       std::to_string(slot) + " was deleted (handle generation " + std::to_string(generation) +
       ", slot generation " + std::to_string(current) + ")");
}

void Runtime::fail_in_compute(const char* operation) {
  fail(std::string(operation) + " called during compute; not permitted");
}

void Runtime::refuse_foreign_read(uint32_t slot) const {
  fail("velk-core: node " + std::to_string(slot) + " of runtime " + std::to_string(id_.value) +
       " read inside a compute of another runtime; that compute could not depend on it and "
       "would keep a stale value after it changes: read it outside and pass the value in "
       "through an input of the computing runtime, or keep both in one runtime");
}

uint32_t Runtime::allocate_slot(const SegmentedNodes::Fields& fields,
                                std::shared_ptr<ComputeFunction> fn,
                                const StructuralLock::Exclusive& held) {
  const uint32_t slot = slots_.allocate(fields, std::move(fn), held);
  graph_.cover(slot + 1, held);
  return slot;
}

bool Runtime::is_alive(ErasedVelk handle) const {
  if (handle.runtime_id != id_) return false;
  // lock-free: exact under the structural lock, a snapshot elsewhere.
  if (handle.slot >= nodes_.slot_count()) return false;
  const NodeRecord& record = nodes_.get(handle.slot);
  if (record.is_deleted()) return false;
  return record.load_generation() == handle.generation;
}

uint32_t Runtime::node_count() const {
  StructuralLock::ReadGuard held(structural_lock_);
  return slots_.live_count(held);
}

bool Runtime::is_query(uint32_t slot) const { return compute_function(slot) != nullptr; }

Runtime::NodeCompute Runtime::node_compute_locked(uint32_t slot) const {
  StructuralLock::ReadGuard held(structural_lock_);
  return {slots_.compute_function(slot, held), slots_.equal_of(slot, held)};
}

ComputeFunction* Runtime::compute_function(uint32_t slot) const {
  StructuralLock::ReadGuard held(structural_lock_);
  return slots_.compute_function(slot, held);
}

}  // namespace velk
