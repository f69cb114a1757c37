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
  friend class Runtime;

 public:
  explicit ObserverClosure(ErasedVelk node) : node_(node) {}
  virtual ~ObserverClosure() = default;

  const ErasedVelk& node() const noexcept { return node_; }

  // Brings the node up to date and returns the revision of its value, which the pass delivers
  // when it is past the observer's last firing.
  uint64_t refresh(Runtime& runtime) const;

  // Offers the values the closure holds (its callback).
  virtual void visit_held(HeldVisitor&) const {}

 protected:
  // Reads the node's value (re-checking the handle) and hands it to the callback, setting
  // `in_callback` first: a failure after that is the callback's own.
  virtual void deliver(Runtime& runtime, bool& in_callback) = 0;

 private:
  ErasedVelk node_;
};

struct ObserverEntry {
  std::shared_ptr<ObserverClosure> closure;
  uint64_t last_fired;  // revision up to which this observer has been notified; only rises
  uint32_t slot;        // the observed node, for deletion
};

}  // namespace velk
