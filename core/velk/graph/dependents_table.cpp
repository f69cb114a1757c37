#include "velk/graph/dependents_table.h"

#include "velk/base/failure.h"

namespace velk {

DependentsTable::List& DependentsTable::checked(uint32_t slot) {
  if (slot >= lists_.size()) fail_index_out_of_range("dependents table", slot, lists_.size());
  return lists_[slot];
}

void DependentsTable::fail_out_of_range(uint32_t slot) const {
  fail_index_out_of_range("dependents table", slot, lists_.size());
}

void DependentsTable::add(uint32_t slot, uint32_t dependent) {
  List& list = checked(slot);
  list.entries.push_back(dependent);
  const uint32_t index = uint32_t(list.entries.size() - 1);
  if (list.positions) {
    list.positions->emplace(dependent, index);
  } else if (list.entries.size() >= kIndexedLength) {
    list.positions = std::make_unique<Positions>();
    list.positions->reserve(list.entries.size() * 2);
    for (uint32_t i = 0; i <= index; ++i) list.positions->emplace(list.entries[i], i);
  }
}

void DependentsTable::remove(uint32_t slot, uint32_t dependent) {
  List& list = checked(slot);
  if (!list.positions) {
    remove_unindexed(list, dependent);
    return;
  }
  remove_indexed(list, dependent);
  if (list.entries.size() < kIndexedLength / 2) list.positions.reset();
}

void DependentsTable::clear(uint32_t slot) {
  List& list = checked(slot);
  list.entries.clear();
  list.positions.reset();
}

void DependentsTable::remove_unindexed(List& list, uint32_t dependent) {
  // From the back, so an entry moved into a gap has already been looked at.
  for (size_t i = list.entries.size(); i-- > 0;) {
    if (list.entries[i] != dependent) continue;
    list.entries[i] = list.entries.back();
    list.entries.pop_back();
  }
}

void DependentsTable::remove_indexed(List& list, uint32_t dependent) {
  Positions& positions = *list.positions;
  for (auto it = positions.find(dependent); it != positions.end(); it = positions.find(dependent)) {
    const uint32_t gap = it->second;
    positions.erase(it);
    const uint32_t last = uint32_t(list.entries.size() - 1);
    if (gap != last) {
      const uint32_t moved = list.entries[last];
      list.entries[gap] = moved;
      auto [at, end] = positions.equal_range(moved);
      while (at != end && at->second != last) ++at;
      if (at == end) fail("velk-core: dependents index lost an entry; this should be impossible");
      at->second = gap;
    }
    list.entries.pop_back();
  }
}

}  // namespace velk
