// ObserverId: an opaque token for an observer registration; identity equality and hash.
#include "types/objects.h"

namespace velk::py {

namespace {

void observer_id_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  drop_reference(type);
}

}  // namespace

PyTypeObject* create_observer_id_type(PyObject* module) {
  static PyType_Slot slots[] = {
      {Py_tp_doc,
       const_cast<char*>("Token for an observer registration; pass to `Runtime.unobserve`.")},
      {Py_tp_dealloc, reinterpret_cast<void*>(observer_id_dealloc)},
      {0, nullptr},
  };
  static PyType_Spec spec = {"velk_concurrent.ObserverId", sizeof(ObserverIdObject), 0,
                             kClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

}  // namespace velk::py
