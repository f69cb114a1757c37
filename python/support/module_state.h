// The module's state: its classes and its exception type, owned by the module object, which
// each class keeps alive in turn. Code reaches it from the class of an object it works on, so
// nothing about the module lives in a global.
#pragma once

#include "support/refs.h"
#include "velk/base/check.h"

namespace velk::py {

struct ModuleState {
  PyTypeObject* runtime;
  PyTypeObject* node_id;
  PyTypeObject* observer_id;
  PyTypeObject* runtime_ref;
  PyTypeObject* collection;
  PyTypeObject* sorted_collection;
  PyTypeObject* grouped_collection;
  PyObject* panic;  // PanicException
};

// Defined with the module (module.cpp).
extern PyModuleDef module_def;

// The state of the module that defined `type` or one of its bases; null, with no error set,
// for any other type.
ModuleState* find_state(PyTypeObject* type) noexcept;

// The state of the module that defined `type`, one of its classes.
inline ModuleState& state_of(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
  return *static_cast<ModuleState*>(PyModule_GetState(PyType_GetModuleByDef(type, &module_def)));
#else
  // The classes are final (no Py_TPFLAGS_BASETYPE): the defining class is the object's own.
  VELK_DCHECK(!PyType_HasFeature(type, Py_TPFLAGS_BASETYPE));
  return *static_cast<ModuleState*>(PyType_GetModuleState(type));
#endif
}

// The module's m_traverse and m_clear over its state.
int traverse_state(const ModuleState& state, visitproc visit, void* arg);
void clear_state(ModuleState& state) noexcept;

}  // namespace velk::py
