// Runtime methods: creation of inputs, queries and collections, reads and sets, liveness and
// counts.
#include "adapters/nested_read.h"
#include "adapters/query_adapter.h"
#include "adapters/version_mirror.h"
#include "support/method.h"
#include "types/runtime_methods.h"
#include "velk/collections/collection_ops.h"
#include "velk/graph/dep_stack.h"
#include "velk/runtime/engine_steps.h"

namespace velk::py {

Runtime& engine(PyObject* self) { return *reinterpret_cast<RuntimeObject*>(self)->runtime; }

PyObject* runtime_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "Runtime() takes no arguments");
    return nullptr;
  }
  OwnedRef self = OwnedRef::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  // Every field is built empty first, which cannot fail: the dealloc of an object whose
  // engine could not be made (the owned reference drops it) then meets only built fields,
  // and so does the collector, which tracks the object already.
  auto* obj = reinterpret_cast<RuntimeObject*>(self.get());
  new (&obj->runtime) std::shared_ptr<Runtime>();
  new (&obj->mirrors) std::shared_ptr<VersionMirrorCache>();
  new (&obj->roots) CollectionRoots();
  obj->weakrefs = nullptr;
  return boundary(
      state_of(type),
      [&]() -> PyObject* {
        obj->runtime = std::make_shared<Runtime>();
        obj->mirrors = std::make_shared<VersionMirrorCache>();
        return self.release();
      },
      raise_held);
}

void runtime_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  auto* obj = reinterpret_cast<RuntimeObject*>(self);
  if (obj->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  obj->roots.~CollectionRoots();
  obj->mirrors.~shared_ptr();
  obj->runtime.~shared_ptr();
  // The runtime's cells were retired, not freed: free them now (the GIL is held), like the end
  // of a released region does for replaced values.
  HazardDomain::global().reclaim_if_pending();
  drain_pending_releases();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  drop_reference(type);
}

int runtime_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  const auto* obj = reinterpret_cast<RuntimeObject*>(self);
  if (!obj->runtime) return 0;  // being built, or its engine could not be made
  return traverse_engine(*obj->runtime, obj->roots, visit, arg);
}

int runtime_clear(PyObject* self) {
  auto* obj = reinterpret_cast<RuntimeObject*>(self);
  if (obj->runtime) release_engine(*obj->runtime, obj->roots);
  return 0;
}

PyObject* runtime_create_input(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return method<raise_held>("create_input", {"value"}, self, {args, nargs, kwnames},
                            [&](const ModuleState& module, PyObject* value) {
                              NodeHandle node = engine(self).create_input(PyValue::new_ref(value));
                              return make_node_id(module, node).release();
                            });
}

PyObject* runtime_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return method<raise_mapped>(
      "get", {"node"}, self, {args, nargs, kwnames},
      [&](const NodeHandle& node) { return read_node(engine(self), node).release(); });
}

PyObject* runtime_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return method<raise_mapped>("set", {"node", "value"}, self, {args, nargs, kwnames},
                              [&](const NodeHandle& node, PyObject* object) {
                                PyValue value = PyValue::new_ref(object);
                                {
                                  ReleasedRegion region;
                                  engine(self).set(node, std::move(value));
                                }
                                Py_RETURN_NONE;
                              });
}

