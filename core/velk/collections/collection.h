// A collection: a multiset of elements with a log of its recent changes, which operators
// consume by cursor instead of rescanning the contents, and a version node (u64) whose value
// rises with every logged change so that the engine's invalidation reaches the operators.
//
// Guarded by the state's own CollectionLock: mutations, subscription and applying an
// operator's output take it exclusively; reading deltas, snapshots and versions take it shared.
// A cursor is advanced only by its operator's compute, which the engine runs on one thread at
// a time, and read by the compaction check under the write lock. A state is retired with its
// version node: emptied, and refused to whoever still holds it.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "velk/base/check.h"
#include "velk/base/failure.h"
#include "velk/base/handle.h"
#include "velk/base/retirable.h"
#include "velk/base/value_traits.h"
#include "velk/base/waiting.h"
#include "velk/collections/collection_lock.h"
#include "velk/collections/element_counts.h"

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
  // lock-free: moved only by its operator's claimant; the log reads it to trim, and a stale
  // position there only keeps entries longer.
  uint64_t load() const noexcept { return position.load(std::memory_order_acquire); }
  void store(uint64_t p) noexcept { position.store(p, std::memory_order_release); }
};

// A change log with reader cursors, shared by collections and sorted collections. Entries are
// dropped in batches: once the log reaches 1024 entries, every append drops the entries that
// all live readers have passed (all of them when no reader is live, except in a log told to
// keep them for its first reader). A reader is dead when the log holds the only reference to
// its cursor. Guarded by its owner's lock.
template <class Entry>
class ChangeLog {
 public:
  static constexpr size_t kCompactionThreshold = 1024;

  // Appends an entry and returns the new version (the number of entries ever appended). With
  // no reader the entry is only counted: a reader added later starts at the end.
  uint64_t append(Entry entry) {
    if (unread()) {
      pass_unread(1);
      return version_;
    }
    const bool check = entries_.size() >= kCompactionThreshold - 1;
    entries_.push_back(std::move(entry));
    ++version_;
    if (check) compact();
    return version_;
  }

  // Counts `n` entries that no reader will see, as appending them before the first reader
  // would (the compaction drops them all): seeding a fresh state keeps its version so.
  void pass_unread(size_t n) {
    VELK_DCHECK(unread());
    base_ += n;
    version_ += n;
  }
  // Whether no reader was ever registered (or all were dropped) and none is awaited: entries
  // need no storing.
  bool unread() const noexcept { return readers_.empty() && !keep_for_first_reader_; }

  // A cursor at the log end, registered as a reader.
  std::shared_ptr<DeltaCursor> add_reader() {
    auto cursor = std::make_shared<DeltaCursor>();
    cursor->store(end());
    readers_.push_back(cursor);
    keep_for_first_reader_ = false;
    return cursor;
  }

  // Until the first reader comes, entries are kept whatever the log's length.
  void keep_for_first_reader() noexcept { keep_for_first_reader_ = true; }

  // Takes every entry out, as if all were read: the log is empty at the same end.
  std::deque<Entry> take_entries() {
    base_ = end();
    return std::exchange(entries_, {});
  }

  // Copies of the entries from `position` (between base and the end) to the end.
  std::vector<Entry> since(uint64_t position) const {
    return std::vector<Entry>(entries_.begin() + ptrdiff_t(position - base_), entries_.end());
  }

  template <class Visit>
  void for_each_since(uint64_t position, Visit&& visit) const {
    for (auto it = entries_.begin() + ptrdiff_t(position - base_); it != entries_.end(); ++it) {
      visit(*it);
    }
  }

  // Every entry's element (for HeldVisitor; no lock taken).
  template <class Visit>
  void for_each_value(Visit&& visit) const {
    for (const Entry& entry : entries_) visit(entry.element);
  }

  // Empties the log; its entries and cursors go to the caller, to be dropped after the lock.
  std::pair<std::deque<Entry>, std::vector<std::shared_ptr<DeltaCursor>>> take_all() {
    base_ = end();
    return {std::exchange(entries_, {}), std::exchange(readers_, {})};
  }

  uint64_t version() const noexcept { return version_; }
  uint64_t base() const noexcept { return base_; }
  uint64_t end() const noexcept { return base_ + entries_.size(); }
  size_t length() const noexcept { return entries_.size(); }
  size_t reader_count() const noexcept { return readers_.size(); }

 private:
  void compact() {
    if (keep_for_first_reader_) return;
    std::erase_if(readers_,
                  [](const std::shared_ptr<DeltaCursor>& c) { return c.use_count() == 1; });
    uint64_t keep_from = end();
    for (const auto& reader : readers_) keep_from = std::min(keep_from, reader->load());
    if (keep_from <= base_) return;
    entries_.erase(entries_.begin(), entries_.begin() + ptrdiff_t(keep_from - base_));
    base_ = keep_from;
  }

