// The count of method calls inside the engines, which the cycle collector reads to leave the
// engines alone meanwhile (adapters/engine_gc.h says why a count suffices).
#pragma once

#include <atomic>
#include <cstdint>

#include "support/refs.h"

namespace velk::py {

// On the default build the interpreter lock guards the count. On a free-threaded build methods
// run at once, so it is atomic; the collector reads it with the world stopped, which orders it
// after every change made before the pause.
struct alignas(64) EngineScopeCount {
#ifdef Py_GIL_DISABLED
  std::atomic<uint32_t> open{0};
  void enter() noexcept { open.fetch_add(1, std::memory_order_relaxed); }
  void leave() noexcept { open.fetch_sub(1, std::memory_order_relaxed); }
  bool any() const noexcept { return open.load(std::memory_order_relaxed) != 0; }
#else
  uint32_t open = 0;
  void enter() noexcept { ++open; }
  void leave() noexcept { --open; }
  bool any() const noexcept { return open != 0; }
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

}  // namespace velk::py
