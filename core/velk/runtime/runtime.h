// One engine runtime: the front a user of the engine calls. It owns node storage, the clocks
// and the one structural lock; the structural tables are components that own their rules:
// the slot table (slot_table.h), the dependency graph (dependency_graph.h), the observers
// (observer_table.h), ownership (ownership.h) and introspection (introspection.h). The layers
// built on the runtime reach its engine steps through EngineSteps (engine_steps.h).
//
// The structural lock guards every component: readers hold it only while copying what they
// need, and it is never held while user code runs. Node records are updated without locks
// (see node.h). Lock order: the structural lock before an arena lock, never the reverse.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "velk/base/failure.h"
#include "velk/base/handle.h"
#include "velk/base/retirable.h"
#include "velk/base/value_traits.h"
#include "velk/graph/dep_stack.h"
#include "velk/graph/dependency_graph.h"
#include "velk/graph/ownership.h"
#include "velk/graph/segmented_nodes.h"
#include "velk/graph/structural_lock.h"
#include "velk/graph/walk_ring.h"
#include "velk/runtime/compute.h"
#include "velk/runtime/failure_records.h"
#include "velk/runtime/introspection.h"
#include "velk/runtime/node_equal.h"
#include "velk/runtime/observer.h"
#include "velk/runtime/observer_table.h"
#include "velk/runtime/set_batch.h"
#include "velk/runtime/slot_table.h"
#include "velk/runtime/tracing.h"

namespace velk {

namespace wait_graph {
class Waiting;
}

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

  // `produce(Runtime&, uint32_t slot) -> T` computes the value; it is not called until the
  // node is first read. `sources` are nodes it is known to read: they are recorded as its
  // dependencies before it first runs, so that deleting one of them reaches it (an operator
  // nobody has read yet goes with the collection it was built on).
  template <class T, class F>
  Velk<T> create_query(F produce, std::initializer_list<ErasedVelk> sources = {});

  // Reads a node, bringing it up to date first; records the read in the running compute.
  template <class T>
  T get(Velk<T> handle);

  // The same read without the copy: the value stays valid while `holder` protects it, so a
  // caller can copy it later (for Python values: after retaking the interpreter lock).
  template <class T>
  const T& get_protected(Velk<T> handle, HazardHolder& holder);
  // The value if the node is already up to date, else nullptr; never computes or waits, so a
  // caller may hold locks of its own (the binding keeps the interpreter lock for it).
  template <class T>
  const T* try_get_clean(Velk<T> handle, HazardHolder& holder);

  // Sets an input. An equal value changes nothing; otherwise it takes the next revision and
  // invalidates everything downstream.
  template <class T>
  void set(Velk<T> handle, T value);
  // Sets several inputs as one change (set_many.cpp): one revision and one invalidation walk for
  // all, and no read returns a value computed from some of the new values and some of the old.
  // Every handle is checked, and every node must be an input, before anything is written. A
  // node given twice takes its last value; equal values change nothing, as with set, and a
  // batch of only those takes no revision. The values written are moved out of `batch`.
  void set_many(SetBatch& batch);

  // Gives the node its own equality, replacing ValueTraits<T>::equal where a set decides
  // whether an input's value changed and where a recompute decides whether a query's did;
  // null restores the type's. Refused inside a compute, like creating a node: the compute
  // running could be comparing by the one it replaces.
  template <class T>
  void set_cutoff(Velk<T> handle, std::shared_ptr<NodeEqual<std::type_identity_t<T>>> equal);

  // Checks a handle: foreign runtime first, then stale generation.
  template <class T>
  NodeRecord& check(Velk<T> handle) const {
    return check_handle(handle.slot, handle.generation, handle.runtime_id, ValueTraits<T>::name);
  }

  // --- introspection ---
  bool is_alive(ErasedVelk handle) const;
  uint32_t node_count() const;
  // lock-free: only rises; a stale value is an older, still valid bound.
  uint64_t revision() const noexcept { return revision_.load(std::memory_order_acquire); }

