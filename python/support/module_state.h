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
  // A class that cannot be subclassed (every class of the module is final) is the object's
  // own, so its module is the defining one: no walk over the bases.
  if (PyType_HasFeature(type, Py_TPFLAGS_BASETYPE)) return *find_state(type);
  return *static_cast<ModuleState*>(PyType_GetModuleState(type));
}

// The module's m_traverse and m_clear over its state.
int traverse_state(const ModuleState& state, visitproc visit, void* arg);
void clear_state(ModuleState& state) noexcept;

}  // namespace velk::py
