// The count of method calls inside the engines, which the cycle collector reads to leave the
// engines alone meanwhile (adapters/engine_gc.h says why a count suffices).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "support/refs.h"
#include "velk/base/check.h"

namespace velk::py {

// On the default build the interpreter lock guards the count. On a free-threaded build methods
// run at once, so it is atomic, and a visit of the engines marks it: a collection visits with
// the world stopped, but gc.get_referents visits while other threads run, and a method entered
// meanwhile would change what is being visited, so entries wait for the visit to end.
struct alignas(64) EngineScopeCount {
#ifdef Py_GIL_DISABLED
  // Counted in shards, a thread always in its own, so that calls on different threads do not
  // pass one cache line back and forth. Entering raises the shard, then looks for a visit; a
  // visit is marked, then finds every shard empty: with both sides sequentially consistent, at
  // least one of them sees the other.
  static constexpr size_t kShards = 64;
  struct alignas(64) Shard {
    std::atomic<uint32_t> open{0};
  };
  Shard shards[kShards];
  alignas(64) std::atomic<bool> visiting{false};

  // Returns the shard entered, which the scope leaves again: the lookup is a thread-local
  // access through the dynamic TLS model, paid once per call instead of twice.
  Shard& enter() noexcept {
    Shard& shard = own_shard();
    for (;;) {
      shard.open.fetch_add(1, std::memory_order_seq_cst);
      if (!visiting.load(std::memory_order_seq_cst)) return shard;
      shard.open.fetch_sub(1, std::memory_order_seq_cst);
      wait_out_visit();
    }
  }
  static void leave(Shard& shard) noexcept { shard.open.fetch_sub(1, std::memory_order_release); }
  bool begin_visit() noexcept {
    bool none = false;
    if (!visiting.compare_exchange_strong(none, true, std::memory_order_seq_cst)) return false;
    for (Shard& shard : shards) {
      if (shard.open.load(std::memory_order_seq_cst) != 0) {
        visiting.store(false, std::memory_order_seq_cst);
        return false;
      }
    }
    return true;
  }
  void end_visit() noexcept { visiting.store(false, std::memory_order_release); }
  // Detached while it waits: the visitor may need the world stopped.
  void wait_out_visit() noexcept;
  Shard& own_shard() noexcept;
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
#ifdef Py_GIL_DISABLED
  // A scope opens and closes on one thread, so the shard it entered is the one to leave.
  EngineScope() noexcept : shard_(engine_scopes.enter()) {}
  ~EngineScope() {
    VELK_DCHECK(&shard_ == &engine_scopes.own_shard());
    EngineScopeCount::leave(shard_);
  }
#else
  EngineScope() noexcept { engine_scopes.enter(); }
  ~EngineScope() { engine_scopes.leave(); }
#endif
  EngineScope(const EngineScope&) = delete;
  EngineScope& operator=(const EngineScope&) = delete;

#ifdef Py_GIL_DISABLED
 private:
  EngineScopeCount::Shard& shard_;
#endif
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