  // --- observers (observers.cpp) ---
  // Registers `closure` on the node it names; returns the new observer id (from 1).
  template <class T>
  uint64_t observe(Velk<T> handle, std::shared_ptr<ObserverClosure> closure);
  void unobserve(uint64_t id);
  // Brings observed nodes up to date and fires those whose value changed since their last
  // firing. A node that fails to compute is skipped and its failure raised at the end of the
  // pass (the first one); a callback that raises ends the pass at once, and the observers not
  // reached fire at the next pass. A node that stays failed is raised by the pass after the
  // compute that failed, not again until it computes again.
  void stabilize();
  // An observer's read of its node, for ObserverClosure::deliver: the value brought up to date,
  // and the stamp of that very value recorded as what the observer was given.
  template <class T>
  const T& read_observed(ObserverClosure& closure, Velk<T> handle, HazardHolder& holder);

  // --- deletion and ownership (deletion.cpp) ---
  template <class T>
  void delete_node(Velk<T> handle) {
    delete_node_erased(ErasedVelk(handle), ValueTraits<T>::name);
  }
  // Returns how many nodes were deleted; 0 when the node was already gone.
  uint64_t delete_with_dependents(ErasedVelk handle);
  // Makes the input `owned` owned by `owner`: deleting the owner deletes it.
  void adopt(ErasedVelk owner, ErasedVelk owned);

  // --- what the runtime holds, for a cycle collector (visit_held.cpp) ---
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
  std::optional<std::string> label_of(uint32_t slot) const;
  std::vector<NodeSnapshot> graph_snapshot() const;

 private:
  friend class EngineSteps;
  template <class T, class F>
  friend class QueryFunction;
  template <class T>
  friend class TypedBatchWrite;

  struct WalkScratch;

  // Creation without the in-compute refusal of create_input (collection version nodes, which
  // operators may create while their own node computes); create_query_node builds the compute
  // function `make(arena)` from the node's arena.
  template <class T>
  Velk<T> create_input_node(T value);
  template <class T, class Make>
  Velk<T> create_query_node(Make make, std::span<const ErasedVelk> sources = {});

  NodeRecord& record(uint32_t slot) const { return nodes_.get(slot); }
  uint64_t watermark() const noexcept { return walk_ring_.watermark(); }
  bool is_query(uint32_t slot) const;
  // What a claimed node computes with: its function (null for an input) and its own equality.
  struct NodeCompute {
    ComputeFunction* fn;
    std::shared_ptr<ErasedEqual> equal;
  };
  // Without the lock unless the node has its own equality (see SlotTable::published).
  NodeCompute node_compute(uint32_t slot) const {
    const SlotTable::Published published = slots_.published(slot);
    if (!published.own_equal) [[likely]]
      return {published.fn, nullptr};
    return node_compute_locked(slot);
  }
  NodeCompute node_compute_locked(uint32_t slot) const;
  // Inline for the handle that checks out, as every nested read's does.
  NodeRecord& check_handle(uint32_t slot, uint32_t generation, RuntimeId minted_by,
                           std::string_view type_name) const {
    if (minted_by == id_) [[likely]] {
      NodeRecord& record = nodes_.get(slot);
      // lock-free: a deletion after the check is caught by the caller's re-check or its claim.
      if (record.load_generation() == generation) [[likely]]
        return record;
    }
    fail_handle(slot, generation, minted_by, type_name);
  }
  [[noreturn]] void fail_handle(uint32_t slot, uint32_t generation, RuntimeId minted_by,
                                std::string_view type_name) const;

  // Allocates a slot for a new node and gives it a dependents list.
  uint32_t allocate_slot(const SegmentedNodes::Fields& fields, std::shared_ptr<ComputeFunction> fn,
                         const StructuralLock::Exclusive& held);
  [[noreturn]] static void fail_in_compute(const char* operation);
  // Records a read in the running compute. A compute of another runtime cannot depend on this
  // one's nodes (its result would never follow their changes), so that read is refused.
  void record_read(uint32_t slot, uint32_t generation) {
    if (!SharedDepStack::current().record(this, slot, generation)) refuse_foreign_read(slot);
  }
  [[noreturn]] void refuse_foreign_read(uint32_t slot) const;
  // After a recorded read of the node failed: takes the read back out of the running compute if
  // that compute is inside the node's own (a cycle), where it would close a cycle of recorded
  // dependencies.
  void forget_cyclic_read(uint32_t slot) noexcept;

