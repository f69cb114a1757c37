// Runtime.delete_node and delete_with_dependents.
#include "method.h"
#include "runtime_methods.h"

namespace velk::py {

PyObject* runtime_delete_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return mapped_method("delete_node", {"node"}, {args, nargs, kwnames}, [&](PyObject** argv) {
    const NodeHandle node = node_argument("delete_node", "node", argv[0]);
    {
      ReleasedRegion region;
      engine(self).delete_node(node);
    }
    Py_RETURN_NONE;
  });
}

PyObject* runtime_delete_with_dependents(PyObject* self, PyObject* const* args,
                                         Py_ssize_t nargs, PyObject* kwnames) {
  return mapped_method("delete_with_dependents", {"node"}, {args, nargs, kwnames},
                       [&](PyObject** argv) {
                         const NodeHandle node =
                             node_argument("delete_with_dependents", "node", argv[0]);
                         uint64_t deleted;
                         {
                           ReleasedRegion region;
                           deleted = engine(self).delete_with_dependents(ErasedVelk(node));
                         }
                         return PyLong_FromUnsignedLongLong(deleted);
                       });
}

}  // namespace velk::py
