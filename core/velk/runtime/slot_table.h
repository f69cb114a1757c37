// Which slots hold nodes, and what each node's slot owns: its compute function and its value's
// arena, and its own equality if it has one (node_equal.h). Allocation reuses the most recently
// freed slot; arenas are registered per value type.
//
// Locking: guarded by the runtime's structural lock; allocation, release and arena registration
// under the write lock, lookups under either mode, each taking the lock's token. The first few
// arenas are also published lock-free for the read path: once under the write lock, never
// changed, and alive as long as the table (the registry owns them). So is, per slot, what a
// claimant computes with (see `published`), republished under the write lock at every change.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "velk/base/failure.h"
#include "velk/graph/segmented_nodes.h"
#include "velk/graph/structural_lock.h"
#include "velk/memory/arena_registry.h"
#include "velk/memory/held.h"
#include "velk/runtime/compute.h"

namespace velk {

class SlotTable {
 public:
  explicit SlotTable(SegmentedNodes& nodes);
  ~SlotTable();
  SlotTable(const SlotTable&) = delete;
  SlotTable& operator=(const SlotTable&) = delete;

  // Fails when no slot is free and the storage is full.
  void check_capacity(const StructuralLock::Shared& held) const;
  // Reuses the most recently freed slot, else pushes one.
  uint32_t allocate(const SegmentedNodes::Fields& fields, std::shared_ptr<ComputeFunction> fn,
                    const StructuralLock::Exclusive& held);

  // What a released slot held, dropped by the caller after the lock (it may run embedding code).
  struct Released {
    std::shared_ptr<ComputeFunction> fn;
    std::shared_ptr<ErasedEqual> equal;
    std::shared_ptr<ErasedArena> arena;
    uint32_t value_index;
  };
  // Puts a deleted node's slot on the free list and hands over what it held.
  Released release(uint32_t slot, const StructuralLock::Exclusive& held);

  template <class T>
  std::pair<uint16_t, std::shared_ptr<GenericArena<T>>> ensure_arena(
      const StructuralLock::Exclusive& held);
  // The arena of a node's value, failing with `missing` for none of type T. The pointer stays
  // valid while the table lives; an unpublished tag is looked up under `lock`, read mode.
  template <class T>
  GenericArena<T>* arena_of(const NodeRecord& record, const char* missing,
                            StructuralLock& lock) const;

  // nullptr for an input, a free slot or one never allocated. It lives while the caller holds a
  // claim on the node, since a deletion waits for the claim.
  ComputeFunction* compute_function(uint32_t slot, const StructuralLock::Shared& held) const;
  bool is_query(uint32_t slot, const StructuralLock::Shared& held) const;

  // Without the lock: the node's compute function (null for an input), and whether it has its
  // own equality, which is then copied under the lock (equal_of). For a claimed node the
  // function stays (a deletion waits for the claim); a set_cutoff racing the look is seen
  // before or after it, as a look under the lock would be.
  struct Published {
    ComputeFunction* fn;
    bool own_equal;
  };
  Published published(uint32_t slot) const noexcept {
    // lock-free: segments are installed before their slots are handed out and never move;
    // entries are stored (release) under the write lock.
    const PublishedSegment* segment =
        published_[slot >> SegmentedNodes::kSegmentBits].load(std::memory_order_acquire);
    if (segment == nullptr) [[unlikely]]
      return {nullptr, false};
    const uintptr_t entry =
        segment->entries[slot & (SegmentedNodes::kSegmentSize - 1)].load(std::memory_order_acquire);
    return {reinterpret_cast<ComputeFunction*>(entry & ~kOwnEqual), (entry & kOwnEqual) != 0};
  }

  // The node's own equality, or null for the type's. A copy: it is replaced or dropped under
  // the write lock while a set or a compute may still be using the old one. Copying a null one
  // costs no atomic operation, so nodes without one pay nothing.
  std::shared_ptr<ErasedEqual> equal_of(uint32_t slot, const StructuralLock::Shared& held) const {
    held.dcheck();
    return slot < equals_.size() ? equals_[slot] : nullptr;
  }
  // Returns the one it replaces, to be dropped after the lock.
  std::shared_ptr<ErasedEqual> set_equal(uint32_t slot, std::shared_ptr<ErasedEqual> equal,
                                         const StructuralLock::Exclusive& held);
  uint32_t live_count(const StructuralLock::Shared& held) const;

  // Offers every value and compute function held (see held.h).
  void visit_held(HeldVisitor& visitor, const StructuralLock::Shared& held) const;

 private:
  static constexpr uint16_t kPublishedArenas = 8;
  static constexpr uintptr_t kOwnEqual = 1;  // a compute function's address has the bit free
  static_assert(alignof(ComputeFunction) > kOwnEqual);
  struct PublishedSegment {
    std::atomic<uintptr_t> entries[SegmentedNodes::kSegmentSize]{};
  };
  template <class T>
  GenericArena<T>* arena_of_slow(uint16_t tag, const char* missing, StructuralLock& lock) const;
  // Stores the slot's entry from compute_fns_ and equals_.
  void publish(uint32_t slot, const StructuralLock::Exclusive& held);

  SegmentedNodes& nodes_;
  std::vector<std::shared_ptr<ComputeFunction>> compute_fns_;  // one entry per slot
  std::vector<std::shared_ptr<ErasedEqual>> equals_;           // one entry per slot
  std::vector<uint32_t> free_slots_;                           // LIFO
  ArenaRegistry arenas_;
  std::array<std::atomic<ErasedArena*>, kPublishedArenas> published_arenas_{};
  // One segment per segment of node records, installed with its first slot.
  std::unique_ptr<std::atomic<PublishedSegment*>[]> published_;
};

template <class T>
std::pair<uint16_t, std::shared_ptr<GenericArena<T>>> SlotTable::ensure_arena(
    const StructuralLock::Exclusive& held) {
  held.dcheck();
  auto tagged = arenas_.ensure_tagged<T>();
  if (tagged.first < kPublishedArenas) {
    published_arenas_[tagged.first].store(tagged.second.get(), std::memory_order_release);
  }
  return tagged;
}

template <class T>
inline GenericArena<T>* SlotTable::arena_of(const NodeRecord& record, const char* missing,
                                            StructuralLock& lock) const {
  const uint16_t tag = record.load_arena_tag();
  if (tag < kPublishedArenas) [[likely]] {
    // lock-free: published once (release) and kept as long as the runtime.
    ErasedArena* arena = published_arenas_[tag].load(std::memory_order_acquire);
    if (arena != nullptr && arena->holds<T>()) [[likely]]
      return static_cast<GenericArena<T>*>(arena);
  }
  return arena_of_slow<T>(tag, missing, lock);
}

template <class T>
GenericArena<T>* SlotTable::arena_of_slow(uint16_t tag, const char* missing,
                                          StructuralLock& lock) const {
  if (tag < kPublishedArenas) {
    // lock-free: as in arena_of.
    ErasedArena* arena = published_arenas_[tag].load(std::memory_order_acquire);
    if (arena != nullptr) {
      if (!arena->holds<T>()) fail(missing);
      return static_cast<GenericArena<T>*>(arena);  // published since the first look
    }
  }
  GenericArena<T>* arena;
  {
    StructuralLock::ReadGuard held(lock);
    arena = arenas_.get<T>(tag).get();
  }
  if (arena == nullptr) fail(missing);
  return arena;
}

}  // namespace velk
