// One engine runtime: node storage, structural state, clocks, and the operations on nodes.
//
// Structural state (compute functions, dependents, free slots, arena registry) is guarded by
// structural_lock_: readers hold it only while copying what they need, and it is never held
// while user code runs. Node records are updated without locks (see node.h). Lock order: the
// structural lock before an arena lock, never the reverse.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "velk/base/handle.h"
#include "velk/base/retirable.h"
#include "velk/base/value_traits.h"
#include "velk/graph/dep_stack.h"
#include "velk/graph/dependents_table.h"
#include "velk/graph/segmented_nodes.h"
#include "velk/graph/walk_ring.h"
#include "velk/memory/arena_registry.h"
#include "velk/runtime/compute.h"
#include "velk/runtime/observer.h"
#include "velk/runtime/observer_table.h"
#include "velk/runtime/tracing.h"

namespace velk {

// Nanoseconds of the monotonic clock.
uint64_t monotonic_ns() noexcept;

enum class CommitOutcome : uint8_t { Committed = 0, CommittedStale = 1, DependencyGone = 2 };

class Runtime {
 public:
  Runtime();
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  RuntimeId id() const noexcept { return id_; }

  // --- inputs and queries ---
  template <class T>
  Velk<T> create_input(T value);

  // create_input without the in-compute refusal: collection version nodes, which operators
  // may create while their own node computes.
  template <class T>
  Velk<T> create_input_node(T value);

  // Fails with "{operation} called during compute; not permitted": the refusal of creating a
  // node inside a compute, for callers that create one by other means (a root collection).
  [[noreturn]] static void fail_in_compute(const char* operation);

  // `produce(Runtime&, uint32_t slot) -> T` computes the value; it is not called until the
  // node is first read. `sources` are nodes it is known to read: they are recorded as its
  // dependencies before it first runs, so that deleting one of them reaches it (an operator
  // nobody has read yet goes with the collection it was built on).
  template <class T, class F>
  Velk<T> create_query(F produce, std::initializer_list<ErasedVelk> sources = {});

  // Creates a query node whose compute function `make(arena)` builds from the node's arena.
  template <class T, class Make>
  Velk<T> create_query_node(Make make, std::span<const ErasedVelk> sources = {});

  // Reads a node, bringing it up to date first; records the read in the running compute.
  template <class T>
  T get(Velk<T> handle);

  // The same read without the copy: the value stays valid while `holder` protects it, so a
  // caller can copy it later (for Python values: after retaking the interpreter lock).
  template <class T>
  const T& get_protected(Velk<T> handle, HazardHolder& holder);
  // get_protected in its two halves, for a caller that brings the node up to date on another
  // thread in between: record_read records the read in the calling thread's running compute
  // (before the node is brought up to date, so it is recorded even if that fails), and
  // read_brought_clean then reads the value like get_protected.
  template <class T>
  NodeRecord& record_read(Velk<T> handle);
  template <class T>
  const T& read_brought_clean(Velk<T> handle, NodeRecord& record, HazardHolder& holder);
  // The value if the node is already up to date, else nullptr; never computes or waits, so a
  // caller may hold locks of its own (the binding keeps the interpreter lock for it).
  template <class T>
  const T* try_get_clean(Velk<T> handle, HazardHolder& holder);

  // Sets an input. An equal value changes nothing; otherwise it takes the next revision and
  // invalidates everything downstream.
  template <class T>
  void set(Velk<T> handle, T value);

  // --- introspection ---
  bool is_alive(ErasedVelk handle) const;
  uint32_t node_count() const;
  uint64_t revision() const noexcept { return revision_.load(std::memory_order_acquire); }
  uint64_t watermark() const noexcept { return walk_ring_.watermark(); }
  NodeRecord& record(uint32_t slot) const { return nodes_.get(slot); }
  uint32_t slot_count() const noexcept { return nodes_.slot_count(); }
  std::vector<uint32_t> dependents_of(uint32_t slot) const;
  bool is_query(uint32_t slot) const;

  // --- engine steps, public for the layers built on them ---
  void ensure_clean(uint32_t root);
  CommitOutcome commit_deps(uint32_t slot, std::span<const DepRead> reads, bool merge,
                            uint64_t start_revision);
  void invalidate_dependents(uint32_t source);
  WalkRing& walk_ring() noexcept { return walk_ring_; }

  // --- fork (fork_recovery.cpp) ---
  // The structural lock, taken before a fork so that no other thread holds it mid-change.
  void lock_for_fork();
  void unlock_after_fork() noexcept;
  // In the child, instead of unlock_after_fork: releases the claims of threads the child lacks,
  // then starts a fresh structural lock.
  void release_claims_after_fork();
  void reset_lock_after_fork() noexcept;

