// Aggregate: the monoid fold of lift(x) over every element occurrence of a collection, kept in
// a segment tree with one leaf per occurrence, so one change costs one lift and log2(capacity)
// combines instead of a full refold.
//
// Associativity contract: the result is the fold of the occupied leaves in leaf order, with
// identity in every free leaf, parenthesised by the tree's shape. It equals
// identity ⊕ lift(x1) ⊕ ... ⊕ lift(xn) only when `combine` is associative and `identity` is a
// two-sided identity of it; the leaf order (snapshot order, then reuse of freed leaves, then
// fresh leaves) is not the insertion order, so a result that must not depend on order also
// needs a commutative `combine`.
#pragma once

#include <algorithm>
#include <bit>
#include <unordered_map>
#include <vector>

#include "velk/collections/collection_ops.h"
#include "velk/collections/occurrence_list.h"

namespace velk {

// `Lift(const E&) -> V` and `Combine(const V&, const V&) -> V` may throw. Guarded by the lock
// of the AggregateLink that holds it.
template <class E, class V>
class AggregateTree {
 public:
  explicit AggregateTree(V identity) : identity_(std::move(identity)), tree_(2, identity_) {}

  template <class Lift, class Combine>
  void insert(const E& x, const Lift& lift, const Combine& combine) {
    const size_t leaf = place(x, lift, combine);
    pending_.clear();
    recombine_path(capacity_ + leaf, combine);
  }

  // Clears the leaf of the most recent occurrence of x; an absent x is ignored.
  template <class Combine>
  void remove(const E& x, const Combine& combine) {
    if (const size_t leaf = clear(x); leaf != kAbsent) {
      pending_.clear();
      recombine_path(capacity_ + leaf, combine);
    }
  }

  // A batch of changes: the leaves change first, then every ancestor they made stale is
  // combined once, level by level, so changes under shared ancestors (a delete and the insert
  // that reuses the neighbouring leaf, a build) share their combines.
  template <class Lift, class Combine>
  void apply(const std::vector<Delta<E>>& batch, const Lift& lift, const Combine& combine) {
    auto is_insert = [](const Delta<E>& d) { return d.kind == DeltaKind::Insert; };
    const size_t inserts = size_t(std::count_if(batch.begin(), batch.end(), is_insert));
    // The batch's deletes free leaves its inserts reuse (a delete of an absent element frees
    // none: growing one step short just leaves that step to place()).
    reserve(inserts - std::min(inserts, batch.size() - inserts));
    for (const Delta<E>& d : batch) {
      if (d.kind == DeltaKind::Insert) {
        place(d.element, lift, combine);
      } else {
        clear(d.element);
      }
    }
    recombine_pending(combine);
  }

  template <class Lift, class Combine>
  void insert_all(const std::vector<E>& elements, const Lift& lift, const Combine& combine) {
    reserve(elements.size());
    leaves_by_value_.reserve(elements.size());
    pending_.reserve(elements.size());
    for (size_t i = 0; i < elements.size(); ++i) {
      prefetch_ahead(elements, i);
      place(elements[i], lift, combine);
    }
    recombine_pending(combine);
  }

  const V& root() const noexcept { return tree_[1]; }
  const V& identity() const noexcept { return identity_; }
  size_t capacity() const noexcept { return capacity_; }
  bool needs_rebuild = false;

  // Every value and element held (for HeldVisitor; no lock taken).
  template <class Visit>
  void for_each_value(Visit&& visit) const {
    visit(identity_);
    for (const V& value : tree_) visit(value);
    for (const auto& entry : leaves_by_value_) visit(entry.first);
  }

 private:
  static constexpr size_t kAbsent = ~size_t(0);

  // Room for `inserts` more leaves beyond the free ones, grown once to the capacity the
  // growths one at a time would reach: the leaves move to the larger tree and all their
  // ancestors are left stale, to be combined once with the batch's (a growth per doubling
  // would combine the whole tree each time).
  void reserve(size_t inserts) {
    const size_t needed = next_leaf_ + inserts - std::min(inserts, free_leaves_.size());
    if (needed <= capacity_) return;
    const size_t grown = std::bit_ceil(needed);
    std::vector<V> tree(2 * grown, identity_);
    for (size_t leaf = 0; leaf < next_leaf_; ++leaf) {
      tree[grown + leaf] = std::move(tree_[capacity_ + leaf]);
    }
    for (size_t& p : pending_) p = p - capacity_ + grown;
    for (size_t leaf = 0; leaf < next_leaf_; ++leaf) pending_.push_back(grown + leaf);
    tree_ = std::move(tree);
    capacity_ = grown;
  }

  // Puts lift(x) in a free leaf (growing the tree when full); its ancestors are left stale
  // and listed in pending_.
  template <class Lift, class Combine>
  size_t place(const E& x, const Lift& lift, const Combine& combine) {
    V value = lift(x);
    size_t leaf;
    if (!free_leaves_.empty()) {
      leaf = free_leaves_.back();
      free_leaves_.pop_back();
    } else {
      if (next_leaf_ == capacity_) grow(combine);
      leaf = next_leaf_++;
    }
    leaves_by_value_[x].push_back(leaf);
    tree_[capacity_ + leaf] = std::move(value);
    pending_.push_back(capacity_ + leaf);
    return leaf;
  }

