// The engine's steps beneath the user-facing Runtime: for the layers built on it (collections,
// the binding), for fork recovery and for tests. A user of the engine never needs them; they
// can break the graph's invariants when called out of turn (a retire_node on a live node, a
// commit of reads nobody made), so they stay off Runtime's own surface, which befriends this
// class for them.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "velk/base/handle.h"
#include "velk/base/retirable.h"
#include "velk/graph/dep_stack.h"
#include "velk/memory/hazard.h"
#include "velk/runtime/runtime.h"

namespace velk {

class EngineSteps {
 public:
  // --- creation without create_input's in-compute refusal: collection version nodes, which
  // operators may create while their own node computes ---
  template <class T>
  static Velk<T> create_input_node(Runtime& runtime, T value) {
    return runtime.create_input_node(std::move(value));
  }
  // Creates a query node whose compute function `make(arena)` builds from the node's arena.
  template <class T, class Make>
  static Velk<T> create_query_node(Runtime& runtime, Make make,
                                   std::span<const ErasedVelk> sources = {}) {
    return runtime.create_query_node<T>(std::move(make), sources);
  }
  // Fails with "{operation} called during compute; not permitted", for a caller that creates
  // a node by other means (a root collection).
  [[noreturn]] static void fail_in_compute(const char* operation) {
    Runtime::fail_in_compute(operation);
  }

  // --- the read path in halves, for a caller that brings the node up to date on another
  // thread in between (see Runtime::record_read) ---
  template <class T>
  static NodeRecord& record_read(Runtime& runtime, Velk<T> handle) {
    return runtime.record_read(handle);
  }
  template <class T>
  static NodeRecord& record_peek(Runtime& runtime, Velk<T> handle) {
    return runtime.record_peek(handle);
  }
  static void ensure_clean(Runtime& runtime, uint32_t root) { runtime.ensure_clean(root); }
  // After a recorded read failed (see Runtime::forget_cyclic_read).
  static void forget_cyclic_read(Runtime& runtime, uint32_t slot) noexcept {
    runtime.forget_cyclic_read(slot);
  }
  template <class T>
  static const T& read_brought_clean(Runtime& runtime, Velk<T> handle, NodeRecord& record,
                                     HazardHolder& holder) {
    return runtime.read_brought_clean(handle, record, holder);
  }
  static bool claimed_while_read(Runtime& runtime, uint32_t slot, const NodeRecord& record) {
    return runtime.claimed_while_read(slot, record);
  }

  // --- a read continued on another thread: a reader whose stack runs low hands
  // ensure_clean to a helper thread and blocks until it is done ---
  // The calling thread's dependency stack, to hand to the helper.
  static const SharedDepStack& reader_stack() { return SharedDepStack::current(); }
  // On the helper: ensure_clean as if on `reader`'s thread (its frames count as the helper's
  // own). `tainted` says, also when this throws, whether a taint reached the reader's top
  // frame; the reader passes it on with taint_reader once it runs again.
  static void ensure_clean_continuing(Runtime& runtime, uint32_t root, const SharedDepStack& reader,
                                      bool& tainted) {
    ContinuationGuard continuation(reader);
    struct EndContinuation {
      ContinuationGuard& continuation;
      bool& tainted;
      ~EndContinuation() { tainted = continuation.end(); }
    } end{continuation, tainted};
    runtime.ensure_clean(root);
  }
  static void taint_reader(Runtime& runtime) { SharedDepStack::current().taint_top(&runtime); }

  // --- the graph ---
  static NodeRecord& record(const Runtime& runtime, uint32_t slot) { return runtime.record(slot); }
  static uint32_t slot_count(const Runtime& runtime) noexcept {
    return runtime.nodes_.slot_count();
  }
  static uint64_t watermark(const Runtime& runtime) noexcept { return runtime.watermark(); }
  static bool is_query(const Runtime& runtime, uint32_t slot) { return runtime.is_query(slot); }
  static std::vector<uint32_t> dependents_of(const Runtime& runtime, uint32_t slot);
  static CommitOutcome commit_deps(Runtime& runtime, uint32_t slot, std::span<const DepRead> reads,
                                   bool merge, uint64_t start_revision) {
    return runtime.commit_deps(slot, reads, merge, start_revision);
  }
  static void invalidate_dependents(Runtime& runtime, uint32_t source) {
    runtime.invalidate_dependents(source);
  }

  // --- deletion ---
  // Retires `state` (if still alive) when `node` is deleted; the runtime does not keep it alive.
  static void retire_with(Runtime& runtime, ErasedVelk node, std::weak_ptr<Retirable> state);
  // The last step of every deletion, for a node the caller moved to Deleted.
  static void retire_node(Runtime& runtime, uint32_t slot) { runtime.retire_node(slot); }

  // --- fork (fork_recovery.h) ---
  // The structural lock, taken before a fork so that no other thread holds it mid-change.
  static void lock_for_fork(Runtime& runtime) { runtime.structural_lock_.lock_for_fork(); }
  static void unlock_after_fork(Runtime& runtime) noexcept {
    runtime.structural_lock_.unlock_after_fork();
  }
  // In the child, instead of unlock_after_fork: releases the claims of threads the child lacks,
  // then starts a fresh structural lock.
  static void recover_after_fork(Runtime& runtime);
};

}  // namespace velk
