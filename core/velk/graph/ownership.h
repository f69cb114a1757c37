// Which nodes go with which: inputs adopted by an owner are deleted with it, and state retired
// with a node (an operator's tables) is retired when the node is deleted.
//
// Locking: guarded by the runtime's structural lock; changes under the write lock, lookups
// under either mode, each taking the lock's token.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "velk/base/retirable.h"
#include "velk/graph/structural_lock.h"

namespace velk {

class Ownership {
 public:
  // Makes `owned` owned by `owner`; a node has at most one owner.
  void adopt(uint32_t owner, uint32_t owned, const StructuralLock::Exclusive& held);
  // The nodes `owner` owns, in adoption order; nullptr when none.
  const std::vector<uint32_t>* owned_by(uint32_t owner, const StructuralLock::Shared& held) const;

  // Retires `state` (if still alive then) when `slot`'s node is deleted.
  void retire_with(uint32_t slot, std::weak_ptr<Retirable> state,
                   const StructuralLock::Exclusive& held);

  // Takes a deleted node out: off its owner's list, and returns the state retired with it.
  std::weak_ptr<Retirable> unlink(uint32_t slot, const StructuralLock::Exclusive& held);

 private:
  std::unordered_map<uint32_t, uint32_t> owner_of_;            // owned slot -> owner slot
  std::unordered_map<uint32_t, std::vector<uint32_t>> owned_;  // owner slot -> owned slots
  std::unordered_map<uint32_t, std::weak_ptr<Retirable>> retired_with_;  // slot -> its state
};

}  // namespace velk
