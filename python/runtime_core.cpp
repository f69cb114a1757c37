// Runtime methods: creation of inputs and queries, reads and sets, liveness and counts.
#include "args.h"
#include "errors.h"
#include "gil.h"
#include "query_adapter.h"
#include "runtime_methods.h"
#include "types.h"
#include "version_mirror.h"
#include "velk/collection_ops.h"

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
        new (&obj->mirrors) std::shared_ptr<VersionMirrorCache>(std::make_shared<VersionMirrorCache>());
        return self.release();
      },
      raise_held);
}

void runtime_dealloc(PyObject* self) {
  auto* obj = reinterpret_cast<RuntimeObject*>(self);
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
  drain_pending_releases();
  static const char* const names[] = {"value"};
  PyObject* argv[1];
  if (!parse_arguments("create_input", args, nargs, kwnames, names, argv)) return nullptr;
  return boundary(
      [&] {
        const NodeHandle node = engine(self).create_input(PyValue::new_ref(argv[0]));
        return make_node_id(node).release();
      },
      raise_held);
}

PyObject* runtime_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  drain_pending_releases();
  static const char* const names[] = {"node"};
  PyObject* argv[1];
  if (!parse_arguments("get", args, nargs, kwnames, names, argv)) return nullptr;
  MappedCall call;
  return boundary(
      [&] {
        const NodeHandle node = node_argument("get", "node", argv[0]);
        HazardHolder holder;
        const PyValue* value;
        {
          ReleasedRegion region;
          value = &engine(self).get_protected(node, holder);
        }
        return OwnedRef::new_ref(value->get()).release();
      },
      raise_mapped);
}

PyObject* runtime_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  drain_pending_releases();
  static const char* const names[] = {"node", "value"};
  PyObject* argv[2];
  if (!parse_arguments("set", args, nargs, kwnames, names, argv)) return nullptr;
  MappedCall call;
  return boundary(
      [&] {
        const NodeHandle node = node_argument("set", "node", argv[0]);
        PyValue value = PyValue::new_ref(argv[1]);
        {
          ReleasedRegion region;
          engine(self).set(node, std::move(value));
        }
        Py_RETURN_NONE;
      },
      raise_mapped);
}

PyObject* runtime_is_alive(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  drain_pending_releases();
  static const char* const names[] = {"node"};
  PyObject* argv[1];
  if (!parse_arguments("is_alive", args, nargs, kwnames, names, argv)) return nullptr;
  return boundary(
      [&] {
        const NodeHandle node = node_argument("is_alive", "node", argv[0]);
        return PyBool_FromLong(engine(self).is_alive(ErasedVelk(node)));
      },
      raise_held);
}

PyObject* runtime_create_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  drain_pending_releases();
  static const char* const names[] = {"py_func"};
  PyObject* argv[1];
  if (!parse_arguments("create_query", args, nargs, kwnames, names, argv)) return nullptr;
  return boundary(
      [&] {
        const NodeHandle node =
            engine(self).create_query<PyValue>(PythonQuery(PyValue::new_ref(argv[0])));
        return make_node_id(node).release();
      },
      raise_held);
}

PyObject* runtime_create_collection(PyObject* self, PyObject*) {
  drain_pending_releases();
  return boundary(
      [&] {
        // A collection's version node is an input: refused inside a compute like create_input.
        if (SharedDepStack::current().in_compute()) fail("create_input called during compute; not permitted");
        auto* obj = reinterpret_cast<RuntimeObject*>(self);
        return make_collection(obj->runtime, obj->mirrors,
                               create_collection_node<PyValue>(*obj->runtime, false))
            .release();
      },
      raise_held);
}

PyObject* runtime_node_count(PyObject* self, PyObject*) {
  drain_pending_releases();
  return boundary([&] { return PyLong_FromUnsignedLong(engine(self).node_count()); },
                  raise_held);
}

}  // namespace velk::py
