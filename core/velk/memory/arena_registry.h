// Per-runtime registry giving each value type a 16-bit arena tag, in order of first use.
// Not synchronised: its owner guards it with the runtime's structural lock (ensure_tagged
// under the write lock, lookups under at least the read lock).
#pragma once

#include <cstdint>
#include <memory>
#include <typeindex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "velk/memory/generic_arena.h"

namespace velk {

class ArenaRegistry {
 public:
  static constexpr size_t kMaxTags = 65536;

  template <class T>
  std::pair<uint16_t, std::shared_ptr<GenericArena<T>>> ensure_tagged() {
    const uint16_t tag = tag_for(typeid(GenericArena<T>), [] {
      return std::shared_ptr<ErasedArena>(std::make_shared<GenericArena<T>>());
    });
    auto arena = get<T>(tag);
    if (!arena) fail("ArenaRegistry::ensure_tagged downcast failed; TypeId/arena mismatch");
    return {tag, std::move(arena)};
  }

  // Absent when the tag is unknown or names an arena of another value type.
  template <class T>
  std::shared_ptr<GenericArena<T>> get(uint16_t tag) const {
    if (tag >= arenas_.size()) return nullptr;
    const std::shared_ptr<ErasedArena>& arena = arenas_[tag];
    if (!arena->holds<T>()) return nullptr;
    return std::static_pointer_cast<GenericArena<T>>(arena);
  }

  std::shared_ptr<ErasedArena> erased(uint16_t tag) const;

  size_t arena_count() const noexcept { return arenas_.size(); }

 private:
  template <class Make>
  uint16_t tag_for(std::type_index type, Make make) {
    if (auto it = tags_.find(type); it != tags_.end()) {
      if (it->second >= arenas_.size()) {
        fail_index_out_of_range("ArenaRegistry", it->second, arenas_.size());
      }
      return it->second;
    }
    check_room();
    const auto tag = uint16_t(arenas_.size());
    arenas_.push_back(make());
    tags_.emplace(type, tag);
    return tag;
  }
  void check_room() const;

  std::vector<std::shared_ptr<ErasedArena>> arenas_;
  std::unordered_map<std::type_index, uint16_t> tags_;
};

}  // namespace velk
