// Join and group-by: the operators that combine two collections by key, and that partition one
// collection by key. Builders run with the interpreter lock held and compute nothing.
#pragma once

#include "values/py_value.h"
#include "velk/collections/collection.h"
#include "velk/collections/group_by.h"
#include "velk/collections/join.h"
#include "velk/runtime/runtime.h"

namespace velk::py {

// key_fn(x) for each element; requires the interpreter lock.
std::vector<PyValue> keys_of(PyObject* key_fn, const std::vector<PyValue>& elements);
// key_fn(x) for the element of each delta (only the Insert deltas when `inserts_only`); takes
// the interpreter lock for the batch.
std::vector<PyValue> keys_of_deltas(PyObject* key_fn, const std::vector<Delta<PyValue>>& batch,
                                    bool inserts_only);

// The derived collection of (l, r) tuples with left_key(l) == right_key(r).
CollectionHandle<PyValue> build_join(Runtime& runtime, const CollectionHandle<PyValue>& left,
                                     const CollectionHandle<PyValue>& right, PyObject* left_key,
                                     PyObject* right_key);

// The collection of (first, second) tuples that follows a pair state maintained by `pair_node`.
CollectionHandle<PyValue> build_tuple_stage(Runtime& runtime,
                                            const std::shared_ptr<PairState<PyValue>>& pairs,
                                            Velk<uint64_t> pair_node);

struct GroupedHandle {
  std::shared_ptr<GroupTables<PyValue>> tables;
  Velk<uint64_t> router;
};

// Replaces the groups with fresh empty tables (a cleared GroupedCollection object's).
inline void detach(GroupedHandle& handle) {
  auto empty = std::make_shared<GroupTables<PyValue>>();
  handle.tables.swap(empty);
}

GroupedHandle build_group_by(Runtime& runtime, const CollectionHandle<PyValue>& source,
                             PyObject* key_fn);

}  // namespace velk::py