  // Checks a handle: foreign runtime first, then stale generation.
  template <class T>
  NodeRecord& check(Velk<T> handle) const {
    return check_handle(handle.slot, handle.generation, handle.runtime_id, ValueTraits<T>::name);
  }
  NodeRecord& check_handle(uint32_t slot, uint32_t generation, RuntimeId minted_by,
                           std::string_view type_name) const;

  // --- observers (observers.cpp) ---
  // Registers `closure` on the node it names; returns the new observer id (from 1).
  template <class T>
  uint64_t observe(Velk<T> handle, std::shared_ptr<ObserverClosure> closure);
  void unobserve(uint64_t id);
  // Brings observed nodes up to date and fires those whose value changed since their last
  // firing. A node that fails to compute is skipped and its failure raised at the end of the
  // pass (the first one); a callback that raises ends the pass at once, and the observers not
  // reached fire at the next pass.
  void stabilize();

  // --- deletion and ownership (deletion.cpp) ---
  template <class T>
  void delete_node(Velk<T> handle) {
    delete_node_erased(ErasedVelk(handle), ValueTraits<T>::name);
  }
  // Returns how many nodes were deleted; 0 when the node was already gone.
  uint64_t delete_with_dependents(ErasedVelk handle);
  // Makes the input `owned` owned by `owner`: deleting the owner deletes it.
  void adopt(ErasedVelk owner, ErasedVelk owned);
  // Retires `state` (if still alive) when `node` is deleted; the runtime does not keep it alive.
  void retire_with(ErasedVelk node, std::weak_ptr<Retirable> state);
  // The last step of every deletion, for a node the caller moved to Deleted: unlinks it and
  // releases everything it holds; the slot goes on the free-slot list.
  void retire_node(uint32_t slot);

  // --- what the runtime holds, for a cycle collector (held.cpp) ---
  // Offers every value, compute function and observer closure the runtime holds (see held.h).
  // Only while no thread uses the runtime.
  void visit_held(HeldVisitor& visitor) const;
  // Deletes every node at once, dropping every value, compute function and observer; handles
  // go stale and the runtime stays usable. Only while no thread uses the runtime.
  void release_all();

  // --- tracing, labels, snapshot (tracing.cpp) ---
  // Reads like get_protected, reporting what the read path verified or recomputed.
  template <class T>
  const T& get_traced(Velk<T> handle, HazardHolder& holder, TraceReport& report);
  void set_label(uint32_t slot, std::string label);
  std::vector<NodeSnapshot> graph_snapshot() const;
  // Adds an event to the traced read running on this thread, if any reads this runtime.
  void report(uint32_t slot, TraceAction action) {
    if (TraceScope* trace = TraceScope::current(); trace != nullptr && trace->owner() == this) {
      trace->add({slot, action});
    }
  }

 private:
  struct StructuralState {
    std::vector<std::shared_ptr<ComputeFunction>> compute_fns;  // one entry per slot
    DependentsTable dependents;                                 // one list per slot
    std::vector<uint32_t> free_slots;                           // LIFO
    ArenaRegistry arenas;
    ObserverTable observers;
    std::unordered_map<uint32_t, uint32_t> owner_of;            // owned slot -> owner slot
    std::unordered_map<uint32_t, std::vector<uint32_t>> owned;  // owner slot -> owned slots
    std::unordered_map<uint32_t, std::weak_ptr<Retirable>> retired_with;  // slot -> its state
    std::unordered_map<uint32_t, std::string> labels;
  };
  struct WorkEntry {
    uint32_t slot;
    bool expanded;
  };

  // Requires the structural write lock. Reuses the most recently freed slot, else pushes one.
  uint32_t allocate_slot(const SegmentedNodes::Fields& fields, std::shared_ptr<ComputeFunction> fn);
  void check_capacity() const;
  // Requires the structural write lock (dep_commit.cpp). Records the sources of a node just
  // allocated as its dependency list; a source of another runtime, or one deleted meanwhile,
  // is left out and fails the node's first run as its read would.
  void record_sources(uint32_t slot, std::span<const ErasedVelk> sources);
  // Records a read in the running compute. A compute of another runtime cannot depend on this
  // one's nodes (its result would never follow their changes), so that read is refused.
  void record_read(uint32_t slot, uint32_t generation) {
    if (!SharedDepStack::current().record(this, slot, generation)) refuse_foreign_read(slot);
  }
  [[noreturn]] void refuse_foreign_read(uint32_t slot) const;

  // The arena of a node's value. Arenas live as long as the runtime, so the pointer stays
  // valid; the first few tags are published lock-free for the read path.
  template <class T>
  GenericArena<T>* arena_of(const NodeRecord& record, const char* missing) const;
  // The node's value cell, protected by `holder`; nullptr for a cell emptied meanwhile.
  template <class T>
  const T* read_cell(const NodeRecord& record, HazardHolder& holder) const;
  // Requires the structural write lock.
  template <class T>
  std::pair<uint16_t, std::shared_ptr<GenericArena<T>>> ensure_arena();
  std::shared_ptr<ComputeFunction> compute_function(uint32_t slot) const;
  // Requires the structural lock (either mode).
  const std::vector<uint32_t>& dependents_locked(uint32_t slot) const;

