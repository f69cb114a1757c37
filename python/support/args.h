// Arguments of METH_FASTCALL | METH_KEYWORDS methods: positional or keyword, every parameter
// required, each converted to the type the method body takes, with errors naming the
// parameter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "support/module_state.h"

namespace velk::py {

// Fills `out` from positional arguments and keywords; sets TypeError and returns false on a
// missing, duplicated, unexpected or surplus argument.
bool parse_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, const char* const* names, size_t count, PyObject** out);

// Where an argument is converted: the names its errors give, and the module's classes.
struct ArgumentSite {
  const char* function;
  const char* parameter;
  const ModuleState& module;
};

// Sets "{function}() argument '{parameter}' must be {expected}, not {type}" as TypeError.
[[noreturn]] void wrong_argument_type(const ArgumentSite& site, const char* expected,
                                      PyObject* obj);

// Converts one argument to T, or sets the error and throws PyErrOccurred. Specialised for each
// type a method body takes: here for plain values, with each class for its objects.
template <class T>
struct Argument;

// Any object, borrowed from the call.
template <>
struct Argument<PyObject*> {
  static PyObject* convert(const ArgumentSite&, PyObject* obj) noexcept { return obj; }
};

// A callable object, borrowed from the call: refused here rather than when first called.
struct Callable {
  PyObject* object;
};
template <>
struct Argument<Callable> {
  static Callable convert(const ArgumentSite& site, PyObject* obj);
};

// An object iter() takes (one with __iter__, or a sequence), borrowed from the call.
struct Iterable {
  PyObject* object;
};
template <>
struct Argument<Iterable> {
  static Iterable convert(const ArgumentSite& site, PyObject* obj);
};

// A str, as UTF-8.
template <>
struct Argument<std::string> {
  static std::string convert(const ArgumentSite& site, PyObject* obj);
};

// A node's slot number: an int between 0 and 2**32 - 1.
struct SlotNumber {
  uint32_t value;
};
template <>
struct Argument<SlotNumber> {
  static SlotNumber convert(const ArgumentSite& site, PyObject* obj);
};

// A length: an int that is not negative and fits a machine word.
struct Length {
  size_t value;
};
template <>
struct Argument<Length> {
  static Length convert(const ArgumentSite& site, PyObject* obj);
};

}  // namespace velk::py
