// A node's value cell: an atomically replaced pointer to an immutable heap cell holding one T.
// Readers never lock and never wait for writers; a replaced cell is retired to the hazard
// domain and freed only once no reader protects it. Small cells come from the thread's cell
// pool, so a steady stream of writes and reclaims does not reach the allocator.
#pragma once

#include <atomic>
#include <cstddef>
#include <new>
#include <utility>

#include "velk/base/failure.h"
#include "velk/base/value_traits.h"
#include "velk/memory/cell_pool.h"
#include "velk/memory/hazard.h"

namespace velk {

template <class T>
struct Cell {
  explicit Cell(T v) : value(std::move(v)) {}
  T value;

  static void* operator new(size_t size) {
    if constexpr (kOverAligned) return ::operator new(size, std::align_val_t(alignof(Cell)));
    return cell_pool_alloc(size);
  }
  static void operator delete(void* p, size_t size) noexcept {
    if constexpr (kOverAligned) return ::operator delete(p, std::align_val_t(alignof(Cell)));
    cell_pool_free(p, size);
  }

 private:
  static constexpr bool kOverAligned = alignof(T) > __STDCPP_DEFAULT_NEW_ALIGNMENT__;
};

template <class T>
class ValueSlot {
 public:
  ValueSlot() = default;
  // Moves happen only while the owning arena resizes under its write lock.
  ValueSlot(ValueSlot&& other) noexcept
      : cell_(other.cell_.exchange(nullptr, std::memory_order_relaxed)) {}
  ValueSlot& operator=(ValueSlot&&) = delete;
  ~ValueSlot() { clear(); }

  // The stored cell, published in `holder`; null when the slot is empty. The cell stays valid
  // until the holder is reset, whatever writers do meanwhile.
  const Cell<T>* protect(HazardHolder& holder) const noexcept { return holder.protect(cell_); }

  // The stored cell without protection: only while no thread replaces or frees it.
  // lock-free: the caller guarantees no writer runs (a collector with the runtime idle).
  const Cell<T>* peek() const noexcept { return cell_.load(std::memory_order_acquire); }

  // The stored cell, for the one thread that alone replaces and frees it (a claimed node's
  // claimer): no other thread can retire it, so it stays valid without protection.
  // lock-free: acquire pairs with the exchange that installed it, on whichever thread.
  const Cell<T>* owned() const noexcept { return cell_.load(std::memory_order_acquire); }

  // Installs `fresh` (may be null) and returns the replaced cell, which the caller retires.
  Cell<T>* exchange(Cell<T>* fresh) noexcept {
    return cell_.exchange(fresh, std::memory_order_seq_cst);
  }

  T read() const {
    HazardHolder holder;
    const Cell<T>* cell = protect(holder);
    if (cell == nullptr) fail_never_written();
    return cell->value;
  }

  bool equals(const T& value) const {
    HazardHolder holder;
    const Cell<T>* cell = protect(holder);
    return cell != nullptr && ValueTraits<T>::equal(cell->value, value);
  }

  void write(T value) { retire(exchange(new Cell<T>(std::move(value)))); }

  bool write_if_changed(T value) {
    if (equals(value)) return false;  // `value` is destroyed here; the stored cell stays
    write(std::move(value));
    return true;
  }

  void clear() noexcept { retire(exchange(nullptr)); }

  static void retire(Cell<T>* cell) noexcept {
    if (cell == nullptr) return;
    HazardDomain::global().retire(cell, [](void* p) { delete static_cast<Cell<T>*>(p); });
  }

  [[noreturn]] static void fail_never_written() {
    fail("ValueSlot::read on a slot that was never written");
  }

 private:
  std::atomic<Cell<T>*> cell_{nullptr};
};

}  // namespace velk
