// Sorted collections: the elements of a collection kept in the order of a key, with a change
// log that records the position of every insertion and removal, so that positional operators
// (windows, neighbouring pairs) follow it without looking at keys.
//
// Key order: a before b when a < b; equal when a == b; otherwise after. Equal keys keep
// arrival order. The state's lock is held while keys and elements are compared. A delete goes
// by the key its occurrence was inserted with (the key function may answer differently by
// now, or give a key not equal to itself, found again by identity).
#pragma once

#include <algorithm>
#include <vector>

#include "velk/collections/chunked_sequence.h"
#include "velk/collections/collection_ops.h"
#include "velk/collections/occurrence_list.h"

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
  // Both look up (running user code, which may throw) before they change anything.
  // Inserts after every entry whose key is less than or equal to `key`; logs the position.
  void insert(E key, E element) {
    const size_t p = count_where([&](const E& k) { return !greater(k, key); });
    const bool still_ordered = ordered_ && fits_at(p, key);
    keys_.try_emplace(element).first->second.push_back(key);
    entries_.insert(p, Entry{std::move(key), element});
    log_.append(SortedChange<E>{DeltaKind::Insert, p, std::move(element)});
    ordered_ = still_ordered;
  }

  // Removes an occurrence of `element`: the first entry of its key's range holding it.
  bool remove(const E& element) {
    auto held = keys_.find(element);
    if (held == keys_.end()) return false;
    const size_t p = position_of(held->second.back(), element);
    if (p == entries_.size()) return false;  // not reached: every filed key has its entry
    held->second.pop_back();
    if (held->second.empty()) keys_.erase(held);
    Entry removed = entries_.erase(p);
    log_.append(SortedChange<E>{DeltaKind::Delete, p, std::move(removed.element)});
    if (entries_.empty()) ordered_ = true;
    return true;
  }

  // Seeds a state no reader has subscribed to yet with the elements in arrival order and their
  // keys, `order` listing them by key (see insert_in_order), else one by one.
  void seed(std::vector<E> keys, std::vector<E> elements, const std::vector<size_t>& order) {
    if (insert_in_order(keys, elements, order, false)) return;
    for (size_t i = 0; i < elements.size(); ++i) {
      insert(std::move(keys[i]), std::move(elements[i]));
    }
  }

  // Inserts the elements in arrival order with their keys as inserting them one by one would,
  // given `order`: their positions sorted stably by key, each key less than or equal to the
  // next (the caller sorts and checks in one pass; for keys ordered consistently that is the
  // order one by one gives). Into a state holding entries, each goes after those whose key is
  // less than or equal to its own, which needs the entries ordered consistently too (ordered())
  // and each key to fit where it goes. Each is logged at its final position, since they go in
  // ascending; or, with no reader to read them (`logged` false before any subscribed),
  // counted. Returns false, changing nothing, when that cannot be done; a lookup that throws
  // leaves the state as it was.
  bool insert_in_order(std::vector<E>& keys, std::vector<E>& elements,
                       const std::vector<size_t>& order, bool logged) {
    if (order.size() != elements.size() || (!entries_.empty() && !ordered_)) return false;
    VELK_DCHECK(keys_in_order(keys, order));
    const std::vector<size_t> before =
        entries_.empty() ? std::vector<size_t>{} : places(keys, order);
    if (!entries_.empty() && before.size() != order.size()) return false;
    file_keys(keys, elements);
    if (!logged || log_.unread()) {
      log_.pass_unread(order.size());
    } else {
      for (size_t j = 0; j < order.size(); ++j) {
        const uint64_t at = before.empty() ? j : before[j] + j;
        log_.append(SortedChange<E>{DeltaKind::Insert, at, elements[order[j]]});
      }
    }
    // Few into many go in place; otherwise the whole sequence is rebuilt in one merge.
    if (!before.empty() && order.size() * 16 < entries_.size()) {
      for (size_t j = 0; j < order.size(); ++j) {
        const size_t i = order[j];
        entries_.insert(before[j] + j, Entry{std::move(keys[i]), std::move(elements[i])});
      }
      return true;
    }
    std::vector<Entry> held = entries_.take();
    std::vector<Entry> merged;
    merged.reserve(held.size() + order.size());
    size_t next = 0;
    for (size_t j = 0; j < order.size(); ++j) {
      for (const size_t to = before.empty() ? 0 : before[j]; next < to; ++next) {
        merged.push_back(std::move(held[next]));
      }
      merged.push_back(Entry{std::move(keys[order[j]]), std::move(elements[order[j]])});
    }
    for (; next < held.size(); ++next) merged.push_back(std::move(held[next]));
    entries_.assign(std::move(merged));
    ordered_ = true;
    return true;
  }

  // A cursor at the log end, registered as a reader, and the elements in order.
  std::pair<std::shared_ptr<DeltaCursor>, std::vector<E>> subscribe() {
    return {log_.add_reader(), elements()};
  }

  // --- require at least the read lock ---
  std::vector<E> elements() const {
    std::vector<E> out;
    out.reserve(entries_.size());
    entries_.for_each([&](const Entry& e) { out.push_back(e.element); },
                      [](const Entry& e) -> const E& { return e.element; });
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
    for (const auto& [element, keys] : keys_) {
      visit(element);
      for (const E& key : keys) visit(key);
    }
    log_.for_each_value(visit);
  }
  size_t size() const noexcept { return entries_.size(); }
  // Whether each key is less than or equal to the next, as far as neighbours tell (a key not
  // equal to itself, or one whose comparison raises, is out of order next to any other).
  bool ordered() const noexcept { return ordered_; }
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

  // Whether `key` goes between the entries at p - 1 and p in order. Before inserting it at p.
  bool fits_at(size_t p, const E& key) const {
    return (p == 0 || !greater(entries_[p - 1].key, key)) &&
           (p == entries_.size() || !greater(key, entries_[p].key));
  }

  // For each key of `order`, the number of entries that go before it (those with a key less
  // than or equal to it), found by galloping on from the previous key's place: the entries and
  // the keys ordered consistently, the places only rise. Empty when a key does not fit at its
  // place.
  std::vector<size_t> places(const std::vector<E>& keys, const std::vector<size_t>& order) const {
    std::vector<size_t> out;
    out.reserve(order.size());
    const size_t n = entries_.size();
    size_t first = 0;  // every entry before it goes before the key
    for (const size_t i : order) {
      const E& key = keys[i];
      auto goes_before = [&](size_t p) { return !greater(entries_[p].key, key); };
      size_t last = n;  // n, or an entry that goes after the key
      for (size_t step = 1;; step *= 2) {
        const size_t probe = first + step - 1;
        if (probe >= n) break;
        if (!goes_before(probe)) {
          last = probe;
          break;
        }
        first = probe + 1;
      }
      while (first < last) {
        const size_t mid = first + (last - first) / 2;
        if (goes_before(mid)) {
          first = mid + 1;
        } else {
          last = mid;
        }
      }
      if (first < n && greater(key, entries_[first].key)) return {};
      out.push_back(first);
    }
    return out;
  }

  // Files each element's key, in arrival order; a lookup that throws takes back those filed.
  void file_keys(const std::vector<E>& keys, const std::vector<E>& elements) {
    const size_t needed = keys_.size() + elements.size();
    if (double(needed) > double(keys_.bucket_count()) * keys_.max_load_factor()) {
      keys_.reserve(std::max(needed, 2 * keys_.size()));  // so that no iterator below moves
    }
    std::vector<typename ElementMap<E, OccurrenceList<E>>::iterator> filed;
    filed.reserve(elements.size());
    try {
      for (size_t i = 0; i < elements.size(); ++i) {
        prefetch_ahead(elements, i);
        filed.push_back(keys_.try_emplace(elements[i]).first);
        filed.back()->second.push_back(keys[i]);
      }
    } catch (...) {
      for (auto it = filed.rbegin(); it != filed.rend(); ++it) {
        (*it)->second.pop_back();
        if ((*it)->second.empty()) keys_.erase(*it);
      }
      throw;
    }
  }

  static bool keys_in_order(const std::vector<E>& keys, const std::vector<size_t>& order) {
    for (size_t i = 1; i < order.size(); ++i) {
      if (greater(keys[order[i - 1]], keys[order[i]])) return false;
    }
    return true;
  }

  // Where the entry of (key, element) is: searched in the key's range, else (a key not equal
  // to itself, or not ordered consistently) among all entries holding that very key object.
  // entries_.size() when there is none.
  size_t position_of(const E& key, const E& element) const {
    const size_t lo = count_where([&](const E& k) { return ValueTraits<E>::less(k, key); });
    const size_t hi = count_where([&](const E& k) { return !greater(k, key); });
    for (size_t p = lo; p < hi; ++p) {
      const Entry& e = entries_[p];
      if (same_value(e.element, element) && same_value(e.key, key)) return p;
    }
    size_t p = 0, at = entries_.size();
    entries_.for_each([&](const Entry& e) {
      if (at == entries_.size() && same_object(e.key, key) && same_value(e.element, element)) {
        at = p;
      }
      ++p;
    });
    return at;
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
  ElementMap<E, OccurrenceList<E>> keys_;  // the key of each occurrence held, in insertion order
  ChangeLog<SortedChange<E>> log_;
  bool ordered_ = true;  // see ordered()
};

