#include "version_mirror.h"

#include "errors.h"
#include "gil.h"

namespace velk::py {

NodeHandle create_version_mirror(Runtime& runtime, Velk<uint64_t> source) {
  return runtime.create_query<PyValue>([source](Runtime& rt, uint32_t) {
    const uint64_t value = rt.get(source);
    GilEnsure gil;
    PyObject* number = PyLong_FromUnsignedLongLong(value);
    if (number == nullptr) throw_current_error_as_failure("velk: converting a version failed");
    return PyValue::steal(number);
  });
}

NodeHandle VersionMirrorCache::mirror_of(Runtime& runtime, Velk<uint64_t> version_node) {
  const Key key{version_node.slot, version_node.generation, version_node.runtime_id.value};
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = mirrors_.find(key);
  if (it != mirrors_.end() && runtime.is_alive(ErasedVelk(it->second))) return it->second;
  const NodeHandle mirror = create_version_mirror(runtime, version_node);
  mirrors_.insert_or_assign(key, mirror);
  return mirror;
}

}  // namespace velk::py
