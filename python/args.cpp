#include "args.h"

namespace velk::py {

namespace {

bool keyword_index(PyObject* key, const char* const* names, size_t count, size_t& index) {
  for (size_t i = 0; i < count; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
      index = i;
      return true;
    }
  }
  return false;
}

}  // namespace

bool parse_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, const char* const* names, size_t count, PyObject** out) {
  if (size_t(nargs) > count) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd were given",
                 function, count, count == 1 ? "" : "s", nargs);
    return false;
  }
  for (size_t i = 0; i < count; ++i) out[i] = i < size_t(nargs) ? args[i] : nullptr;
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    size_t index = 0;
    if (!keyword_index(key, names, count, index)) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
      return false;
    }
    if (out[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                   names[index]);
      return false;
    }
    out[index] = args[nargs + k];
  }
  for (size_t i = 0; i < count; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function,
                   names[i], i + 1);
      return false;
    }
  }
  return true;
}

NodeHandle node_argument(const char* function, const char* parameter, PyObject* obj) {
  if (!PyObject_TypeCheck(obj, node_id_type)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be NodeId, not %.200s", function,
                 parameter, Py_TYPE(obj)->tp_name);
    throw PyErrOccurred{};
  }
  return reinterpret_cast<NodeIdObject*>(obj)->handle;
}

}  // namespace velk::py
