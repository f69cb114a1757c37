#include "velk/graph/ownership.h"

#include <algorithm>
#include <string>

#include "velk/base/failure.h"

namespace velk {

namespace {

// Owned lists hold each node once; a deletion retires an owner's nodes last-adopted first.
void erase_from_back(std::vector<uint32_t>& list, uint32_t slot) {
  auto it = std::find(list.rbegin(), list.rend(), slot);
  if (it != list.rend()) list.erase(std::next(it).base());
}

}  // namespace

void Ownership::adopt(uint32_t owner, uint32_t owned, const StructuralLock::Exclusive& held) {
  held.dcheck();
  if (owner_of_.count(owned)) fail("velk-core: node " + std::to_string(owned) + " adopted twice");
  owner_of_.emplace(owned, owner);
  owned_[owner].push_back(owned);
}

const std::vector<uint32_t>* Ownership::owned_by(uint32_t owner,
                                                 const StructuralLock::Shared& held) const {
  held.dcheck();
  auto it = owned_.find(owner);
  return it == owned_.end() ? nullptr : &it->second;
}

void Ownership::retire_with(uint32_t slot, std::weak_ptr<Retirable> state,
                            const StructuralLock::Exclusive& held) {
  held.dcheck();
  retired_with_.insert_or_assign(slot, std::move(state));
}

std::weak_ptr<Retirable> Ownership::unlink(uint32_t slot, const StructuralLock::Exclusive& held) {
  held.dcheck();
  if (auto it = owner_of_.find(slot); it != owner_of_.end()) {
    const uint32_t owner = it->second;
    owner_of_.erase(it);
    auto list = owned_.find(owner);
    if (list == owned_.end()) fail("velk-core: owner_of names an owner with no owned list");
    erase_from_back(list->second, slot);
    if (list->second.empty()) owned_.erase(list);
  }
  std::weak_ptr<Retirable> state;
  if (auto it = retired_with_.find(slot); it != retired_with_.end()) {
    state = std::move(it->second);
    retired_with_.erase(it);
  }
  return state;
}

}  // namespace velk
