// Observers: the push side of the engine. A stabilize pass brings every observed node up to
// date and delivers its value to the observer when it changed since the observer last fired.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "velk/handle.h"
#include "velk/held.h"

namespace velk {

class Runtime;

// One registration, shared-owned by the observer table and by any pass that copied it.
class ObserverClosure {
 public:
  explicit ObserverClosure(ErasedVelk node) : node_(node) {}
  virtual ~ObserverClosure() = default;

  const ErasedVelk& node() const noexcept { return node_; }

  // Brings the node up to date; when its value changed past `last_fired`, delivers it.
  // Returns (fired, seen): seen is the revision the delivery accounts for.
  std::pair<bool, uint64_t> fire(Runtime& runtime, uint64_t last_fired);

  // Offers the values the closure holds (its callback).
  virtual void visit_held(HeldVisitor&) const {}

 protected:
  // Reads the node's value (re-checking the handle) and hands it to the callback.
  virtual void deliver(Runtime& runtime) = 0;

 private:
  ErasedVelk node_;
};

struct ObserverEntry {
  std::shared_ptr<ObserverClosure> closure;
  uint64_t last_fired;  // revision up to which this observer has been notified; only rises
  uint32_t slot;        // the observed node, for deletion
};

}  // namespace velk
