// Runtime.delete_node and delete_with_dependents.
#include "adapters/version_mirror.h"
#include "support/method.h"
#include "types/runtime_methods.h"
#include "velk/collections/collection_lock.h"

namespace velk::py {

namespace {

// A deletion retires what it deletes (a collection's contents) under their own locks, past
// its point of no return: from a callback running under a collection lock (an element's
// __hash__ in the middle of a batch) that could fail half done, or wait for a lock this very
// thread holds. Refused before anything is deleted.
void refuse_under_collection_lock(const char* message) {
  if (holds_collection_lock()) fail(message);
}

}  // namespace

PyObject* runtime_delete_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return method<raise_mapped>("delete_node", {"node"}, self, {args, nargs, kwnames},
                              [&](const NodeHandle& node) {
                                refuse_under_collection_lock(
                                    "velk-core: delete_node called from a callback running under "
                                    "a collection's lock (hashing, comparing or ordering one of "
                                    "its elements); not permitted");
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
                                refuse_under_collection_lock(
                                    "velk-core: delete_with_dependents called from a callback "
                                    "running under a collection's lock (hashing, comparing or "
                                    "ordering one of its elements); not permitted");
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
