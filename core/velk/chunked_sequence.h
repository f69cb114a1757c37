// A sequence with positional insert and erase in time independent of its length (up to a scan of
// chunk starts): the elements live in chunks of at most kMaxChunk, and a table of chunk starts
// finds the chunk of a position by binary search. Sorted collections and their mirrors keep
// their elements here, so one change costs the same at a thousand and at a million elements.
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <vector>

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
      starts_.push_back(0);
      size_ = 1;
      return;
    }
    Position p = index == size_ ? end_position() : locate(index);
    std::vector<T>& chunk = chunks_[p.chunk];
    chunk.insert(chunk.begin() + ptrdiff_t(p.offset), std::move(value));
    ++size_;
    shift_starts(p.chunk + 1, +1);
    if (chunk.size() > kMaxChunk) split(p.chunk);
  }

  // Removes the element at `index` and returns it.
  T erase(size_t index) {
    const Position p = locate(index);
    std::vector<T>& chunk = chunks_[p.chunk];
    T removed = std::move(chunk[p.offset]);
    chunk.erase(chunk.begin() + ptrdiff_t(p.offset));
    --size_;
    shift_starts(p.chunk + 1, -1);
    if (chunk.empty()) {
      chunks_.erase(chunks_.begin() + ptrdiff_t(p.chunk));
      starts_.erase(starts_.begin() + ptrdiff_t(p.chunk));
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

  template <class Op>
  void for_each(Op&& op) const {
    for (const std::vector<T>& chunk : chunks_) {
      for (const T& value : chunk) op(value);
    }
  }

  std::vector<T> to_vector() const {
    std::vector<T> out;
    out.reserve(size_);
    for_each([&](const T& value) { out.push_back(value); });
    return out;
  }

  void assign(std::vector<T> elements) {
    chunks_.clear();
    starts_.clear();
    size_ = elements.size();
    const size_t fill = kMaxChunk / 2;
    for (size_t first = 0; first < elements.size(); first += fill) {
      const size_t last = std::min(elements.size(), first + fill);
      starts_.push_back(first);
      chunks_.emplace_back(std::make_move_iterator(elements.begin() + ptrdiff_t(first)),
                           std::make_move_iterator(elements.begin() + ptrdiff_t(last)));
    }
  }

 private:
  struct Position {
    size_t chunk;
    size_t offset;
  };

  // The chunk holding `index` (< size()).
  Position locate(size_t index) const {
    const auto it = std::upper_bound(starts_.begin(), starts_.end(), index);
    const size_t chunk = size_t(it - starts_.begin()) - 1;
    return {chunk, index - starts_[chunk]};
  }
  Position end_position() const { return {chunks_.size() - 1, chunks_.back().size()}; }

  void shift_starts(size_t from, ptrdiff_t by) {
    for (size_t c = from; c < starts_.size(); ++c) starts_[c] = size_t(ptrdiff_t(starts_[c]) + by);
  }

  void split(size_t chunk) {
    std::vector<T>& full = chunks_[chunk];
    const size_t half = full.size() / 2;
    std::vector<T> upper(std::make_move_iterator(full.begin() + ptrdiff_t(half)),
                         std::make_move_iterator(full.end()));
    full.erase(full.begin() + ptrdiff_t(half), full.end());
    const size_t upper_start = starts_[chunk] + half;
    chunks_.insert(chunks_.begin() + ptrdiff_t(chunk + 1), std::move(upper));
    starts_.insert(starts_.begin() + ptrdiff_t(chunk + 1), upper_start);
  }

  std::vector<std::vector<T>> chunks_;
  std::vector<size_t> starts_;  // starts_[c]: position of the first element of chunks_[c]
  size_t size_ = 0;
};

}  // namespace velk
