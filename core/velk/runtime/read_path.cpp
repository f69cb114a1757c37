// The read path: ensure_clean walks a node and its out-of-date dependencies with an explicit
// stack, verifying Dirty nodes against their dependencies' stamps and recomputing only where a
// dependency changed. Exactly one thread holds a node claimed (Computing); others wait for it,
// sleeping once the wait is no longer short.
#include <algorithm>
#include <exception>
#include <string>
#include <unordered_set>
#include <vector>

#include "velk/base/hot_tls.h"
#include "velk/graph/wait_graph.h"
#include "velk/runtime/runtime.h"

namespace velk {

namespace {

[[noreturn]] void fail_budget(uint32_t root) {
  fail_read("velk-core: dependency cycle detected: ensure_clean(" + std::to_string(root) +
       ") exceeded its traversal budget, which no acyclic graph can");
}

// Failures of dependencies met while a walk verifies their readers. A dependency that fails
// there counts as changed: its reader is recomputed and meets the failure through its own read,
// as on a first computation, so a reader that handles the failure gets the chance to. Kept per
// thread while the walk that met them (and the computes nested in it) runs.
struct DeferredFailure {
  const Runtime* runtime;
  uint32_t slot;
  uint32_t generation;
  std::exception_ptr failure;
};

class DeferredFailures {
 public:
  // The entries added while it lives are dropped with it.
  class Scope {
   public:
    explicit Scope(std::vector<DeferredFailure>& met) noexcept : met_(met), mark_(met.size()) {}
    ~Scope() {
      VELK_DCHECK(met_.size() >= mark_);  // inner scopes dropped their entries first
      if (met_.size() > mark_) met_.erase(met_.begin() + std::ptrdiff_t(mark_), met_.end());
    }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    std::vector<DeferredFailure>& met_;
    size_t mark_;
  };

  // Rethrows the failure met for this node, if any.
  static void rethrow_if_met(const std::vector<DeferredFailure>& met, const Runtime* runtime,
                             uint32_t slot, uint32_t generation) {
    for (auto it = met.rbegin(); it != met.rend(); ++it) {
      if (it->runtime == runtime && it->slot == slot && it->generation == generation) {
        std::rethrow_exception(it->failure);
      }
    }
  }
};

// One step of a walk's plan: a node to expand, or one expanded whose dependencies are settled.
// Keeps the node's record, found once: records never move, and settle re-checks the state.
struct WorkEntry {
  NodeRecord* record;
  uint32_t slot;
  bool expanded;
};

// Nodes a long walk has expanded. An acyclic plan expands a node again only through another
// path to it; a plan that keeps going round a cycle recorded by failed computes would never
// settle anything, so past a first stretch a node is expanded once: a reader settled before it
// brings it up to date through its own read, which meets the cycle if it is still there.
class Expanded {
 public:
  explicit Expanded(uint64_t budget, uint64_t slot_count)
      : tracked_below_(budget - std::min(budget - 1, 2 * slot_count + 64)) {}
  // False when the node was expanded before, once the walk is long enough to look.
  bool first(uint64_t budget, uint32_t slot) {
    if (budget > tracked_below_) [[likely]]
      return true;
    return seen_.insert(slot).second;
  }