// Whether a batch is inserts alone, more than one, that one sort of their keys lets go in at
// once: into an empty state, or merged into one ordered consistently, when they are enough
// that galloping between their places costs less than a search from scratch for each. The sort
// node alone fills the state, so the answer holds until it takes the write lock.
template <class E>
bool sorts_at_once(const std::vector<Delta<E>>& batch, const SortedState<E>& sorted) {
  auto is_insert = [](const Delta<E>& d) { return d.kind == DeltaKind::Insert; };
  if (batch.size() < 2 || !std::all_of(batch.begin(), batch.end(), is_insert)) return false;
  CollectionReadGuard guard(sorted.lock());
  const size_t m = batch.size(), n = sorted.size();
  return n == 0 || (sorted.ordered() && m >= 32 && m * m >= n);
}

// One computation of the sort node. `keys(batch)` returns the keys of the batch's Insert deltas,
// in order, and `order(keys)` their positions sorted stably by key, or none (user code runs in
// both, with no lock held); if either throws nothing is applied and the cursor does not move. A
// lookup that throws stops the batch there: the cursor moves past the deltas applied (none of a
// batch inserted at once). Returns the sorted state's version.
template <class E, class Keys, class Order>
uint64_t sort_step(Runtime& runtime, const SourceLink<E>& source, SortedState<E>& sorted,
                   Keys&& keys, Order&& order) {
  runtime.get(source.version_node);
  auto [position, batch] = copy_new_deltas(source);
  if (batch.empty()) {
    CollectionReadGuard guard(sorted.lock());
    return sorted.version();
  }
  std::vector<E> insert_keys = keys(batch);
  const std::vector<size_t> ordered =
      sorts_at_once(batch, sorted) ? order(insert_keys) : std::vector<size_t>{};
  CollectionWriteGuard guard(sorted.lock());
  [[maybe_unused]] ValueBatchScope<E> values;
  if (!ordered.empty()) {
    std::vector<E> elements;
    elements.reserve(batch.size());
    for (Delta<E>& delta : batch) elements.push_back(std::move(delta.element));
    if (sorted.insert_in_order(insert_keys, elements, ordered, true)) {
      source.cursor->store(position + batch.size());
      return sorted.version();
    }
    for (size_t i = 0; i < batch.size(); ++i) batch[i].element = std::move(elements[i]);
  }
  size_t applied = 0, next_key = 0;
  try {
    for (; applied < batch.size(); ++applied) {
      Delta<E>& delta = batch[applied];
      if (delta.kind == DeltaKind::Delete) {
        sorted.remove(delta.element);
      } else if (next_key < insert_keys.size()) {
        sorted.insert(std::move(insert_keys[next_key++]), std::move(delta.element));
      } else {
        fail("insert delta staged without key");
      }
    }
  } catch (...) {
    source.cursor->store(position + applied);
    throw;
  }
  source.cursor->store(position + batch.size());
  return sorted.version();
}

// Without an order for a batch that sorts at once: every batch goes in one by one.
template <class E, class Keys>
uint64_t sort_step(Runtime& runtime, const SourceLink<E>& source, SortedState<E>& sorted,
                   Keys&& keys) {
  return sort_step(runtime, source, sorted, std::forward<Keys>(keys),
                   [](const std::vector<E>&) { return std::vector<size_t>{}; });
}

}  // namespace velk
