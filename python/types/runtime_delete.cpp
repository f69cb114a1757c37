// Runtime.delete_node and delete_with_dependents.
#include "adapters/version_mirror.h"
#include "support/method.h"
#include "types/runtime_methods.h"

namespace velk::py {

PyObject* runtime_delete_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return method<raise_mapped>("delete_node", {"node"}, self, {args, nargs, kwnames},
                              [&](const NodeHandle& node) {
                                {
                                  ReleasedRegion region;
                                  engine(self).delete_node(node);
                                }
                                Py_RETURN_NONE;
                              });
}

PyObject* runtime_delete_with_dependents(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  return method<raise_mapped>("delete_with_dependents", {"node"}, self, {args, nargs, kwnames},
                              [&](const NodeHandle& node) {
                                Runtime& rt = engine(self);
                                // A collection's version_node stands for the collection: deleting
                                // it deletes the collection's own node, with the mirror among its
                                // dependents.
                                const std::optional<Velk<uint64_t>> collection =
                                    reinterpret_cast<RuntimeObject*>(self)->mirrors->source_of(
                                        rt, node);
                                uint64_t deleted = 0;
                                {
                                  ReleasedRegion region;
                                  if (collection)
                                    deleted = rt.delete_with_dependents(ErasedVelk(*collection));
                                  deleted += rt.delete_with_dependents(ErasedVelk(node));
                                }
                                return PyLong_FromUnsignedLongLong(deleted);
                              });
}

}  // namespace velk::py
