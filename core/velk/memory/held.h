// Visiting the values a runtime holds on behalf of its embedding, for a cycle collector that
// must know every reference the engine owns: node values, compute functions and observers with
// what they hold, collection contents and change logs, operator state.
//
// Contract: each stored value is offered exactly once per visit. A structure several owners
// share (a collection state read by many operators) is offered by whichever owner reaches it
// first; `first_visit` decides. Visiting is only sound while no thread uses the runtime: it
// reads the structures without their locks.
#pragma once

#include <memory>
#include <unordered_set>
#include <utility>
#include <vector>

namespace velk {

class HeldVisitor {
 public:
  virtual ~HeldVisitor() = default;
  // True the first time `shared` is offered during this visit; its owners offer its values
  // only then.
  bool first_visit(const void* shared) { return seen_.insert(shared).second; }

 private:
  std::unordered_set<const void*> seen_;
};

// A visitor of the values of type T; values of other types are not offered to it.
template <class T>
class ValueVisitor : public HeldVisitor {
 public:
  virtual void visit(const T& value) = 0;
};

template <class T>
ValueVisitor<T>* values_of(HeldVisitor& visitor) noexcept {
  return dynamic_cast<ValueVisitor<T>*>(&visitor);
}

// Offers a value, or every value inside a pair or vector of them.
template <class T>
void offer(ValueVisitor<T>& visitor, const T& value) {
  visitor.visit(value);
}
template <class T, class U>
void offer(ValueVisitor<T>& visitor, const std::vector<U>& values) {
  for (const U& value : values) offer(visitor, value);
}
template <class T, class A, class B>
void offer(ValueVisitor<T>& visitor, const std::pair<A, B>& pair) {
  offer(visitor, pair.first);
  offer(visitor, pair.second);
}

// Offers the values of a shared structure (one with `for_each_value`) on its first visit.
template <class T, class S>
void offer_shared(ValueVisitor<T>& visitor, const std::shared_ptr<S>& structure) {
  if (!structure || !visitor.first_visit(structure.get())) return;
  structure->for_each_value([&visitor](const auto& value) { offer(visitor, value); });
}

}  // namespace velk
