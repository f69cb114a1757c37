// Module initialisation, in phases: the definition below, then an exec step that makes the
// seven classes, in order, and nothing else visible. The classes and the exception type live
// in the module's state (support/module_state.h).
#include "adapters/nested_read.h"
#include "support/errors.h"
#include "support/gil.h"
#include "support/interpreter_exit.h"
#include "support/module_state.h"
#include "types/objects.h"
#include "velk/collections/collection_lock.h"
#include "velk/runtime/fork_recovery.h"

namespace velk::py {

namespace {

// The engine's process-wide hooks (pending releases, pending errors, callbacks) belong to the
// main interpreter alone, and are set by its first import.
bool hooks_installed = false;

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

// Ends an engine wait for a pending signal, or on a helper whose reader was interrupted.
void check_interrupts() {
  check_signals_while_waiting();
  stop_if_reader_interrupted();
}

void install_process_hooks() {
  if (hooks_installed) return;
  Py_AtExit(mark_interpreter_finalizing);
  register_exit_hook();
  set_embedding_fork_hooks({lock_pending_releases_for_fork, unlock_pending_releases_after_fork,
                            unlock_pending_releases_after_fork});
  set_blocking_hook(release_gil_while_waiting);
  set_interrupt_hook(check_interrupts);
  hooks_installed = true;
}

struct ClassEntry {
  const char* name;
  PyTypeObject* ModuleState::*type;
  PyTypeObject* (*create)(PyObject* module);
};

const ClassEntry kClasses[] = {
    {"Runtime", &ModuleState::runtime, create_runtime_type},
    {"NodeId", &ModuleState::node_id, create_node_id_type},
    {"ObserverId", &ModuleState::observer_id, create_observer_id_type},
    {"RuntimeRef", &ModuleState::runtime_ref, create_runtime_ref_type},
    {"Collection", &ModuleState::collection, create_collection_type},
    {"SortedCollection", &ModuleState::sorted_collection, create_sorted_collection_type},
    {"GroupedCollection", &ModuleState::grouped_collection, create_grouped_collection_type},
};

PyTypeObject* check_type(PyTypeObject* type) {
  if (type == nullptr) throw PyErrOccurred{};
  return type;
}

ModuleState& state_of_module(PyObject* module) {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

void exec_module(PyObject* module) {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError,
                    "velk_concurrent can only be imported in the main interpreter");
    throw PyErrOccurred{};
  }
  install_process_hooks();
  ModuleState& state = state_of_module(module);
  state.panic = create_panic_exception(module);
  for (const ClassEntry& entry : kClasses) {
    PyTypeObject* type = check_type(entry.create(module));
    state.*entry.type = type;
    if (PyModule_AddObjectRef(module, entry.name, reinterpret_cast<PyObject*>(type)) < 0) {
      throw PyErrOccurred{};
    }
  }
}

int module_exec(PyObject* module) {
  try {
    exec_module(module);
    return 0;
  } catch (const PyErrOccurred&) {
    return -1;  // what was made so far stays in the state, which the module's clear drops
  }
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  return traverse_state(state_of_module(module), visit, arg);
}

int module_clear(PyObject* module) {
  clear_state(state_of_module(module));
  return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // Every piece of state the interpreter lock guards on the default build has a lock of its
    // own on a free-threaded one (core/CONCURRENCY.md), so importing keeps the GIL off there.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "velk_concurrent", nullptr,      sizeof(ModuleState), nullptr,
    module_slots,          module_traverse,   module_clear, module_free,
};

}  // namespace velk::py

PyMODINIT_FUNC PyInit_velk_concurrent() { return PyModuleDef_Init(&velk::py::module_def); }
