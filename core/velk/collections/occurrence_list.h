// The values filed under one table entry (the keys of an element's occurrences, the elements
// under a join key, the objects built for a composite, an element's aggregate leaves): nearly
// always one. A std::vector would take 24 bytes in the entry and a heap block of its own for
// that one value; this list keeps a single value inside its 16 bytes and goes to the heap only
// from the second on.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include "velk/base/check.h"

namespace velk {

template <class T>
class OccurrenceList {
 public:
  OccurrenceList() noexcept {}
  OccurrenceList(OccurrenceList&& other) noexcept { take(other); }
  OccurrenceList& operator=(OccurrenceList&& other) noexcept {
    if (this != &other) {
      reset();
      take(other);
    }
    return *this;
  }
  OccurrenceList(const OccurrenceList&) = delete;
  OccurrenceList& operator=(const OccurrenceList&) = delete;
  ~OccurrenceList() { reset(); }

  uint32_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T* begin() noexcept { return data(); }
  T* end() noexcept { return data() + size_; }
  const T* begin() const noexcept { return data(); }
  const T* end() const noexcept { return data() + size_; }
  T& back() noexcept {
    VELK_DCHECK(size_ > 0);
    return data()[size_ - 1];
  }

  void push_back(T value) {
    if (size_ == capacity_) grow();
    new (data() + size_) T(std::move(value));
    ++size_;
  }
  void pop_back() noexcept {
    VELK_DCHECK(size_ > 0);
    std::destroy_at(data() + --size_);
  }
  // Removes the value at `at`, keeping the order of the rest.
  void erase(T* at) noexcept {
    VELK_DCHECK(at >= begin() && at < end());
    std::move(at + 1, end(), at);
    pop_back();
  }

 private:
  bool on_heap() const noexcept { return capacity_ > 1; }
  T* data() noexcept { return on_heap() ? heap_ : &one_; }
  const T* data() const noexcept { return on_heap() ? heap_ : &one_; }

  // From one value inline to two on the heap, then doubling. A list never moves back inline.
  void grow() {
    const uint32_t capacity = capacity_ * 2;
    T* fresh = std::allocator<T>().allocate(capacity);
    std::uninitialized_move(begin(), end(), fresh);
    const uint32_t size = size_;
    reset();
    heap_ = fresh;
    capacity_ = capacity;
    size_ = size;
  }

  // Destroys the values and frees the heap block: empty and inline again.
  void reset() noexcept {
    std::destroy(begin(), end());
    if (on_heap()) std::allocator<T>().deallocate(heap_, capacity_);
    size_ = 0;
    capacity_ = 1;
  }

  // Leaves `other` empty and inline.
  void take(OccurrenceList& other) noexcept {
    if (other.on_heap()) {
      heap_ = other.heap_;
      capacity_ = other.capacity_;
      size_ = other.size_;
      other.size_ = 0;
      other.capacity_ = 1;
    } else if (other.size_ == 1) {
      new (&one_) T(std::move(other.one_));
      size_ = 1;
      other.pop_back();
    }
  }

  uint32_t size_ = 0;
  uint32_t capacity_ = 1;  // 1: the value, if any, is `one_`; more: `heap_`
  union {
    T one_;
    T* heap_;
    // Zeroed at construction, so that no compiler sees the union's bytes as unset where it
    // cannot follow `capacity_` (g++ 12 with -O2 and a sanitizer does not).
    unsigned char bytes_[std::max(sizeof(T), sizeof(T*))] = {};
  };
};

}  // namespace velk