namespace {

// The (NodeId, value) tuple or list `item`, as a tuple: a list another thread may change
// meanwhile is read whole, under its own lock on a free-threaded build. Fails naming what
// set_many was given instead.
OwnedRef unpack_pair(const ModuleState& module, PyObject* item) {
  OwnedRef pair = PyList_Check(item)    ? OwnedRef::checked(PyList_AsTuple(item))
                  : PyTuple_Check(item) ? OwnedRef::new_ref(item)
                                        : OwnedRef();
  const bool whole = pair && PyTuple_GET_SIZE(pair.get()) == 2;
  PyObject* node = whole ? PyTuple_GET_ITEM(pair.get(), 0) : nullptr;
  if (node == nullptr || !Py_IS_TYPE(node, module.node_id)) {
    PyErr_Format(PyExc_TypeError,
                 "set_many() argument 'pairs' must hold (NodeId, value) pairs, not %.200s",
                 Py_TYPE(node == nullptr ? item : node)->tp_name);
    throw PyErrOccurred{};
  }
  return pair;
}

// Every pair converted, with the interpreter lock, before the engine sees any.
SetBatch batch_of(const ModuleState& module, PyObject* pairs) {
  if (Py_TYPE(pairs)->tp_iter == nullptr && !PySequence_Check(pairs)) {
    wrong_argument_type({"set_many", "pairs", module}, "an iterable of (NodeId, value) pairs",
                        pairs);
  }
  const OwnedRef iterator = OwnedRef::checked(PyObject_GetIter(pairs));
  SetBatch batch;
  size_t read = 0;
  while (const OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()))) {
    const OwnedRef pair = unpack_pair(module, item.get());
    batch.add(reinterpret_cast<NodeIdObject*>(PyTuple_GET_ITEM(pair.get(), 0))->handle,
              PyValue::new_ref(PyTuple_GET_ITEM(pair.get(), 1)));
    // A Ctrl-C while a C iterator runs (no Python code to notice it) stops the batch here.
    if (++read % kInterruptCheckElements == 0 && PyErr_CheckSignals() != 0) throw PyErrOccurred{};
  }
  if (PyErr_Occurred()) throw PyErrOccurred{};
  return batch;
}

}  // namespace

PyObject* runtime_set_many(PyObject* self, PyObject* pairs) {
  return method<raise_mapped>("set_many", {}, self, {}, [&](const ModuleState& module) {
    SetBatch batch = batch_of(module, pairs);
    {
      ReleasedRegion region;
      engine(self).set_many(batch);
    }
    Py_RETURN_NONE;
  });
}

PyObject* runtime_is_alive(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return method<raise_held>("is_alive", {"node"}, self, {args, nargs, kwnames},
                            [&](const NodeHandle& node) {
                              return PyBool_FromLong(engine(self).is_alive(ErasedVelk(node)));
                            });
}

PyObject* runtime_create_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return method<raise_held>(
      "create_query", {"py_func"}, self, {args, nargs, kwnames},
      [&](const ModuleState& module, Callable function) {
        PythonQuery query(PyValue::new_ref(function.object),
                          PyValue::new_ref(reinterpret_cast<PyObject*>(module.runtime_ref)));
        return make_node_id(module, engine(self).create_query<PyValue>(std::move(query))).release();
      });
}

PyObject* runtime_set_cutoff(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return method<raise_held>(
      "set_cutoff", {"node", "equal"}, self, {args, nargs, kwnames},
      [&](const ModuleState& module, const NodeHandle& node, PyObject* equal) {
        std::shared_ptr<NodeEqual<PyValue>> own;
        if (equal != Py_None) {
          if (!PyCallable_Check(equal)) {
            wrong_argument_type({"set_cutoff", "equal", module}, "callable or None", equal);
          }
          own = std::make_shared<PythonEqual>(PyValue::new_ref(equal));
        }
        engine(self).set_cutoff(node, std::move(own));
        Py_RETURN_NONE;
      });
}

PyObject* runtime_node_count(PyObject* self, PyObject*) {
  return method<raise_held>("node_count", {}, self, {},
                            [&] { return PyLong_FromUnsignedLong(engine(self).node_count()); });
}

PyObject* runtime_create_collection(PyObject* self, PyObject*) {
  return method<raise_held>("create_collection", {}, self, {}, [&](const ModuleState& module) {
    // A collection's version node is an input: refused inside a compute like create_input.
    if (in_compute()) EngineSteps::fail_in_compute("create_input");
    auto* obj = reinterpret_cast<RuntimeObject*>(self);
    CollectionHandle<PyValue> handle = create_collection_node<PyValue>(*obj->runtime, false);
    obj->roots.remember(handle.state);
    return make_collection(module, share_of(obj), std::move(handle)).release();
  });
}

}  // namespace velk::py
