// Module initialisation: the seven classes, in order, and nothing else.
#include "errors.h"
#include "gil.h"
#include "interpreter_exit.h"
#include "py_value.h"
#include "types.h"
#include "velk/collections/collection_lock.h"
#include "velk/runtime/fork_recovery.h"

namespace velk::py {

namespace {

// The engine's process-wide state (pending releases, pending errors, callbacks) belongs to the
// main interpreter alone.
bool initialised = false;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "velk_concurrent",
    nullptr,
    0,  // not -1: so that initialisation runs (and refuses) in every other interpreter
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

struct ClassEntry {
  const char* name;
  PyTypeObject** type;
  PyTypeObject* (*create)();
};

PyObject* note_exit_thread(PyObject*, PyObject*) {
  mark_exit_thread();
  Py_RETURN_NONE;
}

PyMethodDef exit_hook_def = {"_velk_exit_thread", note_exit_thread, METH_NOARGS, nullptr};

// atexit hooks run on the thread that goes on to finalize the interpreter, before other threads
// are shut out of it.
void register_exit_hook() {
  OwnedRef atexit = OwnedRef::checked(PyImport_ImportModule("atexit"));
  OwnedRef hook = OwnedRef::checked(PyCFunction_New(&exit_hook_def, nullptr));
  OwnedRef::checked(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
}

const ClassEntry kClasses[] = {
    {"Runtime", &runtime_type, create_runtime_type},
    {"NodeId", &node_id_type, create_node_id_type},
    {"ObserverId", &observer_id_type, create_observer_id_type},
    {"RuntimeRef", &runtime_ref_type, create_runtime_ref_type},
    {"Collection", &collection_type, create_collection_type},
    {"SortedCollection", &sorted_collection_type, create_sorted_collection_type},
    {"GroupedCollection", &grouped_collection_type, create_grouped_collection_type},
};

PyObject* init_module() {
  PyInterpreterState* current = PyInterpreterState_Get();
  if (current != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError,
                    "velk_concurrent can only be imported in the main interpreter");
    return nullptr;
  }
  if (!initialised) {
    create_panic_exception();
    Py_AtExit(mark_interpreter_finalizing);
    register_exit_hook();
    set_embedding_fork_hooks({lock_pending_releases_for_fork, unlock_pending_releases_after_fork,
                              unlock_pending_releases_after_fork});
    set_blocking_hook(release_gil_while_waiting);
    set_interrupt_hook(check_signals_while_waiting);
    initialised = true;
  }
  OwnedRef module = OwnedRef::checked(PyModule_Create2(&module_def, PYTHON_API_VERSION));
  for (const ClassEntry& entry : kClasses) {
    if (*entry.type == nullptr) *entry.type = entry.create();
    if (*entry.type == nullptr) return nullptr;
    // The module keeps the type alive; the pointer stays valid for the process.
    Py_INCREF(*entry.type);
    if (PyModule_AddObject(module.get(), entry.name, reinterpret_cast<PyObject*>(*entry.type)) <
        0) {
      Py_DECREF(*entry.type);
      return nullptr;
    }
  }
  return module.release();
}

}  // namespace

}  // namespace velk::py

PyMODINIT_FUNC PyInit_velk_concurrent() {
  try {
    return velk::py::init_module();
  } catch (const velk::py::PyErrOccurred&) {
    return nullptr;
  }
}
