// The SortedCollection class: a collection's elements in key order. snapshot and snapshot_len
// read the state as of the sort node's last computation; reading version_node runs it.
#include "collection_operators.h"
#include "method.h"
#include "sorted_operators.h"
#include "version_mirror.h"

namespace velk::py {

PyTypeObject* sorted_collection_type = nullptr;

namespace {

using SortedObject = EngineObject<SortedHandle>;

SortedObject* as_sorted(PyObject* self) { return reinterpret_cast<SortedObject*>(self); }

size_t size_argument(PyObject* obj) {
  if (!PyLong_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "window() argument 'size' must be int, not %.200s",
                 Py_TYPE(obj)->tp_name);
    throw PyErrOccurred{};
  }
  const Py_ssize_t size = PyLong_AsSsize_t(obj);
  if (size < 0) {
    PyErr_Clear();
    PyErr_SetString(PyExc_OverflowError,
                    "window() argument 'size' must be a non-negative int that fits a machine word");
    throw PyErrOccurred{};
  }
  return size_t(size);
}

PyObject* sorted_snapshot(PyObject* self, PyObject*) {
  return held_method([&] {
    std::vector<PyValue> elements;
    {
      const SortedState<PyValue>& state = *as_sorted(self)->handle.state;
      CollectionReadGuard guard(state.lock());
      state.check_live();
      elements = state.elements();
    }
    OwnedRef list = OwnedRef::checked(PyList_New(Py_ssize_t(elements.size())));
    for (size_t i = 0; i < elements.size(); ++i) {
      PyList_SET_ITEM(list.get(), Py_ssize_t(i), OwnedRef::new_ref(elements[i].get()).release());
    }
    return list.release();
  });
}

PyObject* sorted_snapshot_len(PyObject* self, PyObject*) {
  return held_method([&] {
    const SortedState<PyValue>& state = *as_sorted(self)->handle.state;
    CollectionReadGuard guard(state.lock());
    state.check_live();
    return PyLong_FromSize_t(state.size());
  });
}

PyObject* sorted_version_node(PyObject* self, void*) {
  return held_method([&] {
    SortedObject* s = as_sorted(self);
    s->handle.state->check_live();
    return make_node_id(s->mirrors->mirror_of(*s->runtime, s->handle.sort_node)).release();
  });
}

PyObject* sorted_window(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return held_method("window", {"size"}, {args, nargs, kwnames}, [&](PyObject** argv) {
    const size_t size = size_argument(argv[0]);
    SortedObject* s = as_sorted(self);
    return make_collection(share_of(s), build_window(*s->runtime, s->handle, size)).release();
  });
}

PyObject* sorted_pairwise(PyObject* self, PyObject*) {
  return held_method([&] {
    SortedObject* s = as_sorted(self);
    return make_collection(share_of(s), build_pairwise(*s->runtime, s->handle)).release();
  });
}

PyMethodDef sorted_methods[] = {
    VELK_CLASS_GETITEM,
    {"snapshot", sorted_snapshot, METH_NOARGS, "snapshot($self)\n--\n\n"},
    {"snapshot_len", sorted_snapshot_len, METH_NOARGS, "snapshot_len($self)\n--\n\n"},
    {"window", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(sorted_window)),
     METH_FASTCALL | METH_KEYWORDS, "window($self, size)\n--\n\n"},
    {"pairwise", sorted_pairwise, METH_NOARGS, "pairwise($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef sorted_getset[] = {
    {"version_node", sorted_version_node, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* create_sorted_collection_type() {
  static PyType_Slot slots[] = {
      {Py_tp_methods, sorted_methods},
      {Py_tp_getset, sorted_getset},
      {Py_tp_dealloc, reinterpret_cast<void*>(engine_object_dealloc<SortedHandle>)},
      {Py_tp_traverse, reinterpret_cast<void*>(engine_object_traverse<SortedHandle>)},
      {Py_tp_clear, reinterpret_cast<void*>(engine_object_clear<SortedHandle>)},
      {Py_tp_members, weaklist_members<SortedObject>()},
      {0, nullptr},
  };
  static PyType_Spec spec = {
      "velk_concurrent.SortedCollection", sizeof(SortedObject), 0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

OwnedRef make_sorted_collection(const EngineShare& share, SortedHandle sorted) {
  return make_engine_object(sorted_collection_type, share, std::move(sorted));
}

}  // namespace velk::py
