// Runtime.delete_node and delete_with_dependents.
#include "args.h"
#include "errors.h"
#include "gil.h"
#include "runtime_methods.h"

namespace velk::py {

PyObject* runtime_delete_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  drain_pending_releases();
  static const char* const names[] = {"node"};
  PyObject* argv[1];
  if (!parse_arguments("delete_node", args, nargs, kwnames, names, argv)) return nullptr;
  MappedCall call;
  return boundary(
      [&] {
        const NodeHandle node = node_argument("delete_node", "node", argv[0]);
        {
          ReleasedRegion region;
          engine(self).delete_node(node);
        }
        Py_RETURN_NONE;
      },
      raise_mapped);
}

PyObject* runtime_delete_with_dependents(PyObject* self, PyObject* const* args,
                                         Py_ssize_t nargs, PyObject* kwnames) {
  drain_pending_releases();
  static const char* const names[] = {"node"};
  PyObject* argv[1];
  if (!parse_arguments("delete_with_dependents", args, nargs, kwnames, names, argv)) {
    return nullptr;
  }
  MappedCall call;
  return boundary(
      [&] {
        const NodeHandle node = node_argument("delete_with_dependents", "node", argv[0]);
        uint64_t deleted;
        {
          ReleasedRegion region;
          deleted = engine(self).delete_with_dependents(ErasedVelk(node));
        }
        return PyLong_FromUnsignedLongLong(deleted);
      },
      raise_mapped);
}

}  // namespace velk::py