  std::deque<Entry> entries_;
  std::vector<std::shared_ptr<DeltaCursor>> readers_;
  uint64_t base_ = 0;
  uint64_t version_ = 0;
  bool keep_for_first_reader_ = false;
};

// How a state holds its contents: counted (every collection a user or several readers can
// see), or only as its log, for an operator's intermediate state (join pairs, windows) that one
// stage follows and mirrors: counting there would keep a second copy of every element.
enum class Contents : uint8_t { Counted, LogOnly };

// Every change looks its element up before changing anything, so a lookup that throws (an
// interruption in user code) leaves the state as it was.
template <class E>
class CollectionState final : public Retirable {
 public:
  static constexpr size_t kCompactionThreshold = ChangeLog<Delta<E>>::kCompactionThreshold;

  // A log-only state keeps its log whole until its one reader subscribes; it is told its
  // changes by an operator that never deletes what is not there, and is not snapshotted.
  explicit CollectionState(Matching matching = Matching::Value,
                           Contents contents = Contents::Counted)
      : counts_(matching), counted_(contents == Contents::Counted) {
    if (!counted_) log_.keep_for_first_reader();
  }

  CollectionLock& lock() const noexcept { return lock_; }

  // Drops contents and log. The locals are declared before the guard, so the elements are
  // released after the lock: releasing one may run code that uses this collection.
  void retire() override {
    std::pair<std::deque<Delta<E>>, std::vector<std::shared_ptr<DeltaCursor>>> log;
    ElementCounts<E> counts(Matching::Value);
    CollectionWriteGuard guard(lock_);
    mark_retired();
    log = log_.take_all();
    std::swap(counts, counts_);
    total_ = 0;
  }

  // Requires the lock (either mode): refuses a retired state.
  void check_live() const {
    if (retired()) fail(kDeletedCollectionMessage);
  }

  // --- require the write lock ---
  // Adds one occurrence and logs it; returns the new version.
  uint64_t insert(E element) {
    if (counted_) {
      // Without a reader the log only counts: the element moves into its entry.
      auto slot =
          log_.unread() ? counts_.for_insert(std::move(element)) : counts_.for_insert(element);
      ++slot.it->second;
    }
    ++total_;
    return log_.append(Delta<E>{DeltaKind::Insert, std::move(element)});
  }

  // Removes one occurrence if present and logs it: (found, version).
  std::pair<bool, uint64_t> remove(const E& element) {
    if (!counted_) {
      --total_;
      return {true, log_.append(Delta<E>{DeltaKind::Delete, element})};
    }
    const auto slot = counts_.for_delete(element, {});
    if (slot.table == nullptr) return {false, log_.version()};
    if (--slot.it->second == 0) slot.table->erase(slot.it);
    --total_;
    return {true, log_.append(Delta<E>{DeltaKind::Delete, element})};
  }

  // Applies changes in order, all or none: every element is looked up first, then the counts
  // and the log change without running user code. A delete of an element not held is ignored.
  // The lookups of a large batch ask now and then whether to give up (a Ctrl-C).
  // Returns whether anything was logged.
  bool apply(std::vector<Delta<E>>& changes) {
    VELK_DCHECK(counted_);
    auto is_insert = [](const Delta<E>& d) { return d.kind == DeltaKind::Insert; };
    if (std::all_of(changes.begin(), changes.end(), is_insert)) return apply_inserts(changes);
    using Slot = typename ElementCounts<E>::Slot;
    counts_.reserve(size_t(std::count_if(changes.begin(), changes.end(), is_insert)));
    std::vector<Slot> slots;
    slots.reserve(changes.size());
    typename ElementCounts<E>::Plan plan;  // so a delete sees the batch's earlier changes
    try {
      for (const Delta<E>& change : changes) {
        if (!slots.empty() && slots.size() % kInterruptCheckElements == 0) check_interrupt();
        const bool insert = change.kind == DeltaKind::Insert;
        const Slot slot =
            insert ? counts_.for_insert(change.element) : counts_.for_delete(change.element, plan);
        if (slot.table != nullptr) plan[&*slot.it] += insert ? 1 : -1;
        slots.push_back(slot);
      }
    } catch (...) {
      for (const Slot& slot : slots) {
        if (slot.fresh) slot.table->erase(slot.it);
      }
      throw;
    }
    const uint64_t before = log_.version();
    for (size_t i = 0; i < changes.size(); ++i) {
      if (slots[i].table == nullptr) continue;
      if (changes[i].kind == DeltaKind::Insert) {
        ++slots[i].it->second;
        ++total_;
      } else {
        --slots[i].it->second;
        --total_;
      }
      log_.append(std::move(changes[i]));
    }
    // An element changed twice in the batch was looked up twice: erase each emptied entry once.
    std::vector<Slot> emptied;
    for (const Slot& slot : slots) {
      if (slot.table != nullptr && slot.it->second == 0) emptied.push_back(slot);
    }
    auto by_address = [](const Slot& a, const Slot& b) { return &*a.it < &*b.it; };
    auto same_entry = [](const Slot& a, const Slot& b) { return a.it == b.it; };
    std::sort(emptied.begin(), emptied.end(), by_address);
    emptied.erase(std::unique(emptied.begin(), emptied.end(), same_entry), emptied.end());
    for (const Slot& slot : emptied) slot.table->erase(slot.it);
    return log_.version() != before;
  }

