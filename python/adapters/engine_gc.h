// How the cyclic garbage collector sees the engine. The Runtime object alone reports what the
// engine holds (every collection object keeps it alive and reports only that), and it reports
// nothing while any thread is inside any engine: such a thread may be moving values between
// cells, logs and retire lists with the interpreter lock released.
//
// Why a count under the interpreter lock suffices: engine scopes (support/engine_scope.h) open
// and close only with the lock held, and the collector's passes over one set of objects run
// with the lock held and without releasing it in between, so every pass of one deduction sees
// the same count, hence the same visited set. A collection started from inside a compute sees
// its own scope open. On a free-threaded build the collector stops the world for a deduction
// instead: no thread opens or closes a scope meanwhile (each does so attached), and a thread
// inside an engine without a thread state keeps its scope open.
#pragma once

#include <memory>
#include <vector>

#include "support/engine_scope.h"
#include "support/gil.h"
#include "values/py_value.h"
#include "velk/collections/collection.h"
#include "velk/memory/held.h"
#include "velk/runtime/runtime.h"

namespace velk::py {

// The root collections created in one runtime: no node holds them, so the collector learns of
// their contents from this list while their objects and operators keep them.
class CollectionRoots {
 public:
  void remember(const std::shared_ptr<CollectionState<PyValue>>& state);
  // The collector's: it runs with the interpreter lock, or with the world stopped, when no
  // thread is inside remember.
  void offer_live(ValueVisitor<PyValue>& visitor) const;
  void clear() noexcept { roots_.clear(); }

 private:
  FreeThreadedMutex mutex_;  // for remember: collections are made on several threads at once
  std::vector<std::weak_ptr<CollectionState<PyValue>>> roots_;
};

// tp_traverse of the Runtime class over what its engine holds: every Python object and the
// contents of the root collections still alive, each reference once; nothing while an engine
// scope is open.
int traverse_engine(const Runtime& runtime, const CollectionRoots& roots, visitproc visit,
                    void* arg) noexcept;

// tp_clear of the Runtime class: releases everything the engine holds, which breaks a cycle
// through it. Only garbage is cleared, so no thread uses the engine meanwhile.
void release_engine(Runtime& runtime, CollectionRoots& roots) noexcept;

// The binding's operators hold Python values only; they offer them through this.
inline ValueVisitor<PyValue>* python_values(HeldVisitor& visitor) noexcept {
  return values_of<PyValue>(visitor);
}

}  // namespace velk::py