 private:
  uint64_t tracked_below_;
  std::unordered_set<uint32_t> seen_;
};

// Plans a node: settled after its out-of-date dependencies, which are expanded first.
void expand(const SegmentedNodes& nodes, NodeRecord& record, uint32_t slot, uint32_t root,
            uint64_t& budget, Expanded& expanded, std::vector<WorkEntry>& work) {
  if (--budget == 0) fail_budget(root);
  if (slot != root && !expanded.first(budget, slot)) return;
  // lock-free: this only plans the walk; settle re-reads every state and claims by CAS.
  switch (record.load_state()) {
    case NodeState::Clean: return;
    case NodeState::Computing:
    case NodeState::ComputingDirtied:
      // Another claim is in progress: wait for it, not its deps.
      work.push_back({&record, slot, true});
      return;
    default:
      work.push_back({&record, slot, true});
      // A Failed dependency is not settled here: it fails only the computes that read it
      // again, and a function that handled its failure before may handle it again.
      record.for_each_dep([&](uint32_t dep) {
        NodeRecord& d = nodes.get(dep);
        const NodeState state = d.load_state();
        if (state != NodeState::Clean && state != NodeState::Failed)
          work.push_back({&d, dep, false});
      });
  }
}

// The first dependency changed since the node was verified, or kNoCause for none.
uint32_t changed_dependency(const SegmentedNodes& nodes, const NodeRecord& record) {
  // lock-free: a set racing the verification shows as the replacing stamp or a state not Clean;
  // a later one marks the claimed node ComputingDirtied.
  // The visitor owns what it reads and finds, so only the rare overflowing visit sees its
  // address and the inline visit keeps it all in registers.
  struct FirstChanged {
    const SegmentedNodes* nodes;
    uint64_t verified;
    uint32_t changed = kNoCause;
    bool operator()(uint32_t dep) {
      const NodeRecord& d = nodes->get(dep);
      if (d.load_state() == NodeState::Clean && d.load_changed_at() <= verified) return true;
      changed = dep;
      return false;
    }
  } visit{&nodes, record.load_verified_at()};
  record.for_each_dep(visit);
  return visit.changed;
}

}  // namespace

// What a thread's walks keep between them, reached with one load: the work stack, where each
// walk uses the part above its caller's, and the deferred failures. Made on the first walk.
struct Runtime::WalkScratch {
  std::vector<WorkEntry> work;
  std::vector<DeferredFailure> failures;

  static WalkScratch& current() {
    if (WalkScratch* scratch = current_) [[likely]]
      return *scratch;
    return make_current();
  }
  ~WalkScratch() { current_ = nullptr; }

 private:
  static WalkScratch& make_current() {
    thread_local WalkScratch scratch;  // reached once per thread
    current_ = &scratch;
    return scratch;
  }
  VELK_HOT_TLS static inline constinit thread_local WalkScratch* current_ = nullptr;
};

// Releases a claim still held when something other than the compute function fails
// (an invalid state byte, a failed allocation); the node is verified again at its next read.
// Disarmed just before the claim is ended on purpose: once ended, another thread may claim
// the node, and that claim must not be touched.
class Runtime::ClaimGuard {
 public:
  explicit ClaimGuard(NodeRecord& record) : record_(record) { VELK_DCHECK(record.is_claimed()); }
  ~ClaimGuard() {
    if (!armed_) return;
    const bool ended = record_.end_claim(NodeState::Dirty, NodeState::Dirty);
    VELK_DCHECK(ended);  // armed, so the claim is still this thread's
  }
  // The claim is still held; the caller ends it right after.
  void disarm() noexcept {
    VELK_DCHECK(armed_ && record_.is_claimed());
    armed_ = false;
  }

