// A sequence with positional insert and erase in time nearly independent of its length: the
// elements live in chunks of at most kMaxChunk, and a Fenwick tree over the chunk sizes finds
// the chunk of a position, and follows a size change, in O(log chunks). Sorted collections and
// their mirrors keep their elements here, so one change costs about the same at a thousand and
// at a million elements.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <functional>
#include <iterator>
#include <vector>

#include "velk/base/value_traits.h"

namespace velk {

template <class T>
class ChunkedSequence {
 public:
  static constexpr size_t kMaxChunk = 512;

  ChunkedSequence() = default;
  explicit ChunkedSequence(std::vector<T> elements) { assign(std::move(elements)); }

  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  const T& operator[](size_t index) const {
    const Position p = locate(index);
    return chunks_[p.chunk][p.offset];
  }
  T& operator[](size_t index) {
    const Position p = locate(index);
    return chunks_[p.chunk][p.offset];
  }

  // Inserts before position `index` (index == size() appends).
  void insert(size_t index, T value) {
    if (chunks_.empty()) {
      chunks_.emplace_back().push_back(std::move(value));
      size_ = 1;
      rebuild_index();
      return;
    }
    Position p = index == size_ ? end_position() : locate(index);
    std::vector<T>& chunk = chunks_[p.chunk];
    chunk.insert(chunk.begin() + ptrdiff_t(p.offset), std::move(value));
    ++size_;
    if (chunk.size() > kMaxChunk) {
      split(p.chunk);
    } else {
      add_to_index(p.chunk, +1);
    }
  }

  // Removes the element at `index` and returns it.
  T erase(size_t index) {
    const Position p = locate(index);
    std::vector<T>& chunk = chunks_[p.chunk];
    T removed = std::move(chunk[p.offset]);
    chunk.erase(chunk.begin() + ptrdiff_t(p.offset));
    --size_;
    if (chunk.empty()) {
      chunks_.erase(chunks_.begin() + ptrdiff_t(p.chunk));
      rebuild_index();
    } else {
      add_to_index(p.chunk, -1);
    }
    return removed;
  }

  // Calls `op` on the elements at positions [first, first + count), in order.
  template <class Op>
  void for_range(size_t first, size_t count, Op&& op) const {
    if (count == 0) return;
    Position p = locate(first);
    for (size_t done = 0; done < count; ++done) {
      if (p.offset == chunks_[p.chunk].size()) p = {p.chunk + 1, 0};
      op(chunks_[p.chunk][p.offset++]);
    }
  }

  // Visits every value in order, prefetching `ahead(value)` of the value a few places on.
  template <class Op, class Ahead = std::identity>
  void for_each(Op&& op, Ahead ahead = {}) const {
    for (const std::vector<T>& chunk : chunks_) {
      for (size_t i = 0; i < chunk.size(); ++i) {
        prefetch_ahead(chunk, i, ahead);
        op(chunk[i]);
      }
    }
  }

  std::vector<T> to_vector() const {
    std::vector<T> out;
    out.reserve(size_);
    for_each([&](const T& value) { out.push_back(value); });
    return out;
  }

  // Moves every element out, in order, leaving the sequence empty.
  std::vector<T> take() {
    std::vector<T> out;
    out.reserve(size_);
    for (std::vector<T>& chunk : chunks_) {
      for (T& value : chunk) out.push_back(std::move(value));
    }
    chunks_.clear();
    index_.clear();
    size_ = 0;
    return out;
  }

  void assign(std::vector<T> elements) {
    chunks_.clear();
    size_ = elements.size();
    const size_t fill = kMaxChunk / 2;
    for (size_t first = 0; first < elements.size(); first += fill) {
      const size_t last = std::min(elements.size(), first + fill);
      chunks_.emplace_back(std::make_move_iterator(elements.begin() + ptrdiff_t(first)),
                           std::make_move_iterator(elements.begin() + ptrdiff_t(last)));
    }
    rebuild_index();
  }

 private:
  struct Position {
    size_t chunk;
    size_t offset;
  };

  // The chunk holding `index` (< size()): the Fenwick descent to the last chunk whose
  // preceding elements number at most `index`.
  Position locate(size_t index) const {
    size_t chunk = 0;  // 1-based position reached in the tree
    size_t before = 0;
    for (size_t step = std::bit_floor(index_.size()); step != 0; step /= 2) {
      const size_t next = chunk + step;
      if (next <= index_.size() && before + index_[next - 1] <= index) {
        chunk = next;
        before += index_[next - 1];
      }
    }
    return {chunk, index - before};
  }
  Position end_position() const { return {chunks_.size() - 1, chunks_.back().size()}; }

  void add_to_index(size_t chunk, ptrdiff_t by) {
    for (size_t i = chunk + 1; i <= index_.size(); i += i & (~i + 1)) {
      index_[i - 1] = size_t(ptrdiff_t(index_[i - 1]) + by);
    }
  }

  // O(chunks), after chunks are added or removed.
  void rebuild_index() {
    index_.assign(chunks_.size(), 0);
    for (size_t i = 1; i <= index_.size(); ++i) {
      index_[i - 1] += chunks_[i - 1].size();
      const size_t parent = i + (i & (~i + 1));
      if (parent <= index_.size()) index_[parent - 1] += index_[i - 1];
    }
  }

  void split(size_t chunk) {
    std::vector<T>& full = chunks_[chunk];
    const size_t half = full.size() / 2;
    std::vector<T> upper(std::make_move_iterator(full.begin() + ptrdiff_t(half)),
                         std::make_move_iterator(full.end()));
    full.erase(full.begin() + ptrdiff_t(half), full.end());
    chunks_.insert(chunks_.begin() + ptrdiff_t(chunk + 1), std::move(upper));
    rebuild_index();
  }

  std::vector<std::vector<T>> chunks_;
  std::vector<size_t> index_;  // Fenwick tree (1-based in its arithmetic) of chunk sizes
  size_t size_ = 0;
};

}  // namespace velk
