// The registered observers, by id and by observed node.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "velk/runtime/observer.h"

namespace velk {

// Ids count from 1 and are never reused. The index by node lets a deletion take its node's
// observers without scanning every observer, and unobserve stays O(log n) however many
// observers one node has. Not synchronised: the runtime guards it with its structural lock.
class ObserverTable {
 public:
  using ById = std::unordered_map<uint64_t, ObserverEntry>;

  uint64_t add(std::shared_ptr<ObserverClosure> closure, uint32_t slot) {
    const uint64_t id = next_id_++;
    by_id_.emplace(id, ObserverEntry{std::move(closure), slot});
    by_slot_.emplace(slot, id);
    return id;
  }

  // The removed observer's closure; nullptr for an unknown or already removed id.
  std::shared_ptr<ObserverClosure> remove(uint64_t id) {
    auto it = by_id_.find(id);
    if (it == by_id_.end()) return nullptr;
    std::shared_ptr<ObserverClosure> closure = std::move(it->second.closure);
    by_slot_.erase({it->second.slot, id});
    by_id_.erase(it);
    return closure;
  }

  // Removes the node's observers; returns their closures.
  std::vector<std::shared_ptr<ObserverClosure>> remove_of(uint32_t slot) {
    std::vector<std::shared_ptr<ObserverClosure>> closures;
    auto it = by_slot_.lower_bound({slot, 0});
    while (it != by_slot_.end() && it->first == slot) {
      auto entry = by_id_.find(it->second);
      closures.push_back(std::move(entry->second.closure));
      by_id_.erase(entry);
      it = by_slot_.erase(it);
    }
    return closures;
  }

  ObserverEntry* find(uint64_t id) {
    auto it = by_id_.find(id);
    return it == by_id_.end() ? nullptr : &it->second;
  }
  const ById& by_id() const noexcept { return by_id_; }
  size_t size() const noexcept { return by_id_.size(); }

  // Empties the table (ids keep counting); returns what it held.
  ById take_all() {
    by_slot_.clear();
    return std::exchange(by_id_, {});
  }

 private:
  ById by_id_;
  std::set<std::pair<uint32_t, uint64_t>> by_slot_;  // (observed slot, id)
  uint64_t next_id_ = 1;
};

}  // namespace velk
