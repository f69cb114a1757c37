// Lock-free slot storage for node records: a fixed directory of 1024 segments of 1024 records.
//
// Lookups take no lock: the directory never moves, an installed segment is never moved or freed
// while the storage lives, and a thread only looks up slots whose push completed before it
// obtained the handle. Pushes happen under the runtime's structural write lock.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "velk/graph/node.h"
#include "velk/graph/structural_lock.h"

namespace velk {

class SegmentedNodes {
 public:
  static constexpr uint32_t kSegmentBits = 10;
  static constexpr uint32_t kSegmentSize = 1u << kSegmentBits;
  static constexpr uint32_t kSegments = 1024;
  static constexpr uint32_t kCapacity = kSegments * kSegmentSize;

  using Fields = NodeFields;

  SegmentedNodes();
  ~SegmentedNodes();
  SegmentedNodes(const SegmentedNodes&) = delete;
  SegmentedNodes& operator=(const SegmentedNodes&) = delete;

  // Appends a fresh record (generation 0, empty dependency list) and returns its slot.
  uint32_t push(const Fields& fields, const StructuralLock::Exclusive& held);

  // Inline: the read path looks records up several times per node.
  NodeRecord& get(uint32_t slot) const {
    const uint32_t s = slot >> kSegmentBits;
    // lock-free: a segment is installed (release) before its slots are counted, and never moves.
    Segment* segment = s < kSegments ? (*directory_)[s].load(std::memory_order_acquire) : nullptr;
    const uint32_t p = slot & (kSegmentSize - 1);
    if (segment == nullptr || p >= segment->length) [[unlikely]]
      fail_get(slot);
    return segment->records[p];
  }

  // Number of slots ever handed out; only grows.
  // lock-free: raised (release) only after the new record is initialised.
  uint32_t slot_count() const noexcept { return slot_count_.load(std::memory_order_acquire); }

 private:
  struct Segment {
    NodeRecord records[kSegmentSize];
    uint32_t length = kSegmentSize;
  };
  [[noreturn]] void fail_get(uint32_t slot) const;
  std::array<std::atomic<Segment*>, kSegments>* directory_;
  std::atomic<uint32_t> slot_count_{0};
};

}  // namespace velk