  // get_protected in its two halves, for a caller that brings the node up to date on another
  // thread in between: record_read records the read in the calling thread's running compute
  // (before the node is brought up to date, so it is recorded even if that fails), and
  // read_brought_clean then reads the value like get_protected.
  template <class T>
  NodeRecord& record_read(Velk<T> handle);
  // record_read for a read made without depending on the node: checked for torn reads with the
  // running compute's other reads, never committed as its dependency.
  template <class T>
  NodeRecord& record_peek(Velk<T> handle);
  template <class T>
  const T& read_brought_clean(Velk<T> handle, NodeRecord& record, HazardHolder& holder);
  // After read_brought_clean: whether a claim took the node after it was brought up to date (a
  // set replacing the input, or a recompute, which writes the value before its stamp); the
  // value read may be the claimant's, ahead of its revision. The claim has then ended, and the
  // node is brought up to date and read again.
  bool claimed_while_read(uint32_t slot, const NodeRecord& record) {
    // lock-free: after the cell's load, so a claimant's value read there shows its claim here.
    const NodeState state = record.load_state();
    if (state != NodeState::Computing && state != NodeState::ComputingDirtied) [[likely]]
      return false;
    return wait_out_claim(slot, state);
  }
  bool wait_out_claim(uint32_t slot, NodeState seen);
  // The node's value cell, protected by `holder`; nullptr for a cell emptied meanwhile.
  // Inline where it is used: a clean read is little more than this.
  template <class T>
  [[gnu::always_inline]] inline const T* read_cell(const NodeRecord& record,
                                                   HazardHolder& holder) const;
  // See SlotTable::compute_function: not shared, since copying a shared pointer per compute costs
  // two atomic operations that the claim makes needless.
  ComputeFunction* compute_function(uint32_t slot) const;

  // Read path (read_path.cpp).
  void ensure_clean(uint32_t root);
  // Inline in read_path.cpp, its one user: a walk's every step goes through it.
  inline void settle(uint32_t slot, NodeRecord& record);
  // settle's loop: waits for other threads' claims, claims and looks again until it settles.
  void settle_waiting(uint32_t slot);
  // Settles a dependency of the node a walk reads; a failure of its compute is kept for the
  // readers it fails (see DeferredFailures) instead of ending the walk. False when a read
  // failure (a cycle, a deletion) left it New, for its readers' own reads to meet.
  inline bool settle_dependency(uint32_t slot, NodeRecord& record);
  // Waits while another thread's claim of the node still reads `seen`.
  void wait_for_claim(uint32_t slot, NodeState seen, Backoff& backoff,
                      wait_graph::Waiting& waiting);
  bool claim_and_settle(NodeRecord& record, uint32_t slot, NodeState seen);
  class ClaimGuard;
  enum class Recomputed : uint8_t { Again, Unchanged, Changed };
  // Inline in read_path.cpp, into claim_and_settle: every recompute takes it.
  [[gnu::always_inline]] inline Recomputed recompute(NodeRecord& record, uint32_t slot,
                                                     const NodeCompute& compute, bool was_dirty,
                                                     uint64_t start_revision,
                                                     uint64_t start_watermark, ClaimGuard& claim);
  // `cause` is the dependency whose change made a Dirty node run (kNoCause: none known).
  bool recompute_traced(TraceScope& trace, NodeRecord& record, uint32_t slot,
                        const NodeCompute& compute, bool was_dirty, uint32_t cause,
                        uint64_t start_revision, uint64_t start_watermark, ClaimGuard& claim);
  // Ends the claim and the frame of a compute that failed.
  void abandon(uint32_t slot, FrameGuard& frame, uint64_t start_revision, ClaimGuard& claim,
               bool transient);
  // Keeps what the failure being handled carries for a node about to stay Failed (see
  // FailureRecords); drops what a compute that succeeded, or failed without it, left there.
  void keep_failure(uint32_t slot, const std::shared_ptr<const FailureDetail>& detail);
  // The same for a compute that succeeded, whose node is seldom the one with a failure kept.
  void drop_failure(uint32_t slot);
  [[noreturn]] void fail_stays_failed(uint32_t slot);
  CommitOutcome commit_deps(uint32_t slot, std::span<const DepRead> reads, bool merge,
                            uint64_t start_revision) {
    return graph_.commit(slot, reads, merge, start_revision, structural_lock_);
  }
  // Adds an event to the traced read running on this thread, if any reads this runtime.
  void report(TraceEntry entry) {
    if (TraceScope* trace = traced()) trace->add(entry);
  }
  TraceScope* traced() const noexcept {
    TraceScope* trace = TraceScope::current();
    return trace != nullptr && trace->owner() == this ? trace : nullptr;
  }

