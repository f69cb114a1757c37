#include "velk/graph/segmented_nodes.h"

#include <new>

#include "velk/base/failure.h"

namespace velk {

SegmentedNodes::SegmentedNodes() : directory_(new std::array<std::atomic<Segment*>, kSegments>()) {
  for (auto& entry : *directory_) entry.store(nullptr, std::memory_order_relaxed);
}

SegmentedNodes::~SegmentedNodes() {
  const uint32_t n = slot_count();
  for (uint32_t slot = 0; slot < n; ++slot) {
    get(slot).drop_overflow();
  }
  for (auto& entry : *directory_) delete entry.load(std::memory_order_relaxed);
  delete directory_;
}

uint32_t SegmentedNodes::push(const Fields& fields, const StructuralLock::Exclusive& held) {
  held.dcheck();
  const uint32_t n = slot_count_.load(std::memory_order_relaxed);
  if (n >= kCapacity) {
    fail("SegmentedNodes exhausted at " + std::to_string(kCapacity) + " slots");
  }
  auto& entry = (*directory_)[n >> kSegmentBits];
  Segment* segment = entry.load(std::memory_order_relaxed);
  if (segment == nullptr) {
    segment = new Segment();  // operator new honours the 64-byte alignment of NodeRecord
    entry.store(segment, std::memory_order_release);
  }
  segment->records[n & (kSegmentSize - 1)].reset_for(fields);
  slot_count_.store(n + 1, std::memory_order_release);
  return n;
}

void SegmentedNodes::fail_get(uint32_t slot) const {
  const uint32_t s = slot >> kSegmentBits;
  if (s >= kSegments) fail_index_out_of_range("SegmentedNodes::get", s, kSegments);
  // lock-free: as in get.
  const Segment* segment = (*directory_)[s].load(std::memory_order_acquire);
  const uint32_t p = slot & (kSegmentSize - 1);
  if (segment == nullptr) fail_index_out_of_range("SegmentedNodes::get", p, 0);
  fail_index_out_of_range("SegmentedNodes::get", p, segment->length);
}

}  // namespace velk
