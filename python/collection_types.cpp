// The sorted collection class. Its engine state and methods come with the sorted operators;
// until then it is a bare type that Python code cannot instantiate.
#include <string>

#include "types.h"

namespace velk::py {

PyTypeObject* sorted_collection_type = nullptr;

namespace {

void collection_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

}  // namespace

PyTypeObject* create_bare_collection_type(const char* name) {
  static PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(collection_dealloc)},
      {0, nullptr},
  };
  // PyType_FromSpec copies the name it needs, but tp_name points into the spec: keep it alive.
  auto* qualified = new std::string(std::string("velk_concurrent.") + name);
  auto* spec = new PyType_Spec{qualified->c_str(), sizeof(PyObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
}

}  // namespace velk::py
