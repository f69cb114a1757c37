// Version mirrors: Python-visible query nodes that follow a u64 node (a collection's version)
// and yield it as a Python int; and the per-Runtime cache that keeps one mirror per version
// node and knows, for a mirror, the node it follows (deleting a collection's version_node
// deletes the collection).
#pragma once

#include <mutex>
#include <optional>
#include <unordered_map>

#include "support/gil.h"
#include "values/py_value.h"
#include "velk/collections/collection.h"
#include "velk/runtime/runtime.h"

namespace velk::py {

// A Python int; requires the interpreter lock.
PyValue python_int(uint64_t value);

// Creates a mirror query over `source` (refused inside a compute, like any query). It is
// recorded as reading `source`, so it goes with it even before its first read.
NodeHandle create_version_mirror(Runtime& runtime, Velk<uint64_t> source);

class VersionMirrorCache {
 public:
  // The live mirror of `version_node`, creating (or replacing a deleted) one when needed.
  // Called with the interpreter lock, which guards the cache on the default build; on a
  // free-threaded build the mutex does, held while a missing mirror is created, so concurrent
  // first reads make one.
  NodeHandle mirror_of(Runtime& runtime, Velk<uint64_t> version_node);
  // The version node a live mirror of this cache follows; none for any other node.
  std::optional<Velk<uint64_t>> source_of(const Runtime& runtime, const NodeHandle& mirror);

 private:
  struct Key {
    uint32_t slot;
    uint32_t generation;
    uint64_t runtime_id;
    friend bool operator==(const Key&, const Key&) = default;
  };
  struct KeyHash {
    size_t operator()(const Key& k) const noexcept {
      return (uint64_t(k.slot) << 32 | k.generation) * 0x9E3779B97F4A7C15ULL ^ k.runtime_id;
    }
  };
  template <class T>
  static Key key_of(const Velk<T>& handle) {
    return {handle.slot, handle.generation, handle.runtime_id.value};
  }
  // Requires mutex_. Drops the entries of deleted nodes whenever the table has doubled.
  void prune(const Runtime& runtime);

  FreeThreadedMutex mutex_;
  std::unordered_map<Key, NodeHandle, KeyHash> mirrors_;      // guarded by mutex_
  std::unordered_map<Key, Velk<uint64_t>, KeyHash> sources_;  // guarded by mutex_
  size_t pruned_size_ = 0;                                    // guarded by mutex_
};

}  // namespace velk::py
