// RuntimeRef: the handle a query function receives, valid only during that computation and
// only on the thread running it.
#include <string>

#include "args.h"
#include "engine_gc.h"
#include "errors.h"
#include "gil.h"
#include "runtime_methods.h"
#include "velk/base/failure.h"

namespace velk::py {

PyTypeObject* runtime_ref_type = nullptr;

namespace {

constexpr const char* kRuntimeRefDoc =
    "Read-only runtime handle passed to query closures. Scoped to one\n"
    "callback invocation: the pointer is nulled out after the callback\n"
    "returns so stale captures fail loudly. Unsendable because the borrow\n"
    "it wraps belongs to the invoking thread's compute frame.";

RuntimeRefObject* as_ref(PyObject* self) { return reinterpret_cast<RuntimeRefObject*>(self); }

void check_thread(const RuntimeRefObject* ref) {
  if (ref->owner != std::this_thread::get_id()) {
    fail("velk_concurrent::PyRuntimeRef is unsendable, but is being used from another thread");
  }
}

PyObject* runtime_ref_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  drain_pending_releases();
  static const char* const names[] = {"node"};
  PyObject* argv[1];
  if (!parse_arguments("get", args, nargs, kwnames, names, argv)) return nullptr;
  EngineScope scope;
  return boundary(
      [&]() -> PyObject* {
        RuntimeRefObject* ref = as_ref(self);
        check_thread(ref);
        if (ref->runtime == nullptr) {
          PyErr_SetString(PyExc_RuntimeError,
                          "RuntimeRef is no longer valid (used outside query callback)");
          return nullptr;
        }
        return read_node(*ref->runtime, node_argument("get", "node", argv[0])).release();
      },
      raise_panic_with_cause);
}

// Freed on whichever thread drops the last reference (a traceback carries one from a helper
// thread to the reader): with no reference left, the owning thread cannot be using it.
void runtime_ref_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef runtime_ref_methods[] = {
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(runtime_ref_get)),
     METH_FASTCALL | METH_KEYWORDS, "get($self, node)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* create_runtime_ref_type() {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kRuntimeRefDoc)},
      {Py_tp_methods, runtime_ref_methods},
      {Py_tp_dealloc, reinterpret_cast<void*>(runtime_ref_dealloc)},
      {0, nullptr},
  };
  static PyType_Spec spec = {"velk_concurrent.RuntimeRef", sizeof(RuntimeRefObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

OwnedRef make_runtime_ref(Runtime* runtime) {
  auto* obj = PyObject_New(RuntimeRefObject, runtime_ref_type);
  if (obj == nullptr) throw_current_error_as_failure("velk: creating a RuntimeRef failed");
  obj->runtime = runtime;
  new (&obj->owner) std::thread::id(std::this_thread::get_id());
  return OwnedRef::steal(reinterpret_cast<PyObject*>(obj));
}

void invalidate_runtime_ref(PyObject* ref) {
  RuntimeRefObject* r = as_ref(ref);
  check_thread(r);
  r->runtime = nullptr;
}

}  // namespace velk::py