  // Observers (observers.cpp).
  // 0 when the node was deleted after the handle check.
  uint64_t install_observer(uint32_t slot, uint32_t generation,
                            std::shared_ptr<ObserverClosure> closure);
  // Fires one observer of a pass when its node changed, under its delivery lock (see
  // observer.h). Returns the failure of a node that failed to compute; a failure of the
  // callback propagates.
  std::exception_ptr fire_observer(ObserverClosure& closure);
  std::exception_ptr deliver_if_changed(ObserverClosure& closure);
  // The node's stamp as observers compare it; the revision stands in while an input's value is
  // being replaced (its new stamp will be past it).
  uint64_t observed_stamp(const NodeRecord& record) const noexcept;
  // Whether the value read_observed read since loading `stamp` is the one stamped so: the node
  // still Clean and its stamp unmoved.
  bool read_matches_stamp(const NodeRecord& record, uint64_t stamp, unsigned tries) const;

  // Deletion (deletion.cpp).
  void delete_node_erased(ErasedVelk handle, std::string_view type_name);
  // What a node taken out of the runtime held; dropped after the lock, as dropping it may run
  // embedding code.
  struct Unlinked {
    SlotTable::Released slot;
    std::vector<std::shared_ptr<ObserverClosure>> observers;
    std::string label;
    std::weak_ptr<Retirable> state;
    FailureRecords::Detail failure;
  };
  // The one unlinking step of every deletion (retire_node, release_all): takes the node out of
  // every table, raises its generation and puts its slot on the free list.
  Unlinked unlink(uint32_t slot, const StructuralLock::Exclusive& held);
  // The last step of every deletion, for a node the caller moved to Deleted: unlinks it and
  // releases everything it holds.
  void retire_node(uint32_t slot);
  void end_trace(uint32_t target, uint64_t start_ns, TraceReport& report);

  // Set path (invalidation.cpp). An input is held Computing while its value is replaced;
  // deletion waits for that like for any claim.
  class InputClaim {
   public:
    InputClaim(Runtime& runtime, ErasedVelk handle, std::string_view type_name);
    ~InputClaim() { release(); }
    InputClaim(InputClaim&& other) noexcept : record_(std::exchange(other.record_, nullptr)) {}
    InputClaim(const InputClaim&) = delete;
    InputClaim& operator=(const InputClaim&) = delete;
    void release() noexcept;
    // Stamps the input with the revision of its new value and ends the claim.
    void publish(uint64_t revision) noexcept;

   private:
    NodeRecord* record_;
  };
  // Invalidates everything downstream, then stamps the new revision and ends the claim.
  void publish_change(uint32_t slot, InputClaim& claim);
  // The end of every set and batch, its values written and its walk done or failed: takes the
  // revision, stamps the inputs with it, ends their claims and posts it; then raises what the
  // walk raised.
  void stamp_and_release(std::span<InputClaim> claims, std::exception_ptr walk_failure);
  void invalidate_dependents(uint32_t source);
  void refuse_set_on_query(uint32_t slot) const;
  // The value cell of an input, after set's checks: the handle, the value type, the node's kind.
  template <class T>
  struct InputCell {
    NodeRecord& record;
    GenericArena<T>* arena;
    uint32_t index;
    std::shared_ptr<ErasedEqual> equal;
  };
  template <class T>
  InputCell<T> input_cell(Velk<T> handle);

  FrameStart frame_start(uint64_t start_revision, uint64_t start_watermark) const noexcept {
    return {start_revision, start_watermark, start_revision};
  }
  // Called by a compute function with its value ready, before storing it: true when what the
  // running compute read may mix two values of one input (a set or a batch of sets landed
  // between its reads); it must then run again (its frame is emptied and restarted). A set's
  // new value is seen only once its revision is taken, so a compute during which no revision
  // was taken read one state (set_many.cpp, CONCURRENCY.md).
  bool read_torn() {
    DepFrame& frame = SharedDepStack::current().top();
    // lock-free: a compute that read any set's new value sees that set's revision here.
    if (revision() == frame.start.revision) [[likely]]
      return false;  // the common case costs this one load
    return read_torn_slow(frame);
  }
  // A revision was taken since the compute started: whether a read that moved meanwhile came
  // before one that changed since the start.
  bool read_torn_slow(DepFrame& frame);
  std::vector<BatchWrite*> batch_changes(SetBatch& batch);
  void apply_batch(std::span<BatchWrite* const> writes);
  void invalidate_all(std::span<BatchWrite* const> writes);

