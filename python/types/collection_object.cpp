// The Collection class: a root collection fed by insert and delete, or an operator's output.
#include "adapters/collection_operators.h"
#include "adapters/join_group_operators.h"
#include "adapters/sorted_operators.h"
#include "adapters/version_mirror.h"
#include "support/method.h"
#include "types/objects.h"
#include "velk/collections/collection_ops.h"

namespace velk::py {

namespace {

CollectionObject* as_collection(PyObject* self) {
  return reinterpret_cast<CollectionObject*>(self);
}

PyObject* collection_insert_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return method<raise_mapped>("insert", {"value"}, self, {args, nargs, kwnames},
                              [&](PyObject* value) {
                                CollectionObject* c = as_collection(self);
                                PyValue element = PyValue::new_ref(value);
                                {
                                  ReleasedRegion region;
                                  collection_insert(*c->runtime, c->handle, std::move(element));
                                }
                                Py_RETURN_NONE;
                              });
}

PyObject* collection_delete_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return method<raise_mapped>("delete", {"value"}, self, {args, nargs, kwnames},
                              [&](PyObject* value) {
                                CollectionObject* c = as_collection(self);
                                const PyValue element = PyValue::new_ref(value);
                                bool found;
                                {
                                  ReleasedRegion region;
                                  found = collection_remove(*c->runtime, c->handle, element);
                                }
                                return PyBool_FromLong(found);
                              });
}

// The changes of `kind` for every value `values` yields, taken whole before anything changes:
// an iterator that raises, or a Ctrl-C meanwhile (an iterator written in C runs no Python code
// that would notice it), leaves the collection as it was.
std::vector<Delta<PyValue>> changes_of(PyObject* values, DeltaKind kind) {
  OwnedRef iterator = OwnedRef::checked(PyObject_GetIter(values));
  std::vector<Delta<PyValue>> changes;
  const Py_ssize_t hint = PyObject_LengthHint(values, 0);
  if (hint < 0) throw PyErrOccurred{};
  changes.reserve(size_t(hint));
  while (PyObject* value = PyIter_Next(iterator.get())) {
    changes.push_back(Delta<PyValue>{kind, PyValue::steal(value)});
    if (changes.size() % kInterruptCheckElements == 0 && PyErr_CheckSignals() != 0)
      throw PyErrOccurred{};
  }
  if (PyErr_Occurred()) throw PyErrOccurred{};
  return changes;
}

// Applies the batch with the interpreter lock released; the changes left over (deletes that
// found nothing) are dropped after it is taken back.
uint64_t apply_batch(CollectionObject* c, std::vector<Delta<PyValue>>& changes) {
  ReleasedRegion region;
  return collection_apply(*c->runtime, c->handle, changes);
}

PyObject* collection_insert_many(PyObject* self, PyObject* values) {
  return method<raise_mapped>("insert_many", {"values"}, self, {&values, 1, nullptr},
                              [&](Iterable iterable) {
                                CollectionObject* c = as_collection(self);
                                // refused before the iterable runs any code
                                if (c->handle.derived) fail(kDerivedMutationMessage);
                                auto changes = changes_of(iterable.object, DeltaKind::Insert);
                                apply_batch(c, changes);
                                Py_RETURN_NONE;
                              });
}

PyObject* collection_delete_many(PyObject* self, PyObject* values) {
  return method<raise_mapped>("delete_many", {"values"}, self, {&values, 1, nullptr},
                              [&](Iterable iterable) {
                                CollectionObject* c = as_collection(self);
                                // refused before the iterable runs any code
                                if (c->handle.derived) fail(kDerivedMutationMessage);
                                auto changes = changes_of(iterable.object, DeltaKind::Delete);
                                return PyLong_FromUnsignedLongLong(apply_batch(c, changes));
                              });
}

PyObject* collection_snapshot_len(PyObject* self, PyObject*) {
  return method<raise_held>("snapshot_len", {}, self, {}, [&] {
    return PyLong_FromUnsignedLongLong(collection_size(*as_collection(self)->handle.state));
  });
}

PyObject* collection_version_node(PyObject* self, void*) {
  return method<raise_held>("version_node", {}, self, {}, [&](const ModuleState& module) {
    CollectionObject* c = as_collection(self);
    c->handle.state->check_live();
    NodeHandle mirror = c->mirrors->mirror_of(*c->runtime, c->handle.version_node);
    return make_node_id(module, mirror).release();
  });
}

// A new Collection over `build(runtime, source handle)`, sharing this one's runtime and cache.
template <class Build>
PyObject* derived(const ModuleState& module, PyObject* self, Build build) {
  CollectionObject* c = as_collection(self);
  return make_collection(module, share_of(c), build(*c->runtime, c->handle)).release();
}

PyObject* collection_map(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return method<raise_held>(
      "map", {"func"}, self, {args, nargs, kwnames},
      [&](const ModuleState& module, Callable func) {
        return derived(module, self, [&](Runtime& rt, const CollectionHandle<PyValue>& source) {
          return build_map(rt, source, func.object);
        });
      });
}

PyObject* collection_filter(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return method<raise_held>(
      "filter", {"predicate"}, self, {args, nargs, kwnames},
      [&](const ModuleState& module, Callable predicate) {
        return derived(module, self, [&](Runtime& rt, const CollectionHandle<PyValue>& source) {
          return build_filter(rt, source, predicate.object);
        });
      });
}

