// The module's Python classes: their objects' layouts and the functions other binding files use.
#pragma once

#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "py_value.h"
#include "refs.h"
#include "velk/base/handle.h"
#include "velk/collections/collection.h"
#include "velk/runtime/runtime.h"

// The method-table entry that lets annotations subscript a class (NodeId[int],
// Collection[str]) as they do the standard generic classes.
#define VELK_CLASS_GETITEM \
  { "__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS, "See PEP 585." }

#include <structmember.h>  // after Python.h, which refs.h includes

namespace velk::py {

using NodeHandle = Velk<PyValue>;

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
  // The collections created here: no node holds them, so the collector learns of their
  // contents from this list while their objects and operators keep them. Guarded by the
  // interpreter lock.
  std::vector<std::weak_ptr<CollectionState<PyValue>>> roots;
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
template <class Handle>
OwnedRef make_engine_object(PyTypeObject* type, const EngineShare& share, Handle handle) {
  auto* obj = PyObject_GC_New(EngineObject<Handle>, type);
  if (obj == nullptr) throw PyErrOccurred{};
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
  Py_DECREF(type);
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

struct RuntimeRefObject {
  PyObject_HEAD Runtime* runtime;  // null once the computation that created it has ended
  std::thread::id owner;           // the thread running that computation
};

// Type objects, created at module initialisation (owned by the module).
extern PyTypeObject* runtime_type;
extern PyTypeObject* node_id_type;
extern PyTypeObject* observer_id_type;
extern PyTypeObject* runtime_ref_type;
extern PyTypeObject* collection_type;
extern PyTypeObject* sorted_collection_type;
extern PyTypeObject* grouped_collection_type;

PyTypeObject* create_runtime_type();
PyTypeObject* create_node_id_type();
PyTypeObject* create_observer_id_type();
PyTypeObject* create_runtime_ref_type();
PyTypeObject* create_collection_type();
PyTypeObject* create_grouped_collection_type();
PyTypeObject* create_sorted_collection_type();

// New collection objects of the runtime `share` names.
OwnedRef make_grouped_collection(const EngineShare& share, GroupedHandle grouped);
OwnedRef make_sorted_collection(const EngineShare& share, SortedHandle sorted);
OwnedRef make_collection(const EngineShare& share, CollectionHandle<PyValue> handle);

// A new NodeId for `handle`.
OwnedRef make_node_id(const NodeHandle& handle);

// A new RuntimeRef bound to the calling thread; invalidate it when its computation ends.
OwnedRef make_runtime_ref(Runtime* runtime);
void invalidate_runtime_ref(PyObject* ref);

}  // namespace velk::py
