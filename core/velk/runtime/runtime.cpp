// Runtime construction, handle checks, slot allocation and release, introspection.
#include "velk/runtime/runtime.h"

#include <algorithm>

#include "velk/runtime/fork_recovery.h"

namespace velk {

Runtime::Runtime() : id_(RuntimeId::next()) { register_runtime(this); }

Runtime::~Runtime() { unregister_runtime(this); }

NodeRecord& Runtime::check_handle(uint32_t slot, uint32_t generation, RuntimeId minted_by,
                                  std::string_view type_name) const {
  if (minted_by != id_) {
    fail("velk-core: Velk<" + std::string(type_name) +
         "> handle from a foreign runtime (handle was minted by runtime " +
         std::to_string(minted_by.value) + ", used on runtime " + std::to_string(id_.value) + ")");
  }
  NodeRecord& record = nodes_.get(slot);
  // lock-free: a deletion after the check is caught by the caller's re-check or its claim.
  const uint32_t current = record.load_generation();
  if (current != generation) {
    fail("velk-core: stale Velk<" + std::string(type_name) + "> handle: the node at slot " +
         std::to_string(slot) + " was deleted (handle generation " + std::to_string(generation) +
         ", slot generation " + std::to_string(current) + ")");
  }
  return record;
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

void Runtime::check_capacity() const {
  if (structural_.free_slots.empty() && nodes_.slot_count() >= SegmentedNodes::kCapacity) {
    fail("SegmentedNodes exhausted at " + std::to_string(SegmentedNodes::kCapacity) + " slots");
  }
}

uint32_t Runtime::allocate_slot(const SegmentedNodes::Fields& fields,
                                std::shared_ptr<ComputeFunction> fn) {
  uint32_t slot;
  if (!structural_.free_slots.empty()) {
    slot = structural_.free_slots.back();
    structural_.free_slots.pop_back();
    nodes_.get(slot).reset_for(fields);
  } else {
    slot = nodes_.push(fields);
    structural_.compute_fns.emplace_back();
    structural_.dependents.add_slot();
  }
  structural_.compute_fns[slot] = std::move(fn);
  return slot;
}

void Runtime::retire_with(ErasedVelk node, std::weak_ptr<Retirable> state) {
  std::unique_lock lock(structural_lock_);
  if (!is_alive(node)) fail("velk-core: retire_with on deleted node " + std::to_string(node.slot));
  structural_.retired_with.insert_or_assign(node.slot, std::move(state));
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
  std::shared_lock lock(structural_lock_);
  return nodes_.slot_count() - uint32_t(structural_.free_slots.size());
}

std::vector<uint32_t> Runtime::dependents_of(uint32_t slot) const {
  std::shared_lock lock(structural_lock_);
  return dependents_locked(slot);
}

const std::vector<uint32_t>& Runtime::dependents_locked(uint32_t slot) const {
  return structural_.dependents.of(slot);
}

bool Runtime::is_query(uint32_t slot) const { return compute_function(slot) != nullptr; }

std::shared_ptr<ComputeFunction> Runtime::compute_function(uint32_t slot) const {
  std::shared_lock lock(structural_lock_);
  if (slot >= structural_.compute_fns.size()) return nullptr;
  return structural_.compute_fns[slot];
}

}  // namespace velk