PyObject* collection_count(PyObject* self, PyObject*) {
  return method<raise_held>("count", {}, self, {}, [&](const ModuleState& module) {
    CollectionObject* c = as_collection(self);
    return make_node_id(module, build_count(*c->runtime, c->handle)).release();
  });
}

PyObject* collection_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return method<raise_held>(
      "reduce", {"fold_fn"}, self, {args, nargs, kwnames},
      [&](const ModuleState& module, Callable fold_fn) {
        CollectionObject* c = as_collection(self);
        return make_node_id(module, build_reduce(*c->runtime, c->handle, fold_fn.object)).release();
      });
}

PyObject* collection_join(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return method<raise_held>(
      "join", {"right", "left_key", "right_key"}, self, {args, nargs, kwnames},
      [&](const ModuleState& module, CollectionObject* right, Callable left_key,
          Callable right_key) {
        return derived(module, self, [&](Runtime& rt, const CollectionHandle<PyValue>& left) {
          return build_join(rt, left, right->handle, left_key.object, right_key.object);
        });
      });
}

PyObject* collection_group_by(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return method<raise_held>(
      "group_by", {"key_fn"}, self, {args, nargs, kwnames},
      [&](const ModuleState& module, Callable key_fn) {
        CollectionObject* c = as_collection(self);
        GroupedHandle grouped = build_group_by(*c->runtime, c->handle, key_fn.object);
        return make_grouped_collection(module, share_of(c), std::move(grouped)).release();
      });
}

PyObject* collection_sort_by_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return method<raise_held>(
      "sort_by_key", {"key_fn"}, self, {args, nargs, kwnames},
      [&](const ModuleState& module, Callable key_fn) {
        CollectionObject* c = as_collection(self);
        SortedHandle sorted = build_sort_by_key(*c->runtime, c->handle, key_fn.object);
        return make_sorted_collection(module, share_of(c), std::move(sorted)).release();
      });
}

PyObject* collection_aggregate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return method<raise_held>(
      "aggregate", {"identity", "lift", "combine"}, self, {args, nargs, kwnames},
      [&](const ModuleState& module, PyObject* identity, Callable lift, Callable combine) {
        CollectionObject* c = as_collection(self);
        NodeHandle node =
            build_aggregate(*c->runtime, c->handle, identity, lift.object, combine.object);
        return make_node_id(module, node).release();
      });
}

#define VELK_SIG(signature) signature "\n--\n\n"
PyCFunction fast(PyObject* (*f)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(f));
}
constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef collection_methods[] = {
    VELK_CLASS_GETITEM,
    {"insert", fast(collection_insert_method), kFast, VELK_SIG("insert($self, value)")},
    {"delete", fast(collection_delete_method), kFast, VELK_SIG("delete($self, value)")},
    {"insert_many", collection_insert_many, METH_O,
     VELK_SIG("insert_many($self, values, /)") "Adds one occurrence of every value the iterable "
                                               "yields, as one change."},
    {"delete_many", collection_delete_many, METH_O,
     VELK_SIG("delete_many($self, values, /)") "Removes one occurrence of every value the "
                                               "iterable yields, as one change; returns how "
                                               "many were removed."},
    {"snapshot_len", collection_snapshot_len, METH_NOARGS, VELK_SIG("snapshot_len($self)")},
    {"map", fast(collection_map), kFast, VELK_SIG("map($self, func)")},
    {"filter", fast(collection_filter), kFast, VELK_SIG("filter($self, predicate)")},
    {"count", collection_count, METH_NOARGS, VELK_SIG("count($self)")},
    {"reduce", fast(collection_reduce), kFast, VELK_SIG("reduce($self, fold_fn)")},
    {"join", fast(collection_join), kFast, VELK_SIG("join($self, right, left_key, right_key)")},
    {"group_by", fast(collection_group_by), kFast, VELK_SIG("group_by($self, key_fn)")},
    {"aggregate", fast(collection_aggregate), kFast,
     VELK_SIG(
         "aggregate($self, identity, lift, combine)") "Monoid fold of lift(x) over every element, "
                                                      "combined from identity, maintained from "
                                                      "changes at O(log n) cost per change.\nSee "
                                                      "the velk C++ library documentation "
                                                      "(velk::AggregateTree in aggregate.h) for "
                                                      "the associativity contract that combine "
                                                      "and identity must meet."},
    {"sort_by_key", fast(collection_sort_by_key), kFast, VELK_SIG("sort_by_key($self, key_fn)")},
    {nullptr, nullptr, 0, nullptr},
};
#undef VELK_SIG

PyGetSetDef collection_getset[] = {
    {"version_node", collection_version_node, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* create_collection_type(PyObject* module) {
  static PyType_Slot slots[] = {
      {Py_tp_methods, collection_methods},
      {Py_tp_getset, collection_getset},
      {Py_tp_dealloc, reinterpret_cast<void*>(engine_object_dealloc<CollectionHandle<PyValue>>)},
      {Py_tp_traverse, reinterpret_cast<void*>(engine_object_traverse<CollectionHandle<PyValue>>)},
      {Py_tp_clear, reinterpret_cast<void*>(engine_object_clear<CollectionHandle<PyValue>>)},
      {Py_tp_members, weaklist_members<CollectionObject>()},
      {0, nullptr},
  };
  static PyType_Spec spec = {"velk_concurrent.Collection", sizeof(CollectionObject), 0,
                             kClassFlags | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                             slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

OwnedRef make_collection(const ModuleState& module, const EngineShare& share,
                         CollectionHandle<PyValue> handle) {
  return make_engine_object(module.collection, share, std::move(handle));
}

}  // namespace velk::py