  // Resets the leaf of x's most recent occurrence to identity, ancestors stale; kAbsent if x
  // has none.
  size_t clear(const E& x) {
    auto it = leaves_by_value_.find(x);
    if (it == leaves_by_value_.end()) return kAbsent;
    const size_t leaf = it->second.back();
    it->second.pop_back();
    if (it->second.empty()) leaves_by_value_.erase(it);
    tree_[capacity_ + leaf] = identity_;
    free_leaves_.push_back(leaf);
    pending_.push_back(capacity_ + leaf);
    return leaf;
  }

  template <class Combine>
  void recombine_path(size_t p, const Combine& combine) {
    while (p >= 2) {
      V parent = combine(tree_[p & ~size_t(1)], tree_[p | 1]);
      p /= 2;
      tree_[p] = std::move(parent);
    }
  }

  // Every pending position is a leaf, so all sit on one level: parents are combined a level
  // at a time, each once.
  template <class Combine>
  void recombine_pending(const Combine& combine) {
    std::vector<size_t> level = std::move(pending_);
    pending_.clear();
    while (!level.empty() && level.front() >= 2) {
      for (size_t& p : level) p /= 2;
      // Leaves filled in order (a build, a load) stay in order level after level.
      if (!std::is_sorted(level.begin(), level.end())) std::sort(level.begin(), level.end());
      level.erase(std::unique(level.begin(), level.end()), level.end());
      for (const size_t q : level) tree_[q] = combine(tree_[2 * q], tree_[2 * q + 1]);
    }
  }

  template <class Combine>
  void grow(const Combine& combine) {
    const size_t c = capacity_;
    std::vector<V> grown(4 * c, identity_);
    for (size_t i = 0; i < c; ++i) grown[2 * c + i] = tree_[c + i];
    for (size_t k = 2 * c - 1; k >= 1; --k) grown[k] = combine(grown[2 * k], grown[2 * k + 1]);
    tree_ = std::move(grown);
    capacity_ = 2 * c;
    pending_.clear();  // every ancestor was just recombined
  }

  V identity_;
  std::vector<V> tree_;  // entry 1 is the root; leaf i is entry capacity + i
  size_t capacity_ = 1;
  std::vector<size_t> free_leaves_;
  std::unordered_map<E, OccurrenceList<size_t>, ElementHash<E>, ElementEqual<E>> leaves_by_value_;
  size_t next_leaf_ = 0;
  std::vector<size_t> pending_;  // leaf positions whose ancestors are stale
};

// Builds a fresh tree over `elements`, in order.
template <class E, class V, class Lift, class Combine>
std::unique_ptr<AggregateTree<E, V>> build_aggregate_tree(const V& identity,
                                                          const std::vector<E>& elements,
                                                          const Lift& lift,
                                                          const Combine& combine) {
  auto tree = std::make_unique<AggregateTree<E, V>>(identity);
  tree->insert_all(elements, lift, combine);
  return tree;
}

// The aggregate node's state: its source link and the tree (replaced whole by a rebuild).
template <class E, class V>
struct AggregateLink {
  SourceLink<E> source;
  std::shared_ptr<std::unique_ptr<AggregateTree<E, V>>> tree;
  std::shared_ptr<CollectionLock> lock = std::make_shared<CollectionLock>();
};

// One computation of the aggregate node; returns the root. A lift or combine that throws
// part-way marks the tree for a rebuild and leaves the cursor, so the next computation
// rebuilds from the source's current contents.
template <class E, class V, class Lift, class Combine>
V aggregate_step(Runtime& runtime, const AggregateLink<E, V>& a, const Lift& lift,
                 const Combine& combine) {
  runtime.get(a.source.version_node);
  auto [position, batch] = copy_new_deltas(a.source);
  if (!batch.empty()) {
    CollectionWriteGuard guard(*a.lock);
    [[maybe_unused]] ValueBatchScope<E> values;
    AggregateTree<E, V>& tree = **a.tree;
    try {
      if (tree.needs_rebuild) {
        std::vector<E> snapshot;
        uint64_t end;
        {
          CollectionReadGuard source_guard(a.source.state->lock());
          snapshot = a.source.state->snapshot();
          end = a.source.state->log_end();
        }
        *a.tree = build_aggregate_tree<E, V>(tree.identity(), snapshot, lift, combine);
        a.source.cursor->store(end);
      } else {
        tree.apply(batch, lift, combine);
        a.source.cursor->store(position + batch.size());
      }
    } catch (...) {
      tree.needs_rebuild = true;
      throw;
    }
  }
  CollectionReadGuard guard(*a.lock);
  return (*a.tree)->root();
}

}  // namespace velk
