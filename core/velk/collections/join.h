// The join of two collections by key, in two stages: the join node keeps an index of both
// sides by key and maintains the multiset of matching (left, right) pairs; a second operator
// turns the pair deltas into output elements. Multiplicities multiply.
//
// Lock order: the index, then the pair state; no source lock is held meanwhile.
#pragma once

#include <algorithm>
#include <unordered_map>
#include <utility>
#include <vector>

#include "velk/collections/collection_ops.h"
#include "velk/collections/occurrence_list.h"

namespace velk {

template <class E>
using PairState = CollectionState<std::pair<E, E>>;

template <class E>
class JoinIndex {
 public:
  enum class Side { Left, Right };

  CollectionLock& lock() const noexcept { return lock_; }

  // Every key and element indexed (for HeldVisitor; no lock taken).
  template <class Visit>
  void for_each_value(Visit&& visit) const {
    for (const Index* index : {&left_, &right_}) {
      for (const auto* map : {&index->by_key, &index->keys}) {
        for (const auto& [key, values] : *map) {
          visit(key);
          for (const E& value : values) visit(value);
        }
      }
    }
  }

  // Requires the index's and the pair state's write locks. Inserts pair the element with the
  // other side as it stands. A delete takes one occurrence out under the key that occurrence was
  // inserted with (`key` is not used: the key function may answer differently by now); deletes of
  // an element this side does not hold are ignored. Every lookup (user code, which may throw)
  // comes before the first change, so a change is applied whole or not at all. Pairs hold the
  // indexed objects themselves and are matched by identity, which runs no user code.
  void apply(Side side, DeltaKind kind, const E& element, const E& key, PairState<E>& pairs) {
    Index& mine = side == Side::Left ? left_ : right_;
    Index& other = side == Side::Left ? right_ : left_;
    auto pair_with = [&](const E& mine_element, const E& partner) {
      return side == Side::Left ? std::pair<E, E>(mine_element, partner)
                                : std::pair<E, E>(partner, mine_element);
    };
    if (kind == DeltaKind::Insert) {
      insert(mine, other, element, key,
             [&](const E& partner) { pairs.insert(pair_with(element, partner)); });
      return;
    }
    auto held = mine.keys.find(element);
    if (held == mine.keys.end()) return;
    const E& inserted_key = held->second.back();
    auto bucket = mine.by_key.find(inserted_key);
    if (bucket == mine.by_key.end()) return;  // not reached: a held key has its bucket
    OccurrenceList<E>& list = bucket->second;
    auto found =
        std::find_if(list.begin(), list.end(), [&](const E& e) { return same_value(e, element); });
    auto partners = other.by_key.find(inserted_key);
    if (found != list.end() && partners != other.by_key.end()) {
      for (const E& partner : partners->second) pairs.remove(pair_with(*found, partner));
    }
    if (found != list.end()) list.erase(found);
    if (list.empty()) mine.by_key.erase(bucket);
    held->second.pop_back();
    if (held->second.empty()) mine.keys.erase(held);
  }

 private:
  struct Index {
    ElementMap<E, OccurrenceList<E>> by_key;
    // The key of each occurrence held, in insertion order.
    ElementMap<E, OccurrenceList<E>> keys;
  };

  // Files an inserted element under `key` and calls `pair(partner)` for each element of the
  // other side under an equal key.
  template <class Pair>
  static void insert(Index& mine, Index& other, const E& element, const E& key, Pair&& pair) {
    auto partners = other.by_key.find(key);
    auto [held, new_element] = mine.keys.try_emplace(element);
    typename ElementMap<E, OccurrenceList<E>>::iterator bucket;
    try {
      bucket = mine.by_key.try_emplace(key).first;
    } catch (...) {
      if (new_element) mine.keys.erase(held);
      throw;
    }
    held->second.push_back(key);
    bucket->second.push_back(element);
    if (partners != other.by_key.end()) {
      for (const E& partner : partners->second) pair(partner);
    }
  }
  mutable CollectionLock lock_;
  Index left_;   // guarded by lock_
  Index right_;  // guarded by lock_
};

// The join node's state: both sources, the index and the pair state.
template <class E>
struct JoinLinks {
  SourceLink<E> left;
  SourceLink<E> right;
  std::shared_ptr<JoinIndex<E>> index;
  std::shared_ptr<PairState<E>> pairs;
};

// One computation of the join node. `keys(side, batch)` returns one key per delta, Insert and
// Delete alike, though a Delete's is not used (user code runs there, with no collection lock
// held); if it throws nothing is applied and neither cursor moves. All left deltas are applied
// before all right deltas, so each new pair appears exactly once. A lookup that throws stops
// there: each cursor moves past the deltas of its side applied. Returns the pair state's
// version.
template <class E, class Keys>
uint64_t join_step(Runtime& runtime, const JoinLinks<E>& j, Keys&& keys) {
  using Side = typename JoinIndex<E>::Side;
  runtime.get(j.left.version_node);
  runtime.get(j.right.version_node);
  auto [left_position, left] = copy_new_deltas(j.left);
  auto [right_position, right] = copy_new_deltas(j.right);
  if (left.empty() && right.empty()) return collection_version(*j.pairs);
  const std::vector<E> left_keys = keys(Side::Left, left);
  const std::vector<E> right_keys = keys(Side::Right, right);
  CollectionWriteGuard index_guard(j.index->lock());
  CollectionWriteGuard pairs_guard(j.pairs->lock());
  [[maybe_unused]] ValueBatchScope<E> values;
  size_t left_done = 0, right_done = 0;
  try {
    for (; left_done < left.size(); ++left_done) {
      const Delta<E>& d = left[left_done];
      j.index->apply(Side::Left, d.kind, d.element, left_keys[left_done], *j.pairs);
    }
    for (; right_done < right.size(); ++right_done) {
      const Delta<E>& d = right[right_done];
      j.index->apply(Side::Right, d.kind, d.element, right_keys[right_done], *j.pairs);
    }
  } catch (...) {
    j.left.cursor->store(left_position + left_done);
    j.right.cursor->store(right_position + right_done);
    throw;
  }
  j.left.cursor->store(left_position + left.size());
  j.right.cursor->store(right_position + right.size());
  return j.pairs->version();
}

}  // namespace velk
