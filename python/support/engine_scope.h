// The count of method calls inside the engines, which the cycle collector reads to leave the
// engines alone meanwhile (adapters/engine_gc.h says why a count suffices).
#pragma once

#include <cstdint>

namespace velk::py {

struct alignas(64) EngineScopeCount {
  uint32_t open = 0;  // guarded by the interpreter lock
};
extern EngineScopeCount engine_scopes;

// Marks a method call that may touch an engine (nested ones included). Open and close it with
// the interpreter lock held.
class EngineScope {
 public:
  EngineScope() noexcept { ++engine_scopes.open; }
  ~EngineScope() { --engine_scopes.open; }
  EngineScope(const EngineScope&) = delete;
  EngineScope& operator=(const EngineScope&) = delete;
};

}  // namespace velk::py
