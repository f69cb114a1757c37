// RuntimeRef: the handle a query function receives, valid only during that computation and
// only on the thread running it.
#include "adapters/nested_read.h"
#include "adapters/query_adapter.h"
#include "support/method.h"
#include "types/runtime_methods.h"

namespace velk::py {

namespace {

constexpr const char* kRuntimeRefDoc =
    "Read-only runtime handle passed to query closures. Scoped to one\n"
    "callback invocation: the pointer is nulled out after the callback\n"
    "returns so stale captures fail loudly. Unsendable because the borrow\n"
    "it wraps belongs to the invoking thread's compute frame.";

RuntimeRefObject* as_ref(PyObject* self) { return reinterpret_cast<RuntimeRefObject*>(self); }

// The node is converted after the ref is checked, so a stale ref reports that first.
template <class Read>
PyObject* ref_read(const char* name, PyObject* self, CallArgs call, Read read) {
  return method<raise_panic_with_cause>(
      name, {"node"}, self, call, [&](const ModuleState& module, PyObject* node) -> PyObject* {
        RuntimeRefObject* ref = as_ref(self);
        check_ref_thread(*ref);
        if (ref->runtime == nullptr) {
          PyErr_SetString(PyExc_RuntimeError,
                          "RuntimeRef is no longer valid (used outside query callback)");
          return nullptr;
        }
        const NodeHandle handle = Argument<NodeHandle>::convert({name, "node", module}, node);
        return read(*ref->runtime, handle).release();
      });
}

// Every query function reads through here, most often one NodeId by position, on the ref's
// own thread during its computation: that call skips the general parsing and finds the module
// on the ref. Any other call takes the general path, which reports what is wrong with it.
PyObject* runtime_ref_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  drain_pending_releases();
  RuntimeRefObject* ref = as_ref(self);
  // The thread first: another thread must not read `runtime`, which the owner writes.
  if (nargs == 1 && kwnames == nullptr && ref->owner == this_thread_tag() &&
      ref->runtime != nullptr && Py_IS_TYPE(args[0], ref->module->node_id)) [[likely]] {
    EngineScope scope;
    return boundary(
        *ref->module,
        [&] {
          const NodeHandle& node = reinterpret_cast<NodeIdObject*>(args[0])->handle;
          return read_node(*ref->runtime, node).release();
        },
        raise_panic_with_cause);
  }
  return ref_read("get", self, {args, nargs, kwnames}, read_node);
}

PyObject* runtime_ref_peek(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return ref_read("peek", self, {args, nargs, kwnames}, read_untracked);
}

// Freed on whichever thread drops the last reference (a traceback carries one to another
// thread when a failure is shared with its readers there, or from a helper thread to the
// reader). The computation that made it holds a reference until it ends, so by now the ref is
// ended and its thread is done with it.
void runtime_ref_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  drop_reference(type);
}

PyMethodDef runtime_ref_methods[] = {
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(runtime_ref_get)),
     METH_FASTCALL | METH_KEYWORDS, "get($self, node)\n--\n\n"},
    {"peek", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(runtime_ref_peek)),
     METH_FASTCALL | METH_KEYWORDS,
     "peek($self, node)\n--\n\n"
     "Read the node, brought up to date, without making the running query\n"
     "depend on it: a later change to it does not run the query again."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* create_runtime_ref_type(PyObject* module) {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kRuntimeRefDoc)},
      {Py_tp_methods, runtime_ref_methods},
      {Py_tp_dealloc, reinterpret_cast<void*>(runtime_ref_dealloc)},
      {0, nullptr},
  };
  static PyType_Spec spec = {"velk_concurrent.RuntimeRef", sizeof(RuntimeRefObject), 0,
                             kClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

}  // namespace velk::py
