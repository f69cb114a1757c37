// Sorted collections: the elements of a collection kept in the order of a key, with a change
// log that records the position of every insertion and removal, so that positional operators
// (windows, neighbouring pairs) follow it without looking at keys.
//
// Key order: a before b when a < b; equal when a == b; otherwise after. Equal keys keep
// arrival order. The state's lock is held while keys and elements are compared.
#pragma once

#include <vector>

#include "velk/chunked_sequence.h"
#include "velk/collection_ops.h"

namespace velk {

template <class E>
struct SortedChange {
  DeltaKind kind;
  uint64_t position;  // where the element was inserted or removed, counted at that moment
  E element;
};

template <class E>
class SortedState final : public Retirable {
 public:
  CollectionLock& lock() const noexcept { return lock_; }

  // As CollectionState::retire: the contents are released after the lock.
  void retire() override {
    std::pair<std::deque<SortedChange<E>>, std::vector<std::shared_ptr<DeltaCursor>>> log;
    ChunkedSequence<Entry> entries;
    CollectionWriteGuard guard(lock_);
    mark_retired();
    log = log_.take_all();
    std::swap(entries, entries_);
  }

  // Requires the lock (either mode).
  void check_live() const {
    if (retired()) fail(kDeletedCollectionMessage);
  }

  // --- require the write lock ---
  // Inserts after every entry whose key is less than or equal to `key`; logs the position.
  void insert(E key, E element) {
    const size_t p = count_where([&](const E& k) { return !greater(k, key); });
    entries_.insert(p, Entry{std::move(key), element});
    log_.append(SortedChange<E>{DeltaKind::Insert, p, std::move(element)});
  }

  // Removes the first entry of the equal-key range whose element equals `element`.
  bool remove(const E& key, const E& element) {
    const size_t lo = count_where([&](const E& k) { return ValueTraits<E>::less(k, key); });
    const size_t hi = count_where([&](const E& k) { return !greater(k, key); });
    for (size_t p = lo; p < hi; ++p) {
      if (!ValueTraits<E>::equal(entries_[p].element, element)) continue;
      Entry removed = entries_.erase(p);
      log_.append(SortedChange<E>{DeltaKind::Delete, p, std::move(removed.element)});
      return true;
    }
    return false;
  }

  // A cursor at the log end, registered as a reader, and the elements in order.
  std::pair<std::shared_ptr<DeltaCursor>, std::vector<E>> subscribe() {
    return {log_.add_reader(), elements()};
  }

  // --- require at least the read lock ---
  std::vector<E> elements() const {
    std::vector<E> out;
    out.reserve(entries_.size());
    entries_.for_each([&](const Entry& e) { out.push_back(e.element); });
    return out;
  }
  std::vector<SortedChange<E>> changes_since(uint64_t position) const {
    return log_.since(position);
  }
  // Every key and element held, in order and in the log (for HeldVisitor; no lock taken).
  template <class Visit>
  void for_each_value(Visit&& visit) const {
    entries_.for_each([&](const Entry& e) {
      visit(e.key);
      visit(e.element);
    });
    log_.for_each_value(visit);
  }
  size_t size() const noexcept { return entries_.size(); }
  uint64_t version() const noexcept { return log_.version(); }
  uint64_t log_end() const noexcept { return log_.end(); }
  size_t log_length() const noexcept { return log_.length(); }

 private:
  struct Entry {
    E key;
    E element;
  };

  // Neither less nor equal: a comparison that raises counts as false.
  static bool greater(const E& a, const E& b) {
    return !ValueTraits<E>::less(a, b) && !ValueTraits<E>::equal(a, b);
  }

  // The number of leading entries whose key satisfies `pred` (a prefix property), by the
  // halving binary search: a definite position even for keys that are not totally ordered.
  template <class Pred>
  size_t count_where(Pred pred) const {
    size_t n = entries_.size();
    if (n == 0) return 0;
    size_t b = 0;
    while (n > 1) {
      const size_t h = n / 2;
      if (pred(entries_[b + h].key)) b += h;
      n -= h;
    }
    return pred(entries_[b].key) ? b + 1 : b;
  }

  mutable CollectionLock lock_;
  ChunkedSequence<Entry> entries_;
  ChangeLog<SortedChange<E>> log_;
};

// One computation of the sort node. `keys(batch)` returns one key per delta, Insert and Delete
// alike (user code runs there, with no lock held); if it throws nothing is applied and the
// cursor does not move. Returns the sorted state's version.
template <class E, class Keys>
uint64_t sort_step(Runtime& runtime, const SourceLink<E>& source, SortedState<E>& sorted,
                   Keys&& keys) {
  runtime.get(source.version_node);
  auto [position, batch] = copy_new_deltas(source);
  if (batch.empty()) {
    CollectionReadGuard guard(sorted.lock());
    return sorted.version();
  }
  std::vector<E> batch_keys = keys(batch);
  CollectionWriteGuard guard(sorted.lock());
  [[maybe_unused]] ValueBatchScope<E> values;
  for (size_t i = 0; i < batch.size(); ++i) {
    if (batch[i].kind == DeltaKind::Insert) {
      sorted.insert(std::move(batch_keys[i]), std::move(batch[i].element));
    } else {
      sorted.remove(batch_keys[i], batch[i].element);
    }
  }
  source.cursor->store(position + batch.size());
  return sorted.version();
}

}  // namespace velk
