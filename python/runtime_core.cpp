// Runtime methods: creation of inputs, queries and collections, reads and sets, liveness and
// counts.
#include "method.h"
#include "nested_read.h"
#include "query_adapter.h"
#include "runtime_methods.h"
#include "velk/collections/collection_ops.h"
#include "version_mirror.h"

namespace velk::py {

Runtime& engine(PyObject* self) { return *reinterpret_cast<RuntimeObject*>(self)->runtime; }

PyObject* runtime_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "Runtime() takes no arguments");
    return nullptr;
  }
  OwnedRef self = OwnedRef::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  return boundary(
      [&]() -> PyObject* {
        auto* obj = reinterpret_cast<RuntimeObject*>(self.get());
        new (&obj->runtime) std::shared_ptr<Runtime>(std::make_shared<Runtime>());
        new (&obj->mirrors)
            std::shared_ptr<VersionMirrorCache>(std::make_shared<VersionMirrorCache>());
        new (&obj->roots) std::vector<std::weak_ptr<CollectionState<PyValue>>>();
        obj->weakrefs = nullptr;
        return self.release();
      },
      raise_held);
}

void runtime_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  auto* obj = reinterpret_cast<RuntimeObject*>(self);
  if (obj->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  obj->roots.~vector();
  obj->mirrors.~shared_ptr();
  obj->runtime.~shared_ptr();
  // The runtime's cells were retired, not freed: free them now (the GIL is held), like the end
  // of a released region does for replaced values.
  HazardDomain::global().reclaim_if_pending();
  drain_pending_releases();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* runtime_create_input(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return held_method("create_input", {"value"}, {args, nargs, kwnames}, [&](PyObject** argv) {
    return make_node_id(engine(self).create_input(PyValue::new_ref(argv[0]))).release();
  });
}

OwnedRef read_node(Runtime& runtime, const NodeHandle& node) {
  {
    HazardHolder holder;  // keeps the value's cell alive until its reference is taken
    if (const PyValue* value = runtime.try_get_clean(node, holder)) {
      return OwnedRef::new_ref(value->get());
    }
  }
  return read_out_of_date(runtime, node);
}

PyObject* runtime_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return mapped_method("get", {"node"}, {args, nargs, kwnames}, [&](PyObject** argv) {
    return read_node(engine(self), node_argument("get", "node", argv[0])).release();
  });
}

PyObject* runtime_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return mapped_method("set", {"node", "value"}, {args, nargs, kwnames}, [&](PyObject** argv) {
    const NodeHandle node = node_argument("set", "node", argv[0]);
    PyValue value = PyValue::new_ref(argv[1]);
    {
      ReleasedRegion region;
      engine(self).set(node, std::move(value));
    }
    Py_RETURN_NONE;
  });
}

PyObject* runtime_is_alive(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return held_method("is_alive", {"node"}, {args, nargs, kwnames}, [&](PyObject** argv) {
    const NodeHandle node = node_argument("is_alive", "node", argv[0]);
    return PyBool_FromLong(engine(self).is_alive(ErasedVelk(node)));
  });
}

PyObject* runtime_create_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return held_method("create_query", {"py_func"}, {args, nargs, kwnames}, [&](PyObject** argv) {
    PythonQuery query(PyValue::new_ref(argv[0]));
    return make_node_id(engine(self).create_query<PyValue>(std::move(query))).release();
  });
}

PyObject* runtime_node_count(PyObject* self, PyObject*) {
  return held_method([&] { return PyLong_FromUnsignedLong(engine(self).node_count()); });
}

PyObject* runtime_create_collection(PyObject* self, PyObject*) {
  return held_method([&] {
    // A collection's version node is an input: refused inside a compute like create_input.
    if (SharedDepStack::current().in_compute()) {
      fail("create_input called during compute; not permitted");
    }
    auto* obj = reinterpret_cast<RuntimeObject*>(self);
    CollectionHandle<PyValue> handle = create_collection_node<PyValue>(*obj->runtime, false);
    remember_root(*obj, handle.state);
    return make_collection(share_of(obj), std::move(handle)).release();
  });
}

}  // namespace velk::py