 private:
  NodeRecord& record_;
  bool armed_ = true;
};

namespace {

// Ends the claim of a compute that failed. A failure is a change of the node: whatever
// computes it next is not compared with the value from before the failure (readers that handled
// the failure must see the value that replaces it), so every way out but Failed is New. A
// failure that stays is stamped as a change, so an observer reports it once.
void finish_failed(NodeRecord& record, CommitOutcome outcome, bool transient,
                   uint64_t start_revision) {
  const bool stays_failed = !transient && outcome == CommitOutcome::Committed;
  if (stays_failed) record.raise_changed_at(std::max(start_revision, record.load_changed_at() + 1));
  record.finish_claim(stays_failed ? NodeState::Failed : NodeState::New, NodeState::New);
}

}  // namespace

void Runtime::settle(uint32_t slot, NodeRecord& record) {
  // The usual case first, before any wait is set up: a node claimed at the first try.
  // lock-free: as below.
  const NodeState state = record.load_state();
  if (state == NodeState::Clean) return;
  if ((state == NodeState::New || state == NodeState::Dirty) &&
      claim_and_settle(record, slot, state)) [[likely]] {
    return;
  }
  settle_waiting(slot);
}

bool Runtime::settle_dependency(uint32_t slot, NodeRecord& record) {
  // lock-free: state and generation are re-checked after the settle, so a reused slot's
  // failure is never deferred as this node's.
  const uint32_t generation = record.load_generation();
  try {
    settle(slot, record);
  } catch (const TransientFailure&) {
    throw;  // says nothing about the node: the read as a whole is cut short
  } catch (const ReadFailure&) {
    // A dependency that met a cycle or a deletion is left New: the node read runs, and meets
    // the failure through its own read, where it may handle it. Only for a read made outside
    // any compute: inside one, the failure passes to the function that read, which may handle
    // it; leaving it there too would run a deep chain's failing part once per level.
    if (record.load_state() != NodeState::New || record.load_generation() != generation ||
        SharedDepStack::current().in_compute()) {
      throw;
    }
    return false;
  } catch (const Failure&) {
    // Only a node that ended Failed is left to its readers; cycles, deletions and the like
    // concern the read itself.
    if (record.load_state() != NodeState::Failed || record.load_generation() != generation) throw;
    WalkScratch::current().failures.push_back({this, slot, generation, std::current_exception()});
  }
  return true;
}

void Runtime::ensure_clean(uint32_t root) {
  // lock-free: a node dirtied right after this look reads as if read just before the set.
  NodeRecord& root_record = nodes_.get(root);
  if (root_record.load_state() == NodeState::Clean) return;
  WalkScratch& scratch = WalkScratch::current();
  DeferredFailures::Scope deferred(scratch.failures);
  std::vector<WorkEntry>& work = scratch.work;
  // Entries below `base` are the walks' this one runs inside of; it leaves them as they were.
  struct OwnPart {
    std::vector<WorkEntry>& work;
    const size_t base;
    ~OwnPart() {
      work.erase(work.begin() + std::ptrdiff_t(base), work.end());
      constexpr size_t kKept = 4096;  // a huge walk's stack is not kept for the thread's life
      if (base == 0 && work.capacity() > kKept) std::vector<WorkEntry>().swap(work);
    }
  } own{work, work.size()};
  work.push_back({&root_record, root, false});
  uint64_t budget = 256ull * nodes_.slot_count() + 1024;
  Expanded expanded(budget, nodes_.slot_count());
  while (work.size() > own.base) {
    const WorkEntry entry = work.back();
    work.pop_back();
    if (!entry.expanded) {
      expand(nodes_, *entry.record, entry.slot, root, budget, expanded, work);
    } else if (entry.slot == root) {
      settle(root, *entry.record);
    } else if (!settle_dependency(entry.slot, *entry.record)) {
      // The rest of the plan is left to the root's own reads, which bring up to date what it
      // still reads: settled one by one, each planned node the failure left New would meet it
      // again (a cycle run round once per node planned on it).
      VELK_DCHECK(work[own.base].slot == root && work[own.base].expanded);
      work.erase(work.begin() + std::ptrdiff_t(own.base) + 1, work.end());
    }
  }
}

void Runtime::settle_waiting(uint32_t slot) {
  Backoff backoff;
  wait_graph::Waiting waiting({this, slot});
  for (;;) {
    // lock-free: every case below claims by CAS, waits and looks again, or fails.
    const NodeState state = nodes_.get(slot).load_state();
    switch (state) {
      case NodeState::Clean: return;
      case NodeState::Failed:
        DeferredFailures::rethrow_if_met(WalkScratch::current().failures, this, slot,
                                         nodes_.get(slot).load_generation());
        fail_stays_failed(slot);
      case NodeState::Deleted:
        fail_read("velk-core: node " + std::to_string(slot) +
             " was deleted while a read was reaching it (a compute raced delete_node on one of "
             "its recorded dependencies)");
      case NodeState::Computing:
      case NodeState::ComputingDirtied:
        if (SharedDepStack::current().contains(this, slot)) {
          fail_read("velk-core: dependency cycle detected: node " + std::to_string(slot) +
               " was read while its own compute was in progress");
        }
        wait_for_claim(slot, state, backoff, waiting);
        continue;
      case NodeState::New:
      case NodeState::Dirty:
        if (claim_and_settle(nodes_.get(slot), slot, state)) return;
        continue;
    }
  }
}

bool Runtime::wait_out_claim(uint32_t slot, NodeState seen) {
  // This thread's own compute of it is no claimant to wait for (the read is refused earlier).
  if (SharedDepStack::current().contains(this, slot)) return false;
  Backoff backoff;
  wait_graph::Waiting waiting({this, slot});
  wait_for_claim(slot, seen, backoff, waiting);
  return true;
}

// The whole wait goes through the blocking hook, spinning included: the thread may hold the
// embedding's lock (the interpreter lock), which the claim's holder needs for its computes.
void Runtime::wait_for_claim(uint32_t slot, NodeState seen, Backoff& backoff,
                             wait_graph::Waiting& waiting) {
  struct Wait {
    const NodeRecord& record;
    NodeState seen;
    Backoff& backoff;
    wait_graph::Waiting& waiting;
    uint32_t slot;
  } wait{nodes_.get(slot), seen, backoff, waiting, slot};
  run_blocking(
      [](void* context) {
        Wait& w = *static_cast<Wait*>(context);
        // lock-free: the caller looks again at whatever state ends the wait.
        while (w.record.load_state() == w.seen) {
          // Checked before each sleep, so a short wait costs nothing extra.
          if (w.backoff.sleeping() && w.waiting.closes_cycle()) {
            fail_read("velk-core: dependency cycle detected across threads: node " +
                 std::to_string(w.slot) +
                 " is computed by a thread that waits for a node whose compute is in progress "
                 "on this thread");
          }
          w.record.wait_while(w.seen, w.backoff);
        }
      },
      &wait);
}

bool Runtime::claim_and_settle(NodeRecord& record, uint32_t slot, NodeState seen) {
  // Claimed first: a claimed node cannot be deleted, so the function looked up below is its
  // own, and a verification that finds nothing changed needs no lookup at all.
  const bool was_dirty = record.cas_state(NodeState::Dirty, NodeState::Computing);
  if (!was_dirty &&
      !(seen == NodeState::New && record.cas_state(NodeState::New, NodeState::Computing))) {
    return false;  // another thread claimed it, or its state moved on
  }
  ClaimGuard claim(record);
  // lock-free: read after the claim: a set after them marks this node ComputingDirtied.
  const uint64_t start_revision = revision();
  const uint64_t start_watermark = watermark();
  const uint32_t cause = was_dirty ? changed_dependency(nodes_, record) : kNoCause;
  if (was_dirty && cause == kNoCause) {
    record.raise_verified_at(start_watermark);
    claim.disarm();
    if (record.cas_state(NodeState::Computing, NodeState::Clean)) {
      report({slot, TraceAction::VerifiedClean});
    } else {
      record.cas_state(NodeState::ComputingDirtied, NodeState::Dirty);
      SharedDepStack::current().taint_top(this);
    }
    return true;
  }
  const NodeCompute compute = node_compute(slot);
  if (!compute.fn) {  // an input: nothing to compute
    record.raise_verified_at(start_revision);
    claim.disarm();
    record.finish_claim(NodeState::Clean, NodeState::Dirty);
    return true;
  }
  if (TraceScope* trace = traced()) [[unlikely]] {
    return recompute_traced(*trace, record, slot, compute, was_dirty, cause, start_revision,
                            start_watermark, claim);
  }
  return recompute(record, slot, compute, was_dirty, start_revision, start_watermark, claim) !=
         Recomputed::Again;
}

// Ends a compute that failed. Reads made before the failure join the old list, so a change to
// any of them retries it. Called while the failure is being handled.
void Runtime::abandon(uint32_t slot, FrameGuard& frame, uint64_t start_revision, ClaimGuard& claim,
                      bool transient) {
  const DepFrame& failed = frame.take();
  const CommitOutcome outcome = commit_deps(slot, failed.deps, true, start_revision);
  if (!transient && outcome == CommitOutcome::Committed) {
    std::shared_ptr<const FailureDetail> detail;
    try {
      throw;
    } catch (const Failure& failure) {
      // A failure that names a cause (a failed node read) is kept as that cause.
      detail = failure.cause() != nullptr ? failure.shared_cause() : failure.shared_detail();
    } catch (...) {
    }
    if (detail || failures_.holds_any()) keep_failure(slot, detail);
  }
  claim.disarm();
  finish_failed(nodes_.get(slot), outcome, transient, start_revision);
  SharedDepStack::current().taint_top(this);
}

void Runtime::keep_failure(uint32_t slot, const std::shared_ptr<const FailureDetail>& detail) {
  FailureRecords::Detail replaced;  // dropped after the lock: dropping it may run embedding code
  StructuralLock::WriteGuard held(structural_lock_);
  // lock-free: the node is claimed (or was just computed by this thread), so not deleted.
  replaced = detail ? failures_.keep(slot, nodes_.get(slot).load_generation(), detail, held)
                    : failures_.take(slot, held);
}

void Runtime::drop_failure(uint32_t slot) {
  {
    StructuralLock::ReadGuard held(structural_lock_);
    if (!failures_.holds(slot, held)) return;  // the usual case: another node's is kept
  }
  keep_failure(slot, nullptr);
}

void Runtime::fail_stays_failed(uint32_t slot) {
  FailureRecords::Detail cause;
  if (failures_.holds_any()) {
    StructuralLock::ReadGuard held(structural_lock_);
    // lock-free: a generation moved on since the state was read finds no entry of its own.
    cause = failures_.find(slot, nodes_.get(slot).load_generation(), held);
  }
  throw Failure("velk-core: node " + std::to_string(slot) +
                    " read but its last compute panicked; it stays Failed until a dependency "
                    "changes (set an upstream input to retry)",
                nullptr, std::move(cause));
}

void Runtime::forget_cyclic_read(uint32_t slot) noexcept {
  // lock-free: only a claimed node can be one whose compute this thread is inside of, and the
  // claim of another thread's is told apart by the stack.
  if (!nodes_.get(slot).is_claimed()) return;
  SharedDepStack& stack = SharedDepStack::current();
  if (stack.contains(this, slot)) stack.forget_last_read(this, slot);
}

// Runs the compute function in a new dependency frame, commits what it read, applies cutoff
// and ends the claim. Again when the node must be claimed again (a dependency went away).
Runtime::Recomputed Runtime::recompute(NodeRecord& record, uint32_t slot,
                                       const NodeCompute& compute, bool was_dirty,
                                       uint64_t start_revision, uint64_t start_watermark,
                                       ClaimGuard& claim) {
  SharedDepStack& stack = SharedDepStack::current();
  FrameGuard frame(stack, this, slot, frame_start(start_revision, start_watermark));
  bool changed;
  try {
    changed = compute.fn->compute(*this, slot, was_dirty, compute.equal.get());
  } catch (const TransientFailure&) {
    abandon(slot, frame, start_revision, claim, true);
    throw;
  } catch (const ReadFailure&) {
    abandon(slot, frame, start_revision, claim, true);
    throw;
  } catch (...) {
    abandon(slot, frame, start_revision, claim, false);
    throw;
  }
  const DepFrame& done = frame.take();
  // A compute whose reads a set overtook ran again, from a later start (Runtime::read_torn).
  const CommitOutcome outcome = commit_deps(slot, done.deps, false, done.start.revision);
  // A node computed afresh may be one that failed: what it failed with is no longer its state.
  if (!was_dirty && failures_.holds_any()) [[unlikely]]
    drop_failure(slot);
  // Unchanged: cutoff. A change is stamped no lower than the newest revision its reads may
  // reflect, and past any earlier change, even one made in the same revision: a change stamped
  // like the one before it would look delivered to an observer that saw the one before.
  if (!was_dirty || changed) {
    record.raise_changed_at(std::max(done.start.seen, record.load_changed_at() + 1));
  }
  claim.disarm();
  if (outcome == CommitOutcome::DependencyGone) [[unlikely]] {
    record.finish_claim(NodeState::New, NodeState::New);
    return Recomputed::Again;
  }
  record.raise_verified_at(done.start.watermark);
  const bool stale = outcome == CommitOutcome::CommittedStale || done.tainted;
  if (record.cas_state(NodeState::Computing, stale ? NodeState::Dirty : NodeState::Clean))
      [[likely]] {
    if (stale) [[unlikely]]
      stack.taint_top(this);
  } else if (record.cas_state(NodeState::ComputingDirtied, NodeState::Dirty)) {
    stack.taint_top(this);
  }
  return changed ? Recomputed::Changed : Recomputed::Unchanged;
}

// recompute for a traced read: timed (the clock costs more than a small compute) and reported.
// Looked up once: a traced read nested in the compute ends before it returns.
bool Runtime::recompute_traced(TraceScope& trace, NodeRecord& record, uint32_t slot,
                               const NodeCompute& compute, bool was_dirty, uint32_t cause,
                               uint64_t start_revision, uint64_t start_watermark,
                               ClaimGuard& claim) {
  const uint64_t started = monotonic_ns();
  const Recomputed done =
      recompute(record, slot, compute, was_dirty, start_revision, start_watermark, claim);
  if (done == Recomputed::Again) return false;
  trace.add(
      {slot,
       done == Recomputed::Changed ? TraceAction::RecomputedChanged : TraceAction::RecomputedCutoff,
       cause, monotonic_ns() - started});
  return true;
}

}  // namespace velk
