#include "velk/graph/node.h"

#include "velk/base/failure.h"

namespace velk {

void NodeRecord::wait_while(NodeState seen, Backoff& backoff) const {
  struct Wait {
    const std::atomic<uint8_t>* state;
    uint8_t seen;
  } wait{&state_, uint8_t(seen)};
  // Through the blocking hook: the thread may hold the embedding's lock (the interpreter
  // lock), which the claim's holder may need to finish.
  // lock-free: a stale look costs one more round; every claim's end wakes the parking lot.
  backoff.wait([&] {
    run_blocking(
        [](void* w) {
          ParkingLot::park_while_equal(*static_cast<Wait*>(w)->state, static_cast<Wait*>(w)->seen);
        },
        &wait);
  });
}

void NodeRecord::finish_claim(NodeState a, NodeState b) {
  if (end_claim(a, b)) return;
  // lock-free: only validates the byte (an invalid one fails); a valid state is left alone.
  (void)load_state();
}

void NodeRecord::reset_for(const NodeFields& fields) noexcept {
  VELK_DCHECK(dep_count_.load(std::memory_order_relaxed) == 0 && !has_overflow());
  verified_at_.store(fields.verified_at, std::memory_order_relaxed);
  changed_at_.store(fields.changed_at, std::memory_order_relaxed);
  value_index_.store(fields.value_index, std::memory_order_relaxed);
  arena_tag_.store(fields.arena_tag, std::memory_order_relaxed);
  dep_count_.store(0, std::memory_order_relaxed);
  store_state(fields.state);
}

void NodeRecord::mark_deleted() {
  set_deps({});
  store_state(NodeState::Deleted);
}

void NodeRecord::retire() noexcept {
  VELK_DCHECK(is_deleted());
  generation_.store(load_generation() + 1, std::memory_order_release);
}

void NodeRecord::drop_overflow() noexcept {
  retire_overflow(overflow_deps_.exchange(nullptr, std::memory_order_seq_cst));
}

void NodeRecord::publish(uint64_t r) noexcept {
  VELK_DCHECK(is_claimed());
  const uint64_t cur = changed_at_.load(std::memory_order_relaxed);
  if (cur == kRevisionReplacing || cur < r) changed_at_.store(r, std::memory_order_release);
  raise_verified_at(r);
}

void retire_overflow(OverflowDeps* block) noexcept {
  if (block == nullptr) return;
  HazardDomain::global().retire(block, [](void* p) { delete static_cast<OverflowDeps*>(p); });
}

void NodeRecord::set_deps(std::span<const uint32_t> deps) {
  if (deps.size() <= kInlineDeps) {
    for (size_t i = 0; i < deps.size(); ++i)
      inline_deps_[i].store(deps[i], std::memory_order_relaxed);
    dep_count_.store(uint8_t(deps.size()), std::memory_order_release);
    retire_overflow(overflow_deps_.exchange(nullptr, std::memory_order_seq_cst));
    return;
  }
  auto block = std::make_unique<OverflowDeps>();
  block->slots = std::make_unique<uint32_t[]>(deps.size());
  block->length = uint32_t(deps.size());
  std::copy(deps.begin(), deps.end(), block->slots.get());
  retire_overflow(overflow_deps_.exchange(block.release(), std::memory_order_seq_cst));
  dep_count_.store(kOverflowMark, std::memory_order_release);
}

const OverflowDeps* NodeRecord::protect_overflow(HazardHolder& holder) const {
  // A null block with dep_count 8 is a shrink racing this visit: the count has fallen back to
  // the inline list (stored before the pointer was cleared). A count at 8 again means a later
  // grow ran meanwhile; it stored its block before the count, so look again. Only a record
  // that stays that way through many looks is corrupt.
  constexpr int kLooks = 1 << 16;
  for (int look = 0; look < kLooks; ++look) {
    // lock-free: the published block outlives the visit; a null one is re-checked on the count.
    const OverflowDeps* block = holder.protect(overflow_deps_);
    if (block != nullptr) return block;
    if (dep_count_.load(std::memory_order_acquire) <= kInlineDeps) return nullptr;
  }
  fail("overflow_deps null with dep_count > 7");
}

std::vector<uint32_t> NodeRecord::deps() const {
  std::vector<uint32_t> out;
  for_each_dep([&](uint32_t s) { out.push_back(s); });
  return out;
}

}  // namespace velk
