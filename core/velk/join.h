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

#include "velk/collection_ops.h"

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
  // an element this side does not hold are ignored.
  void apply(Side side, DeltaKind kind, const E& element, const E& key, PairState<E>& pairs) {
    Index& mine = side == Side::Left ? left_ : right_;
    Index& other = side == Side::Left ? right_ : left_;
    auto pair_with = [&](const E& partner) {
      return side == Side::Left ? std::pair<E, E>(element, partner) : std::pair<E, E>(partner, element);
    };
    if (kind == DeltaKind::Insert) {
      mine.keys[element].push_back(key);
      if (auto it = other.by_key.find(key); it != other.by_key.end()) {
        for (const E& partner : it->second) pairs.insert(pair_with(partner));
      }
      mine.by_key[key].push_back(element);
      return;
    }
    auto held = mine.keys.find(element);
    if (held == mine.keys.end()) return;
    const E inserted_key = std::move(held->second.back());
    held->second.pop_back();
    if (held->second.empty()) mine.keys.erase(held);
    if (auto it = mine.by_key.find(inserted_key); it != mine.by_key.end()) {
      std::vector<E>& list = it->second;
      auto found = std::find_if(list.begin(), list.end(),
                                [&](const E& e) { return same_value(e, element); });
      if (found != list.end()) list.erase(found);
      if (list.empty()) mine.by_key.erase(it);
    }
    if (auto it = other.by_key.find(inserted_key); it != other.by_key.end()) {
      for (const E& partner : it->second) pairs.remove(pair_with(partner));
    }
  }

 private:
  struct Index {
    std::unordered_map<E, std::vector<E>, ElementHash<E>, ElementEqual<E>> by_key;
    // The key of each occurrence held, in insertion order.
    std::unordered_map<E, std::vector<E>, ElementHash<E>, ElementEqual<E>> keys;
  };
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
// before all right deltas, so each new pair appears exactly once. Returns the pair state's
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
  for (size_t i = 0; i < left.size(); ++i) {
    j.index->apply(Side::Left, left[i].kind, left[i].element, left_keys[i], *j.pairs);
  }
  for (size_t i = 0; i < right.size(); ++i) {
    j.index->apply(Side::Right, right[i].kind, right[i].element, right_keys[i], *j.pairs);
  }
  j.left.cursor->store(left_position + left.size());
  j.right.cursor->store(right_position + right.size());
  return j.pairs->version();
}

}  // namespace velk
