// The module's Python classes: their objects' layouts and the functions other binding files use.
#pragma once

#include <memory>
#include <thread>

#include "py_value.h"
#include "refs.h"
#include "velk/collection.h"
#include "velk/handle.h"
#include "velk/runtime.h"

namespace velk::py {

using NodeHandle = Velk<PyValue>;

struct NodeIdObject {
  PyObject_HEAD
  NodeHandle handle;
};

struct ObserverIdObject {
  PyObject_HEAD
  uint64_t id;
};

class VersionMirrorCache;
struct GroupedHandle;
struct SortedHandle;

struct RuntimeObject {
  PyObject_HEAD
  std::shared_ptr<Runtime> runtime;
  std::shared_ptr<VersionMirrorCache> mirrors;
};

// The collection classes hold the same things: shares of the runtime and of its mirror cache
// (the engine lives until the last of its objects is gone) and one engine handle.
template <class Handle>
struct EngineObject {
  PyObject_HEAD
  std::shared_ptr<Runtime> runtime;
  std::shared_ptr<VersionMirrorCache> mirrors;
  Handle handle;
};

template <class Handle>
EngineObject<Handle>* as_engine_object(PyObject* self) {
  return reinterpret_cast<EngineObject<Handle>*>(self);
}

// A new object of `type` (whose layout is EngineObject<Handle>).
template <class Handle>
OwnedRef make_engine_object(PyTypeObject* type, const std::shared_ptr<Runtime>& runtime,
                            const std::shared_ptr<VersionMirrorCache>& mirrors, Handle handle) {
  auto* obj = PyObject_New(EngineObject<Handle>, type);
  if (obj == nullptr) throw PyErrOccurred{};
  new (&obj->runtime) std::shared_ptr<Runtime>(runtime);
  new (&obj->mirrors) std::shared_ptr<VersionMirrorCache>(mirrors);
  new (&obj->handle) Handle(std::move(handle));
  return OwnedRef::steal(reinterpret_cast<PyObject*>(obj));
}

// tp_dealloc of every EngineObject type; the cache type must be complete where it is used.
template <class Handle>
void engine_object_dealloc(PyObject* self) {
  EngineObject<Handle>* obj = as_engine_object<Handle>(self);
  obj->handle.~Handle();
  obj->mirrors.~shared_ptr();
  obj->runtime.~shared_ptr();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

using CollectionObject = EngineObject<CollectionHandle<PyValue>>;

struct RuntimeRefObject {
  PyObject_HEAD
  Runtime* runtime;          // null once the computation that created it has ended
  std::thread::id owner;     // the thread running that computation
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

// A new GroupedCollection object sharing `runtime` and `mirrors`.
OwnedRef make_grouped_collection(const std::shared_ptr<Runtime>& runtime,
                                 const std::shared_ptr<VersionMirrorCache>& mirrors,
                                 GroupedHandle grouped);

// A new SortedCollection object sharing `runtime` and `mirrors`.
OwnedRef make_sorted_collection(const std::shared_ptr<Runtime>& runtime,
                                const std::shared_ptr<VersionMirrorCache>& mirrors,
                                SortedHandle sorted);

// A new Collection object sharing `runtime` and `mirrors`.
OwnedRef make_collection(const std::shared_ptr<Runtime>& runtime,
                         const std::shared_ptr<VersionMirrorCache>& mirrors,
                         CollectionHandle<PyValue> handle);

// A new NodeId for `handle`.
OwnedRef make_node_id(const NodeHandle& handle);

// A new RuntimeRef bound to the calling thread; invalidate it when its computation ends.
OwnedRef make_runtime_ref(Runtime* runtime);
void invalidate_runtime_ref(PyObject* ref);

}  // namespace velk::py
