// One arena of value cells per value type, and its type-erased face for the registry.
//
// Cells live in chunks that never move: chunk c holds 2^(c+6) slots, so 27 chunks cover every
// 32-bit index and a slot's address is fixed from its allocation until the arena dies. Reads,
// writes and comparisons are therefore lock-free: they check the index against the published
// slot count and go straight to the slot. The arena lock serialises only alloc and free (the
// free list, the slot count and chunk allocation); a freed slot's cell is retired to the hazard
// domain, so a read racing a free still copies from a live cell.
//
// A read protects the cell pointer and copies or compares the value afterwards, holding no
// lock, so a value copy that needs the Python interpreter lock never blocks a thread that
// holds the interpreter lock and waits for the arena lock.
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <memory>
#include <mutex>
#include <typeinfo>
#include <vector>

#include "velk/memory/held.h"
#include "velk/memory/value_slot.h"

namespace velk {

class ErasedArena {
 public:
  explicit ErasedArena(const std::type_info& type) noexcept : type_(type) {}
  virtual ~ErasedArena() = default;
  // The concrete arena type, so a holder can confirm the value type before converting back.
  // Kept in the arena, not asked for by a virtual call: every read of a value checks it.
  const std::type_info& as_any() const noexcept { return type_; }
  // Whether this is a GenericArena<T>; the same type object, the usual case, is one compare.
  template <class T>
  bool holds() const noexcept;
  virtual void free(uint32_t index) = 0;
  // Offers every stored value to a visitor of this arena's value type. Only while no thread
  // writes or frees cells: cells are read without protection.
  virtual void visit_values(HeldVisitor& visitor) const = 0;

 private:
  const std::type_info& type_;
};

template <class T>
class GenericArena final : public ErasedArena {
 public:
  GenericArena() : ErasedArena(typeid(GenericArena<T>)) {
    for (auto& chunk : chunks_) chunk.store(nullptr, std::memory_order_relaxed);
  }
  ~GenericArena() override {
    for (size_t c = 0; c < kChunks; ++c) delete[] chunks_[c].load(std::memory_order_relaxed);
  }
  GenericArena(const GenericArena&) = delete;
  GenericArena& operator=(const GenericArena&) = delete;

  uint32_t alloc(T value) {
    auto cell = std::make_unique<Cell<T>>(std::move(value));
    std::lock_guard lock(mutex_);
    const uint32_t index = take_index();
    ValueSlot<T>::retire(slot(index).exchange(cell.release()));
    return index;
  }

  uint32_t alloc_empty() {
    std::lock_guard lock(mutex_);
    return take_index();
  }

  void free(uint32_t index) override {
    std::lock_guard lock(mutex_);
    checked(index).clear();
    free_list_.push_back(index);
  }

  // The stored value, valid while `holder` keeps protecting its cell.
  const T& read_protected(uint32_t index, HazardHolder& holder) const {
    const Cell<T>* cell = checked(index).protect(holder);
    if (cell == nullptr) ValueSlot<T>::fail_never_written();
    return cell->value;
  }

  // Like read_protected, but nullptr for a cell emptied meanwhile.
  const T* try_read_protected(uint32_t index, HazardHolder& holder) const {
    const Cell<T>* cell = checked(index).protect(holder);
    return cell == nullptr ? nullptr : &cell->value;
  }

  // The slot at `index`, for the thread that alone writes and frees its cell (a claimed node's
  // claimer): it compares with ValueSlot::owned and writes without looking the slot up again.
  ValueSlot<T>& owned_slot(uint32_t index) { return checked(index); }

  T read(uint32_t index) const {
    HazardHolder holder;
    return read_protected(index, holder);
  }

  void write(uint32_t index, T value) {
    auto cell = std::make_unique<Cell<T>>(std::move(value));  // destroyed if the write is refused
    ValueSlot<T>& target = checked(index);
    ValueSlot<T>::retire(target.exchange(cell.release()));
  }

  bool equals(uint32_t index, const T& value) const { return checked(index).equals(value); }

  void visit_values(HeldVisitor& visitor) const override {
    ValueVisitor<T>* values = values_of<T>(visitor);
    if (values == nullptr) return;
    const uint32_t count = slot_count();
    for (uint32_t i = 0; i < count; ++i) {
      if (const Cell<T>* cell = slot(i).peek()) values->visit(cell->value);
    }
  }

  bool write_if_changed(uint32_t index, T value) {
    if (equals(index, value)) return false;  // `value` is destroyed; the stored cell stays
    write(index, std::move(value));
    return true;
  }

  // lock-free: raised (release) after the chunk holding the new index is installed.
  uint32_t slot_count() const noexcept { return slot_count_.load(std::memory_order_acquire); }

 private:
  static constexpr uint32_t kFirstChunkBits = 6;
  static constexpr size_t kChunks = 33 - kFirstChunkBits;

  struct Position {
    uint32_t chunk;
    uint64_t offset;
  };
  static Position position(uint32_t index) noexcept {
    const uint64_t biased = uint64_t(index) + (uint64_t(1) << kFirstChunkBits);
    const uint32_t top = uint32_t(std::bit_width(biased)) - 1;
    return {top - kFirstChunkBits, biased - (uint64_t(1) << top)};
  }
  static uint64_t chunk_size(uint32_t chunk) noexcept {
    return uint64_t(1) << (chunk + kFirstChunkBits);
  }

  ValueSlot<T>& slot(uint32_t index) const noexcept {
    const Position p = position(index);
    // lock-free: a chunk is installed (release) before slot_count covers it, and never moves.
    return chunks_[p.chunk].load(std::memory_order_acquire)[p.offset];
  }

  ValueSlot<T>& checked(uint32_t index) const {
    const uint32_t count = slot_count();
    if (index >= count) fail_index_out_of_range("GenericArena", index, count);
    return slot(index);
  }

  // Requires mutex_. Most recently freed index first; a freed slot is always empty.
  uint32_t take_index() {
    if (!free_list_.empty()) {
      const uint32_t index = free_list_.back();
      checked(index);
      free_list_.pop_back();
      return index;
    }
    const uint32_t index = slot_count_.load(std::memory_order_relaxed);
    const Position p = position(index);
    if (chunks_[p.chunk].load(std::memory_order_relaxed) == nullptr) {
      chunks_[p.chunk].store(new ValueSlot<T>[chunk_size(p.chunk)], std::memory_order_release);
    }
    slot_count_.store(index + 1, std::memory_order_release);
    return index;
  }

  std::mutex mutex_;                                        // serialises alloc and free
  std::array<std::atomic<ValueSlot<T>*>, kChunks> chunks_;  // installed once under mutex_
  std::atomic<uint32_t> slot_count_{0};                     // raised under mutex_
  std::vector<uint32_t> free_list_;                         // guarded by mutex_
};

template <class T>
bool ErasedArena::holds() const noexcept {
  const std::type_info& type = typeid(GenericArena<T>);
  return &type_ == &type || type_ == type;
}

}  // namespace velk
