// The set path after the value is written, and the invalidation walk that marks everything
// downstream of a changed input as needing verification.
#include "velk/runtime.h"

namespace velk {

void Runtime::refuse_set_on_query(uint32_t slot) const {
  fail("Runtime::set called on a query (compute) node at slot " + std::to_string(slot) +
       "; only input nodes can be set");
}

void Runtime::publish_change(uint32_t slot, NodeRecord& record) {
  const uint64_t r = revision_.fetch_add(1, std::memory_order_acq_rel) + 1;
  uint64_t cur = record.changed_at.load(std::memory_order_acquire);
  while ((cur == kRevisionReplacing || cur < r) &&
         !record.changed_at.compare_exchange_weak(cur, r, std::memory_order_acq_rel,
                                                  std::memory_order_acquire)) {
  }
  record.raise_verified_at(r);
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
    switch (record.load_state()) {
      case NodeState::New:
        if (record.cas_state(NodeState::New, NodeState::New)) return true;
        break;
      case NodeState::Dirty:
      case NodeState::ComputingDirtied:
        return false;  // its dependents were marked when it was
      case NodeState::Deleted:
        return false;
      case NodeState::Computing:
        if (record.cas_state(NodeState::Computing, NodeState::ComputingDirtied)) return true;
        break;
      case NodeState::Clean:
        if (record.cas_state(NodeState::Clean, NodeState::Dirty)) return true;
        break;
      case NodeState::Failed:
        if (record.cas_state(NodeState::Failed, NodeState::Dirty)) return true;
        break;
    }
  }
}

}  // namespace

void Runtime::invalidate_dependents(uint32_t source) {
  std::vector<uint32_t> work = copy_dependents(source);
  while (!work.empty()) {
    const uint32_t d = work.back();
    work.pop_back();
    if (!mark_reached(nodes_.get(d))) continue;
    const std::vector<uint32_t> more = copy_dependents(d);
    work.insert(work.end(), more.begin(), more.end());
  }
}

}  // namespace velk
