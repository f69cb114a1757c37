// The count of method calls inside the engines, which the cycle collector reads to leave the
// engines alone meanwhile (adapters/engine_gc.h says why a count suffices).
#pragma once

#include <atomic>
#include <cstdint>

#include "support/refs.h"

namespace velk::py {

// On the default build the interpreter lock guards the count. On a free-threaded build methods
// run at once, so it is atomic, and a visit of the engines marks it: a collection visits with
// the world stopped, but gc.get_referents visits while other threads run, and a method entered
// meanwhile would change what is being visited, so entries wait for the visit to end.
struct alignas(64) EngineScopeCount {
#ifdef Py_GIL_DISABLED
  static constexpr uint32_t kVisiting = 1u << 31;
  std::atomic<uint32_t> open{0};
  void enter() noexcept {
    while (open.fetch_add(1, std::memory_order_acquire) & kVisiting) {
      open.fetch_sub(1, std::memory_order_relaxed);
      wait_out_visit();
    }
  }
  void leave() noexcept { open.fetch_sub(1, std::memory_order_release); }
  bool begin_visit() noexcept {
    uint32_t none = 0;
    return open.compare_exchange_strong(none, kVisiting, std::memory_order_acquire);
  }
  void end_visit() noexcept { open.fetch_and(~kVisiting, std::memory_order_release); }
  // Detached while it waits: the visitor may need the world stopped.
  void wait_out_visit() noexcept;
#else
  uint32_t open = 0;
  void enter() noexcept { ++open; }
  void leave() noexcept { --open; }
  bool begin_visit() const noexcept { return open == 0; }
  void end_visit() noexcept {}
#endif
};
extern EngineScopeCount engine_scopes;

// Marks a method call that may touch an engine (nested ones included). Open and close it with
// the interpreter lock held (an attached thread state on a free-threaded build).
class EngineScope {
 public:
  EngineScope() noexcept { engine_scopes.enter(); }
  ~EngineScope() { engine_scopes.leave(); }
  EngineScope(const EngineScope&) = delete;
  EngineScope& operator=(const EngineScope&) = delete;
};

// The collector's visit of the engines: true while no engine scope is open, and then none
// opens until it ends.
class EngineVisit {
 public:
  EngineVisit() noexcept : visiting_(engine_scopes.begin_visit()) {}
  ~EngineVisit() {
    if (visiting_) engine_scopes.end_visit();
  }
  EngineVisit(const EngineVisit&) = delete;
  EngineVisit& operator=(const EngineVisit&) = delete;
  explicit operator bool() const noexcept { return visiting_; }

 private:
  bool visiting_;
};

}  // namespace velk::py
