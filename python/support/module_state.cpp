#include "support/module_state.h"

namespace velk::py {

ModuleState* find_state(PyTypeObject* type) noexcept {
  // Walks the bases as PyType_GetModuleByDef does, without setting an error on a miss.
  PyObject* mro = type->tp_mro;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    if (!PyType_HasFeature(base, Py_TPFLAGS_HEAPTYPE)) continue;
    PyObject* module = reinterpret_cast<PyHeapTypeObject*>(base)->ht_module;
    if (module != nullptr && PyModule_GetDef(module) == &module_def) {
      return static_cast<ModuleState*>(PyModule_GetState(module));
    }
  }
  return nullptr;
}

namespace {

template <class F>
void for_each_object(ModuleState& state, F&& f) {
  for (PyTypeObject** type :
       {&state.runtime, &state.node_id, &state.observer_id, &state.runtime_ref, &state.collection,
        &state.sorted_collection, &state.grouped_collection}) {
    f(reinterpret_cast<PyObject**>(type));
  }
  f(&state.panic);
}

}  // namespace

int traverse_state(const ModuleState& state, visitproc visit, void* arg) {
  int result = 0;
  for_each_object(const_cast<ModuleState&>(state), [&](PyObject** obj) {
    if (result == 0 && *obj != nullptr) result = visit(*obj, arg);
  });
  return result;
}

void clear_state(ModuleState& state) noexcept {
  for_each_object(state, [](PyObject** obj) { OwnedRef::steal(std::exchange(*obj, nullptr)); });
}

}  // namespace velk::py