  // Room for `more` new elements without a rehash, for a run of single inserts.
  void reserve(size_t more) { counts_.reserve(more); }

  // Seeds a state no reader has subscribed to yet with `elements`: the contents and version
  // of inserting them one by one, without logging entries nobody will read.
  void seed(std::vector<E> elements) {
    if (!counted_) {  // the log is the contents, kept for the one reader to come
      for (E& element : elements) log_.append(Delta<E>{DeltaKind::Insert, std::move(element)});
      total_ += elements.size();
      return;
    }
    counts_.reserve(elements.size());
    for (size_t i = 0; i < elements.size(); ++i) {
      prefetch_ahead(elements, i);
      ++counts_.for_insert(std::move(elements[i])).it->second;
    }
    total_ += elements.size();
    log_.pass_unread(elements.size());
  }

  // A cursor at the current log end, registered as a reader, and the contents it reflects.
  // The one reader of a log-only state takes the log's inserts as its contents.
  std::pair<std::shared_ptr<DeltaCursor>, std::vector<E>> subscribe() {
    if (counted_) return {log_.add_reader(), snapshot()};
    VELK_DCHECK(log_.reader_count() == 0);
    std::vector<E> contents;
    contents.reserve(size_t(total_));
    for (Delta<E>& delta : log_.take_entries()) {
      VELK_DCHECK(delta.kind == DeltaKind::Insert);
      contents.push_back(std::move(delta.element));
    }
    return {log_.add_reader(), std::move(contents)};
  }

  // --- require at least the read lock ---
  // Every element as many times as its count; copies of one element are adjacent.
  std::vector<E> snapshot() const {
    VELK_DCHECK(counted_);
    std::vector<E> out;
    out.reserve(size_t(total_));
    counts_.for_each([&out](const E& element, uint64_t count) {
      for (uint64_t i = 0; i < count; ++i) out.push_back(element);
    });
    return out;
  }

  // Copies of the entries from `position` (between base and the log end) to the end.
  std::vector<Delta<E>> deltas_since(uint64_t position) const { return log_.since(position); }

  // Visits the entries from `position` to the end in place, without copying.
  template <class Visit>
  void for_each_delta_since(uint64_t position, Visit&& visit) const {
    log_.for_each_since(position, visit);
  }

  // Every element held, in the contents and in the log (for HeldVisitor; no lock taken).
  template <class Visit>
  void for_each_value(Visit&& visit) const {
    counts_.for_each([&visit](const E& element, uint64_t) { visit(element); });
    log_.for_each_value(visit);
  }

  uint64_t version() const noexcept { return log_.version(); }
  uint64_t base() const noexcept { return log_.base(); }
  uint64_t log_end() const noexcept { return log_.end(); }
  size_t log_length() const noexcept { return log_.length(); }
  size_t reader_count() const noexcept { return log_.reader_count(); }
  // Elements counted with multiplicity.
  uint64_t size() const noexcept { return total_; }

 private:
  // A batch of inserts, in one pass: each is counted as it is looked up, and every count taken
  // back if a later lookup throws. Nobody reading the log, an element moves into its entry
  // instead of being copied there (a failed batch is dropped whole, moved elements with it).
  bool apply_inserts(std::vector<Delta<E>>& changes) {
    using Slot = typename ElementCounts<E>::Slot;
    counts_.reserve(changes.size());
    const bool unread = log_.unread();
    std::vector<Slot> slots;
    slots.reserve(changes.size());
    try {
      for (size_t i = 0; i < changes.size(); ++i) {
        if (i != 0 && i % kInterruptCheckElements == 0) check_interrupt();
        prefetch_ahead(changes, i, [](const Delta<E>& d) -> const E& { return d.element; });
        Delta<E>& change = changes[i];
        const Slot slot = unread ? counts_.for_insert(std::move(change.element))
                                 : counts_.for_insert(change.element);
        ++slot.it->second;
        slots.push_back(slot);
      }
    } catch (...) {
      for (const Slot& slot : slots) --slot.it->second;
      for (const Slot& slot : slots) {
        if (slot.fresh) slot.table->erase(slot.it);
      }
      throw;
    }
    total_ += changes.size();
    if (unread) {
      log_.pass_unread(changes.size());
    } else {
      for (Delta<E>& change : changes) log_.append(std::move(change));
    }
    return !changes.empty();
  }

  mutable CollectionLock lock_;
  ChangeLog<Delta<E>> log_;
  ElementCounts<E> counts_;  // empty in a log-only state
  uint64_t total_ = 0;
  bool counted_;
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
