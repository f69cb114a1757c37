// Version mirrors: Python-visible query nodes that follow a u64 node (a collection's version,
// a count) and yield it as a Python int; and the per-Runtime cache that keeps one mirror per
// version node.
#pragma once

#include <mutex>
#include <unordered_map>

#include "types.h"

namespace velk::py {

// Creates a mirror query over `source` (refused inside a compute, like any query).
NodeHandle create_version_mirror(Runtime& runtime, Velk<uint64_t> source);

class VersionMirrorCache {
 public:
  // The live mirror of `version_node`, creating (or replacing a deleted) one when needed.
  // The mutex is held while a missing mirror is created, so concurrent first reads make one.
  NodeHandle mirror_of(Runtime& runtime, Velk<uint64_t> version_node);

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
  std::mutex mutex_;
  std::unordered_map<Key, NodeHandle, KeyHash> mirrors_;  // guarded by mutex_
};

}  // namespace velk::py
