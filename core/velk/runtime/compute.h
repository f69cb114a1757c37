// The compute function of a query node: shared, type-erased, called as
// (runtime, slot, was_dirty, equal), storing the node's value and returning whether it changed.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "velk/memory/generic_arena.h"
#include "velk/memory/held.h"
#include "velk/runtime/node_equal.h"

namespace velk {

class Runtime;

class ComputeFunction {
 public:
  virtual ~ComputeFunction() = default;
  // Reads other nodes only through Runtime::get, stores the value as its last step and
  // reports failure by throwing (a failed compute leaves the cell as it was). A recompute
  // compares its value with the stored one by `equal`, the node's own (nullptr: the type's).
  virtual bool compute(Runtime& runtime, uint32_t slot, bool was_dirty,
                       const ErasedEqual* equal) = 0;
  // Offers the values this function holds (its callable's captures, an operator's state).
  virtual void visit_held(HeldVisitor&) const {}
};

// A compute function built from a value-producing callable `F(Runtime&, uint32_t slot) -> T`.
template <class T, class F>
class QueryFunction final : public ComputeFunction {
 public:
  QueryFunction(std::shared_ptr<GenericArena<T>> arena, F produce)
      : arena_(std::move(arena)), produce_(std::move(produce)) {}

  bool compute(Runtime& runtime, uint32_t slot, bool was_dirty, const ErasedEqual* equal) override;

  // A callable that holds values says so with `visit_held(HeldVisitor&) const`.
  void visit_held(HeldVisitor& visitor) const override {
    if constexpr (requires { produce_.visit_held(visitor); }) produce_.visit_held(visitor);
  }

 private:
  // The value of a run whose reads were not torn, or the failure of such a run.
  T produce_untorn(Runtime& runtime, uint32_t slot);

  std::shared_ptr<GenericArena<T>> arena_;
  F produce_;
};

}  // namespace velk
