// The methods of the Runtime class, implemented by feature in runtime_*.cpp; the class itself
// is assembled in runtime_type.cpp.
#pragma once

#include "types/objects.h"

namespace velk::py {

Runtime& engine(PyObject* self);

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyObject* runtime_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
void runtime_dealloc(PyObject* self);
// The cycle collector's view: everything the engine holds, and the release that breaks a cycle
// (adapters/engine_gc.h).
int runtime_traverse(PyObject* self, visitproc visit, void* arg);
int runtime_clear(PyObject* self);

// Inputs, queries, reads, cutoff (runtime_core.cpp).
PyObject* runtime_create_input(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* runtime_get(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* runtime_set(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* runtime_set_many(PyObject*, PyObject*);
PyObject* runtime_is_alive(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* runtime_create_query(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* runtime_node_count(PyObject*, PyObject*);
PyObject* runtime_set_cutoff(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Observers (runtime_observe.cpp).
PyObject* runtime_observe(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* runtime_unobserve(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* runtime_stabilize(PyObject*, PyObject*);

// Deletion (runtime_delete.cpp).
PyObject* runtime_delete_node(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* runtime_delete_with_dependents(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Labels, traced and explained reads, graph snapshot (runtime_introspect.cpp).
PyObject* runtime_set_label(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* runtime_set_label_by_id(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* runtime_get_traced(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* runtime_get_explained(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* runtime_graph_snapshot(PyObject*, PyObject*);

// Collections (runtime_core.cpp).
PyObject* runtime_create_collection(PyObject*, PyObject*);

}  // namespace velk::py
