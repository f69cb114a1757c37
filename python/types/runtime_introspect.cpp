// Runtime.set_label, set_label_by_id, get_traced, get_explained and graph_snapshot.
#include <optional>
#include <string>

#include "support/method.h"
#include "types/runtime_methods.h"

namespace velk::py {

namespace {

void set_item(PyObject* dict, const char* key, OwnedRef value) {
  if (!value || PyDict_SetItemString(dict, key, value.get()) < 0) throw PyErrOccurred{};
}

OwnedRef int_list(const std::vector<uint32_t>& slots) {
  OwnedRef list = OwnedRef::checked(PyList_New(Py_ssize_t(slots.size())));
  for (size_t i = 0; i < slots.size(); ++i) {
    PyList_SET_ITEM(list.get(), Py_ssize_t(i),
                    OwnedRef::checked(PyLong_FromUnsignedLong(slots[i])).release());
  }
  return list;
}

OwnedRef trace_dict(const TraceReport& report) {
  OwnedRef traces = OwnedRef::checked(PyList_New(0));
  for (const TraceEntry& e : report.entries) {
    OwnedRef entry = OwnedRef::checked(PyDict_New());
    set_item(entry.get(), "id", OwnedRef::steal(PyLong_FromUnsignedLong(e.slot)));
    set_item(entry.get(), "action",
             OwnedRef::steal(PyUnicode_FromString(trace_action_name(e.action))));
    if (PyList_Append(traces.get(), entry.get()) < 0) throw PyErrOccurred{};
  }
  OwnedRef dict = OwnedRef::checked(PyDict_New());
  set_item(dict.get(), "target", OwnedRef::steal(PyLong_FromUnsignedLong(report.target)));
  set_item(dict.get(), "total_nodes", OwnedRef::steal(PyLong_FromUnsignedLong(report.total_nodes)));
  set_item(dict.get(), "nodes_recomputed",
           OwnedRef::steal(PyLong_FromUnsignedLongLong(report.nodes_recomputed)));
  set_item(dict.get(), "nodes_cutoff",
           OwnedRef::steal(PyLong_FromUnsignedLongLong(report.nodes_cutoff)));
  set_item(dict.get(), "elapsed_ns",
           OwnedRef::steal(PyLong_FromUnsignedLongLong(report.elapsed_ns)));
  set_item(dict.get(), "node_traces", std::move(traces));
  return dict;
}

OwnedRef label_or_none(const Runtime& runtime, uint32_t slot) {
  const std::optional<std::string> label = runtime.label_of(slot);
  if (!label) return OwnedRef::new_ref(Py_None);
  return OwnedRef::steal(PyUnicode_FromStringAndSize(label->data(), Py_ssize_t(label->size())));
}

OwnedRef slot_or_none(uint32_t slot) {
  if (slot == kNoCause) return OwnedRef::new_ref(Py_None);
  return OwnedRef::steal(PyLong_FromUnsignedLong(slot));
}

OwnedRef explained_node(const Runtime& runtime, const TraceEntry& e) {
  OwnedRef entry = OwnedRef::checked(PyDict_New());
  set_item(entry.get(), "id", OwnedRef::steal(PyLong_FromUnsignedLong(e.slot)));
  set_item(entry.get(), "label", label_or_none(runtime, e.slot));
  set_item(entry.get(), "action",
           OwnedRef::steal(PyUnicode_FromString(trace_action_name(e.action))));
  set_item(entry.get(), "cause", slot_or_none(e.cause));
  set_item(entry.get(), "cause_label",
           e.cause == kNoCause ? OwnedRef::new_ref(Py_None) : label_or_none(runtime, e.cause));
  set_item(entry.get(), "compute_ns", OwnedRef::steal(PyLong_FromUnsignedLongLong(e.compute_ns)));
  return entry;
}

OwnedRef explained_dict(const Runtime& runtime, const TraceReport& report) {
  OwnedRef nodes = OwnedRef::checked(PyList_New(0));
  for (const TraceEntry& e : report.entries) {
    if (PyList_Append(nodes.get(), explained_node(runtime, e).get()) < 0) throw PyErrOccurred{};
  }
  OwnedRef dict = OwnedRef::checked(PyDict_New());
  set_item(dict.get(), "target", OwnedRef::steal(PyLong_FromUnsignedLong(report.target)));
  set_item(dict.get(), "label", label_or_none(runtime, report.target));
  set_item(dict.get(), "elapsed_ns",
           OwnedRef::steal(PyLong_FromUnsignedLongLong(report.elapsed_ns)));
  set_item(dict.get(), "nodes", std::move(nodes));
  return dict;
}

// A read traced by the engine, returned as (value, report_of(report)).
template <class Report>
PyObject* traced_read(Runtime& runtime, const NodeHandle& node, Report report_of) {
  HazardHolder holder;
  TraceReport report;
  const PyValue* value;
  {
    ReleasedRegion region;
    value = &runtime.get_traced(node, holder, report);
  }
  OwnedRef result = OwnedRef::new_ref(value->get());
  OwnedRef dict = report_of(report);
  return OwnedRef::checked(PyTuple_Pack(2, result.get(), dict.get())).release();
}

OwnedRef node_dict(const NodeSnapshot& node) {
  OwnedRef dict = OwnedRef::checked(PyDict_New());
  set_item(dict.get(), "id", OwnedRef::steal(PyLong_FromUnsignedLong(node.id)));
  set_item(dict.get(), "kind",
           OwnedRef::steal(PyUnicode_FromString(node.is_compute ? "compute" : "input")));
  set_item(dict.get(), "label",
           node.label ? OwnedRef::steal(PyUnicode_FromStringAndSize(node.label->data(),
                                                                    Py_ssize_t(node.label->size())))
                      : OwnedRef::new_ref(Py_None));
  set_item(dict.get(), "dependencies", int_list(node.dependencies));
  set_item(dict.get(), "dependents", int_list(node.dependents));
  return dict;
}

}  // namespace

PyObject* runtime_set_label(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return method<raise_held>("set_label", {"node", "label"}, self, {args, nargs, kwnames},
                            [&](const NodeHandle& node, std::string label) {
                              // By slot only: a stale handle labels whatever occupies its slot.
                              engine(self).set_label(node.slot, std::move(label));
                              Py_RETURN_NONE;
                            });
}

PyObject* runtime_set_label_by_id(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return method<raise_held>("set_label_by_id", {"id", "label"}, self, {args, nargs, kwnames},
                            [&](SlotNumber slot, std::string label) {
                              engine(self).set_label(slot.value, std::move(label));
                              Py_RETURN_NONE;
                            });
}

PyObject* runtime_get_traced(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return method<raise_mapped>(
      "get_traced", {"node"}, self, {args, nargs, kwnames},
      [&](const NodeHandle& node) { return traced_read(engine(self), node, trace_dict); });
}

PyObject* runtime_get_explained(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return method<raise_mapped>("get_explained", {"node"}, self, {args, nargs, kwnames},
                              [&](const NodeHandle& node) {
                                Runtime& runtime = engine(self);
                                return traced_read(runtime, node, [&](const TraceReport& report) {
                                  return explained_dict(runtime, report);
                                });
                              });
}

PyObject* runtime_graph_snapshot(PyObject* self, PyObject*) {
  return method<raise_held>("graph_snapshot", {}, self, {}, [&] {
    const std::vector<NodeSnapshot> nodes = engine(self).graph_snapshot();
    OwnedRef list = OwnedRef::checked(PyList_New(Py_ssize_t(nodes.size())));
    for (size_t i = 0; i < nodes.size(); ++i) {
      PyList_SET_ITEM(list.get(), Py_ssize_t(i), node_dict(nodes[i]).release());
    }
    return list.release();
  });
}

}  // namespace velk::py
