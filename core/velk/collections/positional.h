// Window and pairwise: operators that turn a sorted collection's order into a collection of
// runs of consecutive elements (windows) or of neighbouring pairs. They follow the sorted
// state's positional change log with a mirror of the elements in order, never looking at keys.
//
// Lock order: the mirror, then the intermediate state; never the sorted state with them.
#pragma once

#include <algorithm>
#include <vector>

#include "velk/collections/join.h"
#include "velk/collections/sorted_collection.h"

namespace velk {

template <class E>
using Window = std::vector<E>;
template <class E>
using WindowState = CollectionState<Window<E>>;

// A copy of the sorted elements as of the positional node's cursor.
template <class E>
struct SortedMirror {
  mutable CollectionLock lock;
  ChunkedSequence<E> elements;  // guarded by lock

  template <class Visit>
  void for_each_value(Visit&& visit) const {
    elements.for_each(visit);
  }
};

// Windows of `size` consecutive elements. Requires the mirror's and the output's write locks.
template <class E>
struct WindowRule {
  size_t size;

  // The windows of `m` starting at s = lo .. hi (inclusive, ascending), signed bounds.
  template <class Op>
  void each(const ChunkedSequence<E>& m, int64_t lo, int64_t hi, Op op) const {
    for (int64_t s = std::max<int64_t>(0, lo); s <= hi; ++s) op(window_at(m, size_t(s)));
  }

  Window<E> window_at(const ChunkedSequence<E>& m, size_t start) const {
    Window<E> w;
    w.reserve(size);
    m.for_range(start, size, [&](const E& e) { w.push_back(e); });
    return w;
  }

  // Every window, read in one pass over the elements rather than located one by one.
  void seed(const ChunkedSequence<E>& m, WindowState<E>& out) const {
    if (m.size() < size) return;
    std::vector<const E*> all;
    all.reserve(m.size());
    m.for_each([&all](const E& e) { all.push_back(&e); });
    std::vector<Window<E>> windows(all.size() - size + 1);
    for (size_t s = 0; s < windows.size(); ++s) {
      prefetch_ahead(all, s + size - 1, [](const E* e) -> const E& { return *e; });
      windows[s].reserve(size);
      for (size_t i = s; i < s + size; ++i) windows[s].push_back(*all[i]);
    }
    out.seed(std::move(windows));
  }

  void apply(const SortedChange<E>& change, ChunkedSequence<E>& m, WindowState<E>& out) const {
    const int64_t k = int64_t(size), n = int64_t(m.size()), p = int64_t(change.position);
    if (p > n || (change.kind == DeltaKind::Delete && p >= n)) {
      fail_index_out_of_range("sorted mirror", uint64_t(p), uint64_t(n));
    }
    auto remove = [&](const Window<E>& w) { out.remove(w); };
    auto insert = [&](Window<E> w) { out.insert(std::move(w)); };
    if (change.kind == DeltaKind::Insert) {
      if (p >= 1 && n >= k) each(m, p - k + 1, std::min(p - 1, n - k), remove);
      m.insert(size_t(p), change.element);
      if (n + 1 >= k) each(m, p - k + 1, std::min(p, n + 1 - k), insert);
    } else {
      if (n >= k) each(m, p - k + 1, std::min(p, n - k), remove);
      m.erase(size_t(p));
      if (p >= 1 && n - 1 >= k) each(m, p - k + 1, std::min(p - 1, n - 1 - k), insert);
    }
  }
};

// Neighbouring pairs (earlier, later). Requires the mirror's and the output's write locks.
template <class E>
struct PairRule {
  void seed(const ChunkedSequence<E>& m, PairState<E>& out) const {
    std::vector<std::pair<E, E>> pairs;
    pairs.reserve(m.size());
    const E* previous = nullptr;
    m.for_each([&](const E& e) {
      if (previous != nullptr) pairs.emplace_back(*previous, e);
      previous = &e;
    });
    out.seed(std::move(pairs));
  }

  void apply(const SortedChange<E>& change, ChunkedSequence<E>& m, PairState<E>& out) const {
    const size_t n = m.size(), p = size_t(change.position);
    if (p > n || (change.kind == DeltaKind::Delete && p >= n)) {
      fail_index_out_of_range("sorted mirror", p, n);
    }
    const E& x = change.element;
    if (change.kind == DeltaKind::Insert) {
      if (p >= 1) {
        if (p < n) out.remove({m[p - 1], m[p]});
        out.insert({m[p - 1], x});
      }
      if (p < n) out.insert({x, m[p]});
      m.insert(p, x);
    } else {
      if (p >= 1) out.remove({m[p - 1], m[p]});
      if (p + 1 < n) out.remove({m[p], m[p + 1]});
      if (p >= 1 && p + 1 < n) out.insert({m[p - 1], m[p + 1]});
      m.erase(p);
    }
  }
};

// The positional node's link to its sorted source.
template <class E>
struct SortedLink {
  std::shared_ptr<SortedState<E>> state;
  std::shared_ptr<DeltaCursor> cursor;
  Velk<uint64_t> sort_node;
};

// One computation of a window or pair node: reads the sort node, copies the changes since the
// cursor, applies them to the mirror and the intermediate state with `rule`. Returns the
// intermediate state's version.
template <class E, class Out, class Rule>
uint64_t positional_step(Runtime& runtime, const SortedLink<E>& source, SortedMirror<E>& mirror,
                         CollectionState<Out>& out, const Rule& rule) {
  runtime.get(source.sort_node);
  const uint64_t position = source.cursor->load();
  std::vector<SortedChange<E>> changes;
  {
    CollectionReadGuard guard(source.state->lock());
    if (position < source.state->log_end()) changes = source.state->changes_since(position);
  }
  if (changes.empty()) return collection_version(out);
  CollectionWriteGuard mirror_guard(mirror.lock);
  CollectionWriteGuard out_guard(out.lock());
  [[maybe_unused]] ValueBatchScope<E> values;
  auto is_insert = [](const SortedChange<E>& c) { return c.kind == DeltaKind::Insert; };
  out.reserve(size_t(std::count_if(changes.begin(), changes.end(), is_insert)));
  for (const SortedChange<E>& change : changes) rule.apply(change, mirror.elements, out);
  source.cursor->store(position + changes.size());
  return out.version();
}

// Subscribes to a sorted state and seeds a mirror and an intermediate state with `rule`.
template <class E, class Out, class Rule>
std::shared_ptr<CollectionState<Out>> subscribe_positional(
    const std::shared_ptr<SortedState<E>>& sorted, SortedLink<E>& link, SortedMirror<E>& mirror,
    const Rule& rule, Contents contents = Contents::Counted) {
  {
    CollectionWriteGuard guard(sorted->lock());
    sorted->check_live();
    auto [cursor, elements] = sorted->subscribe();
    link.cursor = std::move(cursor);
    mirror.elements.assign(std::move(elements));
  }
  link.state = sorted;
  auto out = std::make_shared<CollectionState<Out>>(Matching::Value, contents);
  CollectionWriteGuard guard(out->lock());
  [[maybe_unused]] ValueBatchScope<E> values;
  rule.seed(mirror.elements, *out);
  return out;
}

}  // namespace velk
