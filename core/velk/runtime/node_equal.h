// A node's own equality, replacing ValueTraits<T>::equal where a set or a recompute decides
// whether the node's value changed (identity, a tolerance, "always changed"). Kept beside the
// node's compute function in the slot table; a node without one pays nothing.
#pragma once

#include <memory>
#include <typeinfo>

#include "velk/base/check.h"
#include "velk/base/value_traits.h"
#include "velk/graph/dep_stack.h"
#include "velk/memory/generic_arena.h"
#include "velk/memory/hazard.h"
#include "velk/memory/held.h"

namespace velk {

class ErasedEqual {
 public:
  virtual ~ErasedEqual() = default;
  virtual const std::type_info& value_type() const noexcept = 0;
  // Offers the values it holds (an embedding's callable).
  virtual void visit_held(HeldVisitor&) const {}
};

template <class T>
class NodeEqual : public ErasedEqual {
 public:
  // Whether `now` counts as the same value as `old`: no change, no new revision.
  virtual bool equal(const T& old, const T& now) const = 0;
  const std::type_info& value_type() const noexcept final { return typeid(T); }
};

// Whether `now` counts as the same value as `old` (null: an empty cell, equal to nothing).
template <class T>
bool equals_old(const T* old, const T& now, const ErasedEqual* equal) {
  if (old == nullptr) return false;
  if (equal == nullptr) return ValueTraits<T>::equal(*old, now);
  VELK_DCHECK(equal->value_type() == typeid(T));  // set_cutoff took a handle of the node's type
  // What it reads is no dependency of the compute it compares for (reading a reader of the node
  // there would record a cycle).
  UntrackedReads untracked;
  return static_cast<const NodeEqual<T>*>(equal)->equal(*old, now);
}

// Whether `value` equals the one stored at `index`, by `equal` when the node has one. An empty
// cell equals nothing.
template <class T>
bool equals_stored(const GenericArena<T>& arena, uint32_t index, const T& value,
                   const ErasedEqual* equal) {
  if (equal == nullptr) return arena.equals(index, value);
  HazardHolder holder;
  return equals_old(arena.try_read_protected(index, holder), value, equal);
}

// equals_stored for the claimer of a query, which alone writes its cell; a claimed node cannot
// be deleted, so nothing frees the cell meanwhile and it needs no hazard protection.
template <class T>
bool equals_claimed(const ValueSlot<T>& slot, const T& value, const ErasedEqual* equal) {
  const Cell<T>* old = slot.owned();
  return equals_old(old == nullptr ? nullptr : &old->value, value, equal);
}

}  // namespace velk
