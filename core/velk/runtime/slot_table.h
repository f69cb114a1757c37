// Which slots hold nodes, and what each node's slot owns: its compute function and its value's
// arena, and its own equality if it has one (node_equal.h). Allocation reuses the most recently
// freed slot; arenas are registered per value type.
//
// Locking: guarded by the runtime's structural lock; allocation, release and arena registration
// under the write lock, lookups under either mode, each taking the lock's token. The first few
// arenas are also published lock-free for the read path: once under the write lock, never
// changed, and alive as long as the table (the registry owns them).
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
  explicit SlotTable(SegmentedNodes& nodes) : nodes_(nodes) {}

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

  SegmentedNodes& nodes_;
  std::vector<std::shared_ptr<ComputeFunction>> compute_fns_;  // one entry per slot
  std::vector<std::shared_ptr<ErasedEqual>> equals_;           // one entry per slot
  std::vector<uint32_t> free_slots_;                           // LIFO
  ArenaRegistry arenas_;
  std::array<std::atomic<ErasedArena*>, kPublishedArenas> published_arenas_{};
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
GenericArena<T>* SlotTable::arena_of(const NodeRecord& record, const char* missing,
                                     StructuralLock& lock) const {
  const uint16_t tag = record.load_arena_tag();
  if (tag < kPublishedArenas) {
    // lock-free: published once (release) and kept as long as the runtime.
    ErasedArena* arena = published_arenas_[tag].load(std::memory_order_acquire);
    if (arena != nullptr) {
      if (arena->as_any() != typeid(GenericArena<T>)) fail(missing);
      return static_cast<GenericArena<T>*>(arena);
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
