// The per-node record: revision stamps, state, dependency list and value location, in one
// 64-byte cache line.
//
// Memory ordering: claims are taken and ended by compare-and-swap of the state byte
// (sequentially consistent, for the parking lot; acquire-release is what the rest relies on);
// plain release stores set it only where no claim can race (a slot's start, a deletion, a forked
// child). A thread that sees a state also sees what its setter wrote before. Stamps only rise,
// written (release) only by the node's claimant, except that an input's changed_at reads as the
// maximum from begin_replace to publish. The inline dependency entries are relaxed atomics
// published by dep_count's release store: a visitor racing a writer may see a mix of the old and
// new list, which the read path tolerates because it re-checks states afterwards. Only the
// overflow array could be freed under a visitor, and hazard protection prevents that.
// generation, value_index and arena_tag are written under the structural write lock while no
// valid handle can reach the node.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>
#include <vector>

#include "velk/base/check.h"
#include "velk/base/state.h"
#include "velk/base/waiting.h"
#include "velk/memory/hazard.h"

namespace velk {

inline constexpr uint32_t kNoSlot = 0xFFFFFFFF;
inline constexpr uint8_t kInlineDeps = 7;
inline constexpr uint8_t kOverflowMark = 8;
inline constexpr uint64_t kRevisionReplacing = UINT64_MAX;

// Heap block of a dependency list longer than 7 entries; immutable once published.
struct OverflowDeps {
  std::unique_ptr<uint32_t[]> slots;
  uint32_t length;
};

// What a record holds when a node takes its slot.
struct NodeFields {
  uint64_t verified_at;
  uint64_t changed_at;
  NodeState state;
  uint32_t value_index;
  uint16_t arena_tag;
};

struct NodeRecordTestAccess;

class alignas(64) NodeRecord {
 public:
  NodeRecord() {
    for (auto& d : inline_deps_) d.store(kNoSlot, std::memory_order_relaxed);
  }
  NodeRecord(const NodeRecord&) = delete;
  NodeRecord& operator=(const NodeRecord&) = delete;

  // --- the slot's life ---
  // Starts a node in this record, fresh or taken from the free list. Its generation stays and
  // its dependency list is already empty. Under the structural write lock, before any handle
  // to the node exists; the state's release store publishes the rest.
  void reset_for(const NodeFields& fields) noexcept;
  // Deletion's first step: the dependency list goes and the record reads Deleted.
  void mark_deleted();
  // Deletion's last step, under the structural write lock: the generation moves on, so every
  // handle to the old node fails its check and waiters on the old generation go on.
  void retire() noexcept;
  // Whether the state byte reads Deleted, without decoding it (an invalid byte is not Deleted).
  bool is_deleted() const noexcept {
    return state_.load(std::memory_order_acquire) == uint8_t(NodeState::Deleted);
  }
  // Hands a still attached overflow block to the hazard domain; for storage that goes away.
  void drop_overflow() noexcept;

  // --- state ---
  NodeState load_state() const { return decode_state(state_.load(std::memory_order_acquire)); }
  // Swaps from `from` to `to`; false (with nothing changed) when the state was not `from`.
  bool cas_state(NodeState from, NodeState to) noexcept {
    uint8_t expected = uint8_t(from);
    // Sequentially consistent: a claim's end must be ordered before the parking lot's look for
    // sleepers (see waiting.h).
    if (!state_.compare_exchange_strong(expected, uint8_t(to), std::memory_order_seq_cst,
                                        std::memory_order_acquire)) {
      return false;
    }
    if (from == NodeState::Computing || from == NodeState::ComputingDirtied) {
      ParkingLot::unpark_all(&state_);  // a claim ended
    }
    return true;
  }
  void store_state(NodeState s) noexcept { state_.store(uint8_t(s), std::memory_order_release); }
  // Ends a claim after a failure: Computing -> a, else ComputingDirtied -> b, else leave it.
  void finish_claim(NodeState a, NodeState b);
  // finish_claim for a guard's destructor: false, with nothing changed and nothing decoded,
  // when the node was not claimed.
  bool end_claim(NodeState a, NodeState b) noexcept {
    return cas_state(NodeState::Computing, a) || cas_state(NodeState::ComputingDirtied, b);
  }
  // Whether the state byte reads Computing or ComputingDirtied, without decoding it.
  bool is_claimed() const noexcept {
    const uint8_t s = state_.load(std::memory_order_acquire);
    return s == uint8_t(NodeState::Computing) || s == uint8_t(NodeState::ComputingDirtied);
  }
  // One step of waiting while the state still reads `seen` (another thread's claim): spins at
  // first, then sleeps until a claim ends (every swap away from a claimed state wakes sleepers).
  void wait_while(NodeState seen, Backoff& backoff) const;

  // --- stamps ---
  uint64_t load_verified_at() const noexcept {
    return verified_at_.load(std::memory_order_acquire);
  }
  uint64_t load_changed_at() const noexcept { return changed_at_.load(std::memory_order_acquire); }
  void raise_verified_at(uint64_t to) noexcept { raise(verified_at_, to); }
  void raise_changed_at(uint64_t to) noexcept { raise(changed_at_, to); }
  // An input's value is about to be replaced: until publish, changed_at reads as the maximum,
  // so a verifier racing the set counts the input as changed.
  void begin_replace() noexcept {
    VELK_DCHECK(is_claimed());
    changed_at_.exchange(kRevisionReplacing, std::memory_order_acq_rel);
  }
  // Stamps a replaced input with its revision `r`: changed_at leaves the replacing mark (or
  // rises) to r, and verified_at rises to r.
  void publish(uint64_t r) noexcept;
  // Sets changed_at to `r` outright, also down from the replacing mark, and raises verified_at;
  // for a repair no other thread can race (a child after fork).
  void restamp(uint64_t r) noexcept {
    changed_at_.store(r, std::memory_order_release);
    raise_verified_at(r);
  }

