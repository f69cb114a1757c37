// The GroupedCollection class: access to the groups a group_by router maintains. keys,
// get_group and group_count read the groups as of the router's last computation; reading
// version_node runs the router. A group its user deleted is left out until the router
// replaces or drops it.
#include <algorithm>

#include "adapters/join_group_operators.h"
#include "adapters/version_mirror.h"
#include "support/method.h"
#include "types/objects.h"

namespace velk::py {

namespace {

using GroupedObject = EngineObject<GroupedHandle>;

GroupedObject* as_grouped(PyObject* self) { return reinterpret_cast<GroupedObject*>(self); }

PyObject* grouped_keys(PyObject* self, PyObject*) {
  return method<raise_held>("keys", {}, self, {}, [&] {
    GroupTables<PyValue>& tables = *as_grouped(self)->handle.tables;
    CollectionReadGuard guard(tables.groups_lock);
    tables.check_live();
    OwnedRef list = OwnedRef::checked(PyList_New(0));
    for (const auto& entry : tables.groups) {
      if (entry.second.state->retired()) continue;
      if (PyList_Append(list.get(), entry.first.get()) < 0) throw PyErrOccurred{};
    }
    return list.release();
  });
}

PyObject* grouped_get_group(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return method<raise_held>(
      "get_group", {"key"}, self, {args, nargs, kwnames},
      [&](const ModuleState& module, PyObject* key) {
        GroupedObject* g = as_grouped(self);
        std::optional<CollectionHandle<PyValue>> group;
        {
          CollectionReadGuard guard(g->handle.tables->groups_lock);
          g->handle.tables->check_live();
          auto it = g->handle.tables->groups.find(PyValue::new_ref(key));
          if (it != g->handle.tables->groups.end() && !it->second.state->retired())
            group = it->second;
        }
        if (!group) Py_RETURN_NONE;
        return make_collection(module, share_of(g), std::move(*group)).release();
      });
}

PyObject* grouped_group_count(PyObject* self, PyObject*) {
  return method<raise_held>("group_count", {}, self, {}, [&] {
    GroupTables<PyValue>& tables = *as_grouped(self)->handle.tables;
    CollectionReadGuard guard(tables.groups_lock);
    tables.check_live();
    return PyLong_FromSize_t(
        size_t(std::count_if(tables.groups.begin(), tables.groups.end(),
                             [](const auto& entry) { return !entry.second.state->retired(); })));
  });
}

PyObject* grouped_version_node(PyObject* self, void*) {
  return method<raise_held>("version_node", {}, self, {}, [&](const ModuleState& module) {
    GroupedObject* g = as_grouped(self);
    g->handle.tables->check_live();
    NodeHandle mirror = g->mirrors->mirror_of(*g->runtime, g->handle.router);
    return make_node_id(module, mirror).release();
  });
}

PyMethodDef grouped_methods[] = {
    VELK_CLASS_GETITEM,
    {"keys", grouped_keys, METH_NOARGS, "keys($self)\n--\n\n"},
    {"get_group", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(grouped_get_group)),
     METH_FASTCALL | METH_KEYWORDS, "get_group($self, key)\n--\n\n"},
    {"group_count", grouped_group_count, METH_NOARGS, "group_count($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef grouped_getset[] = {
    {"version_node", grouped_version_node, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* create_grouped_collection_type(PyObject* module) {
  static PyType_Slot slots[] = {
      {Py_tp_methods, grouped_methods},
      {Py_tp_getset, grouped_getset},
      {Py_tp_dealloc, reinterpret_cast<void*>(engine_object_dealloc<GroupedHandle>)},
      {Py_tp_traverse, reinterpret_cast<void*>(engine_object_traverse<GroupedHandle>)},
      {Py_tp_clear, reinterpret_cast<void*>(engine_object_clear<GroupedHandle>)},
      {Py_tp_members, weaklist_members<GroupedObject>()},
      {0, nullptr},
  };
  static PyType_Spec spec = {"velk_concurrent.GroupedCollection", sizeof(GroupedObject), 0,
                             kClassFlags | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                             slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

OwnedRef make_grouped_collection(const ModuleState& module, const EngineShare& share,
                                 GroupedHandle grouped) {
  return make_engine_object(module.grouped_collection, share, std::move(grouped));
}

}  // namespace velk::py
