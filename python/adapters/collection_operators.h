// The operators that derive collections and values from a collection: map, filter, count and
// reduce. Each builder runs with the interpreter lock held and returns without computing;
// the operator node computes on first demand by consuming its source's deltas.
#pragma once

#include "values/py_value.h"
#include "velk/collections/collection.h"
#include "velk/runtime/runtime.h"

namespace velk::py {

CollectionHandle<PyValue> build_map(Runtime& runtime, const CollectionHandle<PyValue>& source,
                                    PyObject* func);
CollectionHandle<PyValue> build_filter(Runtime& runtime, const CollectionHandle<PyValue>& source,
                                       PyObject* predicate);
// The count mirror's handle: a Python int that follows the number of elements.
NodeHandle build_count(Runtime& runtime, const CollectionHandle<PyValue>& source);
// A node holding fold_fn(list of all elements), refolded from a snapshot on every change.
NodeHandle build_reduce(Runtime& runtime, const CollectionHandle<PyValue>& source,
                        PyObject* fold_fn);

// A node holding the monoid fold of lift(x) over every occurrence, combined from identity.
NodeHandle build_aggregate(Runtime& runtime, const CollectionHandle<PyValue>& source,
                           PyObject* identity, PyObject* lift, PyObject* combine);

}  // namespace velk::py