  // --- where the value lives, and which node this is ---
  uint32_t load_generation() const noexcept { return generation_.load(std::memory_order_acquire); }
  uint32_t load_value_index() const noexcept {
    return value_index_.load(std::memory_order_relaxed);
  }
  uint16_t load_arena_tag() const noexcept { return arena_tag_.load(std::memory_order_relaxed); }

  // --- dependency list ---
  // Replaces the whole list. Called under the structural write lock by the claiming thread
  // (or by deletion with an empty list); a replaced overflow block is retired, never freed.
  void set_deps(std::span<const uint32_t> deps);

  // Calls `visit(slot)` for every dependency in order, without a lock. A visitor that returns
  // bool stops the visit by returning false.
  template <class Visit>
  void for_each_dep(Visit&& visit) const;

  // A copy of the list (used by commit and snapshots).
  std::vector<uint32_t> deps() const;

  // How the list is stored: its length, or kOverflowMark when it lives in an overflow block.
  uint8_t load_dep_count() const noexcept { return dep_count_.load(std::memory_order_acquire); }
  bool has_overflow() const noexcept {
    return overflow_deps_.load(std::memory_order_acquire) != nullptr;
  }

 private:
  // Only the claim's holder writes a stamp (or a repair no other thread races), so a raise is a
  // load and a store, not a compare-and-swap.
  static void raise(std::atomic<uint64_t>& stamp, uint64_t to) noexcept {
    if (stamp.load(std::memory_order_relaxed) < to) stamp.store(to, std::memory_order_release);
  }
  // Visits the overflow array under hazard protection; false when dep_count fell back to
  // inline meanwhile (a concurrent set_deps), in which case the caller re-reads.
  template <class Visit>
  bool visit_overflow(Visit& visit) const;
  // for_each_dep of a list that was in an overflow block when first looked at; kept out of line
  // so that the inline visit stays small where it is inlined.
  template <class Visit>
  void for_each_dep_overflowing(Visit& visit) const;
  const OverflowDeps* protect_overflow(HazardHolder& holder) const;

  friend struct NodeRecordTestAccess;

  std::atomic<uint64_t> verified_at_{0};
  std::atomic<uint64_t> changed_at_{0};
  std::atomic<OverflowDeps*> overflow_deps_{nullptr};
  std::atomic<uint32_t> inline_deps_[kInlineDeps];
  std::atomic<uint32_t> value_index_{0};
  std::atomic<uint16_t> arena_tag_{0};
  std::atomic<uint8_t> state_{0};
  std::atomic<uint8_t> dep_count_{0};
  std::atomic<uint32_t> generation_{0};
};

static_assert(sizeof(NodeRecord) == 64, "a node record fills exactly one cache line");
static_assert(alignof(NodeRecord) == 64);

// Retires an overflow block to the hazard domain.
void retire_overflow(OverflowDeps* block) noexcept;

namespace detail {
// Calls the visitor; true when the visit should go on.
template <class Visit>
bool visit_continues(Visit& visit, uint32_t slot) {
  if constexpr (std::is_same_v<decltype(visit(slot)), bool>) {
    return visit(slot);
  } else {
    visit(slot);
    return true;
  }
}
}  // namespace detail

template <class Visit>
bool NodeRecord::visit_overflow(Visit& visit) const {
  HazardHolder holder(HazardHolder::Source::Domain);
  const OverflowDeps* block = protect_overflow(holder);
  if (block == nullptr) return false;
  for (uint32_t i = 0; i < block->length; ++i) {
    if (!detail::visit_continues(visit, block->slots[i])) break;
  }
  return true;
}

template <class Visit>
void NodeRecord::for_each_dep(Visit&& visit) const {
  // lock-free: a racing set_deps may show a mix of the old and new list; readers re-check
  // states afterwards, and an overflow block is read only under hazard protection.
  const uint8_t n = dep_count_.load(std::memory_order_acquire);
  if (n > kInlineDeps) [[unlikely]] {
    for_each_dep_overflowing(visit);
    return;
  }
  for (uint8_t i = 0; i < n; ++i) {
    if (!detail::visit_continues(visit, inline_deps_[i].load(std::memory_order_relaxed))) break;
  }
}

template <class Visit>
[[gnu::noinline]] void NodeRecord::for_each_dep_overflowing(Visit& visit) const {
  for (;;) {
    if (visit_overflow(visit)) return;
    // lock-free: as in for_each_dep; the list fell back to inline meanwhile.
    const uint8_t n = dep_count_.load(std::memory_order_acquire);
    if (n <= kInlineDeps) {
      for (uint8_t i = 0; i < n; ++i) {
        if (!detail::visit_continues(visit, inline_deps_[i].load(std::memory_order_relaxed))) break;
      }
      return;
    }
  }
}

}  // namespace velk