  // Fork (fork_recovery.cpp). In the child, with the lock held across the fork: releases the
  // claims of threads the child lacks.
  void release_claims_after_fork(const StructuralLock::Exclusive& held);

  const RuntimeId id_;
  SegmentedNodes nodes_;
  std::atomic<uint64_t> revision_{1};
  WalkRing walk_ring_;
  mutable StructuralLock structural_lock_;
  // The structural components, each guarded by structural_lock_.
  SlotTable slots_{nodes_};
  DependencyGraph graph_{nodes_};
  ObserverTable observers_;
  Ownership ownership_;
  Introspection introspection_;
  FailureRecords failures_;
};

// ---- templates ----

template <class T, class F>
bool QueryFunction<T, F>::compute(Runtime& runtime, uint32_t slot, bool was_dirty,
                                  const ErasedEqual* equal) {
  T value = produce_untorn(runtime, slot);
  // lock-free: the node is claimed here, so no deletion can give its cell away.
  ValueSlot<T>& cell = arena_->owned_slot(runtime.record(slot).load_value_index());
  if (was_dirty && equals_claimed(cell, value, equal)) return false;
  cell.write(std::move(value));
  return true;
}

template <class T, class F>
T QueryFunction<T, F>::produce_untorn(Runtime& runtime, uint32_t slot) {
  // A value read across a set is never stored, nor seen by anyone: it runs again. So does a
  // failure such a read may have caused (a key looked up in a table older than the key); a
  // transient one or a read that reached no value says nothing of what was read.
  for (;;) {
    try {
      T value = produce_(runtime, slot);
      if (!runtime.read_torn()) return value;
    } catch (const TransientFailure&) {
      throw;
    } catch (const ReadFailure&) {
      throw;
    } catch (const std::exception&) {
      if (!runtime.read_torn()) throw;
    }
  }
}

template <class T>
Velk<T> Runtime::create_input(T value) {
  if (SharedDepStack::current().in_compute()) fail_in_compute("create_input");
  return create_input_node(std::move(value));
}

template <class T>
Velk<T> Runtime::create_input_node(T value) {
  StructuralLock::WriteGuard held(structural_lock_);
  slots_.check_capacity(held);
  auto [tag, arena] = slots_.ensure_arena<T>(held);
  const uint32_t index = arena->alloc(std::move(value));
  const uint64_t now = revision();
  const uint32_t slot = allocate_slot({now, now, NodeState::Clean, index, tag}, nullptr, held);
  return Velk<T>{slot, nodes_.get(slot).load_generation(), id_};
}

template <class T, class Make>
Velk<T> Runtime::create_query_node(Make make, std::span<const ErasedVelk> sources) {
  if (SharedDepStack::current().in_compute()) fail_in_compute("create_query");
  StructuralLock::WriteGuard held(structural_lock_);
  slots_.check_capacity(held);
  auto [tag, arena] = slots_.ensure_arena<T>(held);
  std::shared_ptr<ComputeFunction> fn = make(arena);
  const uint32_t index = arena->alloc_empty();
  const uint32_t slot = allocate_slot({0, 0, NodeState::New, index, tag}, std::move(fn), held);
  // A source of another runtime, or one deleted meanwhile, is left out and fails the node's
  // first run as its read would.
  graph_.record_sources(slot, sources, id_, held);
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
  for (;;) {
    try {
      ensure_clean(handle.slot);
    } catch (...) {
      forget_cyclic_read(handle.slot);
      throw;
    }
    const T& value = read_brought_clean(handle, record, holder);
    if (!claimed_while_read(handle.slot, record)) [[likely]]
      return value;
  }
}

template <class T>
NodeRecord& Runtime::record_read(Velk<T> handle) {
  NodeRecord& record = check(handle);
  // lock-free: a deletion after the check shows as a changed generation at the commit.
  record_read(handle.slot, record.load_generation());
  return record;
}

template <class T>
NodeRecord& Runtime::record_peek(Velk<T> handle) {
  NodeRecord& record = check(handle);
  SharedDepStack::current().record_peek(this, handle.slot);
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
  auto arena = slots_.arena_of<T>(
      record, "velk-core: arena missing for handle's type; this should be impossible",
      structural_lock_);
  return arena->try_read_protected(record.load_value_index(), holder);
}

