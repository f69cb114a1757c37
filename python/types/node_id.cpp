// NodeId: the Python face of a node handle. A plain value: keeps nothing alive.
#include <cstring>

#include "types/objects.h"
#include "values/siphash.h"

namespace velk::py {

namespace {

NodeHandle& handle_of(PyObject* self) { return reinterpret_cast<NodeIdObject*>(self)->handle; }

PyObject* node_id_repr(PyObject* self) {
  return PyUnicode_FromFormat("NodeId(slot=%u)", unsigned(handle_of(self).slot));
}

PyObject* node_id_get_id(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(handle_of(self).slot);
}

// SipHash with zero keys over slot, generation (4 little-endian bytes each) and runtime id
// (8 little-endian bytes): the interpreter's own hash of those bytes under PYTHONHASHSEED=0,
// whose rounds are 1-3 from 3.11 and 2-4 before. -1 is reserved by Python and becomes -2.
Py_hash_t node_id_hash(PyObject* self) {
  const NodeHandle& h = handle_of(self);
  unsigned char bytes[16];
  for (int i = 0; i < 4; ++i) bytes[i] = (h.slot >> (8 * i)) & 0xff;
  for (int i = 0; i < 4; ++i) bytes[4 + i] = (h.generation >> (8 * i)) & 0xff;
  for (int i = 0; i < 8; ++i) bytes[8 + i] = (h.runtime_id.value >> (8 * i)) & 0xff;
#if PY_VERSION_HEX >= 0x030B0000
  const auto hash = Py_hash_t(int64_t(siphash13(0, 0, bytes, sizeof bytes)));
#else
  const auto hash = Py_hash_t(int64_t(siphash24(0, 0, bytes, sizeof bytes)));
#endif
  return hash == -1 ? -2 : hash;
}

PyObject* node_id_richcompare(PyObject* self, PyObject* other, int op) {
  if (!Py_IS_TYPE(other, Py_TYPE(self))) Py_RETURN_NOTIMPLEMENTED;
  if (op == Py_EQ) return PyBool_FromLong(handle_of(self) == handle_of(other));
  if (op == Py_NE) {
    // `!=` is the negated truth of `==` through Python's comparison protocol.
    const int equal = PyObject_RichCompareBool(self, other, Py_EQ);
    if (equal < 0) return nullptr;
    return PyBool_FromLong(!equal);
  }
  Py_RETURN_NOTIMPLEMENTED;
}

void node_id_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  drop_reference(type);
}

PyMethodDef node_id_methods[] = {
    VELK_CLASS_GETITEM,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef node_id_getset[] = {
    {"id", node_id_get_id, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* create_node_id_type(PyObject* module) {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("Typed node handle exposed to Python. Wraps `Velk<PyValue>`.")},
      {Py_tp_repr, reinterpret_cast<void*>(node_id_repr)},
      {Py_tp_hash, reinterpret_cast<void*>(node_id_hash)},
      {Py_tp_richcompare, reinterpret_cast<void*>(node_id_richcompare)},
      {Py_tp_getset, node_id_getset},
      {Py_tp_methods, node_id_methods},
      {Py_tp_dealloc, reinterpret_cast<void*>(node_id_dealloc)},
      {0, nullptr},
  };
  static PyType_Spec spec = {"velk_concurrent.NodeId", sizeof(NodeIdObject), 0,
                             kClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

OwnedRef make_node_id(const ModuleState& module, const NodeHandle& handle) {
  auto* obj = PyObject_New(NodeIdObject, module.node_id);
  if (obj == nullptr) throw PyErrOccurred{};
  new (&obj->handle) NodeHandle(handle);
  return OwnedRef::steal(reinterpret_cast<PyObject*>(obj));
}

}  // namespace velk::py
