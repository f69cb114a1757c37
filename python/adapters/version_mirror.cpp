#include "adapters/version_mirror.h"

#include "support/errors.h"
#include "support/gil.h"

namespace velk::py {

PyValue python_int(uint64_t value) {
  PyObject* number = PyLong_FromUnsignedLongLong(value);
  if (number == nullptr) throw_current_error_as_failure("velk: converting a version failed");
  return PyValue::steal(number);
}

NodeHandle create_version_mirror(Runtime& runtime, Velk<uint64_t> source) {
  return runtime.create_query<PyValue>(
      [source](Runtime& rt, uint32_t) {
        const uint64_t value = rt.get(source);
        GilEnsure gil;
        return python_int(value);
      },
      {ErasedVelk(source)});
}

NodeHandle VersionMirrorCache::mirror_of(Runtime& runtime, Velk<uint64_t> version_node) {
  const Key key = key_of(version_node);
  std::lock_guard<FreeThreadedMutex> guard(mutex_);
  auto it = mirrors_.find(key);
  if (it != mirrors_.end() && runtime.is_alive(ErasedVelk(it->second))) return it->second;
  const NodeHandle mirror = create_version_mirror(runtime, version_node);
  mirrors_.insert_or_assign(key, mirror);
  sources_.insert_or_assign(key_of(mirror), version_node);
  prune(runtime);
  return mirror;
}

std::optional<Velk<uint64_t>> VersionMirrorCache::source_of(const Runtime& runtime,
                                                            const NodeHandle& mirror) {
  std::lock_guard<FreeThreadedMutex> guard(mutex_);
  auto it = sources_.find(key_of(mirror));
  if (it == sources_.end() || !runtime.is_alive(ErasedVelk(mirror))) return std::nullopt;
  return it->second;
}

void VersionMirrorCache::prune(const Runtime& runtime) {
  if (mirrors_.size() < 2 * pruned_size_ + 64) return;
  std::erase_if(mirrors_,
                [&](const auto& entry) { return !runtime.is_alive(ErasedVelk(entry.second)); });
  std::erase_if(sources_, [&](const auto& entry) {
    const Key& mirror = entry.first;
    return !runtime.is_alive(
        ErasedVelk(mirror.slot, mirror.generation, RuntimeId{mirror.runtime_id}));
  });
  pruned_size_ = mirrors_.size();
}

}  // namespace velk::py
