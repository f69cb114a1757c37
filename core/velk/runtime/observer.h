// Observers: the push side of the engine. A stabilize pass brings every observed node up to
// date and delivers its value to the observer when it changed since the observer last fired.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "velk/base/handle.h"
#include "velk/memory/held.h"

namespace velk {

class Runtime;

// One registration, shared-owned by the observer table and by any pass that copied it.
//
// Passes on several threads may reach one observer at once. Its delivery lock makes its
// callback run on one thread at a time, and each pass decides and delivers under it, so the
// values delivered follow the node's values in order (a pass may skip values, never go back).
// A pass that finds the observer busy while it runs a callback itself must not wait (two such
// passes could wait for each other): it asks the holder to look again before letting go.
class ObserverClosure {
  friend class Runtime;
  friend class ObserverTable;  // resets a delivery lock after a fork

 public:
  explicit ObserverClosure(ErasedVelk node) : node_(node) {}
  virtual ~ObserverClosure() = default;

  const ErasedVelk& node() const noexcept { return node_; }

  // Offers the values the closure holds (its callback).
  virtual void visit_held(HeldVisitor&) const {}

 protected:
  // Reads the node's value (re-checking the handle) and hands it to the callback, setting
  // `in_callback` first: a failure after that is the callback's own. A read through
  // Runtime::read_observed records the value's own stamp, so a value newer than the pass saw
  // is not delivered twice.
  virtual void deliver(Runtime& runtime, bool& in_callback) = 0;

 private:
  ErasedVelk node_;
  std::mutex delivery_;
  std::atomic<std::thread::id> holder_{};  // who holds delivery_; none when free
  uint64_t last_fired_ = 0;           // guarded by delivery_: revision delivered up to; only rises
  uint64_t delivered_ = 0;            // guarded by delivery_: the stamp read_observed read
  std::atomic<bool> recheck_{false};  // release/acquire: a busy pass's request to look again
};

struct ObserverEntry {
  std::shared_ptr<ObserverClosure> closure;
  uint32_t slot;  // the observed node, for deletion
};

}  // namespace velk