  // Read path (read_path.cpp).
  void expand(uint32_t slot, uint32_t root, uint64_t& budget, std::vector<WorkEntry>& work);
  void settle(uint32_t slot);
  // Settles a dependency of the node a walk reads; a failure of its compute is kept for the
  // readers it fails (see DeferredFailures) instead of ending the walk.
  void settle_dependency(uint32_t slot);
  bool claim_and_settle(uint32_t slot, NodeState seen);
  class ClaimGuard;
  bool recompute(uint32_t slot, ComputeFunction& fn, bool was_dirty, uint64_t start_revision,
                 uint64_t start_watermark, ClaimGuard& claim);
  bool deps_unchanged(const NodeRecord& record) const;

  // Observers, deletion and tracing.
  // 0 when the node was deleted after the handle check.
  uint64_t install_observer(uint32_t slot, uint32_t generation,
                            std::shared_ptr<ObserverClosure> closure);
  // Fires one observer of a pass when its node changed, under its delivery lock (see
  // observer.h). Returns the failure of a node that failed to compute; a failure of the
  // callback propagates.
  std::exception_ptr fire_observer(ObserverClosure& closure);
  std::exception_ptr deliver_if_changed(ObserverClosure& closure);
  void delete_node_erased(ErasedVelk handle, std::string_view type_name);
  void end_trace(uint32_t target, uint64_t start_ns, TraceReport& report);

  // Set path (invalidation.cpp). An input is held Computing while its value is replaced;
  // deletion waits for that like for any claim.
  class InputClaim {
   public:
    InputClaim(Runtime& runtime, ErasedVelk handle, std::string_view type_name);
    ~InputClaim() { release(); }
    InputClaim(const InputClaim&) = delete;
    InputClaim& operator=(const InputClaim&) = delete;
    void release() noexcept;

   private:
    NodeRecord* record_;
  };
  // Stamps the new revision, ends the claim and invalidates everything downstream.
  void publish_change(uint32_t slot, NodeRecord& record, InputClaim& claim);
  void refuse_set_on_query(uint32_t slot) const;