template <class T>
const T* Runtime::try_get_clean(Velk<T> handle, HazardHolder& holder) {
  NodeRecord& record = check(handle);
  // lock-free: state, cell, then state and handle again: a node dirtied, deleted or reused
  // meanwhile fails a re-check.
  if (record.load_state() != NodeState::Clean) return nullptr;
  const T* value;
  try {
    value = read_cell<T>(record, holder);
  } catch (const Failure&) {
    return nullptr;
  }
  // Dirtied, deleted or recycled meanwhile: the full read path sorts it out.
  if (value == nullptr || record.load_state() != NodeState::Clean) return nullptr;
  // The handle again, on the record already found: a changed generation fails as check does.
  // lock-free: as above.
  if (record.load_generation() != handle.generation) [[unlikely]]
    check(handle);
  record_read(handle.slot, handle.generation);
  return value;
}

template <class T>
T Runtime::get(Velk<T> handle) {
  HazardHolder holder;
  return get_protected(handle, holder);
}

template <class T>
Runtime::InputCell<T> Runtime::input_cell(Velk<T> handle) {
  NodeRecord& record = check(handle);
  GenericArena<T>* arena = slots_.arena_of<T>(
      record, "velk-core: arena missing for input handle's type", structural_lock_);
  NodeCompute compute = node_compute(handle.slot);
  if (compute.fn != nullptr) refuse_set_on_query(handle.slot);
  // lock-free: the handle was just checked; the claim re-checks the generation before the write.
  return {record, arena, record.load_value_index(), std::move(compute.equal)};
}

template <class T>
void Runtime::set(Velk<T> handle, T value) {
  const InputCell<T> cell = input_cell(handle);
  // An equal value takes no revision.
  if (equals_stored(*cell.arena, cell.index, value, cell.equal.get())) return;
  // Claimed while its value is replaced, so a deletion (and a new node reusing the slot and the
  // cell) cannot slip in between the handle check and the write.
  InputClaim claim(*this, ErasedVelk(handle), ValueTraits<T>::name);
  // Until the new revision is stamped, a verifying reader sees the input as changed.
  cell.record.begin_replace();
  cell.arena->write(cell.index, std::move(value));
  publish_change(handle.slot, claim);
}

template <class T>
class TypedBatchWrite final : public BatchWrite {
 public:
  TypedBatchWrite(Velk<T> node, T value)
      : BatchWrite(ErasedVelk(node), ValueTraits<T>::name), node_(node), value_(std::move(value)) {}

  void check(Runtime& runtime) override {
    const Runtime::InputCell<T> cell = runtime.input_cell(node_);
    arena_ = cell.arena;
    index_ = cell.index;
    equal_ = cell.equal;
  }
  bool changes() const override { return !equals_stored(*arena_, index_, value_, equal_.get()); }
  std::shared_ptr<void> compare_scope() const override {
    return std::make_shared<typename BatchScopeOf<T>::type>();
  }
  const std::type_info& value_type() const noexcept override { return typeid(T); }
  void write() override { arena_->write(index_, std::move(value_)); }

 private:
  Velk<T> node_;
  T value_;
  GenericArena<T>* arena_ = nullptr;
  uint32_t index_ = 0;
  std::shared_ptr<ErasedEqual> equal_;
};

template <class T>
void Runtime::set_cutoff(Velk<T> handle,
                         std::shared_ptr<NodeEqual<std::type_identity_t<T>>> equal) {
  if (SharedDepStack::current().in_compute()) fail_in_compute("set_cutoff");
  std::shared_ptr<ErasedEqual> replaced;  // dropped after the lock: it may run embedding code
  StructuralLock::WriteGuard held(structural_lock_);
  check(handle);  // under the write lock, so the node cannot be deleted before the store
  replaced = slots_.set_equal(handle.slot, std::move(equal), held);
}

template <class T>
const T& Runtime::read_observed(ObserverClosure& closure, Velk<T> handle, HazardHolder& holder) {
  NodeRecord& record = check(handle);
  for (unsigned tries = 0;; ++tries) {
    ensure_clean(handle.slot);
    // lock-free: stamp, value, then state and stamp again: a value replaced in between shows
    // as a moved stamp or a state not Clean, and is read again. Delivered under an older stamp,
    // a newer value would be delivered once more by the next pass.
    const uint64_t stamp = record.load_changed_at();
    const T& value = read_brought_clean(handle, record, holder);
    if (read_matches_stamp(record, stamp, tries)) {
      closure.delivered_ = stamp == kRevisionReplacing ? revision() : stamp;
      return value;
    }
  }
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
