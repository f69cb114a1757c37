// Sorted collections and their positional operators: sort_by_key, window and pairwise.
// Builders run with the interpreter lock held and compute nothing.
#pragma once

#include "values/py_value.h"
#include "velk/collections/collection.h"
#include "velk/collections/sorted_collection.h"
#include "velk/runtime/runtime.h"

namespace velk::py {

struct SortedHandle {
  std::shared_ptr<SortedState<PyValue>> state;
  Velk<uint64_t> sort_node;
};

// Replaces the sorted state with a fresh empty one (a cleared SortedCollection object's).
inline void detach(SortedHandle& handle) {
  auto empty = std::make_shared<SortedState<PyValue>>();
  handle.state.swap(empty);
}

SortedHandle build_sort_by_key(Runtime& runtime, const CollectionHandle<PyValue>& source,
                               PyObject* key_fn);
// The derived collection of lists of `size` consecutive elements ("window size must be
// positive" for 0).
CollectionHandle<PyValue> build_window(Runtime& runtime, const SortedHandle& sorted, size_t size);
// The derived collection of (earlier, later) tuples of neighbouring elements.
CollectionHandle<PyValue> build_pairwise(Runtime& runtime, const SortedHandle& sorted);

}  // namespace velk::py