  const RuntimeId id_;
  SegmentedNodes nodes_;
  std::atomic<uint64_t> revision_{1};
  WalkRing walk_ring_;
  mutable std::shared_mutex structural_lock_;
  StructuralState structural_;  // guarded by structural_lock_
  static constexpr uint16_t kPublishedArenas = 8;
  // Published once under the structural write lock, never changed; owned by the registry.
  std::array<std::atomic<ErasedArena*>, kPublishedArenas> published_arenas_{};
};

// ---- templates ----

template <class T, class F>
bool QueryFunction<T, F>::compute(Runtime& runtime, uint32_t slot, bool was_dirty) {
  T value = produce_(runtime, slot);
  const uint32_t index = runtime.record(slot).load_value_index();
  if (was_dirty) return arena_->write_if_changed(index, std::move(value));
  arena_->write(index, std::move(value));
  return true;
}

template <class T>
GenericArena<T>* Runtime::arena_of(const NodeRecord& record, const char* missing) const {
  const uint16_t tag = record.load_arena_tag();
  if (tag < kPublishedArenas) {
    ErasedArena* arena = published_arenas_[tag].load(std::memory_order_acquire);
    if (arena != nullptr) {
      if (arena->as_any() != typeid(GenericArena<T>)) fail(missing);
      return static_cast<GenericArena<T>*>(arena);
    }
  }
  GenericArena<T>* arena;
  {
    std::shared_lock lock(structural_lock_);
    arena = structural_.arenas.get<T>(tag).get();
  }
  if (arena == nullptr) fail(missing);
  return arena;
}

template <class T>
std::pair<uint16_t, std::shared_ptr<GenericArena<T>>> Runtime::ensure_arena() {
  auto tagged = structural_.arenas.ensure_tagged<T>();
  if (tagged.first < kPublishedArenas) {
    published_arenas_[tagged.first].store(tagged.second.get(), std::memory_order_release);
  }
  return tagged;
}

template <class T>
Velk<T> Runtime::create_input(T value) {
  if (SharedDepStack::current().in_compute()) fail_in_compute("create_input");
  return create_input_node(std::move(value));
}

template <class T>
Velk<T> Runtime::create_input_node(T value) {
  std::unique_lock lock(structural_lock_);
  check_capacity();
  auto [tag, arena] = ensure_arena<T>();
  const uint32_t index = arena->alloc(std::move(value));
  const uint64_t now = revision();
  const uint32_t slot = allocate_slot({now, now, NodeState::Clean, index, tag}, nullptr);
  return Velk<T>{slot, nodes_.get(slot).load_generation(), id_};
}

template <class T, class Make>
Velk<T> Runtime::create_query_node(Make make, std::span<const ErasedVelk> sources) {
  if (SharedDepStack::current().in_compute()) fail_in_compute("create_query");
  std::unique_lock lock(structural_lock_);
  check_capacity();
  auto [tag, arena] = ensure_arena<T>();
  std::shared_ptr<ComputeFunction> fn = make(arena);
  const uint32_t index = arena->alloc_empty();
  const uint32_t slot = allocate_slot({0, 0, NodeState::New, index, tag}, std::move(fn));
  record_sources(slot, sources);
  return Velk<T>{slot, nodes_.get(slot).load_generation(), id_};
}

template <class T, class F>
Velk<T> Runtime::create_query(F produce, std::initializer_list<ErasedVelk> sources) {
  return create_query_node<T>(
      [&produce](std::shared_ptr<GenericArena<T>> arena) {
        return std::make_shared<QueryFunction<T, F>>(std::move(arena), std::move(produce));
      },
      std::span<const ErasedVelk>(sources.begin(), sources.size()));
}

template <class T>
const T& Runtime::get_protected(Velk<T> handle, HazardHolder& holder) {
  NodeRecord& record = record_read(handle);
  ensure_clean(handle.slot);
  return read_brought_clean(handle, record, holder);
}

template <class T>
NodeRecord& Runtime::record_read(Velk<T> handle) {
  NodeRecord& record = check(handle);
  record_read(handle.slot, record.load_generation());
  return record;
}

template <class T>
const T& Runtime::read_brought_clean(Velk<T> handle, NodeRecord& record, HazardHolder& holder) {
  const T* value;
  try {
    value = read_cell<T>(record, holder);
  } catch (const Failure&) {
    check(handle);  // deleted meanwhile: the handle is stale
    throw;
  }
  // A deletion raises the generation before it frees the value, so a value it emptied, or one
  // of another node that reused the cell or the slot, is never returned.
  check(handle);
  if (value == nullptr) ValueSlot<T>::fail_never_written();
  return *value;
}

template <class T>
const T* Runtime::read_cell(const NodeRecord& record, HazardHolder& holder) const {
  auto arena =
      arena_of<T>(record, "velk-core: arena missing for handle's type; this should be impossible");
  return arena->try_read_protected(record.load_value_index(), holder);
}

template <class T>
const T* Runtime::try_get_clean(Velk<T> handle, HazardHolder& holder) {
  NodeRecord& record = check(handle);
  if (record.load_state() != NodeState::Clean) return nullptr;
  const T* value;
  try {
    value = read_cell<T>(record, holder);
  } catch (const Failure&) {
    return nullptr;
  }
  // Dirtied, deleted or recycled meanwhile: the full read path sorts it out.
  if (value == nullptr || record.load_state() != NodeState::Clean) return nullptr;
  check(handle);
  record_read(handle.slot, record.load_generation());
  return value;
}

template <class T>
T Runtime::get(Velk<T> handle) {
  HazardHolder holder;
  return get_protected(handle, holder);
}

template <class T>
void Runtime::set(Velk<T> handle, T value) {
  NodeRecord& record = check(handle);
  GenericArena<T>* arena = arena_of<T>(record, "velk-core: arena missing for input handle's type");
  if (is_query(handle.slot)) refuse_set_on_query(handle.slot);
  const uint32_t index = record.load_value_index();
  if (arena->equals(index, value)) return;  // an equal value takes no revision
  // Claimed while its value is replaced, so a deletion (and a new node reusing the slot and the
  // cell) cannot slip in between the handle check and the write.
  InputClaim claim(*this, ErasedVelk(handle), ValueTraits<T>::name);
  // Until the new revision is stamped, a verifying reader sees the input as changed.
  record.changed_at.exchange(kRevisionReplacing, std::memory_order_acq_rel);
  arena->write(index, std::move(value));
  publish_change(handle.slot, record, claim);
}

template <class T>
uint64_t Runtime::observe(Velk<T> handle, std::shared_ptr<ObserverClosure> closure) {
  for (;;) {
    check(handle);
    const uint64_t id = install_observer(handle.slot, handle.generation, closure);
    if (id != 0) return id;  // else the re-check reports the deletion with the handle's wording
  }
}

template <class T>
const T& Runtime::get_traced(Velk<T> handle, HazardHolder& holder, TraceReport& report) {
  const uint64_t start = monotonic_ns();
  TraceScope trace(this);
  const T* value = &get_protected(handle, holder);
  report.entries = trace.take();
  end_trace(handle.slot, start, report);
  return *value;
}

}  // namespace velk
