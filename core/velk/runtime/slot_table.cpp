#include "velk/runtime/slot_table.h"

#include <string>
#include <utility>

#include "velk/runtime/test_seams.h"

namespace velk {

SlotTable::SlotTable(SegmentedNodes& nodes)
    : nodes_(nodes),
      published_(std::make_unique<std::atomic<PublishedSegment*>[]>(SegmentedNodes::kSegments)) {}

SlotTable::~SlotTable() {
  for (uint32_t s = 0; s < SegmentedNodes::kSegments; ++s) {
    delete published_[s].load(std::memory_order_relaxed);
  }
}

void SlotTable::publish(uint32_t slot, const StructuralLock::Exclusive& held) {
  held.dcheck();
  std::atomic<PublishedSegment*>& segment = published_[slot >> SegmentedNodes::kSegmentBits];
  if (segment.load(std::memory_order_relaxed) == nullptr) {
    segment.store(new PublishedSegment(), std::memory_order_release);
  }
  const uintptr_t entry =
      reinterpret_cast<uintptr_t>(compute_fns_[slot].get()) | (equals_[slot] ? kOwnEqual : 0);
  segment.load(std::memory_order_relaxed)
      ->entries[slot & (SegmentedNodes::kSegmentSize - 1)]
      .store(entry, std::memory_order_release);
}

void SlotTable::check_capacity(const StructuralLock::Shared& held) const {
  held.dcheck();
  if (free_slots_.empty() && nodes_.slot_count() >= SegmentedNodes::kCapacity) {
    fail("SegmentedNodes exhausted at " + std::to_string(SegmentedNodes::kCapacity) + " slots");
  }
}

uint32_t SlotTable::allocate(const SegmentedNodes::Fields& fields,
                             std::shared_ptr<ComputeFunction> fn,
                             const StructuralLock::Exclusive& held) {
  held.dcheck();
  if (!free_slots_.empty()) {
    const uint32_t slot = free_slots_.back();
    free_slots_.pop_back();
    // Published while the record still reads Deleted: a reader that checked a handle of the
    // slot's last node before its deletion (an observer pass, say) may claim the new node as
    // soon as it reads New, and must find its function, not take it for an input and leave
    // it Clean with no value.
    compute_fns_[slot] = std::move(fn);
    publish(slot, held);
    nodes_.get(slot).reset_for(fields);
    test_seams::run_after_slot_reuse();
    return slot;
  }
  // A slot never handed out before: no reader knows its number yet.
  const uint32_t slot = nodes_.push(fields, held);
  compute_fns_.emplace_back(std::move(fn));
  equals_.emplace_back();
  publish(slot, held);
  return slot;
}

SlotTable::Released SlotTable::release(uint32_t slot, const StructuralLock::Exclusive& held) {
  held.dcheck();
  const NodeRecord& record = nodes_.get(slot);
  Released released{std::move(compute_fns_.at(slot)), std::move(equals_.at(slot)),
                    arenas_.erased(record.load_arena_tag()), record.load_value_index()};
  free_slots_.push_back(slot);
  publish(slot, held);
  return released;
}

ComputeFunction* SlotTable::compute_function(uint32_t slot,
                                             const StructuralLock::Shared& held) const {
  held.dcheck();
  if (slot >= compute_fns_.size()) return nullptr;
  return compute_fns_[slot].get();
}

bool SlotTable::is_query(uint32_t slot, const StructuralLock::Shared& held) const {
  held.dcheck();
  return slot < compute_fns_.size() && compute_fns_[slot];
}

std::shared_ptr<ErasedEqual> SlotTable::set_equal(uint32_t slot, std::shared_ptr<ErasedEqual> equal,
                                                  const StructuralLock::Exclusive& held) {
  held.dcheck();
  std::shared_ptr<ErasedEqual> replaced = std::exchange(equals_.at(slot), std::move(equal));
  publish(slot, held);
  return replaced;
}

uint32_t SlotTable::live_count(const StructuralLock::Shared& held) const {
  held.dcheck();
  return nodes_.slot_count() - uint32_t(free_slots_.size());
}

void SlotTable::visit_held(HeldVisitor& visitor, const StructuralLock::Shared& held) const {
  held.dcheck();
  for (uint16_t tag = 0; tag < arenas_.arena_count(); ++tag) {
    arenas_.erased(tag)->visit_values(visitor);
  }
  for (const std::shared_ptr<ComputeFunction>& fn : compute_fns_) {
    if (fn && visitor.first_visit(fn.get())) fn->visit_held(visitor);
  }
  for (const std::shared_ptr<ErasedEqual>& equal : equals_) {
    if (equal) equal->visit_held(visitor);
  }
}

}  // namespace velk
