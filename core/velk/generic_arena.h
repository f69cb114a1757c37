// One arena of value cells per value type, and its type-erased face for the registry.
//
// The arena lock guards the two arrays: shared for reads and writes of a slot (the slot itself
// is atomic), exclusive for alloc and free, which may resize them. A read or compare takes the
// shared lock only long enough to protect the cell pointer; it copies or compares the value
// after releasing the lock, with the hazard still protecting the cell. So a reader whose value
// copy needs the Python interpreter lock never holds the arena lock while it waits for it, and
// a thread holding the interpreter lock may wait for the exclusive lock without deadlock.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <typeinfo>
#include <vector>

#include "velk/value_slot.h"

namespace velk {

class ErasedArena {
 public:
  virtual ~ErasedArena() = default;
  // The concrete arena type, so a holder can confirm the value type before converting back.
  virtual const std::type_info& as_any() const noexcept = 0;
  virtual void free(uint32_t index) = 0;
};

template <class T>
class GenericArena final : public ErasedArena {
 public:
  const std::type_info& as_any() const noexcept override { return typeid(GenericArena<T>); }

  uint32_t alloc(T value) {
    auto cell = std::make_unique<Cell<T>>(std::move(value));
    std::unique_lock lock(mutex_);
    const uint32_t index = take_index();
    ValueSlot<T>::retire(slots_[index].exchange(cell.release()));
    return index;
  }

  uint32_t alloc_empty() {
    std::unique_lock lock(mutex_);
    return take_index();
  }

  void free(uint32_t index) override {
    std::unique_lock lock(mutex_);
    check(index);
    slots_[index].clear();
    free_list_.push_back(index);
  }

  T read(uint32_t index) const {
    HazardHolder holder;
    return read_protected(index, holder);
  }

  // The stored value, valid while `holder` keeps protecting its cell.
  const T& read_protected(uint32_t index, HazardHolder& holder) const {
    const Cell<T>* cell = protect(index, holder);
    if (cell == nullptr) ValueSlot<T>::fail_never_written();
    return cell->value;
  }

  void write(uint32_t index, T value) {
    auto cell = std::make_unique<Cell<T>>(std::move(value));  // destroyed if the write is refused
    Cell<T>* old;
    {
      std::shared_lock lock(mutex_);
      check(index);
      old = slots_[index].exchange(cell.release());
    }
    ValueSlot<T>::retire(old);
  }

  bool equals(uint32_t index, const T& value) const {
    HazardHolder holder;
    const Cell<T>* cell = protect(index, holder);
    return cell != nullptr && ValueTraits<T>::equal(cell->value, value);
  }

  bool write_if_changed(uint32_t index, T value) {
    if (equals(index, value)) return false;
    write(index, std::move(value));
    return true;
  }

  uint32_t slot_count() const {
    std::shared_lock lock(mutex_);
    return uint32_t(slots_.size());
  }

 private:
  const Cell<T>* protect(uint32_t index, HazardHolder& holder) const {
    std::shared_lock lock(mutex_);
    check(index);
    return slots_[index].protect(holder);
  }

  void check(uint32_t index) const {
    if (index >= slots_.size()) fail_index_out_of_range("GenericArena", index, slots_.size());
  }

  // Requires the write lock. Most recently freed index first; a freed slot is always empty.
  uint32_t take_index() {
    if (!free_list_.empty()) {
      const uint32_t index = free_list_.back();
      check(index);
      free_list_.pop_back();
      return index;
    }
    slots_.emplace_back();
    return uint32_t(slots_.size() - 1);
  }

  mutable std::shared_mutex mutex_;
  std::vector<ValueSlot<T>> slots_;  // guarded by mutex_ (resized only under the write lock)
  std::vector<uint32_t> free_list_;  // guarded by mutex_
};

}  // namespace velk
