// How the cyclic garbage collector sees the engine. The Runtime object alone reports what the
// engine holds (every collection object keeps it alive and reports only that), and it reports
// nothing while any thread is inside any engine: such a thread may be moving values between
// cells, logs and retire lists with the interpreter lock released.
//
// Why a count under the interpreter lock suffices: engine scopes open and close only with the
// lock held, and the collector's passes over one set of objects run with the lock held and
// without releasing it in between, so every pass of one deduction sees the same count, hence
// the same visited set. A collection started from inside a compute sees its own scope open.
#pragma once

#include "py_value.h"
#include "types.h"
#include "velk/collections/collection.h"
#include "velk/memory/held.h"
#include "velk/runtime/runtime.h"

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

// Lists a root collection with its runtime, so that the collector sees its contents.
void remember_root(RuntimeObject& runtime, const std::shared_ptr<CollectionState<PyValue>>& state);

// The binding's operators hold Python values only; they offer them through this.
inline ValueVisitor<PyValue>* python_values(HeldVisitor& visitor) noexcept {
  return values_of<PyValue>(visitor);
}

}  // namespace velk::py
