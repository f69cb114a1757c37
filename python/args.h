// Argument handling for METH_FASTCALL | METH_KEYWORDS methods: positional or keyword, every
// parameter required, conversion errors naming the parameter.
#pragma once

#include <cstddef>
#include <cstring>

#include "types.h"

namespace velk::py {

// Fills `out` from positional arguments and keywords; sets TypeError and returns false on a
// missing, duplicated, unexpected or surplus argument.
bool parse_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, const char* const* names, size_t count, PyObject** out);

template <size_t N>
bool parse_arguments(const char* function, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, const char* const (&names)[N], PyObject* (&out)[N]) {
  return parse_arguments(function, args, nargs, kwnames, names, N, out);
}

// The handle of a NodeId argument; sets TypeError naming the parameter and throws
// PyErrOccurred when `obj` is not a NodeId.
NodeHandle node_argument(const char* function, const char* parameter, PyObject* obj);

}  // namespace velk::py
