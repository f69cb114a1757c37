// The per-node record: revision stamps, state, dependency list and value location, in one
// 64-byte cache line.
//
// Memory ordering: the state byte is changed only by compare-and-swap (sequentially consistent,
// for the parking lot; acquire-release is what the rest relies on), so a
// thread that sees a state also sees what its setter wrote before. Stamps only rise, by
// compare-and-swap loops that keep the larger value. The inline dependency entries and dep_count
// are relaxed atomics: a visitor racing a writer may see a mix of the old and new list, which
// the read path tolerates because it re-checks states afterwards. Only the overflow array could
// be freed under a visitor, and hazard protection prevents that. generation, value_index and
// arena_tag are written under the structural write lock while no valid handle can reach the node.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>
#include <vector>

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

struct alignas(64) NodeRecord {
  std::atomic<uint64_t> verified_at{0};
  std::atomic<uint64_t> changed_at{0};
  std::atomic<OverflowDeps*> overflow_deps{nullptr};
  std::atomic<uint32_t> inline_deps[kInlineDeps];
  std::atomic<uint32_t> value_index{0};
  std::atomic<uint16_t> arena_tag{0};
  std::atomic<uint8_t> state{0};
  std::atomic<uint8_t> dep_count{0};
  std::atomic<uint32_t> generation{0};

  NodeRecord() {
    for (auto& d : inline_deps) d.store(kNoSlot, std::memory_order_relaxed);
  }
  NodeRecord(const NodeRecord&) = delete;
  NodeRecord& operator=(const NodeRecord&) = delete;

  // --- state ---
  NodeState load_state() const;
  // Swaps from `from` to `to`; false (with nothing changed) when the state was not `from`.
  bool cas_state(NodeState from, NodeState to) noexcept;
  void store_state(NodeState s) noexcept { state.store(uint8_t(s), std::memory_order_release); }
  // Ends a claim after a failure: Computing -> a, else ComputingDirtied -> b, else leave it.
  void finish_claim(NodeState a, NodeState b);
  // One step of waiting while the state still reads `seen` (another thread's claim): spins at
  // first, then sleeps until a claim ends (every swap away from a claimed state wakes sleepers).
  void wait_while(NodeState seen, Backoff& backoff) const;

  // --- stamps ---
  uint64_t load_verified_at() const noexcept { return verified_at.load(std::memory_order_acquire); }
  uint64_t load_changed_at() const noexcept { return changed_at.load(std::memory_order_acquire); }
  void raise_verified_at(uint64_t to) noexcept { raise(verified_at, to); }
  void raise_changed_at(uint64_t to) noexcept { raise(changed_at, to); }

  // --- plain fields ---
  uint32_t load_generation() const noexcept { return generation.load(std::memory_order_acquire); }
  uint32_t load_value_index() const noexcept { return value_index.load(std::memory_order_relaxed); }
  uint16_t load_arena_tag() const noexcept { return arena_tag.load(std::memory_order_relaxed); }

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

 private:
  static void raise(std::atomic<uint64_t>& stamp, uint64_t to) noexcept {
    uint64_t cur = stamp.load(std::memory_order_relaxed);
    while (cur < to && !stamp.compare_exchange_weak(cur, to, std::memory_order_acq_rel,
                                                    std::memory_order_relaxed)) {
    }
  }
  // Visits the overflow array under hazard protection; false when dep_count fell back to
  // inline meanwhile (a concurrent set_deps), in which case the caller re-reads.
  template <class Visit>
  bool visit_overflow(Visit& visit) const;
  const OverflowDeps* protect_overflow(HazardHolder& holder) const;
};

static_assert(sizeof(NodeRecord) == 64, "a node record fills exactly one cache line");
static_assert(alignof(NodeRecord) == 64);

// Retires an overflow block to the hazard domain.
void retire_overflow(OverflowDeps* block);

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
  for (;;) {
    const uint8_t n = dep_count.load(std::memory_order_acquire);
    if (n <= kInlineDeps) {
      for (uint8_t i = 0; i < n; ++i) {
        if (!detail::visit_continues(visit, inline_deps[i].load(std::memory_order_relaxed))) break;
      }
      return;
    }
    if (visit_overflow(visit)) return;
  }
}

}  // namespace velk
