#include "support/args.h"

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

void wrong_argument_type(const ArgumentSite& site, const char* expected, PyObject* obj) {
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", site.function,
               site.parameter, expected, Py_TYPE(obj)->tp_name);
  throw PyErrOccurred{};
}

Callable Argument<Callable>::convert(const ArgumentSite& site, PyObject* obj) {
  if (!PyCallable_Check(obj)) wrong_argument_type(site, "callable", obj);
  return {obj};
}

Iterable Argument<Iterable>::convert(const ArgumentSite& site, PyObject* obj) {
  if (Py_TYPE(obj)->tp_iter == nullptr && !PySequence_Check(obj))
    wrong_argument_type(site, "iterable", obj);
  return {obj};
}

std::string Argument<std::string>::convert(const ArgumentSite& site, PyObject* obj) {
  if (!PyUnicode_Check(obj)) wrong_argument_type(site, "str", obj);
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (text == nullptr) throw PyErrOccurred{};
  return std::string(text, size_t(size));
}

SlotNumber Argument<SlotNumber>::convert(const ArgumentSite& site, PyObject* obj) {
  if (!PyLong_Check(obj)) wrong_argument_type(site, "int", obj);
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (value == -1 && PyErr_Occurred()) throw PyErrOccurred{};
  if (overflow != 0 || value < 0 || value > 0xFFFFFFFFLL) {
    PyErr_Format(PyExc_OverflowError, "%s() argument '%s' must be between 0 and 4294967295",
                 site.function, site.parameter);
    throw PyErrOccurred{};
  }
  return {uint32_t(value)};
}

Length Argument<Length>::convert(const ArgumentSite& site, PyObject* obj) {
  if (!PyLong_Check(obj)) wrong_argument_type(site, "int", obj);
  const Py_ssize_t size = PyLong_AsSsize_t(obj);
  if (size < 0) {
    PyErr_Clear();
    PyErr_Format(PyExc_OverflowError,
                 "%s() argument '%s' must be a non-negative int that fits a machine word",
                 site.function, site.parameter);
    throw PyErrOccurred{};
  }
  return {size_t(size)};
}

}  // namespace velk::py
