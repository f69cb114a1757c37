#include "velk/memory/arena_registry.h"

namespace velk {

std::shared_ptr<ErasedArena> ArenaRegistry::erased(uint16_t tag) const {
  if (tag >= arenas_.size()) fail_index_out_of_range("ArenaRegistry::erased", tag, arenas_.size());
  return arenas_[tag];
}

void ArenaRegistry::check_room() const {
  if (arenas_.size() >= kMaxTags) {
    fail("velk-core: more than 65536 distinct value types in one runtime");
  }
}

}  // namespace velk
