#include "velk/graph/segmented_nodes.h"

#include <new>

#include "velk/base/failure.h"

namespace velk {

struct SegmentedNodes::Segment {
  NodeRecord records[kSegmentSize];
  uint32_t length = kSegmentSize;
};

SegmentedNodes::SegmentedNodes() : directory_(new std::array<std::atomic<Segment*>, kSegments>()) {
  for (auto& entry : *directory_) entry.store(nullptr, std::memory_order_relaxed);
}

SegmentedNodes::~SegmentedNodes() {
  const uint32_t n = slot_count();
  for (uint32_t slot = 0; slot < n; ++slot) {
    retire_overflow(get(slot).overflow_deps.exchange(nullptr, std::memory_order_seq_cst));
  }
  for (auto& entry : *directory_) delete entry.load(std::memory_order_relaxed);
  delete directory_;
}

void SegmentedNodes::reinit(NodeRecord& record, const Fields& fields) noexcept {
  record.verified_at.store(fields.verified_at, std::memory_order_relaxed);
  record.changed_at.store(fields.changed_at, std::memory_order_relaxed);
  record.value_index.store(fields.value_index, std::memory_order_relaxed);
  record.arena_tag.store(fields.arena_tag, std::memory_order_relaxed);
  record.dep_count.store(0, std::memory_order_relaxed);
  record.store_state(fields.state);
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
  reinit(segment->records[n & (kSegmentSize - 1)], fields);
  slot_count_.store(n + 1, std::memory_order_release);
  return n;
}

NodeRecord& SegmentedNodes::get(uint32_t slot) const {
  const uint32_t s = slot >> kSegmentBits;
  if (s >= kSegments) fail_index_out_of_range("SegmentedNodes::get", s, kSegments);
  Segment* segment = (*directory_)[s].load(std::memory_order_acquire);
  const uint32_t p = slot & (kSegmentSize - 1);
  if (segment == nullptr) fail_index_out_of_range("SegmentedNodes::get", p, 0);
  if (p >= segment->length) fail_index_out_of_range("SegmentedNodes::get", p, segment->length);
  return segment->records[p];
}

}  // namespace velk
