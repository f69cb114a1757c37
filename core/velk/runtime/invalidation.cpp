// The set path after the value is written, and the invalidation walk that marks everything
// downstream of a changed input as needing verification.
#include "velk/runtime/runtime.h"

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

void Runtime::publish_change(uint32_t slot, NodeRecord& record, InputClaim& claim) {
  const uint64_t r = revision_.fetch_add(1, std::memory_order_acq_rel) + 1;
  record.publish(r);
  claim.release();
  // The revision is posted even when the walk fails, so the watermark never waits for it.
  struct PostRevision {
    WalkRing& ring;
    uint64_t r;
    ~PostRevision() { ring.complete(r); }
  } post{walk_ring_, r};
  invalidate_dependents(slot);
}

namespace {

// Marks one node reached by the walk; true when the walk goes on to its dependents.
bool mark_reached(NodeRecord& record) {
  for (;;) {
    // lock-free: every move is a CAS from the state just read; a lost race reads again.
    switch (record.load_state()) {
      case NodeState::New:
        if (record.cas_state(NodeState::New, NodeState::New)) return true;
        break;
      case NodeState::Dirty:
      case NodeState::ComputingDirtied: return false;  // its dependents were marked when it was
      case NodeState::Deleted: return false;
      case NodeState::Computing:
        if (record.cas_state(NodeState::Computing, NodeState::ComputingDirtied)) return true;
        break;
      case NodeState::Clean:
        if (record.cas_state(NodeState::Clean, NodeState::Dirty)) return true;
        break;
      case NodeState::Failed:
        // Computed again, not verified: its old value says nothing since the failure.
        if (record.cas_state(NodeState::Failed, NodeState::New)) return true;
        break;
    }
  }
}

}  // namespace

void Runtime::invalidate_dependents(uint32_t source) {
  // One shared hold of the structural lock for the whole walk: creations and deletions wait for
  // it, reads and other walks do not, and no node costs a lock or a copy of its own.
  std::shared_lock lock(structural_lock_);
  std::vector<uint32_t> work;
  auto push_dependents = [&](uint32_t slot) {
    const std::vector<uint32_t>& dependents = dependents_locked(slot);
    work.insert(work.end(), dependents.begin(), dependents.end());
  };
  push_dependents(source);
  while (!work.empty()) {
    const uint32_t d = work.back();
    work.pop_back();
    if (mark_reached(nodes_.get(d))) push_dependents(d);
  }
}

}  // namespace velk
