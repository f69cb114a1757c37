// The set path after the value is written: the invalidation walk that marks everything
// downstream of a changed input as needing verification (its structural part is the dependency
// graph's), then the new revision.
#include <exception>

#include "velk/runtime/runtime.h"
#include "velk/runtime/test_seams.h"

namespace velk {

void Runtime::refuse_set_on_query(uint32_t slot) const {
  fail("Runtime::set called on a query (compute) node at slot " + std::to_string(slot) +
       "; only input nodes can be set");
}

Runtime::InputClaim::InputClaim(Runtime& runtime, ErasedVelk handle, std::string_view type_name)
    : record_(&runtime.record(handle.slot)) {
  Backoff backoff;
  for (;;) {
    // lock-free: the generation is checked again once the claim is held.
    if (record_->load_generation() != handle.generation) break;
    const NodeState state = record_->load_state();
    if (state == NodeState::Clean && record_->cas_state(NodeState::Clean, NodeState::Computing)) {
      if (record_->load_generation() == handle.generation) return;
      record_->cas_state(NodeState::Computing, NodeState::Clean);  // another node's now
      break;
    }
    record_->wait_while(state, backoff);  // another set, or a compute, holds it
  }
  record_ = nullptr;
  runtime.check_handle(handle.slot, handle.generation, handle.runtime_id, type_name);
  fail("velk-core: node " + std::to_string(handle.slot) + " was deleted while it was being set");
}

void Runtime::InputClaim::release() noexcept {
  if (record_ != nullptr) {
    // An input is nobody's dependency, so no walk turns its claim into ComputingDirtied.
    const bool ended = record_->cas_state(NodeState::Computing, NodeState::Clean);
    VELK_DCHECK(ended);
  }
  record_ = nullptr;
}

void Runtime::InputClaim::publish(uint64_t revision) noexcept {
  record_->publish(revision);
  release();
}

void Runtime::publish_change(uint32_t slot, InputClaim& claim) {
  // Walked before the revision is taken, as a batch is: a compute that sees the new value (or
  // starts at its revision or later) finds everything downstream already marked.
  std::exception_ptr failure;
  try {
    invalidate_dependents(slot);
  } catch (...) {
    failure = std::current_exception();  // the input is stamped and released all the same
  }
  stamp_and_release({&claim, 1}, std::move(failure));
}

void Runtime::stamp_and_release(std::span<InputClaim> claims, std::exception_ptr walk_failure) {
  test_seams::run_before_set_revision();
  const uint64_t r = revision_.fetch_add(1, std::memory_order_acq_rel) + 1;
  SharedDepStack::current().note_set(this);
  for (InputClaim& claim : claims) claim.publish(r);
  walk_ring_.complete(r);
  if (walk_failure) std::rethrow_exception(walk_failure);
}

void Runtime::invalidate_dependents(uint32_t source) {
  // One shared hold of the structural lock for the whole walk: creations and deletions wait for
  // it, reads and other walks do not, and no node costs a lock or a copy of its own.
  StructuralLock::ReadGuard held(structural_lock_);
  graph_.mark_downstream(source, held);
}

}  // namespace velk
