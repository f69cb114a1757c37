// The module's Python classes: their objects' layouts and the functions other binding files use.
#pragma once

#include <memory>
#include <new>
#include <vector>

#include "adapters/engine_gc.h"
#include "support/args.h"
#include "support/refs.h"
#include "values/py_value.h"
#include "velk/collections/collection.h"
#include "velk/runtime/runtime.h"

// The method-table entry that lets annotations subscript a class (NodeId[int],
// Collection[str]) as they do the standard generic classes.
#define VELK_CLASS_GETITEM \
  { "__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS, "See PEP 585." }

#include <structmember.h>  // after Python.h, which refs.h includes

namespace velk::py {

struct NodeIdObject {
  PyObject_HEAD NodeHandle handle;
};

struct ObserverIdObject {
  PyObject_HEAD uint64_t id;  // numbered per runtime
  uint64_t runtime_id;        // the runtime that made it: another runtime's id names nothing there
};

class VersionMirrorCache;
struct GroupedHandle;
struct SortedHandle;

struct RuntimeObject {
  PyObject_HEAD std::shared_ptr<Runtime> runtime;
  std::shared_ptr<VersionMirrorCache> mirrors;
  CollectionRoots roots;
  PyObject* weakrefs;
};

// The collection classes hold the same things: shares of the runtime and of its mirror cache
// (the engine lives until the last of its objects is gone), one engine handle, and the Runtime
// object, which reports to the cycle collector what the engine holds, this object's contents
// included (null once the collector cleared this object).
template <class Handle>
struct EngineObject {
  PyObject_HEAD std::shared_ptr<Runtime> runtime;
  std::shared_ptr<VersionMirrorCache> mirrors;
  Handle handle;
  OwnedRef owner;
  PyObject* weakrefs;
};

// What the objects of one runtime share, taken from the Runtime object or a collection object.
struct EngineShare {
  PyObject* owner;
  const std::shared_ptr<Runtime>& runtime;
  const std::shared_ptr<VersionMirrorCache>& mirrors;
};

inline EngineShare share_of(RuntimeObject* obj) {
  return {reinterpret_cast<PyObject*>(obj), obj->runtime, obj->mirrors};
}

template <class Handle>
EngineShare share_of(EngineObject<Handle>* obj) {
  return {obj->owner.get(), obj->runtime, obj->mirrors};
}

template <class Handle>
EngineObject<Handle>* as_engine_object(PyObject* self) {
  return reinterpret_cast<EngineObject<Handle>*>(self);
}

// A new object of `type` (whose layout is EngineObject<Handle>), tracked by the collector.
// Every field is built before the object can be seen, so its dealloc never meets one that was
// not.
template <class Handle>
OwnedRef make_engine_object(PyTypeObject* type, const EngineShare& share, Handle handle) {
  auto* obj = PyObject_GC_New(EngineObject<Handle>, type);
  if (obj == nullptr) throw PyErrOccurred{};
  static_assert(std::is_nothrow_move_constructible_v<Handle>);
  new (&obj->runtime) std::shared_ptr<Runtime>(share.runtime);
  new (&obj->mirrors) std::shared_ptr<VersionMirrorCache>(share.mirrors);
  new (&obj->handle) Handle(std::move(handle));
  new (&obj->owner) OwnedRef(OwnedRef::new_ref(share.owner));
  obj->weakrefs = nullptr;
  PyObject_GC_Track(obj);
  return OwnedRef::steal(reinterpret_cast<PyObject*>(obj));
}

// tp_dealloc of every EngineObject type; the cache type must be complete where it is used.
template <class Handle>
void engine_object_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  EngineObject<Handle>* obj = as_engine_object<Handle>(self);
  if (obj->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  obj->handle.~Handle();
  obj->mirrors.~shared_ptr();
  obj->runtime.~shared_ptr();
  obj->owner.~OwnedRef();  // last: it may free the Runtime object and with it the engine
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  drop_reference(type);
}

template <class Handle>
int engine_object_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_engine_object<Handle>(self)->owner.get());
  return 0;
}

// tp_clear: drops the Runtime object and swaps the handle's contents for empty ones (see the
// `detach` overloads), which breaks a cycle through an element that refers to this object.
// The object stays usable; if the swap cannot allocate, the contents stay.
template <class Handle>
int engine_object_clear(PyObject* self) {
  EngineObject<Handle>* obj = as_engine_object<Handle>(self);
  obj->owner = OwnedRef();
  try {
    detach(obj->handle);
  } catch (const std::bad_alloc&) {
  }
  return 0;
}

// The member that places the weak-reference list (tp_weaklistoffset, set through a spec).
template <class Object>
PyMemberDef* weaklist_members() {
  static PyMemberDef members[] = {
      {"__weaklistoffset__", T_PYSSIZET, Py_ssize_t(offsetof(Object, weakrefs)), READONLY, nullptr},
      {nullptr, 0, 0, 0, nullptr},
  };
  return members;
}

// Replaces a collection's state with a fresh empty one; the old one goes with its last holder.
inline void detach(CollectionHandle<PyValue>& handle) {
  auto empty = std::make_shared<CollectionState<PyValue>>();
  handle.state.swap(empty);
}

using CollectionObject = EngineObject<CollectionHandle<PyValue>>;

PyTypeObject* create_runtime_type(PyObject* module);
PyTypeObject* create_node_id_type(PyObject* module);
PyTypeObject* create_observer_id_type(PyObject* module);
PyTypeObject* create_runtime_ref_type(PyObject* module);
PyTypeObject* create_collection_type(PyObject* module);
PyTypeObject* create_grouped_collection_type(PyObject* module);
PyTypeObject* create_sorted_collection_type(PyObject* module);

// Every class is final (no Py_TPFLAGS_BASETYPE), so an instance check is a type comparison,
// and immutable like the built-in classes.
constexpr unsigned long kClassFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;

// New collection objects of the runtime `share` names.
OwnedRef make_grouped_collection(const ModuleState& module, const EngineShare& share,
                                 GroupedHandle grouped);
OwnedRef make_sorted_collection(const ModuleState& module, const EngineShare& share,
                                SortedHandle sorted);
OwnedRef make_collection(const ModuleState& module, const EngineShare& share,
                         CollectionHandle<PyValue> handle);

// A new NodeId for `handle`.
OwnedRef make_node_id(const ModuleState& module, const NodeHandle& handle);

// The arguments that are objects of the module's classes.
template <>
struct Argument<NodeHandle> {
  static NodeHandle convert(const ArgumentSite& site, PyObject* obj) {
    if (!Py_IS_TYPE(obj, site.module.node_id)) wrong_argument_type(site, "NodeId", obj);
    return reinterpret_cast<NodeIdObject*>(obj)->handle;
  }
};

template <>
struct Argument<const ObserverIdObject*> {
  static const ObserverIdObject* convert(const ArgumentSite& site, PyObject* obj) {
    if (!Py_IS_TYPE(obj, site.module.observer_id)) wrong_argument_type(site, "ObserverId", obj);
    return reinterpret_cast<const ObserverIdObject*>(obj);
  }
};

template <>
struct Argument<CollectionObject*> {
  static CollectionObject* convert(const ArgumentSite& site, PyObject* obj) {
    if (!Py_IS_TYPE(obj, site.module.collection)) wrong_argument_type(site, "Collection", obj);
    return reinterpret_cast<CollectionObject*>(obj);
  }
};

}  // namespace velk::py
