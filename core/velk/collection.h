// A collection: a multiset of elements with a log of its recent changes, which operators
// consume by cursor instead of rescanning the contents, and a version node (u64) whose value
// rises with every logged change so that the engine's invalidation reaches the operators.
//
// Guarded by the state's own CollectionLock: mutations, subscription and applying an
// operator's output take it exclusively; reading deltas, snapshots and versions take it shared.
// A cursor is advanced only by its operator's compute, which the engine runs on one thread at
// a time, and read by the compaction check under the write lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "velk/collection_lock.h"
#include "velk/handle.h"
#include "velk/value_traits.h"

namespace velk {

enum class DeltaKind : uint8_t { Insert = 0, Delete = 1 };

template <class E>
struct Delta {
  DeltaKind kind;
  E element;
};

// An operator's read position: the absolute log position of the first unconsumed entry.
// The state judges a reader dead when its reader list holds the only reference.
struct DeltaCursor {
  std::atomic<uint64_t> position{0};
  uint64_t load() const noexcept { return position.load(std::memory_order_acquire); }
  void store(uint64_t p) noexcept { position.store(p, std::memory_order_release); }
};

template <class E>
struct ElementHash {
  size_t operator()(const E& e) const noexcept { return size_t(ValueTraits<E>::hash(e)); }
};
template <class E>
struct ElementEqual {
  bool operator()(const E& a, const E& b) const noexcept { return ValueTraits<E>::equal(a, b); }
};

template <class E>
class CollectionState {
 public:
  static constexpr size_t kCompactionThreshold = 1024;

  CollectionLock& lock() const noexcept { return lock_; }

  // --- require the write lock ---
  // Adds one occurrence and logs it; returns the new version.
  uint64_t insert(E element) {
    auto it = counts_.find(element);
    if (it == counts_.end()) {
      counts_.emplace(element, 1);
    } else {
      ++it->second;
    }
    ++total_;
    return log(DeltaKind::Insert, std::move(element));
  }

  // Removes one occurrence if present and logs it: (found, version).
  std::pair<bool, uint64_t> remove(const E& element) {
    auto it = counts_.find(element);
    if (it == counts_.end()) return {false, version_};
    if (--it->second == 0) counts_.erase(it);
    --total_;
    return {true, log(DeltaKind::Delete, element)};
  }

  // A cursor at the current log end, registered as a reader, and the contents it reflects.
  std::pair<std::shared_ptr<DeltaCursor>, std::vector<E>> subscribe() {
    auto cursor = std::make_shared<DeltaCursor>();
    cursor->store(log_end());
    readers_.push_back(cursor);
    return {std::move(cursor), snapshot()};
  }

  // --- require at least the read lock ---
  // Every element as many times as its count; copies of one element are adjacent.
  std::vector<E> snapshot() const {
    std::vector<E> out;
    out.reserve(size_t(total_));
    for (const auto& [element, count] : counts_) {
      for (uint64_t i = 0; i < count; ++i) out.push_back(element);
    }
    return out;
  }

  // Copies of the entries from `position` (between base and the log end) to the end.
  std::vector<Delta<E>> deltas_since(uint64_t position) const {
    return std::vector<Delta<E>>(deltas_.begin() + ptrdiff_t(position - base_), deltas_.end());
  }

  // Visits the entries from `position` to the end in place, without copying.
  template <class Visit>
  void for_each_delta_since(uint64_t position, Visit&& visit) const {
    for (auto it = deltas_.begin() + ptrdiff_t(position - base_); it != deltas_.end(); ++it) {
      visit(*it);
    }
  }

  uint64_t version() const noexcept { return version_; }
  uint64_t base() const noexcept { return base_; }
  uint64_t log_end() const noexcept { return base_ + deltas_.size(); }
  size_t log_length() const noexcept { return deltas_.size(); }
  size_t reader_count() const noexcept { return readers_.size(); }
  // Elements counted with multiplicity.
  uint64_t size() const noexcept { return total_; }

 private:
  uint64_t log(DeltaKind kind, E element) {
    const bool check = deltas_.size() >= kCompactionThreshold - 1;
    deltas_.push_back(Delta<E>{kind, std::move(element)});
    ++version_;
    if (check) compact();
    return version_;
  }

  // Drops dead readers, then every entry that all live readers have passed.
  void compact() {
    std::erase_if(readers_, [](const std::shared_ptr<DeltaCursor>& c) { return c.use_count() == 1; });
    uint64_t keep_from = log_end();
    for (const auto& reader : readers_) keep_from = std::min(keep_from, reader->load());
    if (keep_from <= base_) return;
    deltas_.erase(deltas_.begin(), deltas_.begin() + ptrdiff_t(keep_from - base_));
    base_ = keep_from;
  }

  mutable CollectionLock lock_;
  std::deque<Delta<E>> deltas_;
  std::vector<std::shared_ptr<DeltaCursor>> readers_;
  std::unordered_map<E, uint64_t, ElementHash<E>, ElementEqual<E>> counts_;
  uint64_t base_ = 0;
  uint64_t version_ = 0;
  uint64_t total_ = 0;
};

// The engine side of one collection: contents, the node that signals its changes, and
// whether Python may mutate it.
template <class E>
struct CollectionHandle {
  std::shared_ptr<CollectionState<E>> state;
  Velk<uint64_t> version_node;
  bool derived = false;
};

}  // namespace velk
