// The Runtime class: its method table, in the order the class defines its methods.
#include "types/runtime_methods.h"

namespace velk::py {

namespace {

#define VELK_DOC(signature, text) signature "\n--\n\n" text

PyCFunction fast(FastMethod f) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(f)); }
constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef runtime_methods[] = {
    {"create_input", fast(runtime_create_input), kFast, VELK_DOC("create_input($self, value)", "")},
    {"get", fast(runtime_get), kFast, VELK_DOC("get($self, node)", "")},
    {"set", fast(runtime_set), kFast, VELK_DOC("set($self, node, value)", "")},
    {"set_many", runtime_set_many, METH_O,
     VELK_DOC("set_many($self, pairs, /)",
              "Set several inputs as one change, from an iterable of (node, value)\n"
              "pairs: one revision, and no read sees some of the new values without\n"
              "the others. A node given twice takes its last value. Every pair is\n"
              "checked before anything is written. Releases the GIL.")},
    {"is_alive", fast(runtime_is_alive), kFast,
     VELK_DOC("is_alive($self, node)",
              "True while the node exists in this runtime. False after it is\n"
              "deleted, and for a node from another runtime.")},
    {"create_query", fast(runtime_create_query), kFast,
     VELK_DOC("create_query($self, py_func)", "")},
    {"node_count", runtime_node_count, METH_NOARGS, VELK_DOC("node_count($self)", "")},
    {"observe", fast(runtime_observe), kFast,
     VELK_DOC("observe($self, node, callback)",
              "Register `callback` to fire on `stabilize()` whenever the node's\n"
              "value changed since the last firing.")},
    {"unobserve", fast(runtime_unobserve), kFast, VELK_DOC("unobserve($self, id)", "")},
    {"stabilize", runtime_stabilize, METH_NOARGS,
     VELK_DOC("stabilize($self)",
              "Bring observed nodes up to date and fire callbacks for changed\n"
              "values. Releases the GIL; callbacks reacquire it individually.")},
    {"delete_node", fast(runtime_delete_node), kFast,
     VELK_DOC("delete_node($self, node)",
              "Delete a node and recycle its slot. Every surviving handle to it\n"
              "raises on use. The node must have no dependents.")},
    {"delete_with_dependents", fast(runtime_delete_with_dependents), kFast,
     VELK_DOC("delete_with_dependents($self, node)",
              "Delete the node, every node that depends on it (transitively)\n"
              "and every node an operator created for them. Returns how many\n"
              "nodes were deleted; 0 if the node was already gone. A query that\n"
              "has never run is not reached, and raises as stale on first use.")},
    {"set_label", fast(runtime_set_label), kFast, VELK_DOC("set_label($self, node, label)", "")},
    {"set_label_by_id", fast(runtime_set_label_by_id), kFast,
     VELK_DOC("set_label_by_id($self, id, label)", "")},
    {"get_traced", fast(runtime_get_traced), kFast, VELK_DOC("get_traced($self, node)", "")},
    {"get_explained", fast(runtime_get_explained), kFast,
     VELK_DOC("get_explained($self, node)",
              "Read like get_traced, returning (value, report): for each node the\n"
              "read settled, its action, the changed dependency that made it run\n"
              "(cause), both labels and how long its function ran (compute_ns).")},
    {"graph_snapshot", runtime_graph_snapshot, METH_NOARGS, VELK_DOC("graph_snapshot($self)", "")},
    {"create_collection", runtime_create_collection, METH_NOARGS,
     VELK_DOC("create_collection($self)", "")},
    {"set_cutoff", fast(runtime_set_cutoff), kFast,
     VELK_DOC("set_cutoff($self, node, equal)",
              "Compare the node's old and new values with equal(old, new) instead\n"
              "of ==: for an input when it is set, for a query when it is\n"
              "recomputed. None restores ==. An equal that raises counts as not\n"
              "equal. Not permitted inside a query function.")},
    {nullptr, nullptr, 0, nullptr},
};

#undef VELK_DOC

}  // namespace

PyTypeObject* create_runtime_type(PyObject* module) {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("Runtime()\n--\n\n")},
      {Py_tp_new, reinterpret_cast<void*>(runtime_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(runtime_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(runtime_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(runtime_clear)},
      {Py_tp_members, weaklist_members<RuntimeObject>()},
      {Py_tp_methods, runtime_methods},
      {0, nullptr},
  };
  static PyType_Spec spec = {"velk_concurrent.Runtime", sizeof(RuntimeObject), 0,
                             kClassFlags | Py_TPFLAGS_HAVE_GC, slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

}  // namespace velk::py
