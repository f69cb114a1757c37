// The reverse of every node's dependency list: for each slot, the nodes that read it.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

namespace velk {

// One list per slot, one entry per recorded read, so a node that read a slot twice is listed
// twice. Order: arrival order, except that a removal moves the list's last entry into the gap.
// A long list also keeps where each dependent's entries are, so removing a dependent costs the
// number of its entries, not the list's length: deleting every reader of a widely read node,
// in any order, stays linear.
//
// Not synchronised: the dependency graph (dependency_graph.h) guards it with the structural
// lock (changes under the write lock).
class DependentsTable {
 public:
  // Appends a slot with no dependents.
  void add_slot() { lists_.emplace_back(); }
  uint32_t size() const noexcept { return uint32_t(lists_.size()); }
  // Inline: an invalidation walk asks once per node it marks.
  const std::vector<uint32_t>& of(uint32_t slot) const {
    if (slot >= lists_.size()) [[unlikely]]
      fail_out_of_range(slot);
    return lists_[slot].entries;
  }
  void add(uint32_t slot, uint32_t dependent);
  // Removes every entry of `dependent` from the slot's list; none is fine.
  void remove(uint32_t slot, uint32_t dependent);
  void clear(uint32_t slot);

 private:
  // Lists at least this long keep an index; one that shrinks below half of it drops it.
  static constexpr size_t kIndexedLength = 16;
  using Positions = std::unordered_multimap<uint32_t, uint32_t>;  // dependent -> entry index
  struct List {
    std::vector<uint32_t> entries;
    std::unique_ptr<Positions> positions;  // long lists only
  };

  List& checked(uint32_t slot);
  [[noreturn]] void fail_out_of_range(uint32_t slot) const;
  static void remove_unindexed(List& list, uint32_t dependent);
  static void remove_indexed(List& list, uint32_t dependent);

  std::vector<List> lists_;
};

}  // namespace velk
