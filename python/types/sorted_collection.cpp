// The SortedCollection class: a collection's elements in key order. snapshot and snapshot_len
// read the state as of the sort node's last computation; reading version_node runs it.
#include "adapters/collection_operators.h"
#include "adapters/sorted_operators.h"
#include "adapters/version_mirror.h"
#include "support/method.h"
#include "types/objects.h"

namespace velk::py {

namespace {

using SortedObject = EngineObject<SortedHandle>;

SortedObject* as_sorted(PyObject* self) { return reinterpret_cast<SortedObject*>(self); }

PyObject* sorted_snapshot(PyObject* self, PyObject*) {
  return method<raise_held>("snapshot", {}, self, {}, [&] {
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
  return method<raise_held>("snapshot_len", {}, self, {}, [&] {
    const SortedState<PyValue>& state = *as_sorted(self)->handle.state;
    CollectionReadGuard guard(state.lock());
    state.check_live();
    return PyLong_FromSize_t(state.size());
  });
}

PyObject* sorted_version_node(PyObject* self, void*) {
  return method<raise_held>("version_node", {}, self, {}, [&](const ModuleState& module) {
    SortedObject* s = as_sorted(self);
    s->handle.state->check_live();
    NodeHandle mirror = s->mirrors->mirror_of(*s->runtime, s->handle.sort_node);
    return make_node_id(module, mirror).release();
  });
}

PyObject* sorted_window(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return method<raise_held>(
      "window", {"size"}, self, {args, nargs, kwnames},
      [&](const ModuleState& module, Length size) {
        SortedObject* s = as_sorted(self);
        CollectionHandle<PyValue> window = build_window(*s->runtime, s->handle, size.value);
        return make_collection(module, share_of(s), std::move(window)).release();
      });
}

PyObject* sorted_pairwise(PyObject* self, PyObject*) {
  return method<raise_held>("pairwise", {}, self, {}, [&](const ModuleState& module) {
    SortedObject* s = as_sorted(self);
    CollectionHandle<PyValue> pairs = build_pairwise(*s->runtime, s->handle);
    return make_collection(module, share_of(s), std::move(pairs)).release();
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

PyTypeObject* create_sorted_collection_type(PyObject* module) {
  static PyType_Slot slots[] = {
      {Py_tp_methods, sorted_methods},
      {Py_tp_getset, sorted_getset},
      {Py_tp_dealloc, reinterpret_cast<void*>(engine_object_dealloc<SortedHandle>)},
      {Py_tp_traverse, reinterpret_cast<void*>(engine_object_traverse<SortedHandle>)},
      {Py_tp_clear, reinterpret_cast<void*>(engine_object_clear<SortedHandle>)},
      {Py_tp_members, weaklist_members<SortedObject>()},
      {0, nullptr},
  };
  static PyType_Spec spec = {"velk_concurrent.SortedCollection", sizeof(SortedObject), 0,
                             kClassFlags | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                             slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

OwnedRef make_sorted_collection(const ModuleState& module, const EngineShare& share,
                                SortedHandle sorted) {
  return make_engine_object(module.sorted_collection, share, std::move(sorted));
}

}  // namespace velk::py
